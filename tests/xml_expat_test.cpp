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

// Writes one random well-formed document. Data holds only the five XML
// entities and character references; a reference in data never stands for
// white space, so a text run is blank in the raw text exactly when it is
// blank after expansion. No raw carriage return, tab or line feed reaches
// an attribute value and no carriage return reaches data: expat would
// normalise them.
class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  std::string Document(bool deep) {
    std::string out = Chance(3) ? "<?xml version='1.0' encoding='UTF-8'?>" : "";
    Misc(&out);
    // Internal subsets hold declarations only: the document takes a comment
    // there for a malformed tag and the ">" of a processing instruction
    // there for the end of the document type declaration.
    if (Chance(3)) {
      out += Pick({"<!DOCTYPE root>\n", "<!DOCTYPE r SYSTEM \"x>y.dtd\">",
                   "<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!ENTITY e 'v'>]>",
                   "<!DOCTYPE r [<!ENTITY e \"a>b\"><!ATTLIST r a CDATA "
                   "#IMPLIED><!NOTATION n SYSTEM 'u'>]>"});
    }
    Misc(&out);
    budget_ = deep ? 1000 : 150;
    Element(&out, deep ? Between(150, 500) : Between(1, 8), deep);
    Misc(&out);
    return out;
  }

 private:
  bool Chance(int oneIn) { return Between(1, oneIn) == 1; }
  int Between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }
  template <size_t N>
  const char* Pick(const char* const (&pool)[N]) {
    return pool[Between(0, N - 1)];
  }
  std::string Space() { return Pick({" ", "\t", "\n", "\r\n", "  "}); }

  // Pieces of attribute values (quote: the delimiter) and of data (quote 0).
  std::string Text(char quote) {
    static const char* const kPieces[] = {
        "plain", "words", " ",  ">",  "/",     "=",      "?",      ";",
        "!",     "é",     "中", "Ωμ", "😀",     "𝄞",      "\u00a0", "\ue000",
        "&lt;",  "&gt;",  "'",  "\"", "&amp;", "&quot;", "&apos;", "x:y"};
    static const uint32_t kRanges[][2] = {
        {0x21, 0x7E}, {0xA0, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};
    std::string out;
    for (int n = Between(0, 6); n > 0; --n) {
      std::string piece = Pick(kPieces);
      if (Chance(4)) {
        const auto& range = kRanges[Between(0, 3)];
        uint32_t cp = range[0] + random_() % (range[1] - range[0] + 1);
        if (quote != 0 && Chance(3)) cp = "\t\n\r "[Between(0, 3)];
        char buffer[16];
        snprintf(buffer, sizeof buffer,
                 Pick({"&#%u;", "&#x%X;", "&#%07u;", "&#x%06x;"}), cp);
        piece = buffer;
      } else if (quote == 0 && Chance(8)) {
        piece = Pick({"\t", "\n", " \n  "});
      }
      if (piece[0] != quote) out += piece;
    }
    return out;
  }

  // Markup that may stand in data, or a blank run between markup.
  std::string Markup() {
    static const char* const kCData[] = {
        "<![CDATA[]]>",         "<![CDATA[<tag>&amp;]]>", "<![CDATA[]]]]>",
        "<![CDATA[] ]>]]>",     "<![CDATA[a]b]]>",        "<![CDATA[ ]]>",
        "<![CDATA[<!--n-->]]>", "<![CDATA[中 &#65;]]>"};
    static const char* const kOther[] = {
        "<!---->",        "<!-- c -->", "<!--<b>&-->",    "<!--- x-->",
        "<!--é>-->",      "<?pi?>",     "<?app-x data?>", "<?t.1 a<b&>?>",
        "<?pi x=\"1\"?>", " ",          "\n  ",           "\t"};
    return Chance(3) ? Pick(kCData) : Pick(kOther);
  }

  // Comments, processing instructions and white space outside the root.
  void Misc(std::string* out) {
    for (int n = Between(0, 2); n > 0; --n) {
      *out += Chance(2) ? Space() : Pick({"<!-- m -->", "<?pi m?>"});
    }
  }

  void Element(std::string* out, int depth, bool chain) {
    static const char* const kAttributes[] = {
        "id", "idx",    "key", "total", "x:lang",
        "_p", "data-v", "n.1", "é",     "href"};
    const std::string name = Pick({"a", "b", "root", "item", "x:y", "_u", "n-1",
                                   "n.2", "données", "名前", "Ω"});
    *out += "<" + name;
    std::vector<bool> used(std::size(kAttributes));
    for (int n = Between(0, 4); n > 0; --n) {
      const size_t a = Between(0, std::size(kAttributes) - 1);
      const char quote = Chance(2) ? '"' : '\'';
      if (used[a]) continue;
      used[a] = true;
      *out += Space() + kAttributes[a] + (Chance(6) ? " = " : "=") + quote +
              Text(quote) + quote;
    }
    if (Chance(3)) *out += Space();
    --budget_;
    if (depth <= 1 && Chance(4)) {
      *out += "/>";
      return;
    }
    *out += ">";
    const bool mixed = Chance(2);
    if (depth <= 1 || budget_ <= 0) {
      for (int n = Between(0, 4); n > 0; --n) {
        *out += mixed && Chance(2) ? Markup() : Text(0);
      }
    } else {
      for (int n = chain ? 1 : Between(1, 4); n > 0; --n) {
        if (Chance(2)) *out += mixed ? Markup() : Text(0);
        Element(out, depth - 1, chain);
      }
    }
    *out += "</" + name + (Chance(4) ? Space() : "") + ">";
  }

  std::mt19937 random_;
  int budget_ = 0;
};

