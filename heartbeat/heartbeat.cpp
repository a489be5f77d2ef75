// The heartbeat operation: a GET with the handset's serial and user id only.
// A successful reply is a notification document; its body is stored in the
// notification file on the storage card, read back with the XML document,
// and the notifications are handed to the caller as one array of records.
#include "heartbeat/heartbeat.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"
#include "xml/xml.h"

namespace vesk::heartbeat {

namespace {

const char16_t kNotificationFile[] = u"\\Storage Card\\savepush.xml";

constexpr int32_t kContentSize = sizeof(ContentNotification);
constexpr int32_t kMessageSize = sizeof(MessageNotification);
constexpr int32_t kAdvertisementSize = sizeof(AdvertisementNotification);
static_assert(kContentSize == 3588 && kMessageSize == 3072 &&
                  kAdvertisementSize == 4096,
              "notification records have fixed sizes");

// Text into a fixed UTF-16 field: cut to capacity - 1 units, never between
// the two halves of a surrogate pair; the rest of the field stays zero.
template <size_t N>
void CopyField(const std::u16string& text, char16_t (&field)[N]) {
  size_t length = std::min(text.size(), N - 1);
  if (length > 0 && length < text.size() && text[length - 1] >= 0xD800 &&
      text[length - 1] <= 0xDBFF) {
    --length;
  }
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length),
            field);
  std::fill(field + length, field + N, u'\0');
}

// A decimal number as the wide string-to-long conversion reads it: leading
// white space, an optional sign, digits up to the first other character; no
// digits give 0, values beyond 32 bits are clamped.
int32_t ReadNumber(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - u'0'),
                              int64_t{INT32_MAX} + 1);
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

// The notification values of one element, read afresh for each one.
struct Values {
  std::u16string key, title, text, mime, size, media, href;
};

// The key, title and text that every kind of notification has.
template <typename Record>
void CopyCommonFields(const Values& values, Record& record) {
  CopyField(values.key, record.key);
  CopyField(values.title, record.title);
  CopyField(values.text, record.text);
}

class HandsetBeatRequest : public service::OperationRequest {
 public:
  HandsetBeatRequest() { ResetRequest(); }
  ~HandsetBeatRequest() override {
    ReleaseNotifications();
    ResetRequest();
    service::ClearEnvironment();
  }

  bool StoreBody();
  void ParseNotifications();
  void FillResult(HandsetBeatResult* result);

 private:
  // Finds the next child of the current element with this name after the
  // last match, and gives its data; "" when there is none.
  static std::u16string ChildData(xml::XmlDocument& document,
                                  const char16_t* name);
  void ReleaseNotifications() {
    delete[] notifications_;
    notifications_ = nullptr;
  }

  int32_t total_ = 0;
  int32_t contentCount_ = 0;
  int32_t messageCount_ = 0;
  int32_t advertisementCount_ = 0;
  // contentCount_ content records, then the message section, then the
  // advertisement section, at the two offsets.
  uint8_t* notifications_ = nullptr;
  int32_t messageOffset_ = 0;
  int32_t advertisementOffset_ = 0;
};

// Receives the rest of the body into the notification file: the content
// length (or, without one, what the first area can hold past the head),
// starting with the bytes that came with the head, stopping early when the
// connection yields nothing more. A file that cannot be made or written
// whole is removed again: no notifications are better than some of them
// read from a torn file. False then.
bool HandsetBeatRequest::StoreBody() {
  platform::File file =
      platform::File::Open(kNotificationFile, platform::Access::kWrite,
                           platform::Disposition::kCreateAlways);
  if (!file.IsOpen()) return false;
  int64_t bodyLength = ContentLength();
  if (bodyLength == 0) bodyLength = kAreaSize - HeadLength();
  int64_t written = std::min<int64_t>(FirstBodyLength(), bodyLength);
  bool stored =
      written <= 0 || file.Write(Body(), static_cast<size_t>(written));
  char block[kAreaSize];
  while (stored && written < bodyLength) {
    const int32_t wanted = static_cast<int32_t>(
        std::min<int64_t>(kAreaSize, bodyLength - written));
    const int32_t received = Receive(block, wanted);
    if (received <= 0) break;
    stored = file.Write(block, static_cast<size_t>(received));
    written += received;
  }
  file.Close();
  if (!stored) (void)transfer::DeleteLocalFile(kNotificationFile);
  return stored;
}

std::u16string HandsetBeatRequest::ChildData(xml::XmlDocument& document,
                                             const char16_t* name) {
  if (!document.FindChildElement(name)) return {};
  std::u16string data;
  if (document.IntoElement()) {
    data = document.GetData();
    document.OutOfElement();
  }
  return data;
}

