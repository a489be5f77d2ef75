// Archive extraction with archives made by Info-ZIP zip (checked against
// what its unzip makes of them) and, for what zip would not write, minizip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zip.h>

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
  std::string localExtra = {};
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

// Every file ("<dir>" for directories) under dir, relative, with its bytes.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(item.path(), dir).string();
    tree[name] = item.is_directory() ? "<dir>" : ReadHostFile(item.path());
  }
  return tree;
}

int RunTool(const std::vector<std::string>& argv, const std::string& in = "") {
  return tools::RunToEnd(argv, nullptr, {"", in});
}

// What a successful ExtractArchive printed on standard output.
std::string Extract(const char16_t* archive, const char16_t* target) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(transfer::ExtractArchive(archive, target), 0);
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

class ArchiveTest : public ::testing::Test {
 protected:
  std::string Host(const std::string& handsetPath) {
    return root_.Host(handsetPath);
  }
  struct stat Stat(const std::string& handsetPath) {
    struct stat st {};
    EXPECT_EQ(lstat(Host(handsetPath).c_str(), &st), 0) << handsetPath;
    return st;
  }
  DeviceRoot root_;
};

TEST_F(ArchiveTest, InfoZipArchiveUnpacksAsUnzipUnpacksIt) {
  // Nested directories, compressible, incompressible and empty files.
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

  EXPECT_EQ(Extract(u"\\a.zip", u"\\Storage Card\\pkg"), "");
  const auto ours = Tree(Host("\\Storage Card\\pkg"));
  // unzip keeps the GBK name's bytes; the library names the file in UTF-8.
  auto theirs = Tree(root_.path() + "/by-unzip");
  theirs["\xe4\xb8\xad\xe6\x96\x87.txt"] = theirs["\xd6\xd0\xce\xc4.txt"];
  theirs.erase("\xd6\xd0\xce\xc4.txt");
  EXPECT_EQ(ours, theirs);
}

TEST_F(ArchiveTest, AttributesTimesAndFailingEntries) {
  const std::string src = root_.path() + "/src";
  WriteHostFile(src + "/ro.txt", "read only");
  WriteHostFile(src + "/rw.txt", "writable");
  WriteHostFile(src + "/plain.txt", "no extra field");
  ASSERT_EQ(chmod((src + "/ro.txt").c_str(), 0444), 0);
  // 2001-02-03 04:05:06 UTC, which zip writes in a "UT" block.
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

  // Again over them: the read-only one is not replaced, the others are.
  WriteHostFile(Host("\\t\\rw.txt"), "changed");
  EXPECT_EQ(Extract(u"\\b.zip", u"\\t"), "unzip fail\n");
  EXPECT_EQ(ReadHostFile(Host("\\t\\ro.txt")), "read only");
  EXPECT_EQ(ReadHostFile(Host("\\t\\rw.txt")), "writable");

  // With no password the encrypted entry fails, the others are extracted.
  EXPECT_EQ(Extract(u"\\enc.zip", u"\\e"), "unzip fail\n");
  EXPECT_EQ(ReadHostFile(Host("\\e\\ro.txt")), "read only");
  EXPECT_NE(ReadHostFile(Host("\\e\\rw.txt")), "writable");

  // "UT" blocks with the write time only (after an unknown block, with a
  // flag beyond the three times): the access time is the DOS time.
  WriteZip(
      Host("\\c.zip"),
      {{"timed.txt", "t", 3, 0100644u << 16,
        std::string("\x01\x02\x03\x00xyzUT\x05\x00\x01\x00\xCA\x9A\x3B", 16)},
       {"dos.txt", "d", 0, 0x03},  // DOS read-only and hidden bits
       {"flag.txt", "f", 3, 0100644u << 16,
        std::string("UT\x09\x00\x09\x00\xCA\x9A\x3B\x01\x00\x00\x00", 13)}});
  EXPECT_EQ(Extract(u"\\c.zip", u"\\c"), "");
  EXPECT_EQ(open(), opened);
  for (const char* name : {"\\c\\timed.txt", "\\c\\flag.txt"}) {
    const struct stat timed = Stat(name);
    EXPECT_EQ(timed.st_mtime, 1000000000);
    EXPECT_EQ(uint64_t(timed.st_atim.tv_sec) * 10000000 +
                  timed.st_atim.tv_nsec / 100 + kUnixEpochFileTime,
              DosFileTime());
  }
  EXPECT_EQ(Stat("\\c\\dos.txt").st_mode & 0222, 0u);
  // The entries as ReadEntryInfo describes them (-1: the count), backwards.
  transfer::Archive archive(u"\\c.zip");
  transfer::ArchiveEntry entry;
  ASSERT_TRUE(archive.ReadEntryInfo(-1, &entry));
  EXPECT_EQ(entry.index, 3);
  EXPECT_FALSE(archive.ReadEntryInfo(3, &entry));
  EXPECT_FALSE(archive.ReadEntryInfo(-2, &entry));
  ASSERT_TRUE(archive.ReadEntryInfo(1, &entry));
  EXPECT_EQ(std::make_tuple(entry.index, entry.compressedSize,
                            entry.uncompressedSize),
            std::make_tuple(1, 3, 1));
  EXPECT_EQ(entry.attributes,
            platform::kAttributeReadOnly | platform::kAttributeHidden);
  ASSERT_TRUE(archive.ReadEntryInfo(0, &entry));
  EXPECT_EQ(entry.attributes, platform::kAttributeArchive);
  EXPECT_EQ(entry.writeTime, 1000000000ull * 10000000 + kUnixEpochFileTime);
  EXPECT_EQ(entry.creationTime, DosFileTime());
}

