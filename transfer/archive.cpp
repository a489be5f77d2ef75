// Archive extraction: unpacks a zip package into a target directory.
//
// Reading the archive directory, inflating and the CRC are minizip's work;
// this file decides what reaches the file system. Entry names are cut at
// their front until they are relative, and a name that could still climb
// out of the target directory is refused, so an archive never writes outside
// it. Attributes and times of the entries carry over to the files made.
#include <unzip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

// The archive file as minizip sees it: a position of its own and read
// buffers over the open file. minizip alternates between the central
// directory at the end of the archive and the entries' local headers and
// data, so two buffers are kept, and a refill replaces the one used less
// recently.
struct ArchiveReader {
  struct Window {
    std::vector<char> bytes;
    int64_t start = 0;  // file position of bytes[0]
    size_t length = 0;  // valid bytes
    uint64_t used = 0;  // when it last served a read
  };

  platform::File file;
  int64_t size = 0;
  int64_t position = 0;
  Window windows[2];
  uint64_t clock = 0;

  size_t Read(void* target, size_t size);
};

namespace {

// "unzip fail\n" goes to standard output for every entry that fails.
constexpr char kEntryFailedLine[] = "unzip fail\n";

// The 1601-to-1970 offset in 100-ns units, and the units in a second.
constexpr uint64_t kUnixEpochFileTime = 0x019DB1DED53E8000ull;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;

// Version-made-by host systems whose external attributes hold DOS
// attribute bits: MS-DOS, Macintosh, NTFS, VFAT. Every other host (Unix
// above all) keeps its mode bits in the high half.
bool HasDosAttributes(uint32_t host) {
  return host == 0 || host == 7 || host == 11 || host == 14;
}

// minizip reads its headers a few bytes at a time; a buffer in front of the
// file keeps that from becoming a system call per field. Reads of a whole
// buffer or more (the compressed data) go to the file directly.
constexpr size_t kReadBufferSize = 64 * 1024;

// No exception may pass through minizip, which is C: a read buffer that
// cannot be had is a failed read.
uLong ReadArchiveFile(voidpf, voidpf stream, void* buffer, uLong size) {
  try {
    return static_cast<uLong>(
        static_cast<ArchiveReader*>(stream)->Read(buffer, size));
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

uLong WriteArchiveFile(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T TellArchiveFile(voidpf, voidpf stream) {
  return static_cast<ZPOS64_T>(static_cast<ArchiveReader*>(stream)->position);
}

long SeekArchiveFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* reader = static_cast<ArchiveReader*>(stream);
  int64_t from = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) from = reader->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) from = reader->size;
  if (offset > static_cast<ZPOS64_T>(INT64_MAX - from)) return -1;
  reader->position = from + static_cast<int64_t>(offset);
  return 0;
}

// The reader is owned by the archive object; minizip's open and close only
// hand it over.
voidpf OpenArchiveFile(voidpf, const void* reader, int) {
  return const_cast<void*>(reader);
}
int CloseArchiveFile(voidpf, voidpf) { return 0; }
int ArchiveFileError(voidpf, voidpf) { return 0; }

// A DOS date and time (date in the high half) as local time, to UTC.
platform::FileTime DosTimeToFileTime(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  platform::SystemTime local{};
  local.year = static_cast<uint16_t>(((date >> 9) & 0x7F) + 1980);
  local.month = static_cast<uint16_t>((date >> 5) & 0x0F);
  local.day = static_cast<uint16_t>(date & 0x1F);
  local.hour = static_cast<uint16_t>((time >> 11) & 0x1F);
  local.minute = static_cast<uint16_t>((time >> 5) & 0x3F);
  local.second = static_cast<uint16_t>((time & 0x1F) * 2);
  platform::FileTime localTime = 0;
  platform::FileTime utc = 0;
  if (!platform::SystemTimeToFileTime(local, &localTime) ||
      !platform::LocalFileTimeToFileTime(localTime, &utc)) {
    return 0;
  }
  return utc;
}

uint32_t LittleEndian16(const unsigned char* bytes) {
  return bytes[0] | (uint32_t{bytes[1]} << 8);
}

uint32_t LittleEndian32(const unsigned char* bytes) {
  return LittleEndian16(bytes) | (LittleEndian16(bytes + 2) << 16);
}

// Takes the times of a "UT" block (flags byte, then the write, access and
// creation seconds since 1970 that the flags announce) from a local extra
// field. Times the block does not carry stay as they are.
void ReadExtendedTimes(const unsigned char* field, size_t size,
                       ArchiveEntry* entry) {
  if (size < 5) return;
  size_t at = 0;
  while (size - at >= 4) {
    const uint32_t tag = LittleEndian16(field + at);
    const size_t length = LittleEndian16(field + at + 2);
    const unsigned char* data = field + at + 4;
    const size_t available = size - at - 4;
    if (tag == 0x5455 /* "UT" */) {
      const size_t usable = length < available ? length : available;
      if (usable < 1) return;
      const uint32_t flags = data[0];
      size_t next = 1;
      platform::FileTime* targets[3] = {&entry->writeTime, &entry->accessTime,
                                        &entry->creationTime};
      for (int bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (usable - next < 4) return;
        const uint32_t seconds = LittleEndian32(data + next);
        *targets[bit] = seconds * kFileTimeUnitsPerSecond + kUnixEpochFileTime;
        next += 4;
      }
      return;
    }
    if (length > available) return;
    at += 4 + length;
  }
}

}  // namespace

