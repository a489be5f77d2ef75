// The save operation: one POST whose multipart/form-data body is streamed
// after the request head.
#include "service/service.h"
#include "upload/upload.h"

namespace vesk::upload {

namespace {

// 27 hyphens and "7d", then 11 random characters: 40 in all.
constexpr char kBoundaryPrefix[] = "---------------------------7d";
constexpr int32_t kBoundaryRandomLength = 11;

class HandsetSaveRequest : public service::OperationRequest {
 public:
  HandsetSaveRequest() { ResetRequest(); }
  ~HandsetSaveRequest() override {
    ResetRequest();
    service::ClearEnvironment();
  }

  void MakeBoundary() {
    boundary_.Clear();
    boundary_.Append(kBoundaryPrefix)
        .Append(transport::RandomText(kBoundaryRandomLength));
  }
  const service::ByteString& Boundary() const { return boundary_; }

  // The closing line of the body: "--", the boundary, "--", CR LF.
  service::ByteString ClosingLine() const {
    service::ByteString line("--");
    line.Append(boundary_).Append("--\r\n");
    return line;
  }

  int32_t PerformUpload(const char* url, int32_t port) {
    const service::ByteString closing = ClosingLine();
    AddHeader("Content-Length",
              service::ByteString().AppendDecimal(closing.size()).c_str());
    if (!BeginPost(url, port)) return status;
    (void)SendText(closing);
    ReadResponseHead();
    status = transport::ParseStatus(ResponseHead().c_str());
    CloseConnection();
    if (status != 200) service::CollectServiceError(*this, false);
    return status;
  }

 private:
  service::ByteString boundary_;
};

}  // namespace

int32_t HandsetSave(const char16_t* environmentFile,
                    const HandsetSaveInput* input, char16_t* output,
                    HandsetError* error, const char16_t* url, int32_t port) {
  HandsetSaveRequest request;
  char ansiUrl[service::kUrlBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request)) {
    service::LoadIdentity(environmentFile);
    service::SetCredentialHeaders(request, service::Credentials::kTransfer);
    request.MakeBoundary();
    service::ByteString contentType("multipart/form-data; boundary=");
    contentType.Append(request.Boundary());
    request.SetContentType(contentType.c_str());
    request.PerformUpload(ansiUrl, port);
  }
  if (request.status != 200) service::FillErrorRecord(error, request);
  (void)input;
  (void)output;
  return request.status;
}

}  // namespace vesk::upload
