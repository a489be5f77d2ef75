// The platform layer: the one place where the library meets the operating
// system. It stands in for the handset's system services (files and
// directories, sockets, clock, code pages, random numbers and the thread's
// last-error value) with the meaning of the calls the library was written
// against, so that everything above it stays free of POSIX and a native
// implementation of another system could sit behind the same interface.
//
// Paths given to this layer are handset paths (UTF-16, "\" or "/" as the
// separator). An absolute handset path is placed under the device root, the
// environment variable VESK_DEVICE_ROOT (read at every call; "/" when unset
// or empty); a relative path stays relative to the current directory. The
// host file name is the UTF-8 form of the result.
//
// Failures are reported by return values and by the thread's last-error
// value (GetLastError), which holds one of the error codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::platform {

// ---------------------------------------------------------------------------
// Last-error value

// Error codes of the handset system that the library and its callers see.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNoMoreFiles = 18,  // a search has no further match
  kErrorWriteProtect = 19,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorFilenameTooLong = 206,
  kErrorNoUnicodeTranslation = 1113,
  kErrorConnectionRefused = 1225,
  kErrorTimedOut = 10060,      // the peer stayed silent past the time-out
  kErrorHostNotFound = 11001,  // name resolution found no address
  // Host errors without a handset equivalent: this bit plus the errno value.
  kErrorHostErrnoBit = 0x20000000,
};

uint32_t GetLastError();
void SetLastError(uint32_t code);

// The system's message text for an error code, without a trailing line end.
std::u16string FormatMessage(uint32_t code);

// ---------------------------------------------------------------------------
// Files and directories

// Handset file attributes. Read-only clears the write bits of the host file;
// hidden, system and archive are accepted and have no effect.
enum : uint32_t {
  kAttributeReadOnly = 0x01,
  kAttributeHidden = 0x02,
  kAttributeSystem = 0x04,
  kAttributeDirectory = 0x10,
  kAttributeArchive = 0x20,
  kAttributeNormal = 0x80,
  kInvalidAttributes = 0xFFFFFFFF,
};

// Times as the handset keeps them: 100-nanosecond intervals since
// 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

enum class Access { kRead, kWrite, kReadWrite };

enum class Disposition {
  kOpenExisting,  // fail when the file is missing
  kCreateAlways,  // create, or truncate an existing file
  kOpenAlways,    // open, creating the file when it is missing
  kCreateNew,     // create; fail when the name exists
};

// The identity of a file: two names with equal identities reach the same
// file, however they are spelled and through whatever links.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index == other.index;
  }
};
// A file opened for byte I/O; move-only, closes on destruction. Opening for
// writing fails with kErrorAccessDenied when the existing file is read-only
// (no write bit for anyone), also for a process running as root, and when the
// name is a directory. All reads and writes are untranslated bytes; other
// openers of the same file are never excluded.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // attributes apply only when the call creates the file. On success with
  // kCreateAlways or kOpenAlways the last error tells whether the file was
  // already there (kErrorAlreadyExists) or not (kErrorSuccess).
  [[nodiscard]] static File Open(const std::u16string& path, Access access,
                                 Disposition disposition,
                                 uint32_t attributes = kAttributeNormal);
  // Opens for writing at the end: every write appends. Creates the file when
  // it is missing.
  [[nodiscard]] static File OpenAppend(const std::u16string& path);

  bool IsOpen() const { return fd_ >= 0; }

  // Reads until size bytes are in or the end of the file is reached; returns
  // the number of bytes read, or -1 on an error.
  int64_t Read(void* buffer, size_t size);
  // Writes all size bytes or fails.
  [[nodiscard]] bool Write(const void* data, size_t size);
  enum class From { kBegin, kCurrent, kEnd };
  // Moves the file position; a target before the start is refused. Returns
  // the new position, or -1.
  int64_t Seek(int64_t offset, From from);
  // Cuts (or extends) the file at the current position.
  [[nodiscard]] bool SetEndOfFile();
  // The file's size, or -1.
  int64_t Size() const;
  // Sets the last-access and last-write times; creation time cannot be kept
  // on this system and is ignored. A null pointer leaves that time alone.
  [[nodiscard]] bool SetTimes(const FileTime* creation, const FileTime* access,
                              const FileTime* write);
  // Hands the written bytes to the storage.
  [[nodiscard]] bool Flush();
  // The identity of the open file (see FileId).
  [[nodiscard]] bool GetId(FileId* id) const;
  void Close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// False (with the last error) when nothing is at the path.
