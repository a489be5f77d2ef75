// What no operation's request shows, the text helpers, and the reading of a
// response head from a real loopback peer.
#include "transport/transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk::transport {

void PrintTo(const ByteString& text, std::ostream* out) {
  *out << '"' << text.view() << '"';
}

namespace {

using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::ScopedEnv;

// The operations' requests are checked byte for byte with their suites;
// here what none sends: a content type without a body, a range with an end.
TEST(ComposeRequest, BodylessTypeAndClosedRange) {
  HandsetRequest request;
  request.SetUserAgent("UA");
  request.SetContentType("multipart/form-data; boundary=xyz");
  request.SetRange(100, 199);
  EXPECT_EQ(request.ComposeRequest("http://h:8/u?x=%41", "POST",
                                   request.Range(), ByteString()),
            "POST /u?x=%41 HTTP/1.1\r\nHost: h:8\r\nAccept: */*\r\n"
            "User-Agent: UA\r\nConnection: Keep-Alive\r\n"
            "Content-Type: multipart/form-data; boundary=xyz\r\n"
            "Range: bytes=100-199\r\n\r\n");
}

TEST(ComposeRequest, UrlSplitting) {
  struct Case {
    const char* url;
    const char* host;
    const char* path;
  } cases[] = {
      {"http://svc:8080/a/b?q=1", "svc:8080", "/a/b?q=1"},
      {"http://svc/", "svc", "/"},
      {"/only/path", "", "/only/path"},  // no "//": split from index 0
      {"http://svc", "svc", ""},
  };
  for (const Case& c : cases) {
    HandsetRequest request;
    EXPECT_EQ(request.ExtractHost(c.url), c.host) << c.url;
    EXPECT_EQ(request.ExtractPath(c.url), c.path) << c.url;
    EXPECT_EQ(request.Host(), c.host);
    EXPECT_EQ(request.Path(), c.path);
  }
}

TEST(RequestFields, SettersAndReset) {
  HandsetRequest request;
  struct RangeCase {
    int32_t from, to;
    const char* text;
  } ranges[] = {{500, 0, "500-"},
                {0, 0, "0-"},
                {100, 199, "100-199"},
                {10, 10, "10-"},
                {10, -5, "10-"}};
  for (const RangeCase& r : ranges) {
    request.SetRange(r.from, r.to);
    EXPECT_EQ(request.Range(), r.text);
  }

  request.AddHeader("A", "1");
  request.AddHeader(nullptr, "x");
  request.AddHeader("B", nullptr);
  request.AddHeader("C", "");
  EXPECT_EQ(request.HeaderLines(), "A: 1\r\nC: ");

  request.AddFormField("k", nullptr);
  EXPECT_EQ(request.FormBody(), "");
  request.AddFormField("k", "");
  request.AddFormField("m", "v");
  EXPECT_EQ(request.FormBody(), "k=&m=v");

  request.ResetRequest();
  EXPECT_EQ(request.HeaderLines(), "");
  EXPECT_EQ(request.FormBody(), "");
  EXPECT_EQ(request.Range(), "");
  // Without a socket there is nothing to close, and nothing to receive.
  EXPECT_TRUE(request.CloseConnection());
  char buffer[8];
  EXPECT_EQ(request.Receive(buffer, sizeof buffer), 0);
}

TEST(TextHelpers, UrlEncodeFindTextAndAtoi) {
  // The activation's exact forms hold the rest of the encoding's cases.
  EXPECT_EQ(UrlEncode("-_.~/+ Az09"), "%2D%5F%2E%7E%2F%2B+Az09");
  EXPECT_EQ(UrlEncode(nullptr), "");
  EXPECT_EQ(FindText(nullptr, "a", 0), kNullArgument);
  EXPECT_EQ(FindText("abc", nullptr, 0), kNullArgument);
  EXPECT_EQ(FindText("abcabc", "bc", 0), 1);
  EXPECT_EQ(FindText("abcabc", "bc", 2), 4);
  EXPECT_EQ(FindText("abcabc", "bc", 5), kNotFound);
  EXPECT_EQ(FindText("abc", "bc", 3), kNotFound);  // start at the terminator
  EXPECT_EQ(FindText("abc", "", 0), kNotFound);
  EXPECT_EQ(FindText("abc", "abcd", 0), kNotFound);
  EXPECT_EQ(FindText("aBc", "bc", 0), kNotFound);  // case-sensitive

  EXPECT_EQ(AtoiRule(" 906"), 906);
  EXPECT_EQ(AtoiRule("\t-12x"), -12);
  EXPECT_EQ(AtoiRule("+7"), 7);
  EXPECT_EQ(AtoiRule("x1"), 0);
  EXPECT_EQ(AtoiRule(""), 0);
  EXPECT_EQ(AtoiRule(nullptr), 0);
  EXPECT_EQ(AtoiRule("99999999999999999999"), 2147483647);
  EXPECT_EQ(AtoiRule("-99999999999999999999"), -2147483647 - 1);

  EXPECT_EQ(ParseStatus("HTTP/1.1 200 OK\r\n"), 200);
  EXPECT_EQ(ParseStatus("HTTP/1.1 2000 Odd\r\n"), 200);
  EXPECT_EQ(ParseStatus("HTTP/1.1 40"), 40);
  EXPECT_EQ(ParseStatus(""), 0);
  EXPECT_EQ(ParseStatus(nullptr), 0);
}

TEST(TextHelpers, HeaderValues) {
  const char* head =
      "HTTP/1.1 500 Oops\r\nX-Error-Code-Extra: 1\r\nX-Error-Code: 906\r\n"
      "Date:Mon\r\nEmpty:\r\n\r\n";
  auto value = [&](const char* name) {
    auto v = GetHeaderValue(head, name);
    return v ? std::string(v.get()) : std::string("<null>");
  };
  // The first occurrence wins, even inside a longer name.
  EXPECT_EQ(value("X-Error-Code"), " 1");
  EXPECT_EQ(value("Date"), "Mon");
  EXPECT_EQ(value("Empty"), "");
  EXPECT_EQ(value("Missing"), "<null>");
  EXPECT_EQ(GetHeaderValue(nullptr, "A"), nullptr);
  EXPECT_EQ(GetHeaderValue(head, nullptr), nullptr);
  // A name at the very end without colon or line end.
  auto tail = GetHeaderValue("abc Name", "Name");
  ASSERT_NE(tail, nullptr);
  EXPECT_STREQ(tail.get(), "");
}

TEST(TextHelpers, RandomTextUsesThePlatformRandom) {
  static uint32_t next = 60;  // the upload suite's boundary holds 0 to 10
  platform::Overrides overrides;
  overrides.random = [] { return next++; };
  platform::SetOverrides(overrides);
  EXPECT_EQ(RandomText(5), "YZ012");
  platform::SetOverrides({});
}

// One GET against a server that answers with reply; the request object
// for inspection, and whether it was sent.
struct Exchanged {
  bool sent;
  std::unique_ptr<HandsetRequest> request;
};
Exchanged GetWith(test::Reply reply) {
  FakeServer server({std::move(reply)});
  auto request = std::make_unique<HandsetRequest>();
  const bool sent = request->SendGet("http://127.0.0.1/r", server.port());
  request->CloseConnection();
  return {sent, std::move(request)};
}

// A reply with one of the peer's behaviours set.
test::Reply With(test::Reply reply, bool test::Reply::*behaviour) {
  reply.*behaviour = true;
  return reply;
}

TEST(ReadResponseHead, SplitsHeadAndFirstBodyBytes) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  const int32_t h = static_cast<int32_t>(head.size());
  struct Case {
    const char* what;
    test::Reply reply;
    int32_t status;
    int32_t headLength;
    int32_t contentLength;
    std::string body;
  } cases[] = {
      {"body with the head", Raw(head + "hello"), 200, h, 5, "hello"},
      {"body longer than its length", Raw(head + "hello, world"), 200, h, 5,
       "hello"},
      // A reply in pieces is gathered until the area holds the head and the
      // announced body, wherever the pieces are cut.
      {"body after the head", test::Pieces({head, "hello"}, 30), 200, h, 5,
       "hello"},
      {"cut everywhere",
       test::Pieces({"HTTP/1.1 2", "00 OK\r\nContent-Le", "ngth: 5\r\n\r",
                     "\nhel", "lo", " and more"},
                    30),
       200, h, 5, "hello"},
      {"body stalls", With(Raw(head + "hel"), &test::Reply::keepOpen), 200, h,
       5, "hel"},
      {"no content length", Raw("HTTP/1.1 404 NF\r\nX: y\r\n\r\n<html>"), 404,
       25, 0, "<html>"},
      // Without a length, what came with the head's end is all there is.
      {"no content length, in pieces",
       With(test::Pieces({"HTTP/1.1 404 NF\r\nX: y", "\r\n\r\n<ht", "ml>"}, 30),
            &test::Reply::lastAfterClientEnds),
       404, 25, 0, "<ht"},
      {"four-digit status", Raw("HTTP/1.1 2001 X\r\n\r\n"), 200, 19, 0, ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A stalled peer is waited for a second; a client that waits for what
    // comes after the head's receive would see the held-back piece, sent
    // after the peer's own ten-second wait.
    ScopedEnv timeout("VESK_TIMEOUT_SECONDS",
                      c.reply.lastAfterClientEnds ? "30" : "1");
    Exchanged e = GetWith(std::move(c.reply));
    EXPECT_TRUE(e.sent);
    const HandsetRequest& r = *e.request;
    EXPECT_EQ(ParseStatus(r.ResponseHead().c_str()), c.status);
    EXPECT_EQ(r.HeadLength(), c.headLength);
    EXPECT_EQ(r.ResponseHead().size(), static_cast<size_t>(c.headLength));
    EXPECT_EQ(r.ContentLength(), c.contentLength);
    EXPECT_EQ(r.FirstBodyLength(), static_cast<int32_t>(c.body.size()));
    EXPECT_EQ(std::string(r.Body()), c.body);
    EXPECT_EQ(std::string(r.RawResponse()),
              std::string(r.ResponseHead().c_str()) + c.body);
    // The rest of the body area is zero.
    for (int i = static_cast<int>(c.body.size()); i <= 1024; ++i) {
      ASSERT_EQ(r.Body()[i], 0) << i;
    }
  }
}

TEST(ReadResponseHead, AnythingButAHeadIsNoResponse) {
  const std::string longHead =
      "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(1100, 'p') + "\r\n\r\n";
  test::Reply replies[] = {Raw(longHead), Raw("HTTP/1.1 200 OK\r\n"),
                           With({}, &test::Reply::closeWithoutReply),
                           With({}, &test::Reply::acceptAndClose),
                           Raw(std::string("HTTP/1.1 200\0\r\n\r\n", 18))};
  for (test::Reply& reply : replies) {
    Exchanged e = GetWith(std::move(reply));
    const HandsetRequest& r = *e.request;
    EXPECT_EQ(r.HeadLength(), 0);
    EXPECT_EQ(r.ResponseHead(), "");
    EXPECT_EQ(ParseStatus(r.ResponseHead().c_str()), 0);
    EXPECT_EQ(r.RawResponse()[0], 0);
    EXPECT_EQ(r.Body()[0], 0);
  }
}

TEST(ReadResponseHead, FullAreaStaysTerminated) {
  const std::string head = "HTTP/1.1 500 X\r\n\r\n";
  const std::string body(2000, 'b');
  Exchanged e = GetWith(Raw(head + body));
  const HandsetRequest& r = *e.request;
  EXPECT_EQ(r.FirstBodyLength(), 1024 - static_cast<int32_t>(head.size()));
  EXPECT_EQ(std::strlen(r.RawResponse()), 1024u);
  EXPECT_EQ(std::strlen(r.Body()), 1024u - head.size());
}

TEST(Connection, PortArgumentDecidesHostLineKeepsUrlPort) {
  FakeServer server({Raw("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")});
  HandsetRequest request;
  // The URL names port 1; the connection goes to the port argument.
  ASSERT_TRUE(request.SendGet("http://127.0.0.1:1/p", server.port()));
  EXPECT_TRUE(request.Connected());
  EXPECT_EQ(request.Port(), server.port());
  // Connected already: no new resolution, even of a name that cannot resolve.
  EXPECT_TRUE(request.Connect("", 1));
  ASSERT_TRUE(request.CloseConnection());
  EXPECT_EQ(request.Socket(), 0u);
  EXPECT_FALSE(request.Connected());
  const auto requests = server.Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("Host: 127.0.0.1:1\r\n"), std::string::npos);
}

TEST(Connection, FailuresLeaveNoSocket) {
  HandsetRequest refused;
  EXPECT_FALSE(refused.SendGet("http://127.0.0.1/p", test::ClosedPort()));
  EXPECT_EQ(refused.Socket(), 0u);
  EXPECT_FALSE(refused.Connected());

  // An empty host name resolves to nothing (and asks no name server).
  HandsetRequest unresolved;
  EXPECT_FALSE(unresolved.SendGet("http:///p", 80));
  EXPECT_EQ(unresolved.Socket(), 0u);

  HandsetRequest noHost;
  EXPECT_FALSE(noHost.Connect(nullptr, 80));
}

TEST(Connection, ReceiveAfterPeerCloseIsMinusOne) {
  FakeServer server({Raw("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc")});
  HandsetRequest request;
  const std::string url = "http://127.0.0.1/r";
  ASSERT_TRUE(request.SendGet(url.c_str(), server.port()));
  EXPECT_EQ(request.FirstBodyLength(), 3);
  char buffer[16];
  EXPECT_EQ(request.Receive(buffer, sizeof buffer), -1);
}

}  // namespace
}  // namespace vesk::transport
