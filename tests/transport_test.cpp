// What no operation's request shows, the text helpers, and the reading of a
// response head from a real loopback peer.
#include "transport/transport.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk::transport {

namespace {

using test::FakeServer;
using test::Raw;
using test::ScopedEnv;

// What no operation sends: a content type without a body, a closed range.
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
  for (const auto& [url, host, path] :
       {std::tuple{"http://svc:8080/a/b?q=1", "svc:8080", "/a/b?q=1"},
        {"http://svc", "svc", ""}}) {
    HandsetRequest request;
    EXPECT_EQ(request.ExtractHost(url), host) << url;
    EXPECT_EQ(request.ExtractPath(url), path) << url;
  }
}

TEST(RequestFields, SettersAndReset) {
  HandsetRequest request;
  for (const auto& [from, to, text] :
       {std::tuple{500, 0, "500-"}, {100, 199, "100-199"}, {10, 10, "10-"}}) {
    request.SetRange(from, to);
    EXPECT_EQ(request.Range(), text);
  }
  request.AddHeader("A", "1");
  request.AddHeader(nullptr, "x");
  request.AddHeader("B", nullptr);
  request.AddHeader("C", "");
  EXPECT_EQ(request.HeaderLines(), "A: 1\r\nC: ");
  request.AddFormField("k", nullptr);
  request.AddFormField("k", "");
  request.AddFormField("m", "v");
  EXPECT_EQ(request.FormBody(), "k=&m=v");
  request.ResetRequest();
  EXPECT_EQ(request.HeaderLines(), "");
  EXPECT_EQ(request.FormBody(), "");
  EXPECT_EQ(request.Range(), "");
}

TEST(TextHelpers, UrlEncodeFindTextAndAtoi) {
  // The activation's exact forms hold the rest of the encoding's cases.
  EXPECT_EQ(UrlEncode("-_.~/+ Az09"), "%2D%5F%2E%7E%2F%2B+Az09");
  EXPECT_EQ(FindText(nullptr, "a", 0), kNullArgument);
  EXPECT_EQ(FindText("abcabc", "bc", 2), 4);
  EXPECT_EQ(FindText("abc", "bc", 3), kNotFound);  // start at the terminator
  EXPECT_EQ(FindText("abc", "", 0), kNotFound);
  EXPECT_EQ(FindText("aBc", "bc", 0), kNotFound);  // case-sensitive
  for (const auto& [text, value] :
       {std::pair{" 906", 906},
        {"\t-12x", -12},
        {"x1", 0},
        {"99999999999999999999", 2147483647},
        {"-99999999999999999999", -2147483647 - 1}}) {
    EXPECT_EQ(AtoiRule(text), value) << text;
  }
  EXPECT_EQ(AtoiRule(nullptr), 0);
  EXPECT_EQ(ParseStatus("HTTP/1.1 2000 Odd\r\n"), 200);
  EXPECT_EQ(ParseStatus("HTTP/1.1 40"), 40);
  EXPECT_EQ(ParseStatus(nullptr), 0);
}

TEST(TextHelpers, HeaderValues) {
  const char* head =
      "HTTP/1.1 500 Oops\r\nX-Error-Code-Extra: 1\r\nX-Error-Code: 906\r\n"
      "Date:Mon\r\nEmpty:\r\n\r\n";
  // The first occurrence wins, even inside a longer name.
  EXPECT_STREQ(GetHeaderValue(head, "X-Error-Code").get(), " 1");
  EXPECT_STREQ(GetHeaderValue(head, "Date").get(), "Mon");
  EXPECT_STREQ(GetHeaderValue(head, "Empty").get(), "");
  EXPECT_EQ(GetHeaderValue(head, "Missing"), nullptr);
  EXPECT_EQ(GetHeaderValue(nullptr, "A"), nullptr);
  // A name at the very end without colon or line end.
  EXPECT_STREQ(GetHeaderValue("abc Name", "Name").get(), "");
}

// One GET against a server that answers with reply, for inspection.
std::unique_ptr<HandsetRequest> GetWith(test::Reply reply) {
  FakeServer server({std::move(reply)});
  auto request = std::make_unique<HandsetRequest>();
  request->SendGet("http://127.0.0.1/r", server.port());
  request->CloseConnection();
  return request;
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
      {"body longer than its length", Raw(head + "hello, world"), 200, h, 5,
       "hello"},
      // A reply in pieces is gathered until the area holds the head and the
      // announced body, wherever the pieces are cut.
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
      {"the area full", Raw("HTTP/1.1 500 X\r\n\r\n" + std::string(2000, 'b')),
       500, 18, 0, std::string(1024 - 18, 'b')},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A stalled peer is waited for a second; the held-back piece comes
    // after the peer's own ten-second wait.
    ScopedEnv timeout("VESK_TIMEOUT_SECONDS",
                      c.reply.lastAfterClientEnds ? "30" : "1");
    const auto request = GetWith(std::move(c.reply));
    const HandsetRequest& r = *request;
    EXPECT_EQ(ParseStatus(r.ResponseHead().c_str()), c.status);
    EXPECT_EQ(r.HeadLength(), c.headLength);
    EXPECT_EQ(r.ContentLength(), c.contentLength);
    EXPECT_EQ(r.FirstBodyLength(), static_cast<int32_t>(c.body.size()));
    EXPECT_EQ(std::string(r.Body()), c.body);
    EXPECT_EQ(std::string(r.RawResponse()),
              std::string(r.ResponseHead().c_str()) + c.body);
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
    const auto request = GetWith(std::move(reply));
    const HandsetRequest& r = *request;
    EXPECT_EQ(r.HeadLength(), 0);
    EXPECT_EQ(r.ResponseHead(), "");
    EXPECT_EQ(ParseStatus(r.ResponseHead().c_str()), 0);
    EXPECT_EQ(r.RawResponse()[0], 0);
    EXPECT_EQ(r.Body()[0], 0);
  }
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
  // An empty host name resolves to nothing (and asks no name server).
  for (const auto& [url, port] :
       {std::pair{"http://127.0.0.1/p", test::ClosedPort()},
        {"http:///p", uint16_t{80}}}) {
    HandsetRequest request;
    EXPECT_FALSE(request.SendGet(url, port));
    EXPECT_EQ(request.Socket(), 0u);
  }
  EXPECT_FALSE(HandsetRequest().Connect(nullptr, 80));
}

TEST(Connection, ReceiveAfterPeerCloseIsMinusOne) {
  FakeServer server({Raw("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc")});
  HandsetRequest request;
  ASSERT_TRUE(request.SendGet("http://127.0.0.1/r", server.port()));
  EXPECT_EQ(request.FirstBodyLength(), 3);
  char buffer[16];
  EXPECT_EQ(request.Receive(buffer, sizeof buffer), -1);
}

}  // namespace
}  // namespace vesk::transport
