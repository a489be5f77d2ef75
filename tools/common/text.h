// Text helpers shared by the programs around the library: UTF-8, which the
// command line, JSON and the terminal speak, against UTF-16, which the
// library's records hold; and percent-decoding of URLs and form values.
#ifndef VESK_TOOLS_COMMON_TEXT_H_
#define VESK_TOOLS_COMMON_TEXT_H_

#include <string>
#include <string_view>

namespace vesk::tools {

// UTF-8 to UTF-16; characters above U+FFFF become surrogate pairs, and every
// byte that does not begin a well-formed sequence (overlong forms and
// surrogates included) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends the UTF-8 form of one code point (U+FFFD for one past U+10FFFF or
// a surrogate).
void AppendUtf8(std::string& out, char32_t codePoint);

// "%XX" (two hexadecimal digits, either case) becomes that byte, and with
// plusIsBlank a "+" becomes a blank (form values); anything else, a "%"
// without two digits after it included, stays as it is.
std::string PercentDecode(std::string_view text, bool plusIsBlank);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_COMMON_TEXT_H_
