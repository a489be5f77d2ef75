// The service's state in SQLite: accounts, handsets, contents, packages,
// queued notifications, deliveries and uploads. Content, package and upload
// bytes live in files under the data directory; the store names them.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "tools/service/service.h"

namespace vesk::service_tool {

// A prepared statement with its bindings; finalized by the destructor.
struct Store::Statement {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;

  ~Statement() { sqlite3_finalize(statement); }

  Statement& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(statement, index, value));
    return *this;
  }
  Statement& Bind(int index, const std::string& value) {
    Check(sqlite3_bind_text(statement, index, value.data(),
                            static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindNull(int index) {
    Check(sqlite3_bind_null(statement, index));
    return *this;
  }
  // True while a row is available.
  bool Step() {
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    Fail(result);
  }
  int64_t Int(int column) const {
    return sqlite3_column_int64(statement, column);
  }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(
                                  sqlite3_column_bytes(statement, column)))
                : std::string();
  }
  void Check(int result) const {
    if (result != SQLITE_OK) Fail(result);
  }
  [[noreturn]] void Fail(int result) const {
    const std::string why = std::string("store: ") + sqlite3_errmsg(db);
    if ((result & 0xFF) == SQLITE_FULL) throw StoreFull(why);
    throw std::runtime_error(why);
  }
};

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS accounts(
  id INTEGER PRIMARY KEY, username TEXT UNIQUE NOT NULL, password TEXT,
  email TEXT, name TEXT, province TEXT, gender INTEGER, figure INTEGER,
  validation TEXT, validation_expires INTEGER);
CREATE TABLE IF NOT EXISTS handsets(
  user_id INTEGER PRIMARY KEY, serial TEXT NOT NULL,
  account_id INTEGER, user_no INTEGER, modulus TEXT, exponent TEXT,
  UNIQUE(serial, account_id));
CREATE TABLE IF NOT EXISTS contents(
  key TEXT PRIMARY KEY, file TEXT, size INTEGER, md5 TEXT);
CREATE TABLE IF NOT EXISTS packages(path TEXT PRIMARY KEY, file TEXT);
CREATE TABLE IF NOT EXISTS notifications(
  id INTEGER PRIMARY KEY, user_id INTEGER, kind TEXT, key TEXT, title TEXT,
  text TEXT, mime TEXT, size INTEGER, media TEXT, href TEXT,
  delivered INTEGER DEFAULT 0);
CREATE TABLE IF NOT EXISTS deliveries(
  id INTEGER PRIMARY KEY, user_id INTEGER, key TEXT, size INTEGER);
CREATE TABLE IF NOT EXISTS uploads(
  user_id INTEGER, stored TEXT, handset_path TEXT, size INTEGER, md5 TEXT,
  PRIMARY KEY(user_id, stored));
CREATE TABLE IF NOT EXISTS used_certificates(
  digest TEXT PRIMARY KEY, user_id INTEGER, expires INTEGER);
CREATE INDEX IF NOT EXISTS used_certificates_expiry
  ON used_certificates(expires);
)";

// A store made before bindings were per account held one row per serial.
constexpr const char* kBindingsPerAccount = R"(
ALTER TABLE handsets RENAME TO handsets_by_serial;
CREATE TABLE handsets(
  user_id INTEGER PRIMARY KEY, serial TEXT NOT NULL,
  account_id INTEGER, user_no INTEGER, modulus TEXT, exponent TEXT,
  UNIQUE(serial, account_id));
INSERT INTO handsets SELECT user_id, serial, account_id, user_no, modulus,
  exponent FROM handsets_by_serial;
DROP TABLE handsets_by_serial;
)";

// Used certificates are pruned once every this many are recorded.
constexpr int64_t kPruneEvery = 256;

// User ids are handed out from here up.
constexpr int64_t kFirstUserId = 10001;

}  // namespace

