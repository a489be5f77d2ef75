#include "tools/vesk/ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/vesk/text.h"
#include "vesk80.h"

namespace vesk::tool {

namespace {

constexpr int32_t kCodeBadPartial = 916;

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

bool HostFileExists(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

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
  j.Set("username", fields.username);
  j.Set("email", fields.email);
  j.Set("name", fields.name);
  j.Set("province", fields.province);
  j.Set("gender", fields.gender);
  j.Set("figure", fields.figure);
}

}  // namespace

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
  const std::u16string url = ToUtf16(at.url);
  o.status = vesk_handsetActivate(input.get(), result.get(), error.get(),
                                  url.c_str(), at.port);
  o.serverDate = FieldText(result->serverDate);
  if (o.status != 200) {
    o.error = ReadError(*error);
    return o;
  }
  o.userId = result->userId;
  o.userNo = result->userNo;
  TakeAccountFields(*result, o);
  return o;
}

AccountOutcome Account(const std::string& environmentPath, const Endpoint& at) {
  auto result = NewRecord<AccountInfoResult>();
  auto error = NewRecord<HandsetError>();
  const std::u16string env = ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = ToUtf16(at.url);
  AccountOutcome o;
  o.status = vesk_AccountInfo(env.c_str(), result.get(), error.get(),
                              url.c_str(), at.port);
  if (o.status != 200) {
    o.error = ReadError(*error);
    return o;
  }
  o.accountId = result->accountId;
  TakeAccountFields(*result, o);
  return o;
}