TEST_F(ArchiveTest, HostileNamesNeverLeaveTheTargetDirectory) {
  const std::vector<std::pair<std::string, const char*>> names = {
      {"dir\\..\\f.txt", "f.txt"},
      {"..\\..\\Windows\\x.dll", "Windows/x.dll"},
      {"C:\\temp\\y.txt", "temp/y.txt"},
      {"/abs/z.txt", "abs/z.txt"},
      {"a\\..\\..\\x.txt", nullptr},  // cut to ..\x.txt: refused
      {"ok/..", nullptr},
      {std::string(300, 'n'), nullptr},
      {"deep/" + std::string(240, 'd') + "/file.txt", nullptr},  // > 259
      {"nested/dirs/made.txt", "nested/dirs/made.txt"},
  };
  std::vector<ZipEntry> entries;
  std::string failures;
  // What the device root gains: the target, the files and their directories.
  const std::string t = "Storage Card/t";
  std::map<std::string, std::string> want = {
      {t, "<dir>"}, {t + "/emptydir", "<dir>"}, {t + "/slashdir", "<dir>"}};
  for (const auto& [name, target] : names) {
    entries.push_back({name, "x:" + name});
    failures += target ? "" : "unzip fail\n";
    for (fs::path p = target ? target : ""; !p.empty(); p = p.parent_path()) {
      want[t + "/" + p.string()] = p == target ? "x:" + name : "<dir>";
    }
  }
  WriteZip(Host("\\h.zip"), entries);
  // A Unix directory entry, and a name ending in a separator without one.
  WriteZip(Host("\\d.zip"), {ZipEntry{"emptydir/", "", 3, 040755u << 16},
                             ZipEntry{"slashdir\\", ""}});
  const auto before = Tree(root_.path());
  EXPECT_EQ(Extract(u"\\h.zip", u"\\Storage Card\\t"), failures);
  EXPECT_EQ(Extract(u"\\d.zip", u"\\Storage Card\\t"), "");
  std::map<std::string, std::string> made;
  for (const auto& [name, bytes] : Tree(root_.path())) {
    if (before.count(name) == 0) made[name] = bytes;
  }
  EXPECT_EQ(made, want);
}

TEST_F(ArchiveTest, NeverWritesOverItsArchiveNorPastDeclaredSizes) {
  // Entries naming the archive in the target (directly, through ".", a
  // symbolic or a hard link) fail; the archive is read to its end unchanged.
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

  // An entry that inflates to more than its headers declare (size and CRC of
  // its first 1000 bytes) stops at its size.
  const std::string data(1 << 20, 'z');
  WriteZip(Host("\\lying.zip"), {{"big.bin", data}});
  std::string zip = ReadHostFile(Host("\\lying.zip"));
  const uint32_t crc =
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), 1000);
  for (const size_t at : {size_t{14}, zip.rfind("PK\x01\x02") + 16}) {
    for (int i = 0; i < 4; ++i) {
      zip[at + i] = static_cast<char>(crc >> (8 * i));
      zip[at + 8 + i] = static_cast<char>(1000 >> (8 * i));
    }
  }
  WriteHostFile(Host("\\lying.zip"), zip);
  EXPECT_EQ(Extract(u"\\lying.zip", u"\\out"), "");
  EXPECT_EQ(ReadHostFile(Host("\\out\\big.bin")), std::string(1000, 'z'));
}

// Nothing to open gives 0, prints nothing and makes only the target
// directory; a target whose parent is missing (only one level is made) or
// that is too long for the handset gives -1.
TEST_F(ArchiveTest, MissingArchivesAndTargets) {
  WriteHostFile(Host("\\junk.zip"), "PK\x03\x04 this is not an archive");
  WriteZip(Host("\\ok.zip"), {ZipEntry{"a.txt", "a"}});
  const auto before = Tree(root_.path());
  const struct {
    std::u16string archive, target;
    int32_t result;
  } cases[] = {{u"\\none.zip", u"\\n1", 0},
               {u"\\junk.zip", u"\\n2", 0},
               {u"\\ok.zip", u"\\no\\such\\dir", -1},
               {u"\\ok.zip", std::u16string(300, u'd'), -1}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(transfer::ExtractArchive(c.archive.c_str(), c.target.c_str()),
              c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  auto made = Tree(root_.path());
  for (const auto& entry : before) made.erase(entry.first);
  EXPECT_EQ(made, (std::map<std::string, std::string>{{"n1", "<dir>"},
                                                      {"n2", "<dir>"}}));
}

}  // namespace
}  // namespace vesk
