// The download against scripted loopback servers: the exact requests of a
// fresh and a resumed download, the checksum test with its rollback, the
// confirmation and the transfer files on disk (state file bytes included).
// Also the state file's key lines and the streamed checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"
#include "transfer/transfer.h"

namespace vesk {
namespace {

using namespace test;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char16_t kPath[] = u"\\Storage Card\\item.dat";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const HandsetError kNoError{};
const DownloadResult kNoResult{};

// A reply for the bytes of source from offset on: 200 for the whole file,
// 206 with its range otherwise; the body is cut at end.
std::string Serve(const std::string& source, size_t offset, size_t end,
                  const std::string& checksum) {
  std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Length", std::to_string(source.size() - offset)},
      {"X-Checksum", checksum}};
  if (offset == 0) return HttpReply(200, "OK", headers, source.substr(0, end));
  headers.insert(headers.begin(),
                 {"Content-Range", "bytes " + std::to_string(offset) + "-" +
                                       std::to_string(source.size() - 1) + "/" +
                                       std::to_string(source.size())});
  return HttpReply(206, "Partial Content", headers,
                   source.substr(offset, end - offset));
}

// Request i resumes from starts[i]: a Range from there and the MD5 of the
// bytes before it as proof; neither when it starts at byte 0.
void ExpectResumedFrom(const std::vector<std::string>& requests,
                       const std::vector<size_t>& starts,
                       const std::string& body) {
  ASSERT_EQ(requests.size(), starts.size());
  auto Header = [](const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string("<none>");
    const size_t from = at + name.size() + 4;
    return request.substr(from, request.find("\r\n", from) - from);
  };
  for (size_t i = 0; i < starts.size(); ++i) {
    SCOPED_TRACE(i);
    const bool resumed = starts[i] > 0;
    EXPECT_EQ(Header(requests[i], "Range"),
              resumed ? "bytes=" + std::to_string(starts[i]) + "-" : "<none>");
    EXPECT_EQ(Header(requests[i], "X-Checksum"),
              resumed ? Md5Hex(body.substr(0, starts[i])) : "<none>");
  }
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHandsetEnv(root_);
    Put(record_.contentKey, u"item 7");
  }
  void TearDown() override { platform::SetOverrides({}); }

