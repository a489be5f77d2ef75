// The call core shared by the six operations: text conversion at the
// boundary, the handset's identity values and their file, the operation
// request with its perform step and error collection, and the frame helpers
// that every export runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "service/vesk80.h"
#include "transport/transport.h"

namespace vesk::xml {
class XmlDocument;
}

namespace vesk::service {

using transport::ByteString;

// ---------------------------------------------------------------------------
// Text at the boundary

// UTF-16 text (zero-terminated, read at most maxUnits units) into a byte
// buffer in the system ANSI code page. The buffer is zero-filled first; a
// text whose ANSI form does not fit capacity - 1 bytes is cut on a character
// boundary. Returns target, or null (buffer left zero) for a null text or a
// failed conversion.
char* WideToAnsi(const char16_t* text, char* target, size_t capacity,
                 size_t maxUnits = SIZE_MAX);
// Bytes the ANSI form of text needs, terminator included; 0 when it cannot
// be converted.
size_t AnsiSize(const char16_t* text, size_t maxUnits = SIZE_MAX);
// Zero-terminated ANSI text into a UTF-16 field of capacity units, cut to
// fit (never inside a surrogate pair), terminator included. When the text
// cannot be converted the field is left as it was and null is returned.
char16_t* AnsiToWide(const char* text, char16_t* target, size_t capacity);

template <size_t N>
char* WideToAnsi(const char16_t* text, char (&target)[N],
                 size_t maxUnits = SIZE_MAX) {
  return WideToAnsi(text, target, N, maxUnits);
}
template <size_t N>
char16_t* AnsiToWide(const char* text, char16_t (&target)[N]) {
  return AnsiToWide(text, target, N);
}

// Number of units before the terminator, reading at most maxUnits.
size_t BoundedLength(const char16_t* text, size_t maxUnits);

// ---------------------------------------------------------------------------
// The handset environment

// The process-wide identity values read from the handset environment file,
// and the content key list that the transfers keep beside them. Not locked:
// one call at a time.
class HandsetEnv {
 public:
  ByteString UserAgent() const { return userAgent_; }
  ByteString PublicKey() const { return publicKey_; }
  ByteString PrivateKey() const { return privateKey_; }
  ByteString UserSerial() const { return userSerial_; }
  int32_t UserId() const { return userId_; }
  int32_t UserNo() const { return userNo_; }
  ByteString ContentKeys() const { return contentKeys_; }

  void SetUserAgent(const ByteString& value) { userAgent_ = value; }
  void SetPublicKey(const ByteString& value) { publicKey_ = value; }
  void SetPrivateKey(const ByteString& value) { privateKey_ = value; }
  void SetUserSerial(const ByteString& value) { userSerial_ = value; }
  void SetUserId(int32_t value) { userId_ = value; }
  void SetUserNo(int32_t value) { userNo_ = value; }
  void SetContentKeys(const ByteString& value) { contentKeys_ = value; }

 private:
  friend void ReadEnvironment(const char16_t* path);
  friend void ClearEnvironment();

