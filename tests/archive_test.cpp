// Archive extraction with real archives: made by Info-ZIP zip (checked
// against what Info-ZIP unzip makes of them) and by minizip's zip API for
// the names, attributes, times and extra fields zip would not write.
// Hostile names are checked by listing the whole device root afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zip.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/support/device_root.h"
#include "tools/common/process.h"
#include "transfer/transfer.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

// One entry written with minizip's zip API, dated 2021-05-03 12:00:00.
struct ZipEntry {
  std::string name;  // bytes as stored
  std::string data;
  uint32_t hostSystem = 3;  // version made by, high byte: 3 Unix, 0 DOS
  uint32_t externalAttributes = 0100644u << 16;
  std::string localExtra;
};

void WriteZip(const std::string& hostPath, const std::vector<ZipEntry>& all) {
  zipFile zip = zipOpen64(hostPath.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  for (const ZipEntry& entry : all) {
    zip_fileinfo info{};
    info.dosDate = 0x52A36000;
    info.external_fa = entry.externalAttributes;
    const unsigned long crc =
        crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
              static_cast<uInt>(entry.data.size()));
    ASSERT_EQ(zipOpenNewFileInZip4_64(
                  zip, entry.name.c_str(), &info, entry.localExtra.data(),
                  static_cast<uInt>(entry.localExtra.size()), nullptr, 0,
                  nullptr, Z_DEFLATED, 6, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                  nullptr, crc, (entry.hostSystem << 8) | 20, 0, 0),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(zip, entry.data.data(),
                                  static_cast<unsigned>(entry.data.size())),
              ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

// Every file and directory under dir, relative, with the bytes of the files
// ("<dir>" for directories).
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(item.path(), dir).string();
    tree[name] = item.is_directory() ? "<dir>" : ReadHostFile(item.path());
  }
  return tree;
}

// Runs a tool (zip, unzip) in a directory.
int RunTool(const std::vector<std::string>& argv, const std::string& in = "") {
  return tools::RunToEnd(argv, nullptr, {"", in});
}

// The bytes ExtractArchive printed on standard output.
std::string Extract(const std::u16string& archive, const std::u16string& target,
                    int32_t* result = nullptr) {
  testing::internal::CaptureStdout();
  const int32_t got = transfer::ExtractArchive(archive.c_str(), target.c_str());
  if (result != nullptr) *result = got;
  return testing::internal::GetCapturedStdout();
}

// The file time of the entries' local DOS time, as the platform converts it.
uint64_t DosFileTime() {
  uint64_t localTime = 0, utc = 0;
  EXPECT_TRUE(
      platform::SystemTimeToFileTime({2021, 5, 0, 3, 12, 0, 0, 0}, &localTime));
  EXPECT_TRUE(platform::LocalFileTimeToFileTime(localTime, &utc));
  return utc;
}

uint64_t FileTimeOf(const struct timespec& time) {
  return static_cast<uint64_t>(time.tv_sec) * 10000000 + time.tv_nsec / 100 +
         kUnixEpochFileTime;
}

class ArchiveTest : public ::testing::Test {
 protected:
  std::string Host(const std::string& handsetPath) {
    return root_.Host(handsetPath);
  }
  // lstat() of a handset path; all zero when it fails.
  struct stat Stat(const std::string& handsetPath) {
    struct stat st {};
    EXPECT_EQ(lstat(Host(handsetPath).c_str(), &st), 0) << handsetPath;
    return st;
  }
  DeviceRoot root_;
};

TEST_F(ArchiveTest, InfoZipArchiveUnpacksAsUnzipUnpacksIt) {
  // A tree with nested directories, a compressible and an incompressible
  // file, an empty file, and a name in GBK.
  const std::string src = root_.path() + "/src";
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::string noise = RandomBytes(70000, 7);
  WriteHostFile(src + "/readme.txt", text);
  WriteHostFile(src + "/deep/er/noise.bin", noise);
  WriteHostFile(src + "/deep/empty", "");
  WriteHostFile(src + "/\xd6\xd0\xce\xc4.txt", "gbk name");  // "中文" in GBK
  // -D: no directory entries; -n .bin: stored, the rest deflated.
  ASSERT_EQ(
      RunTool({"zip", "-q", "-r", "-D", "-n", ".bin", "../a.zip", "."}, src),
      0);
  ASSERT_EQ(RunTool({"unzip", "-q", "-o", root_.path() + "/a.zip", "-d",
                     root_.path() + "/by-unzip"}),
            0);

  int32_t result = -2;
  EXPECT_EQ(Extract(u"\\a.zip", u"\\Storage Card\\pkg", &result), "");
  EXPECT_EQ(result, 0);
  const auto ours = Tree(Host("\\Storage Card\\pkg"));
  // unzip keeps the name's bytes; the library reads them in the ANSI code
  // page and names the host file in UTF-8.
  auto theirs = Tree(root_.path() + "/by-unzip");
  theirs["\xe4\xb8\xad\xe6\x96\x87.txt"] = theirs["\xd6\xd0\xce\xc4.txt"];
  theirs.erase("\xd6\xd0\xce\xc4.txt");
  EXPECT_EQ(ours, theirs);

  // The entries as ReadEntryInfo describes them: the count, the stored and
  // the deflated sizes, and no description outside the archive.
  transfer::Archive archive(u"\\a.zip");
  transfer::ArchiveEntry entry;
  ASSERT_TRUE(archive.ReadEntryInfo(-1, &entry));
  EXPECT_EQ(entry.index, 4);
  EXPECT_FALSE(archive.ReadEntryInfo(4, &entry));
  EXPECT_FALSE(archive.ReadEntryInfo(-2, &entry));
  std::map<std::u16string, std::pair<int32_t, int32_t>> sizes;
  for (int32_t i = 3; i >= 0; --i) {  // backwards: from the first again
    ASSERT_TRUE(archive.ReadEntryInfo(i, &entry));
    EXPECT_EQ(entry.index, i);
    sizes[entry.name] = {entry.compressedSize, entry.uncompressedSize};
  }
  EXPECT_EQ(sizes[u"deep/er/noise.bin"], std::make_pair(70000, 70000));
  EXPECT_EQ(sizes[u"readme.txt"].second, static_cast<int32_t>(text.size()));
  EXPECT_LT(sizes[u"readme.txt"].first, sizes[u"readme.txt"].second);
}

TEST_F(ArchiveTest, AttributesTimesAndFailingEntries) {
  const std::string src = root_.path() + "/src";
  WriteHostFile(src + "/ro.txt", "read only");
  WriteHostFile(src + "/rw.txt", "writable");
  WriteHostFile(src + "/plain.txt", "no extra field");
  ASSERT_EQ(chmod((src + "/ro.txt").c_str(), 0444), 0);
  // 2001-02-03 04:05:06 UTC as write and access time; zip writes them in a
  // "UT" block.
  const struct utimbuf when = {981173106, 981173106};
  ASSERT_EQ(utime((src + "/rw.txt").c_str(), &when), 0);
  ASSERT_EQ(utime((src + "/plain.txt").c_str(), &when), 0);
  ASSERT_EQ(symlink("/etc/passwd", (src + "/link").c_str()), 0);
  ASSERT_EQ(
      RunTool({"zip", "-q", "-y", "../b.zip", "ro.txt", "rw.txt", "link"}, src),
      0);
  ASSERT_EQ(RunTool({"zip", "-q", "-X", "../b.zip", "plain.txt"}, src), 0);
  ASSERT_EQ(RunTool({"zip", "-q", "-P", "secret", "../b.zip", "rw.txt", "--out",
                     "../enc.zip"},
                    src),
            0);

  // Descriptors open now; every extraction below closes what it opened.
  auto open = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto opened = open();
  EXPECT_EQ(Extract(u"\\b.zip", u"\\t"), "");
  EXPECT_EQ(Stat("\\t\\ro.txt").st_mode & 0222, 0u);
  const struct stat rw = Stat("\\t\\rw.txt");
  EXPECT_NE(rw.st_mode & 0200, 0u);
  EXPECT_EQ(rw.st_mtime, 981173106);
  EXPECT_EQ(rw.st_atime, 981173106);
  // Without extra fields the DOS time, taken as local time, is the time.
  EXPECT_EQ(Stat("\\t\\plain.txt").st_mtime, 981173106);
  // The link is a regular file holding the link's text.
  EXPECT_TRUE(S_ISREG(Stat("\\t\\link").st_mode));
  EXPECT_EQ(ReadHostFile(Host("\\t\\link")), "/etc/passwd");

  // Again over the same files: the read-only one cannot be replaced and
  // keeps its bytes; the others are replaced.
  WriteHostFile(Host("\\t\\rw.txt"), "changed");
  EXPECT_EQ(Extract(u"\\b.zip", u"\\t"), "unzip fail\n");
  EXPECT_EQ(ReadHostFile(Host("\\t\\ro.txt")), "read only");
  EXPECT_EQ(ReadHostFile(Host("\\t\\rw.txt")), "writable");

  // No password is supplied: the encrypted entry fails, the others of the
  // archive are extracted.
  EXPECT_EQ(Extract(u"\\enc.zip", u"\\e"), "unzip fail\n");
  EXPECT_EQ(ReadHostFile(Host("\\e\\ro.txt")), "read only");
  EXPECT_NE(ReadHostFile(Host("\\e\\rw.txt")), "writable");

  // A "UT" block with the write time only: the access time is the DOS time.
  // DOS host attributes: read-only and hidden bits as they stand.
  // 1000000000 is 2001-09-09 01:46:40 UTC; an unknown block comes first. A
  // flag beyond the three times announces nothing that is read.
  WriteZip(
      Host("\\c.zip"),
      {{"timed.txt", "t", 3, 0100644u << 16,
        std::string("\x01\x02\x03\x00xyzUT\x05\x00\x01\x00\xCA\x9A\x3B", 16)},
       {"dos.txt", "d", 0, 0x03},
       {"flag.txt", "f", 3, 0100644u << 16,
        std::string("UT\x09\x00\x09\x00\xCA\x9A\x3B\x01\x00\x00\x00", 13)}});
  EXPECT_EQ(Extract(u"\\c.zip", u"\\c"), "");
  EXPECT_EQ(open(), opened);
  for (const char* name : {"\\c\\timed.txt", "\\c\\flag.txt"}) {
    const struct stat timed = Stat(name);
    EXPECT_EQ(timed.st_mtime, 1000000000);
    EXPECT_EQ(FileTimeOf(timed.st_atim), DosFileTime());
  }
  EXPECT_EQ(Stat("\\c\\dos.txt").st_mode & 0222, 0u);
  transfer::Archive archive(u"\\c.zip");
  transfer::ArchiveEntry entry;
  ASSERT_TRUE(archive.ReadEntryInfo(1, &entry));
  EXPECT_EQ(entry.attributes,
            platform::kAttributeReadOnly | platform::kAttributeHidden);
  ASSERT_TRUE(archive.ReadEntryInfo(0, &entry));
  EXPECT_EQ(entry.attributes, platform::kAttributeArchive);
  EXPECT_EQ(entry.writeTime, 1000000000ull * 10000000 + kUnixEpochFileTime);
  EXPECT_EQ(entry.creationTime, DosFileTime());
}

TEST_F(ArchiveTest, HostileNamesNeverLeaveTheTargetDirectory) {
  const std::string longName(300, 'n');
  const std::vector<std::pair<std::string, const char*>> names = {
      {"dir\\..\\f.txt", "f.txt"},
      {"..\\..\\Windows\\x.dll", "Windows/x.dll"},
      {"C:\\temp\\y.txt", "temp/y.txt"},
      {"/abs/z.txt", "abs/z.txt"},
      {"../../up.txt", "up.txt"},
      {"x/..\\..\\mixed.txt", "mixed.txt"},
      {"//C:/twice.txt", "twice.txt"},
      {"a\\..\\..\\x.txt", nullptr},  // cut to ..\x.txt: refused
      {"..", nullptr},
      {"sub/../../../../etc/passwd", nullptr},
      {"ok/..", nullptr},
      {"C:", nullptr},
      {longName, nullptr},
      {"deep/" + std::string(240, 'd') + "/file.txt", nullptr},  // > 259
      {"nested/dirs/made.txt", "nested/dirs/made.txt"},
  };
  std::vector<ZipEntry> entries;
  for (const auto& [name, _] : names) entries.push_back({name, "x:" + name});
  WriteZip(Host("\\h.zip"), entries);
  // A Unix directory entry, and a name ending in a separator without one.
  WriteZip(Host("\\d.zip"), {ZipEntry{"emptydir/", "", 3, 040755u << 16},
                             ZipEntry{"slashdir\\", ""}});

  const auto before = Tree(root_.path());
  std::string failures;
  for (const auto& [_, want] : names) {
    if (want == nullptr) failures += "unzip fail\n";
  }
  EXPECT_EQ(Extract(u"\\h.zip", u"\\Storage Card\\t"), failures);
  EXPECT_EQ(Extract(u"\\d.zip", u"\\Storage Card\\t"), "");

  auto after = Tree(root_.path());
  std::map<std::string, std::string> made;
  for (const auto& [name, bytes] : after) {
    if (before.count(name) == 0) made[name] = bytes;
  }
  std::map<std::string, std::string> want = {
      {"Storage Card/t", "<dir>"},
      {"Storage Card/t/emptydir", "<dir>"},
      {"Storage Card/t/slashdir", "<dir>"}};
  for (const auto& [name, target] : names) {
    if (target == nullptr) continue;
    want["Storage Card/t/" + std::string(target)] = "x:" + name;
    for (fs::path d = fs::path(target).parent_path(); !d.empty();
         d = d.parent_path()) {
      want["Storage Card/t/" + d.string()] = "<dir>";
    }
  }
  EXPECT_EQ(made, want);
}

// Writes an entry "big.bin" whose data inflates to data but whose local
// and central headers declare only its first `declared` bytes (their size
// and CRC).
void WriteLyingZip(const std::string& hostPath, const std::string& data,
                   uint32_t declared) {
  WriteZip(hostPath, {{"big.bin", data}});
  std::string zip = ReadHostFile(hostPath);
  const uint32_t crc =
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), declared);
  for (const size_t at : {size_t{14}, zip.rfind("PK\x01\x02") + 16}) {
    for (int i = 0; i < 4; ++i) {
      zip[at + i] = static_cast<char>(crc >> (8 * i));
      zip[at + 8 + i] = static_cast<char>(declared >> (8 * i));
    }
  }
  WriteHostFile(hostPath, zip);
}

