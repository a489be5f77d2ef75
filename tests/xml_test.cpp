// The XML document: tokenizer, parser and result string, the element index
// under hostile input, navigation, values and the editing operations.
#include "xml/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "fuzz/xml_exercise.h"

namespace vesk::xml {
namespace {

uint32_t LevelOf(const ElementRecord& e) { return e.flagsAndLevel & 0xFFFF; }
uint32_t FlagsOf(const ElementRecord& e) { return e.flagsAndLevel & ~0xFFFFu; }
uint32_t StartTagOf(const ElementRecord& e) { return e.tagLengths & 0x3FFFFF; }
uint32_t EndTagOf(const ElementRecord& e) { return e.tagLengths >> 22; }
using fuzz::ExerciseDocument;  // the index agrees with itself and the text

// Well-formed markup is the expat comparison's; here are the borders.
TEST(XmlParse, ResultStrings) {
  const std::tuple<std::u16string, bool, std::u16string> cases[] = {
      {u"", false, u""},
      // The slash of an unquoted value belongs to the value.
      {u"<a href=x/>", false,
       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"11\"/>"},
      // A quote that does not follow "=" opens nothing.
      {u"<a x\"y>\"/></a>", true, u""},
      {u"<a\n/><b/ >", false,
       u"<unended_start_tag tagname=\"b\" offset=\"5\" offset2=\"10\"/>"
       u"<root_has_sibling/>"},
      // A malformed tag runs to the next ">", here the end tag's.
      {u"<a>x<1</a>", false,
       u"<first_tag_syntax offset=\"4\"/>"
       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/>"},
      {u"<r><!x><!-x><![x]></r>", false,
       u"<exclamation_tag_syntax offset=\"3\"/>"
       u"<comment_tag_syntax offset=\"7\"/>"
       u"<cdata_section_syntax offset=\"12\"/>"},
      {u"<!DOCTYPE r [<!-- c -->]><r/>", false,
       u"<doctype_tag_syntax offset=\"0\"/>"},
      {u"<r><!-- x", false,
       u"<unterminated_tag_syntax type=\"comment\" offset=\"3\"/>"
       u"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"9\"/>"},
      {u"<r a='x>", false,
       u"<unterminated_tag_syntax type=\"start_tag\" offset=\"0\"/>"
       u"<no_root_element/>"},
      // Names and values are escaped in the result string.
      {u"<r></a\"&></r>", false,
       u"<lone_end_tag tagname=\"a&quot;&amp;\" offset=\"3\"/>"},
      // An end tag may close an element whose name goes on with "=[]".
      {u"<a[1]></a>", true, u""},
      {u"<ab></a></ab>", false, u"<lone_end_tag tagname=\"a\" offset=\"4\"/>"},
  };
  for (const auto& [text, wellFormed, result] : cases) {
    SCOPED_TRACE(text.size());
    XmlDocument doc;
    EXPECT_EQ(doc.SetDocument(text), wellFormed) << doc.Result().size();
    EXPECT_EQ(doc.IsWellFormed(), wellFormed);
    EXPECT_EQ(doc.Result(), result);
    EXPECT_EQ(doc.Flags(), 0u);
    ExerciseDocument(doc);
  }
}

TEST(XmlParse, UnendedAndLoneTagsInTheIndex) {
  XmlDocument doc;
  // 0 r, 3 a, 6 b, 10 c, 14 "</r>"; a never ends, "</x>" is lone; b and c
  // follow a under r, one level up.
  EXPECT_FALSE(doc.SetDocument(u"<r><a><b/><c></c></x></r>"));
  ASSERT_EQ(doc.ElementCount(), 5);
  EXPECT_EQ(FlagsOf(doc.Element(0)) & kElementIllFormed, kElementIllFormed);
  // Flags, length, end tag, parent, first child, next, previous, level.
  std::vector<std::vector<uint32_t>> records;
  for (int32_t n = 1; n <= 4; ++n) {
    const ElementRecord& e = doc.Element(n);
    records.push_back({FlagsOf(e), e.length, EndTagOf(e), e.parent,
                       e.firstChild, e.nextSibling, e.previousSibling,
                       LevelOf(e)});
  }
  EXPECT_EQ(records,
            (std::vector<std::vector<uint32_t>>{
                {kElementFirstChild | kElementIllData, 25, 4, 0, 2, 0, 1, 0},
                {kElementFirstChild | kElementNotEnded, 3, 0, 1, 0, 3, 4, 1},
                {kElementFirstChild, 4, 0, 1, 0, 4, 2, 1},
                {0, 7, 4, 1, 0, 0, 3, 1}}));
  EXPECT_EQ(doc.Result(),
            u"<lone_end_tag tagname=\"x\" offset=\"17\"/>"
            u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"22\"/>");
  ExerciseDocument(doc);

  // Elements moved up keep their subtrees, whose levels follow.
  EXPECT_FALSE(doc.SetDocument(u"<r><a><b><c><d/></c></b></r>"));
  EXPECT_EQ(doc.Element(3).parent, 1u);
  for (uint32_t n : {3, 4, 5}) EXPECT_EQ(LevelOf(doc.Element(n)), n - 2);
  ExerciseDocument(doc);
}

TEST(XmlParse, HostileInput) {
  XmlDocument doc;
  // Deep nesting, never ended: no recursion, levels saturate at 16 bits.
  constexpr int kDepth = 100000;
  std::u16string deep;
  for (int i = 0; i < kDepth; ++i) deep += u"<a>";
  EXPECT_FALSE(doc.SetDocument(deep));
  EXPECT_EQ(doc.ElementCount(), kDepth + 1);
  for (int32_t n = 1; n <= kDepth; ++n) {
    ASSERT_EQ(doc.Element(n).parent, 0u);
    ASSERT_EQ(LevelOf(doc.Element(n)), 0u);
  }
  EXPECT_LT(doc.Result().size(), 1100u);
  deep += u"<b>";
  for (int i = 0; i < kDepth; ++i) deep += u"</a>";
  EXPECT_FALSE(doc.SetDocument(deep));  // b is not ended
  EXPECT_EQ(LevelOf(doc.Element(kDepth)), 0xFFFFu);
  EXPECT_EQ(doc.Element(kDepth + 1).parent, static_cast<uint32_t>(kDepth));
  ExerciseDocument(doc);

  // Thousands of errors: the result string stops growing near 1,000 units.
  std::u16string broken = u"<r>";
  for (int i = 0; i < 1500; ++i) broken += u"</x><1>";
  broken += u"</r>";
  EXPECT_FALSE(doc.SetDocument(broken));
  EXPECT_EQ(doc.Result().size() / 50, 20u) << doc.Result().size();

  // A start tag beyond the 22-bit field and an end tag beyond the 10-bit
  // one: the fields saturate and the values are still read right.
  const std::u16string longValue(0x400000, u'v');
  const std::u16string longEnd = u"</r" + std::u16string(2000, u' ') + u">";
  ASSERT_TRUE(
      doc.SetDocument(u"<r a=\"" + longValue + u"\" b='2'>d" + longEnd));
  EXPECT_EQ(StartTagOf(doc.Element(1)), 0x3FFFFFu);
  EXPECT_EQ(EndTagOf(doc.Element(1)), 0x3FFu);
  EXPECT_EQ(doc.AttributeOf(1, u"b"), u"2");
  EXPECT_EQ(doc.DataOf(1), u"d");
}

TEST(XmlNavigate, Cursor) {
  XmlDocument doc;
  EXPECT_FALSE(doc.FindElement());  // nothing parsed yet
  ASSERT_TRUE(doc.SetDocument(
      u"<r><notifications><n id=\"1\"/><m/><n id=\"2\"/></notifications>"
      u"<other/></r>"));
  // With no main position, the root is selected first.
  ASSERT_TRUE(doc.FindChildElement(u"notifications"));
  EXPECT_EQ(doc.MainPosition(), 1);
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.FindChildElement(u"n"));
  EXPECT_EQ(doc.GetAttribute(u"id"), u"");  // main is notifications
  ASSERT_TRUE(doc.FindChildElement(u"n"));
  // A failed find leaves the cursor, so the next search goes on from there.
  EXPECT_FALSE(doc.FindChildElement(u"n"));
  ASSERT_TRUE(doc.IntoElement());
  EXPECT_EQ(doc.GetAttribute(u"id"), u"2");
  EXPECT_FALSE(doc.FindElement(u"n"));
  EXPECT_EQ(doc.MainPosition(), 5);
  ASSERT_TRUE(doc.OutOfElement());
  EXPECT_EQ(doc.MainPosition(), 2);
  EXPECT_TRUE(doc.FindElement(u"other"));
  EXPECT_FALSE(doc.FindElement());
  doc.ResetMainPosition();
  EXPECT_EQ(doc.CurrentNodeType(), kNodeNone);
  EXPECT_FALSE(doc.IntoElement());
  EXPECT_TRUE(doc.FindElement());
  EXPECT_EQ(doc.MainPosition(), 2);
  ASSERT_TRUE(doc.OutOfElement());
  EXPECT_FALSE(doc.OutOfElement());

  EXPECT_EQ(doc.FindRootChild(u"other"), 6);
  EXPECT_EQ(doc.FindRootChild(u"n"), 0);
  doc.SetDocument(u"<r><a><x i='deep'/></a><b><x i='1'/></b><x i='top'/></r>");
  EXPECT_EQ(doc.AttributeOf(doc.FindBreadthFirst(u"x"), u"i"), u"top");
  EXPECT_EQ(doc.FindBreadthFirst(u"r"), 1);
  EXPECT_EQ(doc.FindBreadthFirst(u"y"), 0);
}

// Values the generated documents of the expat comparison never hold.
TEST(XmlNavigate, Values) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocument(
      u"<r a=\"1 &lt;2&gt;\" c=bare d e = \"spaced\" a=\"second\" f='\xD800'>"
      u"<parts> a&amp;b <!-- c --><?p?><![CDATA[x]]> </parts></r>"));
  const std::tuple<int32_t, const char16_t*, const char16_t*> attrs[] = {
      {1, u"a", u"1 <2>"},  {1, u"c", u"bare"},   {1, u"d", u""},
      {1, u"e", u"spaced"}, {1, u"f", u"\xD800"}, {1, u"A", u""},
      {0, u"a", u""},       {99, u"a", u""},
  };
  for (const auto& [element, name, value] : attrs) {
    EXPECT_EQ(doc.AttributeOf(element, name), value) << element;
  }
  EXPECT_EQ(doc.DataOf(2), u" a&b x");
  EXPECT_FALSE(doc.SetDocument(u"<r>text"));
  EXPECT_EQ(doc.DataOf(1), u"");  // not ended
  EXPECT_EQ(doc.GetData(), u"");  // no main position
}

