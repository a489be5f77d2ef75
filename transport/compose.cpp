// Composition of the request text from the URL and the request's fields.
#include <cstring>

#include "transport/transport.h"

namespace vesk::transport {

const char kDefaultUserAgent[] =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR "
    "2.0.50727; InfoPath.2; .NET CLR 3.0.4506.2152; .NET CLR 3.5.30729)";

namespace {

constexpr char kFormContentType[] = "application/x-www-form-urlencoded";

struct UrlParts {
  size_t hostBegin;
  size_t pathBegin;  // the length of the URL when it has no path
};

// The host starts after the first "//" (or at the start); the path at the
// first "/" from index 7 when the URL has a "//", from 0 otherwise.
UrlParts SplitUrl(std::string_view url) {
  const size_t slashes = url.find("//");
  const bool hasScheme = slashes != std::string_view::npos;
  const size_t hostBegin = hasScheme ? slashes + 2 : 0;
  size_t pathBegin = url.find('/', hasScheme ? 7 : 0);
  if (pathBegin == std::string_view::npos || pathBegin < hostBegin) {
    pathBegin = pathBegin == std::string_view::npos ? url.size() : hostBegin;
  }
  return {hostBegin, pathBegin};
}

}  // namespace

ByteString HandsetRequest::ExtractPath(const char* url) {
  path_.Clear();
  if (url != nullptr) {
    const std::string_view text(url);
    const UrlParts parts = SplitUrl(text);
    const std::string_view path = text.substr(parts.pathBegin);
    path_.Append(path.data(), path.size());
  }
  return path_;
}

ByteString HandsetRequest::ExtractHost(const char* url) {
  host_.Clear();
  if (url != nullptr) {
    const std::string_view text(url);
    const UrlParts parts = SplitUrl(text);
    if (parts.pathBegin > parts.hostBegin) {
      host_.Append(text.data() + parts.hostBegin,
                   parts.pathBegin - parts.hostBegin);
    }
  }
  return host_;
}

ByteString HandsetRequest::ComposeRequest(const char* url, const char* method,
                                          const ByteString& range,
                                          const ByteString& body) {
  const ByteString path = ExtractPath(url);
  const ByteString host = ExtractHost(url);
  ByteString text;
  text.Append(method).Append(" ");
  // A URL whose path is empty still names a target: the root.
  text.Append(path.empty() ? "/" : path.c_str()).Append(" HTTP/1.1\r\n");
  text.Append("Host: ").Append(host).Append("\r\n");
  text.Append("Accept: */*\r\n");
  text.Append("User-Agent: ")
      .Append(userAgent_.empty() ? kDefaultUserAgent : userAgent_.c_str())
      .Append("\r\n");
  text.Append("Connection: Keep-Alive\r\n");
  if (!body.empty() || !contentType_.empty()) {
    text.Append("Content-Type: ")
        .Append(contentType_.empty() ? kFormContentType : contentType_.c_str())
        .Append("\r\n");
  }
  if (!headerLines_.empty()) text.Append(headerLines_).Append("\r\n");
  if (!range.empty()) text.Append("Range: bytes=").Append(range).Append("\r\n");
  text.Append("\r\n");
  if (!body.empty()) text.Append(body).Append("\r\n");
  requestText_ = text;
  return text;
}

ByteString UrlEncode(const char* text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  ByteString encoded;
  if (text == nullptr) return encoded;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
       *p != 0; ++p) {
    const unsigned char c = *p;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9')) {
      const char plain = static_cast<char>(c);
      encoded.Append(&plain, 1);
    } else if (c == ' ') {
      encoded.Append("+");
    } else {
      const char escape[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
      encoded.Append(escape, 3);
    }
  }
  return encoded;
}

ByteString RandomText(int32_t n) {
  static constexpr char kAlphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  constexpr uint32_t kAlphabetSize = sizeof kAlphabet - 1;
  ByteString text;
  for (int32_t i = 0; i < n; ++i) {
    const char c = kAlphabet[platform::Random() % kAlphabetSize];
    text.Append(&c, 1);
  }
  return text;
}

}  // namespace vesk::transport
