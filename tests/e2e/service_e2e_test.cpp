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

const std::u16string kEnv = u"\\PocketDisk1\\handset.env";
const std::regex kTimestamp(
    R"(\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\.\d{3,})");

template <size_t N>
void Put(vesk_char16 (&field)[N], const std::u16string& text) {
  const size_t n = std::min(text.size(), N - 1);
  std::copy(text.begin(), text.begin() + n, field);
  field[n] = 0;
}

std::u16string Text(const vesk_char16* field) { return std::u16string(field); }

// ASCII fields (time stamps, checksums) as std::string.
std::string Ascii(const vesk_char16* field) {
  return tools::Utf16ToUtf8(field);
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

class ServiceE2e : public ::testing::Test {
 protected:
  // Every service stops cleanly: exit status 0, which under the sanitizers
  // also means that they found nothing.
  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->Stop(), 0) << service_->Log();
    }
  }
  void Start(const std::vector<std::string>& extra = {}) {
    service_ = std::make_unique<ServiceProcess>(data_.path(), extra);
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
    out.status = vesk_handsetActivate(&input, &out.result, &out.error,
                                      service_->Url("/activate").c_str(),
                                      service_->port());
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

  std::string Uploads(int32_t userId) const {
    return data_.path() + "/uploads/" + std::to_string(userId);
  }

  DeviceRoot root_;
  TempDir data_;
  std::unique_ptr<ServiceProcess> service_;
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
  done = Activate(2, carol);
  EXPECT_EQ(done.status, 403);
  EXPECT_EQ(done.error.code, 914);
  EXPECT_TRUE(
      std::regex_match(Ascii(done.error.timestamp).substr(1), kTimestamp))
      << Ascii(done.error.timestamp);
  Account frank{"frank", "pw2"};
  frank.validation = U16(stale);
  frank.envPath = u"\\PocketDisk1\\frank.env";
  done = Activate(2, frank);
  EXPECT_EQ(done.error.code, 915);
  EXPECT_TRUE(
      std::regex_match(Ascii(done.error.timestamp).substr(1), kTimestamp));
  EXPECT_FALSE(HostFileExists(root_.Host("\\PocketDisk1\\handset.env")));
  EXPECT_FALSE(HostFileExists(root_.Host("\\PocketDisk1\\frank.env")));

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
  const std::string env =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  EXPECT_NE(env.find("User-Id: " + std::to_string(carolId) + "\n"),
            std::string::npos)
      << env;
  EXPECT_NE(env.find("User-Serial: SN-0001\n"), std::string::npos);

  // Mode 3 returns the account with the handset bound to it.
  done = Activate(3, Account{"carol", "pw1"});
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.result.userId, carolId);
  EXPECT_EQ(Text(done.result.name), u"李娜");

  // Mode 4 registers and binds in one; another handset gets the next id.
  const int32_t erinId =
      Register("erin", u"孙七", u"\\PocketDisk1\\erin.env", u"SN-0002");
  EXPECT_EQ(erinId, carolId + 1);
  EXPECT_NE(ReadHostFile(root_.Host("\\PocketDisk1\\erin.env"))
                .find("User-Id: " + std::to_string(erinId) + "\n"),
            std::string::npos);
}

