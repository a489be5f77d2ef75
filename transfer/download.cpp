// The download operation: fetches one content file into a local path, with
// resume, an MD5 check against the service's checksum, rollback of the
// partial file on a mismatch, and the confirmation of a finished file.
//
// One call makes up to three attempts. Each posts the "key" form; a resumed
// attempt proves its partial data file to the service with "X-Checksum" and
// asks for the rest with "Range". A reply of 200 or 206 streams into the
// data file (ReceiveToFile); a complete file is checked, and either confirmed
// or moved back to the data file name and shortened by the attempt's step,
// as is the partial file when the service rejects it with code 916. The
// result and error records are cleared after every exchange, so they always
// describe the last attempt.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

using service::ByteString;

constexpr int kAttempts = 3;
// How much a rejected partial file loses from its end, by attempt.
constexpr int32_t kRollBackSteps[kAttempts] = {40960, 102400, 1048576};
// The service's code for a partial file it does not accept; the download
// reports its own checksum mismatch with it too.
constexpr int32_t kCodeBadPartial = 916;
constexpr size_t kKeyBufferSize = 256;

// The transfer values of the download, one set for the process: written by
// PerformDownload and the receive loop, read by ConfirmDownload.
TransferValues& DownloadValues() {
  static TransferValues values;
  return values;
}

class DownloadRequest : public service::OperationRequest {
 public:
  DownloadRequest() { ResetRequest(); }
  ~DownloadRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }

  // The constructed state again, the socket excepted (the next exchange or
  // the destructor closes it).
  void Reset() {
    ResetRequest();
    status = 0;
    errorCode = 0;
    errorMessage.Clear();
    serverTimestamp.Clear();
    checksum.Clear();
    url.Clear();
    port = 0;
    contentLength = 0;
  }

  ByteString checksum;  // "X-Checksum" of the reply, as it stands
  ByteString url;       // the URL of the current exchange
  int32_t port = 0;
  int32_t contentLength = 0;
};

bool IsSuccess(int32_t status) { return status == 200 || status == 206; }

// Takes the position, size and checksum of a successful reply to a request
// for the file from askedFrom on. Empty when they are usable, otherwise the
// problem.
std::string ReadContentRange(DownloadRequest& request, int32_t askedFrom,
                             const std::u16string& dataPath) {
  request.contentLength = request.ContentLength();
  std::string problem = ReadReplyRange(request, request.status, askedFrom,
                                       dataPath, &DownloadValues());
  if (!problem.empty()) return problem;
  const auto checksum =
      transport::GetHeaderValue(request.ResponseHead().c_str(), "X-Checksum");
  if (checksum) request.checksum.Append(checksum.get());
  return problem;
}

// One exchange: the POST with the prepared headers and form, then either the
// reply's position and checksum or the service's error report. A reply
// whose range is unusable or misplaced counts as a refusal: *problem names
// it.
int32_t PerformDownload(DownloadRequest& request, const char* url, int32_t port,
                        int32_t askedFrom, const std::u16string& dataPath,
                        std::string* problem) {
  problem->clear();
  request.url.Append(url);
  request.port = port;
  service::PerformOptions options;
  options.exchange = service::Exchange::kPost;
  options.acceptPartial = true;
  service::Perform(request, url, port, options);
  if (IsSuccess(request.status)) {
    *problem = ReadContentRange(request, askedFrom, dataPath);
  }
  return request.status;
}

// Reports a finished file to the service. The reply is not examined.
int32_t ConfirmDownload(DownloadRequest& request, const char* url,
                        int32_t port) {
  request.Reset();
  const TransferValues& values = DownloadValues();
  if (int64_t{values.rangeStart} + values.received < values.fileSize) {
    return 200;
  }
  service::SetCredentialHeaders(request, service::Credentials::kTransfer);
  request.AddFormField("key", service::Env().ContentKeys().c_str());
  request.AddHeader(
      "Content-Length",
      ByteString().AppendDecimal(request.FormBody().size()).c_str());
  const bool sent = request.SendPost(url, port);
  request.CloseConnection();
  if (!sent) return 0;
  return transport::ParseStatus(request.ResponseHead().c_str());
}

// Cuts step bytes from the end of the data file of path (all of it when it
// is shorter), creating it when missing; the state file's position is
// lowered first. Returns the new size; 0 when the file cannot be opened.
uint32_t RollBackTail(const std::u16string& path, int32_t step) {
  platform::File file =
      platform::File::Open(path + kDataSuffix, platform::Access::kReadWrite,
                           platform::Disposition::kOpenAlways);
  if (!file.IsOpen()) return 0;
  const int64_t size = file.Size();
  if (size < 0) return 0;
  const int64_t kept = size > step ? size - step : 0;
  if (!LowerStatePosition(path, kept)) return static_cast<uint32_t>(size);
  if (file.Seek(kept, platform::File::From::kBegin) != kept ||
      !file.SetEndOfFile()) {
    return static_cast<uint32_t>(size);
  }
  return static_cast<uint32_t>(kept);
}

