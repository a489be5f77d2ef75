// Fuzz target: any bytes as a request to the reference service. The head is
// parsed; a complete head's body goes through the form parser and, in
// pieces cut where the input says, through the multipart reader with the
// head's boundary (or a fixed one). Refusals must be 400-class or 501/505,
// and a complete head must lie inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/service/request.h"

using namespace vesk::service_tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  RequestHead head;
  const HeadResult parsed = ParseHead(input, head);
  std::string_view body = input;
  std::string boundary = "fuzz-boundary";
  if (parsed.status == HeadStatus::kRefused) {
    const int refusal = parsed.refusal;
    if ((refusal < 400 || refusal >= 500) && refusal != 501 && refusal != 505)
      abort();
  } else if (parsed.status == HeadStatus::kComplete) {
    if (parsed.headLength > size || parsed.headLength > kMaxHeadBytes ||
        head.target.empty() || head.target[0] != '/') {
      abort();
    }
    body = input.substr(parsed.headLength);
    if (const auto range = head.Header("Range")) {
      const auto parsedRange = ParseRange(*range);
      if (parsedRange && parsedRange->to >= 0 &&
          static_cast<uint64_t>(parsedRange->to) < parsedRange->from) {
        abort();
      }
    }
    if (const auto type = head.Header("Content-Type")) {
      if (const auto found = MultipartBoundary(*type)) {
        if (found->empty() || found->size() > 70) abort();
        boundary = *found;
      }
    }
  }
  ParseForm(body);

  // The reader sees the body in two pieces, split at a place taken from the
  // input, and must keep its data within what it was given.
  size_t received = 0;
  MultipartReader reader(boundary, {[](const PartHead& part) {
                                      return part.name.size() < kMaxHeadBytes;
                                    },
                                    [&received](std::string_view bytes) {
                                      received += bytes.size();
                                      return true;
                                    },
                                    [] { return true; }});
  const size_t split = size > 0 ? data[0] % (body.size() + 1) : 0;
  reader.Feed(body.substr(0, split));
  reader.Feed(body.substr(split));
  if (received > body.size()) abort();
  if (reader.Finish() && reader.Failed()) abort();
  return 0;
}
