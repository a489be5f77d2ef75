// The save operation: one POST whose multipart/form-data body is streamed
// after the request head, part by part, with file contents read from the file
// system and sent in 1024-byte pieces.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"
#include "upload/upload.h"

namespace vesk::upload {

namespace {

using service::ByteString;

// 27 hyphens and "7d", then 11 random characters: 40 in all.
constexpr char kBoundaryPrefix[] = "---------------------------7d";
constexpr int32_t kBoundaryRandomLength = 11;
constexpr size_t kBoundaryLength =
    sizeof kBoundaryPrefix - 1 + kBoundaryRandomLength;
// "--", the boundary and CR LF before every part; "--", the boundary, "--"
// and CR LF at the end.
constexpr uint64_t kDelimiterLength = 2 + kBoundaryLength + 2;
constexpr uint64_t kClosingLength = 2 + kBoundaryLength + 2 + 2;
static_assert(kDelimiterLength == 44 && kClosingLength == 46);

// Conversion buffers of the caller's texts, terminator included.
constexpr size_t kPathBufferSize = 260;
constexpr size_t kActionBufferSize = 256;
// The table holds one slot more than the entries accepted: part names carry
// one-digit entry numbers.
constexpr int32_t kTableSlots = 10;
static_assert(VESK80_SAVE_MAX_ENTRIES < kTableSlots);
// Bytes of file content per send.
constexpr size_t kPieceSize = 1024;
// Bytes of file content per read: sixteen pieces, so that the file is not
// asked for every piece separately. Still never the whole file in memory.
constexpr size_t kReadBlockSize = 16 * kPieceSize;

struct UploadEntry {
  uint32_t partHeaderLength = 0;
  uint32_t fileSize = 0;            // content bytes to send; 0 for a delete
  char path[kPathBufferSize] = {};  // ANSI
  char partName[8] = {};            // "update1", "delete2", ...
};

bool IsUpdate(const UploadEntry& entry) {
  return std::strncmp(entry.partName, "update", 6) == 0;
}

class HandsetSaveRequest : public service::OperationRequest {
 public:
  HandsetSaveRequest() { ResetRequest(); }
  ~HandsetSaveRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }

  void MakeBoundary() {
    boundary_.Clear();
    boundary_.Append(kBoundaryPrefix)
        .Append(transport::RandomText(kBoundaryRandomLength));
  }
  const ByteString& Boundary() const { return boundary_; }

  // Takes the next slot for a path and an action word (both ANSI). The
  // caller has checked that a slot is free. False (errorMessage says why)
  // for an update of a file that is there but cannot be sized: its part
  // would go out empty and replace the service's copy with nothing.
  bool AddUploadEntry(const char* path, const char* action) {
    UploadEntry& entry = entries_[entryCount_];
    entry = UploadEntry{};
    std::memcpy(entry.path, path, strnlen(path, sizeof entry.path - 1));
    const bool update = std::strncmp(action, "update", 6) == 0;
    // Six letters, the one-digit entry number and the terminator.
    std::memcpy(entry.partName, update ? "update" : "delete", 6);
    entry.partName[6] = static_cast<char>('1' + entryCount_);
    if (update) {
      // Nothing at the path announces an empty part; a file that is there
      // is sized, or the save goes no further.
      char16_t widePath[kPathBufferSize] = {};
      int32_t size = 0;
      if (service::AnsiToWide(entry.path, widePath) != nullptr &&
          service::ProbePath(widePath) == 2) {
        size = -1;
        (void)transfer::LocalFileSize(widePath, &size);
        if (size < 0) return FileProblem(entry, "cannot be sized");
      }
      entry.fileSize = static_cast<uint32_t>(size);
    }
    entry.partHeaderLength =
        static_cast<uint32_t>(ComposePartHeader(entryCount_).size());
    ++entryCount_;
    return true;
  }

