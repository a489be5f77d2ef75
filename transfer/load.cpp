// The package load operation: a GET of the archive, with a range when the
// caller resumes.
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
};

}  // namespace

int32_t HandsetLoad(const char16_t* environmentFile, const LoadRecord* record,
                    LoadResult* result, HandsetError* error,
                    const char16_t* url, int32_t port) {
  LoadRequest request;
  char ansiUrl[service::kUrlBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request)) {
    service::LoadIdentity(environmentFile);
    service::SetCredentialHeaders(request, service::Credentials::kTransfer);
    if (record->offset != 0) request.SetRange(record->offset, record->rangeEnd);
    service::PerformOptions options;
    options.acceptPartial = true;
    service::Perform(request, ansiUrl, port, options);
    request.CloseConnection();
  }
  if (request.status != 200 && request.status != 206) {
    service::FillErrorRecord(error, request);
  }
  (void)result;
  return request.status;
}

}  // namespace vesk::transfer
