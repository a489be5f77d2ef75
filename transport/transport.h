// The HTTP transport: the byte string that all library text lives in, the
// request context that every operation extends (its fields, its connection,
// the composition of the request text and the reading of the response head),
// and the text helpers around them.
//
// One request object serves one call on one thread; it holds no lock. The
// request text is built whole and sent with one call; the response head is
// read into one 1024-byte area, which must hold the status line and every
// header line. Longer bodies are received by the operations themselves
// through Receive(). Every wait for the peer (the connect, each receive,
// each send) is bounded by the platform's socket time-out
// (VESK_TIMEOUT_SECONDS); a time-out ends the exchange as a dropped
// connection does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vesk::transport {

// ---------------------------------------------------------------------------
// Byte string

// The library's growable, zero-terminated string of bytes in the system ANSI
// code page. Appending a text stops at its terminator; Append(data, size)
// takes the bytes as they are.
class ByteString {
 public:
  ByteString() = default;
  explicit ByteString(const char* text) { Append(text); }
  ByteString(const char* data, size_t size) : text_(data, size) {}

  const char* c_str() const { return text_.c_str(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  std::string_view view() const { return text_; }
  void Clear() { text_.clear(); }

  ByteString& Append(const char* text);  // null appends nothing
  ByteString& Append(const char* data, size_t size);
  ByteString& Append(const ByteString& other) {
    text_ += other.text_;
    return *this;
  }
  ByteString& AppendDecimal(int64_t value);
  // The text as a number by the C atoi rule (see AtoiRule).
  int32_t ToInt() const;

  bool operator==(std::string_view other) const { return text_ == other; }
  bool operator==(const ByteString& other) const {
    return text_ == other.text_;
  }

 private:
  std::string text_;
};

// The C atoi rule: leading white space skipped, an optional sign, decimal
// digits up to the first other character; 0 when there are none or the text
// is null. A value beyond the 32-bit range is held at its limit.
int32_t AtoiRule(const char* text);

// ---------------------------------------------------------------------------
// Text search and header values

constexpr int32_t kNullArgument = -1;
constexpr int32_t kNotFound = -2;

// Index of the first occurrence of pattern in the zero-terminated text that
// begins at or after start; kNotFound when there is none (also when start is
// at or past the terminator, or the pattern is empty); kNullArgument for a
// null text or pattern. Case-sensitive, byte by byte.
int32_t FindText(const char* text, const char* pattern, int32_t start);

// The value of the first header named name found anywhere in head (a
// substring match, so a longer name or a value can match): the text after
// the colon that follows the name, up to the next CR LF (or the end of the
// text), untrimmed: the blank after the colon stays. Null when either
// argument is null or the name does not occur.
std::unique_ptr<char[]> GetHeaderValue(const char* head, const char* name);

// The HTTP status of a response head: the decimal number formed by the (at
// most) three characters after its first blank; 0 for an empty head.
int32_t ParseStatus(const char* head);

// ---------------------------------------------------------------------------
// Request composition helpers

// Form value encoding: ASCII letters and digits stay, a blank becomes "+",
// every other byte becomes "%" and two upper-case hexadecimal digits.
ByteString UrlEncode(const char* text);

// n characters drawn from "0-9a-zA-Z" with the platform's Random().
ByteString RandomText(int32_t n);

// The fixed User-Agent value sent when the request has none of its own.
extern const char kDefaultUserAgent[];

// ---------------------------------------------------------------------------
// The request context

class HandsetRequest {
 public:
  // Size of the response areas and of one receive.
  static constexpr int32_t kAreaSize = 1024;

  HandsetRequest();
  virtual ~HandsetRequest();
  HandsetRequest(const HandsetRequest&) = delete;
  HandsetRequest& operator=(const HandsetRequest&) = delete;

  // Puts the per-exchange state back to the constructed values without
  // closing the socket; a held socket is still closed by CloseConnection or
  // the destructor.
  void ResetRequest();

  // What the next request says.
  void SetUserAgent(const char* text);
  void SetContentType(const char* text);
  // "from-" or "from-to"; the end is written only when to > from.
  void SetRange(int32_t from, int32_t to);
  // Appends "name: value" to the extra header lines, CR LF between lines.
  // Nothing when name or value is null; an empty value still adds the line.
  void AddHeader(const char* name, const char* value);
  // Appends "name=" and the encoded value to the form body, "&" between
  // fields. Nothing when name or value is null.
  void AddFormField(const char* name, const char* value);

  const ByteString& UserAgent() const { return userAgent_; }
  const ByteString& ContentType() const { return contentType_; }
  const ByteString& Range() const { return range_; }
  const ByteString& FormBody() const { return formBody_; }
  const ByteString& HeaderLines() const { return headerLines_; }
  const ByteString& RequestText() const { return requestText_; }
  const ByteString& ResponseHead() const { return responseHead_; }
  const ByteString& Path() const { return path_; }
  const ByteString& Host() const { return host_; }
  int32_t HeadLength() const { return headLength_; }
  int32_t ContentLength() const { return contentLength_; }
  int32_t FirstBodyLength() const { return firstBodyLength_; }
  // The head followed by the body bytes that came with it; always
  // zero-terminated (one byte beyond the area is kept zero).
  const char* RawResponse() const { return rawResponse_; }
  // The body bytes that came with the head, zero-padded and terminated.
  const char* Body() const { return body_; }
  bool Connected() const { return connected_; }
  platform::SocketHandle Socket() const { return socket_; }
  int32_t Port() const { return port_; }

  // Connection. OpenSocket starts the socket library and creates a TCP
  // socket (a held but unconnected socket is closed first); Connect resolves
  // the host up to its first ":" and connects to port; CloseConnection
  // closes the socket and releases the socket library once.
  [[nodiscard]] bool OpenSocket();
  [[nodiscard]] bool Connect(const char* host, int32_t port);
  bool CloseConnection();
  [[nodiscard]] bool SendText(const ByteString& text);
  [[nodiscard]] bool SendBytes(const void* data, int32_t length);
  // One receive of at most capacity bytes: the count; -1 when the peer
  // closed, the connection failed or the time-out passed (and at once for
  // every later receive of this connection); 0 when not connected.
  int32_t Receive(void* buffer, int32_t capacity);

  // The exchanges: connect, compose and send the request, switch on
  // keep-alive, and (not BeginPost) read the response head. False when the
  // connection could not be made (it is closed again) or the send failed.
  bool SendGet(const char* url, int32_t port);
  bool SendPost(const char* url, int32_t port);
  bool BeginPost(const char* url, int32_t port);

  // URL splitting: the path from the first "/" after the scheme's "//" (or
  // from the start when the URL has no "//"), and the host between "//" and
  // the path, port included. Both also store their result in the request.
  ByteString ExtractPath(const char* url);
  ByteString ExtractHost(const char* url);
  // Builds the HTTP/1.1 request text and stores it in the request.
  ByteString ComposeRequest(const char* url, const char* method,
                            const ByteString& range, const ByteString& body);
  // Fills the response areas: head, content length, first body bytes. It
  // receives until the area holds the whole head (CR LF CR LF) and as many
  // body bytes as the Content-Length announces and the area can hold, or
  // the peer closes, or the time-out passes; without a Content-Length it
  // takes what came with the receive that completed the head. A reply that
  // arrives in one piece is read with one receive. A head that does not
  // complete within the area (or holds a zero byte) counts as no response.
  // Returns the raw response area.
  const char* ReadResponseHead();

 private:
  bool Exchange(const char* url, int32_t port, const char* method,
                bool readHead);

  ByteString requestText_;
  ByteString responseHead_;
  ByteString path_;
  ByteString host_;
  ByteString userAgent_;
  ByteString headerLines_;
  ByteString formBody_;
  ByteString contentType_;
  ByteString range_;
  char rawResponse_[kAreaSize + 1];
  char body_[kAreaSize + 1];
  platform::SocketHandle socket_ = 0;
  bool connected_ = false;
  int32_t headLength_ = 0;
  int32_t contentLength_ = 0;
  int32_t firstBodyLength_ = 0;
  int32_t port_ = 0;
  uint32_t timeoutMs_ = 0;  // of the current socket; 0 waits without limit
  // The peer has closed, failed or stayed silent past the time-out: later
  // receives on this connection fail at once instead of waiting again.
  bool peerGone_ = false;
};

}  // namespace vesk::transport