[[nodiscard]] bool GetFileId(const std::u16string& path, FileId* id);

// Room left for the caller on the file system that holds path (a file or a
// directory): the free bytes and the size of one allocation block.
[[nodiscard]] bool GetDiskFreeSpace(const std::u16string& path,
                                    uint64_t* freeBytes, uint64_t* blockSize);

// kInvalidAttributes when nothing is at the path.
uint32_t GetFileAttributes(const std::u16string& path);
[[nodiscard]] bool SetFileAttributes(const std::u16string& path,
                                     uint32_t attributes);
// Moves a file or directory; fails when the target name is taken.
[[nodiscard]] bool MoveFile(const std::u16string& source,
                            const std::u16string& target);
// Deletes a file; fails for a directory and for a read-only file.
[[nodiscard]] bool DeleteFile(const std::u16string& path);
// Creates one directory level; fails when the name exists or the parent is
// missing.
[[nodiscard]] bool CreateDirectory(const std::u16string& path);

// Find-first / find-next over one directory. The last component of the
// pattern may hold "*" (any run of characters) and "?" (one character);
// matching is case-sensitive, as the host file system is. A pattern without
// wildcards matches the named file or directory itself, also when it ends in
// a separator. "." and ".." are never reported.
struct FindData {
  std::u16string name;  // the matching name, without its directory
  uint32_t attributes = 0;
  uint64_t size = 0;
};

class FindHandle {
 public:
  FindHandle() = default;
  FindHandle(FindHandle&& other) noexcept;
  FindHandle& operator=(FindHandle&& other) noexcept;
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle();

  // Starts a search; false (last error kErrorFileNotFound or
  // kErrorPathNotFound) when nothing matches.
  [[nodiscard]] bool FindFirst(const std::u16string& pattern, FindData* data);
  // The next match; false (last error kErrorNoMoreFiles) when there is none.
  [[nodiscard]] bool FindNext(FindData* data);

 private:
  struct State;
  State* state_ = nullptr;
};

// The host file name of a handset path (device root applied, UTF-8). For the
// tools and tests that need to reach the same file by host means.
std::string HostPath(const std::u16string& path);

// ---------------------------------------------------------------------------
// Sockets

// A socket handle. 0 is never a socket: it means "none".
using SocketHandle = uint32_t;
constexpr SocketHandle kInvalidSocket = 0xFFFFFFFF;

// Reference-counted start and stop of the socket library, as the handset's
// socket library counts them. StartSockets reports the granted version
// (major in the low byte).
[[nodiscard]] bool StartSockets(uint16_t requested, uint16_t* granted);
void StopSockets();

// A TCP socket over IPv4, or kInvalidSocket.
SocketHandle CreateTcpSocket();
// Resolves an IPv4 name; the address in network byte order.
[[nodiscard]] bool ResolveIpv4(const char* name, uint32_t* address);

// How long a socket waits for its peer, in milliseconds: the environment
// variable VESK_TIMEOUT_SECONDS (read at every call; default 60 seconds, 0
// waits without limit, anything but decimal digits gives the default). It
// bounds a connect, and every receive or send that sees no byte move for
// that long.
uint32_t SocketTimeoutMs();
// Bounds every later receive and send on the socket: one that moves no byte
// for timeoutMs fails with kErrorTimedOut. 0 waits without limit.
[[nodiscard]] bool SetSocketTimeout(SocketHandle socket, uint32_t timeoutMs);
// Connects to address (network order) and port (host order), waiting at
// most timeoutMs (0: without limit) for the peer to answer; kErrorTimedOut
// when it does not.
[[nodiscard]] bool Connect(SocketHandle socket, uint32_t address, uint16_t port,
                           uint32_t timeoutMs);
// Sends all bytes, or fails. Never raises a signal on a closed peer.
[[nodiscard]] bool SendAll(SocketHandle socket, const void* data, size_t size);
// One receive of at most capacity bytes: the count, 0 when the peer has
// closed, -1 on an error (kErrorTimedOut when the socket's time-out passed
// without a byte).
int Receive(SocketHandle socket, void* buffer, size_t capacity);
[[nodiscard]] bool SetKeepAlive(SocketHandle socket, int32_t value);
[[nodiscard]] bool CloseSocket(SocketHandle socket);