TEST_F(ServiceE2e, AccountInformationWithVerifiedCertificate) {
  Start();
  const int32_t userId = Register("gina", u"王芳");
  AccountInfoResult info{};
  HandsetError error{};
  ASSERT_EQ(
      vesk_AccountInfo(kEnv.c_str(), &info, &error,
                       service_->Url("/account").c_str(), service_->port()),
      200)
      << Ascii(error.message);
  EXPECT_GT(info.accountId, 0);
  EXPECT_EQ(Text(info.username), u"gina");
  EXPECT_EQ(Text(info.name), u"王芳");
  EXPECT_EQ(Text(info.province), u"江苏");

  // The same identity with another handset's key: the certificate does not
  // recover with the registered key.
  const std::u16string otherEnv = u"\\PocketDisk1\\other.env";
  Register("hank", u"Hank", otherEnv, u"SN-0009");
  const std::string mine =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  const std::string other =
      ReadHostFile(root_.Host("\\PocketDisk1\\other.env"));
  auto line = [](const std::string& text, const std::string& key) {
    const size_t at = text.find(key + ": ");
    return text.substr(at, text.find('\n', at) - at + 1);
  };
  std::string forged = mine;
  for (const char* key : {"Public-Key", "Private-Key"}) {
    forged.replace(forged.find(line(mine, key)), line(mine, key).size(),
                   line(other, key));
  }
  WriteHostFile(root_.Host("\\PocketDisk1\\forged.env"), forged);
  error = HandsetError{};
  EXPECT_EQ(
      vesk_AccountInfo(u"\\PocketDisk1\\forged.env", &info, &error,
                       service_->Url("/account").c_str(), service_->port()),
      403);
  EXPECT_EQ(error.code, 902);

  // An identity the service never assigned.
  std::string unknown = mine;
  const std::string idLine = line(mine, "User-Id");
  unknown.replace(unknown.find(idLine), idLine.size(), "User-Id: 99999\n");
  WriteHostFile(root_.Host("\\PocketDisk1\\unknown.env"), unknown);
  error = HandsetError{};
  EXPECT_EQ(
      vesk_AccountInfo(u"\\PocketDisk1\\unknown.env", &info, &error,
                       service_->Url("/account").c_str(), service_->port()),
      403);
  EXPECT_EQ(error.code, 901);
  EXPECT_TRUE(service_->Logged("\"GET /account\" 200"));
  EXPECT_NE(service_->Log().find("user=" + std::to_string(userId)),
            std::string::npos);
}

TEST_F(ServiceE2e, StaleCertificateRefusedWithServerTimestamp) {
  Start();
  Register("ivan", u"Ivan");
  // Interrupted, it stops cleanly too. Restarted, its clock runs an hour
  // ahead of the handset's.
  EXPECT_EQ(service_->Stop(SIGINT), 0);
  Start({"--clock-offset", "3600"});
  AccountInfoResult info{};
  info.accountId = -3;
  HandsetError error{};
  EXPECT_EQ(
      vesk_AccountInfo(kEnv.c_str(), &info, &error,
                       service_->Url("/account").c_str(), service_->port()),
      403);
  EXPECT_EQ(error.code, 906);
  EXPECT_EQ(info.accountId, -3);
  const std::string stamp = Ascii(error.timestamp);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      stamp, match,
      std::regex(R"( (\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)\.\d{3,})")))
      << stamp;
  std::tm local{};
  local.tm_year = std::stoi(match[1]) - 1900;
  local.tm_mon = std::stoi(match[2]) - 1;
  local.tm_mday = std::stoi(match[3]);
  local.tm_hour = std::stoi(match[4]);
  local.tm_min = std::stoi(match[5]);
  local.tm_sec = std::stoi(match[6]);
  local.tm_isdst = -1;
  const double ahead = std::difftime(std::mktime(&local), std::time(nullptr));
  EXPECT_NEAR(ahead, 3600, 120);
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

  HandsetBeatResult beat{};
  HandsetError error{};
  ASSERT_EQ(
      vesk_HandsetBeat(kEnv.c_str(), &beat, &error,
                       service_->Url("/heartbeat").c_str(), service_->port()),
      200);
  EXPECT_EQ(beat.total, 3);
  ASSERT_EQ(beat.contentCount, 1);
  ASSERT_EQ(beat.messageCount, 1);
  ASSERT_EQ(beat.advertisementCount, 1);
  const auto* content =
      reinterpret_cast<const ContentNotification*>(beat.entries);
  EXPECT_EQ(Text(content->key), u"demo-medium");
  EXPECT_EQ(Text(content->title), u"新内容：演示文件");
  EXPECT_EQ(Text(content->text), u"一个六千字节的演示文件 & more");
  EXPECT_EQ(Text(content->mime), u"application/octet-stream");
  EXPECT_EQ(content->size, 6000);
  const auto* message = reinterpret_cast<const MessageNotification*>(
      beat.entries + beat.messageOffset);
  EXPECT_EQ(Text(message->key), u"welcome");
  EXPECT_EQ(Text(message->title), u"欢迎");
  EXPECT_EQ(Text(message->text), u"欢迎使用演示服务。");
  const auto* advert = reinterpret_cast<const AdvertisementNotification*>(
      beat.entries + beat.advertisementOffset);
  EXPECT_EQ(Text(advert->title), u"春季活动");
  EXPECT_EQ(Text(advert->text), u"限时优惠 <50%>");
  EXPECT_EQ(Text(advert->media), u"image/png");
  EXPECT_EQ(Text(advert->href), u"http://127.0.0.1/spring");

  // Delivered once: the next heartbeat is empty.
  ASSERT_EQ(
      vesk_HandsetBeat(kEnv.c_str(), &beat, &error,
                       service_->Url("/heartbeat").c_str(), service_->port()),
      200);
  EXPECT_EQ(beat.total, 0);
  EXPECT_EQ(beat.contentCount + beat.messageCount + beat.advertisementCount, 0);

  // A notification queued while the service runs arrives with the next one.
  const CommandResult queued =
      Admin({"queue-notification", "--user-id",
             std::to_string(bound.result.userId), "--kind", "message", "--key",
             "m2", "--title", "通知", "--text", "第二条消息"});
  ASSERT_EQ(queued.status, 0);
  ASSERT_EQ(
      vesk_HandsetBeat(kEnv.c_str(), &beat, &error,
                       service_->Url("/heartbeat").c_str(), service_->port()),
      200);
  ASSERT_EQ(beat.messageCount, 1);
  message = reinterpret_cast<const MessageNotification*>(beat.entries +
                                                         beat.messageOffset);
  EXPECT_EQ(Text(message->title), u"通知");
  EXPECT_EQ(Text(message->text), u"第二条消息");
  delete[] beat.entries;
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

