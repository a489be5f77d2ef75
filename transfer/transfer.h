// Content transfers: the download and the package load, the data file and
// state file that a transfer fills, and the local file utilities they (and
// the environment writer) use.
//
// Local paths are handset paths. For the caller's file path P, a transfer
// writes the reply body into the data file P + ".Down" and keeps the state
// file P + ".Down.cfg" beside it; when the last byte has arrived the data
// file takes the name P and the state file goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "service/vesk80.h"
#include "transport/transport.h"

namespace vesk::transfer {

// Local paths are handset paths of at most this many units; a longer path
// is refused (last error kErrorFilenameTooLong) rather than cut, so that a
// cut name can never reach another file.
constexpr size_t kMaxPathUnits = 259;

// Last-error value of a file operation given a path that names only
// directories.
constexpr uint32_t kErrorNamesDirectory = 0x10000000;

// ---------------------------------------------------------------------------
// Local file utilities. Stateless; each call stands alone. "\" and "/" both
// separate path components.

// True for the two separators.
bool IsSeparator(char16_t unit);

// The path as the file system sees it: at most maxUnits units before its
// terminator. False (last error kErrorInvalidParameter or
// kErrorFilenameTooLong) for a null path or a longer one.
bool TakePath(const char16_t* path, std::u16string* out,
              size_t maxUnits = kMaxPathUnits);

// Moves the file source to target; when a file already has the target name,
// to the first name free of files among target with "(1)", "(2)", ...
// inserted before the last "." of the whole path (at the end when the path
// has no "."). False when source names only directories (last error
// kErrorNamesDirectory), when the name to move to would exceed
// kMaxPathUnits, or when the move fails (missing source, missing target
// directory).
bool MoveToFreeName(const char16_t* source, const char16_t* target);

// Makes sure that the directory of filePath (everything up to its last
// separator) exists, creating the missing levels from the top down. When
// directory is not null it receives that directory. False when a level
// cannot be created; the levels made before it stay.
bool EnsureFileDirectory(const char16_t* filePath,
                         std::u16string* directory = nullptr);

// Deletes the file at path. False (last error kErrorNamesDirectory) when the
// path names only directories; otherwise true, whether or not a file was
// there to delete.
bool DeleteLocalFile(const char16_t* path);

// The size of the file at path, also stored in *size. When nothing is there,
// or the file cannot be read, returns 0 and leaves *size as it was (last
// error kErrorNamesDirectory when only directories match).
int32_t LocalFileSize(const char16_t* path, int32_t* size);

// Appends text and one line feed to the file, creating it when missing.
// False when the file cannot be opened or written.
bool AppendLine(const char16_t* path, const transport::ByteString& text);

// The MD5 digest of the file's bytes as 32 lower-case hexadecimal digits;
// empty when the file cannot be opened or read.
std::u16string FileChecksum(const char16_t* path);

// ---------------------------------------------------------------------------
// The data file, the state file and the receive loop

// Suffixes that form the data file and state file names from the caller's
// path.
extern const char16_t kDataSuffix[];   // ".Down"
extern const char16_t kStateSuffix[];  // ".Down.cfg"

// Where a transfer stands: the file position of the reply body's first byte,
// the body bytes received and written in this call, and the file's full size
// as the reply states it. Complete when rangeStart + received == fileSize;
// placed once the complete data file has taken its final name.
struct TransferValues {
  int32_t rangeStart = 0;
  int32_t received = 0;
  int32_t fileSize = 0;
  bool placed = false;
};

// The two users of the receive loop differ in what the state file holds and
// how often it and the data file are brought up to date.
enum class TransferKind {
  // State file with a "Key" line (the content key list); "Current-Position"
  // rewritten after the first block, at most every 30 seconds while data
  // arrives, and at the end.
  kDownload,
  // No "Key" line; "Current-Position" only after the first block and at the
  // end; every block goes to the file system as soon as it is written.
  kLoad,
};

// What the state file records about the exchange that feeds it.
struct TransferSource {
  const char* url = "";  // the ANSI URL that was sent
  int32_t port = 0;
};

// The MD5 digest of a file as a receive writes it, computed on a worker
// thread beside the receive: the worker first digests the bytes the data
// file held before the body's position (read from the file), then every
// block fed to it, so a complete file's checksum is ready as soon as its
// last byte is written.
class StreamChecksum {
 public:
  StreamChecksum();
  ~StreamChecksum();  // finishes the worker
  StreamChecksum(const StreamChecksum&) = delete;
  StreamChecksum& operator=(const StreamChecksum&) = delete;

