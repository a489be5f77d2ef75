#include "tools/vesk/ops.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/common/text.h"
#include "tools/vesk/text.h"
#include "vesk80.h"

namespace vesk::tool {

namespace {

using Result = Outcome::Result;
constexpr int32_t kCodeBadPartial = 916;
// The connect that tells a refused port from a silent one waits this long
// at most (less when VESK_TIMEOUT_SECONDS is shorter).
constexpr int kProbeSeconds = 3;

bool IsTransferSuccess(int32_t status) {
  return status == 200 || status == 206;
}

CallError ReadError(const HandsetError& e) {
  return CallError{e.code, FieldText(e.message), FieldText(e.timestamp)};
}

// Records are zero-filled before use: the library reads only the fields it
// documents, and a record the call leaves alone then reads back as empty.
template <typename T>
std::unique_ptr<T> NewRecord() {
  auto record = std::make_unique<T>();
  std::memset(record.get(), 0, sizeof(T));
  return record;
}

bool IsRegularFile(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Runs the library call and answers how long it took, in seconds.
template <typename Call>
double Timed(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// Header values reach the records as sent, with the blank after the colon.
std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void Refused(Outcome& o, const Endpoint& at) {
  if (o.status == 0) {
    const std::string message = Trim(o.error.message);
    if (!message.empty()) {
      o.result = Result::kRefused;
      o.reason = "refused by the library: " + message;
    } else {
      o.result = Result::kNoResponse;
      o.reason = "no response from " + UrlHost(at.url) + ":" +
                 std::to_string(at.port) + ": " +
                 NoResponseReason(at, o.seconds);
    }
    return;
  }
  o.result = Result::kRefused;
  o.reason = "refused, status " + std::to_string(o.status) + ", code " +
             std::to_string(o.error.code);
  const std::string message = Trim(o.error.message);
  const std::string timestamp = Trim(o.error.timestamp);
  if (!message.empty()) o.reason += ": " + message;
  if (!timestamp.empty()) o.reason += " (service time " + timestamp + ")";
}

void Failed(Outcome& o, const std::string& why) {
  o.result = Result::kFailed;
  o.reason = why;
}

// The reply of a transfer was a success status, but the library refused
// its range or the transfer stopped: both leave the message in the error
// record with code 0. A refused range fills none of the result's numbers.
void TransferShortfall(Outcome& o, int32_t rangeStart, int32_t received,
                       int32_t fileSize) {
  const std::string message = Trim(o.error.message);
  if (rangeStart == 0 && received == 0 && fileSize == 0 && !message.empty()) {
    o.result = Result::kRefused;
    o.reason = "the reply was refused by the library: " + message;
    return;
  }
  o.result = Result::kIncomplete;
  o.reason = "incomplete: " +
             (message.empty() ? std::string("the transfer did not complete")
                              : message) +
             "; the same command continues it (--restart starts over)";
}

}  // namespace

int Outcome::exit() const {
  switch (result) {
    case Result::kOk:
      return kExitOk;
    case Result::kRefused:
    case Result::kFailed:
      return kExitRefused;
    case Result::kNoResponse:
    case Result::kIncomplete:
      break;
  }
  return kExitNoResponse;
}

const char* ResultName(Outcome::Result result) {
  switch (result) {
    case Result::kOk:
      return "ok";
    case Result::kRefused:
      return "refused";
    case Result::kFailed:
      return "failed";
    case Result::kNoResponse:
      return "no response";
    case Result::kIncomplete:
      break;
  }
  return "incomplete";
}

int32_t UrlPort(const std::string& url) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return -1;
  const size_t slash = url.find('/', scheme.size());
  if (slash == std::string::npos || slash == scheme.size()) return -1;
  const std::string host = url.substr(scheme.size(), slash - scheme.size());
  const size_t colon = host.rfind(':');
  if (colon == std::string::npos) return 80;
  const std::string digits = host.substr(colon + 1);
  if (colon == 0 || digits.empty() || digits.size() > 5) return -1;
  int32_t port = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 ? port : -1;
}

std::string UrlHost(const std::string& url) {
  if (UrlPort(url) < 0) return "";
  const size_t from = std::strlen("http://");
  const std::string authority = url.substr(from, url.find('/', from) - from);
  return authority.substr(0, authority.rfind(':'));
}

int TimeoutSeconds() {
  constexpr int kDefault = 60;
  const char* value = std::getenv("VESK_TIMEOUT_SECONDS");
  if (value == nullptr || *value == '\0') return kDefault;
  long long seconds = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return kDefault;
    seconds = std::min<long long>(seconds * 10 + (*c - '0'), 1 << 30);
  }
  return static_cast<int>(seconds);
}

namespace {

enum class Connect { kAccepted, kRefused, kSilent, kOther };

// A TCP connect to the address that waits at most limitMs; *error holds
// errno for kOther.
Connect TryConnect(const sockaddr_in& address, int limitMs, int* error) {
  const int fd =
      ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return Connect::kOther;
  }
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                         sizeof address);
  int failure = result == 0 ? 0 : errno;
  if (result != 0 && failure == EINPROGRESS) {
    pollfd ready{fd, POLLOUT, 0};
    int polled;
    do {
      polled = ::poll(&ready, 1, limitMs);
    } while (polled < 0 && errno == EINTR);
    if (polled <= 0) {
      ::close(fd);
      return Connect::kSilent;
    }
    socklen_t length = sizeof failure;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
  }
  ::close(fd);
  if (failure == 0) return Connect::kAccepted;
  if (failure == ECONNREFUSED) return Connect::kRefused;
  if (failure == ETIMEDOUT) return Connect::kSilent;
  *error = failure;
  return Connect::kOther;
}

}  // namespace

