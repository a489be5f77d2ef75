// Reading a parsed document: the cursor, attribute and data values with
// their references resolved, escaping, and the two editing operations that
// build result strings.
#include <algorithm>
#include <climits>
#include <vector>

#include "xml/internal.h"

namespace vesk::xml {

using internal::AttributeSpan;
using internal::ClassOf;
using internal::IsSpace;

namespace {

std::u16string Decimal(int64_t value) {
  char16_t digits[24];
  char16_t* end = digits + 24;
  char16_t* p = end;
  const bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value)
                                : static_cast<uint64_t>(value);
  do {
    *--p = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--p = u'-';
  return std::u16string(p, end);
}

bool IsEmptyName(const char16_t* name) {
  return name == nullptr || *name == u'\0';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The code point a reference body (between "&" and ";") stands for; 0 when
// it does not resolve.
uint32_t ReferenceCodePoint(std::u16string_view body) {
  if (body.empty() || body[0] != u'#') return internal::EntityCodePoint(body);
  const bool hex = body.size() > 1 && (body[1] == u'x' || body[1] == u'X');
  const std::u16string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) return 0;
  // At most eight digits reach here, so the value fits.
  uint32_t value = 0;
  for (char16_t c : digits) {
    const int digit =
        hex ? HexValue(c) : (c >= u'0' && c <= u'9' ? c - u'0' : -1);
    if (digit < 0) return 0;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  return value;
}

// The longest reference body read before its ";".
constexpr size_t kReferenceBodyMax = 9;

void AppendUnescaped(std::u16string* out, std::u16string_view text) {
  size_t plain = 0;  // start of the text not yet copied
  size_t i = 0;
  for (;;) {
    const size_t amp = text.find(u'&', i);
    if (amp == std::u16string_view::npos) break;
    i = amp + 1;
    size_t semi = amp + 1;
    const size_t limit = std::min(text.size(), amp + 2 + kReferenceBodyMax);
    while (semi < limit && text[semi] != u';' && text[semi] < 0x80) ++semi;
    if (semi >= limit || text[semi] != u';') continue;
    const uint32_t cp =
        ReferenceCodePoint(text.substr(amp + 1, semi - amp - 1));
    // Code point 0 and values beyond Unicode leave the "&" as written.
    if (cp == 0 || cp > 0x10FFFF) continue;
    out->append(text, plain, amp - plain);
    if (cp <= 0xFFFF) {
      out->push_back(static_cast<char16_t>(cp));
    } else {
      out->push_back(static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF)));
    }
    plain = i = semi + 1;
  }
  out->append(text, plain, std::u16string_view::npos);
}

}  // namespace

// ---------------------------------------------------------------------------
// Escaping

