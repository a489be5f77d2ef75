// The byte string and the atoi rule that every numeric text goes through.
#include <cstring>
#include <limits>

#include "transport/transport.h"

namespace vesk::transport {

ByteString& ByteString::Append(const char* text) {
  if (text != nullptr) text_.append(text);
  return *this;
}

ByteString& ByteString::Append(const char* data, size_t size) {
  if (data != nullptr) text_.append(data, size);
  return *this;
}

ByteString& ByteString::AppendDecimal(int64_t value) {
  text_ += std::to_string(value);
  return *this;
}

int32_t ByteString::ToInt() const { return AtoiRule(text_.c_str()); }

int32_t AtoiRule(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  // The C library's white space: blank, tab, line feed, vertical tab, form
  // feed, carriage return.
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < kLimit) value = value * 10 + (*p - '0');
  }
  if (negative) {
    value = -value;
    if (value < std::numeric_limits<int32_t>::min()) {
      value = std::numeric_limits<int32_t>::min();
    }
  } else if (value > std::numeric_limits<int32_t>::max()) {
    value = std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

}  // namespace vesk::transport
