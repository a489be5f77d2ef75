#include "tools/vesk/text.h"

#include <utf8proc.h>

#include <cstring>

#include "tools/common/text.h"

namespace vesk::tool {

namespace {

// The next character of the text at `at` and its width; `at` moves past it.
int NextWidth(const std::string& utf8, size_t& at) {
  utf8proc_int32_t code = -1;
  const utf8proc_ssize_t n = utf8proc_iterate(
      reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()) + at,
      static_cast<utf8proc_ssize_t>(utf8.size() - at), &code);
  if (n <= 0 || code < 0) {
    ++at;
    return 1;  // shown as U+FFFD
  }
  at += static_cast<size_t>(n);
  return utf8proc_charwidth(code);
}

}  // namespace

std::string FieldText(const vesk_char16* field, size_t units) {
  size_t n = 0;
  while (n < units && field[n] != 0) ++n;
  return tools::Utf16ToUtf8(std::u16string_view(field, n));
}

bool SetField(vesk_char16* field, size_t units, const std::string& utf8) {
  std::u16string text = tools::Utf8ToUtf16(utf8);
  bool whole = true;
  if (text.size() >= units) {
    whole = false;
    size_t n = units - 1;
    // Never leave half of a surrogate pair at the end.
    if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    text.resize(n);
  }
  std::memset(field, 0, units * sizeof(vesk_char16));
  for (size_t i = 0; i < text.size(); ++i) {
    field[i] = static_cast<vesk_char16>(text[i]);
  }
  return whole;
}

size_t DisplayWidth(const std::string& utf8) {
  size_t width = 0;
  for (size_t at = 0; at < utf8.size();) {
    width += static_cast<size_t>(NextWidth(utf8, at));
  }
  return width;
}

std::string FitColumns(const std::string& utf8, size_t columns) {
  if (DisplayWidth(utf8) <= columns) return utf8;
  std::string out;
  size_t width = 0;
  for (size_t at = 0; at < utf8.size();) {
    const size_t start = at;
    const size_t w = static_cast<size_t>(NextWidth(utf8, at));
    if (width + w + 1 > columns) break;  // room for the ellipsis
    width += w;
    out.append(utf8, start, at - start);
  }
  return out + "\xE2\x80\xA6";
}

std::string HandsetPath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string HostPath(const std::string& deviceRoot, const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  if (!out.empty() && out[0] == '/') return deviceRoot + out;
  return out;
}

}  // namespace vesk::tool