std::string NoResponseReason(const Endpoint& at, double seconds) {
  const std::string host = UrlHost(at.url);
  // The library connects over IPv4, to the first address of the host.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() ||
      ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 ||
      found == nullptr) {
    return "cannot resolve host " + host;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr,
              std::min<size_t>(sizeof address, found->ai_addrlen));
  ::freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(at.port));

  const int timeout = TimeoutSeconds();
  const int limit =
      timeout > 0 ? std::min(timeout, kProbeSeconds) : kProbeSeconds;
  int error = 0;
  switch (TryConnect(address, limit * 1000, &error)) {
    case Connect::kRefused:
      return "connection refused";
    case Connect::kSilent:
      return "timed out (the connection was not accepted within " +
             std::to_string(limit) + " s)";
    case Connect::kOther:
      return std::string("cannot connect: ") + std::strerror(error);
    case Connect::kAccepted:
      break;
  }
  // A call that waited the whole time-out ended on it; a shorter one ended
  // because the peer closed the connection.
  if (timeout > 0 && seconds + 0.05 >= timeout) {
    return "timed out (nothing came for " + std::to_string(timeout) +
           " s, VESK_TIMEOUT_SECONDS)";
  }
  return "connection closed (the peer closed it without a reply)";
}

std::string LibraryHostPath(const std::string& handsetPath) {
  const char* root = std::getenv("VESK_DEVICE_ROOT");
  std::string base = root == nullptr ? "" : root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return HostPath(base, handsetPath);
}

namespace {

// The account fields of a result record (activation or account information).
template <typename Record>
void TakeAccountFields(const Record& record, AccountFields& fields) {
  fields.username = FieldText(record.username);
  fields.email = FieldText(record.email);
  fields.name = FieldText(record.name);
  fields.province = FieldText(record.province);
  fields.gender = record.gender;
  fields.figure = record.figure;
}

void SetAccountFields(Json& j, const AccountFields& fields) {
  j["username"] = fields.username;
  j["email"] = fields.email;
  j["name"] = fields.name;
  j["province"] = fields.province;
  j["gender"] = fields.gender;
  j["figure"] = fields.figure;
}

}  // namespace

