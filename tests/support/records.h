// Helpers for tests that call the exports: caller records filled with a
// marker byte, to see which bytes a call wrote, and the loopback URL of a
// fake server.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk::test {

constexpr unsigned char kFill = 0xAB;

// A record whose every byte is kFill.
template <typename Record>
Record Filled() {
  Record record;
  std::memset(&record, kFill, sizeof record);
  return record;
}

// Puts text into a caller's text field, cut to leave room for its
// terminator.
template <typename Unit, size_t N>
void Put(Unit (&field)[N], std::u16string_view text) {
  const size_t n = std::min(text.size(), N - 1);
  std::copy(text.begin(), text.begin() + n, field);
  field[n] = 0;
}

// True when the bytes from..to of the record still hold kFill.
template <typename Record>
bool Untouched(const Record& record, size_t from = 0,
               size_t to = sizeof(Record)) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != kFill) return false;
  }
  return true;
}

// A request text with the value of its "User-Cert" line left out. The
// certificate depends on the key the process's facility holds (other tests
// load keys); its value is checked where keys are set up.
inline std::string WithoutCertificate(std::string request) {
  const std::string name = "User-Cert: ";
  const size_t at = request.find(name);
  if (at != std::string::npos) {
    const size_t end = request.find("\r\n", at);
    request.erase(at + name.size(), end - at - name.size());
  }
  return request;
}

// "http://127.0.0.1:PORT" + path, as the exports take it.
inline std::u16string Url(const FakeServer& server, const std::string& path) {
  return U16("http://127.0.0.1:" + std::to_string(server.port()) + path);
}

}  // namespace vesk::test