  // The part's header text; for a delete entry the whole part, its path
  // included.
  ByteString ComposePartHeader(int32_t slot) const {
    const UploadEntry& entry = entries_[slot];
    ByteString text("Content-Disposition: form-data; name=\"");
    text.Append(entry.partName).Append("\"");
    if (IsUpdate(entry)) {
      text.Append("; filename=\"")
          .Append(entry.path)
          .Append(
              "\"\r\nContent-Type: application/octet-stream; charset=GBK\r\n"
              "Content-Transfer-Encoding: binary\r\n\r\n");
    } else {
      text.Append("\r\nContent-Type: text/plain; charset=GBK\r\n\r\n")
          .Append(entry.path)
          .Append("\r\n");
    }
    return text;
  }

  uint64_t ComputeBodyLength() const {
    uint64_t length = kClosingLength;
    for (int32_t slot = 0; slot < entryCount_; ++slot) {
      const UploadEntry& entry = entries_[slot];
      length += kDelimiterLength + entry.partHeaderLength + entry.fileSize;
      if (IsUpdate(entry)) length += 2;
    }
    return length;
  }

  int32_t PerformUpload(const char* url, int32_t port) {
    const uint64_t bodyLength = ComputeBodyLength();
    if (bodyLength > INT32_MAX) {
      errorMessage.Append("the files are too large for one request");
      return status;
    }
    AddHeader(
        "Content-Length",
        ByteString().AppendDecimal(static_cast<int64_t>(bodyLength)).c_str());
    if (!BeginPost(url, port)) {
      CloseConnection();
      return status;
    }
    for (int32_t slot = 0; slot < entryCount_; ++slot) {
      if (!SendUploadEntry(slot)) {
        // The rest of the body is never sent: the service sees a request
        // shorter than its Content-Length, not a wrong one.
        CloseConnection();
        status = 0;
        return status;
      }
    }
    ByteString closing("--");
    closing.Append(boundary_).Append("--\r\n");
    if (!SendText(closing)) {
      CloseConnection();
      errorMessage.Append("the connection failed while sending the request");
      return status;
    }
    ReadResponseHead();
    status = transport::ParseStatus(ResponseHead().c_str());
    CloseConnection();
    if (status != 200) service::CollectServiceError(*this, false);
    return status;
  }

  // Sends the part's delimiter and header and, for an update, exactly the
  // announced number of content bytes and CR LF. False (errorMessage says
  // why) when the file cannot deliver them or the connection fails.
  bool SendUploadEntry(int32_t slot) {
    const UploadEntry& entry = entries_[slot];
    ByteString head("--");
    head.Append(boundary_).Append("\r\n").Append(ComposePartHeader(slot));
    if (!SendText(head)) return LostConnection();
    if (!IsUpdate(entry)) return true;
    // The announced size is what goes out: a file that appeared or grew
    // since it was sized is sent only as far as announced, so the body
    // always matches its Content-Length.
    uint32_t remaining = entry.fileSize;
    if (remaining > 0) {
      char16_t widePath[kPathBufferSize] = {};
      platform::File file;
      if (service::AnsiToWide(entry.path, widePath) != nullptr) {
        file = platform::File::Open(widePath, platform::Access::kRead,
                                    platform::Disposition::kOpenExisting);
      }
      if (!file.IsOpen()) return FileProblem(entry, "cannot be opened");
      char block[kReadBlockSize];
      while (remaining > 0) {
        const size_t want =
            remaining < kReadBlockSize ? remaining : kReadBlockSize;
        const int64_t got = file.Read(block, want);
        if (got != static_cast<int64_t>(want)) {
          return FileProblem(entry, got < 0 ? "cannot be read"
                                            : "became shorter than announced");
        }
        for (size_t at = 0; at < want; at += kPieceSize) {
          const size_t piece = want - at < kPieceSize ? want - at : kPieceSize;
          if (!SendBytes(block + at, static_cast<int32_t>(piece))) {
            return LostConnection();
          }
        }
        remaining -= static_cast<uint32_t>(want);
      }
    }
    if (!SendText(ByteString("\r\n"))) return LostConnection();
    return true;
  }

