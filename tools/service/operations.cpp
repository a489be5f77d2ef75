// The reference service's operations: the identity checks every request goes
// through, activation, account information, heartbeat, download and its
// confirmation, package load and save. Each decides on a reply in its
// Exchange; the server sends it.
//
// Map of this file:
//   Replies     - heads, short replies, refusals, file bodies
//   Identity    - the handset checks, certificates accepted once
//   Operations  - activation, account, heartbeat, download, package load
//   Save        - the streamed upload, its quota and the disk's reserve
//   Dispatch    - which operation a request is
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <set>

#include "tools/common/text.h"
#include "tools/service/exchange.h"

namespace vesk::service_tool {

namespace fs = std::filesystem;

// How far a certificate's time stamp may be from the service's clock.
constexpr int64_t kCertificateWindowSeconds = 300;

std::time_t Context::Now() const {
  return std::time(nullptr) + static_cast<std::time_t>(options.clockOffset);
}

std::string Context::Timestamp() const {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const int millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() %
      1000);
  return HandsetTimestamp(Now(), millis);
}

bool Context::TakeCut() {
  if (options.cutAfter < 0) return false;
  int left = cutsLeft.load();
  while (left > 0) {
    if (cutsLeft.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

// ---- Replies
// -------------------------------------------------------------------

namespace {

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
    case 408:
      return "Request Timeout";
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
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    case 507:
      return "Insufficient Storage";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

Reply::~Reply() {
  if (file >= 0) ::close(file);
}

std::string Exchange::Head(int status, const Headers& headers,
                           uint64_t length) const {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                     Reason(status) + "\r\nDate: " + HttpDate(context_.Now()) +
                     "\r\nConnection: close\r\n";
  for (const auto& [name, value] : headers) {
    head += name + ": " + value + "\r\n";
  }
  head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
  return head;
}

void Exchange::Short(int status, const Headers& headers,
                     std::string_view body) {
  reply_.first = Head(status, headers, body.size());
  reply_.first.append(body.data(), body.size());
  outcome_.status = status;
  outcome_.bodyBytes = body.size();
  replied_ = true;
}

void Exchange::Refuse(int status, int code, const std::string& message,
                      const Headers& extra) {
  Headers headers = {{"X-Error-Code", std::to_string(code)},
                     {"X-Error-Message", message}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  outcome_.code = code;
  outcome_.reason = message;
  Short(status, headers, message + "\n");
}

void Exchange::File(int status, const Headers& headers, const std::string& path,
                    uint64_t from, uint64_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Refuse(500, kInternal, "stored file is missing");
    return;
  }
  uint64_t limit = length;
  if (context_.TakeCut()) {
    outcome_.cut = true;
    limit = std::min<uint64_t>(
        length, static_cast<uint64_t>(context_.options.cutAfter));
  }
  reply_.first = Head(status, headers, length);
  size_t want = reply_.first.size() < kFirstReceive
                    ? static_cast<size_t>(std::min<uint64_t>(
                          kFirstReceive - reply_.first.size(), limit))
                    : 0;
  uint64_t at = from;
  char buffer[kFirstReceive];
  while (want > 0) {
    const ssize_t got = ::pread(fd, buffer, want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the file shrank: the reply ends short
    reply_.first.append(buffer, static_cast<size_t>(got));
    at += static_cast<uint64_t>(got);
    want -= static_cast<size_t>(got);
  }
  outcome_.status = status;
  outcome_.bodyBytes = at - from;
  reply_.file = fd;
  reply_.fileAt = at;
  reply_.left = limit - (at - from);
  replied_ = true;
}

// ---- Identity
// ------------------------------------------------------------------

namespace {

int64_t ParseId(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 12) return 0;
  int64_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The handset a request comes from: "User-Serial" and "User-ID" must name
// one binding, and with `certificate` its "User-Cert" must recover, with
// the binding's public key, to a time stamp near the service's clock, and
// must not have been used before. nullopt after a refusal.
std::optional<Handset> Authenticate(Exchange& exchange, const RequestHead& head,
                                    bool certificate) {
  Context& context = exchange.context();
  const int64_t userId = ParseId(head.Header("User-ID"));
  const std::string serial = head.Header("User-Serial").value_or("");
  std::optional<Handset> handset;
  if (userId > 0) handset = context.store.HandsetByUserId(userId);
  if (!handset || serial.empty() || handset->serial != serial) {
    exchange.Refuse(403, kUnknownHandset, "unknown handset");
    return std::nullopt;
  }
  exchange.outcome().userId = handset->userId;
  if (!certificate) return handset;

  const std::string sent = head.Header("User-Cert").value_or("");
  const std::optional<std::string> text =
      RecoverCertificate(handset->modulus, handset->exponent, sent);
  if (!text) {
    exchange.Refuse(403, kBadCertificate,
                    "certificate does not match the handset's key");
    return std::nullopt;
  }
  const std::optional<std::time_t> stamped = ParseHandsetTimestamp(*text);
  if (!stamped) {
    exchange.Refuse(403, kBadCertificate, "certificate holds no time stamp");
    return std::nullopt;
  }
  const int64_t now = static_cast<int64_t>(context.Now());
  const int64_t difference = now - static_cast<int64_t>(*stamped);
  if (difference > kCertificateWindowSeconds ||
      difference < -kCertificateWindowSeconds) {
    exchange.Refuse(403, kClockDifference, "clock difference too large",
                    {{"X-Server-Timestamp", context.Timestamp()}});
    return std::nullopt;
  }
  // A certificate is good for one request: one seen before within its
  // window is a replay. It is remembered until the window has passed, after
  // which the clock check refuses it anyway.
  if (!context.store.UseCertificate(
          handset->userId, Sha256Hex(sent),
          static_cast<int64_t>(*stamped) + kCertificateWindowSeconds + 1,
          now)) {
    exchange.Refuse(403, kBadCertificate, "certificate used before");
    return std::nullopt;
  }
  return handset;
}

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

// ---- Operations
// ----------------------------------------------------------------

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

void SendAccount(Exchange& exchange, const Account& account,
                 const std::optional<Handset>& handset) {
  exchange.Short(200, {{"Content-Type", "text/xml; charset=utf-8"}},
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
// A binding is one serial on one account (Store::BindHandset): a serial
// that another account bound keeps that binding, and this account gets one
// of its own.
void Activate(Exchange& exchange, const RequestHead& head,
              const std::string& body) {
  Context& context = exchange.context();
  const auto form = ParseForm(body);
  const std::string username = FormValue(form, "username");
  const std::string password = FormValue(form, "password");
  if (username.empty()) {
    exchange.Refuse(400, kMalformed, "username missing");
    return;
  }
  const bool binds = form.count("modulus") > 0;
  const bool registers = form.count("name") > 0;
  std::optional<Account> account = context.store.AccountByName(username);

  if (registers && !(binds && account)) {
    if (account) {
      exchange.Refuse(409, kNameTaken, "account name taken");
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
      exchange.Refuse(400, kMalformed, "account values too long");
      return;
    }
    fresh.id = context.store.AddAccount(fresh);
    if (fresh.id == 0) {
      exchange.Refuse(409, kNameTaken, "account name taken");
      return;
    }
    account = fresh;
  } else {
    if (!account || account->password != password) {
      exchange.Refuse(403, kWrongPassword, "wrong account name or password");
      return;
    }
    if (binds) {
      const std::string code = FormValue(form, "validation");
      if (code != account->validation) {
        exchange.Refuse(403, kWrongValidation, "wrong validation code",
                        {{"X-Util-Timestamp", context.Timestamp()}});
        return;
      }
      if (context.Now() > account->validationExpires) {
        exchange.Refuse(
            403, kExpiredValidation, "validation code expired",
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
      exchange.Refuse(400, kBadKey, "handset serial or key missing");
      return;
    }
    handset = context.store.BindHandset(account->id, serial, modulus, exponent);
  } else if (!serial.empty()) {
    handset = context.store.HandsetBinding(serial, account->id);
  }
  if (handset) exchange.outcome().userId = handset->userId;
  SendAccount(exchange, *account, handset);
}

void AccountInfo(Exchange& exchange, const RequestHead& head) {
  const auto handset = Authenticate(exchange, head, true);
  if (!handset) return;
  const auto account = exchange.context().store.AccountById(handset->accountId);
  if (!account) {
    exchange.Refuse(404, kWrongPassword, "the handset's account is gone");
    return;
  }
  SendAccount(exchange, *account, std::nullopt);
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

// The heartbeat carries no certificate: serial and user id must name one
// binding, which is all the service can check.
void Heartbeat(Exchange& exchange, const RequestHead& head) {
  const auto handset = Authenticate(exchange, head, false);
  if (!handset) return;
  Context& context = exchange.context();
  // Taken before the send, since the handset may beat again as soon as it
  // has read the reply; delivered means sent whole: a heartbeat whose reply
  // did not get out finds the same notifications next time.
  const std::vector<Notification> pending =
      context.store.TakeNotifications(handset->userId);
  const std::string document =
      NotificationDocument(pending, context.options.encoding);
  const std::string charset = context.options.encoding == "gbk" ? "GBK"
                              : context.options.encoding == "utf-16le"
                                  ? "UTF-16"
                                  : "UTF-8";
  exchange.Short(200, {{"Content-Type", "text/xml; charset=" + charset}},
                 document);
  if (pending.empty()) return;
  std::vector<int64_t> ids;
  for (const Notification& n : pending) ids.push_back(n.id);
  Store& store = context.store;
  exchange.reply().sent = [&store, ids](bool whole) {
    if (!whole) store.ReturnNotifications(ids);
  };
}

// Serves a stored file whole (200) or from a "Range" (206 with
// "Content-Range"). A range that starts past the end is refused with `code`.
void ServeRange(Exchange& exchange, const RequestHead& head,
                const std::string& path, uint64_t size, Headers headers,
                int pastEndCode) {
  const std::optional<std::string> rangeText = head.Header("Range");
  if (!rangeText) {
    exchange.File(200, headers, path, 0, size);
    return;
  }
  const std::optional<ByteRange> range = ParseRange(*rangeText);
  if (!range) {
    exchange.Refuse(400, kMalformed, "malformed Range");
    return;
  }
  if (range->from > size) {
    exchange.Refuse(416, pastEndCode, "range starts past the end of the file");
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
  exchange.File(206, headers, path, range->from, length);
}

// The handset (with a certificate) and the content that the form's "key"
// names; nothing after a refusal.
std::optional<std::pair<Handset, Content>> HandsetAndContent(
    Exchange& exchange, const RequestHead& head, const std::string& body) {
  auto handset = Authenticate(exchange, head, true);
  if (!handset) return std::nullopt;
  auto content =
      exchange.context().store.ContentByKey(FormValue(ParseForm(body), "key"));
  if (!content) {
    exchange.Refuse(404, kNoSuchContent, "no content with that key");
    return std::nullopt;
  }
  return std::make_pair(std::move(*handset), std::move(*content));
}

void Download(Exchange& exchange, const RequestHead& head,
              const std::string& body) {
  const auto found = HandsetAndContent(exchange, head, body);
  if (!found) return;
  const auto& [handset, content] = *found;
  Context& context = exchange.context();
  const std::string path = context.store.DataDir() + "/" + content.file;
  // A resuming handset proves its partial file: its MD5 must be that of our
  // own first bytes, or it has to shorten the file and try again.
  const std::optional<std::string> partial = head.Header("X-Checksum");
  const std::optional<std::string> rangeText = head.Header("Range");
  if (partial && rangeText) {
    const std::optional<ByteRange> range = ParseRange(*rangeText);
    if (range && range->from <= static_cast<uint64_t>(content.size) &&
        FileMd5(path, static_cast<int64_t>(range->from)) != *partial) {
      exchange.Refuse(416, kPartialMismatch,
                      "partial file differs from the content");
      return;
    }
  }
  ServeRange(exchange, head, path, static_cast<uint64_t>(content.size),
             {{"Content-Type", "application/octet-stream"},
              {"X-Checksum", content.md5}},
             kPartialMismatch);
}

void ConfirmDownload(Exchange& exchange, const RequestHead& head,
                     const std::string& body) {
  const auto found = HandsetAndContent(exchange, head, body);
  if (!found) return;
  const auto& [handset, content] = *found;
  Context& context = exchange.context();
  context.store.RecordDelivery(handset.userId, content.key, content.size);
  exchange.Short(200, {{"Content-Type", "text/plain"}}, "confirmed\n");
}

void LoadPackage(Exchange& exchange, const RequestHead& head,
                 std::string_view packagePath) {
  const auto handset = Authenticate(exchange, head, true);
  if (!handset) return;
  Store& store = exchange.context().store;
  const auto file = store.PackageFile(
      tools::PercentDecode(packagePath, /*plusIsBlank=*/false));
  struct stat info {};
  const std::string path = file ? store.DataDir() + "/" + *file : "";
  if (!file || ::stat(path.c_str(), &info) != 0) {
    exchange.Refuse(404, kNoSuchPackage, "no package at that path");
    return;
  }
  ServeRange(exchange, head, path, static_cast<uint64_t>(info.st_size),
             {{"Content-Type", "application/zip"}}, kMalformed);
}

// ---- Save
// ----------------------------------------------------------------------

// The stored path of a handset path: "\Storage Card\notes.txt" ->
// "Storage Card/notes.txt". Empty when the path cannot be stored safely:
// a "." or ".." segment, a zero byte, or a name longer than the file system
// keeps.
std::string StoredPath(const std::string& handsetPath) {
  std::string stored;
  size_t at = 0;
  while (at <= handsetPath.size()) {
    size_t end = handsetPath.find_first_of("\\/", at);
    if (end == std::string::npos) end = handsetPath.size();
    const std::string part = handsetPath.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == ".." || part.find('\0') != std::string::npos ||
        part.size() > NAME_MAX) {
      return std::string();
    }
    if (!stored.empty()) stored += '/';
    stored += part;
  }
  return stored;
}

int64_t FreeBytes(const std::string& dir) {
  struct statvfs info {};
  if (::statvfs(dir.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.f_bavail) *
         static_cast<int64_t>(info.f_frsize);
}

class Save final : public SaveRequest {
 public:
  Save(Context& context, int64_t userId, uint64_t length, std::string boundary)
      : context_(context),
        userId_(userId),
        left_(length),
        base_(context.store.DataDir() + "/uploads/" + std::to_string(userId)),
        used_(context.store.UploadedBytes(userId)),
        reader_(std::move(boundary), Handler()) {}
  ~Save() override {
    CloseFile();
    for (const Action& action : actions_) {
      if (!action.scratch.empty()) ::unlink(action.scratch.c_str());
    }
    if (counted_ > 0) {
      std::lock_guard<std::mutex> guard(context_.receivingLock);
      if ((context_.receiving[userId_] -= counted_) <= 0) {
        context_.receiving.erase(userId_);
      }
    }
  }

  uint64_t Left() const override { return left_; }

  bool Feed(std::string_view bytes) override {
    if (bytes.size() > left_) bytes = bytes.substr(0, left_);
    left_ -= bytes.size();
    return reader_.Feed(bytes);
  }

  void End(Exchange& exchange) override {
    if (!reader_.Finish()) {
      if (full_) {
        exchange.Refuse(507, kStorageFull, problem_);
        return;
      }
      const std::string why = !problem_.empty()          ? problem_
                              : !reader_.Error().empty() ? reader_.Error()
                              : left_ > 0
                                  ? "body ended early"
                                  : "body ends without its closing delimiter";
      exchange.Refuse(400, kUploadRefused, why);
      return;
    }
    Apply(exchange);
  }

 private:
  struct Action {
    bool update = false;
    std::string handsetPath, stored, scratch;
    int64_t size = 0;
  };

  MultipartReader::Handler Handler() {
    return {[this](const PartHead& part) { return Begin(part); },
            [this](std::string_view data) { return Data(data); },
            [this]() { return EndPart(); }};
  }

  bool Refuse(const char* why, bool full = false) {
    problem_ = why;
    full_ = full;
    return false;
  }

  bool Begin(const PartHead& part) {
    Action action;
    if (part.name.rfind("update", 0) == 0) {
      action.update = true;
      action.handsetPath = HandsetTextToUtf8(part.filename);
      action.stored = StoredPath(action.handsetPath);
      if (!part.hasFilename || action.stored.empty() ||
          base_.size() + 1 + action.stored.size() >= PATH_MAX) {
        // A name the store cannot keep is refused, never dropped quietly.
        return Refuse("update part without a file name the store can keep");
      }
      // The file it replaces no longer counts against the quota.
      if (credited_.insert(action.stored).second) {
        replaced_ += context_.store.UploadSize(userId_, action.stored);
      }
      std::error_code ec;
      fs::create_directories(base_, ec);
      action.scratch = base_ + "/.incoming-XXXXXX";
      fd_ = ::mkstemp(action.scratch.data());
      if (fd_ < 0) {
        action.scratch.clear();
        if (errno == ENOSPC || errno == EDQUOT) {
          return Refuse("the service's disk is full", true);
        }
        return Refuse("cannot store the file");
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

  // Counts the bytes against the handset's quota and the disk's reserve.
  bool Room(size_t bytes) {
    int64_t receiving;
    {
      std::lock_guard<std::mutex> guard(context_.receivingLock);
      receiving = context_.receiving[userId_] += static_cast<int64_t>(bytes);
    }
    counted_ += static_cast<int64_t>(bytes);
    const int64_t quota = context_.options.quota;
    if (quota > 0 && used_ - replaced_ + receiving > quota) {
      return Refuse("the handset's storage quota is full", true);
    }
    if (FreeBytes(base_) - static_cast<int64_t>(bytes) <
        context_.options.diskReserve) {
      return Refuse("the service's disk is full", true);
    }
    return true;
  }

  bool Data(std::string_view data) {
    if (ignoring_) return true;
    Action& action = actions_.back();
    if (!action.update) {
      deletePath_.append(data.data(), data.size());
      if (deletePath_.size() > 1024) return Refuse("delete part too long");
      return true;
    }
    if (!Room(data.size())) return false;
    while (!data.empty()) {
      const ssize_t written = ::write(fd_, data.data(), data.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        if (written < 0 && (errno == ENOSPC || errno == EDQUOT)) {
          return Refuse("the service's disk is full", true);
        }
        return Refuse("cannot store the file");
      }
      data.remove_prefix(static_cast<size_t>(written));
      action.size += written;
    }
    return true;
  }

  bool EndPart() {
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
      return Refuse("delete part without a usable path");
    }
    // The file it deletes no longer counts against the quota for the
    // updates after it.
    if (credited_.insert(action.stored).second) {
      replaced_ += context_.store.UploadSize(userId_, action.stored);
    }
    return true;
  }

  // Applies the actions in their order. Deletes remove the file before its
  // record, so that they free room even on a full disk. Every update must
  // take its place: the reply is 200 only when all of them did.
  void Apply(Exchange& exchange) {
    int stored = 0, deleted = 0, updates = 0;
    std::string failed;
    bool full = false;
    for (Action& action : actions_) {
      const std::string target = base_ + "/" + action.stored;
      if (!action.update) {
        ::unlink(target.c_str());
        if (context_.store.RemoveUpload(userId_, action.stored)) ++deleted;
        continue;
      }
      ++updates;
      std::error_code ec;
      fs::create_directories(fs::path(target).parent_path(), ec);
      if (::rename(action.scratch.c_str(), target.c_str()) != 0) {
        full = full || errno == ENOSPC || ec == std::errc::no_space_on_device;
        if (failed.empty()) {
          failed = action.handsetPath + ": " +
                   (ec ? ec.message() : std::string(std::strerror(errno)));
        }
        continue;
      }
      action.scratch.clear();
      context_.store.RecordUpload(
          Upload{userId_, action.handsetPath, action.size, FileMd5(target)},
          action.stored);
      ++stored;
    }
    if (deleted > 0) {
      context_.store.RestoreReserve(context_.options.diskReserve);
    }
    const std::string counts = "stored " + std::to_string(stored) +
                               ", deleted " + std::to_string(deleted);
    if (stored < updates) {
      const std::string why = counts + "; " + std::to_string(updates - stored) +
                              " not stored (" + failed + ")";
      if (full) {
        exchange.Refuse(507, kStorageFull, why);
      } else {
        exchange.Refuse(400, kUploadRefused, why);
      }
      return;
    }
    exchange.Short(200, {{"Content-Type", "text/plain"}}, counts + "\n");
  }

  void CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  Context& context_;
  int64_t userId_;
  uint64_t left_;
  std::string base_;
  int64_t used_;          // stored bytes of the handset when it began
  int64_t replaced_ = 0;  // of those, the files this request replaces or
                          // deletes before its next update
  int64_t counted_ = 0;   // bytes counted in context_.receiving
  std::set<std::string> credited_;
  std::vector<Action> actions_;
  std::string deletePath_;
  std::string problem_;
  bool full_ = false;
  bool ignoring_ = false;
  int fd_ = -1;
  MultipartReader reader_;
};

}  // namespace

std::unique_ptr<SaveRequest> SaveRequest::Begin(Exchange& exchange,
                                                const RequestHead& head) {
  const auto handset = Authenticate(exchange, head, true);
  if (!handset) return nullptr;
  const std::optional<std::string> boundary =
      MultipartBoundary(head.Header("Content-Type").value_or(""));
  if (!boundary) {
    exchange.Refuse(400, kUploadRefused,
                    "multipart/form-data with a boundary expected");
    return nullptr;
  }
  if (!head.hasContentLength) {
    exchange.Refuse(411, kUploadRefused, "Content-Length required");
    return nullptr;
  }
  return std::make_unique<Save>(exchange.context(), handset->userId,
                                head.contentLength, *boundary);
}

// ---- Dispatch
// ------------------------------------------------------------------

namespace {

std::string_view PathOf(const RequestHead& head) {
  std::string_view path = head.target;
  return path.substr(0, path.find('?'));
}

}  // namespace

BodyKind BodyOf(const RequestHead& head) {
  const std::string_view path = PathOf(head);
  if (head.method != "POST") return BodyKind::kNone;
  if (path == "/save") return BodyKind::kUpload;
  if (path == "/activate" || path == "/download" ||
      path == "/download/confirm") {
    return BodyKind::kForm;
  }
  return BodyKind::kNone;
}

void Dispatch(Exchange& exchange, const RequestHead& head,
              const std::string& body) {
  const std::string_view path = PathOf(head);
  const bool get = head.method == "GET";
  const bool post = head.method == "POST";
  if (path == "/activate") {
    if (!post)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    Activate(exchange, head, body);
  } else if (path == "/account") {
    if (!get)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    AccountInfo(exchange, head);
  } else if (path == "/heartbeat") {
    if (!get)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    Heartbeat(exchange, head);
  } else if (path == "/download") {
    if (!post)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    Download(exchange, head, body);
  } else if (path == "/download/confirm") {
    if (!post)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    ConfirmDownload(exchange, head, body);
  } else if (path.rfind("/packages/", 0) == 0) {
    if (!get)
      return exchange.Refuse(405, kMalformed, "method not allowed here");
    LoadPackage(exchange, head, path.substr(10));
  } else if (path == "/save") {
    exchange.Refuse(405, kMalformed, "method not allowed here");
  } else {
    exchange.Refuse(404, kNoSuchPath, "no such resource");
  }
}

}  // namespace vesk::service_tool
