// A crowd of handsets against the reference service on loopback, and slow
// clients beside a probe.
//
//   load_bench [--handsets N] [--seconds S] [--think-ms MS] [--trickle N]
//              [--trickle-seconds S] [--notify-ms MS] [--json FILE]
//              [--service-arg ARG]...
//
// The crowd: N handsets are registered (mode 4, one account each) and then
// each runs on a thread of its own for S seconds, one request at a time
// with a random pause (0 to 2 * MS) between: heartbeats (half of them),
// account information, a download of a 64 KiB content with its
// confirmation, and a save of a 16 KiB file that replaces the one before.
// Every request is the handset's own bytes on a fresh connection, as the
// library sends them, with a new user certificate each. Meanwhile a
// notification with a key of its own is queued every MS ms for a random
// handset through the administration command; after the run every handset
// beats once more and each queued key must have arrived exactly once.
//
// The trickle: N sockets each send a request head one byte a second (a
// socket that the service closes is opened again at once) while a probe
// makes a heartbeat every quarter of a second; the probe's slowest reply is
// what the slow clients cost the others.
//
// Reported: requests, their latency (p50, p99, max), refusals (503),
// resets, other failures by status, lost and repeated notifications, the
// service's peak resident set and most threads, its access-log lines, and
// the probe's delays. Exit status 0 when the crowd had no refusal, reset,
// failure, lost or repeated notification and a p99 under a second, and the
// probe never waited longer than the head deadline; 1 otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback.h"
#include "tools/common/process.h"

namespace {

namespace fs = std::filesystem;
using bench::ServiceBinary;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "load_bench: %s\n", why.c_str());
  std::exit(2);
}

struct Options {
  int handsets = 1000;
  int seconds = 60;
  int thinkMs = 2000;
  int trickle = 500;
  int trickleSeconds = 25;
  int notifyMs = 50;
  std::string json;
  std::vector<std::string> serviceArgs;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) Die("option without a value: " + name);
    const std::string value = argv[++i];
    auto number = [&] {
      char* end = nullptr;
      const long parsed = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || parsed < 0 || parsed > 1000000) {
        Die("not a number for " + name + ": " + value);
      }
      return static_cast<int>(parsed);
    };
    if (name == "--handsets") {
      options.handsets = std::max(1, number());
    } else if (name == "--seconds") {
      options.seconds = number();
    } else if (name == "--think-ms") {
      options.thinkMs = number();
    } else if (name == "--trickle") {
      options.trickle = number();
    } else if (name == "--trickle-seconds") {
      options.trickleSeconds = number();
    } else if (name == "--notify-ms") {
      options.notifyMs = std::max(1, number());
    } else if (name == "--json") {
      options.json = value;
    } else if (name == "--service-arg") {
      options.serviceArgs.push_back(value);
    } else {
      Die("unknown option: " + name);
    }
  }
  return options;
}

// ---------------------------------------------------------------------------
// The service

bool Admin(const std::string& dataDir, std::vector<std::string> arguments,
           std::string* out = nullptr) {
  std::vector<std::string> argv = {ServiceBinary(), "--data", dataDir};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return vesk::tools::RunToEnd(argv, out) == 0;
}

// A field of /proc/PID/status in kB (or a count), -1 when absent.
long long ProcStatus(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) {
      return std::atoll(line.c_str() + prefix.size());
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------
// One exchange on a fresh connection

struct Reply {
  int status = 0;
  bool refused = false;  // the connection was refused (nothing listening)
  bool reset = false;    // reset by the service
  bool failed = false;   // any other socket failure, or no reply in time
  std::string head, body;
};

Reply Exchange(uint16_t port, const std::string& request) {
  Reply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reply.failed = true;
    return reply;
  }
  const timeval limit{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto fail = [&](int error) {
    if (error == ECONNRESET || error == EPIPE) {
      reply.reset = true;
    } else if (error == ECONNREFUSED) {
      reply.refused = true;
    } else {
      reply.failed = true;
    }
  };
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    fail(errno);
    ::close(fd);
    return reply;
  }
  size_t at = 0;
  while (at < request.size()) {
    const ssize_t sent =
        ::send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      fail(errno);
      break;
    }
    at += static_cast<size_t>(sent);
  }
  std::string all;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      fail(errno);
      break;
    }
    if (got == 0) break;
    all.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  const size_t end = all.find("\r\n\r\n");
  if (all.size() > 12 && all.rfind("HTTP/1.1 ", 0) == 0) {
    reply.status = std::atoi(all.c_str() + 9);
  }
  if (end != std::string::npos) {
    reply.head = all.substr(0, end + 2);
    reply.body = all.substr(end + 4);
  }
  return reply;
}

