// The save operation against real loopback peers and real files: the exact
// multipart body on the wire, its length against "Content-Length", binary
// and large contents, the refused inputs, files that change under the
// upload, and the error record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"

namespace vesk {
namespace {

using namespace test;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
// The boundary while Random() counts up from 0.
const std::string kBoundary = "---------------------------7d0123456789a";
const std::string kCard = "\\Storage Card\\";

uint32_t counter = 0;
uint32_t CountingRandom() { return counter++; }

std::string Update(const std::string& name, const std::string& file) {
  return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" +
         name + "\"; filename=\"" + kCard + file +
         "\"\r\nContent-Type: application/octet-stream; charset=GBK\r\n"
         "Content-Transfer-Encoding: binary\r\n\r\n";
}
std::string Delete(const std::string& name, const std::string& file) {
  return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" +
         name + "\"\r\nContent-Type: text/plain; charset=GBK\r\n\r\n" + kCard +
         file + "\r\n";
}
std::string Closing(const std::string& boundary = kBoundary) {
  return "--" + boundary + "--\r\n";
}

// The request split into head and body, and the peer's port.
struct Received {
  std::string head, body;
  uint16_t port = 0;
};

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHandsetEnv(root_, "");
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
  int32_t Save(const FakeServer& server) {
    return vesk_HandsetSave(kEnv, &input_, output_, &error_,
                            Url(server, "/save").c_str(), server.port());
  }
  // One save against a peer answering reply (a small receive buffer keeps
  // the upload close behind what the peer read); the request received. The
  // error record starts filled with 0xAB, the output with 'Q'.
  Received SaveOnce(Reply reply, int32_t status, int receiveBuffer = 0) {
    FakeServer server({std::move(reply)}, receiveBuffer);
    std::memset(&error_, 0xAB, sizeof error_);
    output_[0] = u'Q';
    EXPECT_EQ(Save(server), status);
    const auto requests = server.Requests(1);
    EXPECT_EQ(requests.size(), 1u);
    const std::string request = requests.empty() ? "" : requests[0];
    const size_t end = request.find("\r\n\r\n") + 4;
    return {request.substr(0, end), request.substr(end), server.port()};
  }

  DeviceRoot root_;
  HandsetSaveInput input_{};
  char16_t output_[1100] = {};
  HandsetError error_{};
};

// The request of each kind of entry: its exact head and multipart body on
// the wire, with a Content-Length that counts the body; the response goes
// to the output.
TEST_F(UploadTest, BodyBytesAndLength) {
  const std::string small = RandomBytes(2049, 7);  // pieces of 1024, 1024, 1
  const std::string large = RandomBytes(3 * 1000 * 1000, 11);
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"a.txt", "hello"},
                                                        {"x.bin", "data"},
                                                        {"中文.txt", "abc"},
                                                        {"small.bin", small},
                                                        {"large.bin", large}}) {
    WriteHostFile(root_.Host(kCard + name), bytes);
  }
  auto expectSave = [&](const std::string& body) {
    counter = 0;
    const Received got = SaveOnce(Raw(kOk), 200);
    EXPECT_EQ(got.body.size(), body.size());
    EXPECT_TRUE(got.body == body) << got.body.substr(0, 4096);
    EXPECT_EQ(
        WithoutCertificate(got.head),
        "POST /save HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(got.port) +
            "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
            "Connection: Keep-Alive\r\nContent-Type: "
            "multipart/form-data; boundary=" +
            kBoundary +
            "\r\nUser-Serial: SN-9\r\nUser-ID: 42\r\nUser-Cert: "
            "\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n");
    EXPECT_EQ(std::u16string(output_), U16(kOk));
  };
  expectSave(Closing());  // no entries: only the closing line
  // The most entries: an empty action or any other word deletes, a missing
  // file updates with an empty part, paths travel as GBK bytes.
  const char* names[] = {"a.txt",     "old.txt",  "x.bin",
                         "x.bin",     "none.bin", "small.bin",
                         "large.bin", "中文.txt", "旧.txt"};
  const char16_t* actions[] = {u"update", u"delete", u"",
                               u"remove", u"update", u"update",
                               u"update", u"update", u"delete"};
  for (int i = 0; i < 9; ++i) Add(U16(kCard + names[i]), actions[i]);
  expectSave(Update("update1", "a.txt") + "hello\r\n" +
             Delete("delete2", "old.txt") + Delete("delete3", "x.bin") +
             Delete("delete4", "x.bin") + Update("update5", "none.bin") +
             "\r\n" + Update("update6", "small.bin") + small + "\r\n" +
             Update("update7", "large.bin") + large + "\r\n" +
             Update("update8", "\xD6\xD0\xCE\xC4.txt") + "abc\r\n" +
             Delete("delete9", "\xBE\xC9.txt") + Closing());

  // A refusal fills the error record and leaves the output alone.
  input_ = HandsetSaveInput{};
  SaveOnce(Raw(HttpReply(403, "F", {{"X-Error-Code", "906"}}, "")), 403);
  EXPECT_EQ(error_.code, 906);
  EXPECT_EQ(output_[0], u'Q');
}