TEST(XmlValues, UnescapeAndEscape) {
  const std::pair<const char16_t*, const char16_t*> unescape[] = {
      {u"&#65;&#x41;&#X41;", u"AAA"},
      {u"&lt;&gt;&amp;&quot;&apos;", u"<>&\"'"},
      {u"&auml;&Auml;&thetasym;", u"\u00E4\u00C4\u03D1"},
      {u"&#x1F600;", u"\xD83D\xDE00"},
      {u"&#0;&#x0;&AUML;&nosuch;", u"&#0;&#x0;&AUML;&nosuch;"},
      {u"a & b &amp", u"a & b &amp"},
      {u"&&amp;", u"&&"},
      {u"&#12a;&#x;&#;&;", u"&#12a;&#x;&#;&;"},
      {u"&#00000065;&#000000065;", u"A&#000000065;"},  // nine at most
      {u"&\u00E4uml;&#x110000;", u"&\u00E4uml;&#x110000;"},
  };
  for (const auto& [in, out] : unescape)
    EXPECT_EQ(UnescapeText(in), out) << out;
  EXPECT_EQ(EscapeText(u"<a href=\"x\">&amp;'</a>"),
            u"&lt;a href=&quot;x&quot;&gt;&amp;amp;&apos;&lt;/a&gt;");
  EXPECT_EQ(UnescapeText(EscapeText(u"\xD800<&>")), u"\xD800<&>");
}

