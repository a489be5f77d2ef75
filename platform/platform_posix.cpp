// The POSIX implementation of the platform layer.
//
// Map of this file:
//   errors      the thread's last-error value, errno -> handset code (one
//               function), message texts
//   paths       UTF-16 <-> UTF-8, handset path -> host path under the device
//               root
//   files       File, attributes, move, delete, directories, find-first/next
//   sockets     start/stop count, TCP socket calls
//   time        local time, tick count, calendar <-> file time
//   text        code page table and the iconv conversions
//   memory      LargeBuffer
//   random      Random, SecureRandom and the test overrides
//
// EINTR and short transfers are handled here once: callers see "all bytes or
// an error", except Receive, which stays one receive.

// Large files and 64-bit times also on 32-bit hosts.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _TIME_BITS
#define _TIME_BITS 64
#endif

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace vesk::platform {

namespace {

// ---------------------------------------------------------------------------
// Errors

thread_local uint32_t t_lastError = kErrorSuccess;

bool IsDirectory(const std::string& hostPath) {
  struct stat st;
  return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory part of a host path ("." for a bare name).
std::string HostParent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The handset code for an errno value. With the host path of the name the
// call worked on, a missing name is told apart from a missing directory on
// the way to it. nameTaken is the code for EEXIST: the handset answers
// kErrorFileExists when a file cannot be created and kErrorAlreadyExists
// when a directory or a move target is in the way.
uint32_t ErrorFromErrno(int error, const std::string* hostPath = nullptr,
                        uint32_t nameTaken = kErrorFileExists) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      if (hostPath != nullptr && !IsDirectory(HostParent(*hostPath))) {
        return kErrorPathNotFound;
      }
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EROFS:
      return kErrorWriteProtect;
    case EEXIST:
      return nameTaken;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    case ECONNREFUSED:
      return kErrorConnectionRefused;
    case ETIMEDOUT:
    case EAGAIN:  // a socket time-out passed (EWOULDBLOCK is the same value)
      return kErrorTimedOut;
    default:
      return kErrorHostErrnoBit | static_cast<uint32_t>(error);
  }
}

bool Fail(uint32_t code) {
  t_lastError = code;
  return false;
}

bool FailErrno(int error, const std::string* hostPath = nullptr,
               uint32_t nameTaken = kErrorFileExists) {
  return Fail(ErrorFromErrno(error, hostPath, nameTaken));
}

// The calling thread's fault plan and counts (see SetFaultPlan).
struct FaultState {
  FaultPlan plan;
  FaultCounts counts;
  bool armed = false;
};
thread_local FaultState t_faults;

bool Injected(uint64_t count, uint64_t failAt) {
  return failAt != 0 &&
         (count == failAt || (t_faults.plan.persistent && count > failAt));
}

// Counts one file operation; true (with the plan's last error) when it is
// the one to fail.
bool FileFault() {
  if (!t_faults.armed) return false;
  if (!Injected(++t_faults.counts.fileOperations,
                t_faults.plan.failFileOperation)) {
    return false;
  }
  ++t_faults.counts.injected;
  t_lastError = t_faults.plan.error;
  return true;
}

// The same for the calls that report a failure as -1, and for the text
// conversions, which report it as no text.
int FailCount(uint32_t code) {
  t_lastError = code;
  return -1;
}
int NoText(uint32_t code) {
  t_lastError = code;
  return 0;
}

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills
// the buffer); these take either result.
[[maybe_unused]] const char* ErrnoText(char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* ErrnoText(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}

struct Message {
  uint32_t code;
  const char16_t* text;
};

constexpr Message kMessages[] = {
    {kErrorSuccess, u"The operation completed successfully."},
    {kErrorFileNotFound, u"The system cannot find the file specified."},
    {kErrorPathNotFound, u"The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, u"The system cannot open the file."},
    {kErrorAccessDenied, u"Access is denied."},
    {kErrorInvalidHandle, u"The handle is invalid."},
    {kErrorNotEnoughMemory,
     u"Not enough storage is available to process this command."},
    {kErrorNoMoreFiles, u"There are no more files."},
    {kErrorWriteProtect, u"The media is write protected."},
    {kErrorSharingViolation,
     u"The process cannot access the file because it is being used by "
     u"another process."},
    {kErrorHandleEof, u"Reached the end of the file."},
    {kErrorFileExists, u"The file exists."},
    {kErrorInvalidParameter, u"The parameter is incorrect."},
    {kErrorDiskFull, u"There is not enough space on the disk."},
    {kErrorInsufficientBuffer,
     u"The data area passed to a system call is too small."},
    {kErrorInvalidName,
     u"The filename, directory name, or volume label syntax is incorrect."},
    {kErrorDirNotEmpty, u"The directory is not empty."},
    {kErrorAlreadyExists,
     u"Cannot create a file when that file already exists."},
    {kErrorFilenameTooLong, u"The filename or extension is too long."},
    {kErrorNoUnicodeTranslation,
     u"No mapping for the Unicode character exists in the target multi-byte "
     u"code page."},
    {kErrorConnectionRefused,
     u"The remote computer refused the network connection."},
    {kErrorTimedOut,
     u"A connection attempt failed because the connected party did not "
     u"properly respond after a period of time."},
    {kErrorHostNotFound, u"No such host is known."},
};

// ---------------------------------------------------------------------------
// Paths and UTF conversions

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit < 0xE000; }
bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, size_t size) {
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < size &&
        IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      code = kReplacement;
    }
    AppendUtf8(code, &out);
  }
  return out;
}

