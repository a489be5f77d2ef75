// The POSIX platform layer against real files, loopback sockets and iconv;
// positions past 4 GiB and times past 2038 (a 32-bit off_t or time_t would
// land a seek elsewhere without an error and wrap a time).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk::platform {
namespace {

constexpr uint32_t kSucceeded = 0xFFFFFFFF;

// The last error left by a call that should fail (kSucceeded when it did
// not); clears it, so a later failure that sets none cannot pass on this one.
uint32_t FailureOf(bool succeeded) {
  const uint32_t error = succeeded ? kSucceeded : GetLastError();
  SetLastError(0);
  return error;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}
mode_t ModeOf(const std::string& path) { return StatOf(path).st_mode & 07777; }
constexpr int64_t kGiB = int64_t{1} << 30;

using test::ScopedEnv;

// Each test gets a fresh device root.
std::string Host(const std::u16string& path) { return HostPath(path); }
class PlatformFiles : public ::testing::Test {
 protected:
  test::DeviceRoot device_;
  const std::string root_ = device_.path();
  ScopedEnv env_{"VESK_DEVICE_ROOT"};
};

TEST_F(PlatformFiles, HandsetPathsLandUnderTheDeviceRoot) {
  // A lone surrogate of either kind becomes U+FFFD.
  const std::u16string lone = {u'a', 0xDC00, 0xD800};
  EXPECT_EQ(Host(u"\\x/y\\"), root_ + "/x/y/");
  EXPECT_EQ(Host(u"rel\\b.txt"), "rel/b.txt");
  EXPECT_EQ(Host(u"\\\u4E2D\U0001F600"), root_ + "/\u4E2D\U0001F600");
  EXPECT_EQ(Host(u"\\" + lone), root_ + "/a\xEF\xBF\xBD\xEF\xBF\xBD");
  env_.Set(root_ + "/");
  EXPECT_EQ(Host(u"\\a"), root_ + "/a");
  env_.Set("");
  EXPECT_EQ(Host(u"\\x\\y"), "/x/y");
}

TEST_F(PlatformFiles, DispositionsAndErrorCodes) {
  const auto openAs = [](const std::u16string& path, Disposition disposition) {
    return File::Open(path, Access::kReadWrite, disposition);
  };
  test::WriteHostFile(Host(u"\\f"), "old");
  EXPECT_EQ(FailureOf(openAs(u"\\f", Disposition::kCreateNew).IsOpen()),
            kErrorFileExists);
  // Opening may say whether the file was already there.
  EXPECT_EQ(openAs(u"\\f", Disposition::kOpenAlways).Size(), 3);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(openAs(u"\\f", Disposition::kCreateAlways).Size(), 0);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(openAs(u"\\g", Disposition::kCreateAlways).IsOpen());
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  for (const auto& [path, error] :
       {std::pair<std::u16string, uint32_t>{u"\\none", kErrorFileNotFound},
        {u"\\nodir\\none", kErrorPathNotFound},
        {u"\\f\\inside", kErrorPathNotFound},
        {u"\\" + std::u16string(300, u'n'), kErrorFilenameTooLong}}) {
    EXPECT_EQ(FailureOf(openAs(path, Disposition::kOpenExisting).IsOpen()),
              error);
    EXPECT_EQ(GetFileAttributes(path), kInvalidAttributes);
    EXPECT_EQ(FailureOf(false), error);
  }
  ASSERT_TRUE(CreateDirectory(u"\\d"));
  EXPECT_EQ(GetFileAttributes(u"\\d"), kAttributeDirectory);
  EXPECT_EQ(FailureOf(openAs(u"\\d", Disposition::kOpenExisting).IsOpen()),
            kErrorAccessDenied);
  EXPECT_EQ(FailureOf(DeleteFile(u"\\d")), kErrorAccessDenied);
}

// CI runs as root, where only the layer's own check stands in the way.
TEST_F(PlatformFiles, ReadOnlyFilesRefuseWritingForEveryone) {
  const std::u16string path = u"\\ro.txt";
  ASSERT_TRUE(File::Open(path, Access::kWrite, Disposition::kCreateNew,
                         kAttributeReadOnly)
                  .Write("keep", 4));  // the creating handle may write
  EXPECT_EQ(ModeOf(Host(path)), 0444u);
  EXPECT_EQ(GetFileAttributes(path), kAttributeReadOnly);
  for (const auto& [access, disposition] :
       {std::pair{Access::kWrite, Disposition::kOpenExisting},
        {Access::kRead, Disposition::kCreateAlways}}) {
    EXPECT_EQ(FailureOf(File::Open(path, access, disposition).IsOpen()),
              kErrorAccessDenied);
  }
  EXPECT_EQ(FailureOf(File::OpenAppend(path).IsOpen()), kErrorAccessDenied);
  EXPECT_EQ(FailureOf(DeleteFile(path)), kErrorAccessDenied);
  EXPECT_EQ(test::ReadHostFile(Host(path)), "keep");
  for (const uint32_t attributes :
       {uint32_t{kAttributeNormal}, kAttributeReadOnly | kAttributeHidden,
        uint32_t{kAttributeArchive}}) {
    ASSERT_TRUE(SetFileAttributes(path, attributes));
    EXPECT_EQ((ModeOf(Host(path)) & S_IWUSR) == 0,
              (attributes & kAttributeReadOnly) != 0);
  }
  EXPECT_EQ(GetFileAttributes(path), kAttributeNormal);
}

// Moves and new directories below a folder never replace a name; one line
// for each outcome that differs.
std::string NoReplaceMismatches(const std::u16string& in) {
  std::ostringstream wrong;
  auto host = [&](const char16_t* path) { return HostPath(in + path); };
  auto expect = [&](const char16_t* path, auto got, auto want) {
    if (got != want)
      wrong << HostPath(in + path) << ": " << got << " not " << want << "\n";
  };
  test::WriteHostFile(host(u"\\a"), "A");
  test::WriteHostFile(host(u"\\b"), "B");
  test::WriteHostFile(host(u"\\d1\\in"), "in");
  expect(u"\\d3", FailureOf(CreateDirectory(in + u"\\d3\\")), kSucceeded);
  // rename(2) alone would replace the empty directory d3.
  const struct {
    const char16_t *from, *to;
    uint32_t error;
  } moves[] = {{u"\\a", u"\\b", kErrorAlreadyExists},
               {u"\\a", u"/c", kSucceeded},
               {u"\\d1", u"\\d2", kSucceeded},
               {u"\\d2", u"\\d3", kErrorAlreadyExists},
               {u"\\none", u"\\x", kErrorFileNotFound},
               {u"\\c", u"\\nodir\\c", kErrorPathNotFound}};
  for (const auto& m : moves)
    expect(m.to, FailureOf(MoveFile(in + m.from, in + m.to)), m.error);
  expect(u"\\b", test::ReadHostFile(host(u"\\b")), std::string("B"));
  expect(u"\\c", test::ReadHostFile(host(u"\\c")), std::string("A"));
  expect(u"\\d2\\in", test::ReadHostFile(host(u"\\d2\\in")), std::string("in"));
  expect(u"\\a", GetFileAttributes(in + u"\\a"), kInvalidAttributes);
  for (const auto& [path, error] : {std::pair{u"\\d3", kErrorAlreadyExists},
                                    {u"\\c", kErrorAlreadyExists},
                                    {u"\\no\\sub", kErrorPathNotFound}}) {
    expect(path, FailureOf(CreateDirectory(in + path)), error);
  }
  return wrong.str();
}

// From now on renameat2 fails with EINVAL in this process, as it does on a
// file system without RENAME_NOREPLACE; false where no filter can be set.
bool WithoutRenameNoReplace() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(PlatformFiles, MoveAndCreateDirectoryNeverReplaceAName) {
  EXPECT_EQ(NoReplaceMismatches(u"\\here"), "");
  // The same where the kernel cannot refuse to replace: the fallback keeps
  // every rule (checked in a child, which keeps the filter to itself).
  const pid_t child = fork();
  if (child == 0) {
    if (!WithoutRenameNoReplace()) _exit(2);
    const std::string wrong = NoReplaceMismatches(u"\\fallback");
    std::fputs(wrong.c_str(), stderr);
    _exit(wrong.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no system call filter here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PlatformFiles, FindListsMatchesWithoutDotEntries) {
  ASSERT_TRUE(CreateDirectory(u"\\d"));
  ASSERT_TRUE(CreateDirectory(u"\\d\\sub"));
  test::WriteHostFile(Host(u"\\d\\a.txt"), "1");
  test::WriteHostFile(Host(u"\\d\\b.txt"), std::string(22, 'b'));
  test::WriteHostFile(Host(u"\\d\\ab.log"), "");
  test::WriteHostFile(Host(u"\\d\\\u4E2D.txt"), "");
  using Names = std::set<std::u16string>;
  const auto find = [](const std::u16string& pattern) {
    Names names;
    FindHandle handle;
    FindData data;
    if (!handle.FindFirst(pattern, &data)) return names;
    do {
      EXPECT_TRUE(names.insert(data.name).second);
      const bool sub = data.name == u"sub";
      EXPECT_EQ(data.attributes, sub ? kAttributeDirectory : kAttributeNormal);
      EXPECT_EQ(data.size, data.name == u"b.txt"   ? 22u
                           : data.name == u"a.txt" ? 1u
                                                   : 0u);
    } while (handle.FindNext(&data));
    EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
    return names;
  };
  const Names all = {u"a.txt", u"ab.log", u"b.txt", u"sub", u"\u4E2D.txt"};
  EXPECT_EQ(find(u"\\d\\*"), all);
  EXPECT_EQ(find(u"\\d\\*.*"), all);  // also names without an extension
  EXPECT_EQ(find(u"/d/?.txt"), (Names{u"a.txt", u"b.txt", u"\u4E2D.txt"}));
  EXPECT_EQ(find(u"\\d\\*b*"), (Names{u"ab.log", u"b.txt", u"sub"}));
  EXPECT_EQ(find(u"\\d\\sub\\"), Names{u"sub"});
  FindData data;
  for (const auto& [pattern, error] :
       {std::pair{u"\\d\\A*", kErrorFileNotFound},
        {u"\\nodir\\x", kErrorPathNotFound}}) {
    EXPECT_EQ(FailureOf(FindHandle().FindFirst(pattern, &data)), error);
  }
}

TEST_F(PlatformFiles, SetTimesReachTheHostFilePast2038) {
  // 2001-02-03 04:05:06.1234567 UTC, 981173106 s after 1970.
  FileTime first = 0;
  ASSERT_TRUE(SystemTimeToFileTime({2001, 2, 0, 3, 4, 5, 6, 123}, &first));
  first += 4567;
  constexpr FileTime kSecond = 10000000;
  File file = File::Open(u"\\t", Access::kWrite, Disposition::kCreateNew);
  // 2100-01-01 and the last second 32 bits can hold.
  for (const int64_t seconds : {int64_t{4102444800}, int64_t{INT32_MAX}}) {
    const FileTime written = first + (seconds - 981173106) * kSecond,
                   accessed = written + kSecond;
    ASSERT_TRUE(file.SetTimes(nullptr, &accessed, &written));
    const struct stat st = StatOf(Host(u"\\t"));
    EXPECT_EQ(static_cast<int64_t>(st.st_mtim.tv_sec), seconds);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
    EXPECT_EQ(static_cast<int64_t>(st.st_atim.tv_sec), seconds + 1);
  }
  // Only the times given change.
  const FileTime later = first + kSecond;
  ASSERT_TRUE(file.SetTimes(&later, nullptr, &later));
  EXPECT_EQ(StatOf(Host(u"\\t")).st_mtim.tv_sec, 981173107);
  EXPECT_EQ(StatOf(Host(u"\\t")).st_atim.tv_sec, int64_t{INT32_MAX} + 1);
}

TEST_F(PlatformFiles, ReadWriteSeekAndTruncatePastFourGibibytes) {
  // 5 GiB + 3 cut to 32 bits is 1 GiB + 3: a wrong place, not an error.
  const int64_t far = 5 * kGiB + 3;
  {
    File file = File::Open(u"\\s", Access::kReadWrite, Disposition::kCreateNew);
    ASSERT_TRUE(file.Write("a\0b", 3));
    ASSERT_EQ(file.Seek(far, File::From::kBegin), far);
    ASSERT_TRUE(file.Write("end", 3));
    EXPECT_EQ(file.Seek(0, File::From::kCurrent), far + 3);
    EXPECT_EQ(file.Seek(-far - 4, File::From::kCurrent), -1);
  }
  EXPECT_EQ(StatOf(Host(u"\\s")).st_size, far + 3);
  {
    File file =
        File::Open(u"\\s", Access::kReadWrite, Disposition::kOpenExisting);
    EXPECT_EQ(file.Size(), far + 3);
    EXPECT_EQ(file.Seek(-3, File::From::kEnd), far);
    char tail[8] = {};
    EXPECT_EQ(file.Read(tail, sizeof tail), 3);
    EXPECT_STREQ(tail, "end");
    EXPECT_EQ(file.Read(tail, sizeof tail), 0);
    // Cut back to just past 2 GiB, where a signed 32-bit size ends.
    ASSERT_EQ(file.Seek(2 * kGiB + 1, File::From::kBegin), 2 * kGiB + 1);
    ASSERT_TRUE(file.SetEndOfFile());
    EXPECT_EQ(file.Size(), 2 * kGiB + 1);
    FindData found;
    ASSERT_TRUE(FindHandle().FindFirst(u"\\s*", &found));
    EXPECT_EQ(found.size, static_cast<uint64_t>(2 * kGiB + 1));
    ASSERT_EQ(file.Seek(3, File::From::kBegin), 3);
    ASSERT_TRUE(file.SetEndOfFile());
  }
  File append = File::OpenAppend(u"\\s");  // writes at the end, wherever
  EXPECT_EQ(append.Seek(0, File::From::kBegin), 0);
  ASSERT_TRUE(append.Write("cd", 2));
  EXPECT_EQ(test::ReadHostFile(Host(u"\\s")), std::string("a\0bcd", 5));
}

// The calendar's ends and leap rules, and each local time moved by the
// offset in force on its own date (past 2038 too).
TEST(PlatformTime, CalendarAndZoneConversions) {
  for (const auto& [time, expected] :
       {std::pair<SystemTime, FileTime>{{1601, 1, 0, 1, 0, 0, 0, 0}, 0},
        {{2000, 2, 0, 29, 23, 59, 59, 999}, 125963423999990000},
        {{30827, 12, 0, 31, 23, 59, 59, 999}, 9223149887999990000u}}) {
    FileTime result = 1;
    EXPECT_TRUE(SystemTimeToFileTime(time, &result));
    EXPECT_EQ(result, expected);
  }
  for (const SystemTime& time : {SystemTime{1600, 12, 0, 31, 0, 0, 0, 0},
                                 {1900, 2, 0, 29, 0, 0, 0, 0},
                                 {2000, 4, 0, 31, 0, 0, 0, 0},
                                 {2000, 1, 0, 1, 0, 0, 60, 0}}) {
    FileTime result;
    EXPECT_FALSE(SystemTimeToFileTime(time, &result)) << time.year;
  }
  ScopedEnv tz("TZ");
  constexpr FileTime kHour = 36000000000;
  const auto utcOf = [](const SystemTime& time) {
    FileTime local = 0, utc = 0;
    EXPECT_TRUE(SystemTimeToFileTime(time, &local));
    EXPECT_TRUE(LocalFileTimeToFileTime(local, &utc));
    return utc - local;
  };
  tz.Set("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(utcOf({2021, 1, 0, 15, 12, 0, 0, 0}), 5 * kHour);
  EXPECT_EQ(utcOf({2021, 7, 0, 15, 12, 0, 0, 0}), 4 * kHour);
  EXPECT_EQ(utcOf({2100, 7, 0, 1, 8, 0, 0, 0}), 4 * kHour);
  tz.Set("CST-8");
  EXPECT_EQ(utcOf({2100, 1, 0, 1, 8, 0, 0, 0}), -8 * kHour);
}

// A conversion sized by a first call without a buffer.
template <typename To, typename From, typename Convert>
To Converted(Convert convert, uint32_t codePage, const From& from) {
  const int size = static_cast<int>(from.size());
  const int needed = convert(codePage, from.data(), size, nullptr, 0);
  To to(static_cast<size_t>(needed), 0);
  EXPECT_EQ(convert(codePage, from.data(), size, to.data(), needed), needed);
  return to;
}
std::string Narrow(uint32_t codePage, const std::u16string& wide) {
  return Converted<std::string>(WideToMultiByte, codePage, wide);
}
std::u16string Widen(uint32_t codePage, const std::string& bytes) {
  return Converted<std::u16string>(MultiByteToWide, codePage, bytes);
}

TEST(PlatformText, ConvertsBetweenCodePagesAndUtf16) {
  for (const auto& [codePage, bytes, wide] :
       {std::tuple<uint32_t, std::string, std::u16string>{936,
                                                          "\xD6\xD0"
                                                          "A\x80",
                                                          u"\u4E2DA\u20AC"},
        {65001, "\xF0\x9F\x98\x80", u"\U0001F600"},
        {54936, "\x94\x39\xFC\x36", u"\U0001F600"},
        {1201, std::string("\x4E\x2D\x00\x41", 4), u"\u4E2DA"}}) {
    EXPECT_EQ(Widen(codePage, bytes), wide) << codePage;
    EXPECT_EQ(Narrow(codePage, wide), bytes) << codePage;
  }
  // Size -1: the terminator is converted and counted.
  char16_t wide[3] = {1, 1, 1};
  EXPECT_EQ(MultiByteToWide(936, "\xD6\xD0", -1, wide, 3), 2);
  EXPECT_EQ(std::u16string(wide, 3), std::u16string(u"\u4E2D\0\1", 3));
  // What one side cannot carry: "?" per code point, U+FFFD per bad byte.
  EXPECT_EQ(Narrow(936, u"a\u0E01b\U0001F600"), "a?b?");
  EXPECT_EQ(Narrow(65001, std::u16string(1, char16_t{0xDC00})), "\xEF\xBF\xBD");
  EXPECT_EQ(Widen(936, "A\x81"), u"A\uFFFD");
  EXPECT_EQ(Widen(65001,
                  "\xFF"
                  "a"),
            u"\uFFFDa");
}

TEST(PlatformText, RefusesWithoutWritingPastTheCapacity) {
  char16_t wide[3] = {0, 0, 0xBEEF};
  EXPECT_EQ(MultiByteToWide(65001, "abc", 3, wide, 2), 0);
  EXPECT_EQ(FailureOf(false), kErrorInsufficientBuffer);
  EXPECT_EQ(wide[2], 0xBEEF);
  char bytes[4] = {0, 0, 0, '#'};
  EXPECT_EQ(WideToMultiByte(65001, u"\u4E2D", 1, bytes, 2), 0);
  EXPECT_EQ(FailureOf(false), kErrorInsufficientBuffer);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(WideToMultiByte(65001, u"\u4E2D", 1, bytes, 3), 3);
  EXPECT_EQ(bytes[3], '#');
  for (const uint32_t codePage : {12345u, 1u}) {
    EXPECT_EQ(MultiByteToWide(codePage, "a", 1, wide, 3), 0);
    EXPECT_EQ(FailureOf(false), kErrorInvalidParameter);
    EXPECT_FALSE(IsCodePageAvailable(codePage));
  }
  EXPECT_TRUE(IsCodePageAvailable(936));
}

TEST(PlatformText, AnsiCodePageComesFromTheEnvironment) {
  ScopedEnv env("VESK_ANSI_CODEPAGE");
  env.Unset();
  EXPECT_EQ(Widen(kAnsiCodePage, "\xD6\xD0"), u"\u4E2D");
  env.Set("1252");
  EXPECT_EQ(Narrow(kAnsiCodePage, u"\u00E9\u4E2D"), "\xE9?");
  // Only digits, and no more than five: "95/" read on would be 949, and
  // 2^32 + 1252 wrapped would be 1252.
  for (const char* invalid : {"", "12x", "99999", "0", "95/", "4294968548"}) {
    env.Set(invalid);
    EXPECT_EQ(AnsiCodePage(), 936u) << invalid;
  }
}

TEST(PlatformSockets, LoopbackPeerThatClosesAndResets) {
  uint16_t granted = 0;
  ASSERT_TRUE(StartSockets(0x0002, &granted));
  EXPECT_EQ(granted, 0x0202);
  EXPECT_FALSE(StartSockets(0x0101, &granted));

  test::Reply closes;
  closes.acceptAndClose = true;
  test::FakeServer server({closes});
  uint32_t address = 0;
  ASSERT_TRUE(ResolveIpv4("127.0.0.1", &address));
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
  const SocketHandle handle = CreateTcpSocket();
  ASSERT_TRUE(Connect(handle, address, server.port(), 10000));
  const int fd = static_cast<int>(handle);
  ASSERT_TRUE(SetSocketTimeout(handle, 10000));  // fails, never hangs
  ASSERT_TRUE(SetKeepAlive(handle, 7));
  // The peer's close reads as 0; the reset it answers a send with makes the
  // next send an error result, never SIGPIPE.
  char buffer[64];
  EXPECT_EQ(Receive(handle, buffer, sizeof buffer), 0);
  (void)SendAll(handle, buffer, sizeof buffer);
  pollfd reset{fd, 0, 0};  // POLLERR or POLLHUP
  ASSERT_EQ(poll(&reset, 1, 10000), 1);
  EXPECT_FALSE(SendAll(handle, buffer, sizeof buffer));
  EXPECT_TRUE(CloseSocket(handle));
  StopSockets();
}

TEST(PlatformSockets, FailuresAndTheReservedHandleZero) {
  SocketHandle handle = CreateTcpSocket();
  EXPECT_EQ(
      FailureOf(Connect(handle, htonl(INADDR_LOOPBACK), test::ClosedPort(), 0)),
      kErrorConnectionRefused);
  EXPECT_TRUE(CloseSocket(handle));
  EXPECT_EQ(FailureOf(SendAll(kInvalidSocket, "x", 1)), kErrorInvalidHandle);
  EXPECT_FALSE(CloseSocket(0));
  // With descriptor 0 free, a new socket still never gets it.
  const int savedInput = fcntl(0, F_DUPFD_CLOEXEC, 3);
  close(0);
  handle = CreateTcpSocket();
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  dup2(savedInput, 0);
  close(savedInput);
  EXPECT_NE(handle, 0u);
  EXPECT_TRUE(CloseSocket(handle));
}

TEST(PlatformSockets, TimeOutFromTheEnvironment) {
  ScopedEnv env("VESK_TIMEOUT_SECONDS");
  env.Unset();
  EXPECT_EQ(SocketTimeoutMs(), 60000u);
  for (const auto& [value, ms] : {std::pair{"0", 0u},
                                  {"7", 7000u},
                                  {"2s", 60000u},
                                  {"99999999999", 2147483000u}}) {
    env.Set(value);
    EXPECT_EQ(SocketTimeoutMs(), ms) << value;
  }
  // A peer that accepts and never answers: the receive fails as timed out.
  test::Reply silent;
  silent.keepOpen = silent.readNothing = true;
  test::FakeServer server({silent});
  SocketHandle handle = CreateTcpSocket();
  ASSERT_TRUE(SetSocketTimeout(handle, 200));
  ASSERT_TRUE(Connect(handle, htonl(INADDR_LOOPBACK), server.port(), 200));
  char byte;
  EXPECT_EQ(Receive(handle, &byte, 1), -1);
  EXPECT_EQ(FailureOf(false), kErrorTimedOut);
  EXPECT_TRUE(CloseSocket(handle));
}

// The system's own random source, where no suite replaces it.
TEST(PlatformRandom, AllThirtyOneBits) {
  std::set<uint32_t> values;
  for (int i = 0; i < 1000; ++i) values.insert(Random());
  EXPECT_LE(*values.rbegin(), 0x7FFFFFFFu);
  EXPECT_GT(*values.rbegin(), 0xFFFFFFu);  // all 31 bits, not 15
  EXPECT_GT(values.size(), 990u);
}

TEST(PlatformErrors, MessagesAndAPerThreadLastError) {
  EXPECT_EQ(FormatMessage(2), u"The system cannot find the file specified.");
  EXPECT_EQ(FormatMessage(kErrorHostErrnoBit | ETIMEDOUT),
            u"Connection timed out");
  EXPECT_EQ(FormatMessage(0x12345), u"Unknown error 0x00012345.");
  SetLastError(kErrorDiskFull);
  std::thread([] { SetLastError(kErrorAccessDenied); }).join();
  EXPECT_EQ(GetLastError(), kErrorDiskFull);
}

}  // namespace
}  // namespace vesk::platform
