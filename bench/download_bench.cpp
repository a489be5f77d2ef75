// The download over loopback, in one run and interleaved (so that a noisy
// machine affects every side alike), from two servers: the reference service
// (vesk-service, with its certificate check and store on every request) and a
// plain responder of the benchmark's own that only streams the bytes. A
// download must at least receive every byte and hash every byte (MD5), so
// from each server the library's vesk_HandsetDownload is held against the
// slower of two bounds measured in the same rounds: a minimal loop of recv()
// of 1024 bytes and fwrite() to a file, and md5sum over a finished file of
// the same size. The loop alone, md5sum alone and curl -o are reported
// beside it. All files go onto tmpfs (VESK_BENCH_DIR names another
// directory). Then the MD5 of the finished file, the library's against
// md5sum, and the peak memory of a download from the service in a child
// process. Prints medians in MB/s (10^6 bytes per second) and the ratios,
// and reports them (bench/report.h).
//   download_bench [megabytes (MiB, default 256)] [rounds (default 5)]
// The service binary is $VESK_SERVICE, or vesk-service in the build tree
// beside this program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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
#include "bench/report.h"
#include "service/service.h"
#include "service/vesk80.h"
#include "tools/common/process.h"
#include "tools/common/text.h"
#include "transfer/transfer.h"

// Last: LibTomCrypt defines "byte" as a macro, a name that nlohmann-json
// (bench/report.h) uses.
#include <tomcrypt.h>

