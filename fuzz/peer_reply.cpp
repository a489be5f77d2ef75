// Fuzz target: the input is the reply a peer sends once it has read the
// library's request. A loopback peer of the process answers every connection
// with it, and account information, heartbeat, download (confirming to the
// same peer) and package load run through the exports against it. After each
// call the records must hold terminated texts and agreeing counts, the device
// root must hold nothing but the paths given to the calls, and a finished
// download or archive must be as large as the result says.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/beat_records.h"
#include "service/vesk80.h"

namespace {

namespace fs = std::filesystem;
using vesk::fuzz::CheckEnds;

// Bounds of the peer's waits and of the request it reads.
constexpr int kPollMs = 500;
constexpr size_t kMaxRequest = 64 * 1024;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char16_t kFile[] = u"\\Storage Card\\f.bin";
const char16_t kArchive[] = u"\\Storage Card\\p.zip";
const char16_t kTarget[] = u"\\Storage Card\\out";

// The loopback peer: made once, served by a thread for the whole process.
class Peer {
 public:
  Peer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) !=
            0) {
      abort();
    }
    port_ = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }

  int32_t port() const { return port_; }

  void SetReply(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    reply_.assign(reinterpret_cast<const char*>(data), size);
  }

 private:
  // Waits for the socket; false after kPollMs without it becoming ready.
  static bool Ready(int fd, short events) {
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, kPollMs) == 1;
  }

  // Reads the head up to its blank line and then its Content-Length bytes,
  // within kMaxRequest; stops early when the client waits or closes.
  static void ReadRequest(int fd) {
    std::string request;
    size_t wanted = SIZE_MAX;
    char block[4096];
    while (request.size() < wanted && request.size() < kMaxRequest &&
           Ready(fd, POLLIN)) {
      const ssize_t got = recv(fd, block, sizeof block, 0);
      if (got <= 0) return;
      request.append(block, static_cast<size_t>(got));
      const size_t end = request.find("\r\n\r\n");
      if (wanted == SIZE_MAX && end != std::string::npos) {
        const size_t length = request.find("\r\nContent-Length:");
        wanted = end + 4 +
                 (length < end
                      ? std::strtoul(request.c_str() + length + 17, nullptr, 10)
                      : 0);
      }
    }
  }

  void Serve() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ReadRequest(fd);
      std::string reply;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        reply = reply_;
      }
      // A client that has stopped reading ends the send with an error, or
      // after kPollMs without room.
      for (size_t sent = 0; sent < reply.size() && Ready(fd, POLLOUT);) {
        const ssize_t put = send(fd, reply.data() + sent, reply.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
      }
      close(fd);
    }
  }

  int listener_ = -1;
  int32_t port_ = 0;
  std::mutex mutex_;
  std::string reply_;
};

// A device root of the fuzzer's own with the environment file and the
// storage card directory, made once for the process.
const fs::path& Root() {
  static const fs::path root = [] {
    char pattern[] = "/tmp/vesk-fuzz-peer-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    setenv("VESK_DEVICE_ROOT", pattern, 1);
    setenv("VESK_TIMEOUT_SECONDS", "2", 1);
    const fs::path path(pattern);
    fs::create_directories(path / "PocketDisk1");
    fs::create_directories(path / "Storage Card");
    FILE* env =
        std::fopen((path / "PocketDisk1" / "handset.env").c_str(), "wb");
    if (env == nullptr) abort();
    std::fputs(
        "User-Agent: Fuzz/1\nUser-Serial: SN-1\nUser-Id: 3\nUser-No: 1\n", env);
    std::fclose(env);
    // The "unzip fail" lines of failing entries are not wanted here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
    return path;
  }();
  return root;
}

Peer& ThePeer() {
  static Peer peer;
  return peer;
}

// A text field ends inside itself: its last unit is the terminator (the
// records start zeroed, so any text cut to fit leaves it there).
void CheckError(const HandsetError& error) {
  CheckEnds(error.message);
  CheckEnds(error.timestamp);
}

