// Conversion of text between the caller's UTF-16 and the system ANSI code
// page, always into fixed buffers that are never overrun.
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "service/service.h"

namespace vesk::service {

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Bytes needed for the first units of text, terminator not included.
size_t AnsiBytes(const char16_t* text, size_t units) {
  if (units == 0) return 0;
  const int size = platform::WideToMultiByte(
      platform::kAnsiCodePage, text, static_cast<int>(units), nullptr, 0);
  return size < 0 ? 0 : static_cast<size_t>(size);
}

}  // namespace

size_t BoundedLength(const char16_t* text, size_t maxUnits) {
  size_t length = 0;
  if (text == nullptr) return 0;
  while (length < maxUnits && text[length] != 0) ++length;
  return length;
}

size_t AnsiSize(const char16_t* text, size_t maxUnits) {
  if (text == nullptr) return 0;
  const size_t units = BoundedLength(text, maxUnits);
  const size_t bytes = AnsiBytes(text, units);
  if (units > 0 && bytes == 0) return 0;
  return bytes + 1;
}

char* WideToAnsi(const char16_t* text, char* target, size_t capacity,
                 size_t maxUnits) {
  if (target == nullptr || capacity == 0) return nullptr;
  std::memset(target, 0, capacity);
  if (text == nullptr) return nullptr;
  size_t units = BoundedLength(text, maxUnits);
  if (units == 0) return target;
  size_t bytes = AnsiBytes(text, units);
  if (bytes == 0) return nullptr;
  if (bytes > capacity - 1) {
    // The longest prefix of whole characters whose ANSI form fits: the size
    // of a prefix grows with its length, so a binary search finds it.
    size_t low = 0;
    size_t high = units;
    while (low < high) {
      const size_t middle = (low + high + 1) / 2;
      if (AnsiBytes(text, middle) <= capacity - 1) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    units = low;
    if (units > 0 && IsHighSurrogate(text[units - 1])) --units;
    bytes = AnsiBytes(text, units);
    if (units == 0 || bytes > capacity - 1) return target;
  }
  platform::WideToMultiByte(platform::kAnsiCodePage, text,
                            static_cast<int>(units), target,
                            static_cast<int>(capacity - 1));
  return target;
}

char16_t* AnsiToWide(const char* text, char16_t* target, size_t capacity) {
  if (text == nullptr || target == nullptr || capacity == 0) return nullptr;
  const int needed =
      platform::MultiByteToWide(platform::kAnsiCodePage, text, -1, nullptr, 0);
  if (needed <= 0) return nullptr;
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  const int written = platform::MultiByteToWide(platform::kAnsiCodePage, text,
                                                -1, wide.data(), needed);
  if (written <= 0) return nullptr;
  size_t units = std::char_traits<char16_t>::length(wide.c_str());
  if (units > capacity - 1) {
    units = capacity - 1;
    if (units > 0 && IsHighSurrogate(wide[units - 1])) --units;
  }
  std::memcpy(target, wide.data(), units * sizeof(char16_t));
  target[units] = u'\0';
  return target;
}

}  // namespace vesk::service