TEST_F(UploadTest, RefusedInputsSendNothing) {
  FakeServer server({});
  // 260 bytes in GBK: one more than a path may have.
  const std::u16string longPath =
      u"\\Storage Card\\" + std::u16string(123, u'中');
  struct Case {
    int32_t count;
    std::u16string secondPath;
    std::string needle;
  } cases[] = {
      {10, u"", "entry count 10"},
      {-1, u"", "entry count -1"},
      {2, longPath, "path is longer than 259 bytes"},
  };
  for (const Case& c : cases) {
    input_ = HandsetSaveInput{};
    input_.count = c.count;
    std::copy(c.secondPath.begin(), c.secondPath.end(), input_.entries[1].path);
    std::memset(&error_, 0xAB, sizeof error_);
    output_[0] = u'Q';
    EXPECT_EQ(Save(server), 0);
    EXPECT_EQ(error_.code, 0);
    EXPECT_NE(std::u16string(error_.message).find(U16(c.needle)),
              std::u16string::npos);
    EXPECT_EQ(output_[0], u'Q');
  }
  EXPECT_EQ(server.Accepted(), 0u);
  // An unterminated action of eight units still fits its buffer.
  input_ = HandsetSaveInput{};
  const std::u16string badAction(8, u'中');
  std::copy(badAction.begin(), badAction.end(), input_.entries[0].action);
  input_.count = 1;
  SaveOnce(Raw(kOk), 200);
  // A path of 259 bytes, the most it may have, goes out whole.
  input_ = HandsetSaveInput{};
  Add(u"\\Storage Card\\" + std::u16string(122, u'中') + u"p", u"delete");
  std::string gbk;
  for (int i = 0; i < 122; ++i) gbk += "\xD6\xD0";
  counter = 0;
  EXPECT_EQ(SaveOnce(Raw(kOk), 200).body,
            Delete("delete1", gbk + "p") + Closing());
}

// Files that change once the request head has reached the peer: the upload
// is abandoned at the change with status 0 and the output untouched. A file
// that shrinks is caught by its announced length; a file removed before
// its content ends the exchange after the parts before it went out whole.
TEST_F(UploadTest, FilesChangingUnderTheUploadAbandonIt) {
  const std::string first = RandomBytes(4 << 20, 5);
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;
    bool shrink;  // the last file: cut to 1000 bytes, or removed
    size_t sent;  // the body's size; 0: any prefix
    std::string message;
  } cases[] = {
      {{{"big.bin", RandomBytes(16 << 20, 3)}},
       true,
       0,
       "the file \\Storage Card\\big.bin became shorter than announced"},
      {{{"first.bin", first}, {"second.bin", "12345"}},
       false,
       (Update("update1", "first.bin") + first + "\r\n" +
        Update("update2", "second.bin"))
           .size(),
       "the file \\Storage Card\\second.bin cannot be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    input_ = HandsetSaveInput{};
    std::string whole;  // the body had nothing changed
    for (const auto& [name, bytes] : c.files) {
      WriteHostFile(root_.Host(kCard + name), bytes);
      Add(U16(kCard + name), u"update");
      whole += Update("update" + std::to_string(input_.count), name) + bytes +
               "\r\n";
    }
    whole += Closing();
    const std::string last = root_.Host(kCard + c.files.back().first);
    Reply reply;
    reply.afterHead = [&] {
      ASSERT_EQ(
          c.shrink ? ::truncate(last.c_str(), 1000) : ::unlink(last.c_str()),
          0);
    };
    counter = 0;
    const Received got = SaveOnce(reply, 0, 16 * 1024);
    EXPECT_NE(got.head.find("\r\nContent-Length: " +
                            std::to_string(whole.size()) + "\r\n"),
              std::string::npos);
    EXPECT_LT(got.body.size(), whole.size());
    EXPECT_TRUE(whole.compare(0, got.body.size(), got.body) == 0);
    if (c.sent > 0) EXPECT_EQ(got.body.size(), c.sent);
    EXPECT_EQ(error_.code, 0);
    EXPECT_EQ(std::u16string(error_.message), U16(c.message));
    EXPECT_EQ(output_[0], u'Q');
  }
}

}  // namespace
}  // namespace vesk
