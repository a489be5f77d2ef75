// The library against the reference service: every operation runs through
// the exports over real loopback connections to a vesk-service child
// process, and the outcome is checked in the caller's records, in the
// handset's files and in the service's store.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "service/vesk80.h"
#include "tests/e2e/service_process.h"
#include "tests/support/device_root.h"
#include "tests/support/rsa_oracle.h"
#include "tools/common/process.h"
#include "tools/common/text.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::u16string>;

const std::u16string kEnv = u"\\PocketDisk1\\handset.env";
const std::regex kTimestamp(
    R"(\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\.\d{3,})");
const std::string kBoundary = "b0undary";
const std::string kLastDelimiter = "--" + kBoundary + "--\r\n";

template <size_t N>
void Put(vesk_char16 (&field)[N], const std::u16string& text) {
  const size_t n = std::min(text.size(), N - 1);
  std::copy(text.begin(), text.begin() + n, field);
  field[n] = 0;
}

std::u16string Text(const vesk_char16* field) { return std::u16string(field); }
std::string Ascii(const vesk_char16* field) {
  return tools::Utf16ToUtf8(field);
}

// The line "key: value\n" of an environment file, and the file with that
// line replaced.
std::string Line(const std::string& env, const std::string& key) {
  const size_t at = env.find(key + ": ");
  return env.substr(at, env.find('\n', at) - at + 1);
}
std::string Swap(std::string env, const std::string& key,
                 const std::string& line) {
  return env.replace(env.find(key + ": "), Line(env, key).size(), line);
}

// ---- Raw sockets: the requests a handset would never send.

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything the peer sends until it closes; the descriptor is closed.
std::string ReadToEnd(int fd) {
  std::string reply;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return reply;
}

// Sends the bytes (then ends the sending side) and returns the whole reply.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = Connect(port);
  if (fd < 0) return "";
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t sent =
        ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) break;
    at += static_cast<size_t>(sent);
  }
  ::shutdown(fd, SHUT_WR);
  return ReadToEnd(fd);
}

int Status(const std::string& reply) {
  return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0;
}

std::string HeaderValue(const std::string& reply, const std::string& name) {
  const size_t at = reply.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 4;
  return reply.substr(from, reply.find("\r\n", from) - from);
}

// A certificate made the way a handset makes it, with OpenSSL: the local
// time stamp (`age` seconds ago), OAEP-SHA-1 encoded and raised to the
// private exponent. Every one is new: OAEP draws a fresh seed.
std::string Certificate(const std::string& env, int age = 0) {
  auto number = [&env](const char* name) {
    const std::vector<unsigned char> bytes = FromBase64(ElementText(env, name));
    return BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  };
  RSA* rsa = RSA_new();
  RSA_set0_key(rsa, number("Modulus"), number("Exponent"), number("D"));
  const int k = RSA_size(rsa);
  const std::time_t now = std::time(nullptr) - age;
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d:%d:%d.%.3d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, 42);
  std::vector<unsigned char> encoded(k), cipher(k);
  RSA_padding_add_PKCS1_OAEP(encoded.data(), k,
                             reinterpret_cast<const unsigned char*>(stamp),
                             static_cast<int>(std::strlen(stamp)), nullptr, 0);
  RSA_private_encrypt(k, encoded.data(), cipher.data(), rsa, RSA_NO_PADDING);
  RSA_free(rsa);
  std::string base64(4 * ((k + 2) / 3) + 1, '\0');
  base64.resize(static_cast<size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(base64.data()), cipher.data(), k)));
  return base64;
}

// A multipart part that updates the handset file with the data.
std::string Part(const std::string& filename, const std::string& data) {
  return "--" + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"update1\"; filename=\"" +
         filename + "\"\r\n\r\n" + data + "\r\n";
}

struct Account {
  Account(std::string user, std::string word)
      : username(std::move(user)), password(std::move(word)) {}

  std::string username, password;
  std::u16string name, email, province, validation;
  std::u16string serial = u"SN-0001";
  std::u16string envPath = kEnv;
  int32_t gender = 0, figure = 0;
};

struct Activation {
  int32_t status = 0;
  HandsetActivateResult result{};
  HandsetError error{};
};

struct Info {
  int32_t status = 0;
  AccountInfoResult info{};
  HandsetError error{};
};

struct Saved {
  int32_t status = 0;
  int32_t code = 0;
  std::u16string output;
};

