// The reference service's own parts: the store, text and time helpers, the
// certificate check, the server and the administration commands.
#ifndef VESK_TOOLS_SERVICE_SERVICE_H_
#define VESK_TOOLS_SERVICE_SERVICE_H_

#include <sqlite3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::service_tool {

// ---- Text and time (text.cpp) ----------------------------------------------

// UTF-8 into a single- or multi-byte charset iconv knows ("GBK"); a
// character the charset cannot hold becomes "?".
std::string FromUtf8(std::string_view utf8, const char* charset);
// Handset text (GBK bytes, the code page the handsets use) into UTF-8; bytes
// that are not GBK are kept as they are when they already form UTF-8, else
// replaced by U+FFFD.
std::string HandsetTextToUtf8(std::string_view bytes);
// The text itself when it is printable ASCII, else one RFC 2047 encoded word
// of its GBK bytes in base64.
std::string EncodedWord(std::string_view utf8);
std::string XmlEscape(std::string_view text);
std::string Base64(std::string_view bytes);
// Time stamps in the handsets' form, "2012-7-5 9:3:7.042": local time, no
// leading zeros, milliseconds with at least three digits.
std::string HandsetTimestamp(std::time_t when, int millis);
// Reads that form back; nullopt when the text is anything else.
std::optional<std::time_t> ParseHandsetTimestamp(std::string_view text);
// The HTTP date, "Sat, 05 Dec 2026 21:09:29 GMT".
std::string HttpDate(std::time_t when);
// MD5 of a file's first `limit` bytes (all of it when limit is negative) as
// 32 lower-case hex digits; "" when the file cannot be read or is shorter.
std::string FileMd5(const std::string& path, int64_t limit = -1);

// SHA-256 of the bytes as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);

// The time stamp that a user certificate holds: base64 ciphertext made with
// the handset's private key, recovered with the public key from the
// activation (modulus and exponent as base64 of big-endian bytes) by the RSA
// public operation and OAEP (SHA-1, MGF1, empty label) decoding, block by
// block. nullopt when anything does not decode.
std::optional<std::string> RecoverCertificate(const std::string& modulus,
                                              const std::string& exponent,
                                              const std::string& certificate);

// ---- The store (store.cpp)
// ---------------------------------------------------

struct Account {
  int64_t id = 0;
  std::string username, password, email, name, province;
  int64_t gender = 0, figure = 0;
  std::string validation;
  int64_t validationExpires = 0;  // seconds since the epoch
};

struct Handset {
  int64_t userId = 0, userNo = 0, accountId = 0;
  std::string serial, modulus, exponent;
};

struct Content {
  std::string key, file;
  int64_t size = 0;
  std::string md5;
};

struct Notification {
  int64_t id = 0;
  std::string kind;  // "content", "message" or "advert"
  std::string key, title, text, mime;
  int64_t size = 0;
  std::string media, href;
};

struct Upload {
  int64_t userId = 0;
  std::string handsetPath;
  int64_t size = 0;
  std::string md5;
};

struct Delivery {
  int64_t userId = 0;
  std::string key;
  int64_t size = 0;
};

// Thrown by the store when the disk holding it is full.
struct StoreFull : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The service's state in DIR/store.db (write-ahead log, so that the
// administration commands may write while the service reads), behind one
// lock: every method takes it, so the server's threads may call them freely.
// Methods throw std::runtime_error when SQLite fails. A store that keeps a
// reserve (KeepReserve) gives it up the first time SQLite finds the disk full
// and does the write again, so that deletes and heartbeats still go through
// on a disk that something else has filled.
class Store {
 public:
  // Opens (creating) DIR/store.db and its tables.
  explicit Store(const std::string& dataDir);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& DataDir() const { return dataDir_; }

  // Holds `bytes` of the data directory's disk in DIR/reserve (made now when
  // there is room) for the store's own writes once the disk is full.
  void KeepReserve(int64_t bytes);
  // Makes the reserve again after it was given up, when the disk has room
  // for it and `margin` bytes more; true when it is in place.
  bool RestoreReserve(int64_t margin);

  // The new account's id; 0 when the name is taken.
  int64_t AddAccount(const Account& account);
  std::optional<Account> AccountByName(const std::string& username);
  std::optional<Account> AccountById(int64_t id);