// UTF-8 to UTF-16; every byte that does not start a well-formed sequence
// becomes U+FFFD (overlong forms, surrogates and values past U+10FFFF
// included).
std::u16string Utf8ToUtf16(const char* text, size_t size) {
  std::u16string out;
  out.reserve(size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= size;
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (bytes[i + k] & 0xC0) == 0x80;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF &&
            (code < 0xD800 || code >= 0xE000);
    if (!valid) {
      out.push_back(kReplacement);
      ++i;
    } else if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
      i += length;
    } else {
      out.push_back(static_cast<char16_t>(code));
      i += length;
    }
  }
  return out;
}

// The host name of a handset path, or false (kErrorInvalidName) for a name
// the host cannot carry: one with an embedded zero unit.
bool Resolve(const std::u16string& path, std::string* host) {
  *host = HostPath(path);
  if (host->find('\0') != std::string::npos) return Fail(kErrorInvalidName);
  return true;
}

// ---------------------------------------------------------------------------
// Files

uint32_t AttributesOf(const struct stat& st) {
  uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if ((st.st_mode & 0222) == 0) attributes |= kAttributeReadOnly;
  return attributes == 0 ? kAttributeNormal : attributes;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

constexpr uint64_t kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600;

timespec ToTimespec(FileTime time) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(time / kTicksPerSecond) -
                                  kEpochDifference);
  ts.tv_nsec = static_cast<long>((time % kTicksPerSecond) * 100);
  return ts;
}

// renameat2(RENAME_NOREPLACE) through the system call, so that the C library
// need not carry the wrapper.
int RenameNoReplace(const char* source, const char* target) {
#ifdef SYS_renameat2
  constexpr unsigned kRenameNoReplace = 1;
  return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, source, AT_FDCWD,
                                  target, kRenameNoReplace));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// A move for file systems without RENAME_NOREPLACE: a file is linked under