class ServiceE2e : public ::testing::Test {
 protected:
  // Every service stops cleanly: exit status 0, which under the sanitizers
  // also means that they found nothing.
  void TearDown() override {
    delete[] beat_.entries;
    if (service_) {
      EXPECT_EQ(service_->Stop(), 0) << service_->Log();
    }
  }
  void Start(const std::vector<std::string>& extra = {}) {
    service_ = std::make_unique<ServiceProcess>(data_.path(), extra);
  }
  std::u16string Url(const std::string& path) const {
    return service_->Url(path);
  }
  CommandResult Admin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--data", data_.path()});
    return RunService(arguments);
  }
  // Seeds the demo store; the demo account's validation code.
  std::string Seed() {
    EXPECT_EQ(Admin({"--seed-demo"}).status, 0);
    std::smatch match;
    const std::string json = ReadHostFile(data_.path() + "/demo.json");
    EXPECT_TRUE(std::regex_search(
        json, match, std::regex(R"re("validationCode": "(\d+)")re")));
    return match[1].str();
  }
  std::string Largest() const {
    return ReadHostFile(data_.path() +
                        "/contents/4f90d0f748af8b26e89db1493a26521f");
  }
  // An account added by the administration command; its validation code.
  std::string AddAccount(const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"add-account"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const CommandResult added = Admin(arguments);
    EXPECT_EQ(added.status, 0) << added.out;
    std::smatch match;
    EXPECT_TRUE(
        std::regex_match(added.out, match, std::regex(R"(\d+ (\d+)\n)")))
        << added.out;
    return match[1].str();
  }
  void Queue(int32_t userId, const std::string& key,
             const std::string& title = "title",
             const std::string& text = "text") {
    ASSERT_EQ(Admin({"queue-notification", "--user-id", std::to_string(userId),
                     "--kind", "message", "--key", key, "--title", title,
                     "--text", text})
                  .status,
              0);
  }

  Activation Activate(int32_t mode, const Account& account) {
    HandsetActivateInput input{};
    input.mode = mode;
    Put(input.userAgent, u"vesk-e2e/1.0");
    Put(input.userSerial, account.serial);
    Put(input.username, U16(account.username));
    Put(input.password, U16(account.password));
    Put(input.name, account.name);
    Put(input.email, account.email);
    Put(input.province, account.province);
    Put(input.validation, account.validation);
    Put(input.bom, u"1");
    Put(input.environmentPath, account.envPath);
    input.gender = account.gender;
    input.figure = account.figure;
    Activation out;
    out.result.userId = -7;  // a mark the modes that write nothing keep
    out.status =
        vesk_handsetActivate(&input, &out.result, &out.error,
                             Url("/activate").c_str(), service_->port());
    return out;
  }

  // Registers a handset for a new account in mode 4; its user id.
  int32_t Register(const std::string& username, const std::u16string& name,
                   const std::u16string& envPath = kEnv,
                   const std::u16string& serial = u"SN-0001") {
    Account account{username, "secret"};
    account.name = name;
    account.province = u"江苏";
    account.envPath = envPath;
    account.serial = serial;
    const Activation done = Activate(4, account);
    EXPECT_EQ(done.status, 200);
    return done.result.userId;
  }

  // The handset's environment file.
  std::string Env(const std::u16string& path = kEnv) const {
    return ReadHostFile(root_.Host(tools::Utf16ToUtf8(path)));
  }
  // The identity headers of a raw request, with a certificate of its own
  // unless one is given.
  std::string Identity(int32_t userId, std::string certificate = "") const {
    if (certificate.empty()) certificate = Certificate(Env());
    return "User-Serial: SN-0001\r\nUser-ID: " + std::to_string(userId) +
           "\r\nUser-Cert: " + certificate + "\r\n";
  }
  std::string SaveRequest(int32_t userId, const std::string& body,
                          size_t declared) const {
    return "POST /save HTTP/1.1\r\nHost: x\r\n" + Identity(userId) +
           "Content-Type: multipart/form-data; boundary=" + kBoundary +
           "\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" +
           body;
  }

  Info AccountOf(const std::u16string& env = kEnv) {
    Info out;
    out.info.accountId = -3;  // a mark a refused call keeps
    out.status = vesk_AccountInfo(env.c_str(), &out.info, &out.error,
                                  Url("/account").c_str(), service_->port());
    return out;
  }

  // A heartbeat into the fixture's record (the library releases the
  // previous entries); the keys of its notifications, in order.
  Keys Beat(const std::u16string& env = kEnv) {
    HandsetError error{};
    EXPECT_EQ(vesk_HandsetBeat(env.c_str(), &beat_, &error,
                               Url("/heartbeat").c_str(), service_->port()),
              200);
    Keys keys;
    for (int32_t i = 0; i < beat_.contentCount; ++i) {
      keys.push_back(Text(Contents()[i].key));
    }
    for (int32_t i = 0; i < beat_.messageCount; ++i) {
      keys.push_back(Text(Messages()[i].key));
    }
    return keys;
  }
  const ContentNotification* Contents() const {
    return reinterpret_cast<const ContentNotification*>(beat_.entries);
  }
  const MessageNotification* Messages() const {
    return reinterpret_cast<const MessageNotification*>(beat_.entries +
                                                        beat_.messageOffset);
  }

  // One save from the handset's own files: "update a.bin delete b\\c.bin"
  // (paths under the storage card).
  Saved Save(const std::string& entries, const std::u16string& env = kEnv) {
    HandsetSaveInput input{};
    std::istringstream words(entries);
    for (std::string action, path; words >> action >> path; ++input.count) {
      Put(input.entries[input.count].action, U16(action));
      Put(input.entries[input.count].path, U16("\\Storage Card\\" + path));
    }
    std::vector<vesk_char16> output(1025);
    HandsetError error{};
    Saved saved;
    saved.status = vesk_HandsetSave(env.c_str(), &input, output.data(), &error,
                                    Url("/save").c_str(), service_->port());
    saved.code = error.code;
    saved.output = Text(output.data());
    return saved;
  }

  std::string Uploads(int32_t userId) const {
    return data_.path() + "/uploads/" + std::to_string(userId);
  }
  // Files of the upload directory that are not stored uploads (scratch files
  // of refused saves).
  std::vector<std::string> Scratch(int32_t userId) const {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry :
         fs::recursive_directory_iterator(Uploads(userId), ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(".incoming-", 0) == 0) found.push_back(name);
    }
    return found;
  }

  DeviceRoot root_;
  TempDir data_;
  std::unique_ptr<ServiceProcess> service_;
  HandsetBeatResult beat_{};
};

