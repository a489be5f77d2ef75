// The data file and the state file of a transfer, and the receive loop that
// fills them.
//
// The state file is UTF-16LE text without a byte order mark, one
// "Key: value" line each, every line ending in U+000A:
//   Start-Time, URL, Port, Key (download only), Save-File, File-Size,
//   Current-Position
// It is written whole when a receive starts; afterwards only its
// "Current-Position" line changes, through SetKeyLine. The data file holds
// the bytes of the file at their final positions.
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

const char16_t kDataSuffix[] = u".Down";
const char16_t kStateSuffix[] = u".Down.cfg";

namespace {

constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kPositionKey[] = u"Current-Position";
constexpr char16_t kScratchSuffix[] = u".tmp";
// Longest line the rewrite takes, line feed not counted.
constexpr size_t kMaxLineUnits = 1023;
// Size of one receive, as every exchange of the library reads.
constexpr int32_t kBlockSize = 1024;
// A download rewrites "Current-Position" at most this often while data
// arrives.
constexpr uint32_t kPositionIntervalMs = 30000;
// Received blocks are gathered up to this size before they go to the file
// system: one write for 64 blocks instead of one for each.
constexpr size_t kWriteBufferSize = 64 * 1024;

std::u16string Decimal(int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// ANSI text as UTF-16; empty when it cannot be converted.
std::u16string Widen(const char* text) {
  if (text == nullptr || *text == '\0') return std::u16string();
  const int needed =
      platform::MultiByteToWide(platform::kAnsiCodePage, text, -1, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  if (platform::MultiByteToWide(platform::kAnsiCodePage, text, -1, wide.data(),
                                needed) <= 0) {
    return std::u16string();
  }
  wide.resize(std::char_traits<char16_t>::length(wide.c_str()));
  return wide;
}

std::string ToUtf16Le(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// The whole UTF-16LE file as units (an odd last byte is no unit); false when
// it cannot be opened or read.
bool ReadUtf16File(const std::u16string& path, std::u16string* text) {
  platform::File file = platform::File::Open(
      path, platform::Access::kRead, platform::Disposition::kOpenExisting);
  if (!file.IsOpen()) return false;
  std::string bytes;
  char chunk[4096];
  for (;;) {
    const int64_t got = file.Read(chunk, sizeof chunk);
    if (got < 0) return false;
    if (got == 0) break;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  text->clear();
  text->reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text->push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                              static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return true;
}

// The lines of a text, each without its line feed; a last line without one
// counts as a line too.
std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  while (!text.empty()) {
    const size_t feed = text.find(kLineFeed);
    if (feed == std::u16string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, feed));
    text.remove_prefix(feed + 1);
  }
  return lines;
}

int32_t FirstLineWith(const std::vector<std::u16string_view>& lines,
                      std::u16string_view key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].substr(0, key.size()) == key) return static_cast<int32_t>(i);
  }
  return -1;
}

// Gathers written blocks and hands them to the data file in larger writes.
// Counts the bytes the file has taken, so that a position recorded in the
// state file never runs ahead of the data file.
class DataWriter {
 public:
  DataWriter(platform::File& file, size_t capacity)
      : file_(file),
        buffer_(capacity > 0 ? std::make_unique<char[]>(capacity) : nullptr),
        capacity_(capacity) {}
  ~DataWriter() { (void)Flush(); }
  DataWriter(const DataWriter&) = delete;
  DataWriter& operator=(const DataWriter&) = delete;

  [[nodiscard]] bool Write(const char* data, size_t size) {
    if (failed_) return false;
    if (filled_ + size > capacity_ && !Flush()) return false;
    if (size >= capacity_) return Put(data, size);
    std::memcpy(buffer_.get() + filled_, data, size);
    filled_ += size;
    return true;
  }

  [[nodiscard]] bool Flush() {
    if (failed_) return false;
    const size_t filled = filled_;
    filled_ = 0;
    return filled == 0 || Put(buffer_.get(), filled);
  }

  // Bytes the data file has taken so far.
  int64_t Written() const { return written_; }

 private:
  bool Put(const char* data, size_t size) {
    if (!file_.Write(data, size)) {
      failed_ = true;
      return false;
    }
    written_ += static_cast<int64_t>(size);
    return true;
  }

  platform::File& file_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_;
  size_t filled_ = 0;
  int64_t written_ = 0;
  bool failed_ = false;
};