// the new name (which fails atomically when the name is taken) and then
// unlinked; where hard links are missing too, and for directories, the
// target is checked and then renamed.
int RenameFallback(const char* source, const char* target) {
  struct stat st;
  if (lstat(source, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    if (link(source, target) == 0) return unlink(source);
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return -1;
  }
  if (lstat(target, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(source, target);
}

// "*" matches any run of units, "?" one unit. As on the handset, a pattern
// ending in ".*" also matches a name without an extension, so "*.*" lists
// every name.
bool WildcardMatch(const std::u16string& pattern, const std::u16string& name) {
  size_t p = 0, n = 0;
  size_t star = std::u16string::npos, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      starName = n;
    } else if (star != std::u16string::npos) {
      p = star + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  if (p + 1 < pattern.size() && pattern[p] == u'.' &&
      pattern.find_first_not_of(u'*', p + 1) == std::u16string::npos) {
    return true;
  }
  return p == pattern.size();
}

bool HasWildcards(const std::u16string& text) {
  return text.find_first_of(u"*?") != std::u16string::npos;
}

// ---------------------------------------------------------------------------
// Sockets

std::atomic<int> g_socketStarts{0};

// Milliseconds of the monotonic clock (the tick count may be replaced by a
// test; a wait must not be).
int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The descriptor of a handle; -1 for none, 0 included.
int FdOf(SocketHandle socket) {
  if (socket == 0 || socket > static_cast<SocketHandle>(INT_MAX)) return -1;
  return static_cast<int>(socket);
}

// ---------------------------------------------------------------------------
// Time

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra =
      yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30,
                                       31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// ---------------------------------------------------------------------------
// Text

struct CodePageName {
  uint32_t codePage;
  const char* iconvName;
};

// Code pages by their iconv names: those that iconv knows by names of their
// own, and the usual system code pages, which are taken without asking
// iconv first. Every other code page is asked for as "CPnnn" (CP737,
// CP1125, CP1361, CP10007, ...), which iconv has or has not.
constexpr CodePageName kCodePages[] = {
    {936, "CP936"},         {950, "CP950"},         {932, "CP932"},
    {949, "CP949"},         {1250, "CP1250"},       {1251, "CP1251"},
    {1252, "CP1252"},       {1253, "CP1253"},       {1254, "CP1254"},
    {1255, "CP1255"},       {1256, "CP1256"},       {1257, "CP1257"},
    {1258, "CP1258"},       {874, "CP874"},         {437, "CP437"},
    {850, "CP850"},         {866, "CP866"},         {154, "PT154"},
    {708, "ASMO-708"},      {1200, "UTF-16LE"},     {1201, "UTF-16BE"},
    {10000, "MACINTOSH"},   {12000, "UTF-32LE"},    {12001, "UTF-32BE"},
    {20127, "ASCII"},       {20866, "KOI8-R"},      {20932, "EUC-JP"},
    {20936, "GB2312"},      {21866, "KOI8-U"},      {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"},  {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"},  {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"}, {50225, "ISO-2022-KR"}, {51932, "EUC-JP"},
    {51936, "EUC-CN"},      {51949, "EUC-KR"},      {54936, "GB18030"},
    {65000, "UTF-7"},       {65001, "UTF-8"},
};

// The iconv name of a code page; empty for the number 0 after the system
// ANSI code page has been looked up (which never gives 0).
std::string IconvName(uint32_t codePage) {
  if (codePage == kAnsiCodePage) codePage = AnsiCodePage();
  for (const CodePageName& entry : kCodePages) {
    if (entry.codePage == codePage) return entry.iconvName;
  }
  if (codePage == kAnsiCodePage) return std::string();
  return "CP" + std::to_string(codePage);
}

// The wide side of every conversion is UTF-16LE bytes, assembled and taken
// apart unit by unit here, so the host's byte order never matters.
constexpr char kWideName[] = "UTF-16LE";

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (IsOpen()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool IsOpen() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of the input and appends the result to out. Where iconv
  // stops at an input sequence it cannot take (EILSEQ, or EINVAL for one cut
  // off at the end), onBad(error, at, left, out) appends the replacement and
  // returns how many input bytes to pass over. False, with errno, on any
  // other failure.
  template <typename OnBad>
  bool Run(const char* input, size_t size, std::string* out, OnBad onBad) {
    char* in = const_cast<char*>(input);
    size_t inLeft = size;
    bool flushed = false;
    while (!flushed) {
      char buffer[1024];
      char* outPos = buffer;
      size_t outLeft = sizeof buffer;
      size_t result;
      if (inLeft > 0) {
        result = iconv(cd_, &in, &inLeft, &outPos, &outLeft);
      } else {
        // Stateful encodings write their closing shift sequence here.
        result = iconv(cd_, nullptr, nullptr, &outPos, &outLeft);
        flushed = result != static_cast<size_t>(-1);
      }
      out->append(buffer, static_cast<size_t>(outPos - buffer));
      if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
      const int error = errno;
      if ((error != EILSEQ && error != EINVAL) || inLeft == 0) return false;
      const size_t skip = onBad(error, in, inLeft, out);
      in += skip;
      inLeft -= skip;
    }
    return true;
  }

  // Converts a short complete input in the converter's current state.
  void Append(const char* input, size_t size, std::string* out) {
    char* in = const_cast<char*>(input);
    char buffer[64];
    char* outPos = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(cd_, &in, &size, &outPos, &outLeft) != static_cast<size_t>(-1)) {
      out->append(buffer, static_cast<size_t>(outPos - buffer));
    } else {
      out->push_back('?');
    }
  }

 private:
  iconv_t cd_;
};

// Common checks and sizing of both conversion directions. Returns the
// number of source units to convert, or 0 after setting the last error.
template <typename Unit>
size_t SourceUnits(const Unit* source, int sourceSize, const void* target,
                   int capacity) {
  if (source == nullptr || sourceSize == 0 || sourceSize < -1 || capacity < 0 ||
      (capacity > 0 && target == nullptr)) {
    return NoText(kErrorInvalidParameter);
  }
  if (sourceSize > 0) return static_cast<size_t>(sourceSize);
  size_t length = 0;
  while (source[length] != 0) ++length;
  return length + 1;  // the terminator is converted and counted too
}

// Hands a complete result to the caller under the measure/convert rules.
template <typename Unit>
int Deliver(const Unit* result, size_t count, Unit* target, int capacity) {
  if (count > static_cast<size_t>(INT_MAX)) {
    return NoText(kErrorInvalidParameter);
  }
  if (capacity == 0) return static_cast<int>(count);
  if (count > static_cast<size_t>(capacity)) {
    return NoText(kErrorInsufficientBuffer);
  }
  std::copy(result, result + count, target);
  return static_cast<int>(count);
}

// ---------------------------------------------------------------------------
// Random numbers and overrides

Overrides g_overrides;

std::mutex g_randomMutex;
uint64_t g_randomState = 0;

}  // namespace

// ---------------------------------------------------------------------------
// Last-error value

uint32_t GetLastError() { return t_lastError; }

void SetLastError(uint32_t code) { t_lastError = code; }

std::u16string FormatMessage(uint32_t code) {
  for (const Message& message : kMessages) {
    if (message.code == code) return message.text;
  }
  char text[128];
  if ((code & kErrorHostErrnoBit) != 0 && code != kErrorHostErrnoBit) {
    char buffer[128] = {};
    const int error = static_cast<int>(code & ~kErrorHostErrnoBit);
    const char* errnoText =
        ErrnoText(strerror_r(error, buffer, sizeof buffer), buffer);
    if (errnoText != nullptr) return Utf8ToUtf16(errnoText, strlen(errnoText));
  }
  std::snprintf(text, sizeof text, "Unknown error 0x%08X.",
                static_cast<unsigned>(code));
  return Utf8ToUtf16(text, strlen(text));
}

// ---------------------------------------------------------------------------
// Paths

std::string HostPath(const std::u16string& path) {
  std::u16string slashed = path;
  for (char16_t& unit : slashed) {
    if (unit == u'\\') unit = u'/';
  }
  std::string host = Utf16ToUtf8(slashed.data(), slashed.size());
  if (host.empty() || host[0] != '/') return host;
  const char* root = std::getenv("VESK_DEVICE_ROOT");
  if (root == nullptr || *root == '\0') return host;
  std::string joined = root;
  if (joined.back() == '/') joined.pop_back();
  return joined + host;
}

// ---------------------------------------------------------------------------
// File

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() { Close(); }

File File::Open(const std::u16string& path, Access access,
                Disposition disposition, uint32_t attributes) {
  if (FileFault()) return File();
  std::string host;
  if (!Resolve(path, &host)) return File();
  struct stat st;
  const bool exists = stat(host.c_str(), &st) == 0;
  if (exists) {
    if (disposition == Disposition::kCreateNew) {
      Fail(kErrorFileExists);
      return File();
    }
    // The handset refuses a directory, and refuses to write to or replace a
    // read-only file whoever asks; root would get past the host's own check.
    const bool writes =
        access != Access::kRead || disposition == Disposition::kCreateAlways;
    if (S_ISDIR(st.st_mode) || (writes && (st.st_mode & 0222) == 0)) {
      Fail(kErrorAccessDenied);
      return File();
    }
  }
  int flags = O_CLOEXEC;
  switch (access) {
    case Access::kRead:
      flags |= O_RDONLY;
      break;
    case Access::kWrite:
      flags |= O_WRONLY;
      break;
    case Access::kReadWrite:
      flags |= O_RDWR;
      break;
  }
  switch (disposition) {
    case Disposition::kOpenExisting:
      break;
    case Disposition::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case Disposition::kOpenAlways:
      flags |= O_CREAT;
      break;
    case Disposition::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
  }
  const mode_t mode = (attributes & kAttributeReadOnly) != 0 ? 0444 : 0666;
  const int fd = OpenRetrying(host.c_str(), flags, mode);
  if (fd < 0) {
    FailErrno(errno, &host);
    return File();
  }
  File file(fd);
  // A directory that appeared after the check above.
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    Fail(kErrorAccessDenied);
    return File();
  }
  // As on the handset, the dispositions that may find an existing file tell
  // the caller whether they did.
  if (disposition == Disposition::kCreateAlways ||
      disposition == Disposition::kOpenAlways) {
    t_lastError = exists ? kErrorAlreadyExists : kErrorSuccess;
  }
  return file;
}

File File::OpenAppend(const std::u16string& path) {
  if (FileFault()) return File();
  std::string host;
  if (!Resolve(path, &host)) return File();
  struct stat st;
  if (stat(host.c_str(), &st) == 0 &&
      (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)) {
    Fail(kErrorAccessDenied);
    return File();
  }
  const int fd = OpenRetrying(host.c_str(),
                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) FailErrno(errno, &host);
  return File(fd);
}

int64_t File::Read(void* buffer, size_t size) {
  if (FileFault()) return -1;
  if (fd_ < 0) return FailCount(kErrorInvalidHandle);
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const size_t chunk = std::min<size_t>(size - done, 1u << 30);
    const ssize_t got = read(fd_, bytes + done, chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return FailCount(ErrorFromErrno(errno));
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool File::Write(const void* data, size_t size) {
  if (FileFault()) return false;
  if (fd_ < 0) return Fail(kErrorInvalidHandle);
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const size_t chunk = std::min<size_t>(size - done, 1u << 30);
    const ssize_t put = write(fd_, bytes + done, chunk);
    if (put < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno);
    }
    // No progress without an error: the storage is full.
    if (put == 0) return Fail(kErrorDiskFull);
    done += static_cast<size_t>(put);
  }
  return true;
}

int64_t File::Seek(int64_t offset, From from) {
  if (FileFault()) return -1;
  if (fd_ < 0) return FailCount(kErrorInvalidHandle);
  const int whence = from == From::kBegin     ? SEEK_SET
                     : from == From::kCurrent ? SEEK_CUR
                                              : SEEK_END;
  const off_t position = lseek(fd_, static_cast<off_t>(offset), whence);
  if (position < 0) return FailCount(ErrorFromErrno(errno));
  return static_cast<int64_t>(position);
}

bool File::SetEndOfFile() {
  if (FileFault()) return false;
  if (fd_ < 0) return Fail(kErrorInvalidHandle);
  const off_t position = lseek(fd_, 0, SEEK_CUR);
  if (position < 0 || ftruncate(fd_, position) != 0) return FailErrno(errno);
  return true;
}

int64_t File::Size() const {
  struct stat st;
  if (fd_ < 0) return FailCount(kErrorInvalidHandle);
  if (fstat(fd_, &st) != 0) return FailCount(ErrorFromErrno(errno));
  return static_cast<int64_t>(st.st_size);
}

bool File::SetTimes(const FileTime* /*creation*/, const FileTime* access,
                    const FileTime* write) {
  if (fd_ < 0) return Fail(kErrorInvalidHandle);
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = 0;
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  if (access != nullptr) times[0] = ToTimespec(*access);
  if (write != nullptr) times[1] = ToTimespec(*write);
  if (futimens(fd_, times) != 0) return FailErrno(errno);
  return true;
}

bool File::Flush() {
  if (FileFault()) return false;
  if (fd_ < 0) return Fail(kErrorInvalidHandle);
  if (fsync(fd_) != 0) return FailErrno(errno);
  return true;
}

bool File::GetId(FileId* id) const {
  struct stat st;
  if (fd_ < 0) return Fail(kErrorInvalidHandle);
  if (fstat(fd_, &st) != 0) return FailErrno(errno);
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

void File::Close() {
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------
// Attributes, moving, deleting, directories

bool GetFileId(const std::u16string& path, FileId* id) {
  std::string host;
  if (!Resolve(path, &host)) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return FailErrno(errno, &host);
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool GetDiskFreeSpace(const std::u16string& path, uint64_t* freeBytes,
                      uint64_t* blockSize) {
  std::string host;
  if (!Resolve(path, &host)) return false;
  struct statvfs fs;
  if (statvfs(host.c_str(), &fs) != 0) return FailErrno(errno, &host);
  const uint64_t block = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  *freeBytes = static_cast<uint64_t>(fs.f_bavail) * block;
  *blockSize = block;
  return true;
}

uint32_t GetFileAttributes(const std::u16string& path) {
  std::string host;
  if (!Resolve(path, &host)) return kInvalidAttributes;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) {
    FailErrno(errno, &host);
    return kInvalidAttributes;
  }
  return AttributesOf(st);
}

bool SetFileAttributes(const std::u16string& path, uint32_t attributes) {
  std::string host;
  if (!Resolve(path, &host)) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return FailErrno(errno, &host);
  // On the handset the read-only mark of a directory blocks nothing; clearing
  // a directory's write bits here would, so directories keep their mode.
  if (S_ISDIR(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  if ((attributes & kAttributeReadOnly) != 0) {
    mode &= ~static_cast<mode_t>(0222);
  } else if ((mode & 0222) == 0) {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777) && chmod(host.c_str(), mode) != 0) {
    return FailErrno(errno, &host);
  }
  return true;
}

bool MoveFile(const std::u16string& source, const std::u16string& target) {
  if (FileFault()) return false;
  std::string from, to;
  if (!Resolve(source, &from) || !Resolve(target, &to)) return false;
  int result = RenameNoReplace(from.c_str(), to.c_str());
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
    result = RenameFallback(from.c_str(), to.c_str());
  }
  if (result == 0) return true;
  const int error = errno;
  // ENOENT names either a missing source or a missing target directory.
  struct stat st;
  if (error == ENOENT && lstat(from.c_str(), &st) == 0) {
    return Fail(kErrorPathNotFound);
  }
  return FailErrno(error, &from, kErrorAlreadyExists);
}

bool DeleteFile(const std::u16string& path) {
  if (FileFault()) return false;
  std::string host;
  if (!Resolve(path, &host)) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return FailErrno(errno, &host);
  if (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0) {
    return Fail(kErrorAccessDenied);
  }
  if (unlink(host.c_str()) != 0) return FailErrno(errno, &host);
  return true;
}

bool CreateDirectory(const std::u16string& path) {
  if (FileFault()) return false;
  std::string host;
  if (!Resolve(path, &host)) return false;
  if (mkdir(host.c_str(), 0777) != 0) {
    return FailErrno(errno, &host, kErrorAlreadyExists);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Find-first / find-next

struct FindHandle::State {
  ~State() {
    if (dir != nullptr) closedir(dir);
  }
  DIR* dir = nullptr;      // null after a search for one named entry
  std::u16string pattern;  // the last component of the pattern
};

FindHandle::FindHandle(FindHandle&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

FindHandle& FindHandle::operator=(FindHandle&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = std::exchange(other.state_, nullptr);
  }
  return *this;
}

FindHandle::~FindHandle() { delete state_; }

bool FindHandle::FindFirst(const std::u16string& pattern, FindData* data) {
  delete state_;
  state_ = nullptr;
  size_t split = pattern.size();
  while (split > 0 && !IsSeparator(pattern[split - 1])) --split;
  const std::u16string directory = pattern.substr(0, split);
  const std::u16string last = pattern.substr(split);

  if (!HasWildcards(last)) {
    // One named entry; trailing separators name the directory itself.
    std::u16string named = pattern;
    while (!named.empty() && IsSeparator(named.back())) named.pop_back();
    size_t start = named.size();
    while (start > 0 && !IsSeparator(named[start - 1])) --start;
    const std::u16string name = named.substr(start);
    if (name.empty() || name == u"." || name == u"..") {
      return Fail(kErrorFileNotFound);
    }
    std::string host;
    if (!Resolve(named, &host)) return false;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return FailErrno(errno, &host);
    data->name = name;
    data->attributes = AttributesOf(st);
    data->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    state_ = new State;
    return true;
  }

  std::string hostDirectory;
  if (!Resolve(directory.empty() ? u"." : directory, &hostDirectory)) {
    return false;
  }
  DIR* dir = opendir(hostDirectory.c_str());
  if (dir == nullptr) {
    return Fail(errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
  }
  state_ = new State;
  state_->dir = dir;
  state_->pattern = last;
  if (FindNext(data)) return true;
  delete state_;
  state_ = nullptr;
  if (t_lastError == kErrorNoMoreFiles) t_lastError = kErrorFileNotFound;
  return false;
}

bool FindHandle::FindNext(FindData* data) {
  if (state_ == nullptr) return Fail(kErrorInvalidHandle);
  if (state_->dir == nullptr) return Fail(kErrorNoMoreFiles);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(state_->dir);
    if (entry == nullptr) {
      return errno == 0 ? Fail(kErrorNoMoreFiles) : FailErrno(errno);
    }
    if (std::strcmp(entry->d_name, ".") == 0 ||
        std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    std::u16string name = Utf8ToUtf16(entry->d_name, strlen(entry->d_name));
    if (!WildcardMatch(state_->pattern, name)) continue;
    struct stat st;
    const int dirFd = dirfd(state_->dir);
    if (fstatat(dirFd, entry->d_name, &st, 0) != 0 &&
        fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // removed since it was listed
    }
    data->name = std::move(name);
    data->attributes = AttributesOf(st);
    data->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    return true;
  }
}

// ---------------------------------------------------------------------------
// Sockets

bool StartSockets(uint16_t requested, uint16_t* granted) {
  constexpr uint16_t kVersion = 0x0202;
  if (granted != nullptr) *granted = kVersion;
  if ((requested & 0xFF) != 2) return Fail(kErrorInvalidParameter);
  g_socketStarts.fetch_add(1);
  return true;
}

void StopSockets() {
  int count = g_socketStarts.load();
  while (count > 0 && !g_socketStarts.compare_exchange_weak(count, count - 1)) {
  }
}

SocketHandle CreateTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    FailErrno(errno);
    return kInvalidSocket;
  }
  if (fd == 0) {
    // 0 means "no socket" to the callers.
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    const int error = errno;
    close(fd);
    if (moved < 0) {
      FailErrno(error);
      return kInvalidSocket;
    }
    fd = moved;
  }
  return static_cast<SocketHandle>(fd);
}

bool ResolveIpv4(const char* name, uint32_t* address) {
  if (name == nullptr || address == nullptr) {
    return Fail(kErrorInvalidParameter);
  }
  // An empty name names no host; it is never handed to the resolver.
  if (*name == '\0') return Fail(kErrorHostNotFound);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(name, nullptr, &hints, &found);
  if (result != 0) {
    if (result == EAI_SYSTEM) return FailErrno(errno);
    return Fail(result == EAI_MEMORY ? kErrorNotEnoughMemory
                                     : kErrorHostNotFound);
  }
  bool ok = false;
  for (const addrinfo* entry = found; entry != nullptr;
       entry = entry->ai_next) {
    if (entry->ai_family == AF_INET &&
        entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in ipv4;
      std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
      *address = ipv4.sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  freeaddrinfo(found);
  return ok || Fail(kErrorHostNotFound);
}

uint32_t SocketTimeoutMs() {
  constexpr uint32_t kDefaultSeconds = 60;
  // poll() takes an int of milliseconds.
  constexpr uint32_t kLongestSeconds = INT_MAX / 1000;
  const char* value = std::getenv("VESK_TIMEOUT_SECONDS");
  if (value == nullptr || *value == '\0') return kDefaultSeconds * 1000;
  uint32_t seconds = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return kDefaultSeconds * 1000;
    seconds = std::min(seconds * 10 + static_cast<uint32_t>(*c - '0'),
                       kLongestSeconds);
  }
  return seconds * 1000;
}

bool SetSocketTimeout(SocketHandle socket, uint32_t timeoutMs) {
  const int fd = FdOf(socket);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000 * 1000);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return FailErrno(errno);
  }
  return true;
}

bool Connect(SocketHandle socket, uint32_t address, uint16_t port,
             uint32_t timeoutMs) {
  const int fd = FdOf(socket);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  // The connect runs without blocking, so that its wait can be bounded; the
  // socket is blocking again afterwards.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return FailErrno(errno);
  }
  int result =
      connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  int error = result == 0 ? 0 : errno;
  if (error == EINPROGRESS || error == EINTR) {
    const int waitMs = timeoutMs == 0 ? -1 : static_cast<int>(timeoutMs);
    const int64_t start = MonotonicMs();
    pollfd waiting{fd, POLLOUT, 0};
    int ready;
    for (;;) {
      int left = waitMs;
      if (waitMs >= 0) {
        const int64_t spent = MonotonicMs() - start;
        left = spent >= waitMs ? 0 : static_cast<int>(waitMs - spent);
      }
      ready = poll(&waiting, 1, left);
      if (ready >= 0 || errno != EINTR) break;
    }
    if (ready < 0) {
      error = errno;
    } else if (ready == 0) {
      error = ETIMEDOUT;
    } else {
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
    }
  }
  if (fcntl(fd, F_SETFL, flags) != 0 && error == 0) error = errno;
  return error == 0 || FailErrno(error);
}

bool SendAll(SocketHandle socket, const void* data, size_t size) {
  const int fd = FdOf(socket);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t sent = send(fd, bytes + done, size - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno);
    }
    done += static_cast<size_t>(sent);
  }
  return true;
}