BeatOutcome Beat(const std::string& environmentPath, const Endpoint& at) {
  auto result = NewRecord<HandsetBeatResult>();
  auto error = NewRecord<HandsetError>();
  const std::u16string env = ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = ToUtf16(at.url);
  BeatOutcome o;
  o.status = vesk_HandsetBeat(env.c_str(), result.get(), error.get(),
                              url.c_str(), at.port);
  if (o.status != 200) {
    o.error = ReadError(*error);
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
  return o;
}

DownloadOutcome Download(const DownloadParams& p, const Endpoint& at,
                         const Endpoint& confirm, const std::string& hostPath) {
  auto record = NewRecord<DownloadRecord>();
  auto result = NewRecord<DownloadResult>();
  auto error = NewRecord<HandsetError>();
  SetField(record->contentKey, p.key);
  record->offset = p.offset;
  record->rangeEnd = p.rangeEnd;
  const std::u16string env = ToUtf16(HandsetPath(p.environmentPath));
  const std::u16string local = ToUtf16(HandsetPath(p.localPath));
  const std::u16string url = ToUtf16(at.url);
  const std::u16string second = ToUtf16(confirm.url);
  DownloadOutcome o;
  o.status = vesk_HandsetDownload(env.c_str(), record.get(), result.get(),
                                  error.get(), local.c_str(), url.c_str(),
                                  at.port, second.c_str(), confirm.port);
  // The download clears both records after every exchange, so they describe
  // the last attempt whatever its status.
  o.error = ReadError(*error);
  o.rangeStart = result->rangeStart;
  o.received = result->received;
  o.fileSize = result->fileSize;
  o.checksum = FieldText(result->checksum);
  o.offset = record->offset;
  o.partialChecksum = FieldText(record->partialChecksum);
  o.complete = IsTransferSuccess(o.status) && o.error.code != kCodeBadPartial &&
               HostFileExists(hostPath);
  return o;
}

namespace {

// Runs call with the process's standard output going to a temporary file,
// and returns what was written there.
template <typename Call>
std::string CaptureStandardOutput(Call call) {
  std::fflush(stdout);
  FILE* capture = std::tmpfile();
  const int saved = capture == nullptr ? -1 : dup(STDOUT_FILENO);
  if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    if (saved >= 0) close(saved);
    if (capture != nullptr) std::fclose(capture);
    call();
    return std::string();
  }
  call();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
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

}  // namespace

LoadOutcome Load(const LoadParams& p, const Endpoint& at) {
  auto record = NewRecord<LoadRecord>();
  auto result = NewRecord<LoadResult>();
  auto error = NewRecord<HandsetError>();
  record->offset = p.offset;
  record->rangeEnd = p.rangeEnd;
  SetField(record->archivePath, HandsetPath(p.archivePath));
  SetField(record->targetDirectory, HandsetPath(p.targetDirectory));
  record->deleteArchive = p.deleteArchive ? 1 : 0;
  const std::u16string env = ToUtf16(HandsetPath(p.environmentPath));
  const std::u16string url = ToUtf16(at.url);
  LoadOutcome o;
  const std::string printed = CaptureStandardOutput([&] {
    o.status = vesk_HandsetLoad(env.c_str(), record.get(), result.get(),
                                error.get(), url.c_str(), at.port);
  });
  o.failedEntries = CountLines(printed, "unzip fail\n");
  if (!IsTransferSuccess(o.status)) {
    o.error = ReadError(*error);
    return o;
  }
  o.rangeStart = result->rangeStart;
  o.received = result->received;
  o.fileSize = result->fileSize;
  o.complete = int64_t{o.rangeStart} + o.received == o.fileSize;
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
  const std::u16string env = ToUtf16(HandsetPath(environmentPath));
  const std::u16string url = ToUtf16(at.url);
  SaveOutcome o;
  o.status = vesk_HandsetSave(env.c_str(), input.get(), output.data(),
                              error.get(), url.c_str(), at.port);
  if (o.status != 200) {
    o.error = ReadError(*error);
    return o;
  }
  o.response = FieldText(output.data(), output.size());
  return o;
}

int ExitFor(int32_t status) {
  if (status == 0) return kExitNoResponse;
  if (status == 200 || status == 206) return kExitOk;
  return kExitRefused;
}

int ExitFor(const DownloadOutcome& o) {
  if (o.status != 0 && o.error.code == kCodeBadPartial) return kExitRefused;
  if (IsTransferSuccess(o.status) && !o.complete) return kExitNoResponse;
  return ExitFor(o.status);
}

int ExitFor(const LoadOutcome& o) {
  if (IsTransferSuccess(o.status) && !o.complete) return kExitNoResponse;
  return ExitFor(o.status);
}

Json ToJson(const CallError& e) {
  Json j = Json::Object();
  j.Set("code", e.code);
  j.Set("message", e.message);
  j.Set("timestamp", e.timestamp);
  return j;
}

namespace {

Json Base(int32_t status, const CallError& e, bool success) {
  Json j = Json::Object();
  j.Set("status", status);
  j.Set("ok", success);
  j.Set("error", success ? Json() : ToJson(e));
  return j;
}

}  // namespace

Json ToJson(const ActivateOutcome& o) {
  Json j = Base(o.status, o.error, o.status == 200);
  j.Set("userId", o.userId);
  j.Set("userNo", o.userNo);
  SetAccountFields(j, o);
  j.Set("serverDate", o.serverDate);
  return j;
}

Json ToJson(const AccountOutcome& o) {
  Json j = Base(o.status, o.error, o.status == 200);
  j.Set("accountId", o.accountId);
  SetAccountFields(j, o);
  return j;
}

Json ToJson(const BeatOutcome& o) {
  Json j = Base(o.status, o.error, o.status == 200);
  j.Set("total", o.total);
  Json list = Json::Array();
  for (const Notification& n : o.notifications) {
    Json e = Json::Object();
    e.Set("kind", n.kind);
    e.Set("key", n.key);
    e.Set("title", n.title);
    e.Set("text", n.text);
    if (n.kind == "content") {
      e.Set("mime", n.mime);
      e.Set("size", n.size);
    } else if (n.kind == "advertisement") {
      e.Set("media", n.media);
      e.Set("href", n.href);
    }
    list.Push(std::move(e));
  }
  j.Set("notifications", std::move(list));
  return j;
}

Json ToJson(const DownloadOutcome& o) {
  Json j = Base(o.status, o.error, ExitFor(o) == kExitOk);
  // The download fills the error record for a failed check even on 200.
  if (o.error.code != 0 || !o.error.message.empty()) {
    j.Set("error", ToJson(o.error));
  }
  j.Set("complete", o.complete);
  j.Set("rangeStart", o.rangeStart);
  j.Set("received", o.received);
  j.Set("fileSize", o.fileSize);
  j.Set("checksum", o.checksum);
  j.Set("offset", o.offset);
  j.Set("partialChecksum", o.partialChecksum);
  return j;
}

Json ToJson(const LoadOutcome& o) {
  Json j = Base(o.status, o.error, ExitFor(o) == kExitOk);
  j.Set("complete", o.complete);
  j.Set("rangeStart", o.rangeStart);
  j.Set("received", o.received);
  j.Set("fileSize", o.fileSize);
  j.Set("failedEntries", o.failedEntries);
  return j;
}

Json ToJson(const SaveOutcome& o) {
  Json j = Base(o.status, o.error, o.status == 200);
  j.Set("response", o.response);
  return j;
}

}  // namespace vesk::tool
