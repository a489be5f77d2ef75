// The package load against scripted loopback servers: the exact request,
// a zip made by Info-ZIP zip received and unpacked (and deleted when asked),
// a ranged request and the refusals of replies that do not continue the file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
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
    Put(record_.archivePath, u"\\Storage Card\\pkg.zip");
    Put(record_.targetDirectory, u"\\Storage Card\\pkg");
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

  // Calls the export with the result and error records filled with kFill.
  int32_t Load(const std::string& reply, const std::string& range = "-") {
    FakeServer server({Raw(reply)});
    result_ = Filled<LoadResult>();
    error_ = Filled<HandsetError>();
    const int32_t status = vesk_HandsetLoad(
        kEnv, &record_, &result_, &error_,
        Url(server, "/packages/pkg.zip").c_str(), server.port());
    // The load's GET with the range lines asked for.
    if (range != "-") {
      EXPECT_EQ(WithoutCertificate(server.Requests(1).at(0)),
                "GET /packages/pkg.zip HTTP/1.1\r\nHost: 127.0.0.1:" +
                    std::to_string(server.port()) +
                    "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
                    "Connection: Keep-Alive\r\nUser-Serial: SN-9\r\n"
                    "User-ID: 42\r\nUser-Cert: \r\n" +
                    range + "\r\n");
    }
    return status;
  }
  std::vector<int32_t> Result() const {
    return {result_.rangeStart, result_.received, result_.fileSize};
  }
  std::string Card(const std::string& name) const {
    return ReadHostFile(root_.Host("\\Storage Card\\" + name));
  }
  bool Exists(const std::string& name) const {
    return HostFileExists(root_.Host("\\Storage Card\\" + name));
  }

  DeviceRoot root_;
  LoadRecord record_{};
  LoadResult result_;
  HandsetError error_;
  std::string archive_;
};

std::string Whole(const std::string& bytes) {
  return HttpReply(200, "OK",
                   {{"Content-Length", std::to_string(bytes.size())}}, bytes);
}

TEST_F(LoadTest, WholeArchiveIsReceivedUnpackedAndDeletedWhenAsked) {
  const int32_t size = static_cast<int32_t>(archive_.size());
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove);
    record_.deleteArchive = remove ? 1 : 0;
    EXPECT_EQ(Load(Whole(archive_), ""), 200);
    EXPECT_EQ(Result(), (std::vector<int32_t>{0, size, size}));
    EXPECT_TRUE(Untouched(result_, 0, 8));
    EXPECT_TRUE(Untouched(error_));
    EXPECT_EQ(Card("pkg\\a.txt"), "two files a");
    EXPECT_EQ(Card("pkg\\sub\\b.txt"),
              ReadHostFile(root_.path() + "/zip-one/sub/b.txt"));
    EXPECT_EQ(Card("pkg.zip"), remove ? "" : archive_);
    EXPECT_EQ(Exists("pkg.zip"), !remove);
    EXPECT_FALSE(Exists("pkg.zip.Down") || Exists("pkg.zip.Down.cfg"));
  }

  // An older file holds the archive path: the new archive goes beside it
  // under a free name, and the older one is what is unpacked.
  const std::string newer = MakeZip("two", "newer");
  EXPECT_EQ(Load(Whole(newer)), 200);
  EXPECT_EQ(Card("pkg(1).zip"), newer);
  EXPECT_EQ(Card("pkg.zip"), archive_);
  EXPECT_EQ(Card("pkg\\a.txt"), "two files a");
}

TEST_F(LoadTest, RangesAndRefusals) {
  // The caller's range is sent; the part lands after the 1000 bytes the
  // data file holds, and a part of the archive is not unpacked.
  record_.offset = 1000;
  record_.rangeEnd = 1999;
  WriteHostFile(root_.Host("\\Storage Card\\pkg.zip.Down"),
                std::string(1000, 'h'));
  EXPECT_EQ(Load(HttpReply(206, "Partial Content",
                           {{"Content-Range", "bytes 1000-1999/3000"},
                            {"Content-Length", "1000"}},
                           std::string(1000, 'r')),
                 "Range: bytes=1000-1999\r\n"),
            206);
  EXPECT_EQ(Result(), (std::vector<int32_t>{1000, 1000, 3000}));
  EXPECT_FALSE(Exists("pkg"));
  EXPECT_EQ(Card("pkg.zip.Down"),
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
  const struct {
    std::string reply;
    int32_t offset, status, code;
    std::u16string message;
  } cases[] = {
      {HttpReply(404, "Not Found",
                 {{"X-Error-Code", "12"}, {"X-Error-Message", "gone"}}, ""),
       0, 404, 12, u" gone"},
      {partial("x bytes 0-2/3"), 0, 206, 0, notBytes},
      {partial("bytes 0/3-2"), 0, 206, 0, notBytes},
      {partial("bytes 2500-2502/3000"), 2000, 206, 0,
       u"the partial reply starts at byte 2500, not at byte 2000 as asked"},
      {partial("bytes 2000-2002/3000"), 2000, 206, 0,
       u"the partial reply starts at byte 2000, but the data file holds 1000 "
       u"bytes"},
      {partial("bytes 4000-4002/3000"), 4000, 206, 0, unusable},
      {partial("bytes 0-2/30x0"), 0, 206, 0, unusable},
      {partial("bytes 0-2/1234567890123456"), 0, 206, 0, unusable},
  };
  WriteHostFile(root_.Host("\\Storage Card\\pkg.zip.Down"),
                std::string(1000, 'h'));
  const std::string state = Card("pkg.zip.Down.cfg");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    record_.offset = c.offset;
    EXPECT_EQ(Load(c.reply), c.status);
    EXPECT_EQ(error_.code, c.code);
    EXPECT_EQ(std::u16string(error_.message), c.message);
    EXPECT_TRUE(Untouched(error_, offsetof(HandsetError, timestamp)));
    EXPECT_TRUE(Untouched(result_));
    EXPECT_EQ(Card("pkg.zip.Down"), std::string(1000, 'h'));
    EXPECT_EQ(Card("pkg.zip.Down.cfg"), state);
  }
}

}  // namespace
}  // namespace vesk
