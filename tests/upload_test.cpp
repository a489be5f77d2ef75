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
std::string Closing() { return "--" + kBoundary + "--\r\n"; }

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
  // the upload close behind what the peer read), Random() counting from 0,
  // the error record filled with 0xAB, the output with 'Q'.
  Received SaveOnce(Reply reply, int32_t status, int receiveBuffer = 0) {
    FakeServer server({std::move(reply)}, receiveBuffer);
    counter = 0;
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
  const std::pair<std::string, std::string> files[] = {{"a.txt", "hello"},
                                                       {"x.bin", "data"},
                                                       {"中文.txt", "abc"},
                                                       {"small.bin", small},
                                                       {"large.bin", large}};
  for (const auto& [name, bytes] : files)
    WriteHostFile(root_.Host(kCard + name), bytes);
  auto expectSave = [&](const std::string& body) {
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

// Refused inputs send nothing and fill only the error message; a path of
// 259 bytes, the most it may have, goes out whole.
TEST_F(UploadTest, RefusedInputsSendNothing) {
  FakeServer server({});
  // 260 bytes in GBK: one more than a path may have.
  const std::u16string longPath =
      u"\\Storage Card\\" + std::u16string(123, u'中');
  for (const auto& [count, message] :
       std::vector<std::pair<int32_t, std::string>>{
           {10, "entry count 10"},
           {-1, "entry count -1"},
           {2, "path is longer than 259 bytes"}}) {
    input_ = HandsetSaveInput{};
    input_.count = count;
    std::copy(longPath.begin(), longPath.end(), input_.entries[1].path);
    std::memset(&error_, 0xAB, sizeof error_);
    output_[0] = u'Q';
    EXPECT_EQ(Save(server), 0);
    EXPECT_EQ(error_.code, 0);
    EXPECT_NE(std::u16string(error_.message).find(U16(message)),
              std::u16string::npos);
    EXPECT_EQ(output_[0], u'Q');
  }
  EXPECT_EQ(server.Accepted(), 0u);
  input_ = HandsetSaveInput{};
  Add(u"\\Storage Card\\" + std::u16string(122, u'中') + u"p", u"delete");
  std::string gbk;
  for (int i = 0; i < 122; ++i) gbk += "\xD6\xD0";
  EXPECT_EQ(SaveOnce(Raw(kOk), 200).body,
            Delete("delete1", gbk + "p") + Closing());
}

// Files that change once the request head has reached the peer: the upload
// is abandoned at the change with status 0 and the output untouched. A file
// that shrinks is caught by its announced length; a file removed before
// its content ends the exchange after the parts before it went out whole.
TEST_F(UploadTest, FilesChangingUnderTheUploadAbandonIt) {
  const std::string first = RandomBytes(4 << 20, 5);
  const std::string second = RandomBytes(16 << 20, 3);
  const std::string sent = Update("update1", "first.bin") + first + "\r\n" +
                           Update("update2", "second.bin");
  const std::string whole = sent + second + "\r\n" + Closing();
  const std::string host = root_.Host(kCard + "second.bin");
  WriteHostFile(root_.Host(kCard + "first.bin"), first);
  Add(U16(kCard + "first.bin"), u"update");
  Add(U16(kCard + "second.bin"), u"update");
  for (const bool shrink : {true, false}) {
    SCOPED_TRACE(shrink);
    WriteHostFile(host, second);
    Reply reply;
    reply.afterHead = [&] {
      ASSERT_EQ(
          shrink ? ::truncate(host.c_str(), 1000) : ::unlink(host.c_str()), 0);
    };
    const Received got = SaveOnce(reply, 0, 16 * 1024);
    EXPECT_NE(got.head.find("\r\nContent-Length: " +
                            std::to_string(whole.size()) + "\r\n"),
              std::string::npos);
    EXPECT_LT(got.body.size(), whole.size());
    EXPECT_TRUE(whole.compare(0, got.body.size(), got.body) == 0);
    EXPECT_TRUE(shrink || got.body.size() == sent.size()) << got.body.size();
    EXPECT_EQ(error_.code, 0);
    EXPECT_EQ(std::u16string(error_.message),
              u"the file \\Storage Card\\second.bin " +
                  std::u16string(shrink ? u"became shorter than announced"
                                        : u"cannot be opened"));
    EXPECT_EQ(output_[0], u'Q');
  }
}

}  // namespace
}  // namespace vesk