// Walks the notification file: the root's "notifications" child, then its
// "content", "message" and "advertisement" children in this order, each
// search carrying on after the last match. A parsed file is deleted; a file
// that does not load or has no "notifications" element stays.
void HandsetBeatRequest::ParseNotifications() {
  xml::XmlDocument document;
  if (!document.Load(kNotificationFile)) return;
  document.ResetMainPosition();
  if (!document.FindChildElement(u"notifications") || !document.IntoElement()) {
    return;
  }
  total_ = ReadNumber(document.GetAttribute(u"total"));

  struct Child {
    const char16_t* name;
    std::u16string Values::*field;
  };
  struct Kind {
    const char16_t* element;
    size_t childCount;
    Child children[4];
  };
  static const Kind kinds[] = {
      {u"content",
       4,
       {{u"mime", &Values::mime},
        {u"size", &Values::size},
        {u"title", &Values::title},
        {u"text", &Values::text}}},
      {u"message", 2, {{u"title", &Values::title}, {u"text", &Values::text}}},
      {u"advertisement",
       4,
       {{u"title", &Values::title},
        {u"text", &Values::text},
        {u"media", &Values::media},
        {u"href", &Values::href}}},
  };
  std::vector<Values> found[3];
  for (int kind = 0; kind < 3; ++kind) {
    while (document.FindChildElement(kinds[kind].element)) {
      Values values;
      if (document.IntoElement()) {
        values.key = document.GetAttribute(u"key");
        for (size_t i = 0; i < kinds[kind].childCount; ++i) {
          const Child& child = kinds[kind].children[i];
          values.*child.field = ChildData(document, child.name);
        }
        document.OutOfElement();
      }
      found[kind].push_back(std::move(values));
    }
  }
  document.OutOfElement();

  ReleaseNotifications();
  const size_t size = found[0].size() * kContentSize +
                      found[1].size() * kMessageSize +
                      found[2].size() * kAdvertisementSize;
  notifications_ = new (std::nothrow) uint8_t[size]();
  if (notifications_ == nullptr) {
    // Nothing is promised that the buffer does not hold; the file stays.
    total_ = 0;
    return;
  }
  contentCount_ = static_cast<int32_t>(found[0].size());
  messageCount_ = static_cast<int32_t>(found[1].size());
  advertisementCount_ = static_cast<int32_t>(found[2].size());
  messageOffset_ = contentCount_ * kContentSize;
  advertisementOffset_ = messageOffset_ + messageCount_ * kMessageSize;

  auto* contents = reinterpret_cast<ContentNotification*>(notifications_);
  for (size_t i = 0; i < found[0].size(); ++i) {
    const Values& values = found[0][i];
    ContentNotification& record = contents[i];
    CopyCommonFields(values, record);
    CopyField(values.mime, record.mime);
    record.size = ReadNumber(values.size);
  }
  auto* messages =
      reinterpret_cast<MessageNotification*>(notifications_ + messageOffset_);
  for (size_t i = 0; i < found[1].size(); ++i) {
    const Values& values = found[1][i];
    MessageNotification& record = messages[i];
    CopyCommonFields(values, record);
  }
  auto* advertisements = reinterpret_cast<AdvertisementNotification*>(
      notifications_ + advertisementOffset_);
  for (size_t i = 0; i < found[2].size(); ++i) {
    const Values& values = found[2][i];
    AdvertisementNotification& record = advertisements[i];
    CopyCommonFields(values, record);
    CopyField(values.media, record.media);
    CopyField(values.href, record.href);
  }
  transfer::DeleteLocalFile(kNotificationFile);
}

// Hands the notifications to the caller: the previous array of this record
// is released and the parsed array, zero-filled and exactly as large as the
// records it holds, takes its place (it is not copied: a large reply would
// otherwise hold two arrays at once). Without one, the caller gets a valid
// empty array.
void HandsetBeatRequest::FillResult(HandsetBeatResult* result) {
  // The empty array is made before anything is released: when memory runs
  // out the call fails with the caller's previous array intact.
  uint8_t* entries =
      notifications_ != nullptr ? notifications_ : new uint8_t[0];
  if (notifications_ == nullptr) {
    contentCount_ = messageCount_ = advertisementCount_ = 0;
    messageOffset_ = advertisementOffset_ = 0;
  }
  notifications_ = nullptr;
  delete[] result->entries;
  result->total = total_;
  result->contentCount = contentCount_;
  result->messageCount = messageCount_;
  result->advertisementCount = advertisementCount_;
  result->messageOffset = messageOffset_;
  result->advertisementOffset = advertisementOffset_;
  result->entries = entries;
}

}  // namespace

void ReadNotificationFile(HandsetBeatResult* result) {
  HandsetBeatRequest request;
  request.ParseNotifications();
  request.FillResult(result);
}

int32_t HandsetBeat(const char16_t* environmentFile, HandsetBeatResult* result,
                    HandsetError* error, const char16_t* url, int32_t port) {
  HandsetBeatRequest request;
  char ansiUrl[service::kUrlBufferSize];
  if (service::PrepareUrl(url, ansiUrl, request)) {
    service::ReadEnvironment(environmentFile);
    service::SetCredentialHeaders(request, service::Credentials::kBeat);
    if (service::Perform(request, ansiUrl, port, {}) == 200) {
      if (request.StoreBody()) {
        request.ParseNotifications();
      } else {
        // The reply was taken but its notifications could not be kept:
        // the caller gets none, and the reason.
        error->code = 0;
        service::AnsiToWide("the notification file could not be written",
                            error->message);
      }
    }
    request.CloseConnection();
  }
  if (request.status != 200) {
    service::FillErrorRecord(error, request);
  } else {
    request.FillResult(result);
  }
  return request.status;
}

}  // namespace vesk::heartbeat
