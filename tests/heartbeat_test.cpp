// The heartbeat against a scripted loopback server: the exact request, the
// notification file on the card, the records in the caller's array at their
// byte offsets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"

namespace vesk {
namespace {

using namespace test;
using Texts = std::vector<std::u16string>;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char kCardFile[] = "\\Storage Card\\savepush.xml";

std::string Ok(const std::string& body) {
  return HttpReply(200, "OK", {{"Content-Length", std::to_string(body.size())}},
                   body);
}

// The text of a field up to its terminator; everything after it is zero.
template <size_t N>
std::u16string Text(const char16_t (&field)[N]) {
  const size_t length = std::char_traits<char16_t>::length(field);
  EXPECT_LT(length, N);
  for (size_t i = length; i < N; ++i) EXPECT_EQ(field[i], 0) << i;
  return std::u16string(field, length);
}
Texts Fields(const ContentNotification& c) {
  return {Text(c.key), Text(c.title), Text(c.text), Text(c.mime)};
}
Texts Fields(const MessageNotification& m) {
  return {Text(m.key), Text(m.title), Text(m.text)};
}
Texts Fields(const AdvertisementNotification& a) {
  return {Text(a.key), Text(a.title), Text(a.text), Text(a.media),
          Text(a.href)};
}

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteHandsetEnv(root_); }
  void TearDown() override { delete[] result_.entries; }
  // total, the three counts, and the message and advertisement offsets.
  std::vector<int32_t> Counts() const {
    return {result_.total,         result_.contentCount,
            result_.messageCount,  result_.advertisementCount,
            result_.messageOffset, result_.advertisementOffset};
  }
  template <typename Record>
  const Record& At(int32_t offset, int32_t index) const {
    return *reinterpret_cast<const Record*>(result_.entries + offset +
                                            index * sizeof(Record));
  }
  const MessageNotification& Message(int32_t index) const {
    return At<MessageNotification>(result_.messageOffset, index);
  }
  int32_t Beat(const FakeServer& server) {
    return vesk_HandsetBeat(kEnv, &result_, &error_,
                            Url(server, "/beat").c_str(), server.port());
  }
  bool CardFileExists() const { return HostFileExists(root_.Host(kCardFile)); }

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

  // A title before the mime is not seen; the text keeps its characters.
  const auto& c1 = At<ContentNotification>(0, 0);
  const auto& c2 = At<ContentNotification>(0, 1);
  EXPECT_EQ(Fields(c1),
            (Texts{u"c1", u"Tom & Jerry", u"<b>&amp;</b>", u"image/png"}));
  EXPECT_EQ(c1.size, 2048);
  EXPECT_EQ(Fields(c2),
            (Texts{u"c2", u"", u"\U0001F600 \u0E01\u4E2D", u"text/plain"}));
  EXPECT_EQ(c2.size, -7);
  // The message before the last content is skipped; the second message has
  // neither key nor title and does not inherit the first one's.
  EXPECT_EQ(Fields(Message(0)), (Texts{u"m1", u"T", u"a < b"}));
  EXPECT_EQ(Fields(Message(1)), (Texts{u"", u"", u"no key, no title"}));
  const int32_t ads = result_.advertisementOffset;
  EXPECT_EQ(Fields(At<AdvertisementNotification>(ads, 0)),
            (Texts{u"a1", u"Ad", u"x", u"m.jpg", u"http://h/?a=1&b=2"}));
  EXPECT_EQ(Fields(At<AdvertisementNotification>(ads, 1)),
            (Texts{u"a2", u"", u"", u"only media", u""}));
  EXPECT_FALSE(CardFileExists());
}

