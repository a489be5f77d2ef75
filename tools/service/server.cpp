// The reference service's HTTP/1.1 server: one thread per connection, one
// request per connection, the connection closed after the reply.
//
// Map of this file:
//   Connection     - the socket of one request: reading, sending, closing
//   Reply helpers  - heads, short replies, refusals, streamed file bodies
//   Identity       - the handset checks every request goes through
//   Operations     - activation, account, heartbeat, download and its
//                    confirmation, package load, save
//   Serve          - the listener, signals and the shutdown
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tools/common/text.h"
#include "tools/service/request.h"
#include "tools/service/service.h"

namespace vesk::service_tool {

namespace {

namespace fs = std::filesystem;

// The service's own error codes in "X-Error-Code". 906, 914, 915 and 916
// are the ones handsets act on; the others only explain a refusal.
enum ErrorCode : int {
  kMalformed = 900,
  kUnknownHandset = 901,
  kBadCertificate = 902,
  kBadKey = 903,
  kNoSuchPath = 904,
  kClockDifference = 906,
  kWrongPassword = 910,
  kNameTaken = 911,
  kWrongValidation = 914,
  kExpiredValidation = 915,
  kPartialMismatch = 916,
  kNoSuchContent = 917,
  kNoSuchPackage = 918,
  kUploadRefused = 919,
  kInternal = 999,
};

// How far a certificate's time stamp may be from the service's clock.
constexpr int64_t kCertificateWindowSeconds = 300;
// Form bodies are short; anything longer is refused.
constexpr uint64_t kMaxFormBytes = 64 * 1024;
// Handsets read a reply's head and its short body with one 1024-byte
// receive: such replies are sent in one piece and must fit.
constexpr size_t kFirstReceive = 1024;
constexpr size_t kStreamBlock = 64 * 1024;
// Connections served at once, each on its own thread.
constexpr size_t kMaxConnections = 128;

struct Context {
  Context(Store& s, const ServeOptions& o) : store(s), options(o) {}

  Store& store;
  const ServeOptions& options;
  std::atomic<int> cutsLeft{0};
  std::mutex connectionsLock;
  std::condition_variable connectionsDone;
  std::set<int> connections;
  std::mutex logLock;

  std::time_t Now() const {
    return std::time(nullptr) + static_cast<std::time_t>(options.clockOffset);
  }
  std::string Timestamp() const {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count() %
        1000);
    return HandsetTimestamp(Now(), millis);
  }
  // True for a reply that is to be cut; counts the cut.
  bool TakeCut() {
    if (options.cutAfter < 0) return false;
    int left = cutsLeft.load();
    while (left > 0) {
      if (cutsLeft.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
  }
};

// ---- Connection
// ---------------------------------------------------------------

class Connection {
 public:
  Connection(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  const std::string& peer() const { return peer_; }

  // Up to `capacity` bytes; 0 at the end of the stream or on an error or
  // time-out.
  size_t Receive(char* buffer, size_t capacity) {
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, capacity, 0);
      if (got > 0) return static_cast<size_t>(got);
      if (got < 0 && errno == EINTR) continue;
      return 0;
    }
  }

  // All bytes, or false.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent =
          ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
      sent_ += static_cast<uint64_t>(sent);
    }
    return true;
  }
  uint64_t SentBytes() const { return sent_; }

  // Ends the reply: the peer sees the end of the stream, and what it still
  // sends (the line end after a form body, say) is read and dropped, so that
  // closing does not reset the connection under a reply it has not read.
  void Finish() {
    ::shutdown(fd_, SHUT_WR);
    timeval wait{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // A refused upload still arrives whole before the handset reads the
    // reply; the idle time-out bounds a peer that never stops.
    char sink[16384];
    uint64_t drained = 0;
    while (drained < (uint64_t{1} << 32)) {
      const size_t got = Receive(sink, sizeof sink);
      if (got == 0) break;
      drained += got;
    }
  }

 private:
  int fd_;
  std::string peer_;
  uint64_t sent_ = 0;
};

// ---- Reply helpers
// ------------------------------------------------------------

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 416:
      return "Range Not Satisfiable";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Internal Server Error";
  }
}

using Headers = std::vector<std::pair<std::string, std::string>>;

std::string Head(const Context& context, int status, const Headers& headers,
                 uint64_t contentLength) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                     Reason(status) + "\r\nDate: " + HttpDate(context.Now()) +
                     "\r\nConnection: close\r\n";
  for (const auto& [name, value] : headers) {
    head += name + ": " + value + "\r\n";
  }
  head += "Content-Length: " + std::to_string(contentLength) + "\r\n\r\n";
  return head;
}

