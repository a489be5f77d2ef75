// Text helpers of the host tool: the record fields the library reads and
// writes (UTF-16, through the tools' one conversion), the width of text in a
// terminal, and handset paths against host paths.
#ifndef VESK_TOOLS_VESK_TEXT_H_
#define VESK_TOOLS_VESK_TEXT_H_

#include <cstddef>
#include <string>

#include "vesk80.h"

namespace vesk::tool {

// The zero-terminated text of a fixed record field (at most `units` units).
std::string FieldText(const vesk_char16* field, size_t units);

// Copies the text into a fixed record field, cut to fit with its terminator.
// Returns false when it had to be cut.
bool SetField(vesk_char16* field, size_t units, const std::string& utf8);

template <size_t N>
std::string FieldText(const vesk_char16 (&field)[N]) {
  return FieldText(field, N);
}
template <size_t N>
bool SetField(vesk_char16 (&field)[N], const std::string& utf8) {
  return SetField(field, N, utf8);
}

// Display width of UTF-8 text in terminal columns, by Unicode's character
// widths: East Asian wide characters and emoji take two, combining marks
// none. A byte that does not begin a well-formed sequence takes one.
size_t DisplayWidth(const std::string& utf8);
// The text cut to at most `columns` display columns, with "…" at the end
// when something was cut.
std::string FitColumns(const std::string& utf8, size_t columns);

// A handset path as the library wants it: "/" separators become "\".
std::string HandsetPath(const std::string& path);
// The host path of a handset path: an absolute one ("\..." or "/...") lies
// under the device root; a relative one stays relative.
std::string HostPath(const std::string& deviceRoot, const std::string& path);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_TEXT_H_