  // Calls the export with record_, the records filled with 0xAB first.
  int32_t Download(uint16_t port, uint16_t confirmPort,
                   const char16_t* path = kPath) {
    result_ = Filled<DownloadResult>();
    error_ = Filled<HandsetError>();
    return vesk_HandsetDownload(kEnv, &record_, &result_, &error_, path,
                                U16(Url(port, "/download")).c_str(), port,
                                U16(Url(confirmPort, "/done")).c_str(),
                                confirmPort);
  }
  void Clean() {
    for (const char* end : {"", ".Down", ".Down.cfg"})
      std::remove(Host(end).c_str());
  }
  std::string Url(uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  std::string Post(uint16_t port, const std::string& path,
                   const std::string& extra) {
    return "POST " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
           "Connection: Keep-Alive\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "User-Serial: SN-9\r\nUser-ID: 42\r\nUser-Cert: \r\n" +
           extra + "\r\nkey=item+7\r\n";
  }
  std::string Host(const std::string& suffix = "") {
    return root_.Host("\\Storage Card\\item.dat" + suffix);
  }
  // Which of the finished file, the data file and the state file exist.
  void ExpectPresent(bool finished, bool data, bool state) {
    EXPECT_EQ((std::vector<bool>{HostFileExists(Host()),
                                 HostFileExists(Host(".Down")),
                                 HostFileExists(Host(".Down.cfg"))}),
              (std::vector<bool>{finished, data, state}));
  }

  DeviceRoot root_;
  DownloadRecord record_{};
  DownloadResult result_;
  HandsetError error_;
};

TEST_F(DownloadTest, FreshAndResumedFilesAreCheckedPlacedAndConfirmed) {
  const std::string body = RandomBytes(8192);
  const std::string prefix = Md5Hex(body.substr(0, 4096));
  struct Case {
    size_t partial;   // data file size before the call
    uint32_t offset;  // the caller's offset
    std::string reply;
    int32_t status;
  } cases[] = {
      // Blanks around the checksum do not matter.
      {0, 0,
       HttpReply(200, "OK",
                 {{"Content-Length", "8192"},
                  {"X-Checksum", "  " + Md5Hex(body) + "  "}},
                 body),
       200},
      {4096, 4096, Serve(body, 4096, 8192, Md5Hex(body)), 206},
      // An offset without a data file starts over and sends no proof.
      {0, 50, Serve(body, 0, 8192, Md5Hex(body)), 200},
  };
  const std::string resumed =
      "X-Checksum: " + prefix +
      "\r\nContent-Length: 10\r\nRange: bytes=4096-\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    Clean();
    if (c.partial > 0) WriteHostFile(Host(".Down"), body.substr(0, c.partial));
    FakeServer server({Raw(c.reply)});
    FakeServer confirm({Raw(kOk)});
    record_.offset = c.offset;
    std::memset(record_.partialChecksum, 0, sizeof record_.partialChecksum);
    EXPECT_EQ(Download(server.port(), confirm.port()), c.status);
    EXPECT_EQ(record_.offset, c.partial);

    EXPECT_EQ(ReadHostFile(Host()), body);
    ExpectPresent(true, false, false);
    EXPECT_EQ(std::u16string(record_.partialChecksum),
              c.partial > 0 ? U16(prefix) : u"");
    const DownloadResult want{{0, 0},
                              static_cast<int32_t>(c.partial),
                              static_cast<int32_t>(8192 - c.partial),
                              8192,
                              {}};
    EXPECT_EQ(std::memcmp(&result_, &want, offsetof(DownloadResult, checksum)),
              0);
    EXPECT_EQ(std::u16string(result_.checksum), U16(Md5Hex(body)));
    EXPECT_EQ(std::memcmp(&error_, &kNoError, sizeof error_), 0);
    EXPECT_EQ(WithoutCertificate(server.Requests(1).at(0)),
              Post(server.port(), "/download",
                   c.partial > 0 ? resumed : "Content-Length: 10\r\n"));
    EXPECT_EQ(WithoutCertificate(confirm.Requests(1).at(0)),
              Post(confirm.port(), "/done", "Content-Length: 10\r\n"));
  }
}