// ---------------------------------------------------------------------------
// Handsets

std::string Base64(const unsigned char* bytes, int size) {
  std::string text(4 * ((static_cast<size_t>(size) + 2) / 3) + 1, '\0');
  text.resize(static_cast<size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(text.data()), bytes, size)));
  return text;
}

std::string NumberText(const BIGNUM* number) {
  std::vector<unsigned char> bytes(static_cast<size_t>(BN_num_bytes(number)));
  BN_bn2bin(number, bytes.data());
  return Base64(bytes.data(), static_cast<int>(bytes.size()));
}

std::string FormEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The handsets share one key pair (their certificates still differ: each
// draws a fresh OAEP seed); each thread works on its own copy of the key.
class Handset {
 public:
  Handset(RSA* key, int index, uint16_t port)
      : key_(RSAPrivateKey_dup(key)),
        serial_("LOAD-" + std::to_string(index)),
        index_(index),
        port_(port) {}
  ~Handset() { RSA_free(key_); }
  Handset(const Handset&) = delete;
  Handset& operator=(const Handset&) = delete;

  int64_t userId() const { return userId_; }

  // Registers an account and binds this handset to it (mode 4).
  bool Register() {
    const BIGNUM *n = nullptr, *e = nullptr;
    RSA_get0_key(key_, &n, &e, nullptr);
    const std::string form =
        "username=load" + std::to_string(index_) +
        "&password=pw&name=Load&email=load%40example.org&province=P"
        "&gender=1&figure=1&modulus=" +
        FormEncode(NumberText(n)) + "&exponent=" + FormEncode(NumberText(e));
    const Reply reply =
        Exchange(port_,
                 "POST /activate HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: "
                 "load\r\nUser-Serial: " +
                     serial_ +
                     "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: " +
                     std::to_string(form.size()) + "\r\n\r\n" + form);
    const size_t at = reply.body.find("<user-id>");
    if (reply.status != 200 || at == std::string::npos) return false;
    userId_ = std::atoll(reply.body.c_str() + at + 9);
    return userId_ > 0;
  }

  // The request heads as the library composes them.
  std::string Head(const char* method, const std::string& path,
                   bool certificate) {
    std::string head = std::string(method) + " " + path +
                       " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: "
                       "load\r\nUser-Serial: " +
                       serial_ + "\r\nUser-ID: " + std::to_string(userId_) +
                       "\r\n";
    if (certificate) head += "User-Cert: " + Certificate() + "\r\n";
    return head;
  }

  // The local time stamp, OAEP (SHA-1) encoded and raised to the private
  // exponent, in base64.
  std::string Certificate() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(
        stamp, sizeof stamp, "%d-%d-%d %d:%d:%d.%.3d", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec,
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             now.time_since_epoch())
                             .count() %
                         1000));
    const int k = RSA_size(key_);
    std::vector<unsigned char> encoded(static_cast<size_t>(k)),
        cipher(static_cast<size_t>(k));
    RSA_padding_add_PKCS1_OAEP(
        encoded.data(), k, reinterpret_cast<const unsigned char*>(stamp),
        static_cast<int>(std::strlen(stamp)), nullptr, 0);
    RSA_private_encrypt(k, encoded.data(), cipher.data(), key_, RSA_NO_PADDING);
    return Base64(cipher.data(), k);
  }

  Reply Heartbeat(std::vector<std::string>* keys) {
    Reply reply = Exchange(port_, Head("GET", "/heartbeat", false) + "\r\n");
    for (size_t at = reply.body.find(" key=\""); at != std::string::npos;
         at = reply.body.find(" key=\"", at + 1)) {
      const size_t end = reply.body.find('"', at + 6);
      keys->push_back(reply.body.substr(at + 6, end - at - 6));
    }
    return reply;
  }

  Reply Account() {
    return Exchange(port_, Head("GET", "/account", true) + "\r\n");
  }

  Reply Form(const char* path, const std::string& form) {
    return Exchange(port_, Head("POST", path, true) +
                               "Content-Type: application/x-www-form-"
                               "urlencoded\r\nContent-Length: " +
                               std::to_string(form.size()) + "\r\n\r\n" + form);
  }

  Reply Save(const std::string& data) {
    const std::string boundary = "----load" + std::to_string(index_);
    const std::string body =
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"update1\"; "
        "filename=\"\\Storage Card\\load.bin\"\r\nContent-Type: "
        "application/octet-stream\r\n\r\n" +
        data + "\r\n--" + boundary + "--\r\n";
    return Exchange(
        port_, Head("POST", "/save", true) +
                   "Content-Type: multipart/form-data; boundary=" + boundary +
                   "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
  }

 private:
  RSA* key_;
  std::string serial_;
  int index_;
  uint16_t port_;
  int64_t userId_ = 0;
};