// What the access log says about one request.
struct Outcome {
  int status = 0;
  int code = 0;
  int64_t userId = 0;
  uint64_t bodyBytes = 0;
  bool cut = false;
};

// A reply whose head and body go out in one send; both must fit the
// handset's first receive when the body is meant to be read from it.
void SendShort(Context& context, Connection& connection, Outcome& outcome,
               int status, const Headers& headers, std::string_view body) {
  std::string reply = Head(context, status, headers, body.size());
  reply.append(body.data(), body.size());
  outcome.status = status;
  outcome.bodyBytes = body.size();
  connection.Send(reply);
}

void SendRefusal(Context& context, Connection& connection, Outcome& outcome,
                 int status, int code, const std::string& message,
                 Headers extra = {}) {
  Headers headers = {{"X-Error-Code", std::to_string(code)},
                     {"X-Error-Message", message}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  outcome.code = code;
  SendShort(context, connection, outcome, status, headers, message + "\n");
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Sends bytes [from, from + length) of the file after the head: the head
// with the first body bytes in one send, so that a handset's first receive
// finds both, then the rest in fixed blocks. A cut ends the body after the
// configured number of bytes.
void SendFileBody(Context& context, Connection& connection, Outcome& outcome,
                  int status, const Headers& headers, const std::string& path,
                  uint64_t from, uint64_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const FileCloser closer{fd};
  if (fd < 0) {
    SendRefusal(context, connection, outcome, 500, kInternal,
                "stored file is missing");
    return;
  }
  outcome.status = status;
  uint64_t limit = length;
  if (context.TakeCut()) {
    outcome.cut = true;
    limit = std::min<uint64_t>(length,
                               static_cast<uint64_t>(context.options.cutAfter));
  }
  std::string block = Head(context, status, headers, length);
  const size_t first =
      block.size() < kFirstReceive
          ? std::min<uint64_t>(kFirstReceive - block.size(), limit)
          : 0;
  std::vector<char> buffer(kStreamBlock);
  uint64_t done = 0;
  size_t want = first;
  for (;;) {
    while (want > 0) {
      const ssize_t got =
          ::pread(fd, buffer.data(), want, static_cast<off_t>(from + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // The file shrank under us: end the reply short.
        connection.Send(block);
        return;
      }
      block.append(buffer.data(), static_cast<size_t>(got));
      done += static_cast<uint64_t>(got);
      want -= static_cast<size_t>(got);
    }
    if (!block.empty() && !connection.Send(block)) return;
    outcome.bodyBytes = done;
    block.clear();
    if (done >= limit) return;
    want = static_cast<size_t>(std::min<uint64_t>(kStreamBlock, limit - done));
  }
}

// Reads the body that follows the head, up to Content-Length, into memory.
// nullopt (after a refusal was sent) when it is too long or ends early.
std::optional<std::string> ReadFormBody(Context& context,
                                        Connection& connection,
                                        Outcome& outcome,
                                        const RequestHead& head,
                                        std::string already) {
  if (!head.hasContentLength) {
    if (already.empty()) return std::string();
    SendRefusal(context, connection, outcome, 411, kMalformed,
                "Content-Length required");
    return std::nullopt;
  }
  if (head.contentLength > kMaxFormBytes) {
    SendRefusal(context, connection, outcome, 413, kMalformed,
                "form body too large");
    return std::nullopt;
  }
  const size_t length = static_cast<size_t>(head.contentLength);
  std::string body = std::move(already);
  char buffer[4096];
  while (body.size() < length) {
    const size_t got = connection.Receive(buffer, sizeof buffer);
    if (got == 0) {
      SendRefusal(context, connection, outcome, 400, kMalformed,
                  "body shorter than its Content-Length");
      return std::nullopt;
    }
    body.append(buffer, got);
  }
  body.resize(length);
  return body;
}

// ---- Identity
// -------------------------------------------------------------------

int64_t ParseId(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 12) return 0;
  int64_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The handset a request comes from: "User-Serial" and "User-ID" must name a
// registered handset, and with `certificate` its "User-Cert" must recover,
// with the handset's public key, to a time stamp near the service's clock.
// nullopt after a refusal has been sent.
std::optional<Handset> Authenticate(Context& context, Connection& connection,
                                    Outcome& outcome, const RequestHead& head,
                                    bool certificate) {
  const int64_t userId = ParseId(head.Header("User-ID"));
  const std::string serial = head.Header("User-Serial").value_or("");
  std::optional<Handset> handset;
  if (userId > 0) handset = context.store.HandsetByUserId(userId);
  if (!handset || serial.empty() || handset->serial != serial) {
    SendRefusal(context, connection, outcome, 403, kUnknownHandset,
                "unknown handset");
    return std::nullopt;
  }
  outcome.userId = handset->userId;
  if (!certificate) return handset;

  const std::optional<std::string> text =
      RecoverCertificate(handset->modulus, handset->exponent,
                         head.Header("User-Cert").value_or(""));
  if (!text) {
    SendRefusal(context, connection, outcome, 403, kBadCertificate,
                "certificate does not match the handset's key");
    return std::nullopt;
  }
  const std::optional<std::time_t> stamped = ParseHandsetTimestamp(*text);
  if (!stamped) {
    SendRefusal(context, connection, outcome, 403, kBadCertificate,
                "certificate holds no time stamp");
    return std::nullopt;
  }
  const int64_t difference =
      static_cast<int64_t>(context.Now()) - static_cast<int64_t>(*stamped);
  if (difference > kCertificateWindowSeconds ||
      difference < -kCertificateWindowSeconds) {
    SendRefusal(context, connection, outcome, 403, kClockDifference,
                "clock difference too large",
                {{"X-Server-Timestamp", context.Timestamp()}});
    return std::nullopt;
  }
  return handset;
}

// ---- Operations
// ---------------------------------------------------------------

std::string FormValue(const std::map<std::string, std::string>& form,
                      const char* name) {
  const auto found = form.find(name);
  return found == form.end() ? std::string() : HandsetTextToUtf8(found->second);
}

int64_t FormNumber(const std::map<std::string, std::string>& form,
                   const char* name) {
  const auto found = form.find(name);
  if (found == form.end()) return 0;
  return std::strtoll(found->second.c_str(), nullptr, 10);
}

}  // namespace

// The account document of the activation and account replies: the account
// with its id as a direct child of the document element, the values inside
// it, names and provinces as encoded words.
std::string AccountDocument(const Account& account,
                            const std::optional<Handset>& handset) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><reply><account id=\"" +
      std::to_string(account.id) + "\">";
  if (handset) {
    xml += "<user-id>" + std::to_string(handset->userId) +
           "</user-id><user-no>" + std::to_string(handset->userNo) +
           "</user-no>";
  }
  xml += "<username>" + XmlEscape(account.username) + "</username><email>" +
         XmlEscape(account.email) + "</email><name>" +
         XmlEscape(EncodedWord(account.name)) + "</name><province>" +
         XmlEscape(EncodedWord(account.province)) + "</province><gender>" +
         std::to_string(account.gender) + "</gender><figure>" +
         std::to_string(account.figure) + "</figure></account></reply>";
  return xml;
}

bool AccountReplyFits(const Account& account) {
  Account widest = account;
  widest.id = std::numeric_limits<int64_t>::max();
  widest.gender = widest.figure = std::numeric_limits<int64_t>::min();
  Handset handset;
  handset.userId = handset.userNo = std::numeric_limits<int64_t>::max();
  // The head of an account reply stays well under this.
  constexpr size_t kHeadRoom = 200;
  return AccountDocument(widest, handset).size() + kHeadRoom <= kFirstReceive;
}

namespace {

void SendAccount(Context& context, Connection& connection, Outcome& outcome,
                 const Account& account,
                 const std::optional<Handset>& handset) {
  SendShort(context, connection, outcome, 200,
            {{"Content-Type", "text/xml; charset=utf-8"}},
            AccountDocument(account, handset));
}

std::string NewValidationCode() {
  std::random_device random;
  return std::to_string(100000 + random() % 900000);
}

// Activation. The handset does not name its mode; the form tells it:
//   key material and a name      - register an account and bind (mode 4)
//   key material                 - bind to an existing account (mode 2)
//   a name without key material  - register an account (mode 1)
//   name and password only       - return the account or check the password
//                                  (modes 3 and 5, which send the same form)
void Activate(Context& context, Connection& connection, Outcome& outcome,
              const RequestHead& head, const std::string& body) {
  const auto form = ParseForm(body);
  const std::string username = FormValue(form, "username");
  const std::string password = FormValue(form, "password");
  if (username.empty()) {
    SendRefusal(context, connection, outcome, 400, kMalformed,
                "username missing");
    return;
  }
  const bool binds = form.count("modulus") > 0;
  const bool registers = form.count("name") > 0;
  std::optional<Account> account = context.store.AccountByName(username);

  if (registers && !(binds && account)) {
    if (account) {
      SendRefusal(context, connection, outcome, 409, kNameTaken,
                  "account name taken");
      return;
    }
    Account fresh;
    fresh.username = username;
    fresh.password = password;
    fresh.name = FormValue(form, "name");
    fresh.email = FormValue(form, "email");
    fresh.province = FormValue(form, "province");
    fresh.gender = FormNumber(form, "gender");
    fresh.figure = FormNumber(form, "figure");
    fresh.validation = NewValidationCode();
    fresh.validationExpires = context.Now() + 7 * 24 * 3600;
    if (!AccountReplyFits(fresh)) {
      SendRefusal(context, connection, outcome, 400, kMalformed,
                  "account values too long");
      return;
    }
    fresh.id = context.store.AddAccount(fresh);
    if (fresh.id == 0) {
      SendRefusal(context, connection, outcome, 409, kNameTaken,
                  "account name taken");
      return;
    }
    account = fresh;
  } else {
    if (!account || account->password != password) {
      SendRefusal(context, connection, outcome, 403, kWrongPassword,
                  "wrong account name or password");
      return;
    }
    if (binds) {
      const std::string code = FormValue(form, "validation");
      if (code != account->validation) {
        SendRefusal(context, connection, outcome, 403, kWrongValidation,
                    "wrong validation code",
                    {{"X-Util-Timestamp", context.Timestamp()}});
        return;
      }
      if (context.Now() > account->validationExpires) {
        SendRefusal(
            context, connection, outcome, 403, kExpiredValidation,
            "validation code expired",
            {{"X-Util-Timestamp",
              HandsetTimestamp(
                  static_cast<std::time_t>(account->validationExpires), 0)}});
        return;
      }
    }
  }

  std::optional<Handset> handset;
  const std::string serial = head.Header("User-Serial").value_or("");
  if (binds) {
    const std::string modulus = form.at("modulus");
    const std::string exponent =
        form.count("exponent") ? form.at("exponent") : std::string();
    // A 1024-bit modulus is 172 base64 characters; less than 512 bits
    // cannot carry a certificate at all.
    if (serial.empty() || modulus.size() < 88 || exponent.empty()) {
      SendRefusal(context, connection, outcome, 400, kBadKey,
                  "handset serial or key missing");
      return;
    }
    handset = context.store.BindHandset(account->id, serial, modulus, exponent);
  } else if (!serial.empty()) {
    handset = context.store.HandsetBySerial(serial);
    if (handset && handset->accountId != account->id) handset.reset();
  }
  if (handset) outcome.userId = handset->userId;
  SendAccount(context, connection, outcome, *account, handset);
}

void AccountInfo(Context& context, Connection& connection, Outcome& outcome,
                 const RequestHead& head) {
  const auto handset = Authenticate(context, connection, outcome, head, true);
  if (!handset) return;
  const auto account = context.store.AccountById(handset->accountId);
  if (!account) {
    SendRefusal(context, connection, outcome, 404, kWrongPassword,
                "the handset's account is gone");
    return;
  }
  SendAccount(context, connection, outcome, *account, std::nullopt);
}

// The notification document in the configured encoding.
std::string NotificationDocument(const std::vector<Notification>& pending,
                                 const std::string& encoding) {
  std::string declared = "UTF-8";
  if (encoding == "gbk") declared = "GBK";
  if (encoding == "utf-16le") declared = "UTF-16";
  std::string xml = "<?xml version=\"1.0\" encoding=\"" + declared +
                    "\"?>\r\n<push><notifications total=\"" +
                    std::to_string(pending.size()) + "\">";
  auto element = [&xml](const char* name, const std::string& value) {
    xml += std::string("<") + name + ">" + XmlEscape(value) + "</" + name + ">";
  };
  for (const Notification& n : pending) {
    const char* name = n.kind == "content"   ? "content"
                       : n.kind == "message" ? "message"
                                             : "advertisement";
    xml += std::string("\r\n<") + name + " key=\"" + XmlEscape(n.key) + "\">";
    if (n.kind == "content") {
      element("mime", n.mime);
      element("size", std::to_string(n.size));
    }
    element("title", n.title);
    element("text", n.text);
    if (n.kind != "content" && n.kind != "message") {
      element("media", n.media);
      element("href", n.href);
    }
    xml += std::string("</") + name + ">";
  }
  xml += "\r\n</notifications></push>\r\n";
  if (encoding == "gbk") return FromUtf8(xml, "GBK");
  if (encoding == "utf-16le") {
    std::string wide = "\xFF\xFE";  // the byte order mark
    for (const char16_t unit : tools::Utf8ToUtf16(xml)) {
      wide.push_back(static_cast<char>(unit & 0xFF));
      wide.push_back(static_cast<char>(unit >> 8));
    }
    return wide;
  }
  return xml;
}

void Heartbeat(Context& context, Connection& connection, Outcome& outcome,
               const RequestHead& head) {
  const auto handset = Authenticate(context, connection, outcome, head, false);
  if (!handset) return;
  const std::vector<Notification> pending =
      context.store.TakeNotifications(handset->userId);
  const std::string document =
      NotificationDocument(pending, context.options.encoding);
  const std::string charset = context.options.encoding == "gbk" ? "GBK"
                              : context.options.encoding == "utf-16le"
                                  ? "UTF-16"
                                  : "UTF-8";
  std::string reply =
      Head(context, 200, {{"Content-Type", "text/xml; charset=" + charset}},
           document.size()) +
      document;
  outcome.status = 200;
  outcome.bodyBytes = document.size();
  // Delivered means sent whole: a heartbeat that did not get its reply out
  // finds the same notifications next time. They are taken before the send,
  // since the handset may beat again as soon as it has read the reply.
  if (!connection.Send(reply)) {
    std::vector<int64_t> ids;
    for (const Notification& n : pending) ids.push_back(n.id);
    context.store.ReturnNotifications(ids);
  }
}

// Serves a stored file whole (200) or from a "Range" (206 with
// "Content-Range"). A range that starts past the end is refused with `code`.
void ServeRange(Context& context, Connection& connection, Outcome& outcome,
                const RequestHead& head, const std::string& path, uint64_t size,
                Headers headers, int pastEndCode) {
  const std::optional<std::string> rangeText = head.Header("Range");
  if (!rangeText) {
    SendFileBody(context, connection, outcome, 200, headers, path, 0, size);
    return;
  }
  const std::optional<ByteRange> range = ParseRange(*rangeText);
  if (!range) {
    SendRefusal(context, connection, outcome, 400, kMalformed,
                "malformed Range");
    return;
  }
  if (range->from > size) {
    SendRefusal(context, connection, outcome, 416, pastEndCode,
                "range starts past the end of the file");
    return;
  }
  uint64_t last = size == 0 ? 0 : size - 1;
  if (range->to >= 0 && static_cast<uint64_t>(range->to) < last) {
    last = static_cast<uint64_t>(range->to);
  }
  const uint64_t length = range->from >= size ? 0 : last - range->from + 1;
  headers.emplace_back(
      "Content-Range",
      "bytes " + std::to_string(range->from) + "-" +
          std::to_string(range->from + length == 0 ? 0
                                                   : range->from + length - 1) +
          "/" + std::to_string(size));
  SendFileBody(context, connection, outcome, 206, headers, path, range->from,
               length);
}

void Download(Context& context, Connection& connection, Outcome& outcome,
              const RequestHead& head, const std::string& body) {
  const auto handset = Authenticate(context, connection, outcome, head, true);
  if (!handset) return;
  const auto form = ParseForm(body);
  const auto content = context.store.ContentByKey(FormValue(form, "key"));
  if (!content) {
    SendRefusal(context, connection, outcome, 404, kNoSuchContent,
                "no content with that key");
    return;
  }
  const std::string path = context.store.DataDir() + "/" + content->file;
  // A resuming handset proves its partial file: its MD5 must be that of our
  // own first bytes, or it has to shorten the file and try again.
  const std::optional<std::string> partial = head.Header("X-Checksum");
  const std::optional<std::string> rangeText = head.Header("Range");
  if (partial && rangeText) {
    const std::optional<ByteRange> range = ParseRange(*rangeText);
    if (range && range->from <= static_cast<uint64_t>(content->size) &&
        FileMd5(path, static_cast<int64_t>(range->from)) != *partial) {
      SendRefusal(context, connection, outcome, 416, kPartialMismatch,
                  "partial file differs from the content");
      return;
    }
  }
  ServeRange(context, connection, outcome, head, path,
             static_cast<uint64_t>(content->size),
             {{"Content-Type", "application/octet-stream"},
              {"X-Checksum", content->md5}},
             kPartialMismatch);
}

void ConfirmDownload(Context& context, Connection& connection, Outcome& outcome,
                     const RequestHead& head, const std::string& body) {
  const auto handset = Authenticate(context, connection, outcome, head, true);
  if (!handset) return;
  const auto form = ParseForm(body);
  const auto content = context.store.ContentByKey(FormValue(form, "key"));
  if (!content) {
    SendRefusal(context, connection, outcome, 404, kNoSuchContent,
                "no content with that key");
    return;
  }
  context.store.RecordDelivery(handset->userId, content->key, content->size);
  SendShort(context, connection, outcome, 200, {{"Content-Type", "text/plain"}},
            "confirmed\n");
}

void LoadPackage(Context& context, Connection& connection, Outcome& outcome,
                 const RequestHead& head, std::string_view packagePath) {
  const auto handset = Authenticate(context, connection, outcome, head, true);
  if (!handset) return;
  const auto file = context.store.PackageFile(
      tools::PercentDecode(packagePath, /*plusIsBlank=*/false));
  struct stat info {};
  const std::string path = file ? context.store.DataDir() + "/" + *file : "";
  if (!file || ::stat(path.c_str(), &info) != 0) {
    SendRefusal(context, connection, outcome, 404, kNoSuchPackage,
                "no package at that path");
    return;
  }
  ServeRange(context, connection, outcome, head, path,
             static_cast<uint64_t>(info.st_size),
             {{"Content-Type", "application/zip"}}, kMalformed);
}

// The stored path of a handset path: "\Storage Card\notes.txt" ->
// "Storage Card/notes.txt". Empty when the path cannot be stored safely.
std::string StoredPath(const std::string& handsetPath) {
  std::string stored;
  size_t at = 0;
  while (at <= handsetPath.size()) {
    size_t end = handsetPath.find_first_of("\\/", at);
    if (end == std::string::npos) end = handsetPath.size();
    const std::string part = handsetPath.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == ".." || part.find('\0') != std::string::npos) {
      return std::string();
    }
    if (!stored.empty()) stored += '/';
    stored += part;
  }
  return stored;
}

// One upload request: updates are written to scratch files as they arrive
// and take their places, and deletes are done, only once the whole body has
// been read, so that a broken request changes nothing.
class UploadSession {
 public:
  UploadSession(Context& context, int64_t userId)
      : context_(context),
        userId_(userId),
        base_(context.store.DataDir() + "/uploads/" + std::to_string(userId)) {}
  ~UploadSession() {
    CloseFile();
    for (const Action& action : actions_) {
      if (!action.scratch.empty()) ::unlink(action.scratch.c_str());
    }
  }
  UploadSession(const UploadSession&) = delete;
  UploadSession& operator=(const UploadSession&) = delete;

  MultipartReader::Handler Handler() {
    return {[this](const PartHead& part) { return Begin(part); },
            [this](std::string_view data) { return Data(data); },
            [this]() { return End(); }};
  }

  const std::string& Problem() const { return problem_; }

  // Applies the request; counts of stored and deleted files.
  std::pair<int, int> Apply() {
    int stored = 0, deleted = 0;
    for (Action& action : actions_) {
      const std::string target = base_ + "/" + action.stored;
      if (action.update) {
        std::error_code ec;
        fs::create_directories(fs::path(target).parent_path(), ec);
        if (::rename(action.scratch.c_str(), target.c_str()) != 0) continue;
        action.scratch.clear();
        context_.store.RecordUpload(
            Upload{userId_, action.handsetPath, action.size, FileMd5(target)},
            action.stored);
        ++stored;
      } else {
        if (context_.store.RemoveUpload(userId_, action.stored)) ++deleted;
        ::unlink(target.c_str());
      }
    }
    return {stored, deleted};
  }

 private:
  struct Action {
    bool update = false;
    std::string handsetPath, stored, scratch;
    int64_t size = 0;
  };

  bool Begin(const PartHead& part) {
    Action action;
    if (part.name.rfind("update", 0) == 0) {
      action.update = true;
      action.handsetPath = HandsetTextToUtf8(part.filename);
      action.stored = StoredPath(action.handsetPath);
      if (!part.hasFilename || action.stored.empty()) {
        problem_ = "update part without a usable file name";
        return false;
      }
      std::error_code ec;
      fs::create_directories(base_, ec);
      action.scratch = base_ + "/.incoming-XXXXXX";
      fd_ = ::mkstemp(action.scratch.data());
      if (fd_ < 0) {
        problem_ = "cannot store the file";
        return false;
      }
    } else if (part.name.rfind("delete", 0) != 0) {
      ignoring_ = true;  // a field the service does not know
      return true;
    }
    actions_.push_back(std::move(action));
    deletePath_.clear();
    ignoring_ = false;
    return true;
  }

  bool Data(std::string_view data) {
    if (ignoring_) return true;
    Action& action = actions_.back();
    if (!action.update) {
      deletePath_.append(data.data(), data.size());
      if (deletePath_.size() > 1024) {
        problem_ = "delete part too long";
        return false;
      }
      return true;
    }
    while (!data.empty()) {
      const ssize_t written = ::write(fd_, data.data(), data.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        problem_ = "cannot store the file";
        return false;
      }
      data.remove_prefix(static_cast<size_t>(written));
      action.size += written;
    }
    return true;
  }

  bool End() {
    if (ignoring_) return true;
    Action& action = actions_.back();
    if (action.update) {
      CloseFile();
      return true;
    }
    while (!deletePath_.empty() &&
           (deletePath_.back() == '\r' || deletePath_.back() == '\n')) {
      deletePath_.pop_back();
    }
    action.handsetPath = HandsetTextToUtf8(deletePath_);
    action.stored = StoredPath(action.handsetPath);
    if (action.stored.empty()) {
      problem_ = "delete part without a usable path";
      return false;
    }
    return true;
  }

  void CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  Context& context_;
  int64_t userId_;
  std::string base_;
  std::vector<Action> actions_;
  std::string deletePath_;
  std::string problem_;
  bool ignoring_ = false;
  int fd_ = -1;
};

void Save(Context& context, Connection& connection, Outcome& outcome,
          const RequestHead& head, std::string already) {
  const auto handset = Authenticate(context, connection, outcome, head, true);
  if (!handset) return;
  const std::optional<std::string> boundary =
      MultipartBoundary(head.Header("Content-Type").value_or(""));
  if (!boundary) {
    SendRefusal(context, connection, outcome, 400, kUploadRefused,
                "multipart/form-data with a boundary expected");
    return;
  }
  if (!head.hasContentLength) {
    SendRefusal(context, connection, outcome, 411, kUploadRefused,
                "Content-Length required");
    return;
  }
  UploadSession session(context, handset->userId);
  MultipartReader reader(*boundary, session.Handler());
  uint64_t left = head.contentLength;
  if (already.size() > left) already.resize(static_cast<size_t>(left));
  left -= already.size();
  reader.Feed(already);
  std::vector<char> buffer(kStreamBlock);
  while (left > 0 && !reader.Failed()) {
    const size_t got = connection.Receive(
        buffer.data(),
        static_cast<size_t>(std::min<uint64_t>(buffer.size(), left)));
    if (got == 0) break;
    left -= got;
    reader.Feed(std::string_view(buffer.data(), got));
  }
  if (!reader.Finish()) {
    std::string why = !session.Problem().empty() ? session.Problem()
                      : !reader.Error().empty()  ? reader.Error()
                      : left > 0                 ? "body ended early"
                                 : "body ends without its closing delimiter";
    SendRefusal(context, connection, outcome, 400, kUploadRefused, why);
    return;
  }
  const auto [stored, deleted] = session.Apply();
  SendShort(context, connection, outcome, 200, {{"Content-Type", "text/plain"}},
            "stored " + std::to_string(stored) + ", deleted " +
                std::to_string(deleted) + "\n");
}

void Dispatch(Context& context, Connection& connection, Outcome& outcome,
              const RequestHead& head, std::string rest) {
  std::string_view path = head.target;
  path = path.substr(0, path.find('?'));
  const bool get = head.method == "GET";
  const bool post = head.method == "POST";
  auto wrongMethod = [&] {
    SendRefusal(context, connection, outcome, 405, kMalformed,
                "method not allowed here");
  };
  auto form = [&]() -> std::optional<std::string> {
    return ReadFormBody(context, connection, outcome, head, std::move(rest));
  };
  if (path == "/activate") {
    if (!post) return wrongMethod();
    if (auto body = form()) Activate(context, connection, outcome, head, *body);
  } else if (path == "/account") {
    if (!get) return wrongMethod();
    AccountInfo(context, connection, outcome, head);
  } else if (path == "/heartbeat") {
    if (!get) return wrongMethod();
    Heartbeat(context, connection, outcome, head);
  } else if (path == "/download") {
    if (!post) return wrongMethod();
    if (auto body = form()) Download(context, connection, outcome, head, *body);
  } else if (path == "/download/confirm") {
    if (!post) return wrongMethod();
    if (auto body = form()) {
      ConfirmDownload(context, connection, outcome, head, *body);
    }
  } else if (path.rfind("/packages/", 0) == 0) {
    if (!get) return wrongMethod();
    LoadPackage(context, connection, outcome, head, path.substr(10));
  } else if (path == "/save") {
    if (!post) return wrongMethod();
    Save(context, connection, outcome, head, std::move(rest));
  } else {
    SendRefusal(context, connection, outcome, 404, kNoSuchPath,
                "no such resource");
  }
}

void Log(Context& context, const Connection& connection,
         const RequestHead* head, const Outcome& outcome) {
  std::string line = connection.peer() + " \"";
  line += head ? head->method + " " + head->target : std::string("-");
  line += "\" " + std::to_string(outcome.status) + " " +
          std::to_string(outcome.bodyBytes);
  line += outcome.code ? " code=" + std::to_string(outcome.code) : "";
  line += outcome.userId ? " user=" + std::to_string(outcome.userId) : "";
  line += outcome.cut ? " cut" : "";
  std::lock_guard<std::mutex> guard(context.logLock);
  std::fprintf(stderr, "%s\n", line.c_str());
}

void HandleConnection(Context& context, int fd, std::string peer) {
  Connection connection(fd, std::move(peer));
  // A silent peer must not hold a thread for ever.
  timeval wait{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);

  std::string data;
  RequestHead head;
  HeadResult parsed;
  char buffer[4096];
  Outcome outcome;
  while ((parsed = ParseHead(data, head)).status == HeadStatus::kIncomplete) {
    const size_t got = connection.Receive(buffer, sizeof buffer);
    if (got == 0) {
      if (!data.empty()) {
        SendRefusal(context, connection, outcome, 400, kMalformed,
                    "request head ends early");
        Log(context, connection, nullptr, outcome);
      }
      connection.Finish();
      return;
    }
    data.append(buffer, got);
  }
  try {
    if (parsed.status == HeadStatus::kRefused) {
      SendRefusal(context, connection, outcome, parsed.refusal, kMalformed,
                  parsed.reason);
      Log(context, connection, nullptr, outcome);
    } else {
      Dispatch(context, connection, outcome, head,
               data.substr(parsed.headLength));
      Log(context, connection, &head, outcome);
    }
  } catch (const std::exception& problem) {
    if (connection.SentBytes() == 0) {
      SendRefusal(context, connection, outcome, 500, kInternal,
                  "internal error");
    }
    std::lock_guard<std::mutex> guard(context.logLock);
    std::fprintf(stderr, "%s error: %s\n", connection.peer().c_str(),
                 problem.what());
  }
  connection.Finish();
}

}  // namespace

