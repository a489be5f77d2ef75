// The library against the reference service: every operation runs through
// the exports over loopback to a vesk-service child process, checked in the
// caller's records, the handset's files and the service's store; and the
// service's own rules (bindings, certificates, quota, a full disk, slow
// clients), with raw requests where a handset would send none.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "service/vesk80.h"
#include "tests/e2e/service_process.h"
#include "tests/support/device_root.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"
#include "tools/common/process.h"
#include "tools/common/text.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::u16string>;

const std::u16string kEnv = u"\\PocketDisk1\\handset.env";
const std::regex kTimestamp(
    R"( \d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\.\d{3,})");
const std::string kBoundary = "b0undary";

std::u16string Text(const vesk_char16* field) { return field; }
std::string Ascii(const vesk_char16* field) {
  return tools::Utf16ToUtf8(field);
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
  (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);  // blocking
  ::shutdown(fd, SHUT_WR);
  return ReadToEnd(fd);
}

int Status(const std::string& reply) {
  return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0;
}
std::string Code(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex("\r\nX-Error-Code: (\\d+)"))
             ? m[1].str()
             : "";
}

// A certificate of the handset as the library makes it, taken from a
// request to a peer that is not the service: fresh and never used.
std::string Certificate() {
  FakeServer peer({Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")});
  AccountInfoResult info{};
  HandsetError error{};
  vesk_AccountInfo(kEnv.c_str(), &info, &error, Url(peer, "/").c_str(),
                   peer.port());
  const std::string request = peer.Requests(1).at(0);
  const size_t at = request.find("User-Cert: ") + 11;
  return request.substr(at, request.find("\r\n", at) - at);
}

// A whole multipart body that updates the handset file with the data.
std::string Body(const std::string& filename, const std::string& data,
                 const std::string& last = "--" + kBoundary + "--\r\n") {
  return "--" + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"update1\"; filename=\"" +
         filename + "\"\r\n\r\n" + data + "\r\n" + last;
}

// A call's status, result record and error record.
template <typename Result>
struct Call {
  int32_t status = 0;
  Result result{};
  HandsetError error{};
};
using Activation = Call<HandsetActivateResult>;
using Info = Call<AccountInfoResult>;

struct Saved {
  int32_t status = 0, code = 0;
  std::string outcome;  // "stored N, deleted M" of the reply, or ""
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
    service_ = std::make_unique<ServiceProcess>(data_, extra);
  }
  std::u16string Url(const std::string& path) const {
    return service_->Url(path);
  }
  CommandResult Admin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--data", data_});
    return RunService(arguments);
  }
  // An account added by the administration command (the demo store with
  // none); its validation code.
  std::string AddAccount(const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"add-account"};
    if (options.empty()) arguments = {"--seed-demo"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const CommandResult added = Admin(arguments);
    EXPECT_EQ(added.status, 0) << added.out;
    std::smatch match;
    EXPECT_TRUE(std::regex_search(added.out, match, std::regex(R"((\d{6})\n)")))
        << added.out;
    return match[1].str();
  }
  void Queue(int32_t userId, const std::string& key,
             const std::string& title = "title") {
    ASSERT_EQ(Admin({"queue-notification", "--user-id", std::to_string(userId),
                     "--kind", "message", "--key", key, "--title", title,
                     "--text", "第二条消息"})
                  .status,
              0);
  }

  Activation Activate(int32_t mode, const std::string& username,
                      const std::string& password,
                      const std::u16string& validation = u"",
                      const std::u16string& serial = u"SN-0001",
                      const std::u16string& envPath = kEnv) {
    HandsetActivateInput input{};
    input.mode = mode;
    Put(input.userAgent, u"vesk-e2e/1.0");
    Put(input.userSerial, serial);
    Put(input.username, U16(username));
    Put(input.password, U16(password));
    Put(input.name, U16(username));
    Put(input.province, u"江苏");
    Put(input.validation, validation);
    Put(input.bom, u"1");
    Put(input.environmentPath, envPath);
    Activation out;
    out.result.userId = -7;  // a mark the modes that write nothing keep
    out.status =
        vesk_handsetActivate(&input, &out.result, &out.error,
                             Url("/activate").c_str(), service_->port());
    return out;
  }
  // Registers a handset for a new account in mode 4; its user id.
  int32_t Register(const std::string& username,
                   const std::u16string& envPath = kEnv,
                   const std::u16string& serial = u"SN-0001") {
    const Activation done =
        Activate(4, username, "secret", u"", serial, envPath);
    EXPECT_EQ(done.status, 200);
    return done.result.userId;
  }

  std::string Env(const std::u16string& path = kEnv) const {
    return ReadHostFile(root_.Host(tools::Utf16ToUtf8(path)));
  }
  // A raw request with the identity headers of the handset, a certificate of
  // its own unless one is given.
  std::string Request(const std::string& line, int32_t userId,
                      const std::string& certificate = Certificate()) const {
    return line + " HTTP/1.1\r\nHost: x\r\nUser-Serial: SN-0001\r\nUser-ID: " +
           std::to_string(userId) + "\r\nUser-Cert: " + certificate + "\r\n";
  }
  std::string SaveRequest(int32_t userId, const std::string& body,
                          size_t declared) const {
    return Request("POST /save", userId) +
           "Content-Type: multipart/form-data; boundary=" + kBoundary +
           "\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" +
           body;
  }

  Info AccountOf(const std::u16string& env = kEnv) {
    Info out;
    out.result.accountId = -3;  // a mark a refused call keeps
    out.status = vesk_AccountInfo(env.c_str(), &out.result, &out.error,
                                  Url("/account").c_str(), service_->port());
    return out;
  }

  // A heartbeat into the fixture's record (the library releases the
  // previous entries); the keys of its contents and messages, in order.
  Keys Beat(const std::u16string& env = kEnv) {
    HandsetError error{};
    EXPECT_EQ(vesk_HandsetBeat(env.c_str(), &beat_, &error,
                               Url("/heartbeat").c_str(), service_->port()),
              200);
    Keys keys;
    for (int32_t i = 0; i < beat_.contentCount + beat_.messageCount; ++i) {
      keys.push_back(i < beat_.contentCount
                         ? Text(Contents()[i].key)
                         : Text(Messages()[i - beat_.contentCount].key));
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
    std::smatch match;
    const std::string text = tools::Utf16ToUtf8(output.data());
    if (std::regex_search(text, match,
                          std::regex("stored \\d+, deleted \\d+"))) {
      saved.outcome = match[0];
    }
    return saved;
  }

  std::string Uploads(int32_t userId) const {
    return data_ + "/uploads/" + std::to_string(userId);
  }
  // Files of the upload directory that are not stored uploads (scratch files
  // of refused saves).
  size_t Scratch(int32_t userId) const {
    size_t found = 0;
    std::error_code ec;
    for (const auto& entry :
         fs::recursive_directory_iterator(Uploads(userId), ec)) {
      found += entry.path().filename().string().rfind(".incoming-", 0) == 0;
    }
    return found;
  }

  DeviceRoot root_;
  const std::string data_ = root_.path() + "/data";
  std::unique_ptr<ServiceProcess> service_;
  HandsetBeatResult beat_{};
};

TEST_F(ServiceE2e, ActivationInEveryMode) {
  const std::string code =
      AddAccount({"--name", "carol", "--password", "pw1", "--display-name",
                  "李娜", "--gender", "2"});
  const std::string stale = AddAccount(
      {"--name", "frank", "--password", "pw2", "--valid-for", "-60"});
  Start();

  // The modes that write nothing, and refusals: the result keeps its mark,
  // no environment file; a refused validation code comes with the service's
  // time stamp.
  const struct {
    int mode;
    std::string username, password;
    std::u16string validation;
    int status, code;
  } refusals[] = {
      {1, "dave", "pw3", u"", 200, 0},
      {1, "dave", "pw3", u"", 409, 911},
      {5, "carol", "pw1", u"", 200, 0},
      {5, "carol", "wrong", u"", 403, 910},
      {2, "carol", "pw1", u"000000", 403, 914},
      {2, "frank", "pw2", U16(stale), 403, 915},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.username + " " + std::to_string(c.code));
    const Activation done =
        Activate(c.mode, c.username, c.password, c.validation);
    EXPECT_EQ(done.status, c.status);
    EXPECT_EQ(done.error.code, c.code);
    EXPECT_EQ(done.result.userId, -7);
    EXPECT_EQ(std::regex_match(Ascii(done.error.timestamp), kTimestamp),
              c.code >= 914)
        << Ascii(done.error.timestamp);
    EXPECT_TRUE(std::regex_match(
        Ascii(done.result.serverDate),
        std::regex(R"( \w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT)")))
        << Ascii(done.result.serverDate);
    if (c.code == 910) {
      EXPECT_EQ(Text(done.error.message), u" wrong account name or password");
    }
    EXPECT_FALSE(HostFileExists(root_.Host("\\PocketDisk1\\handset.env")));
  }

  // Mode 2 with the right code binds the handset: an identity assigned, the
  // account's values in the record, the identity in the environment file.
  const Activation done = Activate(2, "carol", "pw1", U16(code));
  ASSERT_EQ(done.status, 200) << Ascii(done.error.message);
  const int32_t carolId = done.result.userId;
  EXPECT_GE(carolId, 10001);
  EXPECT_EQ(Text(done.result.name), u"李娜");
  EXPECT_EQ(done.result.gender, 2);
  EXPECT_NE(Env().find("\nUser-Id: " + std::to_string(carolId) + "\n"),
            std::string::npos);
  EXPECT_NE(Env().find("\nUser-Serial: SN-0001\n"), std::string::npos);
}