  ByteString userAgent_;
  ByteString publicKey_;
  ByteString privateKey_;
  ByteString userSerial_;
  int32_t userId_ = 0;
  int32_t userNo_ = 0;
  ByteString contentKeys_;
};

// The one instance of the process.
HandsetEnv& Env();

// The handset's usual environment file.
extern const char16_t kDefaultEnvironmentPath[];

// Replaces the values from the file: one "Key: value" line each, keys found
// anywhere in a line, text values of repeated keys concatenated, numbers by
// the atoi rule. The user number keeps its value unless the file has one. A
// missing file leaves the values empty; a line of more than 1023 bytes ends
// the reading there. Reports nothing.
void ReadEnvironment(const char16_t* path);
// Replaces the file with the six lines of the current values. A line that
// cannot be written is lost; reports nothing.
void WriteEnvironment(const char16_t* path);
// Empties the text values and the content key list; user id and number stay.
void ClearEnvironment();

// What a path (which may hold wildcards) names: 0 nothing, 1 only
// directories, 2 a file.
int32_t ProbePath(const char16_t* path);

// "%d-%d-%d %d:%d:%d.%.3d": the local date and time without leading zeros,
// then the tick count modulo 999.
ByteString FormatTimestamp();

// ---------------------------------------------------------------------------
// The operation request and its perform step

// The request object of every operation: the request context followed by the
// outcome of the exchange.
class OperationRequest : public transport::HandsetRequest {
 public:
  int32_t status = 0;
  int32_t errorCode = 0;
  ByteString errorMessage;
  ByteString serverTimestamp;
};

enum class Exchange { kGet, kPost };

struct PerformOptions {
  Exchange exchange = Exchange::kGet;
  bool closeAfterHead = false;  // nothing is read after the first receive
  bool acceptPartial = false;   // 206 is a success status too
  bool utilTimestamps = false;  // 914 and 915 carry "X-Util-Timestamp"
};

// One exchange: a POST first gets its "Content-Length" header; then the
// exchange, the status, and on a status that is not a success status the
// service's error report (CollectServiceError). Returns the status; 0 when
// the exchange failed. The body of a success is left to the operation.
int32_t Perform(OperationRequest& request, const char* url, int32_t port,
                const PerformOptions& options);

// Collects "X-Error-Code", "X-Error-Message" and the time stamp from the raw
// response; with no error code the body that came with the head is appended
// to the message.
void CollectServiceError(OperationRequest& request, bool utilTimestamps);

// ---------------------------------------------------------------------------
// The export frame

constexpr size_t kUrlBufferSize = 256;

// Converts the caller's URL into the zero-filled buffer and checks its form.
// False when the URL is missing, too long for the buffer, not of the form
// "http://host/path"; the request's errorMessage then names the problem.
bool PrepareUrl(const char16_t* url, char (&ansi)[kUrlBufferSize],
                OperationRequest& request);

// The credential headers in the order each operation sends them.
enum class Credentials {
  kAccount,   // "User-Serial", "User-Cert", "User-ID"
  kBeat,      // "User-Serial", "User-ID"
  kTransfer,  // "User-Serial", "User-ID", "User-Cert" (download, load, save)
};
// Reads the environment file and hands its key texts to the RSA facility,
// as every operation but the heartbeat does at its start.
void LoadIdentity(const char16_t* environmentFile);

// Sets the environment's user agent and adds the credential headers.
void SetCredentialHeaders(transport::HandsetRequest& request,
                          Credentials order);

// The handset's key operations on the process-wide RSA facility (OAEP and
// base64 set before each use). LoadKeyPair imports the stored texts (a text
// that does not import keeps the key held before) and returns 1; NewKeyPair
// generates a 1024-bit pair, stores its texts in the environment values and
// returns 1, or the facility's failure result.
int32_t LoadKeyPair(const ByteString& publicKey, const ByteString& privateKey);
int32_t NewKeyPair();
// The user certificate sent as "User-Cert": the time stamp encrypted with the
// private key, as base64; empty when the facility holds no private key.
ByteString MakeUserCertificate();

// Fills the caller's error record after a refusal: code, message and, for
// 906 (and with utilTimestamps 914 and 915), the time stamp.
void FillErrorRecord(HandsetError* error, const OperationRequest& request,
                     bool utilTimestamps = false);

// ---------------------------------------------------------------------------
// Short XML replies

// Replaces every encoded word ("=?" charset "?" B or Q "?" data "?=") by its
// decoded bytes; text outside encoded words, and words that are not whole,
// stay as they are. The charset is not used.
std::string DecodeEncodedWords(std::string_view text);

// Bytes in the ANSI code page into a zero-filled byte field, cut on a
// character boundary to capacity - 1 bytes.
void CopyAnsiField(const std::string& bytes, char* field, size_t capacity);
template <size_t N>
void CopyAnsiField(const std::string& bytes, char (&field)[N]) {
  CopyAnsiField(bytes, field, N);
}

// A reply body read as one XML document (its encoding detected as a file's
// would be), with the lookups the replies need. A body that is not well
// formed yields nothing. Values come back in the ANSI code page.
class ReplyReader {
 public:
  ReplyReader(const char* body, int32_t length);
  ~ReplyReader();
  // The attribute of a direct child of the document element, by the atoi
  // rule; 0 when either is missing.
  int32_t RootChildAttributeNumber(const char16_t* element,
                                   const char16_t* attribute) const;
  // The first element of the name breadth-first from the document element.
  bool Has(const char16_t* element) const;
  std::string Text(const char16_t* element) const;  // "" when missing
  int32_t Number(const char16_t* element) const;    // 0 when missing

 private:
  std::unique_ptr<xml::XmlDocument> document_;
  bool wellFormed_ = false;
};

// Runs the account-information operation.
int32_t AccountInfo(const char16_t* environmentFile, AccountInfoResult* result,
                    HandsetError* error, const char16_t* url, int32_t port);

}  // namespace vesk::service