TEST_F(ServiceE2e, ActivationInEveryMode) {
  const std::string code =
      AddAccount({"--name", "carol", "--password", "pw1", "--display-name",
                  "李娜", "--province", "北京", "--email", "carol@vesk.test",
                  "--gender", "2", "--figure", "5"});
  const std::string stale = AddAccount(
      {"--name", "frank", "--password", "pw2", "--valid-for", "-60"});
  // An account whose reply would not fit a handset's first receive.
  EXPECT_EQ(Admin({"add-account", "--name", "long", "--password", "x",
                   "--email", std::string(700, 'e')})
                .status,
            2);
  Start();

  // Mode 1 registers an account; the result record is not written.
  Account dave{"dave", "pw3"};
  dave.name = u"赵六";
  Activation done = Activate(1, dave);
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.result.userId, -7);
  EXPECT_TRUE(
      std::regex_match(Ascii(done.result.serverDate),
                       std::regex(R"( \w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT)")))
      << Ascii(done.result.serverDate);
  done = Activate(1, dave);
  EXPECT_EQ(done.status, 409);
  EXPECT_EQ(done.error.code, 911);

  // Mode 5 checks the password.
  EXPECT_EQ(Activate(5, Account{"carol", "pw1"}).status, 200);
  done = Activate(5, Account{"carol", "wrong"});
  EXPECT_EQ(done.status, 403);
  EXPECT_EQ(done.error.code, 910);
  EXPECT_EQ(Text(done.error.message), u" wrong account name or password");

  // Mode 2 with a wrong, then an expired validation code: refused with the
  // service's time stamp, and no environment file.
  Account carol{"carol", "pw1"};
  carol.validation = u"000000";
  Account frank{"frank", "pw2"};
  frank.validation = U16(stale);
  frank.envPath = u"\\PocketDisk1\\frank.env";
  for (const auto& [account, status, code] :
       {std::tuple{carol, 403, 914}, std::tuple{frank, 403, 915}}) {
    done = Activate(2, account);
    EXPECT_EQ(done.status, status);
    EXPECT_EQ(done.error.code, code);
    EXPECT_TRUE(
        std::regex_match(Ascii(done.error.timestamp).substr(1), kTimestamp))
        << Ascii(done.error.timestamp);
    EXPECT_FALSE(
        HostFileExists(root_.Host(tools::Utf16ToUtf8(account.envPath))));
  }

  // Mode 2 with the right code binds the handset: an identity assigned, the
  // account's values (names through encoded words) in the record, the
  // identity in the environment file.
  carol.validation = U16(code);
  done = Activate(2, carol);
  ASSERT_EQ(done.status, 200) << Ascii(done.error.message);
  const int32_t carolId = done.result.userId;
  EXPECT_GE(carolId, 10001);
  EXPECT_EQ(done.result.userNo, 1);
  EXPECT_EQ(Text(done.result.username), u"carol");
  EXPECT_EQ(Text(done.result.email), u"carol@vesk.test");
  EXPECT_EQ(Text(done.result.name), u"李娜");
  EXPECT_EQ(Text(done.result.province), u"北京");
  EXPECT_EQ(done.result.gender, 2);
  EXPECT_EQ(done.result.figure, 5);
  EXPECT_EQ(Line(Env(), "User-Id"),
            "User-Id: " + std::to_string(carolId) + "\n");
  EXPECT_EQ(Line(Env(), "User-Serial"), "User-Serial: SN-0001\n");

  // The account information names the bound account.
  const Info got = AccountOf();
  ASSERT_EQ(got.status, 200) << Ascii(got.error.message);
  EXPECT_GT(got.info.accountId, 0);
  EXPECT_EQ(Text(got.info.username), u"carol");
  EXPECT_EQ(Text(got.info.name), u"李娜");
  EXPECT_EQ(Text(got.info.province), u"北京");

  // Mode 3 returns the account with the handset bound to it.
  done = Activate(3, Account{"carol", "pw1"});
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.result.userId, carolId);
  EXPECT_EQ(Text(done.result.name), u"李娜");

  // Mode 4 registers and binds in one; another handset gets the next id.
  const std::u16string erinEnv = u"\\PocketDisk1\\erin.env";
  const int32_t erinId = Register("erin", u"孙七", erinEnv, u"SN-0002");
  EXPECT_EQ(erinId, carolId + 1);
  EXPECT_EQ(Line(Env(erinEnv), "User-Id"),
            "User-Id: " + std::to_string(erinId) + "\n");
}

class HeartbeatE2e : public ServiceE2e,
                     public ::testing::WithParamInterface<const char*> {};

