// The document: its element index in pages, the tokenizer and the parser
// that builds the index in one pass over the text.
//
// Map of this file:
//   storage     the text's room, page and slot arithmetic, growth, tag
//               lengths
//   tokenizer   ScanNode and its node kinds
//   parser      the stack of open elements, end tags, elements not ended
//   interface   the XmlDocument members that belong here
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "xml/internal.h"

namespace vesk::xml {

using internal::ClassOf;
using internal::IsSpace;
using internal::ScanError;

namespace {

const ElementRecord kNoElement{};

}  // namespace

// ---------------------------------------------------------------------------
// Storage

namespace internal {

namespace {

// Room of at least this many units is a large buffer.
constexpr size_t kLargeTextUnits = size_t{1} << 19;

}  // namespace

void TextBuffer::Grow(size_t capacity, size_t keep) {
  if (capacity > SIZE_MAX / sizeof(char16_t)) throw std::bad_alloc();
  if (capacity >= kLargeTextUnits) {
    platform::LargeBuffer fresh(capacity * sizeof(char16_t));
    auto* units = static_cast<char16_t*>(fresh.data());
    if (keep > 0) std::copy_n(data_, keep, units);
    large_ = std::move(fresh);
    small_.reset();
    data_ = units;
    capacity_ = large_.size() / sizeof(char16_t);
  } else {
    // No filling: units are written before they are read.
    std::unique_ptr<char16_t[]> fresh(new char16_t[capacity]);
    if (keep > 0) std::copy_n(data_, keep, fresh.get());
    small_ = std::move(fresh);
    large_ = platform::LargeBuffer();
    data_ = small_.get();
    capacity_ = capacity;
  }
}

char16_t* TextBuffer::Reserve(size_t capacity) {
  size_ = 0;
  if (capacity > capacity_) Grow(capacity, 0);
  return data_;
}

void TextBuffer::assign(std::u16string_view units) {
  if (units.size() > capacity_) Grow(units.size(), 0);
  // The units may be this text's own.
  if (!units.empty()) {
    std::memmove(data_, units.data(), units.size() * sizeof(char16_t));
  }
  size_ = units.size();
}

void TextBuffer::replace(size_t offset, size_t removed,
                         std::u16string_view units) {
  if (offset > size_) throw std::out_of_range("TextBuffer::replace");
  removed = std::min(removed, size_ - offset);
  if (units.size() > removed && units.size() - removed > SIZE_MAX - size_) {
    throw std::bad_alloc();
  }
  // Units from this text itself are copied out first.
  std::u16string own;
  if (data_ != nullptr && units.data() >= data_ &&
      units.data() < data_ + capacity_) {
    own.assign(units);
    units = own;
  }
  const size_t size = size_ - removed + units.size();
  if (size > capacity_) {
    Grow(std::max(size, capacity_ + capacity_ / 2), size_);
  }
  const size_t after = offset + removed;
  if (after < size_) {
    std::memmove(data_ + offset + units.size(), data_ + after,
                 (size_ - after) * sizeof(char16_t));
  }
  if (!units.empty()) {
    std::memcpy(data_ + offset, units.data(), units.size() * sizeof(char16_t));
  }
  size_ = size;
}

}  // namespace internal

std::u16string_view XmlDocument::Impl::View() const {
  // Offsets are int32 throughout; a longer text is indexed only as far as
  // they reach, less a margin for the tokenizer's look-ahead.
  return text.View().substr(0, internal::kLongestText);
}

void XmlDocument::Impl::GrowIndex(uint32_t wanted) {
  using internal::kPageSize;
  // Element numbers stay positive int32 values.
  wanted = std::min<uint32_t>(wanted, INT32_MAX);
  if (capacity >= wanted) return;
  // One growth never adds more than a page: it ends at most one page beyond
  // the current last one, so at most two pages are touched.
  const uint32_t target = static_cast<uint32_t>(
      std::min<uint64_t>(wanted, uint64_t{capacity} + kPageSize));
  const uint32_t lastPage =
      capacity == 0 ? 0 : (capacity - 1) >> internal::kPageBits;
  const uint32_t newLastPage = (target - 1) >> internal::kPageBits;
  auto resize = [this](uint32_t page, uint32_t oldSize, uint32_t newSize) {
    // Records are plain data: no zeroing, every field is written when the
    // element is taken.
    std::unique_ptr<ElementRecord[]> fresh(new ElementRecord[newSize]);
    if (oldSize > 0) std::copy_n(pages[page].get(), oldSize, fresh.get());
    pages[page] = std::move(fresh);
  };
  if (capacity > 0 && newLastPage > lastPage) {
    // The old last page becomes full before the next one starts.
    const uint32_t used = capacity - lastPage * kPageSize;
    if (used < kPageSize) resize(lastPage, used, kPageSize);
  }
  const uint32_t newSize = target - newLastPage * kPageSize;
  if (newLastPage < pages.size()) {
    resize(newLastPage, capacity - newLastPage * kPageSize, newSize);
  } else {
    if (newLastPage >= pages.capacity()) pages.reserve(2 * (newLastPage + 2));
    pages.emplace_back(new ElementRecord[newSize]);
  }
  capacity = target;
}

uint32_t XmlDocument::Impl::TakeElement() {
  const uint32_t n = static_cast<uint32_t>(nextFree);
  if (n >= capacity) {
    GrowIndex(std::max<uint32_t>(n + n / 2, n + 1));
    if (n >= capacity) throw std::bad_alloc();  // element numbers exhausted
  }
  ++nextFree;
  return n;
}

uint32_t XmlDocument::Impl::StartTagLength(uint32_t n) const {
  const ElementRecord& e = E(n);
  const uint32_t stored = e.tagLengths & internal::kStartTagLengthMax;
  if (stored < internal::kStartTagLengthMax) return stored;
  // The field saturates for start tags of 4 Mi units or more; the tag is
  // read again to learn its real length.
  const std::u16string_view view = View();
  if (e.start >= view.size()) return 0;
  return static_cast<uint32_t>(
      internal::ScanNode(view, static_cast<int32_t>(e.start), nullptr).length);
}

uint32_t XmlDocument::Impl::EndTagLength(uint32_t n) const {
  const ElementRecord& e = E(n);
  const uint32_t stored = e.tagLengths >> 22;
  if (stored < internal::kEndTagLengthMax) return stored;
  // A saturated field: the end tag is whatever follows the last ">" before
  // the element's final ">". Nothing but the end tag can start there, as a
  // text node runs to the next "<" and every tag node ends at a ">".
  const std::u16string_view view = View();
  const uint64_t end = uint64_t{e.start} + e.length;
  const uint64_t contentStart = uint64_t{e.start} + StartTagLength(n);
  if (end > view.size() || end < contentStart + 2) return 0;
  uint64_t i = end - 2;
  while (i > contentStart && view[i] != u'>') --i;
  while (i < end && view[i] != u'<') ++i;
  return static_cast<uint32_t>(end - i);
}

uint32_t XmlDocument::Impl::ChildLevel(uint32_t parent) const {
  if (parent == 0) return 0;
  return std::min(LevelOf(E(parent)) + 1, internal::kLevelMax);
}

void XmlDocument::Impl::LinkLastChild(uint32_t parent, uint32_t child) {
  ElementRecord& c = E(child);
  ElementRecord& p = E(parent);
  c.parent = parent;
  c.nextSibling = 0;
  if (p.firstChild == 0) {
    p.firstChild = child;
    c.previousSibling = child;
    c.flagsAndLevel |= kElementFirstChild;
  } else {
    ElementRecord& first = E(p.firstChild);
    const uint32_t last = first.previousSibling;
    E(last).nextSibling = child;
    c.previousSibling = last;
    first.previousSibling = child;
  }
}

// ---------------------------------------------------------------------------
// Tokenizer

namespace internal {

namespace {

// Offset of the first ">" at or after from whose preceding units are
// terminator (the ">" excluded), or -1.
int32_t FindChar(std::u16string_view text, int32_t from, char16_t c);

int32_t FindTerminator(std::u16string_view text, int32_t from,
                       std::u16string_view terminator) {
  const auto before = static_cast<int32_t>(terminator.size());
  for (int32_t gt = FindChar(text, from, u'>'); gt >= 0;
       gt = FindChar(text, gt + 1, u'>')) {
    if (gt >= before && text.substr(gt - before, before) == terminator) {
      return gt;
    }
  }
  return -1;
}

// Offset of the first c at or after from, or -1. Text and quoted values
// make up most of a document, so this looks at four units per step: a lane
// equal to c becomes zero after the exclusive or, and the borrow trick sets
// the top bit of some lane exactly when one lane is zero.
int32_t FindChar(std::u16string_view text, int32_t from, char16_t c) {
  const char16_t* p = text.data();
  const auto n = static_cast<int32_t>(text.size());
  constexpr uint64_t kOnes = 0x0001000100010001ull;
  constexpr uint64_t kHighs = 0x8000800080008000ull;
  const uint64_t pattern = kOnes * c;
  int32_t i = from;
  for (; n - i >= 4; i += 4) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    word ^= pattern;
    if (((word - kOnes) & ~word & kHighs) != 0) break;
  }
  for (; i < n; ++i) {
    if (p[i] == c) return i;
  }
  return -1;
}

int32_t NameEnd(const char16_t* p, int32_t i, int32_t n) {
  while (i < n && !(ClassOf(p[i]) & kTagNameEnd)) ++i;
  return i;
}

}  // namespace

Node ScanNode(std::u16string_view text, int32_t offset, ScanError* error) {
  Node node;
  const int32_t n = static_cast<int32_t>(text.size());
  if (offset < 0 || offset >= n) {
    node.type = kNodeEnd;
    node.start = std::clamp(offset, 0, n);
    return node;
  }
  const char16_t* p = text.data();
  node.start = offset;

  // Text up to the next "<".
  if (p[offset] != u'<') {
    int32_t i = offset;
    while (i < n && IsSpace(p[i])) ++i;
    node.type = kNodeWhitespace;
    if (i < n && p[i] != u'<') {
      node.type = kNodeText;
      const int32_t lt = FindChar(text, i, u'<');
      i = lt < 0 ? n : lt;
    }
    node.length = i - offset;
    return node;
  }

  auto ended = [&](int32_t type, int32_t last) {
    node.type = type;
    node.length = last + 1 - offset;
    return node;
  };
  auto unterminated = [&](const char16_t* kind) {
    if (error != nullptr) {
      *error = {u"unterminated_tag_syntax", kind, offset};
    }
    node.type = kNodeError;
    node.length = n - offset;
    return node;
  };
  // A malformed tag runs to the next ">" after its "<".
  auto malformed = [&](const char16_t* result, int32_t from) {
    const int32_t gt = FindChar(text, from, u'>');
    if (gt < 0) return unterminated(u"tag");
    if (error != nullptr) *error = {result, nullptr, offset};
    return ended(kNodeError, gt);
  };
  auto at = [&](int32_t i) -> char16_t { return i < n ? p[i] : u'\0'; };
  const bool more1 = offset + 1 < n;
  const char16_t c1 = at(offset + 1);

  if (more1 && (ClassOf(c1) & kNameStart)) {
    // Start tag. A quote opens a value only after "=" (spaces between
    // allowed); an unquoted value runs to a space or ">".
    node.nameStart = offset + 1;
    const int32_t nameEnd = NameEnd(p, offset + 1, n);
    node.nameLength = nameEnd - node.nameStart;
    int32_t i = nameEnd;
    for (;;) {
      // Outside any value: only ">" and "=" matter.
      while (i < n && p[i] != u'>' && p[i] != u'=') ++i;
      if (i >= n) return unterminated(u"start_tag");
      if (p[i] == u'>') break;
      ++i;  // past "="
      while (i < n && IsSpace(p[i])) ++i;
      if (i >= n) return unterminated(u"start_tag");
      const char16_t q = p[i];
      if (q == u'"' || q == u'\'') {
        const int32_t close = FindChar(text, i + 1, q);
        if (close < 0) return unterminated(u"start_tag");
        i = close + 1;
      } else {
        while (i < n && p[i] != u'>' && !IsSpace(p[i])) ++i;
      }
    }
    // Empty when "/>" ends it and the slash stands after a space, a quote
    // or directly after the name; otherwise the slash belongs to an
    // unquoted value.
    if (p[i - 1] == u'/') {
      const int32_t slash = i - 1;
      const char16_t before = p[slash - 1];
      node.empty = slash == nameEnd || IsSpace(before) || before == u'"' ||
                   before == u'\'';
    }
    return ended(kNodeElement, i);
  }
  if (c1 == u'/' && more1) {
    node.nameStart = offset + 2;
    const int32_t nameEnd = NameEnd(p, offset + 2, n);
    node.nameLength = nameEnd - node.nameStart;
    const int32_t gt = FindChar(text, nameEnd, u'>');
    if (gt < 0) return unterminated(u"end_tag");
    return ended(kNodeEndTag, gt);
  }
  if (c1 == u'?' && more1) {
    node.nameStart = offset + 2;
    node.nameLength = NameEnd(p, offset + 2, n) - node.nameStart;
    const int32_t gt = FindTerminator(text, offset + 3, u"?");
    if (gt < 0) return unterminated(u"processing_instruction");
    return ended(kNodeProcessingInstruction, gt);
  }
  if (c1 != u'!' || !more1) return malformed(u"first_tag_syntax", offset + 1);

  const bool more2 = offset + 2 < n;
  const char16_t c2 = at(offset + 2);
  if (c2 == u'-' && more2) {
    if (offset + 3 >= n || p[offset + 3] != u'-') {
      return malformed(u"comment_tag_syntax", offset + 1);
    }
    const int32_t gt = FindTerminator(text, offset + 6, u"--");
    if (gt < 0) return unterminated(u"comment");
    return ended(kNodeComment, gt);
  }
  if (c2 == u'[' && more2) {
    if (offset + 3 >= n || p[offset + 3] != u'C') {
      return malformed(u"cdata_section_syntax", offset + 1);
    }
    const int32_t gt = FindTerminator(text, offset + 6, u"]]");
    if (gt < 0) return unterminated(u"cdata_section");
    return ended(kNodeCData, gt);
  }
  if (c2 != u'D' || !more2) {
    return malformed(u"exclamation_tag_syntax", offset + 1);
  }

  // Document type declaration: quoted strings and the inner declarations of
  // an internal subset ("<!E", "<!A", "<!N") may hold ">".
  auto skipQuoted = [&](int32_t i) {  // i at a quote; -1 when unclosed
    const int32_t close = FindChar(text, i + 1, p[i]);
    return close < 0 ? -1 : close + 1;
  };
  int32_t i = offset + 3;
  while (i < n) {
    const char16_t c = p[i];
    if (c == u'>') return ended(kNodeDocumentType, i);
    if (c == u'"' || c == u'\'') {
      i = skipQuoted(i);
      if (i < 0) break;
      continue;
    }
    if (c == u'<' && at(i + 1) == u'!') {
      if (i + 2 >= n) break;
      const char16_t kind = p[i + 2];
      if (kind != u'E' && kind != u'A' && kind != u'N') {
        return malformed(u"doctype_tag_syntax", i + 2);
      }
      i += 3;
      while (i < n && p[i] != u'>') {
        if (p[i] == u'"' || p[i] == u'\'') {
          i = skipQuoted(i);
          if (i < 0) return unterminated(u"document_type");
        } else {
          ++i;
        }
      }
      if (i >= n) break;
      ++i;  // past the inner declaration's ">"
      continue;
    }
    ++i;
  }
  return unterminated(u"document_type");
}

std::u16string_view NameAt(std::u16string_view text, size_t offset) {
  if (offset >= text.size()) return {};
  size_t end = offset;
  while (end < text.size() && !(ClassOf(text[end]) & kNameEnd)) ++end;
  return text.substr(offset, end - offset);
}

}  // namespace internal

