// File positions past 2 and 4 GiB and file times past January 2038, which a
// 32-bit target (armhf) reaches only with 64-bit off_t and time_t: without
// them a seek is cut to 32 bits (and lands somewhere else without an error),
// a large file cannot be opened or sized, and a time past 2038 wraps to 1901.
// The files are sparse: their size costs no room on the disk.
#include <sys/stat.h>
#include <zip.h>

#include <cstdint>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "tests/support/device_root.h"
#include "transfer/transfer.h"

namespace vesk {
namespace {

using platform::Access;
using platform::Disposition;
using platform::File;
using test::DeviceRoot;

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

uint64_t FileTimeOfUnix(int64_t seconds) {
  return static_cast<uint64_t>(seconds) * kTicksPerSecond + kUnixEpochFileTime;
}

class LargeValues : public ::testing::Test {
 protected:
  DeviceRoot root_;
};

TEST_F(LargeValues, PositionsPastFourGibibytes) {
  const std::u16string path = u"\\Storage Card\\sparse.dat";
  // 5 GiB + 3 cut to 32 bits is 1 GiB + 3: a wrong place, not an error.
  const int64_t far = 5 * kGiB + 3;
  {
    File file = File::Open(path, Access::kReadWrite, Disposition::kCreateNew);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.Write("head", 4));
    ASSERT_EQ(file.Seek(far, File::From::kBegin), far);
    ASSERT_TRUE(file.Write("end", 3));
    EXPECT_EQ(file.Seek(0, File::From::kCurrent), far + 3);
    EXPECT_EQ(file.Size(), far + 3);
  }
  struct stat st {};
  ASSERT_EQ(stat(root_.Host("\\Storage Card\\sparse.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, far + 3);

  // Opened again, as a resumed transfer opens its data file.
  File file = File::Open(path, Access::kReadWrite, Disposition::kOpenExisting);
  ASSERT_TRUE(file.IsOpen()) << platform::GetLastError();
  EXPECT_EQ(file.Size(), far + 3);
  EXPECT_EQ(file.Seek(-3, File::From::kEnd), far);
  char tail[4] = {};
  EXPECT_EQ(file.Read(tail, 3), 3);
  EXPECT_STREQ(tail, "end");
  EXPECT_EQ(file.Seek(1 * kGiB + 3, File::From::kBegin), 1 * kGiB + 3);
  EXPECT_EQ(file.Read(tail, 3), 3);
  EXPECT_EQ(std::string(tail, 3), std::string(3, '\0'));

  // Cut back to just past 2 GiB, where a signed 32-bit size ends.
  const int64_t cut = 2 * kGiB + 1;
  ASSERT_EQ(file.Seek(cut, File::From::kBegin), cut);
  ASSERT_TRUE(file.SetEndOfFile());
  EXPECT_EQ(file.Size(), cut);
  file.Close();

  EXPECT_NE(platform::GetFileAttributes(path), platform::kInvalidAttributes);
  platform::FindHandle find;
  platform::FindData found;
  ASSERT_TRUE(find.FindFirst(u"\\Storage Card\\sparse.*", &found));
  EXPECT_EQ(found.size, static_cast<uint64_t>(cut));
  EXPECT_TRUE(platform::DeleteFile(path));
}

TEST_F(LargeValues, FileTimesPastJanuary2038) {
  const std::u16string path = u"\\Storage Card\\timed.txt";
  File file = File::Open(path, Access::kWrite, Disposition::kCreateNew);
  ASSERT_TRUE(file.IsOpen());
  // 2100-01-01 00:00:00 UTC and 2040-06-01 12:00:00 UTC, and one second
  // before the first instant that 32 bits cannot hold.
  for (const int64_t write :
       {int64_t{4102444800}, int64_t{2222251200}, int64_t{INT32_MAX}}) {
    const uint64_t access = FileTimeOfUnix(write) + 1234567;  // + 0.1234567 s
    const uint64_t written = FileTimeOfUnix(write);
    ASSERT_TRUE(file.SetTimes(nullptr, &access, &written));
    struct stat st {};
    ASSERT_EQ(stat(root_.Host("\\Storage Card\\timed.txt").c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_mtim.tv_sec), write);
    EXPECT_EQ(static_cast<int64_t>(st.st_atim.tv_sec), write);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456700);
  }

  // Local times (the zip's DOS times) past 2038, in a zone with an offset.
  test::ScopedEnv tz("TZ", "UTC-8");
  platform::FileTime localTime = 0, utc = 0;
  ASSERT_TRUE(
      platform::SystemTimeToFileTime({2100, 1, 0, 1, 8, 0, 0, 0}, &localTime));
  ASSERT_TRUE(platform::LocalFileTimeToFileTime(localTime, &utc));
  EXPECT_EQ(utc, FileTimeOfUnix(4102444800));
}

TEST_F(LargeValues, UnpackedEntryKeepsADatePast2038) {
  test::ScopedEnv tz("TZ", "UTC0");
  const std::string archive = root_.Host("\\Storage Card\\late.zip");
  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  zip_fileinfo info{};
  // 2099-12-31 23:59:58, the DOS date and time of the entry.
  info.dosDate = (uint32_t{2099 - 1980} << 25) | (12u << 21) | (31u << 16) |
                 (23u << 11) | (59u << 5) | (58u / 2);
  info.external_fa = 0100644u << 16;
  ASSERT_EQ(zipOpenNewFileInZip(zip, "late.txt", &info, nullptr, 0, nullptr, 0,
                                nullptr, Z_DEFLATED, 6),
            ZIP_OK);
  ASSERT_EQ(zipWriteInFileInZip(zip, "late", 4), ZIP_OK);
  ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);

  ASSERT_EQ(transfer::ExtractArchive(u"\\Storage Card\\late.zip",
                                     u"\\Storage Card\\out"),
            0);
  struct stat st {};
  ASSERT_EQ(stat(root_.Host("\\Storage Card\\out\\late.txt").c_str(), &st), 0);
  EXPECT_EQ(static_cast<int64_t>(st.st_mtim.tv_sec), int64_t{4102444798});
}

}  // namespace
}  // namespace vesk
