// The heartbeat against a scripted loopback server: the exact request, the
// notification file on the card, the records in the caller's array at their
// byte offsets, and the release of the previous array.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk {
namespace {

using test::DeviceRoot;
using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::U16;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char kCardFile[] = "\\Storage Card\\savepush.xml";

std::string Ok(const std::string& body) {
  return HttpReply(200, "OK", {{"Content-Length", std::to_string(body.size())}},
                   body);
}

// The text of a field up to its terminator; the field must hold one.
template <size_t N>
std::u16string Text(const char16_t (&field)[N]) {
  const size_t length = std::char_traits<char16_t>::length(field);
  EXPECT_LT(length, N);
  // Everything after the text is zero.
  for (size_t i = length; i < N; ++i) EXPECT_EQ(field[i], 0) << i;
  return std::u16string(field, length);
}

template <typename Record>
const Record& At(const HandsetBeatResult& result, int32_t offset,
                 int32_t index) {
  return *reinterpret_cast<const Record*>(result.entries + offset +
                                          index * sizeof(Record));
}

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteHandsetEnv(root_); }
  void TearDown() override { delete[] result_.entries; }
  // total, the three counts, and the message and advertisement offsets.
  std::vector<int32_t> Counts() const {
    return {result_.total,         result_.contentCount,
            result_.messageCount,  result_.advertisementCount,
            result_.messageOffset, result_.advertisementOffset};
  }

  int32_t Beat(const FakeServer& server) {
    const std::u16string url =
        U16("http://127.0.0.1:" + std::to_string(server.port()) + "/beat");
    return vesk_HandsetBeat(kEnv, &result_, &error_, url.c_str(),
                            server.port());
  }
  std::string CardFile() const {
    return test::ReadHostFile(root_.Host(kCardFile));
  }
  bool CardFileExists() const {
    return test::HostFileExists(root_.Host(kCardFile));
  }

  DeviceRoot root_;
  HandsetBeatResult result_{};
  HandsetError error_{};
};

// Two of each kind, with the search-order rules, entities, CDATA, numbers
// read up to the first non-digit, and characters beyond any ANSI code page.
const std::string kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<reply><other total=\"9\"/><notifications total=\" 17x\">"
    "<content key=\"c1\"><mime>image/png</mime><size> +2048 bytes</size>"
    "<title>Tom &amp; Jerry</title><text><![CDATA[<b>&amp;</b>]]></text>"
    "</content>"
    "<message key=\"early\"><title>skipped</title></message>"
    "<content key=\"c2\"><title>before mime</title><mime>text/plain</mime>"
    "<size>-7</size><text>\xF0\x9F\x98\x80 \xE0\xB8\x81&#x4E2D;</text>"
    "</content>"
    "<message key=\"m1\"><title>T</title><text>a &lt; b</text></message>"
    "<message><text>no key, no title</text></message>"
    "<advertisement key=\"a1\"><title>Ad</title><text>x</text>"
    "<media>m.jpg</media><href>http://h/?a=1&amp;b=2</href></advertisement>"
    "<advertisement key=\"a2\"><media>only media</media></advertisement>"
    "</notifications></reply>";