// What the crowd saw, merged from every handset's thread.
struct Tally {
  std::mutex lock;
  std::vector<double> latencies;  // milliseconds
  long long requests = 0, refusals = 0, resets = 0, failures = 0;
  std::map<int, long long> statuses;    // unexpected statuses
  std::map<std::string, int> received;  // notification key -> times
};

constexpr size_t kContentBytes = 64 * 1024;
constexpr size_t kSaveBytes = 16 * 1024;

void RunHandset(Handset& handset, const Options& options, Clock::time_point end,
                Tally& tally, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(0, 2 * options.thinkMs);
  std::uniform_int_distribution<int> pick(0, 99);
  const std::string data(kSaveBytes, static_cast<char>('a' + seed % 26));
  std::vector<double> latencies;
  long long requests = 0, refusals = 0, resets = 0, failures = 0;
  std::map<int, long long> statuses;
  std::vector<std::string> keys;
  auto count = [&](const Reply& reply, Clock::time_point began, bool good) {
    latencies.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - began)
            .count());
    ++requests;
    if (reply.status == 503 || reply.refused) {
      ++refusals;
    } else if (reply.reset) {
      ++resets;
    } else if (reply.failed || !good) {
      ++failures;
      ++statuses[reply.status];
    }
  };
  // The handsets start spread over one pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
  while (Clock::now() < end) {
    const int which = pick(random);
    auto began = Clock::now();
    if (which < 50) {
      const Reply reply = handset.Heartbeat(&keys);
      count(reply, began, reply.status == 200);
    } else if (which < 70) {
      const Reply reply = handset.Account();
      count(reply, began, reply.status == 200);
    } else if (which < 85) {
      const Reply reply = handset.Form("/download", "key=load-content");
      count(reply, began,
            reply.status == 200 && reply.body.size() == kContentBytes);
      began = Clock::now();
      const Reply confirmed =
          handset.Form("/download/confirm", "key=load-content");
      count(confirmed, began, confirmed.status == 200);
    } else {
      const Reply reply = handset.Save(data);
      count(reply, began,
            reply.status == 200 && reply.body == "stored 1, deleted 0\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
  }
  std::lock_guard<std::mutex> guard(tally.lock);
  tally.latencies.insert(tally.latencies.end(), latencies.begin(),
                         latencies.end());
  tally.requests += requests;
  tally.refusals += refusals;
  tally.resets += resets;
  tally.failures += failures;
  for (const auto& [status, times] : statuses) tally.statuses[status] += times;
  for (const std::string& key : keys) ++tally.received[key];
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1,
                             static_cast<size_t>(fraction * values.size()));
  return values[at];
}

// ---------------------------------------------------------------------------
// The trickle

