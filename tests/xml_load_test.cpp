// Loading XML files: encoding detection, conversion, the load's results and
// document flags, with real files under a temporary device root.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "platform/platform.h"
#include "tests/support/device_root.h"
#include "xml/xml.h"

namespace vesk::xml {
namespace {

using test::DeviceRoot;
using test::U16;
using test::Utf16Bytes;
using test::WriteHostFile;

const char16_t kPath[] = u"\\Storage Card\\savepush.xml";
const char kHostPath[] = "\\Storage Card\\savepush.xml";

// The load's own result entries.
std::u16string Read(const char* encoding, size_t length) {
  return u"<read encoding=\"" + U16(encoding) + u"\" length=\"" +
         U16(std::to_string(length)) + u"\"/>";
}
std::u16string Converted(size_t units) {
  return u"<converted_to encoding=\"UTF-16\" length=\"" +
         U16(std::to_string(units)) + u"\"/>";
}

TEST(XmlLoad, EncodingsAndResults) {
  // "中文" in code page 936, and in UTF-8. The lenient UTF-8 test passes
  // these GBK bytes; "丂" (81 40) is what fails it.
  const std::string gbk = "\xD6\xD0\xCE\xC4";
  const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
  // A declared and an HTML meta encoding, around a text.
  const auto declared = [](const std::string& text) {
    return "<?xml version=\"1.0\" encoding=\"gb2312\"?><r>" + text + "</r>";
  };
  const auto meta = [](const std::string& text) {
    return "<html><head><meta http-equiv=\"content-type\" content=\"text/html; "
           "charset = GB2312\"><title>" +
           text + "</title></head></html>";
  };
  const std::u16string bom = u"<bom/>", plain = u"<r>中文</r>";
  // Bytes, text, result, flags, well-formed.
  const std::tuple<std::string, std::u16string, std::u16string, uint32_t, bool>
      cases[] = {
          {"\xEF\xBB\xBF<r>" + utf8 + "</r>", plain,
           bom + Read("UTF-8", 13) + Converted(9), kDocumentUtf8Bom, true},
          {"\xFF\xFE" + Utf16Bytes(plain, false), plain,
           bom + Read("UTF-16LE", 9), kDocumentUtf16LittleEndian, true},
          {"\xFE\xFF" + Utf16Bytes(plain, true), plain,
           bom + Read("UTF-16BE", 9) + u"<endian_swap/>",
           kDocumentUtf16BigEndian, true},
          {declared(gbk), U16(declared(utf8)),
           Read("gb2312", 50) + Converted(48), 0, true},
          {meta(gbk), U16(meta(utf8)),
           Read("GB2312", 115) + Converted(113) +
               u"<unended_start_tag tagname=\"meta\" offset=\"12\" "
               u"offset2=\"100\"/>",
           0, false},
          // A first "<" means UTF-8 without the test, even for other bytes.
          {"<r>" + utf8 + "\xFF</r>", u"<r>中文\uFFFD</r>",
           Read("UTF-8", 14) + Converted(10), 0, true},
          {" <r>" + gbk + "\x81\x40</r>", u" <r>中文丂</r>",
           Read("", 14) + u"<utf8_detection/>" + Converted(11), 0, true},
          // A control byte does not end the test.
          {" <r>" + gbk + "\x01\x81\x40</r>", u" <r>中文\x01丂</r>",
           Read("", 15) + u"<utf8_detection/>" + Converted(12), 0, true},
          {" <r>" + utf8 + "</r>", u" <r>中文</r>",
           Read("UTF-8", 14) + u"<utf8_detection/>" + Converted(10), 0, true},
          // A meta element without a charset names no encoding.
          {"<html><meta http-equiv=\"content-type\" content=\"text/html\"/>"
           "</html>",
           u"<html><meta http-equiv=\"content-type\" content=\"text/html\"/>"
           u"</html>",
           Read("UTF-8", 66) + Converted(66), 0, true},
          {std::string("<r>\0<a/>\0\0</r>", 14), u"<r><a/></r>",
           Read("UTF-8", 14) + u"<nulls_removed count=\"3\"/>" + Converted(11),
           0, true},
          {"", u"", Read("", 0), 0, false},
          // An unknown name reads in the system ANSI code page.
          {"<?xml encoding='abc'?><r>" + gbk + "</r>",
           u"<?xml encoding='abc'?><r>中文</r>",
           Read("abc", 33) + Converted(31), 0, true},
          // UTF-32 and code pages the platform lacks give no text.
          {"<?xml encoding='UTF-32'?><r/>", u"",
           Read("UTF-32", 29) + Converted(0), 0, false},
          {"<?xml encoding='x-mac-thai'?><r/>", u"",
           Read("x-mac-thai", 33) + Converted(0), 0, false},
      };
  DeviceRoot root;
  for (const auto& [bytes, text, result, flags, wellFormed] : cases) {
    SCOPED_TRACE(bytes);
    WriteHostFile(root.Host(kHostPath), bytes);
    XmlDocument doc;
    doc.SetDocument(u"<old/>");
    EXPECT_EQ(doc.Load(kPath), wellFormed);
    EXPECT_EQ(doc.Text(), text);
    EXPECT_EQ(doc.Result(), result);
    EXPECT_EQ(doc.Flags(), flags);
    EXPECT_EQ(doc.LoadFromBytes(bytes.data(), bytes.size()), wellFormed);
    EXPECT_EQ(doc.Result(), result);
  }
  // NUL, non-ASCII and overlong names name no code page.
  for (const std::u16string& name :
       {std::u16string(u"utf8\0", 5), std::u16string(u"l\u0131"),
        u"utf-8" + std::u16string(95, u' ')}) {
    EXPECT_EQ(CodePageOf(name), kNoCodePage);
  }
  // Names fold every capital; eight ASCII bytes are eight units.
  EXPECT_EQ(CodePageOf(u"HZ-GB-2312"), 52936);
  EXPECT_EQ(ConvertToUtf16(u"utf-8", "abcdefgh", 8, nullptr, 0), 8u);
}

// UTF-8 is decoded a block of ASCII at a time (sixteen bytes with SSE2,
// eight in portable code) and one sequence at a time after the first other
// byte: a sequence of every length, and an ill-formed one, at every offset
// of the first blocks and with every remainder after it.
TEST(XmlLoad, Utf8SequencesAtEveryOffset) {
#ifdef VESK_EXPECTED_UTF8_PATH
  EXPECT_STREQ(Utf8AsciiPath(), VESK_EXPECTED_UTF8_PATH);
#endif
  const std::pair<std::string, std::u16string> sequences[] = {
      {"~", u"~"},
      {"\xC3\xA9", u"é"},
      {"\xE4\xB8\xAD", u"中"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\xC3(", u"\uFFFD("},
      // An encoded surrogate and an overlong form are ill-formed too.
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
  };
  constexpr size_t kRun = 40;
  for (const auto& [sequence, decoded] : sequences) {
    for (size_t before = 0; before <= kRun; ++before) {
      SCOPED_TRACE(std::to_string(decoded[0]) + " after " +
                   std::to_string(before));
      const std::string bytes = "<r>" + std::string(before, 'a') + sequence +
                                std::string(kRun - before, 'b') + "</r>";
      const std::u16string text = u"<r>" + std::u16string(before, u'a') +
                                  decoded +
                                  std::u16string(kRun - before, u'b') + u"</r>";
      XmlDocument doc;
      EXPECT_TRUE(doc.LoadFromBytes(bytes.data(), bytes.size()));
      EXPECT_EQ(doc.Text(), text);
      EXPECT_EQ(doc.Result(),
                Read("UTF-8", bytes.size()) + Converted(text.size()));
    }
  }
}

TEST(XmlLoad, FileErrors) {
  DeviceRoot root;
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocument(u"<r><a x='1'>text</a></r>"));
  // The message is the system's text for the error, with its number.
  EXPECT_FALSE(doc.Load(u"\\Storage Card\\missing.xml"));
  EXPECT_EQ(doc.Result(),
            u"<file_error msg=\"The system cannot find the file specified.\" "
            u"n=\"2\"/>");
  EXPECT_EQ(doc.Text(), u"");
  // The index is left as it was and reads nothing past the empty text.
  EXPECT_EQ(doc.ElementCount(), 3);
  EXPECT_EQ(
      doc.DataOf(2) + doc.AttributeOf(2, u"x") + std::u16string(doc.NameOf(2)),
      u"");
  EXPECT_FALSE(doc.Load(u"\\No Such Card\\savepush.xml"));
  EXPECT_EQ(doc.Result().substr(doc.Result().size() - 9), u"\" n=\"3\"/>");
}

// The input converted by the host's iconv; nothing when it cannot.
std::optional<std::string> Iconv(const std::string& to, const std::string& from,
                                 std::string input) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(input.size() * 8 + 16, '\0');
  char *in = input.data(), *at = out.data();
  size_t inLeft = input.size(), outLeft = out.size();
  const bool ok = iconv(cd, &in, &inLeft, &at, &outLeft) != size_t(-1) &&
                  iconv(cd, nullptr, nullptr, &at, &outLeft) != size_t(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

// Every code page of the loader's table that the host's iconv offers, under
// "CPnnn" or one of the table's own names for it (EUC-JP for 20932): a
// document declared with each of the table's names for it loads to the
// sample characters that code page can carry.
TEST(XmlLoad, EveryCodePageTheHostOffersConverts) {
  std::map<int32_t, std::vector<std::string>> names;
  for (size_t i = 0; i < kEncodingNameCount; ++i) {
    names[kEncodingNames[i].codePage].push_back(kEncodingNames[i].name);
  }
  const std::u16string sample =
      u"Aa9 \u00E9\u00FC\u00DF \u0416\u044F\u0454 \u03A9 \u05E9 "
      u"\u0639 \u0E01 \u4E2D\u6587 \u65E5\u672C\u30AB \uD55C\uAD6D";
  const std::string markup = "<r a=\"b\"/>";
  std::set<int32_t> offered;
  for (const auto& [page, list] : names) {
    // "CPnnn" first, then the table's names, the IANA "cs" aliases last
    // (the table's "csisolatin5" is iconv's Latin-5, not 28595's Cyrillic).
    std::vector<std::string> candidates = list;
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](auto& name) { return name.rfind("cs", 0) != 0; });
    candidates.insert(candidates.begin(), "CP" + std::to_string(page));
    const auto found = std::find_if(
        candidates.begin(), candidates.end(),
        [](const std::string& name) { return !!Iconv(name, "UTF-8", "A"); });
    // The markup must read as ASCII for the declaration to be found.
    if (found == candidates.end() || Iconv(*found, "UTF-8", markup) != markup) {
      continue;
    }
    offered.insert(page);
    std::u16string carried;
    for (char16_t unit : sample) {
      const std::string one = Utf16Bytes(std::u16string(1, unit));
      const auto bytes = Iconv(*found, "UTF-16LE", one);
      if (bytes && Iconv("UTF-16LE", *found, *bytes) == one) carried += unit;
    }
    const auto body = Iconv(*found, "UTF-16LE", Utf16Bytes(carried));
    ASSERT_TRUE(body) << *found;
    for (const std::string& name : list) {
      const std::string bytes = "<?xml version=\"1.0\" encoding=\"" + name +
                                "\"?>\n<r>" + *body + "</r>";
      XmlDocument document;
      document.LoadFromBytes(bytes.data(), bytes.size());
      EXPECT_EQ(document.DataOf(1), carried) << name << " (" << *found << ")";
    }
  }
  // The pages the Windows names of the handset's own tables need at least.
  for (int32_t page : {737, 775, 858, 1125, 1133, 1361, 10007, 20932}) {
    EXPECT_EQ(offered.count(page), 1u) << page;
  }
}

}  // namespace
}  // namespace vesk::xml
