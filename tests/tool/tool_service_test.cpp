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

using test::HostFileExists;
using test::ReadHostFile;
using test::WriteHostFile;

// The seeded reference service and `vesk` with a device root of its own.
class ToolServiceTest : public ::testing::Test {
 protected:
  // The service stops cleanly after every test: under the sanitizers that
  // also means they found nothing in it.
  void TearDown() override { EXPECT_EQ(service.Stop(), 0); }
  ServiceUnderTest service;
  ToolRun vesk{service.work()};
};

TEST_F(ToolServiceTest, EveryCommandAgainstTheReferenceService) {
  ASSERT_TRUE(service.Start({}));
  const Json& account = service.demo().at("account");
  const std::string base = service.base();

  // Activation in mode 4 registers the handset and stores its credentials,
  // readable by their owner alone.
  Json j = vesk.Json_({"activate", "--base", base, "--username",
                       account.at("name"), "--password", account.at("password"),
                       "--validation", account.at("validationCode")});
  ASSERT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"], 200);
  EXPECT_GT(j["userId"], 0);
  const std::string envFile = vesk.Host("\\PocketDisk1\\handset.env");
  EXPECT_NE(ReadHostFile(envFile).find("Private-Key"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(envFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  j = vesk.Json_({"account", "--base", base});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["username"], account.at("name"));

  // The notifications queued for the new handset, Chinese text included.
  j = vesk.Json_({"beat", "--url", base + "/heartbeat", "--port",
                  std::to_string(service.port())});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["notifications"].size(), service.demo().at("notifications"));
  EXPECT_NE(j.dump().find("\xE6\xAC\xA2\xE8\xBF\x8E"),
            std::string::npos)
      << j.dump(2);  // 欢迎
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\savepush.xml")));

  // The package is unpacked, every entry, and the archive deleted as asked.
  const Json& package = service.demo().at("packages").at(0);
  j = vesk.Json_({"load", "--base", base, "--package", service.Package(),
                  "--target", "\\Storage Card\\p", "--delete-archive"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["entries"], package.at("files").size());
  EXPECT_EQ(j["failedEntries"], 0);
  EXPECT_EQ(j["archiveDeleted"], true);

  // Save: an upload whose name is outside ASCII travels in the handset's
  // code page; then an update and a delete in one request.
  const std::string chinese = "\\Storage Card\\\xE7\xAC\x94\xE8\xAE\xB0.txt";
  WriteHostFile(vesk.Host(chinese), "one");
  WriteHostFile(vesk.Host("\\Storage Card\\big.bin"), std::string(5000, 'b'));
  vesk.Run({"save", "--base", base, "--update", chinese, "--update",
            "/Storage Card/big.bin"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_NE(
      service.Admin({"list-uploads"}).find(chinese + " 3 " + Md5Hex("one")),
      std::string::npos);
  WriteHostFile(vesk.Host(chinese), "two, longer");
  vesk.Run({"save", "--base", base, "--update", chinese, "--delete",
            "\\Storage Card\\big.bin"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  const std::string uploads = service.Admin({"list-uploads"});
  EXPECT_NE(uploads.find(chinese + " 11 " + Md5Hex("two, longer")),
            std::string::npos)
      << uploads;
  EXPECT_EQ(uploads.find("big.bin"), std::string::npos) << uploads;
}

// One row per way an operation can end, and per guard where the tool knows
// what the user means: the exit status, and the line on standard error that
// says why.
TEST_F(ToolServiceTest, ExitStatusesAndGuardsSayWhatHappened) {
  ASSERT_TRUE(service.Start({}));
  ASSERT_TRUE(service.Activate(vesk));
  const std::string bad =
      MakeZip(service.work() + "/bad.zip",
              {{"ok.txt", "fine"}, {"../escape.txt", "no"}});
  auto ok = [](const std::string& body, const std::string& headers = "") {
    return test::Raw(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n" + headers + "\r\n" + body);
  };
  const test::Reply wrongSum =
      ok("0123456789", "X-Checksum: 00000000000000000000000000000000\r\n");
  test::Reply silent;
  silent.readNothing = true;
  const Json& small = service.demo().at("contents").at(0);
  const Json& medium = service.demo().at("contents").at(1);
  const std::string key = medium.at("key");
  const std::string otherRoot = service.work() + "/other-root";
  const auto uploads = [&] { return service.Admin({"list-uploads"}); };
  const auto part = [&](const std::string& name) {
    return Md5Hex(ReadHostFile(vesk.Host("\\Storage Card\\" + name)));
  };

  struct Case {
    const char* what;
    std::vector<test::Reply> peer;  // a local peer; none: the service
    std::vector<std::string> args;  // "@": the peer's or service's address
    int exit;
    std::string says;  // what standard error holds ("": nothing)
    std::function<void()> check = nullptr;
    std::function<void()> setup = nullptr;
    bool bare = false;  // without --device-root, VESK_DEVICE_ROOT set
  } cases[] = {
      // clang-format off
      {"refused by the service", {},
       {"activate", "--base", "@", "--mode", "3", "--username", "demo",
        "--password", "wrong"}, 1,
       "activate: refused, status 403, code 910: wrong account name or "
       "password\n"},
      {"refused by the library", {},
       {"account", "--url", "@/" + std::string(300, 'a')}, 1,
       "account: refused by the library: the URL is longer than 255 bytes\n"},
      {"no response: the peer stays silent", {silent},
       {"beat", "--url", "@/heartbeat"}, 3,
       ": timed out (nothing came for 1 s, VESK_TIMEOUT_SECONDS)\n"},
      {"a transfer that stops early",
       {test::Raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" +
                  std::string(40, 'z'))},
       {"load", "--url", "@/p/cut.zip"}, 3,
       "load: incomplete: the transfer stopped at byte 40 of 100; the same "
       "command continues it (--restart starts over)\n"},
      {"entries that cannot be unpacked keep the archive", {ok(bad)},
       {"load", "--url", "@/p/bad.zip", "--target", "\\Storage Card\\bad",
        "--delete-archive"}, 1,
       "load: 1 of 2 entries could not be unpacked into \\Storage Card\\bad; "
       "the archive was kept\n"},
      {"a package the service does not have", {},
       {"load", "--base", "@", "--package", "none.zip"}, 1,
       "load: refused, status 404, code 918"},
      {"an activation without a user id",
       {ok("<?xml version=\"1.0\"?><reply></reply>")},
       {"activate", "--url", "@/activate", "--username", "demo", "--password",
        "x", "--env", "\\PocketDisk1\\other.env"}, 1,
       "activate: the reply held no user id (status 200): the handset is not "
       "registered\n"},
      {"a file that fails its checksum", {wrongSum, wrongSum, wrongSum},
       {"download", "--url", "@/download", "--key", "k"}, 1,
       "download: the file failed its checksum (code 916); the partial file "
       "was cut back to 0 bytes\n"},
      {"save --update of a file that is not there is not sent", {},
       {"save", "--base", "@", "--update", "\\Storage Card\\nope.bin"}, 2,
       "vesk: --update \\Storage Card\\nope.bin: no such file (host path " +
           vesk.Host("\\Storage Card\\nope.bin") +
           "); --update-empty sends an empty part on purpose\n",
       [&] { EXPECT_EQ(uploads().find("nope.bin"), std::string::npos); }},
      {"save --update-empty sends the empty part when asked", {},
       {"save", "--base", "@", "--update-empty", "\\Storage Card\\gone.bin"},
       0, "",
       [&] {
         EXPECT_NE(uploads().find("\\Storage Card\\gone.bin 0 " + Md5Hex("")),
                   std::string::npos) << uploads();
       }},
      {"save --update-empty of a file that is there is not sent", {},
       {"save", "--base", "@", "--update-empty", "\\Storage Card\\here.bin"},
       2, "vesk: --update-empty \\Storage Card\\here.bin: the file is there",
       [&] { EXPECT_EQ(uploads().find("here.bin"), std::string::npos); },
       [&] { WriteHostFile(vesk.Host("\\Storage Card\\here.bin"), "x"); }},
      {"a download continues from the data file an earlier call left", {},
       {"download", "--base", "@", "--key", key, "--to",
        "\\Storage Card\\part"}, 0, "",
       [&] {
         EXPECT_NE(vesk.out.find("continued    from byte 1000, the data file "
                                 "an earlier call left"),
                   std::string::npos) << vesk.out;
         EXPECT_EQ(part("part"), medium.at("md5"));
       },
       [&] {
         WriteHostFile(vesk.Host("\\Storage Card\\part.Down"),
                       ReadHostFile(service.data() + "/contents/" +
                                    medium.at("md5").get<std::string>())
                           .substr(0, 1000));
       }},
      {"--restart throws away what an earlier call left", {},
       {"download", "--base", "@", "--key", key, "--to",
        "\\Storage Card\\again", "--restart"}, 0, "",
       [&] {
         EXPECT_EQ(part("again"), medium.at("md5"));
         EXPECT_NE(service.Admin({"list-deliveries"}).find(" " + key + " "),
                   std::string::npos);
       },
       [&] {
         WriteHostFile(vesk.Host("\\Storage Card\\again.Down"),
                       std::string(1000, 'x'));
         WriteHostFile(vesk.Host("\\Storage Card\\again.Down.cfg"), "junk");
       }},
      {"--to - writes the file to standard output", {},
       {"download", "--base", "@", "--key", small.at("key"), "--to", "-"}, 0,
       "downloaded (status 200)\n",
       [&] { EXPECT_EQ(Md5Hex(vesk.out), small.at("md5")); }},
      {"--to - and --json cannot share standard output", {},
       {"download", "--base", "@", "--key", small.at("key"), "--to", "-",
        "--json"}, 2, "vesk: --to - and --json both want standard output\n",
       [&] { EXPECT_EQ(vesk.out, ""); }},
      {"a load onto a taken archive path says which archive was unpacked", {},
       {"load", "--base", "@", "--package", service.Package(), "--target",
        "\\Storage Card\\taken"}, 0,
       "load: \\Storage Card\\demo.zip was there already: the library "
       "unpacked that older archive; the new one is "
       "\\Storage Card\\demo(1).zip\n",
       nullptr,
       [&] {
         MakeZip(vesk.Host("\\Storage Card\\demo.zip"), {{"old.txt", "old"}});
       }},
      {"VESK_DEVICE_ROOT is the default device root", {},
       {"download", "--base", "@", "--key", small.at("key")}, 0, "",
       [&] {
         EXPECT_EQ(Md5Hex(ReadHostFile(otherRoot + "/Storage Card/" +
                                       small.at("key").get<std::string>())),
                   small.at("md5"));
       },
       [&] {
         WriteHostFile(otherRoot + "/PocketDisk1/handset.env",
                       ReadHostFile(vesk.Host("\\PocketDisk1\\handset.env")));
       },
       true},
      // clang-format on
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
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
    if (c.bare) {
      root.emplace("VESK_DEVICE_ROOT", otherRoot);
      vesk.RunBare(c.args);
    } else {
      vesk.Run(c.args);
    }
    EXPECT_EQ(vesk.exit, c.exit) << vesk.err << vesk.out;
    if (c.says.empty()) {
      EXPECT_EQ(vesk.err, "");
    } else {
      EXPECT_NE(vesk.err.find(c.says), std::string::npos) << vesk.err;
    }
    if (c.check) c.check();
  }
}

// The progress line on a terminal; with standard error in a file there is
// none (the downloads of the table above leave it empty).
TEST_F(ToolServiceTest, ProgressLineOnlyOnATerminal) {
  ASSERT_TRUE(service.Start({}));
  ASSERT_TRUE(service.Activate(vesk));
  const std::string key = service.demo().at("contents").at(0).at("key");
  const struct {
    const char* term;
    const char* options;
    bool drawn;   // a progress line appears
    bool erases;  // with ESC [ K
  } cases[] = {
      {"xterm", "", true, true},
      {"xterm", "--quiet", false, false},
      {"dumb", "", true, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.term) + " " + c.options);
    // script(1) gives the command a terminal for its standard error.
    const std::string command =
        "TERM=" + std::string(c.term) + " '" + VESK_TOOL + "' --device-root '" +
        vesk.root() + "' download --base " + service.base() + " --key " + key +
        " --to '\\Storage Card\\t" + std::to_string(++n) + "' " + c.options;
    std::string screen;
    ASSERT_EQ(tools::RunToEnd({"/usr/bin/script", "-qec", command, "/dev/null"},
                              &screen),
              0);
    EXPECT_EQ(screen.find("\rdownload  ") != std::string::npos, c.drawn)
        << screen;
    EXPECT_EQ(screen.find("100%") != std::string::npos, c.drawn) << screen;
    EXPECT_EQ(screen.find("\x1b[K") != std::string::npos, c.erases);
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