int Receive(SocketHandle socket, void* buffer, size_t capacity) {
  const int fd = FdOf(socket);
  if (fd < 0) return FailCount(kErrorInvalidHandle);
  capacity = std::min<size_t>(capacity, INT_MAX);
  ssize_t got;
  do {
    got = recv(fd, buffer, capacity, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return FailCount(ErrorFromErrno(errno));
  return static_cast<int>(got);
}

bool SetKeepAlive(SocketHandle socket, int32_t value) {
  const int fd = FdOf(socket);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  const int option = value;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &option, sizeof option) != 0) {
    return FailErrno(errno);
  }
  return true;
}

bool CloseSocket(SocketHandle socket) {
  const int fd = FdOf(socket);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  // EINTR still releases the descriptor on Linux.
  if (close(fd) != 0 && errno != EINTR) return FailErrno(errno);
  return true;
}

// ---------------------------------------------------------------------------
// Time

void GetLocalTime(SystemTime* time) {
  if (g_overrides.localTime != nullptr) return g_overrides.localTime(time);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tzset();  // picks up a changed TZ, which localtime_r need not do
  tm local{};
  localtime_r(&now.tv_sec, &local);
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  time->second = static_cast<uint16_t>(local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

uint32_t GetTickCount() {
  if (g_overrides.tickCount != nullptr) return g_overrides.tickCount();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

bool SystemTimeToFileTime(const SystemTime& time, FileTime* fileTime) {
  // 30827 is the last year the handset's file time can hold.
  if (time.year < 1601 || time.year > 30827 || time.month < 1 ||
      time.month > 12 || time.day < 1 ||
      time.day > DaysInMonth(time.year, time.month) || time.hour > 23 ||
      time.minute > 59 || time.second > 59 || time.milliseconds > 999) {
    return Fail(kErrorInvalidParameter);
  }
  const int64_t days = DaysFromCivil(time.year, time.month, time.day) -
                       DaysFromCivil(1601, 1, 1);
  const int64_t seconds =
      days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
  *fileTime =
      (static_cast<uint64_t>(seconds) * 1000 + time.milliseconds) * 10000;
  return true;
}

bool LocalFileTimeToFileTime(FileTime local, FileTime* utc) {
  // The wall-clock fields of the local time, then mktime for the instant they
  // name, with the zone's offset (daylight saving included) of that date.
  const time_t wall = static_cast<time_t>(
      static_cast<int64_t>(local / kTicksPerSecond) - kEpochDifference);
  tm fields{};
  if (gmtime_r(&wall, &fields) == nullptr) return Fail(kErrorInvalidParameter);
  fields.tm_isdst = -1;
  errno = 0;
  const time_t instant = mktime(&fields);
  if (instant == static_cast<time_t>(-1) && errno != 0) {
    return Fail(kErrorInvalidParameter);
  }
  const int64_t seconds = static_cast<int64_t>(instant) + kEpochDifference;
  if (seconds < 0 ||
      static_cast<uint64_t>(seconds) > UINT64_MAX / kTicksPerSecond - 1) {
    return Fail(kErrorInvalidParameter);
  }
  *utc = static_cast<uint64_t>(seconds) * kTicksPerSecond +
         local % kTicksPerSecond;
  return true;
}

// ---------------------------------------------------------------------------
// Text

uint32_t AnsiCodePage() {
  constexpr uint32_t kDefault = 936;
  const char* value = std::getenv("VESK_ANSI_CODEPAGE");
  if (value == nullptr || *value == '\0') return kDefault;
  uint32_t codePage = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || codePage > 65535) return kDefault;
    codePage = codePage * 10 + static_cast<uint32_t>(*c - '0');
  }
  // Only a code page this layer can convert can be the system's.
  if (codePage == kAnsiCodePage) return kDefault;
  for (const CodePageName& entry : kCodePages) {
    if (entry.codePage == codePage) return codePage;
  }
  return IsCodePageAvailable(codePage) ? codePage : kDefault;
}

int MultiByteToWide(uint32_t codePage, const char* source, int sourceSize,
                    char16_t* target, int capacity) {
  const size_t size = SourceUnits(source, sourceSize, target, capacity);
  if (size == 0) return 0;
  const std::string name = IconvName(codePage);
  if (name.empty()) return NoText(kErrorInvalidParameter);
  Converter converter(kWideName, name.c_str());
  if (!converter.IsOpen()) return NoText(kErrorInvalidParameter);
  std::string bytes;
  const bool ok =
      converter.Run(source, size, &bytes,
                    [](int error, const char*, size_t left, std::string* out) {
                      out->append("\xFD\xFF", 2);  // U+FFFD
                      // Past one byte of an invalid sequence; an incomplete one
                      // at the end is replaced as a whole.
                      return error == EINVAL ? left : size_t{1};
                    });
  if (!ok) return NoText(ErrorFromErrno(errno));
  std::u16string wide(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    static_cast<unsigned char>(bytes[2 * i + 1])
                                        << 8);
  }
  return Deliver(wide.data(), wide.size(), target, capacity);
}

