// The account-information operation: one GET whose short XML reply arrives
// with the response head.
#include <cstring>

#include "service/service.h"

namespace vesk::service {

namespace {

class AccountInfoRequest : public OperationRequest {
 public:
  AccountInfoRequest() { ResetRequest(); }
  ~AccountInfoRequest() override {
    ResetRequest();
    ClearEnvironment();
  }

  // The reply's values, in the system ANSI code page, zero-terminated.
  int32_t accountNumber = 0;
  char username[24] = {};
  char email[256] = {};
  char name[256] = {};
  int32_t nameLength = 0;
  int32_t gender = 0;
  int32_t figure = 0;
  char province[16] = {};
};

}  // namespace

int32_t AccountInfo(const char16_t* environmentFile, AccountInfoResult* result,
                    HandsetError* error, const char16_t* url, int32_t port) {
  AccountInfoRequest request;
  char ansiUrl[kUrlBufferSize];
  if (PrepareUrl(url, ansiUrl, request)) {
    ReadEnvironment(environmentFile);
    SetCredentialHeaders(request, Credentials::kAccount);
    PerformOptions options;
    options.closeAfterHead = true;
    Perform(request, ansiUrl, port, options);
  }
  if (request.status != 200) FillErrorRecord(error, request);
  (void)result;
  return request.status;
}

}  // namespace vesk::service
