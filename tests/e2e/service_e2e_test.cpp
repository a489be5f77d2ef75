// The library against the reference service: every operation runs through
// the exports over loopback to a vesk-service child process, checked in the
// caller's records, the handset's files and the service's store; and one
// case per rule of the service, with raw requests where a handset sends none.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "tools/common/text.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::u16string>;

const std::u16string kEnv = u"\\PocketDisk1\\handset.env";

std::u16string Text(const vesk_char16* field) { return field; }
bool Stamped(const HandsetError& error) {
  return std::regex_match(
      tools::Utf16ToUtf8(error.timestamp),
      std::regex(R"( \d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\.\d{3,})"));
}

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_EQ(
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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
// Sends the bytes, ends the sending side and returns the whole reply.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = Connect(port);
  (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  return ReadToEnd(fd);
}
int Status(const std::string& reply) {
  return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0;
}
std::string Code(const std::string& reply) {
  const size_t at = reply.find("\r\nX-Error-Code: ");
  return at == std::string::npos ? "" : reply.substr(at + 16, 3);
}

// A fresh certificate of the handset, as the library sends it to a peer.
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

// A raw request head, unfinished, with the handset's identity.
std::string Request(const std::string& line, int32_t userId,
                    const std::string& certificate = Certificate()) {
  return line + " HTTP/1.1\r\nHost: x\r\nUser-Serial: SN-0001\r\nUser-ID: " +
         std::to_string(userId) + "\r\nUser-Cert: " + certificate + "\r\n";
}

// A call's status, result and error record.
template <typename Result>
struct Call {
  int32_t status = 0;
  Result result{};
  HandsetError error{};
};

class ServiceE2e : public ::testing::Test {
 protected:
  // Every service stops cleanly (under the sanitizers: they found nothing).
  void TearDown() override {
    delete[] beat_.entries;
    EXPECT_EQ(service_->Stop(), 0) << service_->Log();
  }
  void Start(const std::vector<std::string>& extra = {}) {
    service_ = std::make_unique<ServiceProcess>(data_, extra);
  }
  std::u16string Url(const std::string& path) const {
    return U16("http://127.0.0.1:" + std::to_string(service_->port()) + path);
  }
  std::string Admin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--data", data_});
    const CommandResult run = RunService(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }
  // An account added by the administration command (the demo account with
  // no options); its validation code.
  std::string AddAccount(std::vector<std::string> options) {
    options.insert(options.begin(),
                   options.empty() ? "--seed-demo" : "add-account");
    std::smatch match;
    const std::string out = Admin(options);
    EXPECT_TRUE(std::regex_search(out, match, std::regex(R"((\d{6})\n)")));
    return match[1].str();
  }
  void Queue(int32_t userId, const std::string& key,
             const std::string& title = "title") {
    Admin({"queue-notification", "--user-id", std::to_string(userId), "--kind",
           "message", "--key", key, "--title", title, "--text", "第二条消息"});
  }
  std::string Card(const std::string& name) const {
    return root_.Host("\\Storage Card\\" + name);
  }
  std::string Env() const {
    return ReadHostFile(root_.Host("\\PocketDisk1\\handset.env"));
  }

  Call<HandsetActivateResult> Activate(
      int32_t mode, const std::string& username, const std::string& password,
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
    Call<HandsetActivateResult> out;
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
    const auto done = Activate(4, username, "secret", u"", serial, envPath);
    EXPECT_EQ(done.status, 200);
    return done.result.userId;
  }
  Call<AccountInfoResult> AccountOf(const std::u16string& env = kEnv) {
    Call<AccountInfoResult> out;
    out.result.accountId = -3;  // a mark a refused call keeps
    out.status = vesk_AccountInfo(env.c_str(), &out.result, &out.error,
                                  Url("/account").c_str(), service_->port());
    return out;
  }
  // A heartbeat into the fixture's record; the keys of its contents, then of
  // its messages.
  Keys Beat(const std::u16string& env = kEnv) {
    HandsetError error{};
    EXPECT_EQ(vesk_HandsetBeat(env.c_str(), &beat_, &error,
                               Url("/heartbeat").c_str(), service_->port()),
              200);
    contents_ = reinterpret_cast<const ContentNotification*>(beat_.entries);
    messages_ = reinterpret_cast<const MessageNotification*>(
        beat_.entries + beat_.messageOffset);
    Keys keys;
    for (int32_t i = 0; i < beat_.contentCount; ++i) {
      keys.push_back(contents_[i].key);
    }
    for (int32_t i = 0; i < beat_.messageCount; ++i) {
      keys.push_back(messages_[i].key);
    }
    return keys;
  }
  // One save of the handset's files: "update a.bin delete b.bin" (paths
  // under the storage card); the result is the reply's body.
  Call<std::string> Save(const std::string& entries,
                         const std::u16string& env = kEnv) {
    HandsetSaveInput input{};
    std::istringstream words(entries);
    for (std::string action, path; words >> action >> path; ++input.count) {
      Put(input.entries[input.count].action, U16(action));
      Put(input.entries[input.count].path, U16("\\Storage Card\\" + path));
    }
    std::vector<vesk_char16> output(1025);
    Call<std::string> out;
    out.status =
        vesk_HandsetSave(env.c_str(), &input, output.data(), &out.error,
                         Url("/save").c_str(), service_->port());
    const std::string text = tools::Utf16ToUtf8(output.data());
    const size_t body = text.find("\r\n\r\n");
    if (body != std::string::npos) out.result = text.substr(body + 4);
    return out;
  }

  DeviceRoot root_;
  const std::string data_ = root_.path() + "/data";
  std::unique_ptr<ServiceProcess> service_;
  HandsetBeatResult beat_{};
  const ContentNotification* contents_ = nullptr;
  const MessageNotification* messages_ = nullptr;
};

// Mode 1 registers a free name only, mode 5 checks the password, mode 2 binds
// with a right and fresh validation code. Those that write nothing and the
// refusals keep the result's mark and leave no environment file; a refused
// code comes with the service's time stamp.
TEST_F(ServiceE2e, ActivationInEveryMode) {
  const std::string code =
      AddAccount({"--name", "carol", "--password", "pw", "--display-name",
                  "李娜", "--gender", "2"});
  const std::string stale =
      AddAccount({"--name", "frank", "--password", "pw", "--valid-for", "-60"});
  Start();
  const struct {
    int mode;
    std::string username;
    std::u16string validation;
    int status, code;
  } refusals[] = {
      {1, "dave", u"", 200, 0},           {1, "dave", u"", 409, 911},
      {5, "carol", u"", 200, 0},          {2, "carol", u"000000", 403, 914},
      {2, "frank", U16(stale), 403, 915},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.username + " " + std::to_string(c.code));
    const auto done = Activate(c.mode, c.username, "pw", c.validation);
    EXPECT_EQ(done.status, c.status);
    EXPECT_EQ(done.error.code, c.code);
    EXPECT_EQ(done.result.userId, -7);
    EXPECT_EQ(Stamped(done.error), c.code >= 914);
    EXPECT_FALSE(HostFileExists(root_.Host("\\PocketDisk1\\handset.env")));
  }
  const auto done = Activate(2, "carol", "pw", U16(code));
  ASSERT_EQ(done.status, 200);
  EXPECT_GE(done.result.userId, 10001);
  EXPECT_EQ(Text(done.result.name), u"李娜");
  EXPECT_EQ(done.result.gender, 2);
  EXPECT_NE(Env().find("\nUser-Serial: SN-0001\nUser-Id: " +
                       std::to_string(done.result.userId) + "\n"),
            std::string::npos);
}