size_t ArchiveReader::Read(void* target, size_t wanted) {
  auto* out = static_cast<char*>(target);
  size_t done = 0;
  while (done < wanted && position < size) {
    Window* hit = nullptr;
    for (Window& window : windows) {
      if (position >= window.start &&
          position < window.start + static_cast<int64_t>(window.length)) {
        hit = &window;
      }
    }
    if (hit != nullptr) {
      const size_t at = static_cast<size_t>(position - hit->start);
      const size_t take = std::min(wanted - done, hit->length - at);
      std::memcpy(out + done, hit->bytes.data() + at, take);
      hit->used = ++clock;
      done += take;
      position += static_cast<int64_t>(take);
      continue;
    }
    if (file.Seek(position, platform::File::From::kBegin) < 0) break;
    if (wanted - done >= kReadBufferSize) {
      const int64_t got = file.Read(out + done, wanted - done);
      if (got <= 0) break;
      done += static_cast<size_t>(got);
      position += got;
      continue;
    }
    Window& refill =
        windows[0].used <= windows[1].used ? windows[0] : windows[1];
    refill.bytes.resize(kReadBufferSize);
    const int64_t got = file.Read(refill.bytes.data(), refill.bytes.size());
    if (got <= 0) break;
    refill.start = position;
    refill.length = static_cast<size_t>(got);
  }
  return done;
}

// ---------------------------------------------------------------------------
// Entry names

void CutEntryName(std::u16string& name) {
  static constexpr std::u16string_view kClimbs[] = {u"\\..\\", u"\\../",
                                                    u"/../", u"/..\\"};
  for (;;) {
    if (name.size() >= 2 && name[1] == u':') {
      name.erase(0, 2);
      continue;
    }
    if (!name.empty() && IsSeparator(name[0])) {
      name.erase(0, 1);
      continue;
    }
    bool cut = false;
    for (const std::u16string_view climb : kClimbs) {
      const size_t at = name.find(climb);
      if (at != std::u16string::npos) {
        name.erase(0, at + climb.size());
        cut = true;
        break;
      }
    }
    if (!cut) return;
  }
}