// Each attempt's rejection shortens the data file by its step: 40960,
// 102400, then 1048576 bytes.
TEST_F(DownloadTest, RejectedAttemptsRollTheDataFileBack) {
  const size_t kSize = 2000000;
  const std::string body = RandomBytes(kSize);
  const std::string refusal =
      HttpReply(403, "Forbidden",
                {{"X-Error-Code", "916"}, {"X-Error-Message", "rejected"}}, "");
  std::string upper = Md5Hex(body);
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  // The service sends the right digest in upper case: never equal; or it
  // refuses with code 916.
  struct Case {
    size_t partial;               // data file size and offset before the call
    std::vector<size_t> offsets;  // offset after each attempt
    int32_t status;
  } cases[] = {
      {0, {kSize - 40960, kSize - 102400, kSize - 1048576}, 206},
      {1500000, {1459040, 1356640, 308064}, 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Clean();
    if (c.partial > 0) WriteHostFile(Host(".Down"), body.substr(0, c.partial));
    std::vector<size_t> from = {c.partial, c.offsets[0], c.offsets[1]};
    std::vector<Reply> script;
    for (size_t start : from) {
      script.push_back(
          Raw(c.status == 403 ? refusal : Serve(body, start, kSize, upper)));
    }
    FakeServer server(std::move(script));
    FakeServer confirm({});
    record_.offset = static_cast<uint32_t>(c.partial);
    EXPECT_EQ(Download(server.port(), confirm.port()), c.status);
    EXPECT_EQ(error_.code, 916);
    EXPECT_EQ(error_.message[0], 0);  // the service's message is not kept
    EXPECT_EQ(record_.offset, c.offsets[2]);
    EXPECT_EQ(ReadHostFile(Host(".Down")), body.substr(0, c.offsets[2]));
    EXPECT_FALSE(HostFileExists(Host()));
    ExpectResumedFrom(server.Requests(3), from, body);
    EXPECT_EQ(confirm.Accepted(), 0u);
  }
}

TEST_F(DownloadTest, FinishedFileAtThePathBecomesTheDataFileAgain) {
  const std::string finished = RandomBytes(5000, 2);
  const std::string body = RandomBytes(6000, 3);
  WriteHostFile(Host(), finished);
  // A longer data file is there too: it keeps its name, and its tail beyond
  // the new file is cut at completion.
  WriteHostFile(Host(".Down"), RandomBytes(7000, 4));
  FakeServer server({Raw(Serve(body, 0, 6000, Md5Hex(body)))});
  FakeServer confirm({Raw(kOk)});
  EXPECT_EQ(Download(server.port(), confirm.port()), 200);
  EXPECT_EQ(record_.offset, 5000u);
  EXPECT_EQ(ReadHostFile(Host("(1).Down")), finished);
  EXPECT_EQ(ReadHostFile(Host()), body);
  ExpectPresent(true, false, false);
  ExpectResumedFrom(server.Requests(1), {0}, body);
  EXPECT_EQ(confirm.Requests(1).size(), 1u);
}

TEST_F(DownloadTest, FailedAttemptsAndRefusals) {
  // A peer that drops every connection: three attempts, status 0, both
  // records cleared.
  FakeServer nobody({});
  Reply dropped;
  dropped.acceptAndClose = true;
  FakeServer dropping({dropped, dropped, dropped});
  EXPECT_EQ(Download(dropping.port(), nobody.port()), 0);
  EXPECT_EQ(dropping.Accepted(), 3u);
  EXPECT_EQ(std::memcmp(&error_, &kNoError, sizeof error_), 0);
  EXPECT_EQ(std::memcmp(&result_, &kNoResult, sizeof result_), 0);

  // A refusal by the service, and a partial reply without a range: every
  // attempt is made, nothing is written, the message tells why.
  for (const auto& [reply, status, code, message] :
       std::vector<std::tuple<std::string, int32_t, int32_t, std::u16string>>{
           {HttpReply(403, "F", {{"X-Error-Code", "906"}}, ""), 403, 906, u""},
           {HttpReply(206, "P", {{"Content-Length", "3"}}, "abc"), 206, 0,
            u"the partial reply has no Content-Range"}}) {
    FakeServer server({Raw(reply), Raw(reply), Raw(reply)});
    EXPECT_EQ(Download(server.port(), nobody.port()), status);
    EXPECT_EQ(error_.code, code);
    EXPECT_EQ(std::u16string(error_.message), message);
    EXPECT_EQ(server.Requests(3).size(), 3u);
    ExpectPresent(false, false, false);
  }

  // A path whose state file name would pass 259 units is refused unsent.
  const std::u16string longPath =
      u"\\Storage Card\\" + std::u16string(237, u'a');
  EXPECT_EQ(Download(nobody.port(), nobody.port(), longPath.c_str()), 0);
  EXPECT_EQ(std::u16string(error_.message),
            u"the local path is too long for its transfer files");
  EXPECT_EQ(nobody.Accepted(), 0u);
}

TEST_F(DownloadTest, StateFileBytesAfterAStartAnInterruptionAndALoad) {
  platform::Overrides overrides;
  overrides.localTime = [](platform::SystemTime* t) {
    *t = {2012, 7, 4, 5, 9, 3, 7, 0};
  };
  overrides.tickCount = [] { return uint32_t{1041}; };
  platform::SetOverrides(overrides);
  const std::string body = RandomBytes(8192);
  auto state = [&](uint16_t port, int size, int position) {
    return Utf16Bytes(u"Start-Time: 2012-7-5 9:3:7.042\nURL: " +
                      U16(Url(port, "/download")) + u"\nPort: " +
                      U16(std::to_string(port)) +
                      u"\nKey: item 7/中\nSave-File: \\Storage "
                      u"Card\\item.dat.Down\nFile-Size: " +
                      U16(std::to_string(size)) + u"\nCurrent-Position: " +
                      U16(std::to_string(position)) + u"\n");
  };
  Put(record_.contentKey, u"item 7/中");
  FakeServer confirm({});

  // Started: the head of a 206 reply and not a body byte. The later
  // attempts find the server gone and leave the files alone.
  WriteHostFile(Host(".Down"), body.substr(0, 4096));
  FakeServer started({Raw(Serve(body, 4096, 4096, Md5Hex(body)))});
  record_.offset = 4096;
  EXPECT_EQ(Download(started.port(), confirm.port()), 0);
  EXPECT_EQ(ReadHostFile(Host(".Down.cfg")), state(started.port(), 8192, 4096));
  EXPECT_EQ(record_.offset, 4096u);

  // Interrupted after 3000 of 4096 bytes, which came in two pieces.
  Clean();
  const std::string cut = Serve(body.substr(0, 4096), 0, 3000, "x");
  FakeServer interrupted({Pieces({cut.substr(0, 1200), cut.substr(1200)}, 20)});
  record_.offset = 0;
  EXPECT_EQ(Download(interrupted.port(), confirm.port()), 0);
  EXPECT_EQ(ReadHostFile(Host(".Down.cfg")),
            state(interrupted.port(), 4096, 3000));
  EXPECT_EQ(ReadHostFile(Host(".Down")), body.substr(0, 3000));
  EXPECT_EQ(record_.offset, 3000u);
  EXPECT_EQ(confirm.Accepted(), 0u);

  // A load's receive of 10 bytes of a 20-byte file: no "Key" line, and the
  // older bytes past the position go.
  WriteHostFile(root_.Host("\\Storage Card\\pkg\\a.zip.Down"),
                std::string(25, 'X'));
  FakeServer load(
      {Raw(HttpReply(200, "OK", {{"Content-Length", "10"}}, "0123456789"))});
  const std::string url = Url(load.port(), "");
  transport::HandsetRequest request;
  transfer::TransferValues values{0, 0, 20};
  ASSERT_TRUE(request.SendGet((url + "/p").c_str(), load.port()));
  EXPECT_TRUE(transfer::ReceiveToFile(request, u"\\Storage Card\\pkg\\a.zip",
                                      {url.c_str(), 8080}, values,
                                      transfer::TransferKind::kLoad));
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\pkg\\a.zip.Down")),
            "0123456789");
  EXPECT_EQ(ReadHostFile(root_.Host("\\Storage Card\\pkg\\a.zip.Down.cfg")),
            Utf16Bytes(u"Start-Time: 2012-7-5 9:3:7.042\nURL: " + U16(url) +
                       u"\nPort: 8080\nSave-File: \\Storage Card\\pkg\\a.zip"
                       u".Down\nFile-Size: 20\nCurrent-Position: 10\n"));
}