void CopyChecksum(const std::u16string& checksum, char16_t* field,
                  size_t capacity) {
  const size_t units =
      checksum.size() < capacity - 1 ? checksum.size() : capacity - 1;
  std::memcpy(field, checksum.data(), units * sizeof(char16_t));
  field[units] = u'\0';
}

// The reply's checksum as the result record keeps it: UTF-16, without the
// blanks around it.
void StoreChecksum(const ByteString& checksum, DownloadResult* result) {
  if (service::AnsiToWide(checksum.c_str(), result->checksum) == nullptr) {
    return;
  }
  std::u16string text(result->checksum);
  const size_t first = text.find_first_not_of(u' ');
  const size_t last = text.find_last_not_of(u' ');
  text = first == std::u16string::npos ? std::u16string()
                                       : text.substr(first, last - first + 1);
  CopyChecksum(text, result->checksum, std::size(result->checksum));
}

void Refuse(HandsetError* error, DownloadRequest& request,
            const std::string& problem) {
  request.errorMessage.Append(problem.c_str());
  service::FillErrorRecord(error, request);
}

// Longest number text in a "Content-Range" value.
constexpr size_t kMaxRangeNumber = 15;

// The decimal number that text holds after leading blanks; false when the
// text is longer than the handset's 16-byte number buffer took, holds
// anything else, or does not fit a 32-bit position.
bool RangeNumber(std::string_view text, int32_t* value) {
  if (text.size() > kMaxRangeNumber) return false;
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  int64_t number = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    number = number * 10 + (text[i] - '0');
  }
  if (number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

// Position and size from a "Content-Range" value of the form
// "bytes A-B/N"; the end position B is not used. Null when the value is
// usable, otherwise what is wrong with it.
const char* ParseContentRange(const char* value, int32_t* rangeStart,
                              int32_t* fileSize) {
  if (value == nullptr) return "the partial reply has no Content-Range";
  std::string_view text(value);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const size_t unit = text.find("bytes");
  const size_t dash = text.find('-');
  const size_t slash = text.find('/');
  if (unit == std::string_view::npos || dash == std::string_view::npos ||
      slash == std::string_view::npos || text.find_first_not_of(' ') != unit ||
      dash < unit || slash < dash) {
    return "the Content-Range of the partial reply is not bytes A-B/N";
  }
  const std::string_view from = text.substr(unit + 5, dash - unit - 5);
  const std::string_view to = text.substr(dash + 1, slash - dash - 1);
  const std::string_view size = text.substr(slash + 1);
  int32_t end = 0;
  if (!RangeNumber(from, rangeStart) || !RangeNumber(to, &end) ||
      !RangeNumber(size, fileSize) || *rangeStart > *fileSize) {
    return "the Content-Range of the partial reply has unusable numbers";
  }
  return nullptr;
}

}  // namespace

std::string ReadReplyRange(const transport::HandsetRequest& request,
                           int32_t status, int32_t askedFrom,
                           const std::u16string& dataPath,
                           TransferValues* values) {
  TransferValues range;
  if (status == 206) {
    const auto value = transport::GetHeaderValue(request.ResponseHead().c_str(),
                                                 "Content-Range");
    if (const char* problem = ParseContentRange(value.get(), &range.rangeStart,
                                                &range.fileSize)) {
      return problem;
    }
  } else {
    range.fileSize = request.ContentLength();
  }
  // The body must continue the file exactly where the request asked, and
  // where the data file ends: anywhere else its bytes would land beside the
  // ones they belong after.
  std::string problem;
  if (status == 206 && range.rangeStart != askedFrom) {
    problem = "the partial reply starts at byte " +
              std::to_string(range.rangeStart) + ", not at byte " +
              std::to_string(askedFrom) + " as asked";
  } else if (range.rangeStart > 0) {
    int32_t held = 0;
    (void)LocalFileSize(dataPath.c_str(), &held);
    if (held < range.rangeStart) {
      problem = "the partial reply starts at byte " +
                std::to_string(range.rangeStart) +
                ", but the data file holds " + std::to_string(held) + " bytes";
    }
  }
  if (problem.empty()) *values = range;
  return problem;
}