class HeartbeatE2e : public ServiceE2e,
                     public ::testing::WithParamInterface<const char*> {};

// The seeded notifications reach the demo account's handset once, in every
// encoding of the service; one queued while it runs comes with the next.
TEST_P(HeartbeatE2e, NotificationsArriveOnce) {
  const std::string code = AddAccount({});
  Start({"--encoding", GetParam()});
  const auto bound = Activate(4, "demo", "demo1234", U16(code));
  ASSERT_EQ(bound.status, 200);
  EXPECT_EQ(Beat(), (Keys{u"demo-medium", u"welcome"}));
  EXPECT_EQ(beat_.total, 3);
  EXPECT_EQ(beat_.advertisementCount, 1);
  EXPECT_EQ(Text(contents_->text), u"一个六千字节的演示文件 & more");
  EXPECT_EQ(Text(messages_->title), u"欢迎");
  EXPECT_EQ(Beat(), Keys{});
  Queue(bound.result.userId, "m2", "通知");
  EXPECT_EQ(Beat(), Keys{u"m2"});
  EXPECT_EQ(Text(messages_->title), u"通知");
}

INSTANTIATE_TEST_SUITE_P(Encodings, HeartbeatE2e,
                         ::testing::Values("utf-8", "gbk", "utf-16le"));