class HeartbeatE2e : public ServiceE2e,
                     public ::testing::WithParamInterface<const char*> {};

TEST_P(HeartbeatE2e, NotificationsArriveOnce) {
  const std::string code = AddAccount({});
  Start({"--encoding", GetParam()});
  // The demo account bound in mode 4: the seeded notifications go to it.
  const Activation bound = Activate(4, "demo", "demo1234", U16(code));
  ASSERT_EQ(bound.status, 200);

  EXPECT_EQ(Beat(), (Keys{u"demo-medium", u"welcome"}));
  EXPECT_EQ(beat_.total, 3);
  EXPECT_EQ(beat_.advertisementCount, 1);
  EXPECT_EQ(Text(Contents()->text), u"一个六千字节的演示文件 & more");
  EXPECT_EQ(Text(Messages()->title), u"欢迎");

  // Delivered once: the next heartbeat is empty; a notification queued
  // while the service runs arrives with the one after.
  EXPECT_EQ(Beat(), Keys{});
  EXPECT_EQ(beat_.total, 0);
  Queue(bound.result.userId, "m2", "通知");
  EXPECT_EQ(Beat(), Keys{u"m2"});
  EXPECT_EQ(Text(Messages()->title), u"通知");
}

INSTANTIATE_TEST_SUITE_P(Encodings, HeartbeatE2e,
                         ::testing::Values("utf-8", "gbk", "utf-16le"));