int32_t HandsetDownload(const char16_t* environmentFile, DownloadRecord* record,
                        DownloadResult* result, HandsetError* error,
                        const char16_t* localPath, const char16_t* url,
                        int32_t port, const char16_t* secondUrl,
                        int32_t secondPort) {
  DownloadRequest request;
  char ansiUrl[service::kUrlBufferSize];
  char ansiSecondUrl[service::kUrlBufferSize];
  char contentKey[kKeyBufferSize];
  service::WideToAnsi(record->contentKey, contentKey,
                      std::size(record->contentKey));
  if (!service::PrepareUrl(url, ansiUrl, request)) {
    service::FillErrorRecord(error, request);
    return 0;
  }
  if (!service::PrepareUrl(secondUrl, ansiSecondUrl, request)) {
    ByteString problem("the confirmation URL: ");
    problem.Append(request.errorMessage);
    request.errorMessage = problem;
    service::FillErrorRecord(error, request);
    return 0;
  }
  // The data and state file names must fit a handset path whole.
  const size_t pathUnits = service::BoundedLength(localPath, kMaxPathUnits + 1);
  if (pathUnits == 0) {
    Refuse(error, request, "the local path is empty");
    return 0;
  }
  if (pathUnits + std::char_traits<char16_t>::length(kStateSuffix) >
      kMaxPathUnits) {
    Refuse(error, request, "the local path is too long for its transfer files");
    return 0;
  }
  const std::u16string path(localPath, pathUnits);
  const std::u16string dataPath = path + kDataSuffix;
  TransferValues& values = DownloadValues();

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    request.Reset();
    values = TransferValues();
    service::ClearEnvironment();
    service::LoadIdentity(environmentFile);
    service::Env().SetContentKeys(ByteString(contentKey));
    service::SetCredentialHeaders(request, service::Credentials::kTransfer);
    request.AddFormField("key", contentKey);

    int32_t askedFrom = 0;
    if (record->offset > 0) {
      // A resume proves the partial file with its checksum; without a data
      // file there is nothing to prove and the file starts over.
      const std::u16string partial = FileChecksum(dataPath.c_str());
      if (partial.empty()) {
        record->offset = 0;
      } else {
        CopyChecksum(partial, record->partialChecksum,
                     std::size(record->partialChecksum));
        askedFrom = static_cast<int32_t>(record->offset);
        request.SetRange(askedFrom, static_cast<int32_t>(record->rangeEnd));
        const std::string ansi(partial.begin(), partial.end());
        request.AddHeader("X-Checksum", ansi.c_str());
      }
    }
    // A finished file from an earlier call becomes the data file again.
    if (service::ProbePath(path.c_str()) == 2) {
      int32_t size = 0;
      record->offset =
          static_cast<uint32_t>(LocalFileSize(path.c_str(), &size));
      (void)MoveToFreeName(path.c_str(), dataPath.c_str());
    }

    std::string problem;
    const int32_t status =
        PerformDownload(request, ansiUrl, port, askedFrom, dataPath, &problem);
    std::memset(result, 0, sizeof *result);
    std::memset(error, 0, sizeof *error);

    if (IsSuccess(status) && !problem.empty()) {
      request.CloseConnection();
      Refuse(error, request, problem);
      continue;
    }
    if (!IsSuccess(status)) {
      request.CloseConnection();
      if (request.errorCode == kCodeBadPartial) {
        error->code = kCodeBadPartial;
        record->offset = RollBackTail(path, kRollBackSteps[attempt]);
      } else {
        service::FillErrorRecord(error, request);
      }
      continue;
    }

    result->rangeStart = values.rangeStart;
    result->fileSize = values.fileSize;
    const TransferSource source{request.url.c_str(), request.port};
    // The checksum is computed beside the receive when the file will take
    // the local path itself; with an older file there, the check reads the
    // file at the path, as it stands, afterwards.
    const bool pathFree = service::ProbePath(path.c_str()) == 0;
    StreamChecksum streaming;
    if (pathFree) streaming.Start(dataPath, values.rangeStart);
    const bool ready =
        ReceiveToFile(request, path.c_str(), source, values,
                      TransferKind::kDownload, pathFree ? &streaming : nullptr);
    const std::u16string streamed = streaming.Finish();
    request.CloseConnection();
    result->received = values.received;
    StoreChecksum(request.checksum, result);

    const bool complete = ready && values.placed;
    const std::u16string actual = !complete ? std::u16string()
                                  : !streamed.empty()
                                      ? streamed
                                      : FileChecksum(path.c_str());
    if (actual.empty()) {
      // Stopped early (or the file is not where it should be): the data and
      // state files keep the reached position, from which the next attempt,
      // or the caller, resumes. The message says why.
      record->offset =
          static_cast<uint32_t>(values.rangeStart + values.received);
      const std::string shortfall =
          complete ? "the finished file could not be read for its checksum"
                   : TransferShortfall(ready, values);
      service::AnsiToWide(shortfall.c_str(), error->message);
      continue;
    }
    if (actual == std::u16string(result->checksum)) {
      (void)ConfirmDownload(request, ansiSecondUrl, secondPort);
      return status;
    }
    (void)MoveToFreeName(path.c_str(), dataPath.c_str());
    record->offset = RollBackTail(path, kRollBackSteps[attempt]);
    error->code = kCodeBadPartial;
  }
  return request.status;
}

}  // namespace vesk::transfer
