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

// The service's state in DIR/store.db, behind one lock: every method takes
// it, so connection threads may call them freely. Methods throw
// std::runtime_error when SQLite fails.
class Store {
 public:
  // Opens (creating) DIR/store.db and its tables.
  explicit Store(const std::string& dataDir);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& DataDir() const { return dataDir_; }

  // The new account's id; 0 when the name is taken.
  int64_t AddAccount(const Account& account);
  std::optional<Account> AccountByName(const std::string& username);
  std::optional<Account> AccountById(int64_t id);

  // Binds the serial to the account with the key: a serial seen before keeps
  // its user id and takes the new key and account; a new one gets the next
  // user id and the account's next user number. Notifications queued for no
  // handset yet go to a newly registered handset.
  Handset BindHandset(int64_t accountId, const std::string& serial,
                      const std::string& modulus, const std::string& exponent);
  std::optional<Handset> HandsetByUserId(int64_t userId);
  std::optional<Handset> HandsetBySerial(const std::string& serial);

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

  // A prepared statement (store.cpp).
  struct Statement;

 private:
  std::unique_ptr<Statement> Prepare(const char* sql);
  void Execute(const char* sql);

  std::string dataDir_;
  sqlite3* db_ = nullptr;
  std::mutex lock_;
};

// ---- The server (server.cpp) -----------------------------------------------

struct ServeOptions {
  std::string listen = "127.0.0.1";
  int port = 8080;
  int64_t cutAfter = -1;  // body bytes before a cut; negative: no cuts
  int cuts = 1;
  std::string encoding = "utf-8";  // of the notification document
  int64_t clockOffset = 0;         // seconds added to the service's clock
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
