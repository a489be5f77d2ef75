// One request's exchange as the operations see it: they read the parsed
// head (and a form body), check the handset, do their work in the store and
// decide on a reply, without touching the connection. The server
// (server.cpp) reads the request, sends the reply they decided on and logs
// the outcome.
#ifndef VESK_TOOLS_SERVICE_EXCHANGE_H_
#define VESK_TOOLS_SERVICE_EXCHANGE_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/service/request.h"
#include "tools/service/service.h"

namespace vesk::service_tool {

// The service's own error codes in "X-Error-Code". 906, 914, 915 and 916
// are the ones handsets act on; the others only explain a refusal.
enum ErrorCode : int {
  kMalformed = 900,
  kUnknownHandset = 901,
  kBadCertificate = 902,
  kBadKey = 903,
  kNoSuchPath = 904,
  kClockDifference = 906,
  kWrongPassword = 910,
  kNameTaken = 911,
  kWrongValidation = 914,
  kExpiredValidation = 915,
  kPartialMismatch = 916,
  kNoSuchContent = 917,
  kNoSuchPackage = 918,
  kUploadRefused = 919,
  kStorageFull = 920,
  kInternal = 999,
};

// Handsets read a reply's head and its short body with one 1024-byte
// receive: such replies are sent in one piece and must fit.
constexpr size_t kFirstReceive = 1024;
// File bodies go out in blocks of this size.
constexpr size_t kStreamBlock = 64 * 1024;
// Form bodies are short; anything longer is refused.
constexpr uint64_t kMaxFormBytes = 64 * 1024;

using Headers = std::vector<std::pair<std::string, std::string>>;

// What the service shares between connections.
struct Context {
  Context(Store& s, const ServeOptions& o) : store(s), options(o) {
    cutsLeft = o.cuts;
  }

  Store& store;
  const ServeOptions& options;
  std::atomic<int> cutsLeft{0};

  // Upload bytes being received, by handset, not yet in the store: the
  // quota counts them, so that two saves at once cannot both pass it.
  std::mutex receivingLock;
  std::map<int64_t, int64_t> receiving;

  // The service's clock (moved by --clock-offset).
  std::time_t Now() const;
  // Its time stamp in the handsets' form.
  std::string Timestamp() const;
  // True for a reply that is to be cut; counts the cut.
  bool TakeCut();
};

// What the access log says about one request.
struct Outcome {
  int status = 0;
  int code = 0;
  int64_t userId = 0;
  uint64_t bodyBytes = 0;
  bool cut = false;
  std::string reason;  // a refusal's message
};

// The reply an operation decided on: `first` goes out in one send (the head
// with a short body, or with a file body's first bytes so that a handset's
// first receive finds both); then `left` more bytes of the open file from
// `fileAt`.
struct Reply {
  Reply() = default;
  ~Reply();
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  std::string first;
  int file = -1;
  uint64_t fileAt = 0;
  uint64_t left = 0;
  // Told once whether the whole reply went out.
  std::function<void(bool whole)> sent;
};

class Exchange {
 public:
  explicit Exchange(Context& context) : context_(context) {}

  Context& context() { return context_; }
  Outcome& outcome() { return outcome_; }
  Reply& reply() { return reply_; }
  bool Replied() const { return replied_; }

  // A reply whose head and body go out in one send; both must fit the
  // handset's first receive when the body is meant to be read from it.
  void Short(int status, const Headers& headers, std::string_view body);
  // A refusal: the status, "X-Error-Code" and "X-Error-Message" (and the
  // message as the body), and `extra` headers.
  void Refuse(int status, int code, const std::string& message,
              const Headers& extra = {});
  // Bytes [from, from + length) of the file as the body; a cut ends it
  // after the configured number of bytes.
  void File(int status, const Headers& headers, const std::string& path,
            uint64_t from, uint64_t length);

 private:
  std::string Head(int status, const Headers& headers, uint64_t length) const;

  Context& context_;
  Outcome outcome_;
  Reply reply_;
  bool replied_ = false;
};

// What a request's body is to the server.
enum class BodyKind {
  kNone,    // read none; the operation runs on the head
  kForm,    // a short form, read whole before the operation runs
  kUpload,  // a multipart upload, streamed into a SaveRequest
};
BodyKind BodyOf(const RequestHead& head);

// Runs a request whose body is kNone or kForm (`body` then holds it).
void Dispatch(Exchange& exchange, const RequestHead& head,
              const std::string& body);

// A save (POST /save) while its body arrives: updates are written to scratch
// files as they come and take their places, and deletes are done, only once
// the whole body has been read, so that a broken request changes nothing.
class SaveRequest {
 public:
  // Checks the handset and the head; nullptr after a refusal.
  static std::unique_ptr<SaveRequest> Begin(Exchange& exchange,
                                            const RequestHead& head);
  virtual ~SaveRequest() = default;
  // Bytes of the body still expected.
  virtual uint64_t Left() const = 0;
  // Feeds body bytes; false once the request is refused (keep reading the
  // body to its end, then call End).
  virtual bool Feed(std::string_view bytes) = 0;
  // The body ended (`left` bytes never came when it ended early): applies
  // the request and decides the reply.
  virtual void End(Exchange& exchange) = 0;
};

}  // namespace vesk::service_tool

#endif  // VESK_TOOLS_SERVICE_EXCHANGE_H_