TEST_P(HeartbeatE2e, NotificationsArriveOnce) {
  const std::string code = Seed();
  Start({"--encoding", GetParam()});
  // The demo account bound in mode 4: the seeded notifications go to it.
  Account demo{"demo", "demo1234"};
  demo.name = u"张伟";
  demo.validation = U16(code);
  const Activation bound = Activate(4, demo);
  ASSERT_EQ(bound.status, 200);

  EXPECT_EQ(Beat(), (Keys{u"demo-medium", u"welcome"}));
  EXPECT_EQ(beat_.total, 3);
  ASSERT_EQ(beat_.contentCount, 1);
  ASSERT_EQ(beat_.messageCount, 1);
  ASSERT_EQ(beat_.advertisementCount, 1);
  const ContentNotification* content = Contents();
  EXPECT_EQ(Text(content->title), u"新内容：演示文件");
  EXPECT_EQ(Text(content->text), u"一个六千字节的演示文件 & more");
  EXPECT_EQ(Text(content->mime), u"application/octet-stream");
  EXPECT_EQ(content->size, 6000);
  EXPECT_EQ(Text(Messages()->title), u"欢迎");
  EXPECT_EQ(Text(Messages()->text), u"欢迎使用演示服务。");
  const auto* advert = reinterpret_cast<const AdvertisementNotification*>(
      beat_.entries + beat_.advertisementOffset);
  EXPECT_EQ(Text(advert->title), u"春季活动");
  EXPECT_EQ(Text(advert->text), u"限时优惠 <50%>");
  EXPECT_EQ(Text(advert->media), u"image/png");
  EXPECT_EQ(Text(advert->href), u"http://127.0.0.1/spring");

  // Delivered once: the next heartbeat is empty.
  EXPECT_EQ(Beat(), Keys{});
  EXPECT_EQ(beat_.total, 0);
  EXPECT_EQ(beat_.advertisementCount, 0);

  // A notification queued while the service runs arrives with the next one.
  Queue(bound.result.userId, "m2", "通知", "第二条消息");
  EXPECT_EQ(Beat(), Keys{u"m2"});
  EXPECT_EQ(Text(Messages()->title), u"通知");
  EXPECT_EQ(Text(Messages()->text), u"第二条消息");
}

INSTANTIATE_TEST_SUITE_P(Encodings, HeartbeatE2e,
                         ::testing::Values("utf-8", "gbk", "utf-16le"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name.erase(
                               std::remove(name.begin(), name.end(), '-'),
                               name.end());
                           return name;
                         });

TEST_F(ServiceE2e, DownloadResumedAcrossCutsAndHealedByRollback) {
  Seed();
  const std::string large = Largest();
  ASSERT_EQ(large.size(), 3000000u);
  // The first two replies break off after a million body bytes each.
  Start({"--cut-after", "1000000", "--cuts", "2"});
  const int32_t userId = Register("kate", u"Kate");
  const std::string id = std::to_string(userId);
  auto download = [&](const std::string& name, DownloadRecord& record,
                      DownloadResult& result) {
    HandsetError error{};
    Put(record.contentKey, u"demo-large");
    const int32_t status = vesk_HandsetDownload(
        kEnv.c_str(), &record, &result, &error,
        U16("\\Storage Card\\" + name).c_str(), Url("/download").c_str(),
        service_->port(), Url("/download/confirm").c_str(), service_->port());
    EXPECT_EQ(error.code, 0);
    EXPECT_TRUE(ReadHostFile(root_.Host("\\Storage Card\\" + name)) == large);
    EXPECT_FALSE(
        HostFileExists(root_.Host("\\Storage Card\\" + name + ".Down")));
    EXPECT_FALSE(
        HostFileExists(root_.Host("\\Storage Card\\" + name + ".Down.cfg")));
    return status;
  };

  DownloadRecord record{};
  DownloadResult result{};
  EXPECT_EQ(download("large.bin", record, result), 206);
  EXPECT_EQ(result.rangeStart, 2000000);
  EXPECT_EQ(result.received, 1000000);
  EXPECT_EQ(result.fileSize, 3000000);
  EXPECT_EQ(Ascii(result.checksum), Md5Hex(large));
  const std::string user = " user=" + id;
  EXPECT_TRUE(
      service_->Logged("\"POST /download\" 200 1000000" + user + " cut"))
      << service_->Log();
  EXPECT_TRUE(
      service_->Logged("\"POST /download\" 206 1000000" + user + " cut"));
  EXPECT_TRUE(service_->Logged("\"POST /download\" 206 1000000" + user + "\n"));
  EXPECT_EQ(Admin({"list-deliveries"}).out, id + " demo-large 3000000\n");

  // A partial file of 200000 bytes whose byte 190000 went bad: its checksum
  // is refused (916), the rollback cuts 40960 bytes, taking the damage with
  // them, and the resume from there completes.
  std::string partial = large.substr(0, 200000);
  partial[190000] = static_cast<char>(partial[190000] ^ 0x5A);
  WriteHostFile(root_.Host("\\Storage Card\\item.dat.Down"), partial);
  record = DownloadRecord{};
  record.offset = 200000;
  EXPECT_EQ(download("item.dat", record, result), 206);
  EXPECT_EQ(record.offset, 200000u - 40960u);
  EXPECT_EQ(Ascii(record.partialChecksum),
            Md5Hex(large.substr(0, 200000 - 40960)));
  EXPECT_EQ(result.rangeStart, 200000 - 40960);
  EXPECT_TRUE(service_->Logged("\"POST /download\" 416 ")) << service_->Log();
  EXPECT_TRUE(service_->Logged("code=916"));
  EXPECT_EQ(Admin({"list-deliveries"}).out,
            id + " demo-large 3000000\n" + id + " demo-large 3000000\n");
}

