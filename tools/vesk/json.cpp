#include "tools/vesk/json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/vesk/text.h"

namespace vesk::tool {

namespace {

const Json& NullValue() {
  static const Json null;
  return null;
}

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  std::optional<Json> Document(std::string* error) {
    Json value;
    SkipSpace();
    if (!Value(value, 0) || (SkipSpace(), pos_ != s_.size())) {
      if (error) *error = "malformed JSON at byte " + std::to_string(pos_);
      return std::nullopt;
    }
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void SkipSpace() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' ||
                                s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  bool Value(Json& out, int depth) {
    if (depth > kMaxDepth || pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '{') return ObjectValue(out, depth);
    if (c == '[') return ArrayValue(out, depth);
    if (c == '"') {
      std::string text;
      if (!String(text)) return false;
      out = Json(std::move(text));
      return true;
    }
    if (Literal("true")) return out = Json(true), true;
    if (Literal("false")) return out = Json(false), true;
    if (Literal("null")) return out = Json(), true;
    return Number(out);
  }

  bool Number(Json& out) {
    const size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    const size_t digits = pos_;
    while (pos_ < s_.size() &&
           (std::isdigit(static_cast<unsigned char>(s_[pos_])) ||
            s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E' ||
            s_[pos_] == '+' || s_[pos_] == '-')) {
      ++pos_;
    }
    if (pos_ == digits) return false;
    const std::string text = s_.substr(start, pos_ - start);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return false;
    out = Json(v);
    return true;
  }

  bool Hex4(uint32_t& v) {
    if (pos_ + 4 > s_.size()) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v |= c - 'A' + 10;
      } else {
        return false;
      }
    }
    return true;
  }

  bool String(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(pos_, 2, "\\u") == 0) {
            const size_t save = pos_;
            pos_ += 2;
            uint32_t low = 0;
            if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = save;
              cp = 0xFFFD;
            }
          } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool ArrayValue(Json& out, int depth) {
    ++pos_;
    out = Json::Array();
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
    while (true) {
      Json item;
      SkipSpace();
      if (!Value(item, depth + 1)) return false;
      out.Push(std::move(item));
      SkipSpace();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (s_[pos_] == ']') return ++pos_, true;
      return false;
    }
  }

  bool ObjectValue(Json& out, int depth) {
    ++pos_;
    out = Json::Object();
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
    while (true) {
      SkipSpace();
      std::string key;
      if (pos_ >= s_.size() || s_[pos_] != '"' || !String(key)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return false;
      ++pos_;
      SkipSpace();
      Json item;
      if (!Value(item, depth + 1)) return false;
      out.Set(key, std::move(item));
      SkipSpace();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (s_[pos_] == '}') return ++pos_, true;
      return false;
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

Json& Json::Set(const std::string& key, Json value) {
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(key, std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return *this;
}

const Json& Json::operator[](const std::string& key) const {
  if (type_ != Type::kObject) return NullValue();
  for (const auto& member : members_) {
    if (member.first == key) return member.second;
  }
  return NullValue();
}

const Json& Json::operator[](size_t index) const {
  if (type_ != Type::kArray || index >= items_.size()) return NullValue();
  return items_[index];
}

size_t Json::size() const {
  if (type_ == Type::kArray) return items_.size();
  if (type_ == Type::kObject) return members_.size();
  return 0;
}

bool Json::AsBool(bool fallback) const {
  return type_ == Type::kBool ? bool_ : fallback;
}
double Json::AsNumber(double fallback) const {
  return type_ == Type::kNumber ? number_ : fallback;
}
int64_t Json::AsInt(int64_t fallback) const {
  return type_ == Type::kNumber ? static_cast<int64_t>(number_) : fallback;
}
std::string Json::AsString(const std::string& fallback) const {
  return type_ == Type::kString ? string_ : fallback;
}

std::string JsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Json::Write(int indent) const {
  std::string out;
  WriteTo(out, indent, 0);
  return out;
}

void Json::WriteTo(std::string& out, int indent, int depth) const {
  const auto newline = [&](int d) {
    if (indent == 0) return;
    out += '\n';
    out.append(static_cast<size_t>(indent * d), ' ');
  };
  switch (type_) {
    case Type::kNull:
      out += "null";
      break;
    case Type::kBool:
      out += bool_ ? "true" : "false";
      break;
    case Type::kNumber: {
      char buf[32];
      if (std::isfinite(number_) && number_ == std::floor(number_) &&
          std::fabs(number_) < 9.0e15) {
        std::snprintf(buf, sizeof buf, "%.0f", number_);
      } else if (std::isfinite(number_)) {
        std::snprintf(buf, sizeof buf, "%.17g", number_);
      } else {
        std::snprintf(buf, sizeof buf, "null");
      }
      out += buf;
      break;
    }
    case Type::kString:
      out += JsonQuote(string_);
      break;
    case Type::kArray:
      out += '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out += ',';
        newline(depth + 1);
        items_[i].WriteTo(out, indent, depth + 1);
      }
      if (!items_.empty()) newline(depth);
      out += ']';
      break;
    case Type::kObject:
      out += '{';
      for (size_t i = 0; i < members_.size(); ++i) {
        if (i > 0) out += ',';
        newline(depth + 1);
        out += JsonQuote(members_[i].first);
        out += indent ? ": " : ":";
        members_[i].second.WriteTo(out, indent, depth + 1);
      }
      if (!members_.empty()) newline(depth);
      out += '}';
      break;
  }
}

std::optional<Json> Json::Parse(const std::string& text, std::string* error) {
  return Parser(text).Document(error);
}

}  // namespace vesk::tool