// ---------------------------------------------------------------------------
// Time

struct SystemTime {
  uint16_t year;
  uint16_t month;      // 1..12
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;        // 1..31
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

void GetLocalTime(SystemTime* time);
// Milliseconds of the monotonic clock, truncated to 32 bits.
uint32_t GetTickCount();
[[nodiscard]] bool SystemTimeToFileTime(const SystemTime& time,
                                        FileTime* fileTime);
// Converts a local file time to UTC with the offset of the local time zone
// in force at that time.
[[nodiscard]] bool LocalFileTimeToFileTime(FileTime local, FileTime* utc);

// ---------------------------------------------------------------------------
// Text

// The system ANSI code page: VESK_ANSI_CODEPAGE (a code page number) when set
// and valid, otherwise 936.
constexpr uint32_t kAnsiCodePage = 0;  // selects the system ANSI code page
uint32_t AnsiCodePage();

// Multi-byte text of a code page to UTF-16. With source size -1 the source is
// zero-terminated and the terminator is converted too. With capacity 0
// nothing is written and the number of units needed is returned. Invalid
// byte sequences become U+FFFD. Returns the number of units written, or 0
// (capacity too small, unknown code page).
int MultiByteToWide(uint32_t codePage, const char* source, int sourceSize,
                    char16_t* target, int capacity);
// UTF-16 to the multi-byte text of a code page, the same conventions. A
// character the code page cannot represent becomes "?".
int WideToMultiByte(uint32_t codePage, const char16_t* source, int sourceSize,
                    char* target, int capacity);
// True when iconv can convert the code page.
bool IsCodePageAvailable(uint32_t codePage);

// ---------------------------------------------------------------------------
// Memory

// A page-aligned block of memory taken from the system directly, for buffers
// of many megabytes that live about as long as one operation. A general
// allocator gives such a block fresh pages every time, and each page then
// costs a fault on its first touch; where the system offers large pages the
// block asks for them, so that one fault covers megabytes. Move-only; the
// memory goes back to the system on destruction. The bytes start out zero.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  // Throws std::bad_alloc when the system has no room. Size 0 gives an empty
  // buffer.
  explicit LargeBuffer(size_t size);
  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer();

  void* data() const { return data_; }
  // At least the size asked for (whole pages).
  size_t size() const { return size_; }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Random numbers

// The system's pseudo-random number function: a non-negative 31-bit value.
uint32_t Random();
// Fills the buffer from the system's cryptographically strong source.
[[nodiscard]] bool SecureRandom(void* buffer, size_t size);

// ---------------------------------------------------------------------------
// Fault injection: tests fail one chosen operation and check that what the
// library leaves behind is sound. Counted per thread, on the thread that
// set the plan: the file operations (open, read, write, seek, truncate,
// flush, move, delete, create directory) of File and of the free functions
// above, and the allocations of an allocator that asks FailAllocation (the
// library's own allocations go through operator new; a test build replaces
// it). An injected file failure reports plan.error as the last error.
struct FaultPlan {
  uint64_t failFileOperation = 0;  // 1-based; 0 fails none
  uint64_t failAllocation = 0;     // 1-based; 0 fails none
  bool persistent = false;         // every later operation fails too
  uint32_t error = kErrorDiskFull;
};
struct FaultCounts {
  uint64_t fileOperations = 0;  // counted since the plan was set
  uint64_t allocations = 0;
  uint64_t injected = 0;  // operations made to fail
};
// Sets the calling thread's plan and zeroes its counts; a default plan
// stops counting.
void SetFaultPlan(const FaultPlan& plan);
FaultCounts GetFaultCounts();
// Counts one allocation of the calling thread; true when it is to fail.
bool FailAllocation();

// ---------------------------------------------------------------------------
// Replacing the clock and the random sources: tests install their own
// functions to make request bytes and keys repeatable. A null member keeps
// the system's own. Not thread-safe; install before the calls under test.
struct Overrides {
  void (*localTime)(SystemTime* time) = nullptr;
  uint32_t (*tickCount)() = nullptr;
  uint32_t (*random)() = nullptr;
  bool (*secureRandom)(void* buffer, size_t size) = nullptr;
};
void SetOverrides(const Overrides& overrides);

}  // namespace vesk::platform