TEST_F(ServiceE2e, PackageLoadResumedAndUnpacked) {
  // An archive made by the zip tool, with a folder and a compressed entry.
  TempDir source;
  WriteHostFile(source.path() + "/pkg/readme.txt", "read me\n");
  WriteHostFile(source.path() + "/pkg/docs/long.txt", std::string(5000, 'x'));
  ASSERT_EQ(tools::RunToEnd({"zip", "-qr", "../made.zip", "readme.txt", "docs"},
                            nullptr, {"", source.path() + "/pkg"}),
            0);
  ASSERT_EQ(Admin({"add-package", "--path", "apps/made.zip", "--file",
                   source.path() + "/made.zip"})
                .status,
            0);
  Start({"--cut-after", "300"});
  Register("mia", u"Mia");

  LoadRecord record{};
  Put(record.archivePath, u"\\Storage Card\\made.zip");
  Put(record.targetDirectory, u"\\Storage Card\\apps");
  LoadResult result{};
  HandsetError error{};
  auto load = [&](const std::string& path) {
    return vesk_HandsetLoad(kEnv.c_str(), &record, &result, &error,
                            Url(path).c_str(), service_->port());
  };
  // The first reply is cut: the data file keeps 300 bytes, nothing unpacked.
  EXPECT_EQ(load("/packages/apps/made.zip"), 200);
  EXPECT_EQ(result.received, 300);
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\made.zip.Down")).size(),
            300u);
  EXPECT_FALSE(HostFileExists(root_.Host("\\Storage Card\\apps\\readme.txt")));

  record.offset = 300;
  record.deleteArchive = 1;
  EXPECT_EQ(load("/packages/apps/made.zip"), 206);
  const int32_t size =
      static_cast<int32_t>(fs::file_size(source.path() + "/made.zip"));
  EXPECT_EQ(result.rangeStart, 300);
  EXPECT_EQ(result.fileSize, size);
  EXPECT_EQ(result.received, size - 300);
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\apps\\readme.txt")),
            "read me\n");
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\apps\\docs\\long.txt")),
            std::string(5000, 'x'));
  EXPECT_FALSE(HostFileExists(root_.Host("\\Storage Card\\made.zip")));

  // A package the service does not have.
  error = HandsetError{};
  record.offset = 0;
  EXPECT_EQ(load("/packages/none.zip"), 404);
  EXPECT_EQ(error.code, 918);
}

TEST_F(ServiceE2e, SaveStoresFilesAndDeleteRemovesOne) {
  Start();
  const int32_t userId = Register("nora", u"Nora");
  const std::string id = std::to_string(userId);
  std::string photo(3000, '\0');
  for (size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 7);
  WriteHostFile(root_.Host("\\Storage Card\\notes.txt"), "note one\r\n");
  WriteHostFile(root_.Host("\\Storage Card\\照片\\a.bin"), photo);
  const std::string photoLine =
      id + " \\Storage Card\\照片\\a.bin 3000 " + Md5Hex(photo) + "\n";

  Saved saved = Save("update notes.txt update 照片\\a.bin");
  ASSERT_EQ(saved.status, 200);
  EXPECT_NE(saved.output.find(u"stored 2, deleted 0"), std::u16string::npos);
  const std::string base = Uploads(userId);
  EXPECT_EQ(ReadHostFile(base + "/Storage Card/notes.txt"), "note one\r\n");
  EXPECT_TRUE(ReadHostFile(base + "/Storage Card/照片/a.bin") == photo);
  EXPECT_EQ(Admin({"list-uploads"}).out, id + " \\Storage Card\\notes.txt 10 " +
                                             Md5Hex("note one\r\n") + "\n" +
                                             photoLine);

  saved = Save("delete notes.txt");
  ASSERT_EQ(saved.status, 200);
  EXPECT_NE(saved.output.find(u"stored 0, deleted 1"), std::u16string::npos);
  EXPECT_FALSE(HostFileExists(base + "/Storage Card/notes.txt"));
  EXPECT_TRUE(HostFileExists(base + "/Storage Card/照片/a.bin"));
  EXPECT_EQ(Admin({"list-uploads"}).out, photoLine);

  // A handset the service does not know is refused before its body is read;
  // the refusal still reaches it after a large body.
  WriteHostFile(root_.Host("\\Storage Card\\big.bin"),
                std::string(3 << 20, 'b'));
  WriteHostFile(root_.Host("\\PocketDisk1\\stranger.env"),
                Swap(Env(), "User-Id", "User-Id: 99999\n"));
  saved = Save("update big.bin", u"\\PocketDisk1\\stranger.env");
  EXPECT_EQ(saved.status, 403);
  EXPECT_EQ(saved.code, 901);
  EXPECT_FALSE(HostFileExists(Uploads(99999)));
}

TEST_F(ServiceE2e, HostileRequestsGetRefusals) {
  Start();
  const int32_t userId = Register("olga", u"Olga");
  // The hand-made certificate is good: a well-formed save gets through.
  const std::string part = Part("\\Storage Card\\x.txt", "0123456789");
  const std::string good = part + kLastDelimiter;
  EXPECT_EQ(Status(Exchange(service_->port(),
                            SaveRequest(userId, good, good.size()))),
            200);
  const std::string escaping = Part("\\..\\..\\evil.txt", "x") + kLastDelimiter;

  const struct {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"oversized head",
       "GET /account HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n",
       431},
      {"negative length",
       "POST /activate HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400},
      {"conflicting lengths",
       "POST /activate HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n"
       "\r\nabcdef",
       400},
      {"chunked body",
       "POST /activate HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       501},
      {"body shorter than its length",
       "POST /activate HTTP/1.1\r\nContent-Length: 100\r\n\r\nusername=x", 400},
      {"head without its end", "GET /account HTTP/1.1\r\nHost: x\r\n", 400},
      {"garbage",
       std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 13), 400},
      {"truncated multipart", SaveRequest(userId, part, part.size() + 500),
       400},
      {"multipart without its closing delimiter",
       SaveRequest(userId, part, part.size()), 400},
      {"multipart escaping the store",
       SaveRequest(userId, escaping, escaping.size()), 400},
  };
  for (const auto& c : cases) {
    const std::string reply = Exchange(service_->port(), c.request);
    EXPECT_EQ(Status(reply), c.status) << c.what << "\n" << reply;
  }
  // Only the good request stored anything.
  EXPECT_EQ(Admin({"list-uploads"}).out, std::to_string(userId) +
                                             " \\Storage Card\\x.txt 10 " +
                                             Md5Hex("0123456789") + "\n");
  EXPECT_FALSE(HostFileExists(data_.path() + "/evil.txt"));
  // A client that sent half its head holds its own connection only: the
  // library is served meanwhile, and the held request still gets its reply.
  const int held = Connect(service_->port());
  ASSERT_GE(held, 0);
  const std::string half = "GET /account HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(::send(held, half.data(), half.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(half.size()));
  EXPECT_EQ(AccountOf().status, 200);
  ASSERT_EQ(::send(held, "\r\n", 2, MSG_NOSIGNAL), 2);
  const std::string reply = ReadToEnd(held);
  EXPECT_EQ(Status(reply), 403) << reply;
  EXPECT_NE(reply.find("X-Error-Code: 901\r\n"), std::string::npos);
}

