#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace vesk::test {
namespace {

using Clock = std::chrono::steady_clock;

// Longest time a connection may wait for its client in any phase.
constexpr std::chrono::seconds kClientTimeout(10);

// A file descriptor closed with its owner.
struct Fd {
  int fd = -1;
  ~Fd() { Reset(); }
  void Reset(int to = -1) {
    if (fd >= 0) ::close(fd);
    fd = to;
  }
};

int Check(int result, const char* what) {
  if (result < 0) throw std::system_error(errno, std::generic_category(), what);
  return result;
}

// Binds the socket to an ephemeral port of 127.0.0.1; returns the port.
uint16_t BindLoopback(int fd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* raw = reinterpret_cast<sockaddr*>(&addr);
  Check(::bind(fd, raw, sizeof addr), "bind");
  Check(::getsockname(fd, raw, &len), "getsockname");
  return ntohs(addr.sin_port);
}

int MillisUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

// Content-Length of a request head (the lines before the blank line); 0 when
// the header is absent or not a number.
size_t ContentLength(std::string head) {
  for (char& c : head) c = static_cast<char>(std::tolower(c));
  const size_t at = ("\r\n" + head).find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  const size_t value = std::strtoul(head.c_str() + at + 15, nullptr, 10);
  return value > (size_t{1} << 30) ? 0 : value;  // absurd: treat as none
}

bool RequestComplete(const std::string& got) {
  const size_t blank = got.find("\r\n\r\n");
  return blank != std::string::npos &&
         got.size() - blank - 4 >= ContentLength(got.substr(0, blank + 2));
}

}  // namespace

