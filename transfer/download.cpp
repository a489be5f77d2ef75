// The download operation: a POST naming the content key.
#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

class DownloadRequest : public service::OperationRequest {
 public:
  DownloadRequest() { ResetRequest(); }
  ~DownloadRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }
};

}  // namespace

int32_t HandsetDownload(const char16_t* environmentFile, DownloadRecord* record,
                        DownloadResult* result, HandsetError* error,
                        const char16_t* localPath, const char16_t* url,
                        int32_t port, const char16_t* secondUrl,
                        int32_t secondPort) {
  DownloadRequest request;
  char ansiUrl[service::kUrlBufferSize];
  char contentKey[256];
  service::WideToAnsi(record->contentKey, contentKey,
                      std::size(record->contentKey));
  if (service::PrepareUrl(url, ansiUrl, request)) {
    service::ReadEnvironment(environmentFile);
    service::Env().SetContentKeys(service::ByteString(contentKey));
    service::SetCredentialHeaders(request, service::Credentials::kTransfer);
    request.AddFormField("key", contentKey);
    service::PerformOptions options;
    options.exchange = service::Exchange::kPost;
    options.acceptPartial = true;
    service::Perform(request, ansiUrl, port, options);
    request.CloseConnection();
  }
  if (request.status != 200 && request.status != 206) {
    service::FillErrorRecord(error, request);
  }
  (void)result;
  (void)localPath;
  (void)secondUrl;
  (void)secondPort;
  return request.status;
}

}  // namespace vesk::transfer
