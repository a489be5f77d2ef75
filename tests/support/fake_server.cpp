#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vesk::test {
namespace {

using Clock = std::chrono::steady_clock;

// Longest time a connection may wait for its client in any phase.
constexpr std::chrono::seconds kClientTimeout(10);

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

uint16_t LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ThrowErrno("getsockname");
  }
  return ntohs(addr.sin_port);
}

int MillisUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - Clock::now())
                  .count();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Content-Length of a request head (the lines before the blank line); 0 when
// the header is absent or not a number.
size_t ContentLength(const std::string& head) {
  static const char kName[] = "content-length:";
  const size_t nameLen = sizeof kName - 1;
  size_t line = 0;
  while (line < head.size()) {
    size_t end = head.find("\r\n", line);
    if (end == std::string::npos) end = head.size();
    if (end - line >= nameLen) {
      bool match = true;
      for (size_t i = 0; i < nameLen && match; ++i) {
        match = Lower(head[line + i]) == kName[i];
      }
      if (match) {
        size_t p = line + nameLen;
        while (p < end && (head[p] == ' ' || head[p] == '\t')) ++p;
        size_t value = 0;
        for (; p < end && head[p] >= '0' && head[p] <= '9'; ++p) {
          if (value > (size_t{1} << 30)) return 0;  // absurd: treat as none
          value = value * 10 + size_t(head[p] - '0');
        }
        return value;
      }
    }
    line = end + 2;
  }
  return 0;
}

bool RequestComplete(const std::string& got) {
  size_t blank = got.find("\r\n\r\n");
  if (blank == std::string::npos) return false;
  size_t headEnd = blank + 4;
  return got.size() - headEnd >= ContentLength(got.substr(0, blank + 2));
}

}  // namespace

struct FakeServer::Impl {
  Impl(std::vector<Reply> replies, int receiveBuffer)
      : script(std::move(replies)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
    stopRead.Reset(fds[0]);
    stopWrite.Reset(fds[1]);

    listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) ThrowErrno("socket");
    int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0) {
      ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                   sizeof receiveBuffer);
    }
    sockaddr_in addr = Loopback(0);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr),
               sizeof addr) != 0) {
      ThrowErrno("bind");
    }
    if (::listen(listener.get(), 64) != 0) ThrowErrno("listen");
    port = LocalPort(listener.get());
    acceptor = std::thread(&Impl::AcceptLoop, this);
  }

  ~Impl() {
    char b = 1;
    // The byte is never read, so the pipe stays readable and every poll()
    // that includes it returns at once from now on.
    while (::write(stopWrite.get(), &b, 1) < 0 && errno == EINTR) {
    }
    if (acceptor.joinable()) acceptor.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(mu);
      workers.swap(connections);
    }
    for (std::thread& t : workers) t.join();
  }

  // Waits until `fd` has one of `events` or the server is stopping.
  // Returns 1 when ready, 0 on time-out, -1 when stopping.
  int Wait(int fd, short events, int timeoutMs) {
    pollfd p[2] = {{stopRead.get(), POLLIN, 0}, {fd, events, 0}};
    int n = ::poll(p, fd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (p[0].revents != 0) return -1;
    return n > 0 ? 1 : 0;
  }

  void AcceptLoop() {
    for (;;) {
      int ready = Wait(listener.get(), POLLIN, -1);
      if (ready < 0) return;
      if (ready == 0) continue;
      Fd conn(::accept4(listener.get(), nullptr, nullptr,
                        SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (conn.get() < 0) continue;
      std::lock_guard<std::mutex> lock(mu);
      size_t index = records.size();
      records.emplace_back();
      if (index < script.size()) {
        connections.emplace_back(&Impl::Serve, this, index, conn.Release());
      } else {
        conn.Reset();
        records[index].ended = true;
        ++ended;
        changed.notify_all();
      }
    }
  }

  // Receives what is available into `got`. Returns false when the client
  // closed, the connection failed, or `deadline` passed or the server stops
  // while waiting.
  bool ReceiveSome(int fd, std::string& got, Clock::time_point deadline) {
    for (;;) {
      int ready = Wait(fd, POLLIN, MillisUntil(deadline));
      if (ready < 0) return false;
      if (ready == 0) {
        if (Clock::now() >= deadline) return false;
        continue;
      }
      char buf[16384];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        got.append(buf, size_t(n));
        return true;
      }
      if (n == 0) return false;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
      }
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
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
      }
      if (Wait(fd, POLLOUT, MillisUntil(deadline)) < 0) return false;
      if (Clock::now() >= deadline) return false;
    }
    return true;
  }

  void Serve(size_t index, int raw) {
    Fd fd(raw);
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
        open = ReceiveSome(fd.get(), got, deadline);
        if (!headSeen && got.find("\r\n\r\n") != std::string::npos) {
          headSeen = true;
          if (reply.afterHead) reply.afterHead();
        }
      }
      if (open && !reply.closeWithoutReply) {
        for (size_t i = 0; open && i < reply.pieces.size(); ++i) {
          if (i > 0 && reply.pauseMs > 0 && Wait(-1, 0, reply.pauseMs) < 0) {
            open = false;
            break;
          }
          if (reply.lastAfterClientEnds && i + 1 == reply.pieces.size()) {
            const Clock::time_point until = Clock::now() + kClientTimeout;
            while (open) open = ReceiveSome(fd.get(), got, until);
            // Sent only to a client that is still there after the wait.
            open = Clock::now() >= until;
            if (!open) break;
          }
          open = SendPiece(fd.get(), reply.pieces[i]);
        }
      }
      if (open && (reply.closeWithoutReply || !reply.keepOpen)) {
        ::shutdown(fd.get(), SHUT_WR);
      }
      // Whatever the client still sends belongs to this connection too, and
      // reading it lets the close go out as an orderly end, not a reset.
      deadline = Clock::now() + kClientTimeout;
      while (open) open = ReceiveSome(fd.get(), got, deadline);
    }
    fd.Reset();
    std::lock_guard<std::mutex> lock(mu);
    records[index].bytes = std::move(got);
    records[index].ended = true;
    ++ended;
    changed.notify_all();
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

Reply Raw(std::string bytes) {
  Reply r;
  r.pieces.push_back(std::move(bytes));
  return r;
}

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
  out += "\r\n";
  out += body;
  return out;
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
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) ThrowErrno("socket");
  sockaddr_in addr = Loopback(0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ThrowErrno("bind");
  }
  return LocalPort(fd.get());
}

}  // namespace vesk::test
