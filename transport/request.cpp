// The request context: construction, setters, the connection and the three
// exchanges.
#include <cstring>

#include "transport/transport.h"

namespace vesk::transport {

namespace {

constexpr uint16_t kSocketVersion = 0x0202;
// The keep-alive value the handset always set on its connections.
constexpr int32_t kKeepAliveValue = 2000000;

}  // namespace

HandsetRequest::HandsetRequest() {
  std::memset(rawResponse_, 0, sizeof rawResponse_);
  std::memset(body_, 0, sizeof body_);
}

HandsetRequest::~HandsetRequest() { CloseConnection(); }

void HandsetRequest::ResetRequest() {
  connected_ = false;
  peerGone_ = false;
  headLength_ = 0;
  contentLength_ = 0;
  firstBodyLength_ = 0;
  port_ = 0;
  requestText_.Clear();
  responseHead_.Clear();
  path_.Clear();
  host_.Clear();
  userAgent_.Clear();
  headerLines_.Clear();
  formBody_.Clear();
  contentType_.Clear();
  range_.Clear();
  std::memset(rawResponse_, 0, sizeof rawResponse_);
  std::memset(body_, 0, sizeof body_);
}

void HandsetRequest::SetUserAgent(const char* text) {
  userAgent_.Clear();
  userAgent_.Append(text);
}

void HandsetRequest::SetContentType(const char* text) {
  contentType_.Clear();
  contentType_.Append(text);
}

void HandsetRequest::SetRange(int32_t from, int32_t to) {
  range_.Clear();
  range_.AppendDecimal(from).Append("-");
  if (to > from) range_.AppendDecimal(to);
}

void HandsetRequest::AddHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  if (!headerLines_.empty()) headerLines_.Append("\r\n");
  headerLines_.Append(name).Append(": ").Append(value);
}

void HandsetRequest::AddFormField(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  if (!formBody_.empty()) formBody_.Append("&");
  formBody_.Append(name).Append("=").Append(UrlEncode(value));
}

bool HandsetRequest::OpenSocket() {
  if (connected_) return true;
  // A socket left from an earlier exchange of this request (ResetRequest
  // keeps the handle) is closed before a new one takes its place.
  if (socket_ != 0 && !CloseConnection()) socket_ = 0;
  uint16_t granted = 0;
  if (!platform::StartSockets(kSocketVersion, &granted)) return false;
  if ((granted & 0xFF) != 2) {
    platform::StopSockets();
    return false;
  }
  socket_ = platform::CreateTcpSocket();
  if (socket_ == platform::kInvalidSocket) {
    platform::StopSockets();
    return false;
  }
  // Every wait of this connection for its peer is bounded, so that a peer
  // that goes silent ends the exchange as a dropped connection would.
  timeoutMs_ = platform::SocketTimeoutMs();
  peerGone_ = false;
  (void)platform::SetSocketTimeout(socket_, timeoutMs_);
  return true;
}

bool HandsetRequest::Connect(const char* host, int32_t port) {
  if (host == nullptr) return false;
  if (connected_) return true;
  // A port written in the host is for the Host header only; the caller's
  // port argument decides where to connect.
  const char* colon = std::strchr(host, ':');
  const std::string name =
      colon == nullptr ? std::string(host) : std::string(host, colon - host);
  uint32_t address = 0;
  if (!platform::ResolveIpv4(name.c_str(), &address)) return false;
  if (socket_ == 0 || socket_ == platform::kInvalidSocket) return false;
  if (!platform::Connect(socket_, address, static_cast<uint16_t>(port),
                         timeoutMs_)) {
    return false;
  }
  connected_ = true;
  port_ = port;
  return true;
}

bool HandsetRequest::CloseConnection() {
  if (socket_ == 0) return true;
  if (!platform::CloseSocket(socket_)) return false;
  platform::StopSockets();
  socket_ = 0;
  connected_ = false;
  return true;
}

bool HandsetRequest::SendText(const ByteString& text) {
  return SendBytes(text.c_str(), static_cast<int32_t>(text.size()));
}

bool HandsetRequest::SendBytes(const void* data, int32_t length) {
  if (length < 0 || (data == nullptr && length > 0)) return false;
  if (socket_ == 0 || socket_ == platform::kInvalidSocket) return false;
  return platform::SendAll(socket_, data, static_cast<size_t>(length));
}

int32_t HandsetRequest::Receive(void* buffer, int32_t capacity) {
  if (!connected_) return 0;
  if (buffer == nullptr || capacity <= 0 || peerGone_) return -1;
  const int received =
      platform::Receive(socket_, buffer, static_cast<size_t>(capacity));
  if (received >= 1) return received;
  peerGone_ = true;
  return -1;
}

bool HandsetRequest::Exchange(const char* url, int32_t port, const char* method,
                              bool readHead) {
  const ByteString host = ExtractHost(url);
  if (!OpenSocket() || !Connect(host.c_str(), port)) {
    CloseConnection();
    return false;
  }
  const ByteString text = ComposeRequest(url, method, range_, formBody_);
  const bool sent = SendText(text);
  (void)platform::SetKeepAlive(socket_, kKeepAliveValue);
  if (readHead) ReadResponseHead();
  return sent;
}

bool HandsetRequest::SendGet(const char* url, int32_t port) {
  return Exchange(url, port, "GET", true);
}

bool HandsetRequest::SendPost(const char* url, int32_t port) {
  return Exchange(url, port, "POST", true);
}

bool HandsetRequest::BeginPost(const char* url, int32_t port) {
  return Exchange(url, port, "POST", false);
}

}  // namespace vesk::transport
