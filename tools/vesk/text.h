// Text helpers of the host tool: the library speaks UTF-16, the command line
// and the terminal speak UTF-8.
#ifndef VESK_TOOLS_VESK_TEXT_H_
#define VESK_TOOLS_VESK_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "vesk80.h"

namespace vesk::tool {

// UTF-8 to UTF-16; characters above U+FFFF become surrogate pairs, malformed
// bytes become U+FFFD.
std::u16string ToUtf16(const std::string& utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const std::u16string& utf16);
// Appends the UTF-8 form of one code point (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);
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

// Display width of UTF-8 text in terminal columns: East Asian wide
// characters take two.
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