Store::Store(const std::string& dataDir) : dataDir_(dataDir) {
  const std::string path = dataDir + "/store.db";
  if (sqlite3_open_v2(
          path.c_str(), &db_,
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
          nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open " + path + ": " + why);
  }
  // The administration commands may run while the service does: they wait
  // for each other's writes, and with the write-ahead log readers never wait
  // for a writer. A commit is not synced to the disk on its own (the log is,
  // at each checkpoint): a crash of the machine may lose the last commits,
  // never the store.
  sqlite3_busy_timeout(db_, 5000);
  Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  Execute(kSchema);
  Migrate();
}

void Store::Migrate() {
  auto table = Prepare("SELECT sql FROM sqlite_master WHERE name = 'handsets'");
  if (!table->Step()) return;
  const std::string sql = table->Text(0);
  table.reset();
  if (sql.find("serial TEXT UNIQUE") == std::string::npos) return;
  Execute("BEGIN IMMEDIATE");
  try {
    Execute(kBindingsPerAccount);
    Execute("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

template <typename Work>
auto Store::Locked(Work&& work) -> decltype(work()) {
  std::lock_guard<std::mutex> guard(lock_);
  try {
    return work();
  } catch (const StoreFull&) {
    if (!ReleaseReserve()) throw;
  }
  return work();
}

namespace {

std::string ReservePath(const std::string& dataDir) {
  return dataDir + "/reserve";
}

int64_t FreeBytes(const std::string& dir) {
  struct statvfs info {};
  if (::statvfs(dir.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.f_bavail) *
         static_cast<int64_t>(info.f_frsize);
}

}  // namespace

void Store::KeepReserve(int64_t bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  reserveBytes_ = bytes;
}

bool Store::RestoreReserve(int64_t margin) {
  std::lock_guard<std::mutex> guard(lock_);
  if (reserveBytes_ <= 0) return false;
  const std::string path = ReservePath(dataDir_);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && info.st_size >= reserveBytes_) {
    return true;
  }
  if (FreeBytes(dataDir_) < reserveBytes_ + margin) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool made = ::posix_fallocate(fd, 0, reserveBytes_) == 0;
  ::close(fd);
  if (!made) ::unlink(path.c_str());
  return made;
}

bool Store::ReleaseReserve() {
  const std::string path = ReservePath(dataDir_);
  struct stat info {};
  if (reserveBytes_ <= 0 || ::stat(path.c_str(), &info) != 0) return false;
  ::unlink(path.c_str());
  std::fprintf(stderr,
               "store: the disk is full; its reserve of %lld bytes "
               "was given up\n",
               static_cast<long long>(info.st_size));
  return true;
}

Store::~Store() { sqlite3_close(db_); }

std::unique_ptr<Store::Statement> Store::Prepare(const char* sql) {
  auto statement = std::make_unique<Statement>();
  statement->db = db_;
  statement->Check(
      sqlite3_prepare_v2(db_, sql, -1, &statement->statement, nullptr));
  return statement;
}

void Store::Execute(const char* sql) {
  char* message = nullptr;
  const int result = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (result != SQLITE_OK) {
    const std::string why = message ? message : "unknown";
    sqlite3_free(message);
    if ((result & 0xFF) == SQLITE_FULL) throw StoreFull("store: " + why);
    throw std::runtime_error("store: " + why);
  }
}

int64_t Store::AddAccount(const Account& account) {
  return Locked([&]() -> int64_t {
    auto exists = Prepare("SELECT id FROM accounts WHERE username = ?");
    exists->Bind(1, account.username);
    if (exists->Step()) return 0;
    auto insert = Prepare(
        "INSERT INTO accounts(username, password, email, name, province, "
        "gender, figure, validation, validation_expires) "
        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert->Bind(1, account.username)
        .Bind(2, account.password)
        .Bind(3, account.email)
        .Bind(4, account.name)
        .Bind(5, account.province)
        .Bind(6, account.gender)
        .Bind(7, account.figure)
        .Bind(8, account.validation)
        .Bind(9, account.validationExpires);
    insert->Step();
    return sqlite3_last_insert_rowid(db_);
  });
}

namespace {

constexpr const char* kAccountColumns =
    "SELECT id, username, password, email, name, province, gender, figure, "
    "validation, validation_expires FROM accounts ";

Account ReadAccount(const Store::Statement& row) {
  Account account;
  account.id = row.Int(0);
  account.username = row.Text(1);
  account.password = row.Text(2);
  account.email = row.Text(3);
  account.name = row.Text(4);
  account.province = row.Text(5);
  account.gender = row.Int(6);
  account.figure = row.Int(7);
  account.validation = row.Text(8);
  account.validationExpires = row.Int(9);
  return account;
}

Handset ReadHandset(const Store::Statement& row) {
  Handset handset;
  handset.userId = row.Int(0);
  handset.serial = row.Text(1);
  handset.accountId = row.Int(2);
  handset.userNo = row.Int(3);
  handset.modulus = row.Text(4);
  handset.exponent = row.Text(5);
  return handset;
}

constexpr const char* kHandsetColumns =
    "SELECT user_id, serial, account_id, user_no, modulus, exponent "
    "FROM handsets ";

}  // namespace

std::optional<Account> Store::AccountByName(const std::string& username) {
  return Locked([&]() -> std::optional<Account> {
    auto query =
        Prepare((std::string(kAccountColumns) + "WHERE username = ?").c_str());
    query->Bind(1, username);
    if (!query->Step()) return std::nullopt;
    return ReadAccount(*query);
  });
}

std::optional<Account> Store::AccountById(int64_t id) {
  return Locked([&]() -> std::optional<Account> {
    auto query =
        Prepare((std::string(kAccountColumns) + "WHERE id = ?").c_str());
    query->Bind(1, id);
    if (!query->Step()) return std::nullopt;
    return ReadAccount(*query);
  });
}

Handset Store::BindHandset(int64_t accountId, const std::string& serial,
                           const std::string& modulus,
                           const std::string& exponent) {
  return Locked([&]() -> Handset {
    Execute("BEGIN IMMEDIATE");
    try {
      auto known = Prepare(
          (std::string(kHandsetColumns) + "WHERE serial = ? AND account_id = ?")
              .c_str());
      known->Bind(1, serial).Bind(2, accountId);
      Handset handset;
      if (known->Step()) {
        // The same handset activated again on the same account: a new key.
        handset = ReadHandset(*known);
        auto update = Prepare(
            "UPDATE handsets SET modulus = ?, exponent = ? WHERE user_id = ?");
        update->Bind(1, modulus).Bind(2, exponent).Bind(3, handset.userId);
        update->Step();
      } else {
        auto next =
            Prepare("SELECT IFNULL(MAX(user_id), ? - 1) + 1 FROM handsets");
        next->Bind(1, kFirstUserId);
        next->Step();
        handset.userId = next->Int(0);
        auto number = Prepare(
            "SELECT IFNULL(MAX(user_no), 0) + 1 FROM handsets "
            "WHERE account_id = ?");
        number->Bind(1, accountId);
        number->Step();
        handset.userNo = number->Int(0);
        auto insert = Prepare(
            "INSERT INTO handsets(user_id, serial, account_id, user_no, "
            "modulus, exponent) VALUES(?, ?, ?, ?, ?, ?)");
        insert->Bind(1, handset.userId)
            .Bind(2, serial)
            .Bind(3, accountId)
            .Bind(4, handset.userNo)
            .Bind(5, modulus)
            .Bind(6, exponent);
        insert->Step();
        auto adopt = Prepare(
            "UPDATE notifications SET user_id = ? WHERE user_id IS NULL");
        adopt->Bind(1, handset.userId);
        adopt->Step();
      }
      handset.serial = serial;
      handset.accountId = accountId;
      handset.modulus = modulus;
      handset.exponent = exponent;
      Execute("COMMIT");
      return handset;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  });
}

std::optional<Handset> Store::HandsetByUserId(int64_t userId) {
  return Locked([&]() -> std::optional<Handset> {
    auto query =
        Prepare((std::string(kHandsetColumns) + "WHERE user_id = ?").c_str());
    query->Bind(1, userId);
    if (!query->Step()) return std::nullopt;
    return ReadHandset(*query);
  });
}

std::optional<Handset> Store::HandsetBinding(const std::string& serial,
                                             int64_t accountId) {
  return Locked([&]() -> std::optional<Handset> {
    auto query = Prepare(
        (std::string(kHandsetColumns) + "WHERE serial = ? AND account_id = ?")
            .c_str());
    query->Bind(1, serial).Bind(2, accountId);
    if (!query->Step()) return std::nullopt;
    return ReadHandset(*query);
  });
}

bool Store::UseCertificate(int64_t userId, const std::string& digest,
                           int64_t expires, int64_t now) {
  return Locked([&]() -> bool {
    if (++certificateWrites_ % kPruneEvery == 0) {
      auto prune = Prepare("DELETE FROM used_certificates WHERE expires < ?");
      prune->Bind(1, now);
      prune->Step();
    }
    auto insert = Prepare(
        "INSERT OR IGNORE INTO used_certificates(digest, user_id, expires) "
        "VALUES(?, ?, ?)");
    insert->Bind(1, digest).Bind(2, userId).Bind(3, expires);
    insert->Step();
    return sqlite3_changes(db_) == 1;
  });
}

void Store::AddContent(const Content& content) {
  Locked([&] {
    auto insert = Prepare(
        "INSERT OR REPLACE INTO contents(key, file, size, md5) "
        "VALUES(?, ?, ?, ?)");
    insert->Bind(1, content.key)
        .Bind(2, content.file)
        .Bind(3, content.size)
        .Bind(4, content.md5);
    insert->Step();
  });
}

std::optional<Content> Store::ContentByKey(const std::string& key) {
  return Locked([&]() -> std::optional<Content> {
    auto query =
        Prepare("SELECT key, file, size, md5 FROM contents WHERE key = ?");
    query->Bind(1, key);
    if (!query->Step()) return std::nullopt;
    Content content;
    content.key = query->Text(0);
    content.file = query->Text(1);
    content.size = query->Int(2);
    content.md5 = query->Text(3);
    return content;
  });
}

void Store::AddPackage(const std::string& path, const std::string& file) {
  Locked([&] {
    auto insert =
        Prepare("INSERT OR REPLACE INTO packages(path, file) VALUES(?, ?)");
    insert->Bind(1, path).Bind(2, file);
    insert->Step();
  });
}

std::optional<std::string> Store::PackageFile(const std::string& path) {
  return Locked([&]() -> std::optional<std::string> {
    auto query = Prepare("SELECT file FROM packages WHERE path = ?");
    query->Bind(1, path);
    if (!query->Step()) return std::nullopt;
    return query->Text(0);
  });
}

int64_t Store::QueueNotification(int64_t userId,
                                 const Notification& notification) {
  return Locked([&]() -> int64_t {
    auto insert = Prepare(
        "INSERT INTO notifications(user_id, kind, key, title, text, mime, "
        "size, media, href) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (userId > 0) {
      insert->Bind(1, userId);
    } else {
      insert->BindNull(1);
    }
    insert->Bind(2, notification.kind)
        .Bind(3, notification.key)
        .Bind(4, notification.title)
        .Bind(5, notification.text)
        .Bind(6, notification.mime)
        .Bind(7, notification.size)
        .Bind(8, notification.media)
        .Bind(9, notification.href);
    insert->Step();
    return sqlite3_last_insert_rowid(db_);
  });
}

std::vector<Notification> Store::TakeNotifications(int64_t userId) {
  return Locked([&]() -> std::vector<Notification> {
    // Read and marked in one transaction: two heartbeats at once never both
    // get a notification, and a write that fails marks none of them.
    Execute("BEGIN IMMEDIATE");
    try {
      // Handsets read contents first, then messages, then advertisements.
      auto query = Prepare(
          "SELECT id, kind, key, title, text, mime, size, media, href "
          "FROM notifications WHERE user_id = ? AND delivered = 0 "
          "ORDER BY CASE kind WHEN 'content' THEN 0 WHEN 'message' THEN 1 "
          "ELSE 2 END, id");
      query->Bind(1, userId);
      std::vector<Notification> found;
      while (query->Step()) {
        Notification n;
        n.id = query->Int(0);
        n.kind = query->Text(1);
        n.key = query->Text(2);
        n.title = query->Text(3);
        n.text = query->Text(4);
        n.mime = query->Text(5);
        n.size = query->Int(6);
        n.media = query->Text(7);
        n.href = query->Text(8);
        found.push_back(std::move(n));
      }
      auto update =
          Prepare("UPDATE notifications SET delivered = 1 WHERE id = ?");
      for (const Notification& n : found) {
        update->Bind(1, n.id);
        update->Step();
        sqlite3_reset(update->statement);
      }
      Execute("COMMIT");
      return found;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  });
}

void Store::ReturnNotifications(const std::vector<int64_t>& ids) {
  if (ids.empty()) return;
  Locked([&] {
    Execute("BEGIN IMMEDIATE");
    try {
      auto update =
          Prepare("UPDATE notifications SET delivered = 0 WHERE id = ?");
      for (int64_t id : ids) {
        update->Bind(1, id);
        update->Step();
        sqlite3_reset(update->statement);
      }
      Execute("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  });
}

void Store::RecordDelivery(int64_t userId, const std::string& key,
                           int64_t size) {
  Locked([&] {
    auto insert =
        Prepare("INSERT INTO deliveries(user_id, key, size) VALUES(?, ?, ?)");
    insert->Bind(1, userId).Bind(2, key).Bind(3, size);
    insert->Step();
  });
}

std::vector<Delivery> Store::Deliveries() {
  return Locked([&] {
    auto query =
        Prepare("SELECT user_id, key, size FROM deliveries ORDER BY id");
    std::vector<Delivery> found;
    while (query->Step()) {
      found.push_back(Delivery{query->Int(0), query->Text(1), query->Int(2)});
    }
    return found;
  });
}

void Store::RecordUpload(const Upload& upload, const std::string& storedPath) {
  Locked([&] {
    auto insert = Prepare(
        "INSERT OR REPLACE INTO uploads(user_id, stored, handset_path, size, "
        "md5) VALUES(?, ?, ?, ?, ?)");
    insert->Bind(1, upload.userId)
        .Bind(2, storedPath)
        .Bind(3, upload.handsetPath)
        .Bind(4, upload.size)
        .Bind(5, upload.md5);
    insert->Step();
  });
}

std::optional<std::string> Store::RemoveUpload(int64_t userId,
                                               const std::string& storedPath) {
  return Locked([&]() -> std::optional<std::string> {
    auto remove =
        Prepare("DELETE FROM uploads WHERE user_id = ? AND stored = ?");
    remove->Bind(1, userId).Bind(2, storedPath);
    remove->Step();
    if (sqlite3_changes(db_) == 0) return std::nullopt;
    return storedPath;
  });
}

std::vector<Upload> Store::Uploads() {
  return Locked([&] {
    auto query = Prepare(
        "SELECT user_id, handset_path, size, md5 FROM uploads "
        "ORDER BY user_id, stored");
    std::vector<Upload> found;
    while (query->Step()) {
      found.push_back(
          Upload{query->Int(0), query->Text(1), query->Int(2), query->Text(3)});
    }
    return found;
  });
}

int64_t Store::UploadedBytes(int64_t userId) {
  return Locked([&] {
    auto query =
        Prepare("SELECT IFNULL(SUM(size), 0) FROM uploads WHERE user_id = ?");
    query->Bind(1, userId);
    query->Step();
    return query->Int(0);
  });
}

int64_t Store::UploadSize(int64_t userId, const std::string& storedPath) {
  return Locked([&]() -> int64_t {
    auto query =
        Prepare("SELECT size FROM uploads WHERE user_id = ? AND stored = ?");
    query->Bind(1, userId).Bind(2, storedPath);
    return query->Step() ? query->Int(0) : 0;
  });
}

}  // namespace vesk::service_tool