TEST(XmlEdit, AddElementAndSetAttribute) {
  // Inside a document, where later elements and enclosing lengths move.
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocument(u"<r><p/><q a=x>t</q><s></s></r>"));
  ASSERT_TRUE(doc.FindElement(u"r"));
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.FindElement(u"p"));
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.AddElement(u"c"));  // opens up the empty p
  ASSERT_TRUE(doc.SetAttribute(3, u"a", u"'y'"));
  ASSERT_TRUE(doc.SetAttribute(3, u"b", u"z"));
  ASSERT_TRUE(doc.OutOfElement());
  ASSERT_TRUE(doc.FindElement(u"s"));
  ASSERT_TRUE(doc.IntoElement());
  ASSERT_TRUE(doc.AddElement(u"d"));
  const std::u16string want =
      u"<r><p><c/></p><q a=\"&apos;y&apos;\" b=\"z\">t</q><s><d/></s></r>";
  EXPECT_EQ(doc.Text(), want);
  ExerciseDocument(doc);
  // Every record is what parsing the edited text gives (names are unique).
  XmlDocument reparsed;
  ASSERT_TRUE(reparsed.SetDocument(doc.Text()));
  for (int32_t n = 1; n < doc.ElementCount(); ++n) {
    const ElementRecord& m = reparsed.Element(
        reparsed.FindBreadthFirst(std::u16string(doc.NameOf(n)).c_str()));
    const ElementRecord& e = doc.Element(n);
    EXPECT_EQ(std::tie(e.start, e.length, e.tagLengths),
              std::tie(m.start, m.length, m.tagLengths))
        << n;
  }
}

}  // namespace
}  // namespace vesk::xml
