// What the XML fuzz targets and the XML tests check on any parsed document:
// every link of the index agrees with the others and every element lies in
// the text, reading values and walking the cursor stay inside both, and the
// result string stays bounded. A violation aborts with a message, so the
// fuzzer records the input and a test fails.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "xml/xml.h"

namespace vesk::fuzz {

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
  Check(result.empty() || result.rfind(u'<') < 1000, "last result below 1,000");
  Check(result.size() < 1100 + 6 * (doc.Text().size() + 1024), "result bound");
}

inline void ExerciseDocument(xml::XmlDocument& doc) {
  CheckResultBound(doc);
  const std::u16string_view text = doc.Text();
  const uint32_t count = doc.ElementCount();
  Check(count >= 1, "element 0 exists");
  // Reading values costs up to an element's length: only the first are read.
  size_t read = 0;
  for (uint32_t n = 0; n < count; ++n) {
    const xml::ElementRecord& e = doc.Element(n);
    Check(e.start <= text.size() && e.length <= text.size() - e.start &&
              (n == 0 || text[e.start] == u'<'),
          "element in text");
    Check(e.parent < count && e.firstChild < count && e.nextSibling < count &&
              e.previousSibling < count,
          "links in index");
    uint32_t last = 0;
    for (uint32_t c = e.firstChild; c != 0 && read < (1u << 22);
         c = doc.Element(c).nextSibling, ++read) {
      Check(doc.Element(c).parent == n, "child's parent");
      Check(last == 0 || (doc.Element(c).previousSibling == last &&
                          doc.Element(last).start < doc.Element(c).start),
            "siblings in order");
      last = c;
    }
    Check(e.firstChild == 0 || read >= (1u << 22) ||
              doc.Element(e.firstChild).previousSibling == last,
          "first child's previous is the last");
    const std::u16string_view name = doc.NameOf(n);
    Check(name.empty() ||
              (name.data() >= text.data() &&
               name.data() + name.size() <= text.data() + text.size()),
          "name in text");
    if (n > 0 && n < 4096 && read < (1u << 22)) {
      read += doc.DataOf(n).size() + e.length;
      doc.AttributeOf(n, u"key");
    }
  }
  // Every element of every level, bounded in steps. (The notification
  // reader's walk is the heartbeat target's.)
  doc.ResetMainPosition();
  for (int steps = 0, depth = 0; steps < 100000; ++steps) {
    if (doc.FindElement()) {
      Check(doc.CurrentNodeType() == xml::kNodeElement, "node type");
      if (steps < 2000) doc.GetData();
      if (doc.IntoElement()) ++depth;
    } else if (depth == 0 || !doc.OutOfElement()) {
      break;
    } else {
      --depth;
    }
  }
  CheckResultBound(doc);
}

}  // namespace vesk::fuzz