  int32_t EntryCount() const { return entryCount_; }

 private:
  bool FileProblem(const UploadEntry& entry, const char* what) {
    errorMessage.Append("the file ")
        .Append(entry.path)
        .Append(" ")
        .Append(what);
    return false;
  }
  bool LostConnection() {
    errorMessage.Append("the connection failed while sending the request");
    return false;
  }

  ByteString boundary_;
  int32_t entryCount_ = 0;
  UploadEntry entries_[kTableSlots];
};

// The entries' texts in the system code page, or the reason they are
// refused. Nothing is sent for a refused input.
bool ConvertEntries(const HandsetSaveInput* input,
                    char (*paths)[kPathBufferSize],
                    char (*actions)[kActionBufferSize], ByteString* problem) {
  if (input->count < 0 || input->count > VESK80_SAVE_MAX_ENTRIES) {
    problem->Append("the entry count ")
        .AppendDecimal(input->count)
        .Append(" is outside 0 to 9");
    return false;
  }
  constexpr size_t kPathUnits = sizeof input->entries[0].path / 2;
  constexpr size_t kActionUnits = sizeof input->entries[0].action / 2;
  for (int32_t i = 0; i < input->count; ++i) {
    const SaveEntry& entry = input->entries[i];
    const size_t pathSize = service::AnsiSize(entry.path, kPathUnits);
    const size_t actionSize = service::AnsiSize(entry.action, kActionUnits);
    const char* what = nullptr;
    if (pathSize == 0) {
      what = "path cannot be converted to the system code page";
    } else if (pathSize > kPathBufferSize) {
      what = "path is longer than 259 bytes in the system code page";
    } else if (actionSize == 0) {
      what = "action cannot be converted to the system code page";
    } else if (actionSize > kActionBufferSize) {
      what = "action is longer than 255 bytes in the system code page";
    }
    if (what != nullptr) {
      problem->Append("the ")
          .Append(what)
          .Append(" (entry ")
          .AppendDecimal(i + 1)
          .Append(")");
      return false;
    }
    service::WideToAnsi(entry.path, paths[i], kPathBufferSize, kPathUnits);
    service::WideToAnsi(entry.action, actions[i], kActionBufferSize,
                        kActionUnits);
  }
  return true;
}

}  // namespace

int32_t HandsetSave(const char16_t* environmentFile,
                    const HandsetSaveInput* input, char16_t* output,
                    HandsetError* error, const char16_t* url, int32_t port) {
  HandsetSaveRequest request;
  char ansiUrl[service::kUrlBufferSize];
  char paths[VESK80_SAVE_MAX_ENTRIES][kPathBufferSize];
  char actions[VESK80_SAVE_MAX_ENTRIES][kActionBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request) &&
      ConvertEntries(input, paths, actions, &request.errorMessage)) {
    service::LoadIdentity(environmentFile);
    service::SetCredentialHeaders(request, service::Credentials::kTransfer);
    request.MakeBoundary();
    ByteString contentType("multipart/form-data; boundary=");
    contentType.Append(request.Boundary());
    request.SetContentType(contentType.c_str());
    bool sized = true;
    for (int32_t i = 0; i < input->count && sized; ++i) {
      sized = request.AddUploadEntry(paths[i], actions[i]);
    }
    if (sized) request.PerformUpload(ansiUrl, port);
  }
  if (request.status != 200) {
    service::FillErrorRecord(error, request);
  } else {
    // The response as first received: at most 1024 bytes, so at most 1024
    // UTF-16 units and the terminator.
    service::AnsiToWide(request.RawResponse(), output,
                        transport::HandsetRequest::kAreaSize + 1);
  }
  return request.status;
}

}  // namespace vesk::upload