// ---------------------------------------------------------------------------
// Parser

namespace {

// The part of an open element's name that an end tag must repeat in full:
// up to its first "=", "[" or "]" (see EndTagMatches).
uint32_t BucketOf(std::u16string_view name) {
  uint32_t hash = 2166136261u;
  for (char16_t c : name) {
    if (c == u'=' || c == u'[' || c == u']') break;
    hash = (hash ^ c) * 16777619u;
  }
  return (hash ^ (hash >> 8) ^ (hash >> 16)) & 0xFF;
}

// An end tag closes an open element when its name is the element's name,
// or the element's name continued by one of " =/[]".
bool EndTagMatches(std::u16string_view open, std::u16string_view end) {
  if (open.size() < end.size()) return false;
  if (open.compare(0, end.size(), end) != 0) return false;
  if (open.size() == end.size()) return true;
  const char16_t next = open[end.size()];
  return next == u' ' || next == u'=' || next == u'/' || next == u'[' ||
         next == u']';
}

}  // namespace

bool XmlDocument::Impl::IsWellFormed() const {
  if (nextFree < 1) return false;
  const ElementRecord& root = E(0);
  return !(root.flagsAndLevel & kElementIllFormed) && root.firstChild != 0 &&
         E(root.firstChild).nextSibling == 0;
}