// ---- Identity, limits and deadlines

TEST_F(ServiceE2e, BindingsNeverPassToAnotherAccount) {
  const std::string annCode =
      AddAccount({"--name", "ann", "--password", "pw-ann"});
  Start();
  // Ann binds her handset; a notification waits for it.
  Account ann{"ann", "pw-ann"};
  ann.validation = U16(annCode);
  ann.serial = u"SN-SHARED";
  const Activation annBound = Activate(2, ann);
  ASSERT_EQ(annBound.status, 200);
  const int32_t annId = annBound.result.userId;
  Queue(annId, "for-ann");

  // Another account activates with the same serial: a binding of its own,
  // with its own user id; Ann's binding, key and notification stay hers.
  const std::u16string bobEnv = u"\\PocketDisk1\\bob.env";
  const int32_t bobId = Register("bob", u"Bob", bobEnv, u"SN-SHARED");
  EXPECT_GT(bobId, 0);
  EXPECT_NE(bobId, annId);
  Info got = AccountOf();
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(Text(got.info.username), u"ann");
  got = AccountOf(bobEnv);
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(Text(got.info.username), u"bob");
  EXPECT_EQ(Beat(bobEnv), Keys{});
  EXPECT_EQ(Beat(), Keys{u"for-ann"});
  Queue(bobId, "for-bob");
  EXPECT_EQ(Beat(), Keys{});
  EXPECT_EQ(Beat(bobEnv), Keys{u"for-bob"});

  // Modes 3 and 5 name each account's own binding of the serial.
  Account annAgain{"ann", "pw-ann"};
  annAgain.serial = u"SN-SHARED";
  EXPECT_EQ(Activate(3, annAgain).result.userId, annId);
  Account bobAgain{"bob", "secret"};
  bobAgain.serial = u"SN-SHARED";
  EXPECT_EQ(Activate(3, bobAgain).result.userId, bobId);

  // Ann activating the same handset again keeps her user id with a new key:
  // the old key's certificates no longer verify.
  WriteHostFile(root_.Host("\\PocketDisk1\\old.env"), Env());
  ann.envPath = u"\\PocketDisk1\\new.env";
  const Activation rebound = Activate(2, ann);
  ASSERT_EQ(rebound.status, 200);
  EXPECT_EQ(rebound.result.userId, annId);
  got = AccountOf(ann.envPath);
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(Text(got.info.username), u"ann");
  got = AccountOf(u"\\PocketDisk1\\old.env");
  EXPECT_EQ(got.status, 403);
  EXPECT_EQ(got.error.code, 902);

  // A heartbeat is only as good as serial and user id together: Ann's user
  // id with another serial is refused.
  const std::string refused =
      Exchange(service_->port(),
               "GET /heartbeat HTTP/1.1\r\nUser-Serial: "
               "SN-OTHER\r\nUser-ID: " +
                   std::to_string(annId) + "\r\n\r\n");
  EXPECT_EQ(Status(refused), 403) << refused;
  EXPECT_EQ(HeaderValue(refused, "X-Error-Code"), "901");
}