TEST_F(ServiceE2e, DownloadResumedAcrossCutsAndConfirmed) {
  Seed();
  const std::string large =
      ReadHostFile(data_.path() + "/contents/4f90d0f748af8b26e89db1493a26521f");
  const std::string md5 = test::Md5Hex(large);
  ASSERT_EQ(large.size(), 3000000u);
  // The first two replies break off after a million body bytes each.
  Start({"--cut-after", "1000000", "--cuts", "2"});
  const int32_t userId = Register("kate", u"Kate");

  DownloadRecord record{};
  Put(record.contentKey, u"demo-large");
  DownloadResult result{};
  HandsetError error{};
  const std::u16string local = u"\\Storage Card\\large.bin";
  const int32_t status = vesk_HandsetDownload(
      kEnv.c_str(), &record, &result, &error, local.c_str(),
      service_->Url("/download").c_str(), service_->port(),
      service_->Url("/download/confirm").c_str(), service_->port());
  EXPECT_EQ(status, 206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(result.rangeStart, 2000000);
  EXPECT_EQ(result.received, 1000000);
  EXPECT_EQ(result.fileSize, 3000000);
  EXPECT_EQ(Ascii(result.checksum), md5);
  EXPECT_TRUE(ReadHostFile(root_.Host("\\Storage Card\\large.bin")) == large);
  EXPECT_FALSE(HostFileExists(root_.Host("\\Storage Card\\large.bin.Down")));
  EXPECT_FALSE(
      HostFileExists(root_.Host("\\Storage Card\\large.bin.Down.cfg")));

  const std::string user = " user=" + std::to_string(userId);
  EXPECT_TRUE(
      service_->Logged("\"POST /download\" 200 1000000" + user + " cut"))
      << service_->Log();
  EXPECT_TRUE(
      service_->Logged("\"POST /download\" 206 1000000" + user + " cut"));
  EXPECT_TRUE(service_->Logged("\"POST /download\" 206 1000000" + user + "\n"));
  const CommandResult deliveries = Admin({"list-deliveries"});
  EXPECT_EQ(deliveries.out, std::to_string(userId) + " demo-large 3000000\n");
}

TEST_F(ServiceE2e, DamagedPartialFileRefusedAndHealedByRollback) {
  Seed();
  const std::string large =
      ReadHostFile(data_.path() + "/contents/4f90d0f748af8b26e89db1493a26521f");
  Start();
  const int32_t userId = Register("liam", u"Liam");

  // A partial file of 200000 bytes whose byte 190000 went bad: its checksum
  // is refused (916), the rollback cuts 40960 bytes, taking the damage with
  // them, and the resume from there completes.
  std::string partial = large.substr(0, 200000);
  partial[190000] = static_cast<char>(partial[190000] ^ 0x5A);
  WriteHostFile(root_.Host("\\Storage Card\\item.dat.Down"), partial);
  DownloadRecord record{};
  Put(record.contentKey, u"demo-large");
  record.offset = 200000;
  DownloadResult result{};
  HandsetError error{};
  const std::u16string local = u"\\Storage Card\\item.dat";
  EXPECT_EQ(vesk_HandsetDownload(
                kEnv.c_str(), &record, &result, &error, local.c_str(),
                service_->Url("/download").c_str(), service_->port(),
                service_->Url("/download/confirm").c_str(), service_->port()),
            206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(record.offset, 200000u - 40960u);
  EXPECT_EQ(Ascii(record.partialChecksum),
            test::Md5Hex(large.substr(0, 200000 - 40960)));
  EXPECT_EQ(result.rangeStart, 200000 - 40960);
  EXPECT_TRUE(ReadHostFile(root_.Host("\\Storage Card\\item.dat")) == large);
  EXPECT_TRUE(service_->Logged("\"POST /download\" 416 ")) << service_->Log();
  EXPECT_TRUE(service_->Logged("code=916"));
  EXPECT_EQ(Admin({"list-deliveries"}).out,
            std::to_string(userId) + " demo-large 3000000\n");
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
  const std::u16string url = service_->Url("/packages/apps/made.zip");
  // The first reply is cut: the data file keeps 300 bytes, nothing unpacked.
  EXPECT_EQ(vesk_HandsetLoad(kEnv.c_str(), &record, &result, &error,
                             url.c_str(), service_->port()),
            200);
  EXPECT_EQ(result.received, 300);
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\made.zip.Down")).size(),
            300u);
  EXPECT_FALSE(HostFileExists(root_.Host("\\Storage Card\\apps\\readme.txt")));

  record.offset = 300;
  record.deleteArchive = 1;
  EXPECT_EQ(vesk_HandsetLoad(kEnv.c_str(), &record, &result, &error,
                             url.c_str(), service_->port()),
            206);
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
  EXPECT_EQ(vesk_HandsetLoad(kEnv.c_str(), &record, &result, &error,
                             service_->Url("/packages/none.zip").c_str(),
                             service_->port()),
            404);
  EXPECT_EQ(error.code, 918);
}

TEST_F(ServiceE2e, SaveStoresFilesAndDeleteRemovesOne) {
  Start();
  const int32_t userId = Register("nora", u"Nora");
  std::string photo(3000, '\0');
  for (size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 7);
  WriteHostFile(root_.Host("\\Storage Card\\notes.txt"), "note one\r\n");
  WriteHostFile(root_.Host("\\Storage Card\\照片\\a.bin"), photo);

  HandsetSaveInput input{};
  input.count = 2;
  Put(input.entries[0].path, u"\\Storage Card\\notes.txt");
  Put(input.entries[0].action, u"update");
  Put(input.entries[1].path, u"\\Storage Card\\照片\\a.bin");
  Put(input.entries[1].action, u"update");
  std::vector<vesk_char16> output(1025);
  HandsetError error{};
  ASSERT_EQ(vesk_HandsetSave(kEnv.c_str(), &input, output.data(), &error,
                             service_->Url("/save").c_str(), service_->port()),
            200)
      << Ascii(error.message);
  EXPECT_NE(Text(output.data()).find(u"stored 2, deleted 0"),
            std::u16string::npos);
  const std::string base = Uploads(userId);
  EXPECT_EQ(ReadHostFile(base + "/Storage Card/notes.txt"), "note one\r\n");
  EXPECT_TRUE(ReadHostFile(base + "/Storage Card/照片/a.bin") == photo);
  const std::string id = std::to_string(userId);
  EXPECT_EQ(Admin({"list-uploads"}).out,
            id + " \\Storage Card\\notes.txt 10 " +
                test::Md5Hex("note one\r\n") + "\n" + id +
                " \\Storage Card\\照片\\a.bin 3000 " + test::Md5Hex(photo) +
                "\n");

  input.count = 1;
  Put(input.entries[0].path, u"\\Storage Card\\notes.txt");
  Put(input.entries[0].action, u"delete");
  ASSERT_EQ(vesk_HandsetSave(kEnv.c_str(), &input, output.data(), &error,
                             service_->Url("/save").c_str(), service_->port()),
            200);
  EXPECT_NE(Text(output.data()).find(u"stored 0, deleted 1"),
            std::u16string::npos);
  EXPECT_FALSE(HostFileExists(base + "/Storage Card/notes.txt"));
  EXPECT_TRUE(HostFileExists(base + "/Storage Card/照片/a.bin"));
  EXPECT_EQ(
      Admin({"list-uploads"}).out,
      id + " \\Storage Card\\照片\\a.bin 3000 " + test::Md5Hex(photo) + "\n");

  // A handset the service does not know is refused before its body is read;
  // the refusal still reaches it after a large body.
  std::string stranger = ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  const size_t at = stranger.find("User-Id: ");
  stranger.replace(at, stranger.find('\n', at) - at, "User-Id: 99999");
  WriteHostFile(root_.Host("\\PocketDisk1\\stranger.env"), stranger);
  WriteHostFile(root_.Host("\\Storage Card\\big.bin"),
                std::string(3 << 20, 'b'));
  Put(input.entries[0].path, u"\\Storage Card\\big.bin");
  Put(input.entries[0].action, u"update");
  EXPECT_EQ(vesk_HandsetSave(u"\\PocketDisk1\\stranger.env", &input,
                             output.data(), &error,
                             service_->Url("/save").c_str(), service_->port()),
            403);
  EXPECT_EQ(error.code, 901);
  EXPECT_FALSE(HostFileExists(Uploads(99999)));
}

// ---- Hostile requests on a raw socket
// -----------------------------------------

// Sends the bytes (then ends the sending side) and returns the whole reply.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    ::close(fd);
    return "";
  }
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t sent =
        ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) break;
    at += static_cast<size_t>(sent);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    reply.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return reply;
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