  // Starts the worker on the first prefix bytes of the file at dataPath,
  // which is opened now, before the receive writes to it. Without a thread
  // to start there is no worker, and Finish gives no checksum.
  void Start(const std::u16string& dataPath, int64_t prefix);
  // Bytes that follow, in file order. Waits when the worker is far behind.
  void Feed(const char* data, size_t size);
  // Waits for the worker. The digest of the prefix and the fed bytes as 32
  // lower-case hexadecimal digits; empty when the file did not hold the
  // whole prefix, or when Start was not called.
  std::u16string Finish();

 private:
  struct Worker;
  void Hand();
  // Ends the worker without a result; never throws.
  void Stop() noexcept;

  std::unique_ptr<Worker> worker_;
  std::vector<char> block_;  // bytes not yet handed to the worker
};

// Receives the rest of a 200 or 206 reply whose head request has just read,
// on its still open connection, into the data file of path at position
// values.rangeStart, in blocks of at most 1024 bytes, and keeps the state
// file current. values.received counts the body bytes written. The
// connection is closed when the body has been read or the peer has ended it.
// A data file longer than the reached position is cut there. When the file
// is complete the state file is deleted and then the data file is moved to
// path, or to a free name beside it (values.placed); otherwise, or when
// either step fails, both stay with the reached position. The state file's
// position never passes the bytes the data file holds.
// Every body byte written is also fed to checksum when it is not null.
// False, with nothing moved or deleted and the connection left open, when
// the directory of path cannot be made or the data file or the state file
// cannot be opened. True otherwise, also for an incomplete transfer.
bool ReceiveToFile(transport::HandsetRequest& request, const char16_t* path,
                   const TransferSource& source, TransferValues& values,
                   TransferKind kind, StreamChecksum* checksum = nullptr);

// Why a received transfer is not in place, for the caller's error record
// (ready: what ReceiveToFile returned); empty when the file took its final
// name.
std::string TransferShortfall(bool ready, const TransferValues& values);

// Where the body of a 200 or 206 reply (with this status) that request has
// just read lies in the file: for 206 the position and size from its
// "Content-Range" ("bytes A-B/N"; B is not used; each number at most 15
// digits and within 32 bits, A not past N), for 200 the whole file from
// position 0 with the reply's Content-Length as its size. The body must
// begin where the request asked (askedFrom: the start of the Range sent, 0
// when none was) and where the data file at dataPath ends or before, so that
// no byte lands out of place. Empty, with *values set, when the range is
// usable; otherwise what is wrong with it, naming both positions, and
// *values untouched.
std::string ReadReplyRange(const transport::HandsetRequest& request,
                           int32_t status, int32_t askedFrom,
                           const std::u16string& dataPath,
                           TransferValues* values);

// Rewrites the line of the UTF-16LE file at path that begins with key as
// key + ": " + value, keeping every other line. The new text is written to
// path + ".tmp" and then takes the file's place. A key that begins no line
// leaves the text as it was. False, with nothing changed, when the file
// cannot be read or holds a line longer than 1023 units.
bool SetKeyLine(const char16_t* path, const char16_t* key,
                const char16_t* value);

// Lowers the "Current-Position" of the state file of the caller's path P to
// position, before the data file is cut there. A state file that cannot be
// rewritten is deleted: no state file is better than one that claims bytes
// the data file lost. False when it is still there, unchanged.
bool LowerStatePosition(const std::u16string& path, int64_t position);

// The 0-based index of the first line of the UTF-16LE file at path that
// begins with key; -1 when there is none or the file cannot be read.
int32_t FindKeyLine(const char16_t* path, const char16_t* key);

// ---------------------------------------------------------------------------
// Archive extraction

// Units of an entry name, the terminator included.
constexpr size_t kArchiveNameUnits = 260;

// One entry of an open archive as ReadEntryInfo describes it. For index -1
// the index field is the number of entries and everything else is 0.
struct ArchiveEntry {
  int32_t index = 0;
  // The entry's path inside the archive after CutEntryName; empty when the
  // name does not fit.
  char16_t name[kArchiveNameUnits] = {};
  uint32_t attributes = 0;  // platform::kAttribute... bits
  uint64_t accessTime = 0;  // UTC file times
  uint64_t creationTime = 0;
  uint64_t writeTime = 0;
  int32_t compressedSize = 0;  // 2^31 - 1 for anything larger
  int32_t uncompressedSize = 0;
};

// Cuts the front of an entry name until it no longer begins with a drive
// ("C:"), a separator, or holds "\..\" (in any mix of separators): each
// time, everything up to and including the first such climb goes. A name
// like "a\..\..\x" still begins with ".." afterwards; IsContainedName
// catches it.
void CutEntryName(std::u16string& name);

// True when name is not empty and none of its path segments is "..".
bool IsContainedName(std::u16string_view name);

struct ArchiveReader;

// A zip archive opened for reading from a local file. Move-less; closes the
// archive and the file on destruction. An archive that cannot be opened or
// read behaves as one without entries.
class Archive {
 public:
  // Relative target paths are taken from this directory.
  static constexpr char16_t kBaseDirectory[] = u"\\";
  // Bytes inflated per read while an entry is copied.
  static constexpr size_t kCopyBufferSize = 16384;

