// The save operation's upload over loopback to a sink of the benchmark's own
// (it reads and discards the body, then answers 200), in one run and
// interleaved (so that a noisy machine affects every side alike) against
// curl -F to the same sink and against the limit that 1024-byte pieces
// allow: a minimal loop of fread() of 1024 bytes and send() of them.
// Prints medians in MB/s (10^6 bytes of file content per second) and ratios,
// and reports them (bench/report.h).
//   upload_bench [megabytes (MiB, default 256)] [rounds (default 5)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback.h"
#include "bench/report.h"
#include "service/vesk80.h"
#include "tools/common/process.h"
#include "tools/common/text.h"

namespace {

using bench::Median;
using bench::Seconds;
using bench::SendAll;

[[noreturn]] void Die(const std::string& what) {
  bench::Die("upload_bench", what);
}

// A plain HTTP/1.1 sink on 127.0.0.1, one connection at a time: reads the
// head, answers "100 Continue" when asked, reads and discards as many body
// bytes as "Content-Length" says, answers an empty 200 and waits for the
// client to close. Remembers the body length of the last request.
class Sink : public bench::LoopbackPeer {
 public:
  Sink() { Start(); }
  ~Sink() { Stop(); }

  size_t LastBody() const { return lastBody_; }

 private:
  void Answer(int fd) override {
    lastBody_ = 0;
    std::string head;
    static char buffer[1 << 16];
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      head.append(buffer, static_cast<size_t>(got));
    }
    size_t body = head.size() - end - 4;
    head.resize(end + 4);
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return;
    const size_t expected = std::strtoull(head.c_str() + at + 17, nullptr, 10);
    if (lower.find("\r\nexpect: 100-continue") != std::string::npos) {
      const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
      if (!SendAll(fd, go.data(), go.size())) return;
    }
    while (body < expected) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      body += static_cast<size_t>(got);
    }
    lastBody_ = body;
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    if (!SendAll(fd, reply.data(), reply.size())) return;
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }

  std::atomic<size_t> lastBody_{0};
};

void LibraryUpload(const Sink& sink, size_t size) {
  const std::u16string url = vesk::tools::Utf8ToUtf16(
      "http://127.0.0.1:" + std::to_string(sink.port()) + "/save");
  HandsetSaveInput input{};
  input.count = 1;
  const char16_t path[] = u"\\upload.bin";
  const char16_t action[] = u"update";
  std::copy(std::begin(path), std::end(path), input.entries[0].path);
  std::copy(std::begin(action), std::end(action), input.entries[0].action);
  static char16_t output[1025];
  HandsetError error{};
  const int32_t status = vesk_HandsetSave(u"\\handset.env", &input, output,
                                          &error, url.c_str(), sink.port());
  if (status != 200 || sink.LastBody() < size) {
    Die("the library's upload failed: status " + std::to_string(status) + ", " +
        vesk::tools::Utf16ToUtf8(error.message));
  }
}

void CurlUpload(const Sink& sink, const std::string& hostPath, size_t size) {
  const int status = vesk::tools::RunToEnd(
      {"curl", "-s", "-o", "/dev/null", "-F", "file=@" + hostPath,
       "http://127.0.0.1:" + std::to_string(sink.port()) + "/save"});
  if (status != 0 || sink.LastBody() < size) {
    Die("curl failed");
  }
}

// The limit of 1024-byte pieces: a head, then fread() of 1024 bytes of the
// file and send() of them, nothing else; then the reply.
void MinimalLoop(const Sink& sink, const std::string& hostPath, size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(sink.port());
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0) {
    Die("the minimal loop cannot connect");
  }
  const std::string head =
      "POST /save HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: " +
      std::to_string(size) + "\r\n\r\n";
  std::FILE* in = std::fopen(hostPath.c_str(), "rb");
  if (in == nullptr || !SendAll(fd, head.data(), head.size())) {
    Die("the minimal loop cannot start");
  }
  char block[1024];
  size_t sent = 0;
  for (;;) {
    const size_t got = std::fread(block, 1, sizeof block, in);
    if (got == 0 || !SendAll(fd, block, got)) break;
    sent += got;
  }
  std::fclose(in);
  char reply[1024];
  const bool answered = ::recv(fd, reply, sizeof reply, 0) > 0;
  ::close(fd);
  if (sent != size || !answered) Die("the minimal loop lost bytes");
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (megabytes == 0 || rounds < 1) Die("usage: [megabytes [rounds]]");
  const size_t size = megabytes << 20;

  char pattern[] = "/tmp/vesk-upload-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Die("cannot make a temporary directory");
  const std::string root = pattern;
  ::setenv("VESK_DEVICE_ROOT", root.c_str(), 1);
  const std::string file = root + "/upload.bin";
  {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) Die("cannot write the file");
    std::vector<char> block(1 << 20);
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (size_t done = 0; done < size; done += block.size()) {
      for (size_t i = 0; i < block.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(&block[i], &state, 8);
      }
      const size_t n = std::min(block.size(), size - done);
      if (std::fwrite(block.data(), 1, n, out) != n) Die("cannot write");
    }
    std::fclose(out);
  }

  Sink sink;
  const double megabytesMoved = static_cast<double>(size) / 1e6;
  struct Side {
    const char* name;
    std::function<void()> run;
    std::vector<double> rates;
  };
  std::vector<Side> sides = {
      {"library (1024-byte pieces)", [&] { LibraryUpload(sink, size); }, {}},
      {"minimal fread(1024) + send loop",
       [&] { MinimalLoop(sink, file, size); },
       {}},
      {"curl -s -F file=@FILE", [&] { CurlUpload(sink, file, size); }, {}},
  };
  // Round 0 warms up (the file into the page cache) and is not counted; the
  // order rotates every round.
  for (int round = 0; round <= rounds; ++round) {
    for (size_t k = 0; k < sides.size(); ++k) {
      Side& side = sides[(k + round) % sides.size()];
      const double seconds = Seconds(side.run);
      if (round > 0) side.rates.push_back(megabytesMoved / seconds);
    }
  }
  std::filesystem::remove_all(root);

  std::printf("Upload of %zu MiB over loopback, median of %d rounds\n",
              megabytes, rounds);
  for (const Side& side : sides) {
    std::printf("  %-34s %8.1f MB/s\n", side.name, Median(side.rates));
  }
  const double library = Median(sides[0].rates);
  const double loop = Median(sides[1].rates);
  const double curl = Median(sides[2].rates);
  std::printf("  library / minimal loop             %8.2f  (goal >= 0.90)\n",
              library / loop);
  std::printf("  library / curl                     %8.2f\n", library / curl);
  std::printf("  minimal loop / curl                %8.2f\n", loop / curl);
  const std::string sized = std::to_string(megabytes) + " MiB";
  bench::Report({"upload", "upload", "fread(1024)+send loop", library, loop,
                 "MB/s", bench::Orientation::kThroughput, 0.9, sized});
  bench::Report({"upload", "upload", "curl -F", library, curl, "MB/s",
                 bench::Orientation::kThroughput, 0, sized});
  return 0;
}