int Status(const std::string& reply) {
  return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0;
}

TEST_F(ServiceE2e, HostileRequestsGetRefusals) {
  Start();
  const int32_t userId = Register("olga", u"Olga");
  const std::string env =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  // A fresh certificate for every request: the service takes each once.
  auto identity = [&] {
    return "User-Serial: SN-0001\r\nUser-ID: " + std::to_string(userId) +
           "\r\nUser-Cert: " + Certificate(env) + "\r\n";
  };
  // The hand-made certificate is good: a well-formed save gets through.
  const std::string boundary = "b0undary";
  const std::string part =
      "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"update1\"; "
      "filename=\"\\Storage Card\\x.txt\"\r\n\r\n0123456789\r\n";
  const std::string good = part + "--" + boundary + "--\r\n";
  auto save = [&](const std::string& body, size_t declared) {
    return "POST /save HTTP/1.1\r\nHost: x\r\n" + identity() +
           "Content-Type: multipart/form-data; boundary=" + boundary +
           "\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" +
           body;
  };
  EXPECT_EQ(Status(Exchange(service_->port(), save(good, good.size()))), 200);
  const std::string escaping =
      "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"update1\"; "
      "filename=\"\\..\\..\\evil.txt\"\r\n\r\nx\r\n--" +
      boundary + "--\r\n";

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
      {"truncated multipart", save(part, part.size() + 500), 400},
      {"multipart without its closing delimiter", save(part, part.size()), 400},
      {"multipart escaping the store", save(escaping, escaping.size()), 400},
  };
  for (const auto& c : cases) {
    const std::string reply = Exchange(service_->port(), c.request);
    EXPECT_EQ(Status(reply), c.status) << c.what << "\n" << reply;
  }
  // Only the good request stored anything.
  EXPECT_EQ(Admin({"list-uploads"}).out, std::to_string(userId) +
                                             " \\Storage Card\\x.txt 10 " +
                                             test::Md5Hex("0123456789") + "\n");
  EXPECT_FALSE(HostFileExists(data_.path() + "/evil.txt"));
  // A client that sent half its head holds its own connection only: the
  // library is served meanwhile, and the held request still gets its reply.
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(service_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(
      ::connect(held, reinterpret_cast<sockaddr*>(&address), sizeof address),
      0);
  const std::string half = "GET /account HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(::send(held, half.data(), half.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(half.size()));
  AccountInfoResult info{};
  HandsetError error{};
  EXPECT_EQ(
      vesk_AccountInfo(kEnv.c_str(), &info, &error,
                       service_->Url("/account").c_str(), service_->port()),
      200);
  ASSERT_EQ(::send(held, "\r\n", 2, MSG_NOSIGNAL), 2);
  std::string reply;
  char buffer[1024];
  for (ssize_t got; (got = ::recv(held, buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<size_t>(got));
  }
  ::close(held);
  EXPECT_EQ(Status(reply), 403) << reply;
  EXPECT_NE(reply.find("X-Error-Code: 901\r\n"), std::string::npos);

  EXPECT_EQ(service_->Stop(), 0);
}

// ---- Identity, limits and deadlines
// -------------------------------------------

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

// Everything the peer sends until it closes.
std::string ReadToEnd(int fd) {
  std::string reply;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<size_t>(got));
  }
  return reply;
}

