// The activation operation: one POST with the account form of the caller's
// mode, carrying the stored identity when an environment file exists.
#include <iterator>

#include "activation/activation.h"
#include "service/service.h"

namespace vesk::activation {

namespace {

using service::ByteString;

class HandsetActivateRequest : public service::OperationRequest {
 public:
  HandsetActivateRequest() { ResetRequest(); }
  ~HandsetActivateRequest() override { ResetRequest(); }

  void SetUserAgentCopy(const char* text) {
    SetUserAgent(text);
    userAgent.Clear();
    userAgent.Append(text);
  }
  void SetSerial(const char* text) {
    AddHeader("User-Serial", text);
    userSerial.Clear();
    userSerial.Append(text);
  }
  void AddNumberField(const char* name, int32_t value) {
    AddFormField(name, ByteString().AppendDecimal(value).c_str());
  }

  ByteString userAgent;
  ByteString userSerial;
};

// The caller's texts in the system ANSI code page, in buffers of the sizes
// the handset used.
struct AnsiInput {
  char userAgent[256];
  char userSerial[256];
  char username[16];
  char password[256];
  char name[16];
  char email[256];
  char province[16];
  char validation[16];
  char bom[16];
};

template <size_t N, size_t M>
void Convert(const char16_t (&field)[M], char (&target)[N]) {
  service::WideToAnsi(field, target, N, M);
}

void AddModeFields(HandsetActivateRequest& request, int32_t mode,
                   const HandsetActivateInput& input, const AnsiInput& text) {
  switch (mode) {
    case 1:
      request.AddFormField("name", text.name);
      request.AddNumberField("gender", input.gender);
      request.AddFormField("email", text.email);
      request.AddNumberField("figure", input.figure);
      request.AddFormField("province", text.province);
      break;
    case 2:
      request.AddFormField("validation", text.validation);
      request.AddFormField("bom", text.bom);
      break;
    case 4:
      request.AddFormField("validation", text.validation);
      request.AddFormField("name", text.name);
      request.AddNumberField("gender", input.gender);
      request.AddFormField("email", text.email);
      request.AddNumberField("figure", input.figure);
      request.AddFormField("province", text.province);
      request.AddFormField("bom", text.bom);
      break;
    default:
      break;
  }
}

}  // namespace

int32_t HandsetActivate(const HandsetActivateInput* input,
                        HandsetActivateResult* result, HandsetError* error,
                        const char16_t* url, int32_t port) {
  HandsetActivateRequest request;
  AnsiInput text;
  Convert(input->userAgent, text.userAgent);
  Convert(input->userSerial, text.userSerial);
  Convert(input->username, text.username);
  Convert(input->password, text.password);
  Convert(input->name, text.name);
  Convert(input->email, text.email);
  Convert(input->province, text.province);
  Convert(input->validation, text.validation);
  Convert(input->bom, text.bom);
  char ansiUrl[service::kUrlBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request)) {
    request.SetUserAgentCopy(text.userAgent);
    request.SetSerial(text.userSerial);
    // The stored identity goes along only when the environment file exists.
    const std::u16string environmentPath(
        input->environmentPath,
        service::BoundedLength(input->environmentPath,
                               std::size(input->environmentPath)));
    if (service::ProbePath(environmentPath.c_str()) == 2) {
      service::LoadIdentity(environmentPath.c_str());
      const service::HandsetEnv& env = service::Env();
      request.AddHeader("User-ID",
                        ByteString().AppendDecimal(env.UserId()).c_str());
      request.AddHeader("User-NO",
                        ByteString().AppendDecimal(env.UserNo()).c_str());
      request.AddHeader("User-Cert", service::MakeUserCertificate().c_str());
    }
    request.AddFormField("username", text.username);
    request.AddFormField("password", text.password);
    AddModeFields(request, input->mode, *input, text);

    service::PerformOptions options;
    options.exchange = service::Exchange::kPost;
    options.closeAfterHead = true;
    options.utilTimestamps = true;
    service::Perform(request, ansiUrl, port, options);
  }
  if (request.status != 200) service::FillErrorRecord(error, request, true);
  (void)result;
  request.ResetRequest();
  service::ClearEnvironment();
  return request.status;
}

}  // namespace vesk::activation
