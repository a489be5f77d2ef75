// The package load against scripted loopback servers: the exact request,
// a zip made by Info-ZIP zip received and unpacked (and deleted when asked),
// a ranged request and the refusals of replies that do not continue the file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tools/common/process.h"

namespace vesk {
namespace {

using namespace test;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHandsetEnv(root_);
    Set(record_.archivePath, u"\\Storage Card\\pkg.zip");
    Set(record_.targetDirectory, u"\\Storage Card\\pkg");
    archive_ = MakeZip("one", "two files");
  }

  // A zip of a.txt and sub/b.txt made by Info-ZIP zip.
  std::string MakeZip(const std::string& name, const std::string& text) {
    const std::string dir = root_.path() + "/zip-" + name;
    WriteHostFile(dir + "/a.txt", text + " a");
    std::string big;
    for (int i = 0; i < 2000; ++i) big += text + std::to_string(i) + "\n";
    WriteHostFile(dir + "/sub/b.txt", big);
    EXPECT_EQ(tools::RunToEnd({"zip", "-q", "-r", "-D", "../" + name + ".zip",
                               "a.txt", "sub"},
                              nullptr, {"", dir}),
              0);
    return ReadHostFile(root_.path() + "/" + name + ".zip");
  }

  template <size_t N>
  static void Set(char16_t (&field)[N], const std::u16string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), text.size() * sizeof(char16_t));
  }

  // Calls the export with the result and error records filled with kFill.
  int32_t Load(const FakeServer& server) {
    result_ = Filled<LoadResult>();
    error_ = Filled<HandsetError>();
    return vesk_HandsetLoad(kEnv, &record_, &result_, &error_,
                            Url(server, "/packages/pkg.zip").c_str(),
                            server.port());
  }

  void ExpectResult(int32_t rangeStart, int32_t received, int32_t fileSize) {
    EXPECT_EQ((std::vector<int32_t>{result_.rangeStart, result_.received,
                                    result_.fileSize}),
              (std::vector<int32_t>{rangeStart, received, fileSize}));
  }

  std::string Host(const std::string& handsetPath) {
    return root_.Host(handsetPath);
  }

  // The server got exactly one request: the load's GET with range lines.
  void ExpectRequest(FakeServer& server, const std::string& range) {
    const auto requests = server.Requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(WithoutCertificate(requests[0]),
              "GET /packages/pkg.zip HTTP/1.1\r\nHost: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
                  "Connection: Keep-Alive\r\nUser-Serial: SN-9\r\n"
                  "User-ID: 42\r\nUser-Cert: \r\n" +
                  range + "\r\n");
  }

  DeviceRoot root_;
  LoadRecord record_{};
  LoadResult result_;
  HandsetError error_;
  std::string archive_;
};

TEST_F(LoadTest, WholeArchiveIsReceivedUnpackedAndDeletedWhenAsked) {
  const int32_t size = static_cast<int32_t>(archive_.size());
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove);
    record_.deleteArchive = remove ? 1 : 0;
    FakeServer server({Raw(HttpReply(
        200, "OK", {{"Content-Length", std::to_string(size)}}, archive_))});
    EXPECT_EQ(Load(server), 200);
    ExpectRequest(server, "");

    ExpectResult(0, size, size);
    EXPECT_TRUE(Untouched(result_, 0, 8));
    EXPECT_TRUE(Untouched(error_));
    EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg\\a.txt")), "two files a");
    EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg\\sub\\b.txt")),
              ReadHostFile(root_.path() + "/zip-one/sub/b.txt"));
    EXPECT_EQ(HostFileExists(Host("\\Storage Card\\pkg.zip")), !remove);
    if (!remove) {
      EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg.zip")), archive_);
    }
    EXPECT_FALSE(HostFileExists(Host("\\Storage Card\\pkg.zip.Down")));
    EXPECT_FALSE(HostFileExists(Host("\\Storage Card\\pkg.zip.Down.cfg")));
  }

  // An older file holds the archive path: the new archive goes beside it
  // under a free name, and the older one is what is unpacked.
  const std::string newer = MakeZip("two", "newer");
  record_.deleteArchive = 0;
  FakeServer server({Raw(HttpReply(
      200, "OK", {{"Content-Length", std::to_string(newer.size())}}, newer))});
  EXPECT_EQ(Load(server), 200);
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg(1).zip")), newer);
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg.zip")), archive_);
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg\\a.txt")), "two files a");
}

