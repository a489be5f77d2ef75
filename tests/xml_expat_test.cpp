// The XML document against expat on generated well-formed documents: element
// names and nesting, attribute values, and the data of leaf elements must be
// what expat reports for the same text, through the index and the cursor.
#include <expat.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fuzz/xml_exercise.h"
#include "gtest/gtest.h"
#include "tests/support/device_root.h"
#include "xml/xml.h"

namespace vesk::xml {
namespace {

using test::U16;

// Markup that may stand in data, and blank runs between markup.
const char* const kMarkup[] = {"<![CDATA[]]>", "<![CDATA[<t>&]]]]> <!---->",
                               "<![CDATA[]>中&#65;]]><?pi?>",
                               "\n  <!--<b>&- x-->", "<?t.1 a<b&>?>\t"};

// Writes one random well-formed document. Data holds only the five XML
// entities and character references; a reference in data never stands for
// white space, so a text run is blank in the raw text exactly when it is
// blank after expansion. No raw carriage return, tab or line feed reaches
// an attribute value and no carriage return reaches data: expat would
// normalise them.
struct Generator {
  std::mt19937 random_;
  int budget_ = 150;

  // Internal subsets hold declarations only: the document takes a comment or
  // a processing instruction's ">" there for a malformed tag or the end.
  std::string Document() {
    std::string out =
        Pick({"", "<?xml version='1.0' encoding='UTF-8'?>\n",
              "<!-- m --><?pi m?>\r\n<!DOCTYPE root>",
              "<!DOCTYPE r SYSTEM \"x>y.dtd\">",
              "<!DOCTYPE r [<!ENTITY e \"a>b\"><!ATTLIST r a CDATA "
              "#IMPLIED><!NOTATION n SYSTEM 'u'>]>"});
    Element(&out, Between(1, 8));
    return out + Pick({"", " <!-- m -->", "<?pi m?>\n"});
  }

  int Between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }
  template <size_t N>
  const char* Pick(const char* const (&pool)[N]) {
    return pool[Between(0, N - 1)];
  }

  // Pieces of attribute values (quote: the delimiter) and of data (quote 0).
  std::string Text(char quote) {
    static const char* const kPieces[] = {
        "plain", " ",    "\t",    "\n  ",   ">",      "/",      "=", "?",
        ";",     "é",    "中",    "😀",      "𝄞",      "\ue000", "'", "\"",
        "&lt;",  "&gt;", "&amp;", "&quot;", "&apos;", "x:y"};
    static const uint32_t kRanges[][2] = {
        {0x21, 0x7E}, {0xA0, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};
    std::string out;
    for (int n = Between(0, 6); n > 0; --n) {
      std::string piece = Pick(kPieces);
      if (Between(1, 4) == 1) {
        const auto& range = kRanges[Between(0, 3)];
        uint32_t cp = range[0] + random_() % (range[1] - range[0] + 1);
        if (quote != 0 && Between(1, 3) == 1) cp = "\t\n\r "[Between(0, 3)];
        char buffer[16];
        snprintf(buffer, sizeof buffer,
                 Pick({"&#%u;", "&#x%X;", "&#%07u;", "&#x%06x;"}), cp);
        piece = buffer;
      }
      if (piece[0] != quote && (quote == 0 || piece[0] >= ' ')) out += piece;
    }
    return out;
  }

  void Element(std::string* out, int depth) {
    static const char* const kAttributes[] = {"id",     "x:lang", "_p",
                                              "data-v", "n.1",    "é"};
    const std::string name =
        Pick({"a", "root", "x:y", "_u", "n-1", "n.2", "données", "名前", "Ω"});
    *out += "<" + name;
    for (const char* attribute : kAttributes) {
      const char quote = "\"'"[Between(0, 1)];
      if (Between(1, 3) == 1)
        *out += Pick({" ", "\t", "\r\n"}) + std::string(attribute) +
                Pick({"=", " = "}) + quote + Text(quote) + quote;
    }
    *out += Pick({"", "", " ", "\n"});
    if (depth <= 1 && Between(1, 4) == 1) return void(*out += "/>");
    *out += ">";
    const bool mixed = Between(0, 1);
    for (int n = Between(0, 4); n > 0; --n) {
      *out += mixed && Between(0, 1) ? Pick(kMarkup) : Text(0);
      if (depth > 1 && --budget_ > 0) Element(out, depth - 1);
    }
    *out += "</" + name + Pick({"", "", " ", "\n"}) + ">";
  }
};

// What expat reports: the elements in document order, each one's content as
// text runs ('t'), CDATA sections ('c') and other markup's boundaries ('|').
struct Expat {
  struct Element {
    std::string name;
    int parent;
    std::vector<std::pair<std::string, std::string>> attributes = {};
    std::vector<std::pair<char, std::string>> runs = {};
    bool hasChild = false;
  };
  std::vector<Element> elements;
  std::vector<int> open;
  char kind = 't';

