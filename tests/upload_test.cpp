// The save operation against real loopback peers and real files: the exact
// multipart body on the wire, its length against "Content-Length", binary
// and large contents, the refused inputs, files that change under the
// upload, and the error record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace vesk {
namespace {

using test::DeviceRoot;
using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::U16;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
// The boundary while Random() counts up from 0.
const std::string kBoundary = "---------------------------7d0123456789a";

uint32_t counter = 0;
uint32_t CountingRandom() { return counter++; }

std::string UpdateHeader(const std::string& name, const std::string& path) {
  return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" +
         path +
         "\"\r\nContent-Type: application/octet-stream; charset=GBK\r\n"
         "Content-Transfer-Encoding: binary\r\n\r\n";
}
std::string DeletePart(const std::string& name, const std::string& path) {
  return "Content-Disposition: form-data; name=\"" + name +
         "\"\r\nContent-Type: text/plain; charset=GBK\r\n\r\n" + path + "\r\n";
}
std::string Delimiter(const std::string& boundary = kBoundary) {
  return "--" + boundary + "\r\n";
}
std::string Closing(const std::string& boundary = kBoundary) {
  return "--" + boundary + "--\r\n";
}

// The request split into head and body; Content-Length read from the head.
struct Received {
  std::string head, body;
  long contentLength = -1;
};
Received Split(const std::string& request) {
  Received out;
  const size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) return out;
  out.head = request.substr(0, end + 4);
  out.body = request.substr(end + 4);
  const std::regex length("\r\nContent-Length: (\\d+)\r\n");
  std::smatch match;
  if (std::regex_search(out.head, match, length)) {
    out.contentLength = std::stol(match[1]);
  }
  return out;
}

std::string Message(const HandsetError& error) {
  std::string out;
  for (const char16_t* m = error.message; *m != 0; ++m) out += char(*m);
  return out;
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteHandsetEnv(root_, "");
    counter = 0;
    platform::Overrides overrides;
    overrides.random = CountingRandom;
    platform::SetOverrides(overrides);
  }
  void TearDown() override { platform::SetOverrides({}); }

  void Add(const std::u16string& path, const std::u16string& action) {
    SaveEntry& entry = input_.entries[input_.count++];
    std::copy(path.begin(), path.end(), entry.path);
    std::copy(action.begin(), action.end(), entry.action);
  }
  int32_t Save(uint16_t port) {
    const std::string url =
        "http://127.0.0.1:" + std::to_string(port) + "/save";
    return vesk_HandsetSave(kEnv, &input_, output_, &error_, U16(url).c_str(),
                            port);
  }
  // One save against a fake server answering reply; the request received.
  Received SaveOnce(const std::string& reply, int32_t expectedStatus) {
    FakeServer server({Raw(reply)});
    EXPECT_EQ(Save(server.port()), expectedStatus);
    const auto requests = server.Requests(1);
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? Received{} : Split(requests[0]);
  }

  // A save that fails because change alters its files once the request head
  // has reached the peer (whose small buffer keeps the upload close behind);
  // what the peer received, and the output untouched.
  Received SaveChanging(std::function<void()> change) {
    test::Reply reply;
    reply.afterHead = std::move(change);
    FakeServer server({reply}, 16 * 1024);
    output_[0] = u'Q';
    EXPECT_EQ(Save(server.port()), 0);
    EXPECT_EQ(output_[0], u'Q');
    const auto requests = server.Requests(1);
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? Received{} : Split(requests[0]);
  }

  DeviceRoot root_;
  HandsetSaveInput input_{};
  char16_t output_[1100] = {};
  HandsetError error_{};
};

