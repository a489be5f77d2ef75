// The XML document component: one document held as a single UTF-16 text
// with an index of its elements. The parser never rejects: it indexes what
// it can find, records every problem in the document's result string (itself
// a small XML text) and answers one question, whether the document is well
// formed. Navigation and value access read the text in place. Loading turns
// a file in any detected encoding into the UTF-16 text first.
//
// A document is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vesk::xml {

// Node types of the tokenizer.
enum NodeType : int32_t {
  kNodeEnd = -2,    // end of the text
  kNodeError = -1,  // a malformed tag, skipped
  kNodeNone = 0,    // an end tag (tokenizer); as the document's node type: none
  kNodeElement = 1,
  kNodeText = 2,
  kNodeWhitespace = 4,
  kNodeCData = 8,
  kNodeProcessingInstruction = 16,
  kNodeComment = 32,
  kNodeDocumentType = 64,
};
constexpr int32_t kNodeEndTag = kNodeNone;

// Element flags, as stored in the high half of flagsAndLevel.
enum : uint32_t {
  kElementFirstChild = 0x80000,
  kElementNotEnded = 0x100000,
  kElementIllData = 0x200000,
  kElementIllFormed = 0x800000,  // on element 0: a parse problem was met
};

// Document flags, set by loading.
enum : uint32_t {
  kDocumentUtf16LittleEndian = 0x1,
  kDocumentUtf8Bom = 0x4,
  kDocumentUtf16BigEndian = 0x80,
};

// One indexed element: eight 32-bit fields. Element numbers are page (high
// 16 bits) and slot (low 16 bits); element 0 stands for the document.
struct ElementRecord {
  uint32_t start;          // offset of the element's "<"
  uint32_t length;         // to the end of the end tag (or of the start tag)
  uint32_t tagLengths;     // low 22 bits start tag, high 10 bits end tag
  uint32_t flagsAndLevel;  // low 16 bits level, high 16 bits flags
  uint32_t parent;
  uint32_t firstChild;
  uint32_t nextSibling;
  uint32_t previousSibling;  // the first child's: the last child
};
static_assert(sizeof(ElementRecord) == 32);

// One node read by the tokenizer.
struct Node {
  int32_t type = kNodeEnd;
  int32_t start = 0;      // offset of its first unit
  int32_t length = 0;     // units it covers
  int32_t nameStart = 0;  // tags, processing instructions: the name
  int32_t nameLength = 0;
  bool empty = false;  // a start tag that ends in "/>"
};

// Code page value that selects the component's own UTF-32 handling.
constexpr int32_t kCodePageUtf32 = 65005;
constexpr int32_t kNoCodePage = -1;

// The Windows code page of an encoding name (ASCII case folded): 0 for the
// empty name, kCodePageUtf32 for a name beginning with "UTF-32", kNoCodePage
// for a name not in the table or of 100 units or more.
int32_t CodePageOf(std::u16string_view name);

// One name of the loader's encoding table: lower case, with its Windows code
// page. The table is sorted by name.
struct EncodingName {
  const char* name;
  int32_t codePage;
};
extern const EncodingName kEncodingNames[];
extern const size_t kEncodingNameCount;

// Bytes of an encoding (by name, through the table; none means the system
// ANSI code page) to UTF-16. With a null target only measures. Returns the
// number of units; 0 when the code page is not available.
size_t ConvertToUtf16(std::u16string_view encoding, const char* bytes,
                      size_t count, char16_t* target, size_t capacity);

// How this build decodes runs of ASCII in UTF-8 documents: "sse2" (sixteen
// bytes at a time) or "portable" (eight at a time, any target). Both give
// the same text.
const char* Utf8AsciiPath();

// Replaces "<", "&", ">", "'" and '"' by their entity references.
std::u16string EscapeText(std::u16string_view text);
// Resolves the character references and the named entities of HTML 4 plus
// "apos"; a reference that does not resolve stays as written.
std::u16string UnescapeText(std::u16string_view text);

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the text (null: none), clears the result string and parses.
  // Returns the well-formedness.
  bool SetDocument(const char16_t* text);
  bool SetDocument(std::u16string_view text);
  // Loads a file (a handset path): detects its encoding, converts it to
  // UTF-16, records what it did in the result string and parses. True when
  // the loaded document is well formed. A file that cannot be opened adds
  // "file_error" and leaves the index as it was.
  bool Load(const std::u16string& path);
  // The same from bytes already in memory (the file's whole content).
  bool LoadFromBytes(const void* data, size_t size);

  // Element 0 is not ill formed, has a first child, and that has no sibling.
  bool IsWellFormed() const;

  // Valid until the document changes.
  std::u16string_view Text() const;
  const std::u16string& Result() const;
  uint32_t Flags() const;

  // The tokenizer: reads the node that starts at offset. Error nodes and
  // unterminated nodes add their result to the result string.
  Node NextNode(int32_t offset);

  // The index.
  int32_t ElementCount() const;  // the next free element number
  const ElementRecord& Element(int32_t number) const;
  std::u16string_view NameOf(int32_t number) const;

  // The cursor: parent, main and child position (0 = none).
  int32_t ParentPosition() const;
  int32_t MainPosition() const;
  int32_t ChildPosition() const;
  int32_t CurrentNodeType() const;  // 1 with a main position, else 0
  void ResetMainPosition();
  bool FindElement(const char16_t* name = nullptr);
  bool FindChildElement(const char16_t* name = nullptr);
  bool IntoElement();
  bool OutOfElement();
  // Values of the main position ("" when there is none).
  std::u16string GetAttribute(const char16_t* name) const;
  std::u16string GetData() const;

  // Values of any element by number ("" for 0 or a missing attribute).
  std::u16string AttributeOf(int32_t element, const char16_t* name) const;
  std::u16string DataOf(int32_t element) const;

  // The first element of the name in breadth-first order from the document
  // element (the element itself, then its children in document order, then
  // theirs, level by level); 0 when there is none.
  int32_t FindBreadthFirst(const char16_t* name) const;
  // A direct child of the document element by name; 0 when there is none.
  int32_t FindRootChild(const char16_t* name) const;

  // Editing, as the result string uses it: adds an empty element "<name/>"
  // after the last element of the current level and makes it the main
  // position; sets (or replaces) an attribute of an element.
  bool AddElement(const char16_t* name);
  bool SetAttribute(int32_t element, const char16_t* name,
                    std::u16string_view value);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vesk::xml
