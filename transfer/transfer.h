// Content transfers: the download and the package load, and the local file
// utilities they (and the environment writer) use.
#pragma once

#include <cstdint>

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

// Deletes the file at path. False (last error kErrorNamesDirectory) when the
// path names only directories; otherwise true, whether or not a file was
// there to delete.
bool DeleteLocalFile(const char16_t* path);

// Appends text and one line feed to the file, creating it when missing.
// False when the file cannot be opened or written.
bool AppendLine(const char16_t* path, const transport::ByteString& text);

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
