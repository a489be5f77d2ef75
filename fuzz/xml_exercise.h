// What both XML fuzz targets do with a parsed document: walk the index and
// the cursor, read attributes and data, and check that nothing points
// outside the text or the index and that the result string stays bounded.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "xml/xml.h"

namespace vesk::fuzz {

// Aborts with a message, so the fuzzer records the input.
inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Results are added only while the result string is under 1,000 units, so
// every entry but the last starts below that. An entry is short except for
// its text value: a tag name out of the text or an encoding name out of the
// first 1,024 bytes of a file, escaped (at most six units per unit).
inline void CheckResultBound(const xml::XmlDocument& doc) {
  const std::u16string& result = doc.Result();
  const size_t last = result.rfind(u'<');
  Check(result.empty() || last < 1000, "last result starts below 1,000");
  Check(result.size() < 1100 + 6 * (doc.Text().size() + 1024),
        "result string bound");
}

inline void ExerciseDocument(xml::XmlDocument& doc) {
  CheckResultBound(doc);
  const size_t size = doc.Text().size();
  const int32_t count = doc.ElementCount();
  Check(count >= 1, "element 0 exists");
  // Element numbers below the next free one are valid: only the last page
  // is partly used. Reading values of each element costs up to its length,
  // so only the first elements are read.
  size_t read = 0;
  for (int32_t n = 0; n < count; ++n) {
    const xml::ElementRecord& e = doc.Element(n);
    Check(e.start <= size && e.length <= size - e.start, "element in text");
    Check(e.parent < uint32_t(count) && e.firstChild < uint32_t(count) &&
              e.nextSibling < uint32_t(count) &&
              e.previousSibling < uint32_t(count),
          "links in index");
    if (n == 0) continue;
    const std::u16string_view name = doc.NameOf(n);
    Check(
        name.empty() || (name.data() >= doc.Text().data() &&
                         name.data() + name.size() <= doc.Text().data() + size),
        "name in text");
    for (uint32_t c = e.firstChild; c != 0 && read < (1u << 22);
         c = doc.Element(c).nextSibling, ++read) {
      Check(doc.Element(c).parent == uint32_t(n), "child's parent");
    }
    if (n < 4096 && read < (1u << 22)) {
      read += doc.DataOf(n).size() + e.length;
      doc.AttributeOf(n, u"key");
      doc.AttributeOf(n, u"total");
    }
  }
  // The walk the notification reader makes, then every element of every
  // level; both bounded in steps.
  doc.ResetMainPosition();
  if (doc.FindChildElement(u"notifications") && doc.IntoElement()) {
    doc.GetAttribute(u"total");
    for (const char16_t* kind : {u"content", u"message", u"advertisement"}) {
      for (int i = 0; i < 1000 && doc.FindChildElement(kind); ++i) {
        Check(doc.IntoElement(), "into a found child");
        doc.GetAttribute(u"key");
        for (const char16_t* field : {u"mime", u"size", u"title", u"text"}) {
          if (doc.FindChildElement(field)) {
            Check(doc.IntoElement(), "into a found field");
            Check(doc.GetData().size() <= size, "data within text");
            Check(doc.OutOfElement(), "out of a field");
          }
        }
        Check(doc.OutOfElement(), "out of a notification");
      }
    }
    doc.OutOfElement();
  }
  doc.ResetMainPosition();
  while (doc.OutOfElement()) {
  }
  doc.ResetMainPosition();
  int steps = 0;
  int depth = 0;
  while (steps++ < 100000) {
    if (doc.FindElement()) {
      Check(doc.CurrentNodeType() == xml::kNodeElement, "node type");
      doc.GetAttribute(u"key");
      if (steps < 2000) doc.GetData();
      if (doc.IntoElement()) ++depth;
    } else if (depth > 0 && doc.OutOfElement()) {
      --depth;
    } else {
      break;
    }
  }
  CheckResultBound(doc);
}

}  // namespace vesk::fuzz
