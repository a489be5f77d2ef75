// Two threads calling the library at once, built with ThreadSanitizer: each
// thread has its own handset environment file, peers and files, and runs
// account information and downloads. The calls take
// turns, so every request carries its own thread's identity and every file
// its own bytes, and the sanitizer sees no race.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"

namespace vesk {
namespace {

using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::ReadHostFile;
using test::U16;

std::string Ok(const std::string& body,
               std::vector<std::pair<std::string, std::string>> headers = {}) {
  headers.insert(headers.begin(),
                 {"Content-Length", std::to_string(body.size())});
  return HttpReply(200, "OK", headers, body);
}

// One thread's calls; failures are counted, as gtest's assertions belong to
// the main thread.
struct Caller {
  std::string name;  // serial, file names and contents all derive from it
  std::string root;  // the device root's host path
  int failures = 0;

  void Check(bool ok) { failures += ok ? 0 : 1; }

  void Run() {
    const std::u16string env = U16("\\PocketDisk1\\" + name + ".env");
    const std::u16string path = U16("\\Storage Card\\" + name + ".bin");
    const std::string content(20000 + name.size() * 997, name[0]);
    for (int round = 0; round < 12; ++round) {
      FakeServer server(
          {Raw(Ok("<r><account id=\"7\"/><username>" + name +
                  "</username></r>")),
           Raw(Ok(content, {{"X-Checksum", test::Md5Hex(content)}})),
           Raw(Ok(""))});
      HandsetError error{};
      AccountInfoResult account{};
      Check(vesk_AccountInfo(env.c_str(), &account, &error,
                             test::Url(server, "/a").c_str(),
                             server.port()) == 200);
      Check(std::u16string(account.username) == U16(name));

      DownloadRecord record{};
      record.contentKey[0] = u'k';
      DownloadResult result{};
      Check(vesk_HandsetDownload(env.c_str(), &record, &result, &error,
                                 path.c_str(), test::Url(server, "/d").c_str(),
                                 server.port(), test::Url(server, "/c").c_str(),
                                 server.port()) == 200);
      Check(error.code == 0);
      const std::string host = root + "/Storage Card/" + name + ".bin";
      Check(ReadHostFile(host) == content);
      std::remove(host.c_str());

      // Every request carried this thread's serial.
      for (const std::string& request : server.Requests(3)) {
        Check(request.find("\r\nUser-Serial: " + name + "\r\n") !=
              std::string::npos);
      }
    }
  }
};

TEST(Threads, CallsTakeTurnsAndKeepTheirOwnIdentity) {
  test::DeviceRoot root;
  Caller callers[] = {{"alpha", root.path()}, {"bravo-two", root.path()}};
  for (const Caller& caller : callers) {
    test::WriteHostFile(
        root.Host("\\PocketDisk1\\" + caller.name + ".env"),
        "User-Agent: T/1\nUser-Serial: " + caller.name + "\nUser-Id: 5\n");
  }
  std::thread second([&] { callers[1].Run(); });
  callers[0].Run();
  second.join();
  EXPECT_EQ(callers[0].failures, 0);
  EXPECT_EQ(callers[1].failures, 0);
}

}  // namespace
}  // namespace vesk