int WideToMultiByte(uint32_t codePage, const char16_t* source, int sourceSize,
                    char* target, int capacity) {
  const size_t size = SourceUnits(source, sourceSize, target, capacity);
  if (size == 0) return 0;
  const std::string name = IconvName(codePage);
  if (name.empty()) return NoText(kErrorInvalidParameter);
  Converter converter(name.c_str(), kWideName);
  if (!converter.IsOpen()) return NoText(kErrorInvalidParameter);
  // Little-endian input; a surrogate without its partner is U+FFFD, which a
  // Unicode target keeps and any other code page turns into "?".
  std::string input;
  input.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    char16_t unit = source[i];
    const bool paired =
        (IsHighSurrogate(unit) && i + 1 < size &&
         IsLowSurrogate(source[i + 1])) ||
        (IsLowSurrogate(unit) && i > 0 && IsHighSurrogate(source[i - 1]));
    if ((IsHighSurrogate(unit) || IsLowSurrogate(unit)) && !paired) {
      unit = kReplacement;
    }
    input.push_back(static_cast<char>(unit & 0xFF));
    input.push_back(static_cast<char>(unit >> 8));
  }
  std::string bytes;
  const bool ok = converter.Run(
      input.data(), input.size(), &bytes,
      [&converter](int, const char* at, size_t left, std::string* out) {
        // One "?" per character the code page lacks; a surrogate pair is
        // one character.
        converter.Append("?\0", 2, out);
        const auto first = static_cast<char16_t>(
            static_cast<unsigned char>(at[0]) |
            (left > 1 ? static_cast<unsigned char>(at[1]) << 8 : 0));
        return IsHighSurrogate(first) && left >= 4 ? size_t{4}
                                                   : std::min<size_t>(2, left);
      });
  if (!ok) return NoText(ErrorFromErrno(errno));
  return Deliver(bytes.data(), bytes.size(), target, capacity);
}