bool XmlDocument::Impl::Parse() {
  parentPosition = mainPosition = childPosition = nodeType = 0;
  const std::u16string_view view = View();
  const auto wanted = static_cast<uint32_t>(view.size() / 64 + 8);
  while (capacity < wanted) GrowIndex(wanted);
  E(0) = ElementRecord{};
  nextFree = 1;
  if (view.empty()) return false;

  BuildElements(view);
  E(0).length = static_cast<uint32_t>(view.size());
  const uint32_t first = E(0).firstChild;
  if (first == 0) {
    AddResult({u"no_root_element"});
  } else if (E(first).nextSibling != 0) {
    AddResult({u"root_has_sibling"});
  }
  parentPosition = mainPosition = childPosition = nodeType = 0;
  return IsWellFormed();
}

void XmlDocument::Impl::BuildElements(std::u16string_view view) {
  open.clear();
  if (open.capacity() < 7) open.reserve(7);
  openBuckets.fill(0);
  uint32_t current = 0;
  int32_t offset = 0;
  for (;;) {
    ScanError error;
    const Node node = internal::ScanNode(view, offset, &error);
    if (node.type == kNodeEnd) break;
    offset = node.start + node.length;

    if (node.type == kNodeElement) {
      const uint32_t n = TakeElement();
      ElementRecord& e = E(n);
      const auto tagLength = static_cast<uint32_t>(node.length);
      e.start = static_cast<uint32_t>(node.start);
      e.length = tagLength;
      e.tagLengths = std::min(tagLength, internal::kStartTagLengthMax);
      e.flagsAndLevel = ChildLevel(current);
      e.firstChild = 0;
      LinkLastChild(current, n);
      if (!node.empty) {
        const std::u16string_view name =
            view.substr(node.nameStart, node.nameLength);
        const uint32_t bucket = BucketOf(name);
        open.push_back({n, node.nameStart, node.nameLength, bucket});
        ++openBuckets[bucket];
        current = n;
      }
    } else if (node.type == kNodeEndTag) {
      const std::u16string_view name =
          view.substr(node.nameStart, node.nameLength);
      size_t found = open.size();
      if (openBuckets[BucketOf(name)] != 0) {
        for (size_t i = open.size(); i-- > 0;) {
          const OpenElement& o = open[i];
          if (EndTagMatches(view.substr(o.nameStart, o.nameLength), name)) {
            found = i;
            break;
          }
        }
      }
      if (found == open.size()) {
        AddResult({u"lone_end_tag", u"tagname", name, u"offset", node.start});
        E(0).flagsAndLevel |= kElementIllFormed;
        E(current).flagsAndLevel |= kElementIllData;
        continue;
      }
      CloseNotEnded(found + 1, node.start + 1);
      const uint32_t n = open[found].element;
      ElementRecord& e = E(n);
      e.length = static_cast<uint32_t>(offset) - e.start;
      e.tagLengths = (e.tagLengths & internal::kStartTagLengthMax) |
                     std::min(static_cast<uint32_t>(node.length),
                              internal::kEndTagLengthMax)
                         << 22;
      --openBuckets[open[found].bucket];
      open.pop_back();
      current = e.parent;
    } else if (node.type == kNodeError) {
      E(0).flagsAndLevel |= kElementIllFormed;
      E(current).flagsAndLevel |= kElementIllData;
      AddScanError(error);
    }
  }
  CloseNotEnded(0, static_cast<int32_t>(view.size()));
}