// A partial file whose last bytes went bad: the service refuses its
// checksum, the library rolls back past the damage, and the resume from
// there completes and is confirmed.
TEST_F(ServiceE2e, DownloadHealedByRollback) {
  AddAccount({});
  const std::string large =
      ReadHostFile(data_ + "/contents/4f90d0f748af8b26e89db1493a26521f");
  Start();
  const std::string id = std::to_string(Register("kate"));
  std::string partial = large.substr(0, 200000);
  partial[190000] = static_cast<char>(partial[190000] ^ 0x5A);
  WriteHostFile(Card("item.dat.Down"), partial);
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
  EXPECT_TRUE(ReadHostFile(Card("item.dat")) == large);
  EXPECT_EQ(Admin({"list-deliveries"}), id + " demo-large 3000000\n");
}

// A handset the service does not know is refused before its body is read;
// the refusal still reaches it after a large body.
TEST_F(ServiceE2e, SaveOfAStrangerIsRefused) {
  Start();
  Register("nora");
  WriteHostFile(Card("big.bin"), std::string(3 << 20, 'b'));
  WriteHostFile(
      root_.Host("\\PocketDisk1\\stranger.env"),
      std::regex_replace(Env(), std::regex("User-Id: \\d+"), "User-Id: 99999"));
  const auto saved = Save("update big.bin", u"\\PocketDisk1\\stranger.env");
  EXPECT_EQ(saved.status, 403);
  EXPECT_EQ(saved.error.code, 901);
  EXPECT_FALSE(HostFileExists(data_ + "/uploads/99999"));
}

// One row per kind of malformed request: each refused, only the well-formed
// save stored.
TEST_F(ServiceE2e, HostileRequestsGetRefusals) {
  Start();
  const int32_t userId = Register("olga");
  auto save = [&](const std::string& filename,
                  const std::string& last = "--b0undary--\r\n",
                  size_t missing = 0) {
    const std::string body =
        "--b0undary\r\nContent-Disposition: form-data; name=\"update1\"; "
        "filename=\"" +
        filename + "\"\r\n\r\n0123456789\r\n" + last;
    return Request("POST /save", userId) +
           "Content-Type: multipart/form-data; boundary=b0undary\r\n"
           "Content-Length: " +
           std::to_string(body.size() + missing) + "\r\n\r\n" + body;
  };
  const struct {
    std::string request;
    int status;
    const char* code;
  } cases[] = {
      {save("\\Storage Card\\x.txt"), 200, ""},
      {"GET /a HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", 431,
       "900"},
      {"POST /a HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", 413, "900"},
      {"GET /account HTTP/2\r\n\r\n", 505, "900"},
      {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501, "900"},
      {"GET /account HTTP/1.1\r\n folded\r\n\r\n", 400, "900"},
      {save("\\Storage Card\\x.txt", "", 500), 400, "919"},
      {save("\\..\\..\\evil.txt"), 400, "919"},
      {save("\\Storage Card\\" + std::string(5000, 'n')), 400, "919"},
  };
  for (const auto& c : cases) {
    const std::string reply = Exchange(service_->port(), c.request);
    EXPECT_EQ(Status(reply), c.status) << c.request.substr(0, 80) << reply;
    EXPECT_EQ(Code(reply), c.code);
  }
  EXPECT_EQ(Admin({"list-uploads"}), std::to_string(userId) +
                                         " \\Storage Card\\x.txt 10 " +
                                         Md5Hex("0123456789") + "\n");
  EXPECT_FALSE(HostFileExists(data_ + "/evil.txt"));
}