// A key line rewritten in place through a scratch file; a line too long to
// read refuses the rewrite and leaves the file alone.
TEST(DownloadFiles, SetKeyLineAndFindKeyLine) {
  DeviceRoot root;
  const char16_t kState[] = u"\\Storage Card\\s.cfg";
  const std::string host = root.Host("\\Storage Card\\s.cfg");
  const std::u16string seven =
      u"Start-Time: t\nURL: u\nPort: 80\nKey: k\nSave-File: f\n"
      u"File-Size: 9000\nCurrent-Position: 0\n";
  const std::u16string x1024(1024, u'x');
  const struct {
    std::u16string before;
    const char16_t* key;
    bool result;
    std::u16string after;
  } cases[] = {
      {seven, u"Port", true,
       u"Start-Time: t\nURL: u\nPort: 5000" +
           seven.substr(seven.find(u"\nKey"))},
      {seven, u"Nope", true, seven},
      {u"a: 1\nb: 2", u"b", true, u"a: 1\nb: 5000\n"},
      {u"a: 1\n" + x1024 + u"\n", u"a", false, u"a: 1\n" + x1024 + u"\n"},
  };
  for (const auto& c : cases) {
    WriteHostFile(host, Utf16Bytes(c.before));
    EXPECT_EQ(transfer::SetKeyLine(kState, c.key, u"5000"), c.result);
    EXPECT_EQ(ReadHostFile(host), Utf16Bytes(c.after));
    EXPECT_FALSE(HostFileExists(host + ".tmp"));
  }
  WriteHostFile(host, Utf16Bytes(seven));
  EXPECT_EQ(transfer::FindKeyLine(kState, u"Current-Position"), 6);
  EXPECT_EQ(transfer::FindKeyLine(kState, u"Position"), -1);
  EXPECT_FALSE(transfer::SetKeyLine(u"\\Storage Card\\none", u"URL", u"x"));
  EXPECT_FALSE(HostFileExists(root.Host("\\Storage Card\\none.tmp")));
}