std::string HeaderValue(const std::string& reply, const std::string& name) {
  const size_t at = reply.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 4;
  return reply.substr(from, reply.find("\r\n", from) - from);
}

struct Beat {
  int32_t status = 0;
  std::vector<std::u16string> keys;  // of every notification, in order
};

struct Saved {
  int32_t status = 0;
  int32_t code = 0;
  std::u16string output;
};

class LimitsE2e : public ServiceE2e {
 protected:
  Beat Heartbeat(const std::u16string& env) {
    HandsetBeatResult record{};
    HandsetError error{};
    Beat beat;
    beat.status =
        vesk_HandsetBeat(env.c_str(), &record, &error,
                         service_->Url("/heartbeat").c_str(), service_->port());
    const auto* entries = record.entries;
    for (int32_t i = 0; i < record.contentCount; ++i) {
      beat.keys.push_back(
          Text(reinterpret_cast<const ContentNotification*>(entries)[i].key));
    }
    for (int32_t i = 0; i < record.messageCount; ++i) {
      beat.keys.push_back(Text(reinterpret_cast<const MessageNotification*>(
                                   entries + record.messageOffset)[i]
                                   .key));
    }
    delete[] record.entries;
    return beat;
  }

  int32_t AccountOf(const std::u16string& env, std::u16string* username) {
    AccountInfoResult info{};
    HandsetError error{};
    const int32_t status =
        vesk_AccountInfo(env.c_str(), &info, &error,
                         service_->Url("/account").c_str(), service_->port());
    if (username) *username = Text(info.username);
    return status;
  }

