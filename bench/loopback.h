// What the transfer benchmarks share: medians, timing, and a plain HTTP/1.1
// peer on 127.0.0.1 that serves one connection at a time on its own thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The reference service: VESK_SERVICE, or the one built beside the benchmarks
// (tools/service/vesk-service of the same build directory).
inline std::string ServiceBinary() {
  if (const char* set = std::getenv("VESK_SERVICE")) return set;
  std::error_code error;
  const std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "tools" / "service" /
          "vesk-service")
      .string();
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

inline double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

[[noreturn]] inline void Die(const char* program, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program, what.c_str());
  std::exit(1);
}

inline bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Listens on an ephemeral loopback port; Start() begins serving, and every
// accepted connection goes to Answer(), then is closed. The destructor of the
// derived class must call Stop() before its own members go.
class LoopbackPeer {
 public:
  LoopbackPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address),
                      &length) != 0) {
      Die("bench", "cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
  }
  virtual ~LoopbackPeer() {
    Stop();
    ::close(listener_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return port_; }

 protected:
  virtual void Answer(int fd) = 0;
  void Start() {
    thread_ = std::thread([this] {
      while (!stopping_) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Answer(fd);
        ::close(fd);
      }
    });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace bench