TEST_F(ServiceE2e, CertificatesAreAcceptedOnce) {
  Start();
  const int32_t userId = Register("cara", u"Cara");
  auto request = [&](const std::string& certificate) {
    return "GET /account HTTP/1.1\r\n" + Identity(userId, certificate) + "\r\n";
  };
  const struct {
    const char* what;
    std::string certificate;
    int first, firstCode;  // the first use
  } cases[] = {
      {"fresh", Certificate(Env()), 200, 0},
      {"four minutes old", Certificate(Env(), 240), 200, 0},
      {"six minutes old", Certificate(Env(), 360), 403, 906},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string first =
        Exchange(service_->port(), request(c.certificate));
    EXPECT_EQ(Status(first), c.first) << first;
    if (c.firstCode) {
      EXPECT_EQ(HeaderValue(first, "X-Error-Code"),
                std::to_string(c.firstCode));
      continue;
    }
    // Sent again, within its window, at once and a moment later: refused.
    for (int replay = 0; replay < 3; ++replay) {
      const std::string again =
          Exchange(service_->port(), request(c.certificate));
      EXPECT_EQ(Status(again), 403) << again;
      EXPECT_EQ(HeaderValue(again, "X-Error-Code"), "902");
    }
  }
  EXPECT_TRUE(service_->Logged(
      "\"GET /account\" 403 24 code=902 user=" + std::to_string(userId) +
      " \"certificate used before\""))
      << service_->Log();
  // The store remembers: a restarted service refuses the replay too.
  EXPECT_EQ(service_->Stop(), 0);
  Start();
  const std::string replayed =
      Exchange(service_->port(), request(cases[0].certificate));
  EXPECT_EQ(Status(replayed), 403) << replayed;
  EXPECT_EQ(HeaderValue(replayed, "X-Error-Code"), "902");
  // And the library, which makes a certificate per request, is served.
  EXPECT_EQ(AccountOf().status, 200);
  EXPECT_EQ(AccountOf().status, 200);

  // Interrupted, it stops cleanly too. Restarted with its clock an hour
  // ahead of the handset's, it refuses the library's certificate as stale
  // with its own time stamp, and the record keeps its mark.
  EXPECT_EQ(service_->Stop(SIGINT), 0);
  Start({"--clock-offset", "3600"});
  const Info got = AccountOf();
  EXPECT_EQ(got.status, 403);
  EXPECT_EQ(got.error.code, 906);
  EXPECT_EQ(got.info.accountId, -3);
  const std::string stamp = Ascii(got.error.timestamp);
  ASSERT_EQ(stamp[0], ' ') << stamp;
  ASSERT_TRUE(std::regex_match(stamp.substr(1), kTimestamp)) << stamp;
  std::tm local{};
  ASSERT_NE(strptime(stamp.c_str() + 1, "%Y-%m-%d %H:%M:%S", &local), nullptr);
  local.tm_isdst = -1;
  const double ahead = std::difftime(std::mktime(&local), std::time(nullptr));
  EXPECT_NEAR(ahead, 3600, 120);
}

TEST_F(ServiceE2e, QuotaRefusesWithItsCodeAndSavesNeverClaimMore) {
  Start({"--quota", "10000"});
  const int32_t userId = Register("dora", u"Dora");
  const std::string id = std::to_string(userId);
  WriteHostFile(root_.Host("\\Storage Card\\a.bin"), std::string(6000, 'a'));
  WriteHostFile(root_.Host("\\Storage Card\\b.bin"), std::string(6000, 'b'));

  // The stored uploads as "name size;" in the store's order.
  auto listed = [&] {
    std::string out;
    std::istringstream lines(Admin({"list-uploads"}).out);
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (std::regex_match(
              line, match,
              std::regex(id + R"( \\Storage Card\\(\S+) (\d+) \w+)"))) {
        out += match[1].str() + " " + match[2].str() + ";";
      }
    }
    return out;
  };
  const struct {
    const char* what;
    size_t bSize;  // b.bin is written with this size first (0: as it is)
    std::string entries;
    int32_t status, code;
    std::u16string output;  // the reply's body on 200
    std::string uploads;    // stored afterwards
  } steps[] = {
      {"a fits", 0, "update a.bin", 200, 0, u"stored 1, deleted 0",
       "a.bin 6000;"},
      {"b would pass the quota", 0, "update b.bin", 507, 920, u"",
       "a.bin 6000;"},
      {"a delete after the update frees nothing for it", 0,
       "update b.bin delete a.bin", 507, 920, u"", "a.bin 6000;"},
      {"a delete before the update makes room for it", 0,
       "delete a.bin update b.bin", 200, 0, u"stored 1, deleted 1",
       "b.bin 6000;"},
      {"the file an update replaces no longer counts", 9000, "update b.bin",
       200, 0, u"stored 1, deleted 0", "b.bin 9000;"},
      {"deletes always work", 0, "delete b.bin", 200, 0, u"stored 0, deleted 1",
       ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.bSize > 0) {
      WriteHostFile(root_.Host("\\Storage Card\\b.bin"),
                    std::string(step.bSize, 'B'));
    }
    const Saved saved = Save(step.entries);
    EXPECT_EQ(saved.status, step.status);
    EXPECT_EQ(saved.code, step.code);
    if (step.status == 200) {
      EXPECT_NE(saved.output.find(u"\r\n\r\n" + step.output + u"\n"),
                std::u16string::npos)
          << tools::Utf16ToUtf8(saved.output);
    }
    EXPECT_EQ(listed(), step.uploads);
    EXPECT_EQ(Scratch(userId), std::vector<std::string>{});
  }
  EXPECT_TRUE(service_->Logged("code=920 user=" + id +
                               " \"the handset's storage quota is full\""));

  // A name the store cannot keep is refused, never answered 200.
  const std::string body =
      Part("\\Storage Card\\" + std::string(5000, 'n'), "xyz") + kLastDelimiter;
  const std::string reply =
      Exchange(service_->port(), SaveRequest(userId, body, body.size()));
  EXPECT_EQ(Status(reply), 400) << reply;
  EXPECT_EQ(HeaderValue(reply, "X-Error-Code"), "919");
  EXPECT_EQ(Admin({"list-uploads"}).out.find("nnnn"), std::string::npos);
}