bool IsContainedName(std::u16string_view name) {
  if (name.empty()) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (name.substr(start, end - start) == u"..") return false;
    start = end + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The archive

Archive::Archive(const char16_t* path) {
  std::u16string name;
  if (!TakePath(path, &name) || name.empty()) return;
  auto reader = std::make_unique<ArchiveReader>();
  reader->file = platform::File::Open(name, platform::Access::kRead,
                                      platform::Disposition::kOpenExisting);
  if (!reader->file.IsOpen()) return;
  reader->size = reader->file.Size();
  if (reader->size < 0) return;
  haveId_ = reader->file.GetId(&id_);
  reader_ = std::move(reader);
  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenArchiveFile;
  functions.zread_file = ReadArchiveFile;
  functions.zwrite_file = WriteArchiveFile;
  functions.ztell64_file = TellArchiveFile;
  functions.zseek64_file = SeekArchiveFile;
  functions.zclose_file = CloseArchiveFile;
  functions.zerror_file = ArchiveFileError;
  zip_ = unzOpen2_64(reader_.get(), &functions);
  if (zip_ == nullptr) return;
  unz_global_info64 info{};
  if (unzGetGlobalInfo64(zip_, &info) != UNZ_OK ||
      info.number_entry > static_cast<ZPOS64_T>(INT32_MAX)) {
    unzClose(zip_);
    zip_ = nullptr;
    return;
  }
  count_ = static_cast<int32_t>(info.number_entry);
}

Archive::~Archive() {
  if (zip_ != nullptr) unzClose(zip_);
}

bool Archive::GoTo(int32_t index) {
  if (current_ < 0 || index < current_) {
    if (unzGoToFirstFile(zip_) != UNZ_OK) return false;
    current_ = 0;
  }
  while (current_ < index) {
    if (unzGoToNextFile(zip_) != UNZ_OK) {
      current_ = -1;
      return false;
    }
    ++current_;
  }
  return true;
}

uint64_t Archive::SpaceNeeded(uint64_t blockSize) {
  if (blockSize == 0) blockSize = 1;
  uint64_t needed = 0;
  current_ = -1;  // minizip is moved here; GoTo starts over afterwards
  for (int status = count_ > 0 ? unzGoToFirstFile(zip_)
                               : UNZ_END_OF_LIST_OF_FILE;
       status == UNZ_OK; status = unzGoToNextFile(zip_)) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr,
                                0) != UNZ_OK) {
      break;
    }
    // Every file takes whole blocks, and a directory at least one.
    const uint64_t blocks =
        info.uncompressed_size / blockSize +
        (info.uncompressed_size % blockSize != 0 || info.size_filename == 0 ||
         info.uncompressed_size == 0);
    needed = blocks > (UINT64_MAX - needed) / blockSize
                 ? UINT64_MAX
                 : needed + blocks * blockSize;
  }
  return needed;
}