// Deletes a scratch file when it goes out of scope, unless it was kept.
class ScratchFile {
 public:
  explicit ScratchFile(const std::u16string& path) : path_(path) {}
  ~ScratchFile() {
    if (kept_) return;
    try {
      (void)platform::DeleteFile(path_);
    } catch (...) {  // out of memory while unwinding: the file stays
    }
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  void Keep() { kept_ = true; }

 private:
  const std::u16string& path_;
  bool kept_ = false;
};

// The state file as a receive creates it.
std::u16string StateText(const std::u16string& dataPath,
                         const TransferSource& source,
                         const TransferValues& values, TransferKind kind) {
  std::u16string text;
  auto line = [&text](std::u16string_view key, std::u16string_view value) {
    text.append(key).append(u": ").append(value).push_back(kLineFeed);
  };
  line(u"Start-Time", Widen(service::FormatTimestamp().c_str()));
  line(u"URL", Widen(source.url));
  line(u"Port", Decimal(source.port));
  if (kind == TransferKind::kDownload) {
    line(u"Key", Widen(service::Env().ContentKeys().c_str()));
  }
  line(u"Save-File", dataPath);
  line(u"File-Size", Decimal(values.fileSize));
  line(kPositionKey, Decimal(values.rangeStart));
  return text;
}

void RecordPosition(const std::u16string& statePath,
                    const TransferValues& values) {
  const std::u16string position =
      Decimal(int64_t{values.rangeStart} + values.received);
  (void)SetKeyLine(statePath.c_str(), kPositionKey, position.c_str());
}

// Bytes of the data file beyond the position a receive reached are left
// from an older transfer: they would spoil the checksum that proves the
// file on a resume, and the finished file. They go.
void CutToSize(const std::u16string& dataPath, int32_t fileSize) {
  platform::File file =
      platform::File::Open(dataPath, platform::Access::kReadWrite,
                           platform::Disposition::kOpenExisting);
  if (!file.IsOpen() || file.Size() <= fileSize) return;
  if (file.Seek(fileSize, platform::File::From::kBegin) == fileSize) {
    (void)file.SetEndOfFile();
  }
}

}  // namespace

bool ReceiveToFile(transport::HandsetRequest& request, const char16_t* path,
                   const TransferSource& source, TransferValues& values,
                   TransferKind kind, StreamChecksum* checksum) {
  std::u16string target;
  // An empty path would name the transfer files after the suffixes alone.
  if (!TakePath(path, &target) || target.empty()) return false;
  const std::u16string dataPath = target + kDataSuffix;
  const std::u16string statePath = target + kStateSuffix;
  if (statePath.size() > kMaxPathUnits) {
    platform::SetLastError(platform::kErrorFilenameTooLong);
    return false;
  }
  if (!EnsureFileDirectory(target.c_str())) return false;

  // The body is written in place at its position, which the data file must
  // reach: bytes written anywhere else would sit beside the ones they
  // belong after.
  platform::File data =
      platform::File::Open(dataPath, platform::Access::kReadWrite,
                           platform::Disposition::kOpenAlways);
  if (!data.IsOpen() || data.Size() < values.rangeStart ||
      data.Seek(values.rangeStart, platform::File::From::kBegin) !=
          values.rangeStart) {
    return false;
  }
  {
    platform::File state =
        platform::File::Open(statePath, platform::Access::kWrite,
                             platform::Disposition::kCreateAlways);
    if (!state.IsOpen()) return false;
    const std::string bytes =
        ToUtf16Le(StateText(dataPath, source, values, kind));
    if (!state.Write(bytes.data(), bytes.size())) {
      state.Close();
      (void)DeleteLocalFile(statePath.c_str());
      return false;
    }
  }

  values.received = 0;
  values.placed = false;
  // A load hands every block to the file system at once; a download gathers
  // them and brings the file up to date whenever it records a position.
  DataWriter writer(data, kind == TransferKind::kLoad ? 0 : kWriteBufferSize);
  bool writing = true;
  auto take = [&](const char* bytes, int32_t size) {
    if (size <= 0 || !writing) return;
    // Positions are 32-bit: a body that would pass that limit ends here.
    if (int64_t{values.rangeStart} + values.received + size > INT32_MAX) {
      writing = false;
      return;
    }
    writing = writer.Write(bytes, static_cast<size_t>(size));
    if (!writing) return;
    values.received += size;
    if (checksum != nullptr) checksum->Feed(bytes, static_cast<size_t>(size));
  };
  auto record = [&] {
    if (!writer.Flush()) writing = false;
    if (!writing) values.received = static_cast<int32_t>(writer.Written());
    RecordPosition(statePath, values);
  };

  // The body bytes that came with the head: as many as the content length
  // asks for, within what arrived.
  const int32_t contentLength = request.ContentLength();
  const int32_t room =
      transport::HandsetRequest::kAreaSize - request.HeadLength();
  int32_t first = contentLength < room ? contentLength : room;
  if (first > request.FirstBodyLength()) first = request.FirstBodyLength();
  take(request.Body(), first);
  record();

  uint32_t recorded = platform::GetTickCount();
  char block[kBlockSize];
  while (writing && static_cast<uint32_t>(values.received) <
                        static_cast<uint32_t>(contentLength)) {
    const int32_t got = request.Receive(block, kBlockSize);
    if (got <= 0) break;
    take(block, got);
    if (kind == TransferKind::kDownload) {
      const uint32_t now = platform::GetTickCount();
      if (now - recorded > kPositionIntervalMs) {
        record();
        recorded = now;
      }
    }
  }
  record();
  data.Close();
  request.CloseConnection();

  const int32_t reached = values.rangeStart + values.received;
  CutToSize(dataPath, reached);
  if (reached == values.fileSize) {
    // The state file goes first, so that it never names a data file that
    // has already left for its final name.
    (void)DeleteLocalFile(statePath.c_str());
    values.placed = service::ProbePath(statePath.c_str()) == 0 &&
                    MoveToFreeName(dataPath.c_str(), target.c_str());
  }
  return true;
}

