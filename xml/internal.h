// Private parts of the XML document component shared by its source files:
// the character classes, the tokenizer over any text, name and attribute
// scanning, the document's storage and the result entries.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "xml/xml.h"

namespace vesk::xml::internal {

// ---------------------------------------------------------------------------
// Character classes, one table for the ASCII range. Every unit at or above
// U+0080 has only kNameStart.

enum : uint8_t {
  kSpace = 0x01,        // blank, tab, line feed, carriage return
  kTagNameEnd = 0x02,   // ends a name in the tokenizer: space, "/", ">"
  kNameEnd = 0x04,      // ends a name when matching, and a word of a
                        // meta content: space < > = \ / ? ! " ' ;
  kNameStart = 0x08,    // opens a start tag after "<"
  kAttrNameEnd = 0x10,  // ends an attribute name: space = > / ?
};

constexpr std::array<uint8_t, 128> MakeClasses() {
  std::array<uint8_t, 128> classes{};
  for (char c : {' ', '\t', '\n', '\r'}) {
    classes[c] |= kSpace | kTagNameEnd | kNameEnd | kAttrNameEnd;
  }
  for (char c : {'/', '>'}) classes[c] |= kTagNameEnd;
  for (char c : {'<', '>', '=', '\\', '/', '?', '!', '"', '\'', ';'}) {
    classes[c] |= kNameEnd;
  }
  for (char c : {'=', '>', '/', '?'}) classes[c] |= kAttrNameEnd;
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] |= kNameStart;
  for (int c = 'a'; c < 128; ++c) classes[c] |= kNameStart;
  classes['_'] |= kNameStart;
  classes[':'] |= kNameStart;
  return classes;
}

inline constexpr std::array<uint8_t, 128> kClasses = MakeClasses();

inline uint8_t ClassOf(char16_t c) {
  return c < 128 ? kClasses[c] : static_cast<uint8_t>(kNameStart);
}
inline bool IsSpace(char16_t c) { return c < 128 && (kClasses[c] & kSpace); }

// ---------------------------------------------------------------------------
// Tokenizer

// What the tokenizer met at a malformed or unterminated node: the result
// name, for "unterminated_tag_syntax" the kind of node, and the offset of
// the node's "<".
struct ScanError {
  const char16_t* result = nullptr;
  const char16_t* type = nullptr;
  int32_t offset = -1;
};

// Reads the node that starts at offset in text (at most INT32_MAX units).
// Fills error (when not null) for error nodes; error->result stays null for
// every other node.
Node ScanNode(std::u16string_view text, int32_t offset, ScanError* error);

// The name that starts at offset, ending at a kNameEnd character or the
// end of the text.
std::u16string_view NameAt(std::u16string_view text, size_t offset);

// ASCII case folding for the loader's comparisons.
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

// One attribute found in a tag. valueBegin..valueEnd includes the quotes of
// a quoted value, innerBegin..innerEnd is the value without them; a name
// without "=" has no value.
struct AttributeSpan {
  size_t nameBegin = 0;
  size_t nameEnd = 0;
  bool hasValue = false;
  size_t valueBegin = 0;
  size_t valueEnd = 0;
  size_t innerBegin = 0;
  size_t innerEnd = 0;
};

// Scans the attributes of the tag text[from, end) (from is just after the
// tag's name) for the first one named name. Names match with case unless
// ignoreCase.
bool FindAttribute(std::u16string_view text, size_t from, size_t end,
                   std::u16string_view name, bool ignoreCase,
                   AttributeSpan* found);

// The code point of a named character reference (matched with case), or 0.
uint32_t EntityCodePoint(std::u16string_view name);

// ---------------------------------------------------------------------------
// Result entries

// One result to add: its name, an optional text attribute and up to two
// numbers (-1 leaves a number out).
struct ResultEntry {
  const char16_t* name;
  const char16_t* textName = nullptr;
  std::u16string_view text = {};
  const char16_t* numberName = nullptr;
  int64_t number = -1;
  int64_t number2 = -1;  // written as "offset2"
};

constexpr size_t kResultLimit = 1000;

// Field limits of an ElementRecord. A longer start tag (22 bits) or end
// tag (10 bits) stores the field's largest value, and readers of the tag
// lengths measure such a tag in the text again, so the index stays right.
// Levels deeper than 16 bits stay at the largest level.
constexpr uint32_t kStartTagLengthMax = 0x3FFFFF;
constexpr uint32_t kEndTagLengthMax = 0x3FF;
constexpr uint32_t kLevelMax = 0xFFFF;

// The longest text indexed: int32 offsets with room for the tokenizer to
// look a few units ahead.
constexpr size_t kLongestText = INT32_MAX - 64;
constexpr uint32_t kPageBits = 16;
constexpr uint32_t kPageSize = 1u << kPageBits;