struct FakeServer::Impl {
  Impl(std::vector<Reply> replies, int receiveBuffer)
      : script(std::move(replies)) {
    int fds[2];
    Check(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), "pipe2");
    stopRead.fd = fds[0];
    stopWrite.fd = fds[1];
    listener.fd =
        Check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    int on = 1;
    ::setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0) {
      ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                   sizeof receiveBuffer);
    }
    port = BindLoopback(listener.fd);
    Check(::listen(listener.fd, 64), "listen");
    acceptor = std::thread(&Impl::AcceptLoop, this);
  }

  ~Impl() {
    char b = 1;
    // Never read: every poll() that includes the pipe returns at once.
    while (::write(stopWrite.fd, &b, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();  // only the acceptor adds connections
    for (std::thread& t : connections) t.join();
  }

  // Waits until `fd` has one of `events` or the server is stopping.
  // Returns 1 when ready, 0 on time-out, -1 when stopping.
  int Wait(int fd, short events, int timeoutMs) {
    pollfd p[2] = {{stopRead.fd, POLLIN, 0}, {fd, events, 0}};
    int n = ::poll(p, fd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (p[0].revents != 0) return -1;
    return n > 0 ? 1 : 0;
  }

  void AcceptLoop() {
    for (int ready; (ready = Wait(listener.fd, POLLIN, -1)) >= 0;) {
      const int conn = ready == 0 ? -1
                                  : ::accept4(listener.fd, nullptr, nullptr,
                                              SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (conn < 0) continue;
      std::lock_guard<std::mutex> lock(mu);
      records.emplace_back();
      if (records.size() <= script.size()) {
        connections.emplace_back(&Impl::Serve, this, records.size() - 1, conn);
      } else {
        ::close(conn);
        EndLocked(records.size() - 1, "");
      }
    }
  }

  void EndLocked(size_t index, std::string bytes) {
    records[index] = {std::move(bytes), true};
    ++ended;
    changed.notify_all();
  }

  // Appends what is available to `got`; false when the client closed, the
  // connection failed, `deadline` passed or the server stops.
  bool ReceiveSome(int fd, std::string& got, Clock::time_point deadline) {
    for (;;) {
      int ready = Wait(fd, POLLIN, MillisUntil(deadline));
      if (ready < 0 || (ready == 0 && Clock::now() >= deadline)) return false;
      if (ready == 0) continue;
      char buf[16384];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        got.append(buf, size_t(n));
        return true;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
  }

  // Sends `piece` with one send() call, continuing only after a short write.
  bool SendPiece(int fd, const std::string& piece) {
    size_t done = 0;
    Clock::time_point deadline = Clock::now() + kClientTimeout;
    while (done < piece.size()) {
      ssize_t n =
          ::send(fd, piece.data() + done, piece.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += size_t(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (Wait(fd, POLLOUT, MillisUntil(deadline)) < 0 ||
                 Clock::now() >= deadline) {
        return false;
      }
    }
    return true;
  }

  void Serve(size_t index, int raw) {
    Fd fd{raw};
    const Reply& reply = script[index];
    std::string got;
    if (reply.readNothing) {
      // The client's sends fill the buffers and then wait; only the server's
      // end releases them.
      while (Wait(-1, 0, -1) >= 0) {
      }
    } else if (!reply.acceptAndClose) {
      Clock::time_point deadline = Clock::now() + kClientTimeout;
      bool open = true;
      bool headSeen = false;
      while (open && !RequestComplete(got)) {
        open = ReceiveSome(fd.fd, got, deadline);
        if (!headSeen && got.find("\r\n\r\n") != std::string::npos) {
          headSeen = true;
          if (reply.afterHead) reply.afterHead();
        }
      }
      for (size_t i = 0;
           open && !reply.closeWithoutReply && i < reply.pieces.size(); ++i) {
        if (i > 0 && reply.pauseMs > 0 && Wait(-1, 0, reply.pauseMs) < 0) {
          open = false;
          break;
        }
        if (reply.lastAfterClientEnds && i + 1 == reply.pieces.size()) {
          const Clock::time_point until = Clock::now() + kClientTimeout;
          while (open) open = ReceiveSome(fd.fd, got, until);
          // Sent only to a client that is still there after the wait.
          open = Clock::now() >= until;
          if (!open) break;
        }
        open = SendPiece(fd.fd, reply.pieces[i]);
      }
      if (open && (reply.closeWithoutReply || !reply.keepOpen)) {
        ::shutdown(fd.fd, SHUT_WR);
      }
      // Whatever the client still sends belongs to this connection too, and
      // reading it lets the close go out as an orderly end, not a reset.
      deadline = Clock::now() + kClientTimeout;
      while (open) open = ReceiveSome(fd.fd, got, deadline);
    }
    fd.Reset();
    std::lock_guard<std::mutex> lock(mu);
    EndLocked(index, std::move(got));
  }

  struct Record {
    std::string bytes;
    bool ended = false;
  };

  const std::vector<Reply> script;
  Fd stopRead, stopWrite, listener;
  uint16_t port = 0;

  mutable std::mutex mu;
  std::condition_variable changed;
  std::vector<Record> records;  // one per accepted connection
  size_t ended = 0;
  std::vector<std::thread> connections;

  std::thread acceptor;  // last: started once everything else exists
};

Reply Raw(std::string bytes) { return Pieces({std::move(bytes)}); }

Reply Pieces(std::vector<std::string> pieces, int pauseMs) {
  Reply r;
  r.pieces = std::move(pieces);
  r.pauseMs = pauseMs;
  return r;
}

std::string HttpReply(
    int status, const std::string& reason,
    const std::vector<std::pair<std::string, std::string>>& headers,
    const std::string& body) {
  std::string out =
      "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& h : headers) out += h.first + ": " + h.second + "\r\n";
  return out + "\r\n" + body;
}

FakeServer::FakeServer(std::vector<Reply> script, int receiveBuffer)
    : impl_(std::make_unique<Impl>(std::move(script), receiveBuffer)) {}

FakeServer::~FakeServer() = default;

uint16_t FakeServer::port() const { return impl_->port; }

std::vector<std::string> FakeServer::Requests(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return impl_->ended >= count; });
  std::vector<std::string> out;
  for (const Impl::Record& r : impl_->records) {
    if (r.ended) out.push_back(r.bytes);
  }
  return out;
}

size_t FakeServer::Accepted() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->records.size();
}

uint16_t ClosedPort() {
  Fd fd{Check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket")};
  return BindLoopback(fd.fd);
}

}  // namespace vesk::test
