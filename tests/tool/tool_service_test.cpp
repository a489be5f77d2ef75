// The host tool run as its users run it: the `vesk` program against the
// reference service `vesk-service` and against local peers, each in its own
// process, checked by exit status, messages, `--json` output, the files on
// the device root and the service's own listings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/tool/tool_test_support.h"
#include "tools/common/process.h"

namespace vesk::tool {
namespace {

using test::ReadHostFile;
using test::WriteHostFile;

// The seeded reference service and `vesk` with a device root of its own; the
// service must stop cleanly (under the sanitizers: they found nothing).
class ToolServiceTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(service.Stop(), 0); }
  ServiceUnderTest service;
  ToolRun vesk{service.work()};
};

TEST_F(ToolServiceTest, EveryCommandAgainstTheReferenceService) {
  ASSERT_TRUE(service.Start({}));
  const std::string base = service.base();
  // Activation stores the credentials, readable by their owner alone.
  Json j =
      vesk.Json_({"activate", "--base", base, "--username",
                  service.demo().at("account").at("name"), "--password",
                  service.demo().at("account").at("password"), "--validation",
                  service.demo().at("account").at("validationCode")});
  ASSERT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_GT(j["userId"], 0);
  const std::string envFile = vesk.Host("\\PocketDisk1\\handset.env");
  EXPECT_NE(ReadHostFile(envFile).find("Private-Key"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(envFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  j = vesk.Json_({"account", "--base", base});
  EXPECT_EQ(j["username"], service.demo().at("account").at("name")) << vesk.err;
  j = vesk.Json_({"beat", "--url", base + "/heartbeat", "--port",
                  std::to_string(service.port())});
  EXPECT_EQ(j["notifications"].size(), service.demo().at("notifications"));
  j = vesk.Json_({"load", "--base", base, "--package", service.Package(),
                  "--target", "\\Storage Card\\p", "--delete-archive"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["entries"],
            service.demo().at("packages").at(0).at("files").size());
  EXPECT_EQ(j["archiveDeleted"], true);

  // Save: an upload whose name is outside ASCII, then a delete.
  const std::string chinese = "\\Storage Card\\\xE7\xAC\x94\xE8\xAE\xB0.txt";
  WriteHostFile(vesk.Host(chinese), "one");
  WriteHostFile(vesk.Host("\\Storage Card\\big.bin"), std::string(5000, 'b'));
  vesk.Run({"save", "--base", base, "--update", chinese, "--update",
            "/Storage Card/big.bin"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_NE(
      service.Admin({"list-uploads"}).find(chinese + " 3 " + Md5Hex("one")),
      std::string::npos);
  vesk.Run({"save", "--base", base, "--delete", "\\Storage Card\\big.bin"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(service.Admin({"list-uploads"}).find("big.bin"), std::string::npos);
}

// One row per way a command can end and per guard: the exit status and the
// line on standard error that says why; a guard stops before any request.
TEST_F(ToolServiceTest, ExitStatusesAndGuardsSayWhatHappened) {
  ASSERT_TRUE(service.Start({}));
  ASSERT_TRUE(service.Activate(vesk));
  const test::Reply wrongSum = test::Raw(
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX-Checksum: "
      "00000000000000000000000000000000\r\n\r\n0123456789");
  test::Reply silent;
  silent.readNothing = true;
  const Json& medium = service.demo().at("contents").at(1);
  const std::string key = medium.at("key"), card = "\\Storage Card\\";
  const auto uploads = [&] { return service.Admin({"list-uploads"}); };
  const auto got = [&](const std::string& name) {
    EXPECT_EQ(Md5Hex(ReadHostFile(vesk.Host(card + name))), medium.at("md5"));
  };
  struct Case {
    std::vector<test::Reply> peer;  // a local peer; none: the service
    std::vector<std::string> args;  // "@": the peer's or service's address
    int exit;
    std::string says;  // what standard error holds ("": nothing)
    std::function<void()> check = nullptr, setup = nullptr;
    bool bare = false;  // without --device-root, VESK_DEVICE_ROOT set
  } cases[] = {
      // clang-format off
      {{}, {"activate", "--base", "@", "--mode", "3", "--username", "demo",
            "--password", "wrong"}, 1,
       "activate: refused, status 403, code 910: wrong account name or "
       "password\n"},
      {{}, {"account", "--url", "@/" + std::string(300, 'a')}, 1,
       "account: refused by the library: the URL is longer than 255 bytes\n"},
      {{silent}, {"beat", "--url", "@/heartbeat"}, 3,
       ": timed out (nothing came for 1 s, VESK_TIMEOUT_SECONDS)\n"},
      {{wrongSum, wrongSum, wrongSum},
       {"download", "--url", "@/download", "--key", "k"}, 1,
       "download: the file failed its checksum (code 916); the partial file "
       "was cut back to 0 bytes\n"},
      {{}, {"fly"}, 2, "unknown command \"fly\""},
      {{}, {"save", "--base", "@", "--update", card + "nope.bin"}, 2,
       "vesk: --update \\Storage Card\\nope.bin: no such file (host path " +
           vesk.Host(card + "nope.bin") +
           "); --update-empty sends an empty part on purpose\n",
       [&] { EXPECT_EQ(uploads().find("nope.bin"), std::string::npos); }},
      {{}, {"save", "--base", "@", "--update-empty", card + "here.bin"}, 2,
       "vesk: --update-empty \\Storage Card\\here.bin: the file is there",
       nullptr, [&] { WriteHostFile(vesk.Host(card + "here.bin"), "x"); }},
      {{}, {"download", "--base", "@", "--key", key, "--to", "-", "--json"}, 2,
       "vesk: --to - and --json both want standard output\n"},
      {{}, {"save", "--base", "@", "--update-empty", card + "gone.bin"}, 0, "",
       [&] {
         EXPECT_NE(uploads().find(card + "gone.bin 0 " + Md5Hex("")),
                   std::string::npos);
       }},
      {{}, {"download", "--base", "@", "--key", key, "--to", card + "again",
            "--restart"}, 0, "",
       [&] {
         EXPECT_EQ(vesk.out.find("continued"), std::string::npos) << vesk.out;
         got("again");
       },
       [&] {
         WriteHostFile(vesk.Host(card + "again.Down"), std::string(1000, 'x'));
       }},
      {{}, {"download", "--base", "@", "--key", key, "--to", "-"}, 0,
       "downloaded (status 200)\n",
       [&] { EXPECT_EQ(Md5Hex(vesk.out), medium.at("md5")); }},
      {{}, {"download", "--base", "@", "--key", key}, 0, "",
       [&] { got(key); }, nullptr, true},
      // clang-format on
  };
  for (Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    if (c.setup) c.setup();
    std::optional<test::FakeServer> peer;
    std::optional<test::ScopedEnv> timeout, root;
    std::string base = service.base();
    if (!c.peer.empty()) {
      peer.emplace(c.peer);
      timeout.emplace("VESK_TIMEOUT_SECONDS", "1");
      base = "http://127.0.0.1:" + std::to_string(peer->port());
    }
    for (std::string& a : c.args) {
      if (!a.empty() && a[0] == '@') a = base + a.substr(1);
    }
    if (c.bare) root.emplace("VESK_DEVICE_ROOT", vesk.root());
    c.bare ? vesk.RunBare(c.args) : vesk.Run(c.args);
    EXPECT_EQ(vesk.exit, c.exit) << vesk.err << vesk.out;
    EXPECT_NE(vesk.err.find(c.says), std::string::npos) << vesk.err;
    EXPECT_TRUE(!c.says.empty() || vesk.err.empty()) << vesk.err;
    EXPECT_TRUE(c.exit != 2 || vesk.out.empty()) << vesk.out;  // guards
    if (c.check) c.check();
  }
}

// The progress line on a terminal (script(1) gives the command one for its
// standard error); --quiet drops it, and in a file there is none (the
// downloads above leave standard error empty).
TEST_F(ToolServiceTest, ProgressLineOnlyOnATerminal) {
  ASSERT_TRUE(service.Start({}));
  ASSERT_TRUE(service.Activate(vesk));
  const std::string key = service.demo().at("contents").at(0).at("key");
  for (const bool quiet : {false, true}) {
    const std::string command =
        std::string("TERM=xterm '") + VESK_TOOL + "' --device-root '" +
        vesk.root() + "' download --base " + service.base() + " --key " + key +
        " --to '\\Storage Card\\t" + (quiet ? "q' --quiet" : "'");
    std::string screen;
    ASSERT_EQ(tools::RunToEnd({"/usr/bin/script", "-qec", command, "/dev/null"},
                              &screen),
              0);
    for (const char* drawn : {"\rdownload  ", "100%", "\x1b[K"}) {
      EXPECT_EQ(screen.find(drawn) == std::string::npos, quiet) << screen;
    }
    EXPECT_NE(screen.find("downloaded (status 200)"), std::string::npos);
  }
}

// The demo runs every step, then stops its service and removes its
// directory.
TEST(ToolDemoTest, DemoReportsEveryStepAndCleansUp) {
  test::DeviceRoot scratch;
  const std::string tmp = scratch.path() + "/tmp";
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  test::ScopedEnv tmpdir("TMPDIR", tmp);
  std::string out;
  EXPECT_EQ(tools::RunToEnd(
                {VESK_TOOL, "demo", "--service", VESK_SERVICE_BINARY}, &out),
            0)
      << out;
  EXPECT_NE(out.find("  work directory  " + tmp + "/vesk-demo-"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("demo: 7 of 7 steps passed"), std::string::npos);
  EXPECT_NE(out.find("resumed at byte "), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string line = ReadHostFile(entry.path().string() + "/cmdline");
    EXPECT_EQ(line.find(tmp), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace vesk::tool