// Everything under the device root is the environment, the storage card,
// the notification file, the download's and the archive's files with their
// data and state files, or the target directory and what is inside it.
void CheckNothingOutside(const fs::path& root) {
  const fs::path card = root / "Storage Card";
  const std::string out = (card / "out").string();
  for (auto item = fs::recursive_directory_iterator(root);
       item != fs::recursive_directory_iterator(); ++item) {
    const fs::path& path = item->path();
    const std::string text = path.string();
    bool allowed = path == root / "PocketDisk1" ||
                   path == root / "PocketDisk1" / "handset.env" ||
                   path == card || path == card / "savepush.xml" ||
                   text == out ||
                   text.compare(0, out.size() + 1, out + "/") == 0;
    for (const char* name : {"f.bin", "p.zip"}) {
      for (const char* suffix : {"", ".Down", ".Down.cfg"}) {
        allowed = allowed || path == card / (std::string(name) + suffix);
      }
    }
    if (!allowed) {
      std::fprintf(stderr, "written outside the given paths: %s\n",
                   text.c_str());
      abort();
    }
  }
}

// A finished transfer's file, when there is one, is as large as the result
// says the file is.
void CheckFileSize(const fs::path& file, int32_t fileSize) {
  std::error_code missing;
  const uintmax_t size = fs::file_size(file, missing);
  if (!missing && size != static_cast<uintmax_t>(fileSize)) {
    std::fprintf(stderr, "%s has %ju bytes, the result says %d\n", file.c_str(),
                 size, fileSize);
    abort();
  }
}

// Empties the storage card, read-only files and directories included.
void Clear(const fs::path& card) {
  std::error_code error;
  for (auto item = fs::recursive_directory_iterator(card, error);
       item != fs::recursive_directory_iterator(); item.increment(error)) {
    chmod(item->path().c_str(), item->is_directory() ? 0755 : 0644);
  }
  for (const auto& entry : fs::directory_iterator(card, error)) {
    fs::remove_all(entry.path(), error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& root = Root();
  Peer& peer = ThePeer();
  peer.SetReply(data, size);
  const int32_t port = peer.port();

  AccountInfoResult account{};
  HandsetError error{};
  vesk_AccountInfo(kEnv, &account, &error, u"http://127.0.0.1/acct", port);
  CheckEnds(account.username), CheckEnds(account.email),
      CheckEnds(account.name), CheckEnds(account.province), CheckError(error);
  CheckNothingOutside(root);

  HandsetBeatResult beat{};
  error = HandsetError{};
  if (vesk_HandsetBeat(kEnv, &beat, &error, u"http://127.0.0.1/beat", port) ==
      200) {
    vesk::fuzz::CheckBeatRecords(beat);
  }
  delete[] beat.entries;
  CheckError(error);
  CheckNothingOutside(root);

  DownloadRecord record{};
  std::memcpy(record.contentKey, u"c1", sizeof u"c1");
  DownloadResult download{};
  error = HandsetError{};
  vesk_HandsetDownload(kEnv, &record, &download, &error, kFile,
                       u"http://127.0.0.1/download", port,
                       u"http://127.0.0.1/done", port);
  CheckEnds(record.partialChecksum), CheckEnds(download.checksum),
      CheckError(error);
  CheckNothingOutside(root);
  CheckFileSize(root / "Storage Card" / "f.bin", download.fileSize);

  LoadRecord load{};
  std::memcpy(load.archivePath, kArchive, sizeof kArchive);
  std::memcpy(load.targetDirectory, kTarget, sizeof kTarget);
  LoadResult loaded{};
  error = HandsetError{};
  vesk_HandsetLoad(kEnv, &load, &loaded, &error, u"http://127.0.0.1/load",
                   port);
  CheckError(error);
  CheckNothingOutside(root);
  CheckFileSize(root / "Storage Card" / "p.zip", loaded.fileSize);

  Clear(root / "Storage Card");
  return 0;
}