// The multipart body of each kind of entry: its exact bytes on the wire and
// a Content-Length that counts them; the response goes to the output.
TEST_F(UploadTest, BodyBytesAndLength) {
  const std::string small =
      test::RandomBytes(2049, 7);  // pieces of 1024, 1024 and 1
  const std::string large = test::RandomBytes(3 * 1000 * 1000, 11);
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"a.txt", "hello"},
                                                        {"x.bin", "data"},
                                                        {"中文.txt", "abc"},
                                                        {"small.bin", small},
                                                        {"large.bin", large}}) {
    test::WriteHostFile(root_.Host("\\Storage Card\\" + name), bytes);
  }
  const std::string card = "\\Storage Card\\";
  struct Case {
    const char* what;
    std::vector<std::pair<std::u16string, std::u16string>> entries;
    std::string body;
  } cases[] = {
      {"no entries: only the closing line", {}, Closing()},
      {"update and delete",
       {{u"\\Storage Card\\a.txt", u"update"},
        {u"\\Storage Card\\old.txt", u"delete"}},
       Delimiter() + UpdateHeader("update1", card + "a.txt") + "hello\r\n" +
           Delimiter() + DeletePart("delete2", card + "old.txt") + Closing()},
      // An empty action or any other word deletes; a missing file updates
      // with an empty part.
      {"other actions and missing files",
       {{u"\\Storage Card\\x.bin", u""},
        {u"\\Storage Card\\x.bin", u"remove"},
        {u"\\Storage Card\\none.bin", u"update"}},
       Delimiter() + DeletePart("delete1", card + "x.bin") + Delimiter() +
           DeletePart("delete2", card + "x.bin") + Delimiter() +
           UpdateHeader("update3", card + "none.bin") + "\r\n" + Closing()},
      {"binary and large contents",
       {{u"\\Storage Card\\small.bin", u"update"},
        {u"\\Storage Card\\large.bin", u"update"}},
       Delimiter() + UpdateHeader("update1", card + "small.bin") + small +
           "\r\n" + Delimiter() + UpdateHeader("update2", card + "large.bin") +
           large + "\r\n" + Closing()},
      {"paths travel as GBK bytes",
       {{u"\\Storage Card\\中文.txt", u"update"},
        {u"\\Storage Card\\旧.txt", u"delete"}},
       Delimiter() + UpdateHeader("update1", card + "\xD6\xD0\xCE\xC4.txt") +
           "abc\r\n" + Delimiter() +
           DeletePart("delete2", card + "\xBE\xC9.txt") + Closing()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    input_ = HandsetSaveInput{};
    for (const auto& [path, action] : c.entries) Add(path, action);
    counter = 0;
    output_[0] = 0;
    const Received got = SaveOnce(kOk, 200);
    EXPECT_EQ(got.body.size(), c.body.size());
    EXPECT_TRUE(got.body == c.body) << got.body.substr(0, 4096);
    EXPECT_EQ(static_cast<long>(got.body.size()), got.contentLength);
    EXPECT_NE(got.head.find("Content-Type: multipart/form-data; boundary=" +
                            kBoundary + "\r\n"),
              std::string::npos);
    EXPECT_EQ(std::u16string(output_), U16(kOk));
  }
}

TEST_F(UploadTest, BoundaryHasItsShapeAndChangesBetweenCalls) {
  platform::SetOverrides({});  // the system's own Random()
  FakeServer server({Raw(kOk), Raw(kOk)});
  EXPECT_EQ(Save(server.port()), 200);
  EXPECT_EQ(Save(server.port()), 200);
  const auto requests = server.Requests(2);
  ASSERT_EQ(requests.size(), 2u);
  const std::regex shape(
      "Content-Type: multipart/form-data; boundary=(-{27}7d[0-9a-zA-Z]{11})"
      "\r\n");
  std::vector<std::string> boundaries;
  for (const std::string& request : requests) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(request, match, shape)) << request;
    boundaries.push_back(match[1]);
    EXPECT_EQ(Split(request).body, Closing(match[1]));
  }
  EXPECT_NE(boundaries[0], boundaries[1]);
}