// ---------------------------------------------------------------------------
// Text storage

// The document's UTF-16 text. Unlike a string it hands out room that is not
// filled first, so that a conversion writes every unit of a loaded file once.
// Room of a megabyte or more comes from the platform's large buffers, a loaded
// file's text then costs few page faults; smaller room is on the heap. Room
// is kept when the text shrinks or is replaced.
class TextBuffer {
 public:
  const char16_t* data() const { return data_; }
  size_t size() const { return size_; }
  char16_t operator[](size_t i) const { return data_[i]; }
  std::u16string_view View() const { return {data_, size_}; }

  void clear() { size_ = 0; }
  // Empties the text and returns room for capacity units, to be filled and
  // then ended by SetSize.
  char16_t* Reserve(size_t capacity);
  // The first size units of the room are the text (size at most the
  // capacity given to Reserve).
  void SetSize(size_t size) { size_ = size; }
  void assign(std::u16string_view units);
  // As std::u16string::replace: offset past the end throws std::out_of_range,
  // removed is cut to the end of the text.
  void replace(size_t offset, size_t removed, std::u16string_view units);

 private:
  // Room for capacity units; the first keep units move over.
  void Grow(size_t capacity, size_t keep);

  char16_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  std::unique_ptr<char16_t[]> small_;
  platform::LargeBuffer large_;
};

}  // namespace vesk::xml::internal

namespace vesk::xml {

struct XmlDocument::Impl {
  internal::TextBuffer text;
  std::u16string result;
  uint32_t flags = 0;

  // The element index: pages of kPageSize records, the last one only as
  // large as the capacity needs. nextFree is 0 until the first parse.
  std::vector<std::unique_ptr<ElementRecord[]>> pages;
  uint32_t capacity = 0;
  int32_t nextFree = 0;

  int32_t parentPosition = 0;
  int32_t mainPosition = 0;
  int32_t childPosition = 0;
  int32_t nodeType = 0;

  // Scratch documents that build result strings keep no results of their
  // own.
  bool recordResults = true;

  // The parser's open elements, kept between parses to reuse the room.
  struct OpenElement {
    uint32_t element;
    int32_t nameStart;
    int32_t nameLength;
    uint32_t bucket;
  };
  std::vector<OpenElement> open;
  // Open elements per hash bucket of their base name, so that an end tag
  // whose name is not open at all costs no walk of the stack.
  std::array<uint32_t, 256> openBuckets{};

  // --- storage (document.cpp)
  ElementRecord& E(uint32_t n) {
    return pages[n >> internal::kPageBits][n & 0xFFFF];
  }
  const ElementRecord& E(uint32_t n) const {
    return pages[n >> internal::kPageBits][n & 0xFFFF];
  }
  bool Valid(int32_t n) const { return n >= 0 && n < nextFree; }
  void GrowIndex(uint32_t wanted);
  uint32_t TakeElement();  // the next free element, growing the index

  // The text as the tokenizer sees it: at most INT32_MAX units.
  std::u16string_view View() const;
  uint32_t StartTagLength(uint32_t n) const;
  uint32_t EndTagLength(uint32_t n) const;
  static uint32_t LevelOf(const ElementRecord& e) {
    return e.flagsAndLevel & 0xFFFF;
  }
  uint32_t ChildLevel(uint32_t parent) const;
  void LinkLastChild(uint32_t parent, uint32_t child);

  // --- parser (document.cpp)
  bool Parse();
  void BuildElements(std::u16string_view view);
  void CloseNotEnded(size_t from, int32_t offset2);
  void RelevelSubtree(uint32_t root);
  bool IsWellFormed() const;

  // --- results (navigate.cpp)
  void AddResult(const internal::ResultEntry& entry) {
    if (recordResults) AddResultTo(&result, entry, false);
  }
  // Adds entry to the result string *target; with modify, sets its
  // attributes on the first element of that name instead (nothing when
  // there is none).
  static void AddResultTo(std::u16string* target,
                          const internal::ResultEntry& entry, bool modify);
  void AddScanError(const internal::ScanError& error);

  // --- navigation and values (navigate.cpp)
  void SetCursor(int32_t parent, int32_t main, int32_t child);
  bool NameMatches(uint32_t n, const char16_t* name) const;
  bool FindAttributeOf(uint32_t n, std::u16string_view name,
                       internal::AttributeSpan* found) const;
  // Replaces removed units at offset by units and keeps the index in step:
  // every element starting at or after offset moves, and the lengths of
  // ancestor and of everything above it (element 0 included) change by the
  // difference. False when the text would outgrow int32 offsets.
  bool ReplaceText(size_t offset, size_t removed, std::u16string_view units,
                   uint32_t ancestor);

  // --- loading (load.cpp)
  bool LoadBytes(const char* data, size_t size);
};

}  // namespace vesk::xml
