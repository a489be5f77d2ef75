// The perform step that every operation shares, the collection of the
// service's error report, and the frame helpers of the exports.
#include <cstring>
#include <string_view>

#include "service/service.h"

namespace vesk::service {

namespace {

constexpr int32_t kCodeClockDifference = 906;
constexpr int32_t kCodeUtilTimestampLow = 914;
constexpr int32_t kCodeUtilTimestampHigh = 915;

bool IsSuccess(int32_t status, bool acceptPartial) {
  return status == 200 || (acceptPartial && status == 206);
}

void AppendHeaderValue(ByteString& target, const char* raw, const char* name) {
  const auto value = transport::GetHeaderValue(raw, name);
  if (value) target.Append(value.get());
}

}  // namespace

void CollectServiceError(OperationRequest& request, bool utilTimestamps) {
  // The error headers are looked up in the head followed by the body bytes
  // that came with it, as the handset always did.
  const char* raw = request.RawResponse();
  request.errorCode =
      transport::AtoiRule(transport::GetHeaderValue(raw, "X-Error-Code").get());
  AppendHeaderValue(request.errorMessage, raw, "X-Error-Message");
  if (request.errorCode == kCodeClockDifference) {
    AppendHeaderValue(request.serverTimestamp, raw, "X-Server-Timestamp");
  } else if (utilTimestamps && (request.errorCode == kCodeUtilTimestampLow ||
                                request.errorCode == kCodeUtilTimestampHigh)) {
    AppendHeaderValue(request.serverTimestamp, raw, "X-Util-Timestamp");
  } else if (request.errorCode == 0) {
    request.errorMessage.Append(request.Body());
  }
}

int32_t Perform(OperationRequest& request, const char* url, int32_t port,
                const PerformOptions& options) {
  bool exchanged = false;
  if (options.exchange == Exchange::kPost) {
    request.AddHeader(
        "Content-Length",
        ByteString().AppendDecimal(request.FormBody().size()).c_str());
    exchanged = request.SendPost(url, port);
  } else {
    exchanged = request.SendGet(url, port);
  }
  if (!exchanged) return request.status;
  if (options.closeAfterHead) request.CloseConnection();

  request.status = transport::ParseStatus(request.ResponseHead().c_str());
  if (!IsSuccess(request.status, options.acceptPartial)) {
    CollectServiceError(request, options.utilTimestamps);
  }
  return request.status;
}

bool PrepareUrl(const char16_t* url, char (&ansi)[kUrlBufferSize],
                OperationRequest& request) {
  std::memset(ansi, 0, sizeof ansi);
  const char* problem = nullptr;
  const size_t size = url == nullptr ? 0 : AnsiSize(url);
  if (url == nullptr) {
    problem = "the URL is missing";
  } else if (size == 0) {
    problem = "the URL cannot be converted to the system code page";
  } else if (size > kUrlBufferSize) {
    problem = "the URL is longer than 255 bytes";
  } else {
    WideToAnsi(url, ansi);
    const std::string_view text(ansi);
    // Seven characters of scheme and "//", then the host up to the path.
    bool plainHttp = text.size() >= 7;
    for (size_t i = 0; plainHttp && i < 7; ++i) {
      const char c = text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i];
      plainHttp = c == "http://"[i];
    }
    if (!plainHttp) {
      problem = "the URL does not begin with http://";
    } else if (text.find('/', 7) == std::string_view::npos) {
      problem = "the URL has no path after the host";
    } else if (text.find('/', 7) == 7) {
      problem = "the URL has no host";
    }
  }
  if (problem == nullptr) return true;
  std::memset(ansi, 0, sizeof ansi);
  request.errorMessage.Append(problem);
  return false;
}

void SetCredentialHeaders(transport::HandsetRequest& request,
                          Credentials order) {
  const HandsetEnv& env = Env();
  request.SetUserAgent(env.UserAgent().c_str());
  const ByteString serial = env.UserSerial();
  const ByteString userId = ByteString().AppendDecimal(env.UserId());
  switch (order) {
    case Credentials::kAccount:
      request.AddHeader("User-Serial", serial.c_str());
      request.AddHeader("User-Cert", MakeUserCertificate().c_str());
      request.AddHeader("User-ID", userId.c_str());
      break;
    case Credentials::kBeat:
      request.AddHeader("User-Serial", serial.c_str());
      request.AddHeader("User-ID", userId.c_str());
      break;
    case Credentials::kTransfer:
      request.AddHeader("User-Serial", serial.c_str());
      request.AddHeader("User-ID", userId.c_str());
      request.AddHeader("User-Cert", MakeUserCertificate().c_str());
      break;
  }
}

void FillErrorRecord(HandsetError* error, const OperationRequest& request,
                     bool utilTimestamps) {
  if (error == nullptr) return;
  error->code = request.errorCode;
  AnsiToWide(request.errorMessage.c_str(), error->message);
  const bool timestamped =
      request.errorCode == kCodeClockDifference ||
      (utilTimestamps && (request.errorCode == kCodeUtilTimestampLow ||
                          request.errorCode == kCodeUtilTimestampHigh));
  if (timestamped)
    AnsiToWide(request.serverTimestamp.c_str(), error->timestamp);
}

}  // namespace vesk::service