void XmlDocument::Impl::CloseNotEnded(size_t from, int32_t offset2) {
  if (from >= open.size()) return;
  const std::u16string_view view = View();
  const uint32_t outer = open[from].element;
  const uint32_t parent = E(outer).parent;

  // Innermost first: the results and the element's own fields.
  for (size_t j = open.size(); j-- > from;) {
    const OpenElement& o = open[j];
    ElementRecord& e = E(o.element);
    E(0).flagsAndLevel |= kElementIllFormed;
    AddResult({u"unended_start_tag", u"tagname",
               view.substr(o.nameStart, o.nameLength), u"offset", e.start,
               offset2});
    e.length = StartTagLength(o.element);
    e.tagLengths &= internal::kStartTagLengthMax;
    // What it held is now its parent's content, and the parent holds an
    // unended child as well: the ill data flag moves outwards, ending on
    // the parent of the outermost element closed.
    e.flagsAndLevel = (e.flagsAndLevel & ~kElementIllData) | kElementNotEnded;
    --openBuckets[o.bucket];
  }
  E(parent).flagsAndLevel |= kElementIllData;

  // The children of every closed element follow it as siblings under the
  // parent. Each open element is the last child of the one before it, so
  // the whole chain flattens into one run: outer, its children (ending with
  // the next open element), that one's children, and so on.
  const uint32_t childLevel = ChildLevel(parent);
  uint32_t tail = outer;
  for (size_t j = from; j < open.size(); ++j) {
    const uint32_t n = open[j].element;
    const uint32_t next = j + 1 < open.size() ? open[j + 1].element : 0;
    ElementRecord& e = E(n);
    const uint32_t first = e.firstChild;
    if (first == 0) continue;
    for (uint32_t c = first; c != 0; c = E(c).nextSibling) {
      ElementRecord& child = E(c);
      child.parent = parent;
      child.flagsAndLevel = (child.flagsAndLevel & 0xFFFF0000u) | childLevel;
      if (c != next) RelevelSubtree(c);
      tail = c;
    }
    e.nextSibling = first;
    E(first).previousSibling = n;
    e.firstChild = 0;
  }
  E(E(parent).firstChild).previousSibling = tail;
  open.resize(from);
}