TEST_F(HeartbeatTest, RequestAndAllThreeKinds) {
  FakeServer server({Raw(Ok(kDocument))});
  ASSERT_EQ(Beat(server), 200);
  const auto requests = server.Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "GET /beat HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(server.port()) +
                             "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
                             "Connection: Keep-Alive\r\n"
                             "User-Serial: SN-9\r\nUser-ID: 42\r\n\r\n");

  ASSERT_EQ(Counts(),
            (std::vector<int32_t>{17, 2, 2, 2, 2 * 3588, 2 * 3588 + 2 * 3072}));
  ASSERT_NE(result_.entries, nullptr);

  // The fields at their byte offsets in the array.
  auto unitsAt = [&](size_t byte) {
    return std::u16string(
        reinterpret_cast<const char16_t*>(result_.entries + byte));
  };
  EXPECT_EQ(unitsAt(0), u"c1");
  EXPECT_EQ(unitsAt(512), u"Tom & Jerry");
  EXPECT_EQ(unitsAt(1024), u"<b>&amp;</b>");
  EXPECT_EQ(unitsAt(3072), u"image/png");
  int32_t size = 0;
  std::memcpy(&size, result_.entries + 3584, 4);
  EXPECT_EQ(size, 2048);
  EXPECT_EQ(unitsAt(3588 + 0), u"c2");
  EXPECT_EQ(unitsAt(2 * 3588 + 0), u"m1");
  EXPECT_EQ(unitsAt(2 * 3588 + 2 * 3072 + 4096 + 3072), u"only media");

  const auto& c1 = At<ContentNotification>(result_, 0, 0);
  const auto& c2 = At<ContentNotification>(result_, 0, 1);
  EXPECT_EQ(Text(c1.key), u"c1");
  EXPECT_EQ(Text(c1.mime), u"image/png");
  // A title before the mime is not seen; the text keeps its characters.
  EXPECT_EQ(Text(c2.key), u"c2");
  EXPECT_EQ(Text(c2.title), u"");
  EXPECT_EQ(Text(c2.mime), u"text/plain");
  EXPECT_EQ(Text(c2.text), u"\U0001F600 \u0E01\u4E2D");
  EXPECT_EQ(c2.size, -7);

  // The message before the last content is skipped; the second message has
  // neither key nor title and does not inherit the first one's.
  const auto& m1 = At<MessageNotification>(result_, result_.messageOffset, 0);
  const auto& m2 = At<MessageNotification>(result_, result_.messageOffset, 1);
  EXPECT_EQ(Text(m1.key), u"m1");
  EXPECT_EQ(Text(m1.title), u"T");
  EXPECT_EQ(Text(m1.text), u"a < b");
  EXPECT_EQ(Text(m2.key), u"");
  EXPECT_EQ(Text(m2.title), u"");
  EXPECT_EQ(Text(m2.text), u"no key, no title");

  const auto& a1 =
      At<AdvertisementNotification>(result_, result_.advertisementOffset, 0);
  const auto& a2 =
      At<AdvertisementNotification>(result_, result_.advertisementOffset, 1);
  EXPECT_EQ(Text(a1.key), u"a1");
  EXPECT_EQ(Text(a1.title), u"Ad");
  EXPECT_EQ(Text(a1.text), u"x");
  EXPECT_EQ(Text(a1.media), u"m.jpg");
  EXPECT_EQ(Text(a1.href), u"http://h/?a=1&b=2");
  EXPECT_EQ(Text(a2.key), u"a2");
  EXPECT_EQ(Text(a2.title), u"");
  EXPECT_EQ(Text(a2.text), u"");
  EXPECT_EQ(Text(a2.media), u"only media");
  EXPECT_EQ(Text(a2.href), u"");

  EXPECT_FALSE(CardFileExists());
}

// The body reaches the document loader byte for byte: a code page it
// declares and UTF-16 with a byte order mark give the same notification.
TEST_F(HeartbeatTest, DocumentEncodings) {
  const std::u16string text =
      u"\uFEFF<r><notifications total=\"1\"><message key=\"k\">"
      u"<title>\u4E2D</title></message></notifications></r>";
  const std::vector<std::string> bodies = {
      "<?xml version=\"1.0\" encoding=\"gb2312\"?><r><notifications "
      "total=\"1\"><message key=\"k\"><title>\xD6\xD0</title></message>"
      "</notifications></r>",
      test::Utf16Bytes(text),
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body.size());
    FakeServer server({Raw(Ok(body))});
    ASSERT_EQ(Beat(server), 200);
    EXPECT_EQ(result_.total, 1);
    ASSERT_EQ(result_.messageCount, 1);
    const auto& m = At<MessageNotification>(result_, result_.messageOffset, 0);
    EXPECT_EQ(Text(m.key), u"k");
    EXPECT_EQ(Text(m.title), u"\u4E2D");
    EXPECT_FALSE(CardFileExists());
  }
}

// Values longer than every field are cut to the field, terminator included,
// and never between the halves of a surrogate pair.
TEST_F(HeartbeatTest, OverlongValuesCutToTheirFields) {
  const std::string k300(300, 'k');
  const std::string emojiEnd = std::string(1022, 't') + "\xF0\x9F\x98\x80";
  const std::string body =
      "<r><notifications><content key=\"" + k300 + "\"><mime>" + k300 +
      "</mime><title>" + k300 + "</title><text>" + emojiEnd +
      "</text></content><advertisement key=\"a\"><title>" +
      std::string(253, 'x') + "\xF0\x9F\x98\x80</title><text>" +
      std::string(5000, 'y') + "</text><media>" + k300 + "</media><href>" +
      k300 + "</href></advertisement></notifications></r>";
  FakeServer server({Raw(Ok(body))});
  ASSERT_EQ(Beat(server), 200);
  ASSERT_EQ(result_.contentCount, 1);
  ASSERT_EQ(result_.advertisementCount, 1);
  const std::u16string k255(255, u'k');
  const auto& c = At<ContentNotification>(result_, 0, 0);
  EXPECT_EQ(Text(c.key), k255);
  EXPECT_EQ(Text(c.mime), k255);
  EXPECT_EQ(Text(c.title), k255);
  // 1022 units and a pair do not fit 1023: the whole pair is left out.
  EXPECT_EQ(Text(c.text), std::u16string(1022, u't'));
  const auto& a =
      At<AdvertisementNotification>(result_, result_.advertisementOffset, 0);
  // 253 units and a pair fill the field up to its terminator.
  EXPECT_EQ(Text(a.title), std::u16string(253, u'x') + u"\U0001F600");
  EXPECT_EQ(Text(a.text), std::u16string(1023, u'y'));
  EXPECT_EQ(Text(a.media), k255);
  EXPECT_EQ(Text(a.href), k255);
}

