// The package load operation: one GET of a zip archive, with a range when
// the caller resumes, received into the archive path's data file; a
// complete archive is unpacked into the target directory and, when the
// caller asks, deleted afterwards. No checksum, no retries, no confirmation.
#include <string>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

class LoadRequest : public service::OperationRequest {
 public:
  LoadRequest() { ResetRequest(); }
  ~LoadRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }

  service::ByteString url;  // the URL of the exchange
  int32_t port = 0;
  int32_t contentLength = 0;
  TransferValues values;  // kept here, not process-wide as the download's
};

// The exchange, then either the reply's range or the service's error
// report. *usable tells whether the reply is one to receive: 200, or 206
// with a usable "Content-Range" that starts at askedFrom (otherwise the
// problem is in errorMessage).
int32_t PerformLoad(LoadRequest& request, const char* url, int32_t port,
                    int32_t askedFrom, const std::u16string& dataPath,
                    bool* usable) {
  request.url.Append(url);
  request.port = port;
  service::PerformOptions options;
  options.acceptPartial = true;
  service::Perform(request, url, port, options);
  *usable = false;
  if (request.status != 200 && request.status != 206) return request.status;
  request.contentLength = request.ContentLength();
  const std::string problem = ReadReplyRange(request, request.status, askedFrom,
                                             dataPath, &request.values);
  if (!problem.empty()) {
    request.errorMessage.Append(problem.c_str());
    return request.status;
  }
  *usable = true;
  return request.status;
}

}  // namespace

int32_t HandsetLoad(const char16_t* environmentFile, const LoadRecord* record,
                    LoadResult* result, HandsetError* error,
                    const char16_t* url, int32_t port) {
  LoadRequest request;
  char ansiUrl[service::kUrlBufferSize];
  if (!service::PrepareUrl(url, ansiUrl, request)) {
    service::FillErrorRecord(error, request);
    return request.status;
  }
  service::LoadIdentity(environmentFile);
  service::SetCredentialHeaders(request, service::Credentials::kTransfer);
  if (record->offset != 0) request.SetRange(record->offset, record->rangeEnd);
  std::u16string archiveName;
  (void)TakePath(record->archivePath, &archiveName);
  bool usable = false;
  const int32_t status = PerformLoad(request, ansiUrl, port, record->offset,
                                     archiveName + kDataSuffix, &usable);
  if (!usable) {
    request.CloseConnection();
    service::FillErrorRecord(error, request);
    return status;
  }

  TransferValues& values = request.values;
  result->rangeStart = values.rangeStart;
  result->fileSize = values.fileSize;
  const char16_t* archivePath = record->archivePath;
  const TransferSource source{request.url.c_str(), request.port};
  const bool ready =
      ReceiveToFile(request, archivePath, source, values, TransferKind::kLoad);
  request.CloseConnection();
  if (!ready) values.received = 0;
  // Only a complete archive is unpacked: a partial one stays in the data
  // file for the resume. When an older file held the archive path, the new
  // archive went to a free name beside it and the older file is the one
  // unpacked, as the archive path names it.
  if (ready && values.placed) {
    (void)ExtractArchive(archivePath, record->targetDirectory);
    if (record->deleteArchive != 0) (void)DeleteLocalFile(archivePath);
  } else {
    // The caller learns why nothing was unpacked; the transfer files stay
    // for the resume.
    error->code = 0;
    service::AnsiToWide(TransferShortfall(ready, values).c_str(),
                        error->message);
  }
  result->received = values.received;
  return status;
}

}  // namespace vesk::transfer