  // One save of updates and deletes (action, handset path) from the
  // handset's own files.
  Saved Save(
      const std::vector<std::pair<std::u16string, std::u16string>>& entries) {
    HandsetSaveInput input{};
    input.count = static_cast<int32_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      Put(input.entries[i].action, entries[i].first);
      Put(input.entries[i].path, entries[i].second);
    }
    std::vector<vesk_char16> output(1025);
    HandsetError error{};
    Saved saved;
    saved.status =
        vesk_HandsetSave(kEnv.c_str(), &input, output.data(), &error,
                         service_->Url("/save").c_str(), service_->port());
    saved.code = error.code;
    saved.output = Text(output.data());
    return saved;
  }

  void Queue(int32_t userId, const std::string& key) {
    ASSERT_EQ(Admin({"queue-notification", "--user-id", std::to_string(userId),
                     "--kind", "message", "--key", key, "--title", key})
                  .status,
              0);
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
};

TEST_F(LimitsE2e, BindingsNeverPassToAnotherAccount) {
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
  std::u16string name;
  EXPECT_EQ(AccountOf(kEnv, &name), 200);
  EXPECT_EQ(name, u"ann");
  EXPECT_EQ(AccountOf(bobEnv, &name), 200);
  EXPECT_EQ(name, u"bob");
  EXPECT_EQ(Heartbeat(bobEnv).keys, std::vector<std::u16string>{});
  const Beat annBeat = Heartbeat(kEnv);
  EXPECT_EQ(annBeat.status, 200);
  EXPECT_EQ(annBeat.keys, std::vector<std::u16string>{u"for-ann"});
  Queue(bobId, "for-bob");
  EXPECT_EQ(Heartbeat(kEnv).keys, std::vector<std::u16string>{});
  EXPECT_EQ(Heartbeat(bobEnv).keys, std::vector<std::u16string>{u"for-bob"});

  // Modes 3 and 5 name each account's own binding of the serial.
  Account annAgain{"ann", "pw-ann"};
  annAgain.serial = u"SN-SHARED";
  EXPECT_EQ(Activate(3, annAgain).result.userId, annId);
  Account bobAgain{"bob", "secret"};
  bobAgain.serial = u"SN-SHARED";
  EXPECT_EQ(Activate(3, bobAgain).result.userId, bobId);

  // Ann activating the same handset again keeps her user id with a new key:
  // the old key's certificates no longer verify.
  const std::string oldEnv =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  WriteHostFile(root_.Host("\\PocketDisk1\\old.env"), oldEnv);
  ann.envPath = u"\\PocketDisk1\\new.env";
  const Activation rebound = Activate(2, ann);
  ASSERT_EQ(rebound.status, 200);
  EXPECT_EQ(rebound.result.userId, annId);
  EXPECT_EQ(AccountOf(u"\\PocketDisk1\\new.env", &name), 200);
  EXPECT_EQ(name, u"ann");
  EXPECT_EQ(AccountOf(u"\\PocketDisk1\\old.env", nullptr), 403);

  // A heartbeat is only as good as serial and user id together: Ann's user
  // id with another serial is refused.
  const std::string stranger =
      "GET /heartbeat HTTP/1.1\r\nUser-Serial: "
      "SN-OTHER\r\nUser-ID: " +
      std::to_string(annId) + "\r\n\r\n";
  const std::string refused = Exchange(service_->port(), stranger);
  EXPECT_EQ(Status(refused), 403) << refused;
  EXPECT_EQ(HeaderValue(refused, "X-Error-Code"), "901");
}

