// The host tool run as its users run it: the `vesk` program against the
// reference service `vesk-service` and against local peers, each in its own
// process, checked by exit status, messages, `--json` output, the files on
// the device root and the service's own listings.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
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

// "@..." stands for the address of the peer of a case.
std::vector<std::string> At(const std::string& base,
                            std::vector<std::string> args) {
  for (std::string& a : args) {
    if (!a.empty() && a[0] == '@') a = base + a.substr(1);
  }
  return args;
}

std::string ContentLength(const std::string& body) {
  return std::to_string(body.size());
}

// The seeded reference service and `vesk` with a device root of its own.
class ToolServiceTest : public ::testing::Test {
 protected:
  // The service stops cleanly after every test: under the sanitizers that
  // also means they found nothing in it.
  void TearDown() override { EXPECT_EQ(service.Stop(), 0); }
  // Starts the service with the options; a handset activated unless not.
  void Up(const std::vector<std::string>& options = {}, bool activate = true) {
    ASSERT_TRUE(service.Start(options));
    ASSERT_TRUE(!activate || service.Activate(vesk));
  }
  ServiceUnderTest service;
  ToolRun vesk{service.work()};
};

TEST_F(ToolServiceTest, EveryCommandAgainstTheReferenceService) {
  Up({}, false);
  const Json& account = service.demo().at("account");

  // Activation in mode 4 registers the handset and stores its credentials,
  // readable by their owner alone.
  Json j = vesk.Json_({"activate", "--base", service.base(), "--username",
                       account.at("name"), "--password", account.at("password"),
                       "--validation", account.at("validationCode"), "--name",
                       "Li", "--gender", "1"});
  ASSERT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"], 200);
  EXPECT_EQ(j["result"], "ok");
  EXPECT_GT(j["userId"], 0);
  EXPECT_EQ(j["username"], account.at("name"));
  const std::string envFile = vesk.Host("\\PocketDisk1\\handset.env");
  const std::string env = ReadHostFile(envFile);
  EXPECT_NE(env.find("User-Id"), std::string::npos);
  EXPECT_NE(env.find("Private-Key"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(envFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  j = vesk.Json_({"account", "--base", service.base()});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["username"], account.at("name"));
  EXPECT_GT(j["accountId"], 0);

  // The notifications queued for the new handset, Chinese text included.
  j = vesk.Json_({"beat", "--url", service.base() + "/heartbeat", "--port",
                  std::to_string(service.port())});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  const Json& list = j["notifications"];
  ASSERT_EQ(list.size(), service.demo().at("notifications"));
  bool wide = false;
  for (const Json& n : list) {
    EXPECT_FALSE(n.at("key").get<std::string>().empty());
    for (const unsigned char c : n.at("title").get<std::string>()) {
      wide |= c >= 0xE0;
    }
  }
  EXPECT_TRUE(wide) << j.dump(2);
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\savepush.xml")));

  // Every content file arrives whole and matches the store's MD5; each
  // arrival is confirmed to the service.
  for (const Json& content : service.demo().at("contents")) {
    const std::string key = content.at("key");
    j = vesk.Json_({"download", "--base", service.base(), "--key", key, "--to",
                    "/Storage Card/in/" + key});
    EXPECT_EQ(vesk.exit, 0) << key << vesk.err;
    EXPECT_EQ(j["complete"], true);
    EXPECT_EQ(j["fileSize"], content.at("size"));
    const std::string host = vesk.Host("\\Storage Card\\in\\" + key);
    EXPECT_EQ(Md5Hex(ReadHostFile(host)), content.at("md5"));
    EXPECT_EQ(j["checksum"], content.at("md5"));
    EXPECT_FALSE(HostFileExists(host + ".Down"));
    EXPECT_FALSE(HostFileExists(host + ".Down.cfg"));
    EXPECT_NE(service.Admin({"list-deliveries"}).find(" " + key + " "),
              std::string::npos);
  }

  // The package is unpacked byte for byte as unzip reads it, and the
  // archive is deleted when asked, every entry being unpacked.
  const Json& package = service.demo().at("packages").at(0);
  const std::string packagePath = package.at("path");
  j = vesk.Json_({"load", "--base", service.base(), "--package", packagePath,
                  "--target", "\\Storage Card\\p", "--delete-archive"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"], 200);
  EXPECT_EQ(j["received"], j["fileSize"]);
  EXPECT_EQ(j["entries"], package.at("files").size());
  EXPECT_EQ(j["failedEntries"], 0);
  EXPECT_EQ(j["archiveDeleted"], true);
  const std::string zip = service.data() + "/packages/" + packagePath;
  for (const Json& file : package.at("files")) {
    const std::string name = file;
    const std::string host = vesk.Host("\\Storage Card\\p\\" + name);
    bool ascii = true;
    for (const unsigned char c : name) ascii &= c < 0x80;
    if (!ascii) {
      // unzip matches names in its own idea of the archive's code page.
      EXPECT_TRUE(HostFileExists(host)) << name;
      continue;
    }
    std::string expected;
    ASSERT_EQ(tools::RunToEnd({"/usr/bin/unzip", "-p", zip, name}, &expected),
              0);
    EXPECT_EQ(ReadHostFile(host), expected) << name;
  }
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\" + packagePath)));

  // Save: two uploads, then an update and a delete in one request.
  test::WriteHostFile(vesk.Host("\\Storage Card\\notes.txt"), "one");
  test::WriteHostFile(vesk.Host("\\Storage Card\\big.bin"),
                      std::string(5000, '\x7f'));
  // A name outside ASCII travels in the handset's code page and comes back
  // as the same handset path.
  const std::string chinese = "\\Storage Card\\\xE7\xAC\x94\xE8\xAE\xB0.txt";
  test::WriteHostFile(vesk.Host(chinese), "\xE4\xBD\xA0\xE5\xA5\xBD");
  j = vesk.Json_({"save", "--base", service.base(), "--update",
                  "/Storage Card/notes.txt", "--update",
                  "\\Storage Card\\big.bin", "--update", chinese});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["entries"][1]["path"], "\\Storage Card\\big.bin");
  std::string uploads = service.Admin({"list-uploads"});
  EXPECT_NE(uploads.find("\\Storage Card\\big.bin 5000 " +
                         Md5Hex(std::string(5000, '\x7f'))),
            std::string::npos)
      << uploads;
  EXPECT_NE(uploads.find(chinese + " 6 " + Md5Hex("\xE4\xBD\xA0\xE5\xA5\xBD")),
            std::string::npos)
      << uploads;
  test::WriteHostFile(vesk.Host("\\Storage Card\\notes.txt"), "two, longer");
  j = vesk.Json_({"save", "--base", service.base(), "--update",
                  "\\Storage Card\\notes.txt", "--delete",
                  "\\Storage Card\\big.bin"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_NE(j["response"].get<std::string>().find("HTTP/1.1 200"),
            std::string::npos);
  uploads = service.Admin({"list-uploads"});
  EXPECT_NE(
      uploads.find("\\Storage Card\\notes.txt 11 " + Md5Hex("two, longer")),
      std::string::npos)
      << uploads;
  EXPECT_EQ(uploads.find("big.bin"), std::string::npos) << uploads;
  EXPECT_EQ(ReadHostFile(service.data() + "/uploads/" +
                         uploads.substr(0, uploads.find(' ')) +
                         "/Storage Card/notes.txt"),
            "two, longer");
}

// One row per way an operation can end, and per guard where the tool knows
// what the user means: the exit status, and the line on standard error that
// says why.
TEST_F(ToolServiceTest, ExitStatusesAndGuardsSayWhatHappened) {
  Up();
  const std::string bad =
      MakeZip(service.work() + "/bad.zip",
              {{"ok.txt", "fine"}, {"../escape.txt", "no"}});
  ASSERT_FALSE(bad.empty());
  const std::string noAccount = "<?xml version=\"1.0\"?><reply></reply>";
  using Headers = std::vector<std::pair<std::string, std::string>>;
  auto ok = [](const std::string& body, Headers headers = {}) {
    headers.insert(headers.begin(), {"Content-Length", ContentLength(body)});
    return test::Raw(test::HttpReply(200, "OK", headers, body));
  };
  const test::Reply wrongSum =
      ok("0123456789", {{"X-Checksum", "00000000000000000000000000000000"}});
  test::Reply silent;
  silent.readNothing = true;
  test::Reply closing;
  closing.closeWithoutReply = true;
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(test::ClosedPort());
  const Json& contents = service.demo().at("contents");
  const Json& small = contents.at(0);
  const Json& medium = contents.at(1);
  const std::string package = service.Package();
  const std::string packageBytes =
      ReadHostFile(service.data() + "/packages/" + package);
  const std::string otherRoot = service.work() + "/other-root";
  const auto uploads = [&] { return service.Admin({"list-uploads"}); };

  struct Case {
    const char* what;
    std::vector<test::Reply> peer;  // a local peer; none: the service
    std::vector<std::string> args;  // "@": the peer's or service's address
    int exit;
    std::string says;  // what standard error holds ("": nothing)
    std::function<void()> check = nullptr;
    std::function<void()> setup = nullptr;
    const char* timeout = nullptr;  // VESK_TIMEOUT_SECONDS
    bool bare = false;  // without --device-root, VESK_DEVICE_ROOT set
  } cases[] = {
      // clang-format off
      {"success", {}, {"account", "--base", "@"}, 0, ""},
      {"refused by the service", {},
       {"activate", "--base", "@", "--mode", "3", "--username", "demo",
        "--password", "wrong"}, 1,
       "activate: refused, status 403, code 910: wrong account name or "
       "password\n"},
      {"refused by the library", {},
       {"account", "--url", "@/" + std::string(300, 'a')}, 1,
       "account: refused by the library: the URL is longer than 255 bytes\n"},
      {"no response: the host does not resolve", {},
       {"account", "--url", "http://no-such-host.invalid/account"}, 3,
       "account: no response from no-such-host.invalid:80: cannot resolve "
       "host no-such-host.invalid\n"},
      {"no response: nothing listens", {},
       {"account", "--url", closed + "/account"}, 3,
       "account: no response from " + closed.substr(7) +
           ": connection refused\n"},
      {"no response: the peer stays silent", {silent},
       {"beat", "--url", "@/heartbeat"}, 3,
       ": timed out (nothing came for 1 s, VESK_TIMEOUT_SECONDS)\n",
       nullptr, nullptr, "1"},
      {"no response: the peer closes", {closing},
       {"account", "--url", "@/account"}, 3,
       ": connection closed (the peer closed it without a reply)\n"},
      {"a transfer that stops early",
       {test::Raw(test::HttpReply(200, "OK", {{"Content-Length", "100"}},
                                  std::string(40, 'z')))},
       {"load", "--url", "@/p/cut.zip"}, 3,
       "load: incomplete: the transfer stopped at byte 40 of 100; the same "
       "command continues it (--restart starts over)\n"},
      {"a partial reply the library cannot place",
       {test::Raw(test::HttpReply(206, "Partial Content",
                                  {{"Content-Length", "10"}}, "0123456789"))},
       {"load", "--url", "@/p/range.zip"}, 1,
       "load: the reply was refused by the library: the partial reply has no "
       "Content-Range\n"},
      {"entries that cannot be unpacked keep the archive", {ok(bad)},
       {"load", "--url", "@/p/bad.zip", "--target", "\\Storage Card\\bad",
        "--delete-archive"}, 1,
       "load: 1 of 2 entries could not be unpacked into \\Storage Card\\bad; "
       "the archive was kept\n",
       [&] {
         EXPECT_EQ(ReadHostFile(vesk.Host("\\Storage Card\\bad.zip")), bad);
         EXPECT_EQ(ReadHostFile(vesk.Host("\\Storage Card\\bad\\ok.txt")),
                   "fine");
         EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\escape.txt")));
       }},
      {"an archive that is not one",
       {test::Raw(test::HttpReply(200, "OK", {}, "no zip at all"))},
       {"load", "--url", "@/p/none.zip"}, 1,
       "load: the archive at \\Storage Card\\none.zip (0 bytes) is not a zip "
       "archive: nothing was unpacked (the reply announced no length)\n"},
      {"an activation without a user id", {ok(noAccount)},
       {"activate", "--url", "@/activate", "--username", "demo", "--password",
        "x", "--env", "\\PocketDisk1\\other.env"}, 1,
       "activate: the reply held no user id (status 200): the handset is not "
       "registered\n"},
      {"an account information without an account", {ok(noAccount)},
       {"account", "--url", "@/account"}, 1,
       "account: the reply held no account (status 200, account id 0)\n"},
      {"a file that fails its checksum", {wrongSum, wrongSum, wrongSum},
       {"download", "--url", "@/download", "--key", "k"}, 1,
       "download: the file failed its checksum (code 916); the partial file "
       "was cut back to 0 bytes\n"},
      {"usage error", {}, {"account", "--prot", "0", "--base", "@"}, 2,
       "vesk: unknown option --prot\nTry `vesk account --help`.\n"},
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
       [&] {
         test::WriteHostFile(vesk.Host("\\Storage Card\\here.bin"), "x");
       }},
      {"a download continues from the data file an earlier call left", {},
       {"download", "--base", "@", "--key", medium.at("key"), "--to",
        "\\Storage Card\\part"}, 0, "",
       [&] {
         EXPECT_NE(vesk.out.find("continued    from byte 1000, the data file "
                                 "an earlier call left"),
                   std::string::npos) << vesk.out;
         EXPECT_NE(vesk.out.find("range start  1000\n"), std::string::npos);
         EXPECT_EQ(Md5Hex(ReadHostFile(vesk.Host("\\Storage Card\\part"))),
                   medium.at("md5"));
       },
       [&] {
         test::WriteHostFile(vesk.Host("\\Storage Card\\part.Down"),
                             ReadHostFile(service.data() + "/contents/" +
                                          medium.at("md5").get<std::string>())
                                 .substr(0, 1000));
       }},
      {"--restart throws away what an earlier call left", {},
       {"download", "--base", "@", "--key", medium.at("key"), "--to",
        "\\Storage Card\\again", "--restart"}, 0, "",
       [&] {
         EXPECT_NE(vesk.out.find("range start  0\n"), std::string::npos);
         EXPECT_EQ(Md5Hex(ReadHostFile(vesk.Host("\\Storage Card\\again"))),
                   medium.at("md5"));
       },
       [&] {
         test::WriteHostFile(vesk.Host("\\Storage Card\\again.Down"),
                             std::string(1000, 'x'));
         test::WriteHostFile(vesk.Host("\\Storage Card\\again.Down.cfg"),
                             "not a state file");
       }},
      {"--to - writes the file to standard output", {},
       {"download", "--base", "@", "--key", small.at("key"), "--to", "-"}, 0,
       "downloaded (status 200)\n",
       [&] {
         EXPECT_EQ(vesk.out.size(), small.at("size"));
         EXPECT_EQ(Md5Hex(vesk.out), small.at("md5"));
       }},
      {"--to - and --json cannot share standard output", {},
       {"download", "--base", "@", "--key", small.at("key"), "--to", "-",
        "--json"}, 2, "vesk: --to - and --json both want standard output\n",
       [&] { EXPECT_EQ(vesk.out, ""); }},
      {"a load onto a taken archive path says which archive was unpacked", {},
       {"load", "--base", "@", "--package", package, "--target",
        "\\Storage Card\\taken"}, 0,
       "load: \\Storage Card\\" + package +
           " was there already: the library unpacked that older archive; "
           "the new one is \\Storage Card\\demo(1).zip\n",
       [&] {
         EXPECT_EQ(ReadHostFile(vesk.Host("\\Storage Card\\taken\\old.txt")),
                   "old");
         EXPECT_EQ(ReadHostFile(vesk.Host("\\Storage Card\\demo(1).zip")),
                   packageBytes);
         EXPECT_NE(vesk.out.find("new archive    \\Storage Card\\demo(1).zip"),
                   std::string::npos) << vesk.out;
       },
       [&] {
         MakeZip(vesk.Host("\\Storage Card\\" + package), {{"old.txt", "old"}});
       }},
      {"VESK_DEVICE_ROOT is the default device root", {},
       {"download", "--base", "@", "--key", small.at("key")}, 0, "",
       [&] {
         EXPECT_EQ(Md5Hex(ReadHostFile(otherRoot + "/Storage Card/" +
                                       small.at("key").get<std::string>())),
                   small.at("md5"));
       },
       [&] {
         test::WriteHostFile(
             otherRoot + "/PocketDisk1/handset.env",
             ReadHostFile(vesk.Host("\\PocketDisk1\\handset.env")));
       },
       nullptr, true},
      // clang-format on
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.setup) c.setup();
    std::unique_ptr<test::FakeServer> peer;
    std::string base = service.base();
    if (!c.peer.empty()) {
      peer = std::make_unique<test::FakeServer>(c.peer);
      base = "http://127.0.0.1:" + std::to_string(peer->port());
    }
    std::optional<test::ScopedEnv> timeout, root;
    if (c.timeout) timeout.emplace("VESK_TIMEOUT_SECONDS", c.timeout);
    if (c.bare) {
      root.emplace("VESK_DEVICE_ROOT", otherRoot);
      vesk.RunBare(At(base, c.args));
    } else {
      vesk.Run(At(base, c.args));
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

// Every attempt of the first download call is cut: it leaves its data and
// state files, and the same command run again continues from them (the load
// does the same against nginx).
TEST_F(ToolServiceTest, CutTransfersContinueWhenRunAgain) {
  Up({"--cut-after", "100000", "--cuts", "3"});
  const Json& large = service.LargestContent();
  ASSERT_GT(large.at("size"), 300000);
  const std::string key = large.at("key");
  const std::string file = vesk.Host("\\Storage Card\\" + key);
  const std::vector<std::string> download = {"download", "--base",
                                             service.base(), "--key", key};

  Json j = vesk.Json_(download);
  EXPECT_EQ(vesk.exit, 3) << vesk.err;
  EXPECT_EQ(j["result"], "incomplete");
  EXPECT_EQ(j["reason"],
            "incomplete: the transfer stopped at byte 300000 of " +
                std::to_string(large.at("size").get<int>()) +
                "; the same command continues it (--restart starts over)");
  EXPECT_EQ(j["complete"], false);
  EXPECT_EQ(j["offset"], 300000);  // three attempts, 100000 each
  EXPECT_EQ(ReadHostFile(file + ".Down").size(), 300000u);
  EXPECT_TRUE(HostFileExists(file + ".Down.cfg"));
  EXPECT_FALSE(HostFileExists(file));

  j = vesk.Json_(download);
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"], 206);
  EXPECT_EQ(j["continuedFrom"], 300000);
  EXPECT_EQ(j["rangeStart"], 300000);
  EXPECT_EQ(j["partialChecksum"], Md5Hex(ReadHostFile(file).substr(0, 300000)));
  EXPECT_EQ(Md5Hex(ReadHostFile(file)), large.at("md5"));
  EXPECT_FALSE(HostFileExists(file + ".Down"));
}

// The progress line on a terminal; with standard error in a file there is
// none (the downloads of the table above leave it empty).
TEST_F(ToolServiceTest, ProgressLineOnlyOnATerminal) {
  Up();
  const std::string key = service.demo().at("contents").at(0).at("key");
  struct Case {
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
  for (const Case& c : cases) {
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

// Processes whose command line mentions the text.
int ProcessesMentioning(const std::string& text) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string line = ReadHostFile(entry.path().string() + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    count += line.find(text) != std::string::npos;
  }
  return count;
}

TEST(ToolDemoTest, DemoReportsEveryStepAsTextOrJson) {
  test::DeviceRoot scratch;  // the demo's $TMPDIR
  const std::string tmp = scratch.path() + "/tmp";
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  test::ScopedEnv tmpdir("TMPDIR", tmp);
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    std::vector<std::string> argv = {VESK_TOOL, "demo", "--service",
                                     VESK_SERVICE_BINARY};
    if (json) argv.push_back("--json");
    std::string out;
    const int exit =
        tools::RunToEnd(argv, &out, {scratch.path() + "/demo.err"});
    EXPECT_EQ(exit, 0) << out << ReadHostFile(scratch.path() + "/demo.err");
    if (json) {
      const Json j = Json::parse(out, nullptr, false);
      ASSERT_TRUE(j.is_object()) << out;
      EXPECT_EQ(j["passed"], 7);
      EXPECT_EQ(j["ok"], true);
      ASSERT_EQ(j["steps"].size(), 7u);
      for (const Json& step : j["steps"]) EXPECT_EQ(step["ok"], true) << step;
      EXPECT_EQ(j["workDirectory"].get<std::string>().rfind(tmp + "/", 0), 0u);
      EXPECT_EQ(j["kept"], nullptr);
    } else {
      EXPECT_NE(out.find("  work directory  " + tmp + "/vesk-demo-"),
                std::string::npos)
          << out;
      EXPECT_NE(out.find("demo: 7 of 7 steps passed"), std::string::npos);
      EXPECT_NE(out.find("resumed at byte "), std::string::npos);
      EXPECT_EQ(out.find("FAILED"), std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp));  // its directory is gone
  }
}

// However the demo is ended, it stops its service and removes its
// directory: its reader goes away (a pipe into head), or SIGINT or SIGTERM.
TEST(ToolDemoTest, DemoCleansUpWhenEndedEarly) {
  test::DeviceRoot scratch;
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    const std::string tmp = scratch.path() + "/tmp" + std::to_string(signal);
    ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
    test::ScopedEnv tmpdir("TMPDIR", tmp);
    if (signal == SIGPIPE) {
      std::string status;
      ASSERT_EQ(
          tools::RunToEnd({"/bin/bash", "-c",
                           std::string("'") + VESK_TOOL + "' demo --service '" +
                               VESK_SERVICE_BINARY +
                               "' | head -2 >/dev/null; echo "
                               "\"${PIPESTATUS[0]}\""},
                          &status),
          0);
      EXPECT_EQ(status, std::to_string(128 + SIGPIPE) + "\n");
    } else {
      tools::Child demo;
      std::string error, line;
      ASSERT_TRUE(
          demo.Start({VESK_TOOL, "demo", "--service", VESK_SERVICE_BINARY},
                     {scratch.path() + "/demo.err"}, &error))
          << error;
      // The first step is over: the service runs.
      bool stepped = false;
      while (!stepped && demo.ReadLine(&line, 60000)) {
        stepped = line.rfind("[1/7]", 0) == 0;
      }
      ASSERT_TRUE(stepped);
      ASSERT_EQ(::kill(demo.pid(), signal), 0);
      while (demo.ReadLine(&line, 60000)) {
      }
      EXPECT_EQ(demo.Stop(10000), -1);  // ended by the signal
      EXPECT_NE(ReadHostFile(scratch.path() + "/demo.err")
                    .find("vesk demo: interrupted; the service is stopped "
                          "and its directory removed"),
                std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    EXPECT_EQ(ProcessesMentioning(tmp), 0);
  }
}

}  // namespace
}  // namespace vesk::tool