// Sockets that each send "GET /heartbeat HTTP/1.1\r\nHost: ..." one byte a
// second, spread over the second; one the service answers or closes is
// opened again. Runs until `stop`.
void Trickle(uint16_t port, int sockets, const std::atomic<bool>& stop,
             std::atomic<long long>* reopened) {
  const std::string head =
      "GET /heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow-slow-"
      "slow-slow-slow-slow-slow-slow-slow-slow-slow\r\n";
  struct Slow {
    int fd = -1;
    size_t next = 0;
    Clock::time_point due;
  };
  auto open = [&](Slow& slow) {
    if (slow.fd >= 0) ::close(slow.fd);
    slow.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(slow.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    slow.next = 0;
  };
  std::vector<Slow> slow(static_cast<size_t>(sockets));
  const auto start = Clock::now();
  for (size_t i = 0; i < slow.size(); ++i) {
    open(slow[i]);
    slow[i].due = start + std::chrono::milliseconds(1000 * i / slow.size());
  }
  std::vector<pollfd> polled(slow.size());
  while (!stop) {
    for (size_t i = 0; i < slow.size(); ++i) {
      polled[i] = {slow[i].fd, POLLIN, 0};
    }
    ::poll(polled.data(), polled.size(), 20);
    const auto now = Clock::now();
    for (size_t i = 0; i < slow.size(); ++i) {
      Slow& s = slow[i];
      bool again = (polled[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      if (!again && now >= s.due) {
        s.due += std::chrono::seconds(1);
        const ssize_t sent =
            ::send(s.fd, &head[s.next % head.size()], 1, MSG_NOSIGNAL);
        if (sent == 1) {
          ++s.next;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK &&
                   errno != ENOTCONN) {
          again = true;
        }
      }
      if (again) {
        open(s);
        ++*reopened;
      }
    }
  }
  for (Slow& s : slow) ::close(s.fd);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  vesk::tools::IgnoreBrokenPipes();
  // One descriptor per handset and per slow socket, and the children's.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);

  char dirTemplate[] = "/tmp/vesk-load-XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) Die("cannot make a data directory");
  const std::string dataDir = std::string(dirTemplate) + "/data";
  fs::create_directories(dataDir);
  const std::string logPath = std::string(dirTemplate) + "/service.log";
  {
    std::ofstream content(std::string(dirTemplate) + "/content.bin",
                          std::ios::binary);
    std::string bytes(kContentBytes, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<char>(i * 131 % 251);
    }
    content << bytes;
  }
  if (!Admin(dataDir, {"add-content", "--key", "load-content", "--file",
                       std::string(dirTemplate) + "/content.bin"})) {
    Die("add-content failed");
  }

  vesk::tools::Child service;
  std::vector<std::string> serveArgv = {ServiceBinary(), "serve", "--port", "0",
                                        "--data",        dataDir};
  serveArgv.insert(serveArgv.end(), options.serviceArgs.begin(),
                   options.serviceArgs.end());
  std::string error, line;
  if (!service.Start(serveArgv, vesk::tools::ChildOptions{logPath}, &error)) {
    Die(error);
  }
  if (!service.ReadLine(&line, 20000) || line.rfind("listening on ", 0) != 0) {
    Die("the service did not start: " + line);
  }
  const uint16_t port =
      static_cast<uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1));
  const pid_t pid = service.pid();

  // The service's threads, sampled while it works.
  std::atomic<bool> sampling{true};
  std::atomic<long long> threads{0};
  std::thread sampler([&] {
    while (sampling) {
      const long long now = ProcStatus(pid, "Threads");
      if (now > threads) threads = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  // Registration, on a few threads.
  BIGNUM* exponent = BN_new();
  BN_set_word(exponent, RSA_F4);
  RSA* key = RSA_new();
  if (RSA_generate_key_ex(key, 1024, exponent, nullptr) != 1) {
    Die("no key pair");
  }
  BN_free(exponent);
  std::vector<std::unique_ptr<Handset>> handsets;
  for (int i = 0; i < options.handsets; ++i) {
    handsets.push_back(std::make_unique<Handset>(key, i, port));
  }
  {
    std::atomic<int> next{0}, registered{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w) {
      workers.emplace_back([&] {
        for (int i = next++; i < options.handsets; i = next++) {
          if (handsets[static_cast<size_t>(i)]->Register()) ++registered;
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    if (registered != options.handsets) {
      Die("registered " + std::to_string(registered.load()) + " of " +
          std::to_string(options.handsets) + " handsets");
    }
  }
  std::printf("%d handsets registered on port %u\n", options.handsets, port);
  std::fflush(stdout);

  // The crowd, with notifications queued while it runs.
  Tally tally;
  std::map<std::string, int64_t> queued;  // key -> user id
  const auto began = Clock::now();
  const auto end = began + std::chrono::seconds(options.seconds);
  std::vector<std::thread> crowd;
  crowd.reserve(static_cast<size_t>(options.handsets));
  for (int i = 0; i < options.handsets; ++i) {
    crowd.emplace_back(RunHandset, std::ref(*handsets[static_cast<size_t>(i)]),
                       std::cref(options), end, std::ref(tally),
                       static_cast<unsigned>(i) * 7919u + 1);
  }
  {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> who(0, options.handsets - 1);
    int sequence = 0;
    while (Clock::now() < end) {
      const auto next =
          Clock::now() + std::chrono::milliseconds(options.notifyMs);
      const int64_t userId =
          handsets[static_cast<size_t>(who(random))]->userId();
      const std::string notificationKey = "n" + std::to_string(sequence++);
      if (Admin(dataDir, {"queue-notification", "--user-id",
                          std::to_string(userId), "--kind", "message", "--key",
                          notificationKey, "--title", notificationKey})) {
        queued[notificationKey] = userId;
      }
      std::this_thread::sleep_until(next);
    }
  }
  for (std::thread& handset : crowd) handset.join();
  const double crowdSeconds =
      std::chrono::duration<double>(Clock::now() - began).count();
  // The last beat of every handset collects what is still waiting.
  {
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    std::mutex keysLock;
    for (int w = 0; w < 8; ++w) {
      workers.emplace_back([&] {
        for (int i = next++; i < options.handsets; i = next++) {
          std::vector<std::string> keys;
          const Reply reply =
              handsets[static_cast<size_t>(i)]->Heartbeat(&keys);
          std::lock_guard<std::mutex> guard(keysLock);
          if (reply.status != 200) ++tally.failures;
          for (const std::string& k : keys) ++tally.received[k];
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
  }
  long long lost = 0, repeated = 0, strange = 0;
  for (const auto& [k, user] : queued) {
    const auto found = tally.received.find(k);
    if (found == tally.received.end()) {
      ++lost;
    } else if (found->second > 1) {
      repeated += found->second - 1;
    }
  }
  for (const auto& [k, times] : tally.received) {
    if (!queued.count(k)) strange += times;
  }
  const long long crowdRss = ProcStatus(pid, "VmHWM");
  const long long crowdThreads = threads.load();

  // The trickle beside a probe.
  std::atomic<bool> stopTrickle{false};
  std::atomic<long long> reopened{0};
  std::vector<double> probes;
  long long probeFailures = 0;
  if (options.trickle > 0 && options.trickleSeconds > 0) {
    std::thread trickle(Trickle, port, options.trickle, std::cref(stopTrickle),
                        &reopened);
    // The slow sockets are connected first.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto trickleEnd =
        Clock::now() + std::chrono::seconds(options.trickleSeconds);
    std::vector<std::string> keys;
    while (Clock::now() < trickleEnd) {
      const auto start = Clock::now();
      const Reply reply = handsets[0]->Heartbeat(&keys);
      probes.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - start)
              .count());
      if (reply.status != 200) ++probeFailures;
      std::this_thread::sleep_until(start + std::chrono::milliseconds(250));
    }
    stopTrickle = true;
    trickle.join();
  }
  sampling = false;
  sampler.join();
  const long long peakRss = ProcStatus(pid, "VmHWM");
  const long long peakThreads = threads.load();
  service.Stop(10000);

  // The access log: a line per request, each with its time stamp.
  long long logged = 0, logged503 = 0;
  {
    std::ifstream log(logPath);
    for (std::string entry; std::getline(log, entry);) {
      if (entry.find(" \"") == std::string::npos || entry.size() < 24 ||
          entry[10] != 'T') {
        continue;
      }
      ++logged;
      if (entry.find("\" 503 ") != std::string::npos) ++logged503;
    }
  }

  const double p50 = Percentile(tally.latencies, 0.50);
  const double p99 = Percentile(tally.latencies, 0.99);
  const double maxLatency = Percentile(tally.latencies, 1.0);
  const double probeMax = Percentile(probes, 1.0);
  const double probeP50 = Percentile(probes, 0.50);
  long long headDeadline = 10;
  for (size_t i = 0; i + 1 < options.serviceArgs.size(); ++i) {
    if (options.serviceArgs[i] == "--head-timeout") {
      headDeadline = std::atoll(options.serviceArgs[i + 1].c_str());
    }
  }
  std::string others;
  for (const auto& [status, times] : tally.statuses) {
    others += " " + std::to_string(status) + "x" + std::to_string(times);
  }
  std::printf(
      "crowd:   %d handsets, %.1f s, %lld requests (%.0f/s), p50 %.1f ms, "
      "p99 %.1f ms, max %.1f ms\n"
      "         refusals %lld, resets %lld, other failures %lld%s\n"
      "         notifications queued %zu, lost %lld, repeated %lld, "
      "unexpected %lld\n"
      "service: peak RSS %.1f MiB (%.1f MiB after the crowd), threads at "
      "most %lld, access-log lines %lld (503: %lld)\n"
      "trickle: %d sockets for %d s (%lld reopened after the service closed "
      "them); probe %zu heartbeats, p50 %.1f ms, slowest %.1f ms (head "
      "deadline %lld s), failures %lld\n",
      options.handsets, crowdSeconds, tally.requests,
      static_cast<double>(tally.requests) / crowdSeconds, p50, p99, maxLatency,
      tally.refusals, tally.resets, tally.failures, others.c_str(),
      queued.size(), lost, repeated, strange,
      static_cast<double>(peakRss) / 1024.0,
      static_cast<double>(crowdRss) / 1024.0, peakThreads, logged, logged503,
      options.trickle, options.trickleSeconds, reopened.load(), probes.size(),
      probeP50, probeMax, headDeadline, probeFailures);
  (void)crowdThreads;

  const bool met = tally.refusals == 0 && tally.resets == 0 &&
                   tally.failures == 0 && lost == 0 && repeated == 0 &&
                   strange == 0 && p99 < 1000.0 &&
                   probeMax <= static_cast<double>(headDeadline) * 1000.0 &&
                   probeFailures == 0;
  nlohmann::ordered_json summary = {
      {"handsets", options.handsets},
      {"seconds", crowdSeconds},
      {"think_ms", options.thinkMs},
      {"requests", tally.requests},
      {"refusals", tally.refusals},
      {"resets", tally.resets},
      {"failures", tally.failures},
      {"notifications_queued", queued.size()},
      {"notifications_lost", lost},
      {"notifications_repeated", repeated},
      {"p50_ms", p50},
      {"p99_ms", p99},
      {"max_ms", maxLatency},
      {"service_peak_rss_kib", peakRss},
      {"service_threads_max", peakThreads},
      {"access_log_lines", logged},
      {"trickle_sockets", options.trickle},
      {"trickle_seconds", options.trickleSeconds},
      {"probe_p50_ms", probeP50},
      {"probe_max_ms", probeMax},
      {"head_deadline_s", headDeadline},
      {"met", met},
  };
  std::printf("%s\n", summary.dump().c_str());
  if (!options.json.empty()) {
    std::ofstream(options.json) << summary.dump(2) << "\n";
  }
  std::error_code ignored;
  fs::remove_all(dirTemplate, ignored);
  RSA_free(key);
  return met ? 0 : 1;
}
