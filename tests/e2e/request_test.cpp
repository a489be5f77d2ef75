// The reference service's request parsing on its own: a multipart body read
// in pieces cut at every place gives the same parts, and heads and bodies
// that are malformed are refused with the right status (the well-formed ones
// are the end-to-end suite's).
#include "tools/service/request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk::service_tool {
namespace {

// What the reader reports: "[name|filename|data]" for each part.
MultipartReader::Handler Recorder(std::string& seen) {
  return {[&seen](const PartHead& part) {
            seen += "[" + part.name + "|" + part.filename + "|";
            return true;
          },
          [&seen](std::string_view bytes) {
            seen.append(bytes.data(), bytes.size());
            return true;
          },
          [&seen]() {
            seen += "]";
            return true;
          }};
}

// A body as a handset builds it: an update whose data holds a line end and
// something that looks like a delimiter but is not, then a delete.
const std::string kBoundary = "---------------------------7d930df2b0806";
const std::string kData = "line\r\n--" + kBoundary.substr(0, 20) + "\r\n\r\n-";
const std::string kBody =
    "--" + kBoundary +
    "\r\nContent-Disposition: form-data; name=\"update1\"; "
    "filename=\"\\Storage Card\\a b.txt\"\r\nContent-Type: "
    "application/octet-stream; charset=GBK\r\nContent-Transfer-Encoding: "
    "binary\r\n\r\n" +
    kData + "\r\n--" + kBoundary +
    "\r\nContent-Disposition: form-data; name=\"delete2\"\r\nContent-Type: "
    "text/plain; charset=GBK\r\n\r\n\\Storage Card\\old.txt\r\n--" +
    kBoundary + "--\r\n";

TEST(ServiceRequest, MultipartSplitAtEveryPlace) {
  const std::string expected = "[update1|\\Storage Card\\a b.txt|" + kData +
                               "][delete2||\\Storage Card\\old.txt]";
  for (size_t first = 0; first <= kBody.size(); ++first) {
    for (size_t second = first; second <= kBody.size();
         second += (first % 7 == 0) ? 1 : 97) {
      std::string seen;
      MultipartReader reader(kBoundary, Recorder(seen));
      ASSERT_TRUE(reader.Feed(kBody.substr(0, first)));
      ASSERT_TRUE(reader.Feed(kBody.substr(first, second - first)));
      ASSERT_TRUE(reader.Feed(kBody.substr(second)));
      ASSERT_TRUE(reader.Finish()) << first << " " << second;
      ASSERT_EQ(seen, expected) << first << " " << second;
    }
  }
}

TEST(ServiceRequest, BrokenMultipartBodies) {
  const struct {
    const char* what;
    std::string body;
    bool failed;  // refused outright rather than merely unfinished
  } cases[] = {
      {"no closing delimiter", kBody.substr(0, kBody.rfind("--" + kBoundary)),
       false},
      {"garbage after a delimiter", "--" + kBoundary + "XX\r\n", true},
      {"part without a disposition",
       "--" + kBoundary + "\r\nContent-Type: text/plain\r\n\r\nx\r\n--" +
           kBoundary + "--\r\n",
       true},
      {"part head line without a colon",
       "--" + kBoundary + "\r\nbroken\r\n\r\nx\r\n--" + kBoundary + "--\r\n",
       true},
      {"endless part head",
       "--" + kBoundary + "\r\nX: " + std::string(kMaxHeadBytes + 10, 'a'),
       true},
  };
  for (const auto& c : cases) {
    std::string seen;
    MultipartReader reader(kBoundary, Recorder(seen));
    reader.Feed(c.body);
    EXPECT_FALSE(reader.Finish()) << c.what;
    EXPECT_EQ(reader.Failed(), c.failed) << c.what;
  }
}

TEST(ServiceRequest, Heads) {
  const struct {
    std::string text;
    HeadStatus status;
    int refusal;
  } cases[] = {
      {"GET /account HTTP/1.1\r\nUser-ID: 7\r\n\r\n", HeadStatus::kComplete, 0},
      {"GET /account HTTP/1.1\r\nUser-ID: 7\r\n", HeadStatus::kIncomplete, 0},
      {"GET /a HTTP/1.1\r\nContent-Length: +1\r\n\r\n", HeadStatus::kRefused,
       400},
      {"GET /a HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
       HeadStatus::kRefused, 413},
      {"GET /a HTTP/1.1\r\nContent-Length: 2\r\ncontent-length: 3\r\n\r\n",
       HeadStatus::kRefused, 400},
      {"GET /a HTTP/1.1\r\n folded\r\n\r\n", HeadStatus::kRefused, 400},
      {"GET /a HTTP/1.1\r\nBad Name: x\r\n\r\n", HeadStatus::kRefused, 400},
      {"GET a HTTP/1.1\r\n\r\n", HeadStatus::kRefused, 400},
      {"GET /a HTTP/2\r\n\r\n", HeadStatus::kRefused, 505},
      {"GET /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       HeadStatus::kRefused, 501},
      {std::string("GET /a HTTP/1.1\r\nX: a\0b\r\n\r\n", 27),
       HeadStatus::kRefused, 400},
  };
  for (const auto& c : cases) {
    RequestHead head;
    const HeadResult result = ParseHead(c.text, head);
    EXPECT_EQ(result.status, c.status) << c.text;
    EXPECT_EQ(result.refusal, c.refusal) << c.text;
  }
}

}  // namespace
}  // namespace vesk::service_tool