bool ModeRegisters(int32_t mode) { return mode == 2 || mode == 4; }

ActivateOutcome Activate(const ActivateParams& p, const Endpoint& at) {
  auto input = NewRecord<HandsetActivateInput>();
  auto result = NewRecord<HandsetActivateResult>();
  auto error = NewRecord<HandsetError>();
  input->mode = p.mode;
  SetField(input->userAgent, p.userAgent);
  SetField(input->userSerial, p.serial);
  SetField(input->username, p.username);
  SetField(input->password, p.password);
  SetField(input->name, p.name);
  SetField(input->email, p.email);
  SetField(input->province, p.province);
  SetField(input->validation, p.validation);
  SetField(input->bom, p.bom);
  SetField(input->environmentPath, HandsetPath(p.environmentPath));
  input->gender = p.gender;
  input->figure = p.figure;

  ActivateOutcome o;
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  // The environment file holds the private key: it is made by the library
  // during the call, so the call runs under a umask that keeps it the
  // owner's alone.
  const mode_t umask = ::umask(077);
  o.seconds = Timed([&] {
    o.status = vesk_handsetActivate(input.get(), result.get(), error.get(),
                                    url.c_str(), at.port);
  });
  ::umask(umask);
  const std::string environment = LibraryHostPath(p.environmentPath);
  if (IsRegularFile(environment)) {
    ::chmod(environment.c_str(), 0600);  // one an earlier activation left
    struct stat st {};
    o.environmentPrivate =
        ::stat(environment.c_str(), &st) == 0 && (st.st_mode & 077) == 0;
  }
  o.serverDate = Trim(FieldText(result->serverDate));
  if (o.status != 200) {
    o.error = ReadError(*error);
    Refused(o, at);
    return o;
  }
  o.userId = result->userId;
  o.userNo = result->userNo;
  TakeAccountFields(*result, o);
  if (ModeRegisters(p.mode) && o.userId == 0) {
    Failed(o,
           "the reply held no user id (status 200): the handset is not "
           "registered");
    return o;
  }
  o.result = Result::kOk;
  return o;
}

AccountOutcome Account(const std::string& environmentPath, const Endpoint& at) {
  auto result = NewRecord<AccountInfoResult>();
  auto error = NewRecord<HandsetError>();
  const std::u16string env = tools::Utf8ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  AccountOutcome o;
  o.seconds = Timed([&] {
    o.status = vesk_AccountInfo(env.c_str(), result.get(), error.get(),
                                url.c_str(), at.port);
  });
  if (o.status != 200) {
    o.error = ReadError(*error);
    Refused(o, at);
    return o;
  }
  o.accountId = result->accountId;
  TakeAccountFields(*result, o);
  if (o.accountId == 0) {
    Failed(o, "the reply held no account (status 200, account id 0)");
    return o;
  }
  o.result = Result::kOk;
  return o;
}

BeatOutcome Beat(const std::string& environmentPath, const Endpoint& at) {
  auto result = NewRecord<HandsetBeatResult>();
  auto error = NewRecord<HandsetError>();
  const std::u16string env = tools::Utf8ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  BeatOutcome o;
  o.seconds = Timed([&] {
    o.status = vesk_HandsetBeat(env.c_str(), result.get(), error.get(),
                                url.c_str(), at.port);
  });
  o.error = ReadError(*error);
  if (o.status != 200) {
    Refused(o, at);
    return o;
  }
  o.total = result->total;
  const uint8_t* entries = result->entries;
  for (int32_t i = 0; i < result->contentCount; ++i) {
    ContentNotification c;
    std::memcpy(&c, entries + sizeof c * i, sizeof c);
    o.notifications.push_back(
        Notification{"content", FieldText(c.key), FieldText(c.title),
                     FieldText(c.text), FieldText(c.mime), c.size, "", ""});
  }
  for (int32_t i = 0; i < result->messageCount; ++i) {
    MessageNotification m;
    std::memcpy(&m, entries + result->messageOffset + sizeof m * i, sizeof m);
    o.notifications.push_back(Notification{"message", FieldText(m.key),
                                           FieldText(m.title),
                                           FieldText(m.text), "", 0, "", ""});
  }
  for (int32_t i = 0; i < result->advertisementCount; ++i) {
    AdvertisementNotification a;
    std::memcpy(&a, entries + result->advertisementOffset + sizeof a * i,
                sizeof a);
    o.notifications.push_back(Notification{
        "advertisement", FieldText(a.key), FieldText(a.title),
        FieldText(a.text), "", 0, FieldText(a.media), FieldText(a.href)});
  }
  // The library hands the array over with array new and frees it only on a
  // later heartbeat with the same record; this record ends here, so the
  // array goes with it (the library and the tool share one C++ runtime).
  delete[] result->entries;
  result->entries = nullptr;
  // A notification file that could not be written: status 200, nothing
  // handed over, and the reason in the message.
  if (!Trim(o.error.message).empty()) {
    Failed(o,
           "the notifications were not handed over: " + Trim(o.error.message));
    return o;
  }
  o.result = Result::kOk;
  return o;
}

