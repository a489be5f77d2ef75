// The exports against peers that go silent: before the head, half way
// through a body, while an upload is sent, and behind a full listen queue.
// Each wait ends at the time-out as a dropped connection would end it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"

namespace vesk {
namespace {

using test::FakeServer;
using test::HttpReply;
using test::ReadHostFile;
using test::U16;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";

// A peer that reads the request (or nothing) and then stays silent with the
// connection open; with bytes, it sends them first.
test::Reply Silent(std::string bytes = "", bool reads = true) {
  test::Reply reply;
  if (!bytes.empty()) reply.pieces.push_back(std::move(bytes));
  reply.keepOpen = true;
  reply.readNothing = !reads;
  return reply;
}

class PeerTest : public ::testing::Test {
 public:
  void SetUp() override {
    test::WriteHostFile(root_.Host("\\PocketDisk1\\handset.env"),
                        "User-Agent: Peer/1\nUser-Serial: SN\nUser-Id: 3\n");
  }
  void TearDown() override { delete[] beat_.entries; }

  std::u16string Url(uint16_t port) {
    return U16("http://127.0.0.1:" + std::to_string(port) + "/op");
  }

  // The calls, each to port.
  int32_t Account(uint16_t port) {
    AccountInfoResult result{};
    return vesk_AccountInfo(kEnv, &result, &error_, Url(port).c_str(), port);
  }
  int32_t Beat(uint16_t port) {
    return vesk_HandsetBeat(kEnv, &beat_, &error_, Url(port).c_str(), port);
  }
  int32_t Download(uint16_t port) {
    const uint16_t nobody = test::ClosedPort();
    return vesk_HandsetDownload(kEnv, &download_, &downloaded_, &error_,
                                u"\\Storage Card\\item.dat", Url(port).c_str(),
                                port, Url(nobody).c_str(), nobody);
  }
  int32_t Load(uint16_t port) {
    LoadRecord record{};
    test::Put(record.archivePath, u"\\Storage Card\\pkg.zip");
    test::Put(record.targetDirectory, u"\\Storage Card\\pkg");
    return vesk_HandsetLoad(kEnv, &record, &loaded_, &error_, Url(port).c_str(),
                            port);
  }
  int32_t Save(uint16_t port) {
    HandsetSaveInput input{};
    input.count = 1;
    test::Put(input.entries[0].path, u"\\Storage Card\\big.bin");
    test::Put(input.entries[0].action, u"update");
    std::vector<vesk_char16> output(1025);
    return vesk_HandsetSave(kEnv, &input, output.data(), &error_,
                            Url(port).c_str(), port);
  }

  test::DeviceRoot root_;
  test::ScopedEnv timeout_{"VESK_TIMEOUT_SECONDS", "1"};
  HandsetError error_{};
  HandsetBeatResult beat_{};
  DownloadRecord download_{};
  DownloadResult downloaded_{};
  LoadResult loaded_{};
};

TEST_F(PeerTest, EveryWaitEndsAtTheTimeOut) {
  using Clock = std::chrono::steady_clock;
  const std::string body(4000, 'b');
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n";
  test::WriteHostFile(root_.Host("\\Storage Card\\big.bin"),
                      std::string(8 << 20, 'u'));
  const std::string stalled = head + body.substr(0, 100);
  const std::string download =
      HttpReply(200, "OK", {{"Content-Length", "4000"}, {"X-Checksum", "c"}},
                body.substr(0, 100));
  // Each attempt of the call meets a silent peer, the first one after the
  // bytes sent, and sits through one time-out.
  struct Case {
    const char* what;
    std::function<int32_t(PeerTest&, uint16_t)> call;
    std::string sent;
    bool reads;
    int waits;
    int32_t status;
  } cases[] = {
      {"account, no reply", &PeerTest::Account, "", true, 1, 0},
      {"save, the peer reads nothing", &PeerTest::Save, "", false, 1, 0},
      // A body that stalls ends the transfer where it stands.
      {"heartbeat, body stalls", &PeerTest::Beat, stalled, true, 1, 200},
      {"load, body stalls", &PeerTest::Load, stalled, true, 1, 200},
      {"download, body stalls", &PeerTest::Download, download, true, 3, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<test::Reply> script(c.waits, Silent());
    script[0] = Silent(c.sent, c.reads);
    FakeServer server(std::move(script));
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(c.call(*this, server.port()), c.status);
    const double seconds =
        std::chrono::duration<double>(Clock::now() - start).count();
    // One connection per attempt, each ended by its time-out: a wait
    // without one would last until the peer gives up after 10 s. The upper
    // bound leaves room for a busy machine.
    EXPECT_EQ(server.Accepted(), static_cast<size_t>(c.waits));
    EXPECT_GE(seconds, c.waits * 0.99);
    EXPECT_LT(seconds, c.waits + 5.0);
  }
  // The stalled transfers kept what arrived, ready to resume from it.
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\pkg.zip.Down")),
            body.substr(0, 100));
  EXPECT_FALSE(test::HostFileExists(root_.Host("\\Storage Card\\pkg")));
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\item.dat.Down")),
            body.substr(0, 100));
  EXPECT_EQ(download_.offset, 100u);

  // A listener whose full queue drops every handshake: the connect gives up.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), size);
  listen(listener, 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  int queued[2];
  for (int& fd : queued) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), size);
  }
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Account(ntohs(address.sin_port)), 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
  for (const int fd : {queued[0], queued[1], listener}) close(fd);
}

}  // namespace
}  // namespace vesk