// The data directory on a small file system of its own: one handset fills
// it, and every handset's heartbeat and deletes keep working.
TEST_F(ServiceE2e, FullDiskKeepsHeartbeatsAndDeletesWorking) {
  if (::mount("tmpfs", data_.path().c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "cannot mount a small file system: "
                 << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{data_.path()};
  Start({"--quota", "0", "--disk-reserve", "2097152"});
  const int32_t userId = Register("erin", u"Erin");
  WriteHostFile(root_.Host("\\Storage Card\\f.bin"), std::string(1 << 20, 'f'));

  // Uploads stop with 507 and code 920 once they would eat into the
  // reserve; never a 500.
  int stored = 0;
  Saved saved;
  while (stored < 16) {
    const std::string name = "f" + std::to_string(stored) + ".bin";
    WriteHostFile(root_.Host("\\Storage Card\\" + name),
                  std::string(1 << 20, 'f'));
    saved = Save("update " + name);
    if (saved.status != 200) break;
    ++stored;
  }
  EXPECT_GE(stored, 2);
  EXPECT_EQ(saved.status, 507);
  EXPECT_EQ(saved.code, 920);
  EXPECT_EQ(Scratch(userId), std::vector<std::string>{});
  Queue(userId, "before-full");

  // Something else fills the disk to the last byte.
  {
    std::ofstream filler(data_.path() + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  saved = Save("update f.bin");
  EXPECT_EQ(saved.status, 507);
  EXPECT_EQ(saved.code, 920);
  EXPECT_EQ(Beat(), Keys{u"before-full"});
  saved = Save("delete f0.bin delete f1.bin");
  EXPECT_EQ(saved.status, 200);
  EXPECT_NE(saved.output.find(u"stored 0, deleted 2"), std::u16string::npos);
  EXPECT_FALSE(HostFileExists(Uploads(userId) + "/Storage Card/f0.bin"));
  EXPECT_EQ(Admin({"list-uploads"}).out.find("f0.bin"), std::string::npos);

  // Once there is room again, saves are stored again.
  fs::remove(data_.path() + "/filler");
  EXPECT_EQ(Save("update f.bin").status, 200);
  EXPECT_EQ(service_->Stop(), 0);
}

TEST_F(ServiceE2e, SlowAndSurplusClientsCostTheirOwnConnectionOnly) {
  Start({"--head-timeout", "1", "--body-timeout", "1", "--idle-timeout", "1",
         "--max-connections", "4"});
  const int port = service_->port();
  // Four connections take the four places, each slow in its own way; they
  // are taken in the order they connected.
  const struct {
    const char* what;
    std::string opening;   // sent at once
    std::string trickled;  // then one byte at a time, until answered
    const char* reason;
  } slow[] = {
      {"silent", "", "", "request head not complete in time"},
      {"half a head", "GET /account HTTP/1.1\r\nHost: x\r\n", "",
       "request head not complete in time"},
      {"trickled head", "GET /account HTTP/1.1\r\n",
       std::string(200, 'X') + ": y\r\n", "request head not complete in time"},
      {"trickled form body",
       "POST /activate HTTP/1.1\r\nContent-Length: 100\r\n\r\nusername=",
       std::string(100, 'u'), "request body not complete in time"},
  };
  std::vector<int> fds;
  for (const auto& c : slow) {
    fds.push_back(Connect(port));
    ASSERT_GE(fds.back(), 0);
    ASSERT_EQ(
        ::send(fds.back(), c.opening.data(), c.opening.size(), MSG_NOSIGNAL),
        static_cast<ssize_t>(c.opening.size()));
  }
  // Every client beyond them is answered 503 (code 999), never reset.
  for (int i = 0; i < 10; ++i) {
    const std::string busy = Exchange(port, "GET /account HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Status(busy), 503) << busy;
    EXPECT_EQ(HeaderValue(busy, "X-Error-Code"), "999");
  }
  // The trickling clients send a byte whenever the service has not answered
  // within a fifth of a second; each gets its 408 all the same.
  for (size_t i = 0; i < std::size(slow); ++i) {
    SCOPED_TRACE(slow[i].what);
    size_t next = 0;
    pollfd answer{fds[i], POLLIN, 0};
    while (::poll(&answer, 1, 200) == 0 && next < slow[i].trickled.size()) {
      ASSERT_EQ(::send(fds[i], &slow[i].trickled[next++], 1, MSG_NOSIGNAL), 1);
    }
    const std::string reply = ReadToEnd(fds[i]);
    EXPECT_LT(next, slow[i].trickled.size() + 1);
    EXPECT_EQ(Status(reply), 408) << reply;
    EXPECT_EQ(HeaderValue(reply, "X-Error-Code"), "900");
    EXPECT_EQ(HeaderValue(reply, "X-Error-Message"), slow[i].reason);
  }
  EXPECT_TRUE(
      service_->Logged("\"-\" 503 21 code=999 \"too many connections\""))
      << service_->Log();
  EXPECT_TRUE(service_->Logged(
      " 408 34 code=900 timed-out \"request body not complete in time\""))
      << service_->Log();
  // Once they are gone, requests are served again.
  std::string served;
  for (int attempt = 0; attempt < 500 && Status(served) != 404; ++attempt) {
    served = Exchange(port, "GET /nothing HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(Status(served), 404) << served;
  // Every client read its reply whole, and the log says so: a reply sent
  // right after a missed deadline is not marked unsent.
  const std::string log = service_->Log();
  EXPECT_EQ(log.find(" unsent"), std::string::npos) << log;
  // Every line of the access log starts with its time stamp.
  size_t lines = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" \"") == std::string::npos) continue;
    ++lines;
    EXPECT_TRUE(std::regex_search(
        line, std::regex(
                  R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 ")")))
        << line;
  }
  EXPECT_GE(lines, 15u);
}

}  // namespace
}  // namespace vesk::test