DownloadOutcome Download(const DownloadParams& p, const Endpoint& at,
                         const Endpoint& confirm) {
  auto record = NewRecord<DownloadRecord>();
  auto result = NewRecord<DownloadResult>();
  auto error = NewRecord<HandsetError>();
  SetField(record->contentKey, p.key);
  record->offset = p.offset;
  record->rangeEnd = p.rangeEnd;
  const std::u16string env = tools::Utf8ToUtf16(HandsetPath(p.environmentPath));
  const std::u16string local = tools::Utf8ToUtf16(HandsetPath(p.localPath));
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  const std::u16string second = tools::Utf8ToUtf16(confirm.url);
  DownloadOutcome o;
  o.seconds = Timed([&] {
    o.status = vesk_HandsetDownload(env.c_str(), record.get(), result.get(),
                                    error.get(), local.c_str(), url.c_str(),
                                    at.port, second.c_str(), confirm.port);
  });
  // The download clears both records after every exchange, so they describe
  // the last attempt whatever its status.
  o.error = ReadError(*error);
  o.rangeStart = result->rangeStart;
  o.received = result->received;
  o.fileSize = result->fileSize;
  o.checksum = FieldText(result->checksum);
  o.offset = record->offset;
  o.partialChecksum = FieldText(record->partialChecksum);
  o.complete = IsTransferSuccess(o.status) && o.error.code == 0 &&
               Trim(o.error.message).empty() &&
               IsRegularFile(LibraryHostPath(p.localPath));

  const std::string cutBack = "; the partial file was cut back to " +
                              std::to_string(o.offset) + " bytes";
  if (o.status != 0 && o.error.code == kCodeBadPartial) {
    if (IsTransferSuccess(o.status)) {
      Failed(o, "the file failed its checksum (code 916)" + cutBack);
    } else {
      o.result = Result::kRefused;
      o.reason = "the service rejected the partial file (status " +
                 std::to_string(o.status) + ", code 916)" + cutBack +
                 " (--restart starts over)";
    }
  } else if (!IsTransferSuccess(o.status)) {
    Refused(o, at);
  } else if (o.complete) {
    o.result = Result::kOk;
  } else {
    TransferShortfall(o, o.rangeStart, o.received, o.fileSize);
  }
  return o;
}

namespace {

// Runs call with the process's standard output going to a temporary file,
// and returns what was written there.
template <typename Call>
std::string CaptureStandardOutput(Call call) {
  std::fflush(stdout);
  FILE* capture = std::tmpfile();
  const int saved = capture == nullptr ? -1 : ::dup(STDOUT_FILENO);
  if (saved < 0 || ::dup2(fileno(capture), STDOUT_FILENO) < 0) {
    if (saved >= 0) ::close(saved);
    if (capture != nullptr) std::fclose(capture);
    call();
    return std::string();
  }
  call();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(capture);
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, capture)) > 0) {
    text.append(buffer, got);
  }
  std::fclose(capture);
  return text;
}