namespace {

namespace fs = std::filesystem;
using bench::Median;
using bench::Seconds;
using bench::SendAll;
using bench::ServiceBinary;
using vesk::tools::Utf8ToUtf16;

[[noreturn]] void Die(const std::string& what) {
  bench::Die("download_bench", what);
}

const char16_t kEnvironment[] = u"\\handset.env";
const char kContentKey[] = "bench";

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

// ---------------------------------------------------------------------------
// The reference service

// Runs the service binary with the arguments; its standard output.
std::string RunService(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {ServiceBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string out;
  if (vesk::tools::RunToEnd(argv, &out) != 0) {
    std::string line;
    for (const std::string& word : argv) line += word + " ";
    Die(line + "failed: " + out);
  }
  return out;
}

// `vesk-service serve --port 0 --data DIR` as a child process, stopped with
// the object (and killed with the benchmark when it dies on a failure). The
// service's log goes to DIR.log, beside the store.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::string& dataDir) {
    const std::string binary = ServiceBinary();
    std::string error, line;
    if (!child_.Start({binary, "serve", "--port", "0", "--data", dataDir},
                      vesk::tools::ChildOptions{dataDir + ".log"}, &error)) {
      Die(error);
    }
    // The first line is "listening on 127.0.0.1:PORT".
    const bool listening =
        child_.ReadLine(&line, 20000) && line.rfind("listening on ", 0) == 0;
    const size_t colon = line.rfind(':');
    if (!listening || colon == std::string::npos) {
      Die("the service did not start (" + binary + "): " + line);
    }
    port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
  }
  ~ServiceProcess() {
    // SIGTERM, and the end awaited on a descriptor of the process, so that
    // Stop finds it ended and collects it at once.
    const int process =
        static_cast<int>(::syscall(SYS_pidfd_open, child_.pid(), 0));
    ::kill(child_.pid(), SIGTERM);
    if (process >= 0) {
      pollfd ended{process, POLLIN, 0};
      ::poll(&ended, 1, 10000);
      ::close(process);
    }
    child_.Stop(10000);
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  uint16_t port() const { return port_; }

 private:
  vesk::tools::Child child_;
  uint16_t port_ = 0;
};

// Registers a handset for a new account in mode 4; its identity lands in the
// environment file under the device root.
void Activate(uint16_t port) {
  HandsetActivateInput input{};
  input.mode = 4;
  auto put = [](auto& field, const std::u16string& text) {
    std::copy(text.begin(), text.end(), field);
    field[text.size()] = 0;
  };
  put(input.userAgent, u"vesk-bench/1.0");
  put(input.userSerial, u"SN-BENCH");
  put(input.username, u"bench");
  put(input.password, u"secret");
  put(input.name, u"Bench");
  put(input.province, u"Jiangsu");
  put(input.bom, u"1");
  put(input.environmentPath, kEnvironment);
  HandsetActivateResult result{};
  HandsetError error{};
  const std::u16string url =
      u"http://127.0.0.1:" + Utf8ToUtf16(std::to_string(port)) + u"/activate";
  const int32_t status =
      vesk_handsetActivate(&input, &result, &error, url.c_str(), port);
  if (status != 200 || result.userId <= 0) {
    Die("activation failed: status " + std::to_string(status) + ", code " +
        std::to_string(error.code));
  }
}

// The credential headers a transfer sends, with a fresh certificate.
std::string CredentialHeaders() {
  namespace service = vesk::service;
  service::LoadIdentity(kEnvironment);
  const std::string certificate = service::MakeUserCertificate().c_str();
  if (certificate.empty()) Die("no key to make a certificate with");
  return std::string("User-Serial: ") + service::Env().UserSerial().c_str() +
         "\r\nUser-ID: " + std::to_string(service::Env().UserId()) +
         "\r\nUser-Cert: " + certificate + "\r\n";
}

// ---------------------------------------------------------------------------
// The three clients

uintmax_t FileSize(const std::string& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

// Where a download comes from: the file's and the confirmation's URL paths.
struct Source {
  uint16_t port;
  std::string file;  // "/file", "/download"
  std::string done;  // "/done", "/download/confirm"
  bool service;      // credentials and the "key" form are wanted
};

// The library's download into the device root's localPath (a handset path).
bool LibraryDownload(const Source& source, const std::u16string& localPath,
                     const std::string& hostPath, size_t size,
                     bool die = true) {
  const std::u16string url =
      u"http://127.0.0.1:" + Utf8ToUtf16(std::to_string(source.port));
  const std::u16string file = url + Utf8ToUtf16(source.file);
  const std::u16string done = url + Utf8ToUtf16(source.done);
  DownloadRecord record{};
  const std::u16string key = Utf8ToUtf16(kContentKey);
  std::copy(key.begin(), key.end(), record.contentKey);
  DownloadResult result{};
  HandsetError error{};
  const int32_t status = vesk_HandsetDownload(
      kEnvironment, &record, &result, &error, localPath.c_str(), file.c_str(),
      source.port, done.c_str(), source.port);
  if (status != 200 || error.code != 0 ||
      static_cast<size_t>(result.received) != size ||
      FileSize(hostPath) != size) {
    if (!die) return false;
    Die("the library's download failed: status " + std::to_string(status) +
        ", code " + std::to_string(error.code) + ", " +
        vesk::tools::Utf16ToUtf8(error.message));
  }
  return true;
}

void CurlDownload(const Source& source, const std::string& hostPath,
                  size_t size) {
  std::vector<std::string> argv = {"curl", "-s", "-f", "-o", hostPath};
  if (source.service) {
    // The same headers and form the library sends, one argument each.
    const std::string headers = CredentialHeaders();
    size_t from = 0, end;
    while ((end = headers.find("\r\n", from)) != std::string::npos) {
      argv.insert(argv.end(), {"-H", headers.substr(from, end - from)});
      from = end + 2;
    }
    argv.insert(argv.end(), {"-d", "key=" + std::string(kContentKey)});
  }
  argv.push_back("http://127.0.0.1:" + std::to_string(source.port) +
                 source.file);
  if (vesk::tools::RunToEnd(argv) != 0 || FileSize(hostPath) != size) {
    Die("curl failed");
  }
}

// The limit of 1024-byte receives: the request, then recv() of at most 1024
// bytes and fwrite() of what came, nothing else.
void MinimalLoop(const Source& source, const std::string& hostPath,
                 size_t size) {
  std::string request;
  if (source.service) {
    const std::string form = "key=" + std::string(kContentKey);
    request = "POST " + source.file + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
              CredentialHeaders() +
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: " +
              std::to_string(form.size()) + "\r\n\r\n" + form;
  } else {
    request = "GET " + source.file + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(source.port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0) {
    Die("the minimal loop cannot connect");
  }
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

// User and system time of this process so far, every thread: the client
// and, for the library, its checksum worker (and, for the plain peer, the
// responder thread; the service and curl are other processes).
double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::string MakeFile(size_t size) {
  std::string file(size, '\0');
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < size; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(&file[i], &state, std::min<size_t>(8, size - i));
  }
  return file;
}

// --memory-child PORT MEGABYTES: one download from the service, in a process
// of its own; prints the growth of its peak resident set.
int MemoryChild(char** argv) {
  const Source source{static_cast<uint16_t>(std::atoi(argv[2])), "/download",
                      "/download/confirm", true};
  const size_t size = std::strtoull(argv[3], nullptr, 10) << 20;
  const std::string hostPath =
      std::string(std::getenv("VESK_DEVICE_ROOT")) + "/memory.bin";
  return bench::MemoryChild([&] {
    const bool ok = LibraryDownload(source, u"\\memory.bin", hostPath, size,
                                    /*die=*/false);
    std::remove(hostPath.c_str());
    return ok;
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0) {
    return MemoryChild(argv);
  }
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (megabytes == 0 || rounds < 1) Die("usage: [megabytes [rounds]]");
  const size_t size = megabytes << 20;
  const std::string file = MakeFile(size);

  // The files go onto tmpfs (/dev/shm), as the extraction's do: on a disk
  // the page cache's write-back throttles every writer and decides the
  // figures instead of the client. VESK_BENCH_DIR names another directory.
  const char* dir = std::getenv("VESK_BENCH_DIR");
  std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir
                                    : fs::is_directory("/dev/shm") ? "/dev/shm"
                                                                   : "/tmp") +
                        "/vesk-download-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    Die("cannot make a temporary directory");
  }
  const std::string scratch = pattern;
  // Removed also when the benchmark dies on a failure.
  static std::string removeAtExit;
  removeAtExit = scratch;
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(removeAtExit, ignored);
  });
  const std::string root = scratch + "/device";
  const std::string data = scratch + "/service";
  fs::create_directories(root);
  fs::create_directories(data);
  ::setenv("VESK_DEVICE_ROOT", root.c_str(), 1);
  const std::string libraryFile = root + "/lib.bin";
  const std::string curlFile = root + "/curl.bin";
  const std::string loopFile = root + "/loop.bin";

