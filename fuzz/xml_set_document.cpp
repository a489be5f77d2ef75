// Fuzz target: the input's bytes taken as UTF-16 units (host order) are the
// document text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/xml_exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  vesk::xml::XmlDocument doc;
  doc.SetDocument(text);
  vesk::fuzz::ExerciseDocument(doc);
  // Values read from the text go through escaping and unescaping.
  const std::u16string unescaped = vesk::xml::UnescapeText(text);
  vesk::fuzz::Check(unescaped.size() <= text.size(), "unescaping shrinks");
  vesk::fuzz::Check(
      vesk::xml::UnescapeText(vesk::xml::EscapeText(text)) == text,
      "escaping round trip");
  return 0;
}