// A second heartbeat releases the first array (LeakSanitizer sees the
// rest); a refusal then leaves record, array and card file alone.
TEST_F(HeartbeatTest, SecondBeatReleasesFirstArrayRefusalKeepsIt) {
  FakeServer server(
      {Raw(Ok("<r><notifications total=\"5\"><content key=\"c\"/>"
              "<advertisement key=\"a\"/></notifications></r>")),
       Raw(Ok("<r><notifications><message key=\"m1\"/><message key=\"m2\"/>"
              "</notifications></r>")),
       Raw(HttpReply(500, "Error",
                     {{"X-Error-Code", "907"}, {"X-Error-Message", "busy"}},
                     ""))});
  ASSERT_EQ(Beat(server), 200);
  EXPECT_EQ(result_.contentCount, 1);
  EXPECT_EQ(result_.advertisementOffset, 3588);
  ASSERT_EQ(Beat(server), 200);
  EXPECT_EQ(Counts(), (std::vector<int32_t>{0, 0, 2, 0, 0, 2 * 3072}));
  EXPECT_EQ(Text(At<MessageNotification>(result_, 0, 1).key), u"m2");

  test::WriteHostFile(root_.Host(kCardFile), "left from before");
  const HandsetBeatResult before = result_;
  ASSERT_EQ(Beat(server), 500);
  EXPECT_EQ(std::memcmp(&before, &result_, sizeof before), 0);
  EXPECT_EQ(error_.code, 907);
  // The header value is taken untrimmed.
  EXPECT_EQ(std::u16string(error_.message), u" busy");
  EXPECT_EQ(CardFile(), "left from before");
  EXPECT_EQ(Text(At<MessageNotification>(result_, 0, 0).key), u"m1");
}

// Replies that yield no notifications: counts and offsets 0 and a valid
// empty array; the file stays unless it was parsed.
TEST_F(HeartbeatTest, RepliesWithoutNotifications) {
  const struct {
    const char* name;
    std::string body;
    bool fileStays;
  } cases[] = {
      {"no notifications element", "<r><other/></r>", true},
      {"root is notifications",
       "<notifications total=\"3\"><message key=\"m\"/></notifications>", true},
      {"empty notifications", "<r><notifications total=\"0\"/></r>", false},
      {"not well formed", "<r><notifications>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server({Raw(Ok(c.body))});
    ASSERT_EQ(Beat(server), 200);
    EXPECT_EQ(Counts(), std::vector<int32_t>(6, 0));
    EXPECT_NE(result_.entries, nullptr);
    EXPECT_EQ(CardFileExists(), c.fileStays);
    if (c.fileStays) {
      EXPECT_EQ(CardFile(), c.body);
    }
  }
}

// What reaches the card: the body up to its Content-Length, however it is
// cut into receives; without Content-Length what fits the first area; up to
// the close of a connection that ends early.
TEST_F(HeartbeatTest, BodyStoredOnTheCard) {
  const std::string doc = "<r><x>" + std::string(3000, 'b') + "</x></r>";
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(doc.size()) +
      "\r\n\r\n";
  const std::string bare = "HTTP/1.1 200 OK\r\n\r\n";
  const struct {
    const char* name;
    test::Reply reply;
    std::string stored;
  } cases[] = {
      {"longer than its length", Raw(head + doc + "TRAILING BYTES"), doc},
      {"in several pieces",
       test::Pieces(
           {head + doc.substr(0, 10), doc.substr(10, 1500), doc.substr(1510)},
           20),
       doc},
      {"without Content-Length", Raw(bare + doc),
       doc.substr(0, 1024 - bare.size())},
      {"connection closes mid-body",
       Raw("HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n" + doc), doc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server({c.reply});
    ASSERT_EQ(Beat(server), 200);
    EXPECT_EQ(CardFile(), c.stored);
    EXPECT_EQ(result_.contentCount + result_.messageCount +
                  result_.advertisementCount,
              0);
  }

  // A document longer than one receive, in pieces, is parsed whole.
  const std::string text(1000, 'z');
  const std::string big =
      "<r><notifications total=\"2\"><message key=\"m\"><text>" + text +
      "</text></message><message key=\"n\"><text>" + text +
      "!</text></message></notifications></r>";
  FakeServer server({test::Pieces(
      {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) +
           "\r\n\r\n" + big.substr(0, 700),
       big.substr(700, 1000), big.substr(1700)},
      20)});
  ASSERT_EQ(Beat(server), 200);
  ASSERT_EQ(result_.messageCount, 2);
  EXPECT_EQ(Text(At<MessageNotification>(result_, 0, 1).text), U16(text + "!"));
  EXPECT_FALSE(CardFileExists());
}

}  // namespace
}  // namespace vesk