  // The service's store gets the same bytes as its content.
  {
    const std::string content = scratch + "/content.bin";
    std::FILE* out = std::fopen(content.c_str(), "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, size, out) != size) {
      Die("cannot write the content file");
    }
    std::fclose(out);
    RunService({"--data", data, "add-content", "--key", kContentKey, "--file",
                content});
    std::remove(content.c_str());
  }
  ServiceProcess service(data);
  Activate(service.port());

  Responder responder(file);
  const Source peer{responder.port(), "/file", "/done", false};
  const Source store{service.port(), "/download", "/download/confirm", true};
  const std::string expected = Md5Hex(file);
  const double megabytesMoved = static_cast<double>(size) / 1e6;

  struct Side {
    const char* name;
    std::function<void()> run;
    std::string output;
    std::vector<double> rates;
    std::vector<double> cpu = {};  // seconds of this process per MB
  };
  std::vector<Side> downloads = {
      {"library, plain peer",
       [&] { LibraryDownload(peer, u"\\lib.bin", libraryFile, size); },
       libraryFile,
       {}},
      {"recv(1024) loop, plain peer",
       [&] { MinimalLoop(peer, loopFile, size); },
       loopFile,
       {}},
      {"curl -o, plain peer",
       [&] { CurlDownload(peer, curlFile, size); },
       curlFile,
       {}},
      {"library, service",
       [&] { LibraryDownload(store, u"\\lib.bin", libraryFile, size); },
       libraryFile,
       {}},
      {"recv(1024) loop, service",
       [&] { MinimalLoop(store, loopFile, size); },
       loopFile,
       {}},
      {"curl -o, service",
       [&] { CurlDownload(store, curlFile, size); },
       curlFile,
       {}},
  };
  // Seconds of each side's MD5 of the finished file, and md5sum's rate over
  // it: the same bytes as every download of the round.
  std::vector<double> libraryMd5, md5sum, md5sumRates;
  bool checksumOk = true;

