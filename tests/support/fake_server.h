// A scriptable HTTP peer for tests: it listens on the loopback interface,
// records the exact bytes a client sends on each connection and answers with
// scripted raw bytes.
#ifndef VESK_TESTS_SUPPORT_FAKE_SERVER_H_
#define VESK_TESTS_SUPPORT_FAKE_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

// What the server does on one accepted connection.
struct Reply {
  // Each piece goes with one send() call (more only after a short write).
  std::vector<std::string> pieces;
  int pauseMs = 100;               // pause between pieces
  bool closeWithoutReply = false;  // read the request, close, send nothing
  bool acceptAndClose = false;     // close right after accept, reading nothing
  bool keepOpen = false;     // false: shut down the sending side after the end
  bool readNothing = false;  // read nothing until the server is destroyed
  // The last piece waits until the client has closed (or for the client
  // time-out): a client that stops at what came before it never receives it,
  // one that waits for more receives it after the wait, whatever the timing.
  bool lastAfterClientEnds = false;
  // Run on the connection's thread once the request head has arrived, before
  // the rest of the request is read (e.g. to change a file under an upload).
  std::function<void()> afterHead;
};

Reply Raw(std::string bytes);  // one piece
Reply Pieces(std::vector<std::string> pieces, int pauseMs = 100);

// "HTTP/1.1 <status> <reason>\r\n", each header as "Name: value\r\n" in the
// given order, "\r\n", then the body. No Content-Length is added.
std::string HttpReply(
    int status, const std::string& reason,
    const std::vector<std::pair<std::string, std::string>>& headers,
    const std::string& body);

// On each connection the server reads the request (the head up to the first
// blank line plus as many bytes as its Content-Length says), sends the
// scripted reply, and then keeps reading until the client closes, so the
// recorded bytes are everything the client sent on that connection. A
// connection whose client neither completes its request nor closes within
// 10 seconds is closed by the server.
class FakeServer {
 public:
  // Listens on an ephemeral port of 127.0.0.1. Connection i (in accept order)
  // gets script[i]; later ones are closed at once and recorded as empty. A
  // receiveBuffer above 0 (SO_RCVBUF) keeps a sending client close to what
  // was read.
  explicit FakeServer(std::vector<Reply> script, int receiveBuffer = 0);
  ~FakeServer();  // closes every connection and joins every thread
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  uint16_t port() const;

  // Waits until `count` connections have ended or timeoutMs passes; returns
  // the bytes received on every ended connection, in accept order (fewer
  // than `count`: the wait timed out).
  std::vector<std::string> Requests(size_t count, int timeoutMs = 5000);
  size_t Accepted() const;  // connections accepted so far

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A loopback port on which nothing listens.
uint16_t ClosedPort();

}  // namespace vesk::test

#endif  // VESK_TESTS_SUPPORT_FAKE_SERVER_H_
