// A small JSON value for the host tool: written for `--json` output and read
// from the reference service's demo description.
#ifndef VESK_TOOLS_VESK_JSON_H_
#define VESK_TOOLS_VESK_JSON_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesk::tool {

class Json {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

  Json() = default;
  Json(bool b) : type_(Type::kBool), bool_(b) {}     // NOLINT
  Json(int v) : type_(Type::kNumber), number_(v) {}  // NOLINT
  Json(int64_t v)
      : type_(Type::kNumber), number_(static_cast<double>(v)) {}  // NOLINT
  Json(uint32_t v) : type_(Type::kNumber), number_(v) {}          // NOLINT
  Json(double v) : type_(Type::kNumber), number_(v) {}            // NOLINT
  Json(const char* s) : type_(Type::kString), string_(s) {}       // NOLINT
  Json(std::string s)
      : type_(Type::kString), string_(std::move(s)) {}  // NOLINT

  static Json Array() { return Json(Type::kArray); }
  static Json Object() { return Json(Type::kObject); }

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }

  // Object members keep their insertion order when written.
  Json& Set(const std::string& key, Json value);
  Json& Push(Json value);

  // Lookups answer a null value when the member or element is missing or
  // the value has another type.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](size_t index) const;
  size_t size() const;
  const std::vector<std::pair<std::string, Json>>& members() const {
    return members_;
  }
  bool AsBool(bool fallback = false) const;
  double AsNumber(double fallback = 0) const;
  int64_t AsInt(int64_t fallback = 0) const;
  std::string AsString(const std::string& fallback = "") const;

  // Compact when indent is 0, else one member per line.
  std::string Write(int indent = 0) const;

  // Parses a whole document; nothing on malformed input (`error` says where).
  static std::optional<Json> Parse(const std::string& text,
                                   std::string* error = nullptr);

 private:
  explicit Json(Type t) : type_(t) {}
  void WriteTo(std::string& out, int indent, int depth) const;

  Type type_ = Type::kNull;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// The JSON string literal of UTF-8 text, quotes included.
std::string JsonQuote(const std::string& utf8);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_JSON_H_