bool IsCodePageAvailable(uint32_t codePage) {
  const std::string name = IconvName(codePage);
  if (name.empty()) return false;
  Converter in(kWideName, name.c_str());
  Converter out(name.c_str(), kWideName);
  return in.IsOpen() && out.IsOpen();
}

// ---------------------------------------------------------------------------
// Memory

namespace {

// The size of the system's large pages where it has them. A mapping is
// aligned to it so that every whole large page in it can be one.
constexpr size_t kLargePage = size_t{2} << 20;

size_t PageSize() {
  static const size_t size = [] {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : size_t{4096};
  }();
  return size;
}

}  // namespace

LargeBuffer::LargeBuffer(size_t size) {
  if (size == 0) return;
  const size_t page = PageSize();
  if (size > SIZE_MAX - kLargePage - page) throw std::bad_alloc();
  size = (size + page - 1) / page * page;
  if (size < kLargePage) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = p;
    size_ = size;
    return;
  }
  // Map a large page more than needed and give back the parts before the
  // first large-page boundary and after the block.
  const size_t mapped = size + kLargePage;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<uintptr_t>(p);
  const uintptr_t start = (base + kLargePage - 1) & ~uintptr_t{kLargePage - 1};
  const size_t head = start - base;
  const size_t tail = mapped - head - size;
  if (head > 0) munmap(p, head);
  if (tail > 0) munmap(reinterpret_cast<void*>(start + size), tail);
  data_ = reinterpret_cast<void*>(start);
  size_ = size;