bool SetKeyLine(const char16_t* path, const char16_t* key,
                const char16_t* value) {
  std::u16string name;
  std::u16string text;
  if (key == nullptr || value == nullptr || !TakePath(path, &name) ||
      !ReadUtf16File(name, &text)) {
    return false;
  }
  const std::vector<std::u16string_view> lines = SplitLines(text);
  for (const std::u16string_view line : lines) {
    if (line.size() > kMaxLineUnits) return false;
  }
  const std::u16string_view keyText(key);
  const int32_t index = FirstLineWith(lines, keyText);

  std::u16string rewritten;
  rewritten.reserve(text.size() + 32);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (static_cast<int32_t>(i) == index) {
      rewritten.append(keyText).append(u": ").append(value);
    } else {
      rewritten.append(lines[i]);
    }
    rewritten.push_back(kLineFeed);
  }

  const std::string bytes = ToUtf16Le(rewritten);
  const std::u16string scratch = name + kScratchSuffix;
  // From here the scratch file never stays behind, whatever fails (memory
  // included): it takes the file's name, or it goes.
  ScratchFile guard(scratch);
  {
    platform::File file =
        platform::File::Open(scratch, platform::Access::kWrite,
                             platform::Disposition::kCreateAlways);
    if (!file.IsOpen() || !file.Write(bytes.data(), bytes.size())) {
      return false;
    }
  }
  // The new text takes the old one's name, never a free name beside it.
  (void)DeleteLocalFile(name.c_str());
  if (service::ProbePath(name.c_str()) != 0 ||
      !platform::MoveFile(scratch, name)) {
    return false;
  }
  guard.Keep();
  return true;
}

std::string TransferShortfall(bool ready, const TransferValues& values) {
  if (!ready) return "the data file or the state file could not be made";
  const int64_t reached = int64_t{values.rangeStart} + values.received;
  if (reached < values.fileSize) {
    return "the transfer stopped at byte " + std::to_string(reached) + " of " +
           std::to_string(values.fileSize);
  }
  if (!values.placed) return "the finished file could not take its name";
  return std::string();
}

bool LowerStatePosition(const std::u16string& path, int64_t position) {
  const std::u16string statePath = path + kStateSuffix;
  if (service::ProbePath(statePath.c_str()) == 0) return true;
  if (SetKeyLine(statePath.c_str(), kPositionKey, Decimal(position).c_str())) {
    return true;
  }
  (void)DeleteLocalFile(statePath.c_str());
  return service::ProbePath(statePath.c_str()) == 0;
}

int32_t FindKeyLine(const char16_t* path, const char16_t* key) {
  std::u16string name;
  std::u16string text;
  if (key == nullptr || !TakePath(path, &name) || !ReadUtf16File(name, &text)) {
    return -1;
  }
  return FirstLineWith(SplitLines(text), key);
}

}  // namespace vesk::transfer