  static Expat* Of(void* user) { return static_cast<Expat*>(user); }
  // Data, or a boundary: 'c' opens a CDATA section, '|' ends other markup.
  static void Add(void* user, char kind, const char* s = "", int length = 0) {
    Expat* x = Of(user);
    if (x->open.empty()) return;
    if (kind != 't') x->kind = kind == 'c' ? 'c' : 't';
    auto& runs = x->elements[x->open.back()].runs;
    if (kind != 't' || runs.empty() || runs.back().first != x->kind)
      runs.push_back({kind == 't' ? x->kind : kind, ""});
    runs.back().second.append(s, length);
  }

  std::string Parse(const std::string& text) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, this);
    XML_SetElementHandler(
        parser,
        [](void* user, const char* name, const char** attributes) {
          Expat* x = Of(user);
          Element e{name, x->open.empty() ? -1 : x->open.back()};
          for (; *attributes; attributes += 2)
            e.attributes.emplace_back(attributes[0], attributes[1]);
          if (e.parent >= 0) x->elements[e.parent].hasChild = true;
          x->open.push_back(static_cast<int>(x->elements.size()));
          x->elements.push_back(std::move(e));
        },
        [](void* user, const char*) { Of(user)->open.pop_back(); });
    XML_SetCharacterDataHandler(
        parser, [](void* user, const char* s, int n) { Add(user, 't', s, n); });
    XML_SetCdataSectionHandler(
        parser, [](void* user) { Add(user, 'c'); },
        [](void* user) { Add(user, '|'); });
    XML_SetCommentHandler(parser,
                          [](void* user, const char*) { Add(user, '|'); });
    XML_SetProcessingInstructionHandler(
        parser, [](void* user, const char*, const char*) { Add(user, '|'); });
    const bool ok = XML_Parse(parser, text.data(), int(text.size()), 1);
    std::string error = ok ? "" : XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return error;
  }

  // The element's data as the document gives it: white-space-only text runs
  // count only in content without markup; nothing when it has children.
  std::u16string DataOf(const Element& e) const {
    bool markup = false;
    for (const auto& run : e.runs) markup |= run.first != 't';
    std::string data;
    for (const auto& [kind, text] : e.runs) {
      if (kind != 't' || !markup ||
          text.find_first_not_of(" \t\n\r") != std::string::npos) {
        data += text;
      }
    }
    return e.hasChild ? u"" : U16(data);
  }
};

// The first difference found in one document, or "": the cursor visits every
// element in expat's order, with expat's names, parents, values and data.
std::string Compare(const std::string& text) {
  Expat x;
  if (std::string error = x.Parse(text); !error.empty()) return error;
  XmlDocument doc;
  if (!doc.SetDocument(U16(text)) || !doc.Result().empty()) {
    const std::u16string& r = doc.Result();
    return "results: " + std::string(r.begin(), r.end());
  }
  std::vector<int32_t> numbers;
  std::string failure;
  std::function<void()> walk = [&] {
    while (failure.empty() && doc.FindElement()) {
      const size_t i = numbers.size();
      numbers.push_back(doc.MainPosition());
      if (i >= x.elements.size()) return void(failure = "extra element");
      const Expat::Element& e = x.elements[i];
      const auto expect = [&](bool ok, const std::string& what) {
        if (!ok) failure = what + " of " + e.name + " #" + std::to_string(i);
      };
      const uint32_t parent = e.parent < 0 ? 0 : numbers[e.parent];
      expect(doc.NameOf(numbers[i]) == U16(e.name), "name");
      expect(doc.Element(numbers[i]).parent == parent, "parent");
      for (const auto& [name, value] : e.attributes) {
        expect(doc.GetAttribute(U16(name).c_str()) == U16(value), name);
      }
      expect(doc.GetData() == x.DataOf(e), "data");
      expect(doc.IntoElement(), "into");
      walk();
      expect(doc.OutOfElement(), "out");
    }
  };
  walk();
  fuzz::ExerciseDocument(doc);
  return failure.empty() && numbers.size() != x.elements.size()
             ? "element count"
             : failure;
}

TEST(XmlExpatTest, GeneratedDocumentsReadAsExpatReadsThem) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const std::string text = Generator{std::mt19937(seed)}.Document();
    EXPECT_EQ(Compare(text), "")
        << "seed " << seed << ": " << text.substr(0, 2000);
  }
}

}  // namespace
}  // namespace vesk::xml