// Values longer than every field are cut to the field, terminator included,
// and never between the halves of a surrogate pair.
TEST_F(HeartbeatTest, OverlongValuesCutToTheirFields) {
  const std::string k300(300, 'k');
  const std::string body =
      "<r><notifications><content key=\"" + k300 + "\"><mime>" + k300 +
      "</mime><title>" + k300 + "</title><text>" + std::string(1022, 't') +
      "\xF0\x9F\x98\x80</text></content><advertisement key=\"a\"><title>" +
      std::string(253, 'x') + "\xF0\x9F\x98\x80</title><text>" +
      std::string(5000, 'y') + "</text><media>" + k300 + "</media><href>" +
      k300 + "</href></advertisement></notifications></r>";
  FakeServer server({Raw(Ok(body))});
  ASSERT_EQ(Beat(server), 200);
  ASSERT_EQ(result_.contentCount, 1);
  ASSERT_EQ(result_.advertisementCount, 1);
  const std::u16string k255(255, u'k');
  // 1022 units and a pair do not fit 1023: the whole pair is left out; 253
  // units and a pair fill the title up to its terminator.
  EXPECT_EQ(Fields(At<ContentNotification>(0, 0)),
            (Texts{k255, k255, std::u16string(1022, u't'), k255}));
  EXPECT_EQ(
      Fields(At<AdvertisementNotification>(result_.advertisementOffset, 0)),
      (Texts{u"a", std::u16string(253, u'x') + u"\U0001F600",
             std::u16string(1023, u'y'), k255, k255}));
}

// What each reply leaves: the body reaches the card up to its
// Content-Length however it is cut into receives (without one, what fits
// the first area; up to the close of a connection that ends early), and
// stays there unless it was parsed. A document longer than one receive gives
// its message; the others no notifications, with a valid empty array. A
// refusal leaves the card file alone.
TEST_F(HeartbeatTest, WhatEachReplyLeaves) {
  const std::string doc = "<r><x>" + std::string(3000, 'b') + "</x></r>";
  const std::string bare = "HTTP/1.1 200 OK\r\n\r\n";
  auto head = [](size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
  };
  const std::string root =
      "<notifications total=\"3\"><message key=\"m\"/></notifications>";
  const std::string big =
      "<r><notifications total=\"1\"><message key=\"k\"><title>\xE4\xB8\xAD"
      "</title><text>" +
      std::string(1000, 'z') + "</text></message></notifications></r>";
  const struct {
    Reply reply;
    std::string stored;  // "" when the file is gone
    bool one = false;    // the one message of big, or no notifications
  } cases[] = {
      {Raw(Ok("<r><other/></r>")), "<r><other/></r>"},
      {Raw(Ok(root)), root},
      {Raw(Ok("<r><notifications total=\"0\"/></r>")), ""},
      {Raw(Ok("<r><notifications>")), "<r><notifications>"},
      {Raw(head(doc.size()) + doc + "TRAILING BYTES"), doc},
      {Raw(bare + doc), doc.substr(0, 1024 - bare.size())},
      {Raw(head(9000) + doc), doc},
      {Pieces({head(big.size()) + big.substr(0, 700), big.substr(700, 300),
               big.substr(1000)},
              20),
       "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    FakeServer server({c.reply});
    ASSERT_EQ(Beat(server), 200);
    EXPECT_EQ(Counts(), (c.one ? std::vector<int32_t>{1, 0, 1, 0, 0, 3072}
                               : std::vector<int32_t>(6, 0)));
    EXPECT_NE(result_.entries, nullptr);
    if (c.one) {
      EXPECT_EQ(Fields(Message(0)),
                (Texts{u"k", u"\u4E2D", std::u16string(1000, u'z')}));
    }
    EXPECT_EQ(CardFileExists(), !c.stored.empty());
    EXPECT_EQ(ReadHostFile(root_.Host(kCardFile)), c.stored);
  }
  // A refusal leaves the card file of an earlier beat alone.
  WriteHostFile(root_.Host(kCardFile), "left from before");
  FakeServer refusing(
      {Raw(HttpReply(500, "Error", {{"X-Error-Code", "907"}}, ""))});
  EXPECT_EQ(Beat(refusing), 500);
  EXPECT_EQ(error_.code, 907);
  EXPECT_EQ(ReadHostFile(root_.Host(kCardFile)), "left from before");
}

}  // namespace
}  // namespace vesk
