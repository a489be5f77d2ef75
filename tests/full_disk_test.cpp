// Transfers onto a storage card that fills: a real small file system
// (tmpfs) mounted over the device root's card. A download that runs out of
// room leaves a data file and a state file to resume from, and resumes to
// the whole file once there is room; a package whose declared sizes do not
// fit unpacks nothing. Needs the right to mount (root); skipped otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"

namespace vesk {
namespace {

using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::ReadHostFile;
using test::U16;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";

class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteHostFile(root_.Host("\\PocketDisk1\\handset.env"),
                        "User-Agent: Full/1\nUser-Serial: SN\nUser-Id: 3\n");
    card_ = root_.Host("\\Storage Card");
    if (mount("tmpfs", card_.c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a small file system: "
                   << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(card_.c_str(), MNT_DETACH);
  }
  void Grow() {
    ASSERT_EQ(mount(nullptr, card_.c_str(), nullptr, MS_REMOUNT, "size=8m"), 0);
  }

  test::DeviceRoot root_;
  std::string card_;
  bool mounted_ = false;
};

// The "Current-Position" value of a UTF-16LE state file; -1 without one.
long StatePosition(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += bytes[i];
  const size_t at = text.find("Current-Position: ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + 18));
}

TEST_F(FullDiskTest, DownloadStopsResumablyAndResumesOnceThereIsRoom) {
  std::string source(1536 * 1024, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = char(i * 7 + i / 999);
  const std::string checksum = test::Md5Hex(source);
  DownloadRecord record{};
  std::copy_n(u"k", 1, record.contentKey);
  DownloadResult result{};
  HandsetError error{};
  test::Reply dropped;
  dropped.acceptAndClose = true;
  auto download = [&](FakeServer& server, FakeServer& confirm) {
    return vesk_HandsetDownload(
        kEnv, &record, &result, &error, u"\\Storage Card\\big.bin",
        test::Url(server, "/d").c_str(), server.port(),
        test::Url(confirm, "/c").c_str(), confirm.port());
  };
  {
    FakeServer full({Raw(HttpReply(200, "OK",
                                   {{"Content-Length", "1572864"},
                                    {"X-Checksum", checksum}},
                                   source)),
                     dropped, dropped});
    FakeServer confirm({});
    EXPECT_EQ(download(full, confirm), 0);
    EXPECT_EQ(confirm.Accepted(), 0u);
  }
  const std::string data = ReadHostFile(card_ + "/big.bin.Down");
  ASSERT_GT(data.size(), 0u);
  ASSERT_LT(data.size(), source.size());
  EXPECT_EQ(data, source.substr(0, data.size()));
  EXPECT_EQ(record.offset, data.size());
  const long position =
      StatePosition(ReadHostFile(card_ + "/big.bin.Down.cfg"));
  EXPECT_GE(position, 0);
  EXPECT_LE(position, static_cast<long>(data.size()));

  Grow();
  const std::string from = std::to_string(record.offset);
  FakeServer rest({Raw(HttpReply(
      206, "Partial",
      {{"Content-Range", "bytes " + from + "-1572863/1572864"},
       {"Content-Length", std::to_string(source.size() - record.offset)},
       {"X-Checksum", checksum}},
      source.substr(record.offset)))});
  FakeServer confirm(
      {Raw(HttpReply(200, "OK", {{"Content-Length", "0"}}, ""))});
  EXPECT_EQ(download(rest, confirm), 206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(ReadHostFile(card_ + "/big.bin"), source);
  EXPECT_FALSE(test::HostFileExists(card_ + "/big.bin.Down.cfg"));
  EXPECT_EQ(confirm.Requests(1).size(), 1u);
}

TEST_F(FullDiskTest, PackageThatCannotFitUnpacksNothing) {
  // 4 MiB that deflate to a few kilobytes, for a 1 MiB card.
  const std::string archive = card_ + "/pkg.zip.src";
  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  const std::string zeros(4 << 20, '\0');
  for (const char* name : {"small.txt", "big.bin"}) {
    zip_fileinfo info{};
    ASSERT_EQ(zipOpenNewFileInZip64(zip, name, &info, nullptr, 0, nullptr, 0,
                                    nullptr, Z_DEFLATED, 9, 1),
              ZIP_OK);
    const std::string& data =
        std::strcmp(name, "big.bin") == 0 ? zeros : std::string("small");
    ASSERT_EQ(zipWriteInFileInZip(zip, data.data(),
                                  static_cast<unsigned>(data.size())),
              ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
  const std::string bytes = ReadHostFile(archive);
  std::remove(archive.c_str());

  LoadRecord record{};
  const std::u16string path = u"\\Storage Card\\pkg.zip";
  const std::u16string target = u"\\Storage Card\\pkg";
  std::copy(path.begin(), path.end(), record.archivePath);
  std::copy(target.begin(), target.end(), record.targetDirectory);
  LoadResult result{};
  HandsetError error{};
  FakeServer server({Raw(HttpReply(
      200, "OK", {{"Content-Length", std::to_string(bytes.size())}}, bytes))});
  testing::internal::CaptureStdout();
  EXPECT_EQ(vesk_HandsetLoad(kEnv, &record, &result, &error,
                             test::Url(server, "/p").c_str(), server.port()),
            200);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unzip fail\nunzip fail\n");
  EXPECT_EQ(result.received, static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(ReadHostFile(card_ + "/pkg.zip"), bytes);
  EXPECT_FALSE(test::HostFileExists(card_ + "/pkg/small.txt"));
  EXPECT_FALSE(test::HostFileExists(card_ + "/pkg/big.bin"));
}

}  // namespace
}  // namespace vesk
