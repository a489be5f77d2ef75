// The heartbeat operation: a GET with the handset's serial and user id only.
#include "heartbeat/heartbeat.h"

#include "service/service.h"

namespace vesk::heartbeat {

namespace {

class HandsetBeatRequest : public service::OperationRequest {
 public:
  HandsetBeatRequest() { ResetRequest(); }
  ~HandsetBeatRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }
};

}  // namespace

int32_t HandsetBeat(const char16_t* environmentFile, HandsetBeatResult* result,
                    HandsetError* error, const char16_t* url, int32_t port) {
  HandsetBeatRequest request;
  char ansiUrl[service::kUrlBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request)) {
    service::ReadEnvironment(environmentFile);
    service::SetCredentialHeaders(request, service::Credentials::kBeat);
    service::Perform(request, ansiUrl, port, {});
    request.CloseConnection();
  }
  if (request.status != 200) service::FillErrorRecord(error, request);
  (void)result;
  return request.status;
}

}  // namespace vesk::heartbeat
