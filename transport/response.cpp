// Reading the response head and looking up header values in it.
#include <algorithm>
#include <cstring>
#include <string>

#include "transport/transport.h"

namespace vesk::transport {

int32_t FindText(const char* text, const char* pattern, int32_t start) {
  if (text == nullptr || pattern == nullptr) return kNullArgument;
  if (start < 0) start = 0;
  const size_t length = std::strlen(text);
  if (static_cast<size_t>(start) >= length) return kNotFound;
  const size_t patternLength = std::strlen(pattern);
  if (patternLength == 0 || patternLength > length - start) return kNotFound;
  const size_t found =
      std::string_view(text, length)
          .find(std::string_view(pattern, patternLength), start);
  return found == std::string_view::npos ? kNotFound
                                         : static_cast<int32_t>(found);
}

std::unique_ptr<char[]> GetHeaderValue(const char* head, const char* name) {
  if (head == nullptr || name == nullptr) return nullptr;
  const int32_t position = FindText(head, name, 0);
  if (position < 0) return nullptr;
  const int32_t colon = FindText(head, ":", position);
  int32_t end = FindText(head, "\r\n", position);
  const int32_t length = static_cast<int32_t>(std::strlen(head));
  // A name without a colon after it has an empty value; a value without a
  // line end runs to the end of the text.
  const int32_t begin = colon < 0 ? length : colon + 1;
  if (end < 0) end = length;
  const int32_t size = end > begin ? end - begin : 0;
  auto value = std::make_unique<char[]>(size + 1);
  std::memcpy(value.get(), head + begin, size);
  value[size] = '\0';
  return value;
}

int32_t ParseStatus(const char* head) {
  if (head == nullptr) return 0;
  const char* blank = std::strchr(head, ' ');
  if (blank == nullptr) return 0;
  char digits[4] = {};
  std::strncpy(digits, blank + 1, 3);
  return AtoiRule(digits);
}

const char* HandsetRequest::ReadResponseHead() {
  char buffer[kAreaSize + 1] = {};
  int32_t received = 0;
  int32_t headLength = 0;  // 0 until the head is complete
  int32_t wanted = kAreaSize;
  const bool open = socket_ != 0 && socket_ != platform::kInvalidSocket;
  // A reply may come in pieces (a proxy, a slow service): the area is filled
  // until it holds what the reply announces.
  while (open && received < wanted) {
    const int got =
        platform::Receive(socket_, buffer + received, kAreaSize - received);
    if (got < 1) {
      peerGone_ = true;
      break;
    }
    received += got;
    if (headLength > 0) continue;
    // The head is text: a zero byte before its end means it never ends.
    const std::string_view text(buffer);
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) {
      if (text.size() < static_cast<size_t>(received)) break;
      continue;
    }
    headLength = static_cast<int32_t>(end) + 4;
    const std::string head(buffer, static_cast<size_t>(headLength));
    const int32_t announced =
        AtoiRule(GetHeaderValue(head.c_str(), "Content-Length").get());
    // Without a length there is nothing to wait for.
    if (announced <= 0) break;
    wanted = headLength + std::min(announced, kAreaSize - headLength);
  }

  // Only a complete head is a response; anything else leaves the areas zero
  // and the head empty, which reads as status 0.
  if (headLength == 0) return rawResponse_;
  responseHead_.Append(buffer, headLength);
  headLength_ = headLength;
  contentLength_ =
      AtoiRule(GetHeaderValue(responseHead_.c_str(), "Content-Length").get());

  // Body bytes to keep: the content length when it fits the rest of the
  // area, never more than actually arrived.
  const int32_t room = kAreaSize - headLength;
  int32_t keep = contentLength_;
  if (keep == 0 || static_cast<uint32_t>(keep) > static_cast<uint32_t>(room)) {
    keep = room;
  }
  const int32_t arrived = received > headLength ? received - headLength : 0;
  if (keep > arrived) keep = arrived;
  firstBodyLength_ = keep;

  std::memcpy(body_, buffer + headLength, keep);
  std::memcpy(rawResponse_, buffer, headLength + keep);
  return rawResponse_;
}

}  // namespace vesk::transport