int CountLines(const std::string& text, const std::string& line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos;
       at = text.find(line, at + line.size())) {
    ++count;
  }
  return count;
}

// The number of entries of a zip archive; -1 when it cannot be read as one.
int64_t ArchiveEntries(const std::string& hostPath) {
  unzFile zip = unzOpen64(hostPath.c_str());
  if (zip == nullptr) return -1;
  unz_global_info64 info{};
  const bool read = unzGetGlobalInfo64(zip, &info) == UNZ_OK;
  unzClose(zip);
  return read ? static_cast<int64_t>(info.number_entry) : -1;
}

int64_t HostFileSize(const std::string& hostPath) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

}  // namespace

std::string FreeName(const std::string& handsetPath) {
  const std::string path = HandsetPath(handsetPath);
  const size_t dot = path.rfind('.');
  const std::string front =
      dot == std::string::npos ? path : path.substr(0, dot);
  const std::string rest = dot == std::string::npos ? "" : path.substr(dot);
  for (int n = 1;; ++n) {
    const std::string name = front + "(" + std::to_string(n) + ")" + rest;
    if (!IsRegularFile(LibraryHostPath(name))) return name;
  }
}

LoadOutcome Load(const LoadParams& p, const Endpoint& at) {
  auto record = NewRecord<LoadRecord>();
  auto result = NewRecord<LoadResult>();
  auto error = NewRecord<HandsetError>();
  record->offset = p.offset;
  record->rangeEnd = p.rangeEnd;
  SetField(record->archivePath, HandsetPath(p.archivePath));
  SetField(record->targetDirectory, HandsetPath(p.targetDirectory));
  record->deleteArchive = 0;
  const std::u16string env = tools::Utf8ToUtf16(HandsetPath(p.environmentPath));
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  const std::string archive = LibraryHostPath(p.archivePath);
  const bool taken = IsRegularFile(archive);
  const std::string freeName = taken ? FreeName(p.archivePath) : "";

  LoadOutcome o;
  const std::string printed = CaptureStandardOutput([&] {
    o.seconds = Timed([&] {
      o.status = vesk_HandsetLoad(env.c_str(), record.get(), result.get(),
                                  error.get(), url.c_str(), at.port);
    });
  });
  o.failedEntries = CountLines(printed, "unzip fail\n");
  o.error = ReadError(*error);
  if (!IsTransferSuccess(o.status)) {
    Refused(o, at);
    return o;
  }
  o.rangeStart = result->rangeStart;
  o.received = result->received;
  o.fileSize = result->fileSize;
  if (!Trim(o.error.message).empty()) {
    TransferShortfall(o, o.rangeStart, o.received, o.fileSize);
    return o;
  }
  o.complete = true;
  o.unpackedArchive = HandsetPath(p.archivePath);
  if (taken && IsRegularFile(LibraryHostPath(freeName))) {
    o.newArchive = freeName;
  }
  o.entries = ArchiveEntries(archive);
  if (o.entries < 0) {
    Failed(o, "the archive at " + o.unpackedArchive + " (" +
                  std::to_string(std::max<int64_t>(HostFileSize(archive), 0)) +
                  " bytes) is not a zip archive: nothing was unpacked" +
                  (o.fileSize == 0 ? " (the reply announced no length)" : ""));
    return o;
  }
  if (o.failedEntries > 0) {
    Failed(o, std::to_string(o.failedEntries) + " of " +
                  std::to_string(o.entries) +
                  " entries could not be unpacked into " +
                  HandsetPath(p.targetDirectory) +
                  (p.deleteArchive ? "; the archive was kept" : ""));
    return o;
  }
  if (p.deleteArchive) o.archiveDeleted = std::remove(archive.c_str()) == 0;
  o.result = Result::kOk;
  return o;
}