TEST_F(UploadTest, RefusedInputsSendNothing) {
  FakeServer server({});
  const std::u16string longPath =
      u"\\Storage Card\\" + std::u16string(130, u'中');
  const std::u16string badAction(8, u'中');  // no terminator: 8 units read
  struct Case {
    std::function<void(HandsetSaveInput&)> fill;
    std::string needle;
  };
  const std::vector<Case> cases = {
      {[](HandsetSaveInput& in) { in.count = 10; }, "entry count 10"},
      {[](HandsetSaveInput& in) { in.count = -1; }, "entry count -1"},
      {[&](HandsetSaveInput& in) {
         in.count = 2;
         std::copy(longPath.begin(), longPath.end(), in.entries[1].path);
       },
       "path is longer than 259 bytes"},
  };
  for (const Case& c : cases) {
    input_ = HandsetSaveInput{};
    c.fill(input_);
    std::memset(&error_, 0xAB, sizeof error_);
    output_[0] = u'Q';
    EXPECT_EQ(Save(server.port()), 0);
    EXPECT_EQ(error_.code, 0);
    EXPECT_NE(Message(error_).find(c.needle), std::string::npos)
        << Message(error_);
    EXPECT_EQ(output_[0], u'Q');
  }
  // An unterminated action of eight units still fits its buffer.
  input_ = HandsetSaveInput{};
  std::copy(badAction.begin(), badAction.end(), input_.entries[0].action);
  input_.count = 1;
  FakeServer accepting({Raw(kOk)});
  EXPECT_EQ(Save(accepting.port()), 200);
  EXPECT_EQ(server.Accepted(), 0u);
}

TEST_F(UploadTest, ErrorCodesAndTimestamps) {
  for (int code : {906, 914, 915}) {
    const std::string reply =
        HttpReply(403, "Forbidden",
                  {{"X-Error-Code", std::to_string(code)},
                   {"X-Error-Message", "refused"},
                   {"X-Server-Timestamp", "2026-1-2 3:4:5.006"},
                   {"X-Util-Timestamp", "2026-9-9 9:9:9.009"}},
                  "");
    std::memset(&error_, 0xAB, sizeof error_);
    output_[0] = u'Q';
    SaveOnce(reply, 403);
    EXPECT_EQ(error_.code, code);
    EXPECT_EQ(std::u16string(error_.message), u" refused");
    if (code == 906) {
      EXPECT_EQ(std::u16string(error_.timestamp), u" 2026-1-2 3:4:5.006");
    } else {
      EXPECT_EQ(static_cast<uint16_t>(error_.timestamp[0]), 0xABABu);
    }
    EXPECT_EQ(output_[0], u'Q');
  }
}

TEST_F(UploadTest, FileShrinkingDuringTheUploadAbandonsIt) {
  const std::string host = root_.Host("\\Storage Card\\big.bin");
  test::WriteHostFile(host, test::RandomBytes(16 << 20, 3));
  Add(u"\\Storage Card\\big.bin", u"update");
  // The peer's thread cuts the file once the request head has arrived.
  const Received got =
      SaveChanging([&] { ASSERT_EQ(::truncate(host.c_str(), 1000), 0); });
  EXPECT_EQ(got.contentLength,
            static_cast<long>(
                (16 << 20) + 46 + 44 + 2 +
                UpdateHeader("update1", "\\Storage Card\\big.bin").size()));
  EXPECT_LT(static_cast<long>(got.body.size()), got.contentLength);
  EXPECT_EQ(got.body.find(Closing()), std::string::npos);
  EXPECT_EQ(error_.code, 0);
  EXPECT_EQ(Message(error_),
            "the file \\Storage Card\\big.bin became shorter than announced");
}

TEST_F(UploadTest, FileRemovedBeforeItsContentAbandonsTheUpload) {
  const std::string first = test::RandomBytes(4 << 20, 5);
  test::WriteHostFile(root_.Host("\\Storage Card\\first.bin"), first);
  const std::string second = root_.Host("\\Storage Card\\second.bin");
  test::WriteHostFile(second, "12345");
  Add(u"\\Storage Card\\first.bin", u"update");
  Add(u"\\Storage Card\\second.bin", u"update");
  const Received got =
      SaveChanging([&] { ASSERT_EQ(::unlink(second.c_str()), 0); });
  // The first file went out whole, then the exchange ended before the
  // second part's content.
  const std::string sent =
      Delimiter() + UpdateHeader("update1", "\\Storage Card\\first.bin") +
      first + "\r\n" + Delimiter() +
      UpdateHeader("update2", "\\Storage Card\\second.bin");
  EXPECT_TRUE(got.body == sent);
  EXPECT_EQ(got.contentLength, static_cast<long>(sent.size() + 5 + 2 + 46));
  EXPECT_EQ(Message(error_),
            "the file \\Storage Card\\second.bin cannot be opened");
}

}  // namespace
}  // namespace vesk
