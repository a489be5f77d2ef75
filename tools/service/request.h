// The reference service's request parsing: the request head, form bodies,
// byte ranges and multipart/form-data bodies read as a stream. Nothing here
// touches a socket or a file, so that a fuzz target can feed it any bytes.
#ifndef VESK_TOOLS_SERVICE_REQUEST_H_
#define VESK_TOOLS_SERVICE_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::service_tool {

// A request head is refused beyond this size (431).
constexpr size_t kMaxHeadBytes = 8192;
// Bodies of any operation are refused beyond this size (413).
constexpr uint64_t kMaxBodyBytes = 1ull << 31;

struct RequestHead {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  bool hasContentLength = false;
  uint64_t contentLength = 0;

  // The value of the first header of that name (case-insensitive), blanks
  // around it removed; nullopt when absent.
  std::optional<std::string> Header(std::string_view name) const;
};

enum class HeadStatus { kIncomplete, kComplete, kRefused };

struct HeadResult {
  HeadStatus status = HeadStatus::kIncomplete;
  size_t headLength = 0;  // bytes up to and including the empty line
  int refusal = 0;        // HTTP status for kRefused: 400, 413, 431, 501
  std::string reason;     // short text for the refusal
};

// Parses the head at the start of data. kIncomplete while no empty line has
// arrived within kMaxHeadBytes; kRefused for anything malformed: a bad
// request line, a header line without a colon or with a bad name, folded
// lines, a Content-Length that is not plain digits or that disagrees with
// another one, any Transfer-Encoding.
HeadResult ParseHead(std::string_view data, RequestHead& head);

// Form fields of an application/x-www-form-urlencoded body: "+" is a blank,
// "%XX" a byte; a bad escape is kept as it stands. A later field of the same
// name does not replace the first.
std::map<std::string, std::string> ParseForm(std::string_view body);

// "bytes=FROM-" or "bytes=FROM-TO" (blanks allowed around the value). to is
// -1 when open. nullopt for anything else, including TO below FROM.
struct ByteRange {
  uint64_t from = 0;
  int64_t to = -1;
};
std::optional<ByteRange> ParseRange(std::string_view value);

// The boundary of a "multipart/form-data; boundary=..." content type
// (quoted or not, 1 to 70 characters); nullopt when it is something else.
std::optional<std::string> MultipartBoundary(std::string_view contentType);

// One part's head, as far as the service reads it.
struct PartHead {
  std::string name;      // form-data name
  std::string filename;  // raw bytes of the filename parameter
  bool hasFilename = false;
  std::string contentType;
};

// Reads a multipart/form-data body piece by piece and reports each part's
// head, its data (in pieces) and its end. Memory stays bounded: a part head
// is held until its empty line (at most kMaxHeadBytes), part data is passed on
// as soon as it cannot be the start of a delimiter.
class MultipartReader {
 public:
  struct Handler {
    // A false return from any callback stops the reader with an error.
    std::function<bool(const PartHead&)> partBegin;
    std::function<bool(std::string_view)> partData;
    std::function<bool()> partEnd;
  };

  MultipartReader(std::string boundary, Handler handler);

  // Feeds the next bytes. False once the body is malformed or a callback
  // refused; the reader then ignores everything else.
  bool Feed(std::string_view bytes);
  // True when the closing delimiter has been read (bytes after it are
  // ignored); false for a body that ended early or was malformed.
  bool Finish() const { return state_ == State::kDone; }
  bool Failed() const { return state_ == State::kFailed; }
  const std::string& Error() const { return error_; }
  int Parts() const { return parts_; }

 private:
  enum class State {
    kPreamble,
    kAfterDelimiter,
    kPartHead,
    kPartData,
    kDone,
    kFailed
  };
  bool Fail(const char* why);
  bool ParsePartHead(std::string_view text);

  std::string delimiter_;  // "\r\n--" + boundary
  Handler handler_;
  State state_ = State::kPreamble;
  std::string pending_;  // bytes not yet settled
  std::string error_;
  int parts_ = 0;
};

}  // namespace vesk::service_tool

#endif  // VESK_TOOLS_SERVICE_REQUEST_H_