  // Round 0 warms up and is not counted; the order rotates every round.
  for (int round = 0; round <= rounds; ++round) {
    for (size_t k = 0; k < downloads.size(); ++k) {
      Side& side = downloads[(k + round) % downloads.size()];
      const double cpuBefore = ProcessCpuSeconds();
      const double seconds = Seconds(side.run);
      if (round > 0) {
        side.rates.push_back(megabytesMoved / seconds);
        side.cpu.push_back((ProcessCpuSeconds() - cpuBefore) / megabytesMoved);
      }
      // The loops' file stays for the MD5 below; both write the same bytes.
      if (side.output != loopFile) std::remove(side.output.c_str());
    }
    // The MD5 of a finished file, the library's and md5sum's, alternating
    // who goes first.
    std::u16string digest;
    const std::u16string path = u"\\loop.bin";
    const std::function<void()> library = [&] {
      digest = vesk::transfer::FileChecksum(path.c_str());
    };
    const std::function<void()> tool = [&] {
      if (vesk::tools::RunToEnd({"md5sum", loopFile}) != 0) {
        Die("md5sum failed");
      }
    };
    const double first = Seconds(round % 2 == 0 ? library : tool);
    const double second = Seconds(round % 2 == 0 ? tool : library);
    checksumOk =
        checksumOk && std::string(digest.begin(), digest.end()) == expected;
    if (round > 0) {
      libraryMd5.push_back(round % 2 == 0 ? first : second);
      md5sum.push_back(round % 2 == 0 ? second : first);
      md5sumRates.push_back(megabytesMoved / md5sum.back());
    }
    std::remove(loopFile.c_str());
  }
  const long long growth = bench::MeasureInChild(
      {std::to_string(service.port()), std::to_string(megabytes)});

  const double rate[6] = {
      Median(downloads[0].rates), Median(downloads[1].rates),
      Median(downloads[2].rates), Median(downloads[3].rates),
      Median(downloads[4].rates), Median(downloads[5].rates)};
  // What a download must do at least is receive every byte and hash every
  // byte: the slower of the receive loop and md5sum bounds it.
  const double md5sumRate = Median(md5sumRates);
  const double serviceBound = std::min(rate[4], md5sumRate);
  const double peerBound = std::min(rate[1], md5sumRate);
  const auto boundedBy = [&](double loopRate) {
    return md5sumRate < loopRate ? "md5sum" : "the loop";
  };

  std::printf("Download of %zu MiB over loopback, median of %d rounds\n",
              megabytes, rounds);
  for (const Side& side : downloads) {
    std::printf("  %-34s %8.1f MB/s\n", side.name, Median(side.rates));
  }
  std::printf("  %-34s %8.1f MB/s\n", "md5sum of a finished file", md5sumRate);
  const double libraryCpu = Median(downloads[3].cpu) * 1e3;
  const double loopCpu = Median(downloads[4].cpu) * 1e3;
  std::printf(
      "  client CPU from the service: library %.2f ms/MB, loop %.2f "
      "ms/MB (%.2fx)\n",
      libraryCpu, loopCpu, libraryCpu / loopCpu);
  const auto ratioLine = [](const char* what, double ratio,
                            const char* goal = "") {
    std::printf("  %-36s %6.2f%s\n", what, ratio, goal);
  };
  const std::string serviceGoal =
      std::string("  (goal >= 0.90; bound: ") + boundedBy(rate[4]) + ")";
  const std::string peerGoal =
      std::string("  (goal >= 0.90; bound: ") + boundedBy(rate[1]) + ")";
  ratioLine("library / min(loop, md5sum), service", rate[3] / serviceBound,
            serviceGoal.c_str());
  ratioLine("library / loop, service", rate[3] / rate[4]);
  ratioLine("library / md5sum, service", rate[3] / md5sumRate);
  ratioLine("library / curl, service", rate[3] / rate[5]);
  ratioLine("library / min(loop, md5sum), peer", rate[0] / peerBound,
            peerGoal.c_str());
  ratioLine("library / loop, plain peer", rate[0] / rate[1]);
  ratioLine("library / md5sum, plain peer", rate[0] / md5sumRate);
  ratioLine("library / curl, plain peer", rate[0] / rate[2]);
  const double libraryTime = Median(libraryMd5);
  const double toolTime = Median(md5sum);
  std::printf("MD5 of the finished file%s\n",
              checksumOk ? "" : " (WRONG DIGEST)");
  std::printf("  %-34s %8.1f MB/s\n", "library FileChecksum",
              megabytesMoved / libraryTime);
  std::printf("  %-34s %8.1f MB/s\n", "md5sum", megabytesMoved / toolTime);
  std::printf("  library time / md5sum time         %8.2f  (goal <= 1.20)\n",
              libraryTime / toolTime);
  std::printf(
      "Peak memory of a download from the service: %+.1f MB for %.1f MB "
      "(%.4f of the size)\n",
      growth / 1e6, megabytesMoved, growth / (megabytesMoved * 1e6));