bool Archive::ReadEntryInfo(int32_t index, ArchiveEntry* entry) {
  if (index == -1) {
    *entry = ArchiveEntry();
    entry->index = count_;
    return true;
  }
  if (index < -1 || index >= count_) return false;
  if (index == described_.index && describedValid_) {
    *entry = described_;
    return true;
  }
  if (!GoTo(index)) return false;
  unz_file_info64 info{};
  if (unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr,
                              0) != UNZ_OK) {
    return false;
  }
  std::string nameBytes(info.size_filename, '\0');
  if (unzGetCurrentFileInfo64(zip_, &info, nameBytes.data(),
                              static_cast<uLong>(nameBytes.size()), nullptr, 0,
                              nullptr, 0) != UNZ_OK) {
    return false;
  }

  ArchiveEntry next;
  next.index = index;
  // Bytes after a zero byte cannot be part of a file name.
  nameBytes.resize(std::strlen(nameBytes.c_str()));
  std::u16string name;
  if (!nameBytes.empty()) {
    const int units = platform::MultiByteToWide(
        platform::kAnsiCodePage, nameBytes.data(),
        static_cast<int>(nameBytes.size()), nullptr, 0);
    name.resize(units > 0 ? static_cast<size_t>(units) : 0);
    if (units > 0) {
      (void)platform::MultiByteToWide(platform::kAnsiCodePage, nameBytes.data(),
                                      static_cast<int>(nameBytes.size()),
                                      name.data(), units);
    }
  }
  CutEntryName(name);
  // A name that does not fit the entry's field is left empty, which no
  // extraction accepts; a cut name could reach another file.
  if (name.size() < kArchiveNameUnits) {
    std::memcpy(next.name, name.data(), name.size() * sizeof(char16_t));
  }

  const uint32_t attributes = static_cast<uint32_t>(info.external_fa);
  const uint32_t host = static_cast<uint32_t>(info.version >> 8) & 0xFF;
  if (HasDosAttributes(host)) {
    next.attributes =
        attributes &
        (platform::kAttributeReadOnly | platform::kAttributeHidden |
         platform::kAttributeSystem | platform::kAttributeDirectory |
         platform::kAttributeArchive);
  } else {
    next.attributes = platform::kAttributeArchive;
    if ((attributes & (1u << 30)) != 0) {
      next.attributes |= platform::kAttributeDirectory;
    }
    if ((attributes & (1u << 23)) == 0) {
      next.attributes |= platform::kAttributeReadOnly;
    }
  }

  const platform::FileTime dosTime =
      DosTimeToFileTime(static_cast<uint32_t>(info.dosDate));
  next.accessTime = next.creationTime = next.writeTime = dosTime;
  // The "UT" times are in the local header's extra field, which minizip
  // reads when the entry's data is opened.
  if (unzOpenCurrentFile(zip_) == UNZ_OK) {
    const int size = unzGetLocalExtrafield(zip_, nullptr, 0);
    if (size > 0) {
      extra_.resize(static_cast<size_t>(size));
      const int got = unzGetLocalExtrafield(zip_, extra_.data(),
                                            static_cast<unsigned>(size));
      if (got > 0) {
        ReadExtendedTimes(extra_.data(), static_cast<size_t>(got), &next);
      }
    }
    (void)unzCloseCurrentFile(zip_);
  }
  next.compressedSize = info.compressed_size > INT32_MAX
                            ? INT32_MAX
                            : static_cast<int32_t>(info.compressed_size);
  next.uncompressedSize = info.uncompressed_size > INT32_MAX
                              ? INT32_MAX
                              : static_cast<int32_t>(info.uncompressed_size);
  encrypted_ = (info.flag & 1) != 0;
  described_ = next;
  describedValid_ = true;
  *entry = next;
  return true;
}

bool Archive::ExtractEntry(int32_t index, const char16_t* targetPath) {
  ArchiveEntry entry;
  if (!ReadEntryInfo(index, &entry) || targetPath == nullptr) return false;
  const std::u16string target(targetPath);
  if (target.empty()) return false;
  const bool absolute =
      IsSeparator(target[0]) || (target.size() >= 2 && target[1] == u':');
  const char16_t* base = absolute ? nullptr : kBaseDirectory;

  // A name that ends in a separator names a directory whatever the
  // attributes say; there is no file name to create.
  if ((entry.attributes & platform::kAttributeDirectory) != 0 ||
      IsSeparator(target.back())) {
    EnsureDirectories(base, target);
    return true;
  }

  size_t split = target.size();
  while (split > 0 && !IsSeparator(target[split - 1])) --split;
  const std::u16string directory = target.substr(0, split);
  const std::u16string fullPath =
      (absolute ? std::u16string() : std::u16string(kBaseDirectory)) + target;
  EnsureDirectories(base, directory);
  // The file is opened before it is emptied, so that the archive being
  // read, under whatever name or link leads to it, is recognised and never
  // written over.
  platform::File file = platform::File::Open(
      fullPath, platform::Access::kWrite, platform::Disposition::kOpenAlways,
      entry.attributes == 0 ? platform::kAttributeNormal : entry.attributes);
  if (!file.IsOpen()) return false;
  const bool existed =
      platform::GetLastError() == platform::kErrorAlreadyExists;
  platform::FileId opened;
  if (existed && haveId_ && (!file.GetId(&opened) || opened == id_)) {
    return false;
  }
  if (existed && !file.SetEndOfFile()) return false;
  if (!GoTo(index)) return false;
  // No password is ever supplied: an encrypted entry fails as its password
  // check would.
  if (encrypted_ || unzOpenCurrentFile(zip_) != UNZ_OK) return false;
  if (copyBuffer_.empty()) copyBuffer_.resize(kCopyBufferSize);
  bool done = false;
  for (;;) {
    const int got = unzReadCurrentFile(zip_, copyBuffer_.data(),
                                       static_cast<unsigned>(kCopyBufferSize));
    if (got < 0) break;
    if (got == 0) {
      // The end of the entry: the times go on after the last write, which
      // would otherwise move the write time. Times the file system cannot
      // keep do not fail the entry.
      done = unzeof(zip_) == 1;
      if (done) {
        (void)file.SetTimes(&entry.creationTime, &entry.accessTime,
                            &entry.writeTime);
      }
      break;
    }
    if (!file.Write(copyBuffer_.data(), static_cast<size_t>(got))) break;
  }
  file.Close();
  // A CRC mismatch reported here does not fail the entry.
  (void)unzCloseCurrentFile(zip_);
  return done;
}