TEST_F(LimitsE2e, CertificatesAreAcceptedOnce) {
  Start();
  const int32_t userId = Register("cara", u"Cara");
  const std::string env =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  auto request = [&](const std::string& certificate) {
    return "GET /account HTTP/1.1\r\nUser-Serial: SN-0001\r\nUser-ID: " +
           std::to_string(userId) + "\r\nUser-Cert: " + certificate +
           "\r\n\r\n";
  };
  const struct {
    const char* what;
    std::string certificate;
    int first, firstCode;  // the first use
  } cases[] = {
      {"fresh", Certificate(env), 200, 0},
      {"four minutes old", Certificate(env, 240), 200, 0},
      {"six minutes old", Certificate(env, 360), 403, 906},
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
  EXPECT_EQ(Status(Exchange(service_->port(), request(cases[0].certificate))),
            403);
  // And the library, which makes a certificate per request, is served.
  EXPECT_EQ(AccountOf(kEnv, nullptr), 200);
  EXPECT_EQ(AccountOf(kEnv, nullptr), 200);
}

TEST_F(LimitsE2e, QuotaRefusesWithItsCodeAndSavesNeverClaimMore) {
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
    std::vector<std::pair<std::u16string, std::u16string>> entries;
    int32_t status, code;
    std::u16string output;  // the reply's body on 200
    std::string uploads;    // stored afterwards
  } steps[] = {
      {"a fits",
       0,
       {{u"update", u"\\Storage Card\\a.bin"}},
       200,
       0,
       u"stored 1, deleted 0",
       "a.bin 6000;"},
      {"b would pass the quota",
       0,
       {{u"update", u"\\Storage Card\\b.bin"}},
       507,
       920,
       u"",
       "a.bin 6000;"},
      {"a delete after the update frees nothing for it",
       0,
       {{u"update", u"\\Storage Card\\b.bin"},
        {u"delete", u"\\Storage Card\\a.bin"}},
       507,
       920,
       u"",
       "a.bin 6000;"},
      {"a delete before the update makes room for it",
       0,
       {{u"delete", u"\\Storage Card\\a.bin"},
        {u"update", u"\\Storage Card\\b.bin"}},
       200,
       0,
       u"stored 1, deleted 1",
       "b.bin 6000;"},
      {"the file an update replaces no longer counts",
       9000,
       {{u"update", u"\\Storage Card\\b.bin"}},
       200,
       0,
       u"stored 1, deleted 0",
       "b.bin 9000;"},
      {"deletes always work",
       0,
       {{u"delete", u"\\Storage Card\\b.bin"}},
       200,
       0,
       u"stored 0, deleted 1",
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
  const std::string env =
      ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  const std::string boundary = "b0undary";
  const std::string body = "--" + boundary +
                           "\r\nContent-Disposition: form-data; "
                           "name=\"update1\"; filename=\"\\Storage Card\\" +
                           std::string(5000, 'n') + "\"\r\n\r\nxyz\r\n--" +
                           boundary + "--\r\n";
  const std::string reply = Exchange(
      service_->port(),
      "POST /save HTTP/1.1\r\nUser-Serial: SN-0001\r\nUser-ID: " + id +
          "\r\nUser-Cert: " + Certificate(env) +
          "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
          body);
  EXPECT_EQ(Status(reply), 400) << reply;
  EXPECT_EQ(HeaderValue(reply, "X-Error-Code"), "919");
  EXPECT_EQ(Admin({"list-uploads"}).out.find("nnnn"), std::string::npos);
}

// The data directory on a small file system of its own: one handset fills
// it, and every handset's heartbeat and deletes keep working.
TEST_F(LimitsE2e, FullDiskKeepsHeartbeatsAndDeletesWorking) {
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
  const std::string id = std::to_string(userId);
  WriteHostFile(root_.Host("\\Storage Card\\f.bin"), std::string(1 << 20, 'f'));

  // Uploads stop with 507 and code 920 once they would eat into the
  // reserve; never a 500.
  int stored = 0;
  Saved saved;
  while (stored < 16) {
    const std::u16string name =
        u"\\Storage Card\\f" + U16(std::to_string(stored)) + u".bin";
    WriteHostFile(root_.Host(tools::Utf16ToUtf8(name)),
                  std::string(1 << 20, 'f'));
    saved = Save({{u"update", name}});
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
  saved = Save({{u"update", u"\\Storage Card\\f.bin"}});
  EXPECT_EQ(saved.status, 507);
  EXPECT_EQ(saved.code, 920);
  EXPECT_EQ(Heartbeat(kEnv).keys, std::vector<std::u16string>{u"before-full"});
  saved = Save({{u"delete", u"\\Storage Card\\f0.bin"},
                {u"delete", u"\\Storage Card\\f1.bin"}});
  EXPECT_EQ(saved.status, 200);
  EXPECT_NE(saved.output.find(u"stored 0, deleted 2"), std::u16string::npos);
  EXPECT_FALSE(HostFileExists(Uploads(userId) + "/Storage Card/f0.bin"));
  EXPECT_EQ(Admin({"list-uploads"}).out.find("f0.bin"), std::string::npos);

  // Once there is room again, saves are stored again.
  fs::remove(data_.path() + "/filler");
  saved = Save({{u"update", u"\\Storage Card\\f.bin"}});
  EXPECT_EQ(saved.status, 200);
  EXPECT_EQ(service_->Stop(), 0);
}

TEST_F(LimitsE2e, SlowAndSurplusClientsCostTheirOwnConnectionOnly) {
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
    ::close(fds[i]);
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