// The digest of a prefix read from the data file, then of the bytes fed; none
// when the file holds fewer bytes than the prefix or nothing was started.
// A moved file takes the first free "name(n).ext"; a name whose last "."
// sits in a directory, one the counter would take past 259 units, a
// directory and a missing file are refused.
TEST(LocalFiles, MovesTakeTheFirstFreeName) {
  const struct {
    std::vector<std::string> taken;
    std::u16string target;
    std::string landed;  // "" when the move fails
  } moves[] = {
      {{"item.dat", "item(1).dat"}, u"\\Storage Card\\item.dat", "item(2).dat"},
      {{"item.dat.Down"}, u"\\Storage Card\\item.dat.Down", "item.dat(1).Down"},
      {{}, u"\\Storage Card\\free.bin", "free.bin"},
      {{"noext"}, u"\\Storage Card\\noext", "noext(1)"},
      {{"v1.2/file"}, u"\\Storage Card\\v1.2\\file", ""},
      {{std::string(245, 'x')},
       u"\\Storage Card\\" + std::u16string(245, u'x'),
       ""},
  };
  for (const auto& m : moves) {
    DeviceRoot root;
    for (const std::string& name : m.taken) {
      WriteHostFile(root.Host("\\Storage Card\\" + name), "old");
    }
    WriteHostFile(root.Host("\\Storage Card\\a.Down"), "new");
    const bool moved =
        transfer::MoveToFreeName(u"\\Storage Card\\a.Down", m.target.c_str());
    EXPECT_EQ(moved, !m.landed.empty()) << m.landed;
    EXPECT_TRUE(!moved || ReadHostFile(root.Host("\\Storage Card\\" +
                                                 m.landed)) == "new");
    EXPECT_EQ(HostFileExists(root.Host("\\Storage Card\\a.Down")), !moved);
  }
  const DeviceRoot root;
  platform::SetLastError(0);
  EXPECT_FALSE(transfer::MoveToFreeName(u"\\Storage Card", u"\\x"));
  EXPECT_EQ(platform::GetLastError(), transfer::kErrorNamesDirectory);
  EXPECT_FALSE(transfer::MoveToFreeName(u"\\Storage Card\\gone", u"\\x"));
}

TEST(StreamChecksum, DigestsThePrefixFromTheFileThenTheFedBytes) {
  DeviceRoot root;
  const std::string bytes = RandomBytes(300000, 5);
  WriteHostFile(root.Host("\\f.Down"), bytes.substr(0, 100000) + "tail");
  for (const auto& [prefix, want] :
       std::vector<std::pair<int64_t, std::string>>{
           {100000, Md5Hex(bytes)},
           {0, Md5Hex(bytes.substr(100000))},
           {100005, ""},
           {-1, ""}}) {
    transfer::StreamChecksum checksum;
    if (prefix >= 0) checksum.Start(u"\\f.Down", prefix);
    // Pieces of odd sizes, some larger than the worker's blocks.
    for (size_t at = 100000, piece = 1; at < bytes.size();
         at += piece, piece *= 7) {
      checksum.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    EXPECT_EQ(checksum.Finish(), U16(want)) << prefix;
  }
}

}  // namespace
}  // namespace vesk