std::u16string EscapeText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 10 + 7);
  for (char16_t c : text) {
    switch (c) {
      case u'<':
        out.append(u"&lt;");
        break;
      case u'&':
        out.append(u"&amp;");
        break;
      case u'>':
        out.append(u"&gt;");
        break;
      case u'\'':
        out.append(u"&apos;");
        break;
      case u'"':
        out.append(u"&quot;");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::u16string UnescapeText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  AppendUnescaped(&out, text);
  return out;
}

// ---------------------------------------------------------------------------
// Names and attributes

namespace internal {

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto fold = [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool FindAttribute(std::u16string_view text, size_t from, size_t end,
                   std::u16string_view name, bool ignoreCase,
                   AttributeSpan* found) {
  end = std::min(end, text.size());
  size_t i = from;
  for (;;) {
    while (i < end && IsSpace(text[i])) ++i;
    if (i >= end) return false;
    if (text[i] == u'>' || text[i] == u'/' || text[i] == u'?') return false;
    AttributeSpan span;
    span.nameBegin = i;
    while (i < end && !(ClassOf(text[i]) & kAttrNameEnd)) ++i;
    span.nameEnd = i;
    size_t j = i;
    while (j < end && IsSpace(text[j])) ++j;
    if (j < end && text[j] == u'=') {
      ++j;
      while (j < end && IsSpace(text[j])) ++j;
      span.hasValue = true;
      span.valueBegin = j;
      if (j < end && (text[j] == u'"' || text[j] == u'\'')) {
        const char16_t quote = text[j];
        size_t k = j + 1;
        while (k < end && text[k] != quote) ++k;
        span.innerBegin = j + 1;
        span.innerEnd = k;
        span.valueEnd = std::min(k + 1, end);
      } else {
        size_t k = j;
        while (k < end && text[k] != u'>' && !IsSpace(text[k])) ++k;
        span.innerBegin = j;
        span.innerEnd = span.valueEnd = k;
      }
      i = span.valueEnd;
    }
    const std::u16string_view candidate =
        text.substr(span.nameBegin, span.nameEnd - span.nameBegin);
    if (ignoreCase ? EqualsIgnoringCase(candidate, name) : candidate == name) {
      *found = span;
      return true;
    }
  }
}

}  // namespace internal

bool XmlDocument::Impl::NameMatches(uint32_t n, const char16_t* name) const {
  if (IsEmptyName(name)) return true;
  return internal::NameAt(View(), E(n).start + 1) == std::u16string_view(name);
}

bool XmlDocument::Impl::FindAttributeOf(uint32_t n, std::u16string_view name,
                                        AttributeSpan* found) const {
  const std::u16string_view view = View();
  const ElementRecord& e = E(n);
  const size_t nameEnd =
      e.start + 1 + internal::NameAt(view, e.start + 1).size();
  return internal::FindAttribute(
      view, nameEnd, size_t{e.start} + StartTagLength(n), name, false, found);
}

// ---------------------------------------------------------------------------
// Cursor

void XmlDocument::Impl::SetCursor(int32_t parent, int32_t main, int32_t child) {
  parentPosition = parent;
  mainPosition = main;
  childPosition = child;
  nodeType = main != 0 ? kNodeElement : kNodeNone;
}

int32_t XmlDocument::ParentPosition() const { return impl_->parentPosition; }
int32_t XmlDocument::MainPosition() const { return impl_->mainPosition; }
int32_t XmlDocument::ChildPosition() const { return impl_->childPosition; }
int32_t XmlDocument::CurrentNodeType() const { return impl_->nodeType; }

void XmlDocument::ResetMainPosition() {
  impl_->SetCursor(impl_->parentPosition, 0, 0);
}

bool XmlDocument::FindElement(const char16_t* name) {
  Impl& d = *impl_;
  if (d.nextFree < 1) return false;
  uint32_t n = 0;
  if (d.Valid(d.mainPosition) && d.mainPosition != 0) {
    n = d.E(d.mainPosition).nextSibling;
  } else if (d.Valid(d.parentPosition)) {
    n = d.E(d.parentPosition).firstChild;
  }
  for (; n != 0; n = d.E(n).nextSibling) {
    if (d.NameMatches(n, name)) {
      d.SetCursor(d.parentPosition, static_cast<int32_t>(n), 0);
      return true;
    }
  }
  return false;
}

bool XmlDocument::FindChildElement(const char16_t* name) {
  Impl& d = *impl_;
  if (d.nextFree < 1) return false;
  if (d.mainPosition == 0 && !FindElement(nullptr)) return false;
  if (!d.Valid(d.mainPosition)) return false;
  uint32_t n = d.Valid(d.childPosition) && d.childPosition != 0
                   ? d.E(d.childPosition).nextSibling
                   : d.E(d.mainPosition).firstChild;
  for (; n != 0; n = d.E(n).nextSibling) {
    if (d.NameMatches(n, name)) {
      const uint32_t main = d.E(n).parent;
      d.SetCursor(static_cast<int32_t>(d.E(main).parent),
                  static_cast<int32_t>(main), static_cast<int32_t>(n));
      return true;
    }
  }
  return false;
}

bool XmlDocument::IntoElement() {
  Impl& d = *impl_;
  if (d.nodeType != kNodeElement) return false;
  d.SetCursor(d.mainPosition, d.childPosition, 0);
  return true;
}

bool XmlDocument::OutOfElement() {
  Impl& d = *impl_;
  if (d.parentPosition == 0 || !d.Valid(d.parentPosition)) return false;
  d.SetCursor(static_cast<int32_t>(d.E(d.parentPosition).parent),
              d.parentPosition, d.mainPosition);
  return true;
}

// ---------------------------------------------------------------------------
// Values

std::u16string XmlDocument::GetAttribute(const char16_t* name) const {
  if (impl_->nodeType != kNodeElement) return {};
  return AttributeOf(impl_->mainPosition, name);
}

std::u16string XmlDocument::GetData() const {
  return DataOf(impl_->mainPosition);
}

std::u16string XmlDocument::AttributeOf(int32_t element,
                                        const char16_t* name) const {
  const Impl& d = *impl_;
  if (element <= 0 || !d.Valid(element) || IsEmptyName(name)) return {};
  AttributeSpan span;
  if (!d.FindAttributeOf(static_cast<uint32_t>(element), name, &span) ||
      !span.hasValue) {
    return {};
  }
  return UnescapeText(
      d.View().substr(span.innerBegin, span.innerEnd - span.innerBegin));
}

std::u16string XmlDocument::DataOf(int32_t element) const {
  const Impl& d = *impl_;
  if (element <= 0 || !d.Valid(element)) return {};
  const auto n = static_cast<uint32_t>(element);
  const ElementRecord& e = d.E(n);
  if (e.firstChild != 0 || (e.flagsAndLevel & kElementNotEnded)) return {};
  const uint64_t endTag = d.EndTagLength(n);
  if (endTag == 0) return {};
  const std::u16string_view view = d.View();
  const uint64_t contentStart = uint64_t{e.start} + d.StartTagLength(n);
  const uint64_t contentEnd =
      std::min<uint64_t>(uint64_t{e.start} + e.length - endTag, view.size());
  if (contentStart >= contentEnd) return {};
  const std::u16string_view content =
      view.substr(contentStart, contentEnd - contentStart);
  if (content.find(u'<') == std::u16string_view::npos) {
    return UnescapeText(content);
  }
  // Read the content node by node; the text seen ends with it, so no node
  // reaches into the end tag.
  const std::u16string_view scan = view.substr(0, contentEnd);
  std::u16string out;
  auto offset = static_cast<int32_t>(contentStart);
  for (;;) {
    const Node node = internal::ScanNode(scan, offset, nullptr);
    if (node.type == kNodeEnd) break;
    if (node.type == kNodeText) {
      AppendUnescaped(&out, scan.substr(node.start, node.length));
    } else if (node.type == kNodeCData && node.length >= 12) {
      out.append(
          scan.substr(node.start + 9, node.length - 12));  // <![CDATA[ ]]>
    }
    offset = node.start + node.length;
  }
  return out;
}

int32_t XmlDocument::FindBreadthFirst(const char16_t* name) const {
  const Impl& d = *impl_;
  if (d.nextFree < 1) return 0;
  const uint32_t root = d.E(0).firstChild;
  if (root == 0) return 0;
  if (d.NameMatches(root, name)) return static_cast<int32_t>(root);
  // Level by level: the queue holds the elements whose children are still to
  // be looked at, in document order within each level.
  std::vector<uint32_t> queue{root};
  for (size_t head = 0; head < queue.size(); ++head) {
    for (uint32_t c = d.E(queue[head]).firstChild; c != 0;
         c = d.E(c).nextSibling) {
      if (d.NameMatches(c, name)) return static_cast<int32_t>(c);
      if (d.E(c).firstChild != 0) queue.push_back(c);
    }
  }
  return 0;
}

int32_t XmlDocument::FindRootChild(const char16_t* name) const {
  const Impl& d = *impl_;
  if (d.nextFree < 1 || d.E(0).firstChild == 0) return 0;
  for (uint32_t c = d.E(d.E(0).firstChild).firstChild; c != 0;
       c = d.E(c).nextSibling) {
    if (d.NameMatches(c, name)) return static_cast<int32_t>(c);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Editing

bool XmlDocument::Impl::ReplaceText(size_t offset, size_t removed,
                                    std::u16string_view units,
                                    uint32_t ancestor) {
  const int64_t delta =
      static_cast<int64_t>(units.size()) - static_cast<int64_t>(removed);
  if (static_cast<int64_t>(text.size()) + delta > INT32_MAX) return false;
  text.replace(offset, removed, units);
  const auto shift = static_cast<uint32_t>(delta);  // modular on purpose
  for (int32_t n = 1; n < nextFree; ++n) {
    ElementRecord& e = E(static_cast<uint32_t>(n));
    if (e.start >= offset) e.start += shift;
  }
  for (uint32_t a = ancestor;; a = E(a).parent) {
    E(a).length += shift;
    if (a == 0) break;
  }
  return true;
}

bool XmlDocument::AddElement(const char16_t* name) {
  Impl& d = *impl_;
  if (IsEmptyName(name)) return false;
  if (d.nextFree < 1) d.Parse();
  const uint32_t parent =
      d.Valid(d.parentPosition) ? static_cast<uint32_t>(d.parentPosition) : 0;
  const std::u16string element = u"<" + std::u16string(name) + u"/>";
  const ElementRecord& p = d.E(parent);
  size_t at = 0;
  if (p.firstChild != 0) {
    const ElementRecord& last = d.E(d.E(p.firstChild).previousSibling);
    at = size_t{last.start} + last.length;
  } else if (parent == 0) {
    at = d.text.size();
  } else if (p.flagsAndLevel & kElementNotEnded) {
    return false;
  } else if (const uint32_t endTag = d.EndTagLength(parent); endTag != 0) {
    at = size_t{p.start} + p.length - endTag;
  } else {
    at = SIZE_MAX;  // an empty parent, opened up below
  }

  if (at != SIZE_MAX) {
    at = std::min(at, d.text.size());
    if (!d.ReplaceText(at, 0, element, parent)) return false;
  } else {
    // "<p/>" becomes "<p>" child "</p>".
    const uint32_t startTag = d.StartTagLength(parent);
    const size_t slash = size_t{p.start} + startTag - 2;
    if (startTag < 3 || slash + 1 >= d.text.size() || d.text[slash] != u'/') {
      return false;
    }
    const std::u16string parentName(
        internal::NameAt(d.View(), size_t{p.start} + 1));
    const std::u16string opened = u">" + element + u"</" + parentName + u">";
    if (!d.ReplaceText(slash, 2, opened, parent)) return false;
    d.E(parent).tagLengths =
        std::min(startTag - 1, internal::kStartTagLengthMax) |
        std::min(static_cast<uint32_t>(parentName.size() + 3),
                 internal::kEndTagLengthMax)
            << 22;
    at = slash + 1;
  }

  const uint32_t n = d.TakeElement();
  ElementRecord& e = d.E(n);
  e.start = static_cast<uint32_t>(at);
  e.length = static_cast<uint32_t>(element.size());
  e.tagLengths = std::min(e.length, internal::kStartTagLengthMax);
  e.flagsAndLevel = d.ChildLevel(parent);
  e.firstChild = 0;
  d.LinkLastChild(parent, n);
  d.SetCursor(static_cast<int32_t>(parent), static_cast<int32_t>(n), 0);
  return true;
}

bool XmlDocument::SetAttribute(int32_t element, const char16_t* name,
                               std::u16string_view value) {
  Impl& d = *impl_;
  if (element <= 0 || !d.Valid(element) || IsEmptyName(name)) return false;
  const auto n = static_cast<uint32_t>(element);
  const uint32_t startTag = d.StartTagLength(n);
  const std::u16string quoted = u"\"" + EscapeText(value) + u"\"";
  AttributeSpan span;
  size_t at = 0;
  size_t removed = 0;
  std::u16string units;
  if (d.FindAttributeOf(n, name, &span)) {
    if (span.hasValue) {
      at = span.valueBegin;
      removed = span.valueEnd - span.valueBegin;
      units = quoted;
    } else {
      at = span.nameEnd;
      units = u"=" + quoted;
    }
  } else {
    const ElementRecord& e = d.E(n);
    const bool empty = d.EndTagLength(n) == 0 &&
                       !(e.flagsAndLevel & kElementNotEnded) && startTag >= 3;
    // Before "/>" of an empty element, else before ">".
    if (startTag < 2) return false;
    at = size_t{e.start} + startTag - 1;
    if (at >= d.text.size()) return false;
    if (empty && d.text[at - 1] == u'/') --at;
    units = u" " + std::u16string(name) + u"=" + quoted;
  }
  if (!d.ReplaceText(at, removed, units, n)) return false;
  const uint64_t newStartTag = uint64_t{startTag} + units.size() - removed;
  ElementRecord& e = d.E(n);
  e.tagLengths = (e.tagLengths & ~internal::kStartTagLengthMax) |
                 static_cast<uint32_t>(std::min<uint64_t>(
                     newStartTag, internal::kStartTagLengthMax));
  return true;
}

// ---------------------------------------------------------------------------
// Results

void XmlDocument::Impl::AddResultTo(std::u16string* target,
                                    const internal::ResultEntry& entry,
                                    bool modify) {
  if (target->size() >= internal::kResultLimit) return;
  // The result string is itself a document: add or find the entry's
  // element in a scratch copy and set its attributes there.
  XmlDocument scratch;
  scratch.impl_->recordResults = false;
  scratch.SetDocument(*target);
  const bool found =
      modify ? scratch.FindElement(entry.name) : scratch.AddElement(entry.name);
  if (!found) return;
  const int32_t n = scratch.impl_->mainPosition;
  if (entry.textName != nullptr) {
    scratch.SetAttribute(n, entry.textName, entry.text);
  }
  if (entry.numberName != nullptr && entry.number != -1) {
    scratch.SetAttribute(n, entry.numberName, Decimal(entry.number));
  }
  if (entry.number2 != -1) {
    scratch.SetAttribute(n, u"offset2", Decimal(entry.number2));
  }
  target->assign(scratch.impl_->text.View());
}

void XmlDocument::Impl::AddScanError(const internal::ScanError& error) {
  if (error.result == nullptr) return;
  if (error.type != nullptr) {
    AddResult({error.result, u"type", error.type, u"offset", error.offset});
  } else {
    AddResult({error.result, nullptr, {}, u"offset", error.offset});
  }
}

}  // namespace vesk::xml