// ---------------------------------------------------------------------------

void EnsureDirectories(const char16_t* base, const std::u16string& path) {
  const std::u16string prefix = base == nullptr ? std::u16string() : base;
  if (base != nullptr &&
      platform::GetFileAttributes(prefix) == platform::kInvalidAttributes) {
    (void)platform::CreateDirectory(prefix);
  }
  size_t last = path.size();
  while (last > 0 && !IsSeparator(path[last - 1])) --last;
  if (last > 1) EnsureDirectories(base, path.substr(0, last - 1));
  const std::u16string directory = prefix + path;
  if (!directory.empty() &&
      platform::GetFileAttributes(directory) == platform::kInvalidAttributes) {
    (void)platform::CreateDirectory(directory);
  }
}

int32_t ExtractArchive(const char16_t* archivePath,
                       const char16_t* targetDirectory) {
  std::u16string target;
  if (archivePath == nullptr || !TakePath(targetDirectory, &target)) return -1;
  if (service::ProbePath(target.c_str()) == 0 &&
      !platform::CreateDirectory(target)) {
    return -1;
  }
  if (target.empty() || !IsSeparator(target.back())) target += u'\\';

  Archive archive(archivePath);
  ArchiveEntry count;
  if (!archive.ReadEntryInfo(-1, &count)) count.index = 0;
  // An archive that cannot fit the target's file system is not begun: a
  // full disk would leave part of the package behind, and nothing for the
  // rest.
  uint64_t freeBytes = 0;
  uint64_t blockSize = 0;
  const bool fits =
      count.index == 0 ||
      !platform::GetDiskFreeSpace(target, &freeBytes, &blockSize) ||
      archive.SpaceNeeded(blockSize) <= freeBytes;
  for (int32_t index = 0; index < count.index; ++index) {
    ArchiveEntry entry;
    bool extracted = false;
    // Memory that runs out fails the entry it happens in, as any other
    // failure of an entry does.
    try {
      if (fits && archive.ReadEntryInfo(index, &entry)) {
        const std::u16string name(entry.name);
        // Nothing outside the target directory: a name the cuts left empty
        // or climbing, or a path past the handset's limit, fails its entry
        // before anything is made.
        if (IsContainedName(name) &&
            target.size() + name.size() <= kMaxPathUnits) {
          extracted = archive.ExtractEntry(index, (target + name).c_str());
        }
      }
    } catch (const std::bad_alloc&) {
      extracted = false;
    }
    if (!extracted) {
      std::fputs(kEntryFailedLine, stdout);
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace vesk::transfer
