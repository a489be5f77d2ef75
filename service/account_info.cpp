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

  // Reads the reply that came with the response head; a value missing from
  // it leaves its field empty or 0.
  void ParseReply() {
    const ReplyReader reply(Body(), FirstBodyLength());
    accountNumber = reply.RootChildAttributeNumber(u"account", u"id");
    CopyAnsiField(reply.Text(u"username"), username);
    CopyAnsiField(reply.Text(u"email"), email);
    const std::string decodedName = DecodeEncodedWords(reply.Text(u"name"));
    CopyAnsiField(decodedName, name);
    nameLength = static_cast<int32_t>(std::strlen(name));
    gender = reply.Number(u"gender");
    figure = reply.Number(u"figure");
    CopyAnsiField(DecodeEncodedWords(reply.Text(u"province")), province);
  }

  void FillResult(AccountInfoResult* result) const {
    result->accountId = accountNumber;
    AnsiToWide(username, result->username);
    AnsiToWide(email, result->email);
    AnsiToWide(name, result->name);
    AnsiToWide(province, result->province);
    result->gender = gender;
    result->figure = figure;
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
    LoadIdentity(environmentFile);
    SetCredentialHeaders(request, Credentials::kAccount);
    PerformOptions options;
    options.closeAfterHead = true;
    if (Perform(request, ansiUrl, port, options) == 200) request.ParseReply();
  }
  if (request.status == 200) {
    request.FillResult(result);
  } else {
    FillErrorRecord(error, request);
  }
  return request.status;
}

}  // namespace vesk::service