SaveOutcome Save(const std::string& environmentPath,
                 const std::vector<SaveItem>& items, const Endpoint& at) {
  auto input = NewRecord<HandsetSaveInput>();
  auto error = NewRecord<HandsetError>();
  input->count = static_cast<int32_t>(items.size());
  for (size_t i = 0; i < items.size() && i < VESK80_SAVE_MAX_ENTRIES; ++i) {
    SetField(input->entries[i].path, HandsetPath(items[i].path));
    SetField(input->entries[i].action, items[i].update ? "update" : "delete");
  }
  // 1025 units hold any response text.
  std::vector<vesk_char16> output(1025, 0);
  const std::u16string env = tools::Utf8ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = tools::Utf8ToUtf16(at.url);
  SaveOutcome o;
  o.seconds = Timed([&] {
    o.status = vesk_HandsetSave(env.c_str(), input.get(), output.data(),
                                error.get(), url.c_str(), at.port);
  });
  if (o.status != 200) {
    o.error = ReadError(*error);
    Refused(o, at);
    return o;
  }
  o.response = FieldText(output.data(), output.size());
  o.result = Result::kOk;
  return o;
}

Json ToJson(const CallError& e) {
  return Json{
      {"code", e.code}, {"message", e.message}, {"timestamp", e.timestamp}};
}

namespace {

Json Base(const Outcome& o) {
  Json j;
  j["status"] = o.status;
  j["ok"] = o.ok();
  j["exit"] = o.exit();
  j["result"] = ResultName(o.result);
  j["reason"] = o.reason;
  // The library fills the error record on some success statuses too (a
  // failed check, a transfer that stopped): it is shown whenever it holds
  // something.
  const bool empty =
      o.error.code == 0 && o.error.message.empty() && o.error.timestamp.empty();
  j["error"] = empty && o.ok() ? Json() : ToJson(o.error);
  return j;
}

}  // namespace

Json ToJson(const ActivateOutcome& o) {
  Json j = Base(o);
  j["userId"] = o.userId;
  j["userNo"] = o.userNo;
  SetAccountFields(j, o);
  j["serverDate"] = o.serverDate;
  return j;
}

Json ToJson(const AccountOutcome& o) {
  Json j = Base(o);
  j["accountId"] = o.accountId;
  SetAccountFields(j, o);
  return j;
}

Json ToJson(const BeatOutcome& o) {
  Json j = Base(o);
  j["total"] = o.total;
  Json list = Json::array();
  for (const Notification& n : o.notifications) {
    Json e{
        {"kind", n.kind}, {"key", n.key}, {"title", n.title}, {"text", n.text}};
    if (n.kind == "content") {
      e["mime"] = n.mime;
      e["size"] = n.size;
    } else if (n.kind == "advertisement") {
      e["media"] = n.media;
      e["href"] = n.href;
    }
    list.push_back(std::move(e));
  }
  j["notifications"] = std::move(list);
  return j;
}

Json ToJson(const DownloadOutcome& o) {
  Json j = Base(o);
  j["complete"] = o.complete;
  j["rangeStart"] = o.rangeStart;
  j["received"] = o.received;
  j["fileSize"] = o.fileSize;
  j["checksum"] = o.checksum;
  j["offset"] = o.offset;
  j["partialChecksum"] = o.partialChecksum;
  return j;
}

Json ToJson(const LoadOutcome& o) {
  Json j = Base(o);
  j["complete"] = o.complete;
  j["rangeStart"] = o.rangeStart;
  j["received"] = o.received;
  j["fileSize"] = o.fileSize;
  j["entries"] = o.entries;
  j["failedEntries"] = o.failedEntries;
  j["unpackedArchive"] = o.unpackedArchive;
  j["newArchive"] = o.newArchive.empty() ? Json() : Json(o.newArchive);
  j["archiveDeleted"] = o.archiveDeleted;
  return j;
}

Json ToJson(const SaveOutcome& o) {
  Json j = Base(o);
  j["response"] = o.response;
  return j;
}

}  // namespace vesk::tool