// A binding belongs to serial and account together: another account on the
// same handset gets its own user id and notifications; a rebinding keeps the
// user id with a new key, and the old key's certificates stop verifying.
TEST_F(ServiceE2e, BindingsNeverPassToAnotherAccount) {
  const std::string annCode =
      AddAccount({"--name", "ann", "--password", "pw-ann"});
  Start();
  const auto annBound =
      Activate(2, "ann", "pw-ann", U16(annCode), u"SN-SHARED");
  ASSERT_EQ(annBound.status, 200);
  const int32_t annId = annBound.result.userId;
  Queue(annId, "for-ann");

  const std::u16string bobEnv = u"\\PocketDisk1\\bob.env";
  const int32_t bobId = Register("bob", bobEnv, u"SN-SHARED");
  EXPECT_EQ(Text(AccountOf().result.username), u"ann");
  EXPECT_EQ(Text(AccountOf(bobEnv).result.username), u"bob");
  EXPECT_EQ(Beat(bobEnv), Keys{});
  EXPECT_EQ(Beat(), Keys{u"for-ann"});
  EXPECT_EQ(Activate(3, "bob", "secret", u"", u"SN-SHARED").result.userId,
            bobId);

  WriteHostFile(root_.Host("\\PocketDisk1\\old.env"), Env());
  const std::u16string newEnv = u"\\PocketDisk1\\new.env";
  const auto rebound =
      Activate(2, "ann", "pw-ann", U16(annCode), u"SN-SHARED", newEnv);
  ASSERT_EQ(rebound.status, 200);
  EXPECT_EQ(rebound.result.userId, annId);
  EXPECT_EQ(Text(AccountOf(newEnv).result.username), u"ann");
  const auto old = AccountOf(u"\\PocketDisk1\\old.env");
  EXPECT_EQ(old.status, 403);
  EXPECT_EQ(old.error.code, 902);
}

// A certificate is accepted once, across restarts of the service too, and
// only within five minutes of the service's clock.
TEST_F(ServiceE2e, CertificatesAreAcceptedOnce) {
  Start();
  const int32_t userId = Register("cara");
  const std::string certificate = Certificate();
  auto send = [&] {
    return Exchange(service_->port(),
                    Request("GET /account", userId, certificate) + "\r\n");
  };
  EXPECT_EQ(Status(send()), 200);
  EXPECT_EQ(Code(send()), "902");
  EXPECT_EQ(service_->Stop(SIGINT), 0);
  Start();
  EXPECT_EQ(Code(send()), "902");
  EXPECT_EQ(service_->Stop(), 0);
  Start({"--clock-offset", "360"});
  const auto stale = AccountOf();
  EXPECT_EQ(stale.status, 403);
  EXPECT_EQ(stale.error.code, 906);
  EXPECT_EQ(stale.result.accountId, -3);
  EXPECT_TRUE(Stamped(stale.error));
}

TEST_F(ServiceE2e, QuotaRefusesWithItsCodeAndSavesNeverClaimMore) {
  Start({"--quota", "10000"});
  const int32_t userId = Register("dora");
  const std::string id = std::to_string(userId);
  WriteHostFile(Card("a.bin"), std::string(6000, 'a'));
  WriteHostFile(Card("b.bin"), std::string(6000, 'b'));
  const struct {
    size_t bSize;  // b.bin is written with this size first (0: as it is)
    std::string entries;
    int32_t status, code;
    std::string outcome;  // the reply's on 200
    std::string uploads;  // "name size;" stored afterwards
  } steps[] = {
      {0, "update a.bin", 200, 0, "stored 1, deleted 0\n", "a.bin 6000;"},
      {0, "update b.bin", 507, 920, "", "a.bin 6000;"},
      // A delete after the update frees nothing for it; one before does.
      {0, "update b.bin delete a.bin", 507, 920, "", "a.bin 6000;"},
      {0, "delete a.bin update b.bin", 200, 0, "stored 1, deleted 1\n",
       "b.bin 6000;"},
      // The file an update replaces no longer counts.
      {9000, "update b.bin", 200, 0, "stored 1, deleted 0\n", "b.bin 9000;"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.entries);
    if (step.bSize > 0) {
      WriteHostFile(Card("b.bin"), std::string(step.bSize, 'B'));
    }
    const auto saved = Save(step.entries);
    EXPECT_EQ(saved.status, step.status);
    EXPECT_EQ(saved.error.code, step.code);
    EXPECT_EQ(saved.result, step.outcome);
    EXPECT_EQ(
        std::regex_replace(
            Admin({"list-uploads"}),
            std::regex(id + R"( \\Storage Card\\(\S+) (\d+) \w+\n)"), "$1 $2;"),
        step.uploads);
  }
  // Refused saves left no scratch files: the directory and b.bin only.
  EXPECT_EQ(std::distance(
                fs::recursive_directory_iterator(data_ + "/uploads/" + id), {}),
            2);
}