void XmlDocument::Impl::RelevelSubtree(uint32_t root) {
  // Depth first through the links, without a stack.
  uint32_t n = E(root).firstChild;
  while (n != 0) {
    ElementRecord& e = E(n);
    e.flagsAndLevel = (e.flagsAndLevel & 0xFFFF0000u) | ChildLevel(e.parent);
    if (e.firstChild != 0) {
      n = e.firstChild;
      continue;
    }
    while (n != root && E(n).nextSibling == 0) n = E(n).parent;
    if (n == root) break;
    n = E(n).nextSibling;
  }
}

// ---------------------------------------------------------------------------
// Interface

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

bool XmlDocument::SetDocument(const char16_t* text) {
  return SetDocument(text == nullptr ? std::u16string_view()
                                     : std::u16string_view(text));
}

bool XmlDocument::SetDocument(std::u16string_view text) {
  impl_->text.assign(text);
  impl_->result.clear();
  impl_->flags = 0;
  return impl_->Parse();
}

bool XmlDocument::IsWellFormed() const { return impl_->IsWellFormed(); }

std::u16string_view XmlDocument::Text() const { return impl_->text.View(); }
const std::u16string& XmlDocument::Result() const { return impl_->result; }
uint32_t XmlDocument::Flags() const { return impl_->flags; }

Node XmlDocument::NextNode(int32_t offset) {
  ScanError error;
  const Node node = internal::ScanNode(impl_->View(), offset, &error);
  if (error.result != nullptr) impl_->AddScanError(error);
  return node;
}

int32_t XmlDocument::ElementCount() const { return impl_->nextFree; }

const ElementRecord& XmlDocument::Element(int32_t number) const {
  return impl_->Valid(number) ? impl_->E(static_cast<uint32_t>(number))
                              : kNoElement;
}

std::u16string_view XmlDocument::NameOf(int32_t number) const {
  if (number <= 0 || !impl_->Valid(number)) return {};
  return internal::NameAt(impl_->View(), impl_->E(number).start + 1);
}

}  // namespace vesk::xml
