// The download over loopback from a responder of the benchmark's own, in one
// run and interleaved (so that a noisy machine affects every side alike)
// against curl from the same responder and against the limit that 1024-byte
// receives allow: a minimal loop of recv() of 1024 bytes and fwrite() to a
// file. Then the MD5 of the finished file, the library's against md5sum.
// Prints medians in MB/s (10^6 bytes per second) and the ratios.
//   download_bench [megabytes (MiB, default 256)] [rounds (default 5)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tomcrypt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "service/vesk80.h"
#include "transfer/transfer.h"

namespace {

using bench::Median;
using bench::Seconds;
using bench::SendAll;

[[noreturn]] void Die(const std::string& what) {
  bench::Die("download_bench", what);
}

std::string Md5Hex(const std::string& bytes) {
  hash_state state;
  md5_init(&state);
  md5_process(&state, reinterpret_cast<const unsigned char*>(bytes.data()),
              static_cast<unsigned long>(bytes.size()));
  unsigned char digest[16];
  md5_done(&state, digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// A plain HTTP/1.1 responder on 127.0.0.1, one connection at a time: a
// request for "/done" (the confirmation) gets an empty 200, every other one
// the whole file with its "X-Checksum". The connection ends after the reply.
class Responder : public bench::LoopbackPeer {
 public:
  explicit Responder(const std::string& file)
      : file_(file), checksum_(Md5Hex(file)) {
    Start();
  }
  ~Responder() { Stop(); }

 private:
  void Answer(int fd) override {
    std::string request;
    char buffer[4096];
    size_t end;
    while ((end = request.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
    const bool confirmation = request.compare(0, 10, "POST /done") == 0;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: ";
    if (confirmation) {
      head += "0\r\n\r\n";
    } else {
      head += std::to_string(file_.size()) + "\r\nX-Checksum: " + checksum_ +
              "\r\n\r\n";
    }
    if (!SendAll(fd, head.data(), head.size())) return;
    if (!confirmation) {
      constexpr size_t kChunk = 1 << 20;
      for (size_t at = 0; at < file_.size(); at += kChunk) {
        const size_t size = std::min(kChunk, file_.size() - at);
        if (!SendAll(fd, file_.data() + at, size)) return;
      }
    }
    // Wait for the client to close, so that the end goes out in order.
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }

  const std::string& file_;
  const std::string checksum_;
};

uintmax_t FileSize(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// The library's download into <root>/lib.bin.
void LibraryDownload(uint16_t port, const std::string& hostPath, size_t size) {
  const std::string digits = std::to_string(port);
  const std::u16string url =
      u"http://127.0.0.1:" + std::u16string(digits.begin(), digits.end());
  const std::u16string file = url + u"/file";
  const std::u16string done = url + u"/done";
  DownloadRecord record{};
  const char16_t key[] = u"bench";
  std::copy(std::begin(key), std::end(key), record.contentKey);
  DownloadResult result{};
  HandsetError error{};
  const int32_t status = vesk_HandsetDownload(
      u"\\handset.env", &record, &result, &error, u"\\lib.bin", file.c_str(),
      port, done.c_str(), port);
  if (status != 200 || error.code != 0 ||
      static_cast<size_t>(result.received) != size ||
      FileSize(hostPath) != size) {
    std::string message;
    for (const char16_t* m = error.message; *m != 0; ++m) {
      message += static_cast<char>(*m < 0x80 ? *m : '?');
    }
    Die("the library's download failed: status " + std::to_string(status) +
        ", code " + std::to_string(error.code) + ", " + message);
  }
}

void CurlDownload(uint16_t port, const std::string& hostPath, size_t size) {
  const std::string command = "curl -s -o '" + hostPath +
                              "' http://127.0.0.1:" + std::to_string(port) +
                              "/file";
  if (std::system(command.c_str()) != 0 || FileSize(hostPath) != size) {
    Die("curl failed");
  }
}

// The limit of 1024-byte receives: recv() of at most 1024 bytes and fwrite()
// of what came, nothing else.
void MinimalLoop(uint16_t port, const std::string& hostPath, size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0) {
    Die("the minimal loop cannot connect");
  }
  const std::string request = "GET /file HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::FILE* out = std::fopen(hostPath.c_str(), "wb");
  if (out == nullptr || !SendAll(fd, request.data(), request.size())) {
    Die("the minimal loop cannot start");
  }
  char block[1024];
  std::string head;
  size_t written = 0;
  for (;;) {
    const ssize_t got = ::recv(fd, block, sizeof block, 0);
    if (got <= 0) break;
    size_t skip = 0;
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
      // Still in the head: its bytes are not part of the file.
      const size_t before = head.size();
      head.append(block, static_cast<size_t>(got));
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      skip = end + 4 - before;
      head.resize(end + 4);
    }
    written +=
        std::fwrite(block + skip, 1, static_cast<size_t>(got) - skip, out);
    if (written == size) break;
  }
  std::fclose(out);
  ::close(fd);
  if (written != size) Die("the minimal loop lost bytes");
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (megabytes == 0 || rounds < 1) Die("usage: [megabytes [rounds]]");
  const size_t size = megabytes << 20;

  std::string file(size, '\0');
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < size; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(&file[i], &state, std::min<size_t>(8, size - i));
  }

  char pattern[] = "/tmp/vesk-download-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Die("cannot make a temporary directory");
  const std::string root = pattern;
  ::setenv("VESK_DEVICE_ROOT", root.c_str(), 1);
  const std::string libraryFile = root + "/lib.bin";
  const std::string curlFile = root + "/curl.bin";
  const std::string loopFile = root + "/loop.bin";

  Responder responder(file);
  const uint16_t port = responder.port();
  const std::string expected = Md5Hex(file);
  const double megabytesMoved = static_cast<double>(size) / 1e6;

  struct Side {
    const char* name;
    std::function<void()> run;
    std::string output;
    std::vector<double> rates;
  };
  std::vector<Side> downloads = {
      {"library (1024-byte receives)",
       [&] { LibraryDownload(port, libraryFile, size); },
       libraryFile,
       {}},
      {"minimal recv(1024) + fwrite loop",
       [&] { MinimalLoop(port, loopFile, size); },
       loopFile,
       {}},
      {"curl -s -o", [&] { CurlDownload(port, curlFile, size); }, curlFile, {}},
  };
  std::vector<double> libraryMd5, md5sum, libraryReceive;
  bool checksumOk = true;

  // Round 0 warms up and is not counted; the order rotates every round.
  for (int round = 0; round <= rounds; ++round) {
    double librarySeconds = 0;
    for (size_t k = 0; k < downloads.size(); ++k) {
      Side& side = downloads[(k + round) % downloads.size()];
      const double seconds = Seconds(side.run);
      if (round > 0) side.rates.push_back(megabytesMoved / seconds);
      if (&side == &downloads[0]) {
        librarySeconds = seconds;
      } else {
        std::remove(side.output.c_str());
      }
    }
    std::u16string digest;
    const std::u16string path = u"\\lib.bin";
    auto library = [&] { digest = vesk::transfer::FileChecksum(path.c_str()); };
    const std::string command = "md5sum '" + libraryFile + "' >/dev/null";
    auto tool = [&] {
      if (std::system(command.c_str()) != 0) Die("md5sum failed");
    };
    const double first = Seconds(round % 2 == 0 ? std::function<void()>(library)
                                                : std::function<void()>(tool));
    const double second =
        Seconds(round % 2 == 0 ? std::function<void()>(tool)
                               : std::function<void()>(library));
    checksumOk =
        checksumOk && std::string(digest.begin(), digest.end()) == expected;
    if (round > 0) {
      const double digestSeconds = round % 2 == 0 ? first : second;
      libraryMd5.push_back(digestSeconds);
      md5sum.push_back(round % 2 == 0 ? second : first);
      // The download checks the finished file's MD5 itself; without that
      // share it is the receive path alone.
      libraryReceive.push_back(megabytesMoved /
                               (librarySeconds - digestSeconds));
    }
    std::remove(libraryFile.c_str());
  }
  std::filesystem::remove_all(root);

  std::printf("Download of %zu MiB over loopback, median of %d rounds\n",
              megabytes, rounds);
  for (const Side& side : downloads) {
    std::printf("  %-34s %8.1f MB/s\n", side.name, Median(side.rates));
  }
  const double library = Median(downloads[0].rates);
  const double loop = Median(downloads[1].rates);
  const double curl = Median(downloads[2].rates);
  std::printf("  library / minimal loop             %8.2f  (goal >= 0.90)\n",
              library / loop);
  std::printf("  %-34s %8.1f MB/s (download less its MD5 check)\n",
              "library receive path", Median(libraryReceive));
  std::printf("  library / curl                     %8.2f\n", library / curl);
  std::printf("  minimal loop / curl                %8.2f\n", loop / curl);
  const double libraryTime = Median(libraryMd5);
  const double toolTime = Median(md5sum);
  std::printf("MD5 of the finished file%s\n",
              checksumOk ? "" : " (WRONG DIGEST)");
  std::printf("  %-34s %8.1f MB/s\n", "library FileChecksum",
              megabytesMoved / libraryTime);
  std::printf("  %-34s %8.1f MB/s\n", "md5sum", megabytesMoved / toolTime);
  std::printf("  library time / md5sum time         %8.2f  (goal <= 1.20)\n",
              libraryTime / toolTime);
  return checksumOk ? 0 : 1;
}