  explicit Archive(const char16_t* path);
  ~Archive();
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // The entry at index (in directory order), or for -1 the number of
  // entries. False for any other index outside the archive or when its
  // directory record cannot be read. Describing the same entry again gives
  // the kept description.
  bool ReadEntryInfo(int32_t index, ArchiveEntry* entry);

  // Extracts the entry at index to targetPath (a handset path; a relative
  // one is taken from kBaseDirectory). A directory entry, or a name ending
  // in a separator, makes the directories. A file entry makes the missing
  // directories above it, replaces an existing file (a read-only one is not
  // replaced: failure), writes the inflated bytes and then sets the entry's
  // times. False when the file cannot be created, the entry is encrypted
  // (no password is ever supplied), or reading or writing fails; the part
  // already written stays. A CRC mismatch is not a failure.
  // The target file is never the archive itself (under whatever name or
  // link): such an entry fails.
  bool ExtractEntry(int32_t index, const char16_t* targetPath);

  // Bytes the entries need on a file system with this block size: the
  // declared uncompressed sizes, each rounded up to whole blocks, and one
  // block for every directory or empty file.
  uint64_t SpaceNeeded(uint64_t blockSize);

 private:
  bool GoTo(int32_t index);

  std::unique_ptr<ArchiveReader> reader_;  // the archive file
  void* zip_ = nullptr;                    // minizip's unzFile
  int32_t count_ = 0;
  int32_t current_ = -1;  // the entry minizip stands on; -1 before the first
  ArchiveEntry described_;
  bool describedValid_ = false;
  bool encrypted_ = false;  // of the described entry
  std::vector<unsigned char> extra_;
  std::vector<char> copyBuffer_;  // allocated at the first extraction
  platform::FileId id_;           // of the archive file
  bool haveId_ = false;
};

// Makes every missing directory along path (base + path when base is not
// null, creating base itself first when it is missing). Failures are not
// reported: the file creation that follows fails instead.
void EnsureDirectories(const char16_t* base, const std::u16string& path);

// Unpacks the archive at archivePath into targetDirectory, creating that
// directory (one level) when it is missing. Entries are extracted in
// directory order; one that fails, or whose name after the cuts is empty,
// still climbs with "..", would make a path longer than kMaxPathUnits, or
// names the archive itself, prints "unzip fail\n" on standard output and the
// next one follows. Nothing is written outside targetDirectory. When the
// declared sizes of the entries (see Archive::SpaceNeeded) pass the free
// space of the target's file system, nothing is extracted and every entry
// fails. No entry writes more than its declared size (the zip reader stops
// there). 0 when the archive was
// processed (also when it could not be opened), -1 when the target
// directory was missing and could not be created.
int32_t ExtractArchive(const char16_t* archivePath,
                       const char16_t* targetDirectory);

// ---------------------------------------------------------------------------
// The operations

// Runs the download operation.
int32_t HandsetDownload(const char16_t* environmentFile, DownloadRecord* record,
                        DownloadResult* result, HandsetError* error,
                        const char16_t* localPath, const char16_t* url,
                        int32_t port, const char16_t* secondUrl,
                        int32_t secondPort);

// Runs the package load operation.
int32_t HandsetLoad(const char16_t* environmentFile, const LoadRecord* record,
                    LoadResult* result, HandsetError* error,
                    const char16_t* url, int32_t port);

}  // namespace vesk::transfer