#ifdef MADV_HUGEPAGE
  // Only advice: without large pages the block works the same.
  madvise(data_, size_, MADV_HUGEPAGE);
#endif
}

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

LargeBuffer::~LargeBuffer() {
  if (data_ != nullptr) munmap(data_, size_);
}

// ---------------------------------------------------------------------------
// Random numbers

uint32_t Random() {
  if (g_overrides.random != nullptr) return g_overrides.random();
  std::lock_guard<std::mutex> lock(g_randomMutex);
  if (g_randomState == 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    g_randomState = (static_cast<uint64_t>(now.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(now.tv_nsec)) ^
                    (static_cast<uint64_t>(getpid()) << 32);
    if (g_randomState == 0) g_randomState = 0x9E3779B97F4A7C15u;
  }
  // xorshift64*
  g_randomState ^= g_randomState >> 12;
  g_randomState ^= g_randomState << 25;
  g_randomState ^= g_randomState >> 27;
  return static_cast<uint32_t>((g_randomState * 0x2545F4914F6CDD1Du) >> 33);
}

bool SecureRandom(void* buffer, size_t size) {
  if (g_overrides.secureRandom != nullptr) {
    return g_overrides.secureRandom(buffer, size);
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = getrandom(bytes + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno);
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

void SetOverrides(const Overrides& overrides) { g_overrides = overrides; }

// ---------------------------------------------------------------------------
// Fault injection

void SetFaultPlan(const FaultPlan& plan) {
  t_faults.plan = plan;
  t_faults.counts = FaultCounts();
  t_faults.armed = plan.failFileOperation != 0 || plan.failAllocation != 0;
}

FaultCounts GetFaultCounts() { return t_faults.counts; }

bool FailAllocation() {
  if (!t_faults.armed) return false;
  if (!Injected(++t_faults.counts.allocations, t_faults.plan.failAllocation)) {
    return false;
  }
  ++t_faults.counts.injected;
  return true;
}

}  // namespace vesk::platform
