// The six operations as the host tool calls them: UTF-8 in, UTF-8 out, each
// a thin wrapper that fills the library's records, calls the export and reads
// the records back. The subcommands and the demo both use these.
#ifndef VESK_TOOLS_VESK_OPS_H_
#define VESK_TOOLS_VESK_OPS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vesk/json.h"

namespace vesk::tool {

// Where an exchange goes: the full URL and the TCP port to connect to.
struct Endpoint {
  std::string url;
  int32_t port = 80;
};

// The port written in an "http://host:port/..." URL; 80 when it has none,
// -1 when the URL does not have the form "http://host[:port]/path".
int32_t UrlPort(const std::string& url);

// The error record, as text.
struct CallError {
  int32_t code = 0;
  std::string message;
  std::string timestamp;
};

struct ActivateParams {
  std::string environmentPath;
  int32_t mode = 4;
  std::string userAgent, serial, username, password, name, email, province,
      validation, bom;
  int32_t gender = 0;
  int32_t figure = 0;
};
// The account's fields that the activation and the account information
// both return.
struct AccountFields {
  std::string username, email, name, province;
  int32_t gender = 0, figure = 0;
};

struct ActivateOutcome : AccountFields {
  int32_t status = 0;
  CallError error;
  int32_t userId = 0, userNo = 0;
  std::string serverDate;
};
ActivateOutcome Activate(const ActivateParams& p, const Endpoint& at);

struct AccountOutcome : AccountFields {
  int32_t status = 0;
  CallError error;
  int32_t accountId = 0;
};
AccountOutcome Account(const std::string& environmentPath, const Endpoint& at);

struct Notification {
  std::string kind;  // "content", "message" or "advertisement"
  std::string key, title, text;
  std::string mime;         // content only
  int32_t size = 0;         // content only
  std::string media, href;  // advertisement only
};
struct BeatOutcome {
  int32_t status = 0;
  CallError error;
  int32_t total = 0;
  std::vector<Notification> notifications;
};
BeatOutcome Beat(const std::string& environmentPath, const Endpoint& at);

struct DownloadParams {
  std::string environmentPath;
  std::string key;
  std::string localPath;  // handset path of the finished file
  uint32_t offset = 0;
  uint32_t rangeEnd = 0;
};
struct DownloadOutcome {
  int32_t status = 0;
  CallError error;
  int32_t rangeStart = 0, received = 0, fileSize = 0;
  std::string checksum;
  uint32_t offset = 0;  // the record's offset after the call
  std::string partialChecksum;
  bool complete = false;  // the finished file is at the local path
};
DownloadOutcome Download(const DownloadParams& p, const Endpoint& at,
                         const Endpoint& confirm, const std::string& hostPath);

struct LoadParams {
  std::string environmentPath;
  int32_t offset = 0;
  int32_t rangeEnd = 0;
  std::string archivePath, targetDirectory;
  bool deleteArchive = false;
};
struct LoadOutcome {
  int32_t status = 0;
  CallError error;
  int32_t rangeStart = 0, received = 0, fileSize = 0;
  bool complete = false;  // the whole archive arrived
  // Entries the library could not unpack: it reports each with the line
  // "unzip fail" on standard output, which the tool takes in instead of
  // letting it mix with its own output.
  int failedEntries = 0;
};
LoadOutcome Load(const LoadParams& p, const Endpoint& at);

struct SaveItem {
  std::string path;
  bool update = true;  // false: ask the service to delete the file
};
struct SaveOutcome {
  int32_t status = 0;
  CallError error;
  std::string response;  // the service's response as first received
};
SaveOutcome Save(const std::string& environmentPath,
                 const std::vector<SaveItem>& items, const Endpoint& at);

// Exit statuses of the host tool.
enum Exit : int {
  kExitOk = 0,
  kExitRefused = 1,    // the service refused, or a download failed its check
  kExitUsage = 2,      // the command line was wrong
  kExitNoResponse = 3  // no response, or a transfer that did not complete
};
int ExitFor(int32_t status);
int ExitFor(const DownloadOutcome& o);
int ExitFor(const LoadOutcome& o);

// The `--json` forms of the outcomes.
Json ToJson(const CallError& e);
Json ToJson(const ActivateOutcome& o);
Json ToJson(const AccountOutcome& o);
Json ToJson(const BeatOutcome& o);
Json ToJson(const DownloadOutcome& o);
Json ToJson(const LoadOutcome& o);
Json ToJson(const SaveOutcome& o);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_OPS_H_