TEST_F(LoadTest, RangesAndRefusals) {
  // The caller's range is sent; the part lands after the 1000 bytes the
  // data file holds, and a part of the archive is not unpacked.
  record_.offset = 1000;
  record_.rangeEnd = 1999;
  WriteHostFile(Host("\\Storage Card\\pkg.zip.Down"), std::string(1000, 'h'));
  FakeServer ranged({Raw(HttpReply(
      206, "Partial Content",
      {{"Content-Range", "bytes 1000-1999/3000"}, {"Content-Length", "1000"}},
      std::string(1000, 'r')))});
  EXPECT_EQ(Load(ranged), 206);
  ExpectRequest(ranged, "Range: bytes=1000-1999\r\n");
  ExpectResult(1000, 1000, 3000);
  EXPECT_FALSE(HostFileExists(Host("\\Storage Card\\pkg")));
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg.zip.Down")),
            std::string(1000, 'h') + std::string(1000, 'r'));

  // Refusals leave the result and the files alone: the service's, and
  // parts that would not continue the file where it stands.
  auto partial = [](const char* range) {
    return HttpReply(
        206, "P", {{"Content-Range", range}, {"Content-Length", "3"}}, "abc");
  };
  const std::u16string notBytes =
      u"the Content-Range of the partial reply is not bytes A-B/N";
  const std::u16string unusable =
      u"the Content-Range of the partial reply has unusable numbers";
  struct Case {
    std::string reply;
    int32_t offset, status, code;
    std::u16string message;
  } cases[] = {
      {HttpReply(404, "Not Found",
                 {{"X-Error-Code", "12"}, {"X-Error-Message", "gone"}}, ""),
       0, 404, 12, u" gone"},
      {HttpReply(206, "P", {{"Content-Range", "items 0-2/3"}}, "abc"), 0, 206,
       0, notBytes},
      // Something before the unit, and the size before the end position.
      {partial("x bytes 0-2/3"), 0, 206, 0, notBytes},
      {partial("bytes 0/3-2"), 0, 206, 0, notBytes},
      {partial("bytes 1000-1002/3000"), 0, 206, 0,
       u"the partial reply starts at byte 1000, not at byte 0 as asked"},
      {partial("bytes 2500-2502/3000"), 2000, 206, 0,
       u"the partial reply starts at byte 2500, not at byte 2000 as asked"},
      {partial("bytes 2000-2002/3000"), 2000, 206, 0,
       u"the partial reply starts at byte 2000, but the data file holds 1000 "
       u"bytes"},
      {partial("bytes 4000-4002/3000"), 4000, 206, 0, unusable},
      {partial("bytes 0-2/30x0"), 0, 206, 0, unusable},
      {partial("bytes 0-2/1234567890123456"), 0, 206, 0, unusable},
  };
  WriteHostFile(Host("\\Storage Card\\pkg.zip.Down"), std::string(1000, 'h'));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    record_.offset = c.offset;
    const auto before = ReadHostFile(Host("\\Storage Card\\pkg.zip.Down"));
    const auto state = ReadHostFile(Host("\\Storage Card\\pkg.zip.Down.cfg"));
    FakeServer server({Raw(c.reply)});
    EXPECT_EQ(Load(server), c.status);
    EXPECT_EQ(error_.code, c.code);
    EXPECT_EQ(std::u16string(error_.message), c.message);
    EXPECT_TRUE(Untouched(error_, offsetof(HandsetError, timestamp)));
    EXPECT_TRUE(Untouched(result_));
    EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg.zip.Down")), before);
    EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\pkg.zip.Down.cfg")), state);
  }
  record_.offset = 0;

  // Without an archive path nothing is received: no transfer files named
  // after the suffixes alone appear in the working directory (the device
  // root here, so that nothing older is in the way).
  Set(record_.archivePath, u"");
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(root_.path());
  FakeServer noPath(
      {Raw(HttpReply(200, "OK", {{"Content-Length", "3"}}, "zip"))});
  EXPECT_EQ(Load(noPath), 200);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(result_.received, 0);
  EXPECT_EQ(result_.fileSize, 3);
  EXPECT_FALSE(HostFileExists(root_.path() + "/.Down"));
  EXPECT_FALSE(HostFileExists(root_.path() + "/.Down.cfg"));
}

}  // namespace
}  // namespace vesk