TEST_F(ArchiveTest, NeverWritesOverItsArchiveNorPastDeclaredSizes) {
  // The archive lies in the directory it unpacks into; entries that name it
  // directly, through ".", through a symbolic or a hard link all fail, and
  // the archive is read to its end unchanged.
  fs::create_directories(Host("\\Storage Card\\t"));
  WriteZip(Host("\\Storage Card\\t\\pkg.zip"),
           {ZipEntry{"pkg.zip", "over"}, ZipEntry{"./pkg.zip", "over"},
            ZipEntry{"link.zip", "over"}, ZipEntry{"hard.zip", "over"},
            ZipEntry{"after.txt", "after"}});
  const std::string archive = ReadHostFile(Host("\\Storage Card\\t\\pkg.zip"));
  fs::create_symlink("pkg.zip", Host("\\Storage Card\\t\\link.zip"));
  fs::create_hard_link(Host("\\Storage Card\\t\\pkg.zip"),
                       Host("\\Storage Card\\t\\hard.zip"));
  EXPECT_EQ(Extract(u"\\Storage Card\\t\\pkg.zip", u"\\Storage Card\\t"),
            "unzip fail\nunzip fail\nunzip fail\nunzip fail\n");
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\t\\pkg.zip")), archive);
  EXPECT_EQ(ReadHostFile(Host("\\Storage Card\\t\\after.txt")), "after");

  // An entry that inflates to more than it declares stops at its size.
  WriteLyingZip(Host("\\lying.zip"), std::string(1 << 20, 'z'), 1000);
  EXPECT_EQ(Extract(u"\\lying.zip", u"\\out"), "");
  EXPECT_EQ(ReadHostFile(Host("\\out\\big.bin")), std::string(1000, 'z'));
}

TEST_F(ArchiveTest, MissingArchivesAndTargets) {
  WriteHostFile(Host("\\junk.zip"), "PK\x03\x04 this is not an archive");
  WriteZip(Host("\\ok.zip"), {ZipEntry{"a.txt", "a"}});
  const auto before = Tree(root_.path());
  // Nothing to open: 0, nothing printed, only the target directory made. A
  // target whose parent is missing (only one level is made) or too long for
  // the handset: -1.
  struct {
    std::u16string archive, target;
    int32_t result;
  } cases[] = {{u"\\none.zip", u"\\n1", 0},
               {u"\\junk.zip", u"\\n2", 0},
               {u"\\ok.zip", u"\\no\\such\\dir", -1},
               {u"\\ok.zip", std::u16string(300, u'd'), -1}};
  for (const auto& c : cases) {
    int32_t result = -2;
    EXPECT_EQ(Extract(c.archive, c.target, &result), "");
    EXPECT_EQ(result, c.result);
  }
  auto after = Tree(root_.path());
  EXPECT_EQ(after.size(), before.size() + 2);
  EXPECT_EQ(after.count("n1"), 1u);
  EXPECT_EQ(after.count("n2"), 1u);
}

}  // namespace
}  // namespace vesk
