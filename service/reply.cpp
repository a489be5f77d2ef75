// Reading the short XML replies of the account and activation operations:
// the values come as UTF-16 from the document and go into the request's
// byte fields in the system ANSI code page; names may hold encoded words.
#include <cstring>
#include <string>

#include "service/service.h"
#include "xml/xml.h"

namespace vesk::service {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Base64 data of an encoded word; characters outside the alphabet (padding
// included) are passed over.
std::string DecodeBase64(std::string_view data) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : data) {
    const int value = Base64Value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

// Quoted-printable data of an encoded word: "_" is a blank, "=XX" a byte.
std::string DecodeQuoted(std::string_view data) {
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '_') {
      out.push_back(' ');
    } else if (data[i] == '=' && i + 2 < data.size() &&
               HexValue(data[i + 1]) >= 0 && HexValue(data[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(data[i + 1]) * 16 +
                                      HexValue(data[i + 2])));
      i += 2;
    } else {
      out.push_back(data[i]);
    }
  }
  return out;
}

// The ANSI form of a UTF-16 value, whole.
std::string Ansi(const std::u16string& value) {
  const size_t size = AnsiSize(value.c_str());
  if (size == 0) return std::string();
  std::string text(size, '\0');
  WideToAnsi(value.c_str(), text.data(), size);
  text.resize(size - 1);
  return text;
}

}  // namespace

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find("=?", at);
    if (open == std::string_view::npos) break;
    // "=?" charset "?" B or Q "?" data "?="; the charset is not used.
    const size_t charsetEnd = text.find('?', open + 2);
    const bool shaped = charsetEnd != std::string_view::npos &&
                        charsetEnd + 2 < text.size() &&
                        text[charsetEnd + 2] == '?';
    const size_t close =
        shaped ? text.find("?=", charsetEnd + 3) : std::string_view::npos;
    if (close == std::string_view::npos) {
      out.append(text.substr(at, open + 2 - at));
      at = open + 2;
      continue;
    }
    const char kind = text[charsetEnd + 1];
    const std::string_view data =
        text.substr(charsetEnd + 3, close - charsetEnd - 3);
    out.append(text.substr(at, open - at));
    if (kind == 'B' || kind == 'b') {
      out.append(DecodeBase64(data));
    } else if (kind == 'Q' || kind == 'q') {
      out.append(DecodeQuoted(data));
    } else {
      out.append(text.substr(open, close + 2 - open));
    }
    at = close + 2;
  }
  out.append(text.substr(std::min(at, text.size())));
  return out;
}

void CopyAnsiField(const std::string& bytes, char* field, size_t capacity) {
  // Through UTF-16 and back, so that a cut never splits a character.
  std::u16string wide(bytes.size() + 1, u'\0');
  if (AnsiToWide(bytes.c_str(), wide.data(), wide.size()) == nullptr) {
    std::memset(field, 0, capacity);
    return;
  }
  WideToAnsi(wide.c_str(), field, capacity);
}

ReplyReader::ReplyReader(const char* body, int32_t length)
    : document_(std::make_unique<xml::XmlDocument>()) {
  // A reply that is not well formed (a cut one, for instance) yields
  // nothing: no value is taken from a document the service did not finish.
  wellFormed_ = document_->LoadFromBytes(
      body, length > 0 ? static_cast<size_t>(length) : 0);
}

ReplyReader::~ReplyReader() = default;

int32_t ReplyReader::RootChildAttributeNumber(const char16_t* element,
                                              const char16_t* attribute) const {
  const int32_t found = wellFormed_ ? document_->FindRootChild(element) : 0;
  if (found == 0) return 0;
  return transport::AtoiRule(
      Ansi(document_->AttributeOf(found, attribute)).c_str());
}

bool ReplyReader::Has(const char16_t* element) const {
  return wellFormed_ && document_->FindBreadthFirst(element) != 0;
}

std::string ReplyReader::Text(const char16_t* element) const {
  const int32_t found = wellFormed_ ? document_->FindBreadthFirst(element) : 0;
  return found == 0 ? std::string() : Ansi(document_->DataOf(found));
}

int32_t ReplyReader::Number(const char16_t* element) const {
  return transport::AtoiRule(Text(element).c_str());
}

}  // namespace vesk::service