// A partial file whose last bytes went bad: the service refuses its
// checksum (916), the library rolls back past the damage, and the resume
// from there completes and is confirmed.
TEST_F(ServiceE2e, DownloadHealedByRollback) {
  AddAccount({});
  const std::string large =
      ReadHostFile(data_ + "/contents/4f90d0f748af8b26e89db1493a26521f");
  Start();
  const std::string id = std::to_string(Register("kate"));
  std::string partial = large.substr(0, 200000);
  partial[190000] = static_cast<char>(partial[190000] ^ 0x5A);
  WriteHostFile(root_.Host("\\Storage Card\\item.dat.Down"), partial);
  DownloadRecord record{};
  DownloadResult result{};
  HandsetError error{};
  Put(record.contentKey, u"demo-large");
  record.offset = 200000;
  EXPECT_EQ(
      vesk_HandsetDownload(kEnv.c_str(), &record, &result, &error,
                           u"\\Storage Card\\item.dat",
                           Url("/download").c_str(), service_->port(),
                           Url("/download/confirm").c_str(), service_->port()),
      206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(result.rangeStart, 200000 - 40960);
  EXPECT_TRUE(ReadHostFile(root_.Host("\\Storage Card\\item.dat")) == large);
  EXPECT_EQ(Admin({"list-deliveries"}).out, id + " demo-large 3000000\n");
}

// A handset the service does not know is refused before its body is read;
// the refusal still reaches it after a large body.
TEST_F(ServiceE2e, SaveOfAStrangerIsRefused) {
  Start();
  Register("nora");
  WriteHostFile(root_.Host("\\Storage Card\\big.bin"),
                std::string(3 << 20, 'b'));
  WriteHostFile(
      root_.Host("\\PocketDisk1\\stranger.env"),
      std::regex_replace(Env(), std::regex("User-Id: \\d+"), "User-Id: 99999"));
  const Saved saved = Save("update big.bin", u"\\PocketDisk1\\stranger.env");
  EXPECT_EQ(saved.status, 403);
  EXPECT_EQ(saved.code, 901);
  EXPECT_FALSE(HostFileExists(Uploads(99999)));
}

TEST_F(ServiceE2e, HostileRequestsGetRefusals) {
  Start();
  const int32_t userId = Register("olga");
  // A well-formed save gets through.
  const std::string good = Body("\\Storage Card\\x.txt", "0123456789");
  EXPECT_EQ(Status(Exchange(service_->port(),
                            SaveRequest(userId, good, good.size()))),
            200);
  const std::string open = Body("\\Storage Card\\x.txt", "0123456789", "");
  const std::string escaping = Body("\\..\\..\\evil.txt", "x");
  const std::string longName =
      Body("\\Storage Card\\" + std::string(5000, 'n'), "x");

  const struct {
    const char* what;
    std::string request;
    int status;
    const char* code;
  } cases[] = {
      {"oversized head",
       "GET /account HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n",
       431, ""},
      {"body shorter than its length",
       "POST /activate HTTP/1.1\r\nContent-Length: 100\r\n\r\nusername=x", 400,
       ""},
      {"truncated multipart", SaveRequest(userId, open, open.size() + 500), 400,
       ""},
      {"multipart escaping the store",
       SaveRequest(userId, escaping, escaping.size()), 400, ""},
      {"a name the store cannot keep",
       SaveRequest(userId, longName, longName.size()), 400, "919"},
  };
  for (const auto& c : cases) {
    const std::string reply = Exchange(service_->port(), c.request);
    EXPECT_EQ(Status(reply), c.status) << c.what << "\n" << reply;
    if (*c.code) {
      EXPECT_EQ(Code(reply), c.code) << c.what;
    }
  }
  // Only the good request stored anything.
  EXPECT_EQ(Admin({"list-uploads"}).out, std::to_string(userId) +
                                             " \\Storage Card\\x.txt 10 " +
                                             Md5Hex("0123456789") + "\n");
  EXPECT_FALSE(HostFileExists(data_ + "/evil.txt"));
  // A client that sent half its head holds its own connection only: the
  // library is served meanwhile, and the held request still gets its reply.
  const int held = Connect(service_->port());
  const std::string half = "GET /account HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(::send(held, half.data(), half.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(half.size()));
  EXPECT_EQ(AccountOf().status, 200);
  ASSERT_EQ(::send(held, "\r\n", 2, MSG_NOSIGNAL), 2);
  EXPECT_EQ(Code(ReadToEnd(held)), "901");
}

TEST_F(ServiceE2e, BindingsNeverPassToAnotherAccount) {
  const std::string annCode =
      AddAccount({"--name", "ann", "--password", "pw-ann"});
  Start();
  // Ann binds her handset; a notification waits for it.
  const Activation annBound =
      Activate(2, "ann", "pw-ann", U16(annCode), u"SN-SHARED");
  ASSERT_EQ(annBound.status, 200);
  const int32_t annId = annBound.result.userId;
  Queue(annId, "for-ann");

  // Another account activates with the same serial: a binding of its own,
  // with its own user id; Ann's binding, key and notification stay hers.
  const std::u16string bobEnv = u"\\PocketDisk1\\bob.env";
  const int32_t bobId = Register("bob", bobEnv, u"SN-SHARED");
  EXPECT_GT(bobId, annId);
  EXPECT_EQ(Text(AccountOf().result.username), u"ann");
  EXPECT_EQ(Text(AccountOf(bobEnv).result.username), u"bob");
  EXPECT_EQ(Beat(bobEnv), Keys{});
  EXPECT_EQ(Beat(), Keys{u"for-ann"});
  EXPECT_EQ(Activate(3, "bob", "secret", u"", u"SN-SHARED").result.userId,
            bobId);

  // Ann activating the same handset again keeps her user id with a new key:
  // the old key's certificates no longer verify.
  WriteHostFile(root_.Host("\\PocketDisk1\\old.env"), Env());
  const std::u16string newEnv = u"\\PocketDisk1\\new.env";
  const Activation rebound =
      Activate(2, "ann", "pw-ann", U16(annCode), u"SN-SHARED", newEnv);
  ASSERT_EQ(rebound.status, 200);
  EXPECT_EQ(rebound.result.userId, annId);
  EXPECT_EQ(Text(AccountOf(newEnv).result.username), u"ann");
  const Info old = AccountOf(u"\\PocketDisk1\\old.env");
  EXPECT_EQ(old.status, 403);
  EXPECT_EQ(old.error.code, 902);

  // A heartbeat is only as good as serial and user id together: Ann's user
  // id with another serial is refused.
  const std::string refused =
      Exchange(service_->port(),
               "GET /heartbeat HTTP/1.1\r\nUser-Serial: SN-OTHER\r\n"
               "User-ID: " +
                   std::to_string(annId) + "\r\n\r\n");
  EXPECT_EQ(Status(refused), 403) << refused;
  EXPECT_EQ(Code(refused), "901");
}

TEST_F(ServiceE2e, CertificatesAreAcceptedOnce) {
  Start();
  const int32_t userId = Register("cara");
  const std::string certificate = Certificate();
  auto send = [&] {
    return Exchange(service_->port(),
                    Request("GET /account", userId, certificate) + "\r\n");
  };
  const std::string first = send();
  EXPECT_EQ(Status(first), 200) << first;
  EXPECT_EQ(Code(send()), "902");
  EXPECT_TRUE(service_->Logged(
      "\"GET /account\" 403 24 code=902 user=" + std::to_string(userId) +
      " \"certificate used before\""))
      << service_->Log();
  // The store remembers: a restarted service refuses the replay too, and
  // serves the library, which makes a certificate per request.
  EXPECT_EQ(service_->Stop(), 0);
  Start();
  EXPECT_EQ(Code(send()), "902");
  EXPECT_EQ(AccountOf().status, 200);
  EXPECT_EQ(AccountOf().status, 200);

  // Interrupted, it stops cleanly too. With its clock four minutes ahead of
  // the handset's it accepts the library's certificates; six minutes ahead,
  // it refuses them as stale with a time stamp, and the record keeps its
  // mark.
  EXPECT_EQ(service_->Stop(SIGINT), 0);
  Start({"--clock-offset", "240"});
  EXPECT_EQ(AccountOf().status, 200);
  EXPECT_EQ(service_->Stop(), 0);
  Start({"--clock-offset", "360"});
  const Info got = AccountOf();
  EXPECT_EQ(got.status, 403);
  EXPECT_EQ(got.error.code, 906);
  EXPECT_EQ(got.result.accountId, -3);
  EXPECT_TRUE(std::regex_match(Ascii(got.error.timestamp), kTimestamp));
}

TEST_F(ServiceE2e, QuotaRefusesWithItsCodeAndSavesNeverClaimMore) {
  Start({"--quota", "10000"});
  const int32_t userId = Register("dora");
  const std::string id = std::to_string(userId);
  WriteHostFile(root_.Host("\\Storage Card\\a.bin"), std::string(6000, 'a'));
  WriteHostFile(root_.Host("\\Storage Card\\b.bin"), std::string(6000, 'b'));

  // The stored uploads as "name size;" in the store's order.
  auto listed = [&] {
    return std::regex_replace(
        Admin({"list-uploads"}).out,
        std::regex(id + R"( \\Storage Card\\(\S+) (\d+) \w+\n)"), "$1 $2;");
  };
  const struct {
    const char* what;
    size_t bSize;  // b.bin is written with this size first (0: as it is)
    std::string entries;
    int32_t status, code;
    std::string outcome;  // the reply's body on 200
    std::string uploads;  // stored afterwards
  } steps[] = {
      {"a fits", 0, "update a.bin", 200, 0, "stored 1, deleted 0",
       "a.bin 6000;"},
      {"b would pass the quota", 0, "update b.bin", 507, 920, "",
       "a.bin 6000;"},
      {"a delete after the update frees nothing for it", 0,
       "update b.bin delete a.bin", 507, 920, "", "a.bin 6000;"},
      {"a delete before the update makes room for it", 0,
       "delete a.bin update b.bin", 200, 0, "stored 1, deleted 1",
       "b.bin 6000;"},
      {"the file an update replaces no longer counts", 9000, "update b.bin",
       200, 0, "stored 1, deleted 0", "b.bin 9000;"},
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
    EXPECT_EQ(saved.outcome, step.outcome);
    EXPECT_EQ(listed(), step.uploads);
    EXPECT_EQ(Scratch(userId), 0u);
  }
  EXPECT_TRUE(service_->Logged("code=920 user=" + id +
                               " \"the handset's storage quota is full\""));
}

// The data directory on a small file system of its own: one handset fills
// it, and its heartbeats and deletes keep working.
TEST_F(ServiceE2e, FullDiskKeepsHeartbeatsAndDeletesWorking) {
  fs::create_directories(data_);
  if (::mount("tmpfs", data_.c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "cannot mount a small file system: "
                 << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{data_};
  Start({"--quota", "0", "--disk-reserve", "2097152"});
  const int32_t userId = Register("erin");
  WriteHostFile(root_.Host("\\Storage Card\\f0.bin"),
                std::string(1 << 20, 'f'));
  EXPECT_EQ(Save("update f0.bin").status, 200);
  Queue(userId, "before-full");
  // Something else fills the disk to the last byte.
  {
    std::ofstream filler(data_ + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  // Uploads that would eat into the reserve are refused with 507 and code
  // 920, never a 500, and leave no scratch files.
  const Saved full = Save("update f0.bin");
  EXPECT_EQ(full.status, 507);
  EXPECT_EQ(full.code, 920);
  EXPECT_EQ(Scratch(userId), 0u);
  EXPECT_EQ(Beat(), Keys{u"before-full"});
  EXPECT_EQ(Save("delete f0.bin").outcome, "stored 0, deleted 1");
  EXPECT_FALSE(HostFileExists(Uploads(userId) + "/Storage Card/f0.bin"));

  // Once there is room again, saves are stored again.
  fs::remove(data_ + "/filler");
  EXPECT_EQ(Save("update f0.bin").status, 200);
  EXPECT_EQ(service_->Stop(), 0);
}

TEST_F(ServiceE2e, SlowAndSurplusClientsCostTheirOwnConnectionOnly) {
  Start({"--head-timeout", "1", "--body-timeout", "1", "--idle-timeout", "1",
         "--max-connections", "3"});
  const int port = service_->port();
  // Three connections take the three places, each slow in its own way; they
  // are taken in the order they connected.
  const struct {
    std::string opening;   // sent at once
    std::string trickled;  // then one byte at a time, until answered
    const char* reason;
  } slow[] = {
      {"", "", "request head not complete in time"},
      {"GET /account HTTP/1.1\r\n", std::string(200, 'X') + ": y\r\n",
       "request head not complete in time"},
      {"POST /activate HTTP/1.1\r\nContent-Length: 100\r\n\r\nusername=",
       std::string(100, 'u'), "request body not complete in time"},
  };
  std::vector<int> fds;
  for (const auto& c : slow) {
    fds.push_back(Connect(port));
    ASSERT_EQ(
        ::send(fds.back(), c.opening.data(), c.opening.size(), MSG_NOSIGNAL),
        static_cast<ssize_t>(c.opening.size()));
  }
  // Every client beyond them is answered 503 (code 999), never reset.
  for (int i = 0; i < 10; ++i) {
    const std::string busy = Exchange(port, "GET /account HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Status(busy), 503) << busy;
    EXPECT_EQ(Code(busy), "999");
  }
  // The trickling clients send a byte whenever the service has not answered
  // within a fifth of a second; each gets its 408 all the same.
  for (size_t i = 0; i < std::size(slow); ++i) {
    SCOPED_TRACE(i);
    size_t next = 0;
    pollfd answer{fds[i], POLLIN, 0};
    while (::poll(&answer, 1, 200) == 0 && next < slow[i].trickled.size()) {
      ASSERT_EQ(::send(fds[i], &slow[i].trickled[next++], 1, MSG_NOSIGNAL), 1);
    }
    const std::string reply = ReadToEnd(fds[i]);
    EXPECT_EQ(Status(reply), 408) << reply;
    EXPECT_EQ(Code(reply), "900");
    EXPECT_NE(reply.find("\r\nX-Error-Message: " + std::string(slow[i].reason) +
                         "\r\n"),
              std::string::npos);
  }
  const std::string busy = "\"-\" 503 21 code=999 \"too many connections\"";
  EXPECT_TRUE(service_->Logged(busy)) << service_->Log();
  // Once they are gone, requests are served again.
  std::string served;
  for (int attempt = 0; attempt < 500 && Status(served) != 404; ++attempt) {
    served = Exchange(port, "GET /nothing HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(Status(served), 404) << served;
  // Every client read its reply whole: a reply sent right after a missed
  // deadline is not logged as unsent.
  EXPECT_EQ(service_->Log().find(" unsent"), std::string::npos);
}

}  // namespace
}  // namespace vesk::test