  const std::string sized = std::to_string(megabytes) + " MiB";
  // The goal rows' note names both bounds and the one that decided.
  const auto boundNote = [&](const std::string& from, double loopRate) {
    char figures[128];
    std::snprintf(figures, sizeof figures,
                  "; loop %.1f MB/s, md5sum %.1f MB/s: bound by %s", loopRate,
                  md5sumRate, boundedBy(loopRate));
    return sized + " from " + from + figures;
  };
  const char kBound[] = "min(recv(1024) loop, md5sum)";
  using bench::Orientation;
  bench::Report({"download", "download (service)", kBound, rate[3],
                 serviceBound, "MB/s", Orientation::kThroughput, 0.9,
                 boundNote("vesk-service", rate[4])});
  bench::Report({"download", "download (service)", "recv(1024)+fwrite loop",
                 rate[3], rate[4], "MB/s", Orientation::kThroughput, 0,
                 sized + " from vesk-service"});
  bench::Report({"download", "download (service)", "md5sum", rate[3],
                 md5sumRate, "MB/s", Orientation::kThroughput, 0,
                 sized + ", md5sum of a finished file"});
  bench::Report({"download", "download CPU (service)", "recv(1024) loop CPU",
                 libraryCpu, loopCpu, "ms/MB", Orientation::kTime, 0,
                 "client process CPU, MD5 worker included"});
  bench::Report({"download", "download (service)", "curl -o", rate[3], rate[5],
                 "MB/s", Orientation::kThroughput, 0, sized});
  bench::Report({"download", "download (plain peer)", kBound, rate[0],
                 peerBound, "MB/s", Orientation::kThroughput, 0.9,
                 boundNote("a bare loopback responder", rate[1])});
  bench::Report({"download", "download (plain peer)", "recv(1024)+fwrite loop",
                 rate[0], rate[1], "MB/s", Orientation::kThroughput, 0,
                 sized + " from a bare loopback responder"});
  bench::Report({"download", "download (plain peer)", "md5sum", rate[0],
                 md5sumRate, "MB/s", Orientation::kThroughput, 0,
                 sized + ", md5sum of a finished file"});
  bench::Report({"download", "download (plain peer)", "curl -o", rate[0],
                 rate[2], "MB/s", Orientation::kThroughput, 0, sized});
  bench::Report({"download", "MD5 of the file", "md5sum", libraryTime * 1e3,
                 toolTime * 1e3, "ms", Orientation::kTime, 1.2,
                 checksumOk ? sized : sized + ", WRONG DIGEST"});
  bench::Report({"memory", "memory: download", "bytes moved",
                 static_cast<double>(growth), megabytesMoved * 1e6, "bytes",
                 Orientation::kMemory, 0.1,
                 growth < 0 ? "child failed" : "peak RSS growth"});

  fs::remove_all(scratch);
  return checksumOk && growth >= 0 ? 0 : 1;
}
