// Fuzz target: the input is the content of a file being loaded, so encoding
// detection, conversion and parsing all see it.
#include <cstddef>
#include <cstdint>

#include "fuzz/xml_exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::xml::XmlDocument doc;
  doc.LoadFromBytes(data, size);
  vesk::fuzz::ExerciseDocument(doc);
  return 0;
}