  // Binds the serial to the account with the key. A binding is one serial
  // on one account: the same serial activated again on the same account
  // keeps its user id and takes the new key; on another account it gets a
  // binding of its own (the next user id and that account's next user
  // number), and the earlier account keeps its binding, its key and its
  // notifications. Notifications queued for no handset yet go to a newly
  // registered handset.
  Handset BindHandset(int64_t accountId, const std::string& serial,
                      const std::string& modulus, const std::string& exponent);
  std::optional<Handset> HandsetByUserId(int64_t userId);
  std::optional<Handset> HandsetBinding(const std::string& serial,
                                        int64_t accountId);

  // Records a user certificate (by its digest) as used until `expires`
  // (seconds since the epoch); false when it was used before. Certificates
  // whose time has passed are forgotten.
  bool UseCertificate(int64_t userId, const std::string& digest,
                      int64_t expires, int64_t now);

  void AddContent(const Content& content);
  std::optional<Content> ContentByKey(const std::string& key);
  void AddPackage(const std::string& path, const std::string& file);
  std::optional<std::string> PackageFile(const std::string& path);

  // userId 0 queues for the next handset that registers.
  int64_t QueueNotification(int64_t userId, const Notification& notification);
  // The handset's undelivered notifications, marked delivered: contents,
  // then messages, then advertisements, each in queue order.
  std::vector<Notification> TakeNotifications(int64_t userId);
  // Marks taken notifications undelivered again (their reply did not go out).
  void ReturnNotifications(const std::vector<int64_t>& ids);

  void RecordDelivery(int64_t userId, const std::string& key, int64_t size);
  std::vector<Delivery> Deliveries();
  void RecordUpload(const Upload& upload, const std::string& storedPath);
  // The stored file's path of the upload, removed from the store; nullopt
  // when there is none.
  std::optional<std::string> RemoveUpload(int64_t userId,
                                          const std::string& storedPath);
  std::vector<Upload> Uploads();
  // Bytes of the handset's stored uploads; of one of them (0 when absent).
  int64_t UploadedBytes(int64_t userId);
  int64_t UploadSize(int64_t userId, const std::string& storedPath);

  // A prepared statement (store.cpp).
  struct Statement;

 private:
  std::unique_ptr<Statement> Prepare(const char* sql);
  void Execute(const char* sql);
  void Migrate();
  // Runs the work under the lock; when the disk is full, gives the reserve
  // up and runs it once more.
  template <typename Work>
  auto Locked(Work&& work) -> decltype(work());
  bool ReleaseReserve();

  std::string dataDir_;
  sqlite3* db_ = nullptr;
  std::mutex lock_;
  int64_t reserveBytes_ = 0;
  int64_t certificateWrites_ = 0;
};

// ---- The server (server.cpp) -----------------------------------------------

struct ServeOptions {
  std::string listen = "127.0.0.1";
  int port = 8080;
  int64_t cutAfter = -1;  // body bytes before a cut; negative: no cuts
  int cuts = 1;
  std::string encoding = "utf-8";  // of the notification document
  int64_t clockOffset = 0;         // seconds added to the service's clock
  // Seconds a connection has for its whole request head.
  int headTimeout = 10;
  // Seconds a request body has for every started MiB it declares.
  int bodyTimeout = 30;
  // Seconds a connection may read or send without a byte moving.
  int idleTimeout = 15;
  // Connections served at once; more are answered 503.
  int maxConnections = 4096;
  // Threads that run the connections' work.
  int threads = 4;
  // Bytes of uploads one handset may keep stored.
  int64_t quota = 64ll << 20;
  // Uploads are refused when they would leave less free on the data disk.
  int64_t diskReserve = 16ll << 20;
};

// The XML body of an account reply (activation and account information).
std::string AccountDocument(const Account& account,
                            const std::optional<Handset>& handset);
// True when the account's reply, with the widest numbers, still fits the
// handset's first receive together with its head.
bool AccountReplyFits(const Account& account);

// Serves until SIGINT or SIGTERM; the process exit status.
int Serve(Store& store, const ServeOptions& options);

// ---- Administration (admin.cpp) --------------------------------------------

// Runs the command line; the process exit status.
int RunCommandLine(int argc, char** argv);

}  // namespace vesk::service_tool

#endif  // VESK_TOOLS_SERVICE_SERVICE_H_