// What expat reports: the elements in document order, each element's content
// split into text runs ('t'), CDATA sections ('c') and the boundaries that
// comments and processing instructions make ('|').
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

  static void Start(void* user, const char* name, const char** attributes) {
    auto* x = static_cast<Expat*>(user);
    Element e{name, x->open.empty() ? -1 : x->open.back()};
    for (; *attributes; attributes += 2)
      e.attributes.emplace_back(attributes[0], attributes[1]);
    if (e.parent >= 0) x->elements[e.parent].hasChild = true;
    x->open.push_back(static_cast<int>(x->elements.size()));
    x->elements.push_back(std::move(e));
  }
  static void End(void* user, const char*) {
    static_cast<Expat*>(user)->open.pop_back();
  }
  static void Data(void* user, const char* s, int length) {
    auto* x = static_cast<Expat*>(user);
    if (x->open.empty()) return;
    auto& runs = x->elements[x->open.back()].runs;
    if (runs.empty() || runs.back().first != x->kind)
      runs.push_back({x->kind, ""});
    runs.back().second.append(s, length);
  }
  static void Boundary(void* user, char kind) {
    auto* x = static_cast<Expat*>(user);
    x->kind = kind == 'c' ? 'c' : 't';
    if (!x->open.empty())
      x->elements[x->open.back()].runs.push_back({kind, ""});
  }

  std::string Parse(const std::string& text) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, Start, End);
    XML_SetCharacterDataHandler(parser, Data);
    XML_SetCdataSectionHandler(
        parser, [](void* user) { Boundary(user, 'c'); },
        [](void* user) { Boundary(user, '|'); });
    XML_SetCommentHandler(parser,
                          [](void* user, const char*) { Boundary(user, '|'); });
    XML_SetProcessingInstructionHandler(
        parser,
        [](void* user, const char*, const char*) { Boundary(user, '|'); });
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
    const std::string text = Generator(seed).Document(seed % 10 == 0);
    EXPECT_EQ(Compare(text), "")
        << "seed " << seed << ": " << text.substr(0, 2000);
  }
}

}  // namespace
}  // namespace vesk::xml
