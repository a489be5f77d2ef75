// The activation operation: one POST with the account form of the caller's
// mode, carrying the stored identity when an environment file exists. Modes
// 2 and 4 register a freshly generated key pair and, when the service
// assigns a user id, store the handset's new identity in its environment
// file.
#include <cstring>
#include <iterator>
#include <string>

#include "activation/activation.h"
#include "service/service.h"
#include "xml/xml.h"

namespace vesk::activation {

namespace {

using service::ByteString;

constexpr size_t kEnvironmentPathUnits = 260;

// The key texts are ASCII XML; widening and narrowing unit by unit is exact.
std::u16string Widen(const ByteString& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (const char c : text.view())
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

ByteString Narrow(const std::u16string& text) {
  ByteString narrow;
  for (const char16_t unit : text) {
    const char c = static_cast<char>(unit < 0x80 ? unit : '?');
    narrow.Append(&c, 1);
  }
  return narrow;
}

class HandsetActivateRequest : public service::OperationRequest {
 public:
  HandsetActivateRequest() { ResetActivation(); }
  ~HandsetActivateRequest() override { ResetActivation(); }

  // -- Setters, each used at most once per request.

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
  void SetUserIdHeader(int32_t value) {
    AddHeader("User-ID", ByteString().AppendDecimal(value).c_str());
  }
  void SetUserNoHeader(int32_t value) {
    AddHeader("User-NO", ByteString().AppendDecimal(value).c_str());
  }
  void SetCertificate(const ByteString& certificate) {
    userCertificate = certificate;
    AddHeader("User-Cert", certificate.c_str());
  }
  void AddNumberField(const char* name, int32_t value) {
    AddFormField(name, ByteString().AppendDecimal(value).c_str());
  }
  void SetSaveFlag() { saveCredentials = true; }
  void SetEnvironmentPath(const char16_t* path) {
    environmentPath.assign(path,
                           service::BoundedLength(path, kEnvironmentPathUnits));
  }

  // Adds "modulus" and "exponent": the base64 texts of the public key as the
  // key text holds them, so the service can verify the handset's
  // certificates. A new pair is made when none is held or forceNew is set.
  void AddKeyMaterial(bool forceNew) {
    service::HandsetEnv& env = service::Env();
    if (env.PublicKey().empty() || forceNew) service::NewKeyPair();
    xml::XmlDocument key;
    key.SetDocument(Widen(env.PublicKey()));
    const ByteString modulus =
        Narrow(key.DataOf(key.FindBreadthFirst(u"Modulus")));
    const ByteString exponent =
        Narrow(key.DataOf(key.FindBreadthFirst(u"Exponent")));
    AddFormField("modulus", modulus.c_str());
    AddFormField("exponent", exponent.c_str());
  }

  // The exchange: the status, the server's "Date" whatever the status, then
  // either the reply (and the credentials it brings) or the error report.
  int32_t PerformActivation(const char* url, int32_t port) {
    service::PerformOptions options;
    options.exchange = service::Exchange::kPost;
    options.closeAfterHead = true;
    options.utilTimestamps = true;
    if (service::Perform(*this, url, port, options) == 0) return status;
    const auto date = transport::GetHeaderValue(ResponseHead().c_str(), "Date");
    if (date) service::CopyAnsiField(date.get(), serverDate);
    if (status == 200) {
      ParseActivationReply();
      if (userId > 0 && saveCredentials) StoreCredentials();
    }
    return status;
  }

  // Reads the reply that came with the response head. Without a positive
  // account id the other values stay empty.
  void ParseActivationReply() {
    const service::ReplyReader reply(Body(), FirstBodyLength());
    userId = reply.RootChildAttributeNumber(u"account", u"id");
    if (userId <= 0) return;
    if (reply.Has(u"user-id")) userId = reply.Number(u"user-id");
    userNo = reply.Number(u"user-no");
    service::CopyAnsiField(reply.Text(u"username"), username);
    service::CopyAnsiField(reply.Text(u"email"), email);
    service::CopyAnsiField(service::DecodeEncodedWords(reply.Text(u"name")),
                           name);
    service::CopyAnsiField(service::DecodeEncodedWords(reply.Text(u"province")),
                           province);
    gender = reply.Number(u"gender");
    figure = reply.Number(u"figure");
  }

  // Writes the identity the service accepted: the announced user agent and
  // serial, the assigned user id and number, and the key pair that
  // AddKeyMaterial left in the environment values.
  void StoreCredentials() {
    service::HandsetEnv& env = service::Env();
    env.SetUserAgent(userAgent);
    env.SetUserSerial(userSerial);
    env.SetUserId(userId);
    env.SetUserNo(userNo);
    service::WriteEnvironment(environmentPath.empty()
                                  ? service::kDefaultEnvironmentPath
                                  : environmentPath.c_str());
  }

  void ResetActivation() {
    ResetRequest();
    userSerial.Clear();
    userAgent.Clear();
    userCertificate.Clear();
    errorMessage.Clear();
    serverTimestamp.Clear();
    status = 0;
    errorCode = 0;
    saveCredentials = false;
    userId = 0;
    userNo = 0;
    std::memset(username, 0, sizeof username);
    std::memset(email, 0, sizeof email);
    std::memset(name, 0, sizeof name);
    std::memset(province, 0, sizeof province);
    std::memset(serverDate, 0, sizeof serverDate);
    gender = 0;
    figure = 0;
    environmentPath.clear();
  }

  void FillResult(HandsetActivateResult* result) const {
    result->userId = userId;
    result->userNo = userNo;
    service::AnsiToWide(username, result->username);
    service::AnsiToWide(email, result->email);
    service::AnsiToWide(name, result->name);
    service::AnsiToWide(province, result->province);
    result->gender = gender;
    result->figure = figure;
  }

  bool saveCredentials = false;
  ByteString userAgent;
  ByteString userSerial;
  ByteString userCertificate;
  std::u16string environmentPath;
  // The reply's values, in the system ANSI code page, zero-terminated.
  int32_t userId = 0;
  int32_t userNo = 0;
  char username[24] = {};
  char email[256] = {};
  char name[256] = {};
  int32_t gender = 0;
  int32_t figure = 0;
  char province[16] = {};
  char serverDate[32] = {};
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

// The fields after "username" and "password". Modes 2 and 4 end with "bom"
// and the key material of a new pair, and store the identity on success.
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
      request.AddKeyMaterial(true);
      request.SetSaveFlag();
      break;
    case 4:
      request.AddFormField("validation", text.validation);
      request.AddFormField("name", text.name);
      request.AddNumberField("gender", input.gender);
      request.AddFormField("email", text.email);
      request.AddNumberField("figure", input.figure);
      request.AddFormField("province", text.province);
      request.AddFormField("bom", text.bom);
      request.AddKeyMaterial(true);
      request.SetSaveFlag();
      break;
    default:
      break;
  }
}

// Modes 1 and 5 leave the result's account fields alone.
bool WritesAccountFields(int32_t mode) { return mode != 1 && mode != 5; }

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
      request.SetUserIdHeader(env.UserId());
      request.SetUserNoHeader(env.UserNo());
      request.SetCertificate(service::MakeUserCertificate());
    }
    request.AddFormField("username", text.username);
    request.AddFormField("password", text.password);
    AddModeFields(request, input->mode, *input, text);
    request.SetEnvironmentPath(input->environmentPath);
    request.PerformActivation(ansiUrl, port);
    service::AnsiToWide(request.serverDate, result->serverDate);
  }
  if (request.status != 200) {
    service::FillErrorRecord(error, request, true);
  } else if (WritesAccountFields(input->mode)) {
    request.FillResult(result);
  }
  const int32_t status = request.status;
  request.ResetActivation();
  service::ClearEnvironment();
  return status;
}

}  // namespace vesk::activation
