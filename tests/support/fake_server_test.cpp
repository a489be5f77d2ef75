#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tests/support/device_root.h"

namespace vesk::test {
namespace {

// A blocking loopback client socket with a receive time-out.
struct Client {
  explicit Client(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    error = rc == 0 ? 0 : errno;
  }
  ~Client() { ::close(fd); }
  void Send(const std::string& s) {
    ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
  }
  // One recv(); "" at end of stream, "<error>" on failure.
  std::string RecvOnce() {
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, size_t(n));
  }
  std::string RecvToEnd() {
    std::string all, got;
    while (!(got = RecvOnce()).empty() && got != "<error>") all += got;
    return all + got;  // ends in "<error>" when the stream failed
  }
  int fd, error;
};

TEST(FakeServer, RecordsEveryByteTheClientSends) {
  const std::string reply =
      HttpReply(200, "OK", {{"Content-Length", "2"}}, "hi");
  EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
  FakeServer server({Raw(reply)});
  const std::string head = "POST /f HTTP/1.1\r\ncontent-LENGTH: 5\r\n\r\n";
  {
    Client c(server.port());
    ASSERT_EQ(c.error, 0);
    c.Send(head + "he");  // the body arrives in two parts
    pollfd p{c.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0);  // no reply before the whole body
    c.Send("llo");
    EXPECT_EQ(c.RecvToEnd(), reply);  // reply, then end of stream
    c.Send("\r\n");                   // bytes after the counted body
  }
  EXPECT_EQ(server.Requests(1), std::vector<std::string>{head + "hello\r\n"});
}

TEST(FakeServer, SendsEachPieceSeparatelyAndKeepsOpenOnRequest) {
  Reply open = Raw("X");
  open.keepOpen = true;
  FakeServer server({Pieces({"AB", "CD", "EF"}, 200), open});
  Client c(server.port());
  c.Send("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.RecvOnce(), "AB");
  EXPECT_EQ(c.RecvToEnd(), "CDEF");

  Client k(server.port());
  k.Send("GET /k HTTP/1.1\r\n\r\n");
  EXPECT_EQ(k.RecvOnce(), "X");
  pollfd p{k.fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 300), 0);  // no end of stream while kept open
}

TEST(FakeServer, ClosingScriptsAndConnectionsBeyondTheScript) {
  Reply noReply, noRead;
  noReply.closeWithoutReply = true;
  noRead.acceptAndClose = true;
  FakeServer server({noReply, noRead});
  const std::string req = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  for (int i = 0; i < 3; ++i) {
    Client c(server.port());
    ASSERT_EQ(c.error, 0);
    c.Send(req);
    std::string got = c.RecvToEnd();
    EXPECT_TRUE(got.empty() || got == "<error>") << i << ": " << got;
  }
  EXPECT_EQ(server.Requests(3), (std::vector<std::string>{req, "", ""}));
  EXPECT_EQ(server.Accepted(), 3u);
}

TEST(FakeServer, ClosedPortRefusesAndStopDoesNotWaitForClients) {
  Client refused(ClosedPort());
  EXPECT_EQ(refused.error, ECONNREFUSED);
  auto server = std::make_unique<FakeServer>(std::vector<Reply>{Raw("x")});
  Client idle(server->port());  // never sends, never closes
  ASSERT_EQ(idle.error, 0);
  EXPECT_TRUE(server->Requests(1, 200).empty());
  server.reset();  // returns although the client is still connected
  EXPECT_EQ(idle.RecvToEnd(), "");
}

TEST(DeviceRoot, CreatesAndRemovesTheRootAndRestoresTheVariable) {
  ::setenv("VESK_DEVICE_ROOT", "/previous", 1);
  std::string root;
  {
    DeviceRoot dr;
    root = dr.path();
    EXPECT_STREQ(std::getenv("VESK_DEVICE_ROOT"), root.c_str());
    EXPECT_TRUE(HostFileExists(root + "/Storage Card") &&
                HostFileExists(root + "/PocketDisk1"));
    const std::string file = dr.Host("\\PocketDisk1\\sub\\a.env");
    EXPECT_EQ(file, root + "/PocketDisk1/sub/a.env");
    WriteHostFile(file, std::string("a\0b", 3));
    EXPECT_EQ(ReadHostFile(file), std::string("a\0b", 3));
    ::chmod(file.c_str(), 0444);
    ::chmod((root + "/PocketDisk1/sub").c_str(), 0555);
    EXPECT_EQ(ReadHostFile(dr.Host("/none")), "");
  }
  EXPECT_FALSE(HostFileExists(root));
  EXPECT_STREQ(std::getenv("VESK_DEVICE_ROOT"), "/previous");
  ::unsetenv("VESK_DEVICE_ROOT");
  EXPECT_EQ(U16("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
            u"a\u00E9\u4E2D\U0001F600");
}

}  // namespace
}  // namespace vesk::test