// ---- Serve
// -----------------------------------------------------------------------

int Serve(Store& store, const ServeOptions& options) {
  // SIGINT and SIGTERM arrive through a descriptor that the accept loop
  // polls; the connection threads inherit the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options.port));
  if (signals < 0 || listener < 0 ||
      ::inet_pton(AF_INET, options.listen.c_str(), &address.sin_addr) != 1 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
          0 ||
      ::listen(listener, 64) != 0) {
    std::fprintf(stderr, "vesk-service: cannot listen on %s:%d: %s\n",
                 options.listen.c_str(), options.port, std::strerror(errno));
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("listening on %s:%u\n", options.listen.c_str(),
              static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);

  Context context(store, options);
  context.cutsLeft = options.cuts;
  pollfd watch[2] = {{listener, POLLIN, 0}, {signals, POLLIN, 0}};
  for (;;) {
    if (::poll(watch, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watch[1].revents) break;
    if (!(watch[0].revents & POLLIN)) continue;
    sockaddr_in peerAddress{};
    socklen_t peerLength = sizeof peerAddress;
    const int fd =
        ::accept4(listener, reinterpret_cast<sockaddr*>(&peerAddress),
                  &peerLength, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peerAddress.sin_addr, text, sizeof text);
    {
      std::lock_guard<std::mutex> guard(context.connectionsLock);
      if (context.connections.size() >= kMaxConnections) {
        // Too many at once: a short refusal that never blocks the loop.
        const std::string busy =
            "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
            "X-Error-Code: 999\r\nX-Error-Message: busy\r\n"
            "Content-Length: 0\r\n\r\n";
        ::send(fd, busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        ::close(fd);
        continue;
      }
      context.connections.insert(fd);
    }
    std::thread([&context, fd, peer = std::string(text)] {
      HandleConnection(context, fd, peer);
      std::lock_guard<std::mutex> guard(context.connectionsLock);
      context.connections.erase(fd);
      context.connectionsDone.notify_all();
    }).detach();
  }

  // Stop: no new connections; the open ones are woken and finish.
  ::close(listener);
  ::close(signals);
  std::unique_lock<std::mutex> guard(context.connectionsLock);
  for (int fd : context.connections) ::shutdown(fd, SHUT_RDWR);
  context.connectionsDone.wait(guard,
                               [&] { return context.connections.empty(); });
  return 0;
}

}  // namespace vesk::service_tool