// A full disk: saves that would eat into the reserve get 507 and code 920
// and leave no scratch files; heartbeats and deletes still work, and saves
// are stored again once there is room. Needs the right to mount (root).
TEST_F(ServiceE2e, FullDiskKeepsHeartbeatsAndDeletesWorking) {
  fs::create_directories(data_);
  const ScopedTmpfs disk(data_, "8m");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount: " << disk.why;
  Start({"--quota", "0", "--disk-reserve", "2097152"});
  const std::string id = std::to_string(Register("erin"));
  WriteHostFile(Card("f0.bin"), std::string(1 << 20, 'f'));
  EXPECT_EQ(Save("update f0.bin").status, 200);
  Queue(std::stoi(id), "before-full");
  {  // Something else fills the disk to the last byte.
    std::ofstream filler(data_ + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  const auto full = Save("update f0.bin");
  EXPECT_EQ(full.status, 507);
  EXPECT_EQ(full.error.code, 920);
  // The directory and f0.bin only.
  EXPECT_EQ(std::distance(
                fs::recursive_directory_iterator(data_ + "/uploads/" + id), {}),
            2);
  EXPECT_EQ(Beat(), Keys{u"before-full"});
  EXPECT_EQ(Save("delete f0.bin").result, "stored 0, deleted 1\n");
  fs::remove(data_ + "/filler");
  EXPECT_EQ(Save("update f0.bin").status, 200);
  EXPECT_EQ(service_->Stop(), 0);
}

// Clients slow with the head or the body keep their place only until their
// deadline, however they trickle, and get 408; clients beyond the places get
// 503 at once; the places free again afterwards.
TEST_F(ServiceE2e, SlowAndSurplusClientsCostTheirOwnConnectionOnly) {
  Start(
      {"--head-timeout", "1", "--body-timeout", "1", "--max-connections", "2"});
  // Sent at once; then a byte of the rest whenever no reply came for 0.2 s.
  const std::string slow[][3] = {
      {"GET /account HTTP/1.1\r\n", std::string(200, 'X'), "head"},
      {"POST /activate HTTP/1.1\r\nContent-Length: 100\r\n\r\nusername=",
       std::string(100, 'u'), "body"}};
  int fds[2];
  for (int i = 0; i < 2; ++i) {
    fds[i] = Connect(service_->port());
    ASSERT_GT(::send(fds[i], slow[i][0].data(), slow[i][0].size(), 0), 0);
  }
  const std::string busy =
      Exchange(service_->port(), "GET /account HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Status(busy), 503) << busy;
  EXPECT_EQ(Code(busy), "999");
  for (int i = 0; i < 2; ++i) {
    pollfd answer{fds[i], POLLIN, 0};
    for (const char& c : slow[i][1]) {
      if (::poll(&answer, 1, 200) != 0) break;
      ASSERT_EQ(::send(fds[i], &c, 1, MSG_NOSIGNAL), 1);
    }
    const std::string reply = ReadToEnd(fds[i]);
    EXPECT_EQ(Status(reply), 408) << reply;
    EXPECT_EQ(Code(reply), "900");
    EXPECT_NE(reply.find("request " + slow[i][2] + " not complete in time"),
              std::string::npos);
  }
  std::string served;
  for (int n = 0; n < 500 && Status(served) != 404; ++n) {
    served = Exchange(service_->port(), "GET /nothing HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(Status(served), 404) << served;
}

}  // namespace
}  // namespace vesk::test
