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
#include <string>

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
// as the reply states it. Complete when rangeStart + received == fileSize.
struct TransferValues {
  int32_t rangeStart = 0;
  int32_t received = 0;
  int32_t fileSize = 0;
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

// Receives the rest of a 200 or 206 reply whose head request has just read,
// on its still open connection, into the data file of path at position
// values.rangeStart, in blocks of at most 1024 bytes, and keeps the state
// file current. values.received counts the body bytes written. The
// connection is closed when the body has been read or the peer has ended it.
// A data file longer than the reached position is cut there. When the file
// is complete the data file is moved to path, or to a free name beside it,
// and the state file is deleted; otherwise both stay with the reached
// position.
// False, with nothing moved or deleted and the connection left open, when
// the directory of path cannot be made or the data file or the state file
// cannot be opened. True otherwise, also for an incomplete transfer.
bool ReceiveToFile(transport::HandsetRequest& request, const char16_t* path,
                   const TransferSource& source, TransferValues& values,
                   TransferKind kind);

// Rewrites the line of the UTF-16LE file at path that begins with key as
// key + ": " + value, keeping every other line. The new text is written to
// path + ".tmp" and then takes the file's place. A key that begins no line
// leaves the text as it was. False, with nothing changed, when the file
// cannot be read or holds a line longer than 1023 units.
bool SetKeyLine(const char16_t* path, const char16_t* key,
                const char16_t* value);

// The 0-based index of the first line of the UTF-16LE file at path that
// begins with key; -1 when there is none or the file cannot be read.
int32_t FindKeyLine(const char16_t* path, const char16_t* key);

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
