// The six operations as the host tool calls them: UTF-8 in, UTF-8 out, each
// a thin wrapper that fills the library's records, calls the export, reads
// the records back and judges the outcome: whether the operation did what
// was asked, and if not, why, as the exit status and one line for people.
// The subcommands and the demo both use these.
#ifndef VESK_TOOLS_VESK_OPS_H_
#define VESK_TOOLS_VESK_OPS_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vesk::tool {

using Json = nlohmann::ordered_json;

// Exit statuses of the host tool.
enum Exit : int {
  kExitOk = 0,         // the operation did what was asked
  kExitRefused = 1,    // the service or the library refused, or the result
                       // is not what was asked (see Outcome::result)
  kExitUsage = 2,      // the command line was wrong, or a guard stopped it
  kExitNoResponse = 3  // no response, or a transfer that did not complete
};

// Where an exchange goes: the full URL and the TCP port to connect to.
struct Endpoint {
  std::string url;
  int32_t port = 80;
};

// The port written in an "http://host:port/..." URL; 80 when it has none,
// -1 when the URL does not have the form "http://host[:port]/path".
int32_t UrlPort(const std::string& url);
// The host of such a URL ("" when it has not that form).
std::string UrlHost(const std::string& url);

// VESK_TIMEOUT_SECONDS as the library reads it: unset, empty or not a
// number gives 60; 0 waits without limit.
int TimeoutSeconds();

// Why an exchange that ended with status 0 and no message of the library's
// got no response, found out after the call: the URL's host does not
// resolve ("cannot resolve host"), a TCP connect to host:port is refused
// ("connection refused") or does not complete ("timed out"), the call
// lasted the whole time-out ("timed out"), or else the peer closed the
// connection without a reply ("connection closed").
std::string NoResponseReason(const Endpoint& at, double seconds);

// The host path of a handset path as the library resolves it: an absolute
// one lies under VESK_DEVICE_ROOT (default "/").
std::string LibraryHostPath(const std::string& handsetPath);

// The error record, as text.
struct CallError {
  int32_t code = 0;
  std::string message;
  std::string timestamp;
};

// What every operation's outcome holds.
struct Outcome {
  enum class Result {
    kOk,          // did what was asked
    kRefused,     // the service refused (status), or the library did
                  // (status 0 or a 206 whose range it cannot use, with its
                  // message)
    kFailed,      // a reply came, but not what was asked: no id in it, a
                  // checksum that fails, entries not unpacked, ...
    kNoResponse,  // no status: see NoResponseReason
    kIncomplete   // a transfer that stopped early; running again continues
  };
  int32_t status = 0;
  CallError error;
  double seconds = 0;  // how long the library call took
  Result result = Result::kNoResponse;
  // Why the result is not kOk, for people: "refused, status 403, code
  // 901: ...", "no response from host:port: connection refused", ...
  std::string reason;

  bool ok() const { return result == Result::kOk; }
  int exit() const;
};

const char* ResultName(Outcome::Result result);

struct ActivateParams {
  std::string environmentPath;
  int32_t mode = 4;
  std::string userAgent, serial, username, password, name, email, province,
      validation, bom;
  int32_t gender = 0;
  int32_t figure = 0;
};
// Modes 2 and 4 register the handset: they succeed only when the reply
// assigns a user id (which the library then stores in the environment
// file). Modes 1, 3 and 5 succeed on status 200.
bool ModeRegisters(int32_t mode);

// The account's fields that the activation and the account information
// both return.
struct AccountFields {
  std::string username, email, name, province;
  int32_t gender = 0, figure = 0;
};

struct ActivateOutcome : Outcome, AccountFields {
  int32_t userId = 0, userNo = 0;
  std::string serverDate;
  bool environmentPrivate = false;  // the environment file is mode 0600
};
// The environment file that holds the handset's private key is created
// under a umask of 077, so it is never readable by others, and a file an
// earlier activation left is set to mode 0600 afterwards.
ActivateOutcome Activate(const ActivateParams& p, const Endpoint& at);

struct AccountOutcome : Outcome, AccountFields {
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
struct BeatOutcome : Outcome {
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
struct DownloadOutcome : Outcome {
  int32_t rangeStart = 0, received = 0, fileSize = 0;
  std::string checksum;
  uint32_t offset = 0;  // the record's offset after the call
  std::string partialChecksum;
  bool complete = false;  // the finished file is at the local path
};
DownloadOutcome Download(const DownloadParams& p, const Endpoint& at,
                         const Endpoint& confirm);

struct LoadParams {
  std::string environmentPath;
  int32_t offset = 0;
  int32_t rangeEnd = 0;
  std::string archivePath, targetDirectory;
  // Delete the archive once every entry is unpacked. The tool does this
  // itself: the library's own flag would delete an archive whose entries
  // failed too.
  bool deleteArchive = false;
};
struct LoadOutcome : Outcome {
  int32_t rangeStart = 0, received = 0, fileSize = 0;
  bool complete = false;  // the whole archive arrived
  // Entries in the archive that was unpacked; -1 when it is not a zip
  // archive that can be read.
  int64_t entries = -1;
  // Entries the library could not unpack: it reports each with the line
  // "unzip fail" on standard output, which the tool takes in instead of
  // letting it mix with its own output.
  int failedEntries = 0;
  // The archive that was unpacked: the archive path. When an older file
  // held that path, the library unpacks that older file and moves the new
  // archive to a free name beside it ("(1)" before the last "."), which is
  // newArchive.
  std::string unpackedArchive;
  std::string newArchive;
  bool archiveDeleted = false;
};
LoadOutcome Load(const LoadParams& p, const Endpoint& at);

// The free name the library gives a file whose path is taken: "(1)", "(2)",
// ... before the last "." of the whole path (at the end without one), the
// first that no file holds.
std::string FreeName(const std::string& handsetPath);

struct SaveItem {
  std::string path;
  bool update = true;  // false: ask the service to delete the file
};
struct SaveOutcome : Outcome {
  std::string response;  // the service's response as first received
};
SaveOutcome Save(const std::string& environmentPath,
                 const std::vector<SaveItem>& items, const Endpoint& at);

// The `--json` forms of the outcomes: the record's fields, "status", "ok",
// "exit", "result", "reason" and the "error" record.
Json ToJson(const CallError& e);
Json ToJson(const ActivateOutcome& o);
Json ToJson(const AccountOutcome& o);
Json ToJson(const BeatOutcome& o);
Json ToJson(const DownloadOutcome& o);
Json ToJson(const LoadOutcome& o);
Json ToJson(const SaveOutcome& o);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_OPS_H_
