// The host tool run as its users run it: the `vesk` program against the
// reference service `vesk-service`, each in its own process, checked by exit
// status, `--json` output, the files on the device root and the service's
// own listings.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/tool/tool_test_support.h"
#include "tools/vesk/json.h"
#include "tools/vesk/process.h"

namespace vesk::tool {
namespace {

using test::HostFileExists;
using test::ReadHostFile;

TEST(ToolServiceTest, EveryCommandAgainstTheReferenceService) {
  ServiceUnderTest service;
  ASSERT_TRUE(service.Start({}));
  ToolRun vesk(service.work());
  const Json& account = service.demo()["account"];

  // Activation in mode 4 registers the handset and stores its credentials.
  Json j = vesk.Json_({"activate", "--base", service.base(), "--username",
                       account["name"].AsString(), "--password",
                       account["password"].AsString(), "--validation",
                       account["validationCode"].AsString(), "--name", "Li",
                       "--gender", "1"});
  ASSERT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"].AsInt(), 200);
  EXPECT_GT(j["userId"].AsInt(), 0);
  EXPECT_EQ(j["username"].AsString(), account["name"].AsString());
  const std::string env = ReadHostFile(vesk.Host("\\PocketDisk1\\handset.env"));
  EXPECT_NE(env.find("User-Id"), std::string::npos);
  EXPECT_NE(env.find("Private-Key"), std::string::npos);

  j = vesk.Json_({"account", "--base", service.base()});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["username"].AsString(), account["name"].AsString());
  EXPECT_GT(j["accountId"].AsInt(), 0);

  // The notifications queued for the new handset, Chinese text included.
  j = vesk.Json_({"beat", "--url", service.base() + "/heartbeat", "--port",
                  std::to_string(service.port())});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  const Json& list = j["notifications"];
  ASSERT_EQ(static_cast<int64_t>(list.size()),
            service.demo()["notifications"].AsInt());
  bool wide = false;
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_FALSE(list[i]["key"].AsString().empty());
    for (const unsigned char c : list[i]["title"].AsString()) wide |= c >= 0xE0;
  }
  EXPECT_TRUE(wide) << j.Write(2);
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\savepush.xml")));

  // Every content file arrives whole and matches the store's MD5; each
  // arrival is confirmed to the service.
  const Json& contents = service.demo()["contents"];
  for (size_t i = 0; i < contents.size(); ++i) {
    const std::string key = contents[i]["key"].AsString();
    j = vesk.Json_({"download", "--base", service.base(), "--key", key, "--to",
                    "/Storage Card/in/" + key});
    EXPECT_EQ(vesk.exit, 0) << key << vesk.err;
    EXPECT_TRUE(j["complete"].AsBool());
    EXPECT_EQ(j["fileSize"].AsInt(), contents[i]["size"].AsInt());
    const std::string host = vesk.Host("\\Storage Card\\in\\" + key);
    EXPECT_EQ(Md5Hex(ReadHostFile(host)), contents[i]["md5"].AsString());
    EXPECT_EQ(j["checksum"].AsString(), contents[i]["md5"].AsString());
    EXPECT_FALSE(HostFileExists(host + ".Down"));
    EXPECT_FALSE(HostFileExists(host + ".Down.cfg"));
    EXPECT_NE(service.Admin({"list-deliveries"}).find(" " + key + " "),
              std::string::npos);
  }

  // The package is unpacked byte for byte as unzip reads it, and the
  // archive is deleted when asked.
  const Json& package = service.demo()["packages"][0];
  j = vesk.Json_({"load", "--base", service.base(), "--package",
                  package["path"].AsString(), "--target", "\\Storage Card\\p",
                  "--delete-archive"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"].AsInt(), 200);
  EXPECT_EQ(j["received"].AsInt(), j["fileSize"].AsInt());
  const std::string zip =
      service.data() + "/packages/" + package["path"].AsString();
  for (size_t i = 0; i < package["files"].size(); ++i) {
    const std::string name = package["files"][i].AsString();
    const std::string host = vesk.Host("\\Storage Card\\p\\" + name);
    bool ascii = true;
    for (const unsigned char c : name) ascii &= c < 0x80;
    if (!ascii) {
      // unzip matches names in its own idea of the archive's code page.
      EXPECT_TRUE(HostFileExists(host)) << name;
      continue;
    }
    std::string expected;
    ASSERT_EQ(RunCapture({"/usr/bin/unzip", "-p", zip, name}, &expected), 0);
    EXPECT_EQ(ReadHostFile(host), expected) << name;
  }
  EXPECT_FALSE(HostFileExists(
      vesk.Host("\\Storage Card\\" + package["path"].AsString())));

  // An entry the library cannot unpack (encrypted; no password is ever
  // given) is counted, and standard output stays one JSON document.
  const std::string plain = service.work() + "/plain.txt";
  const std::string secret = service.work() + "/secret.txt";
  const std::string locked = service.work() + "/locked.zip";
  test::WriteHostFile(plain, "plain");
  test::WriteHostFile(secret, "secret");
  std::string ignored;
  ASSERT_EQ(RunCapture({"/usr/bin/zip", "-q", "-j", "-P", "pw", locked, secret},
                       &ignored),
            0);
  ASSERT_EQ(RunCapture({"/usr/bin/zip", "-q", "-j", locked, plain}, &ignored),
            0);
  service.Admin({"add-package", "--path", "locked.zip", "--file", locked});
  j = vesk.Json_({"load", "--base", service.base(), "--package", "locked.zip",
                  "--target", "\\Storage Card\\locked"});
  EXPECT_EQ(vesk.exit, 0) << vesk.out;
  EXPECT_EQ(j["failedEntries"].AsInt(), 1) << vesk.out;
  EXPECT_EQ(ReadHostFile(vesk.Host("\\Storage Card\\locked\\plain.txt")),
            "plain");

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
  EXPECT_EQ(j["entries"][1]["path"].AsString(), "\\Storage Card\\big.bin");
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
  EXPECT_NE(j["response"].AsString().find("HTTP/1.1 200"), std::string::npos);
  uploads = service.Admin({"list-uploads"});
  EXPECT_NE(
      uploads.find("\\Storage Card\\notes.txt 11 " + Md5Hex("two, longer")),
      std::string::npos)
      << uploads;
  EXPECT_EQ(uploads.find("big.bin"), std::string::npos) << uploads;
  EXPECT_EQ(ReadHostFile(service.data() + "/uploads/" +
                         std::to_string(service.UserIdOf(uploads)) +
                         "/Storage Card/notes.txt"),
            "two, longer");
}

TEST(ToolServiceTest, RefusalsNoResponseAndUsageErrorsHaveTheirExitStatus) {
  ServiceUnderTest service;
  ASSERT_TRUE(service.Start({}));
  ToolRun vesk(service.work());

  // Refused: status and the service's code and message, exit status 1.
  Json j = vesk.Json_({"activate", "--base", service.base(), "--mode", "3",
                       "--username", "demo", "--password", "wrong"});
  EXPECT_EQ(vesk.exit, 1);
  EXPECT_EQ(j["status"].AsInt(), 403);
  EXPECT_FALSE(j["ok"].AsBool(true));
  EXPECT_NE(j["error"]["code"].AsInt(), 0);
  EXPECT_FALSE(j["error"]["message"].AsString().empty());
  vesk.Run({"account", "--base", service.base()});  // no credentials stored
  EXPECT_EQ(vesk.exit, 1);
  EXPECT_NE(vesk.err.find("account: refused, status 403, code "),
            std::string::npos)
      << vesk.err;
  j = vesk.Json_({"load", "--base", service.base(), "--package", "none.zip"});
  EXPECT_EQ(vesk.exit, 1);
  EXPECT_NE(j["status"].AsInt(), 200);

  // No response: a port where nothing listens, exit status 3.
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/x";
  for (const char* command : {"account", "beat", "save"}) {
    j = vesk.Json_({command, "--url", closed});
    EXPECT_EQ(vesk.exit, 3) << command;
    EXPECT_EQ(j["status"].AsInt(), 0) << command;
  }
  j = vesk.Json_({"download", "--url", closed, "--key", "k"});
  EXPECT_EQ(vesk.exit, 3);
  EXPECT_FALSE(j["complete"].AsBool(true));

  // Usage errors: exit status 2, a reason and a pointer to --help.
  const std::vector<std::vector<std::string>> usage = {
      {"account"},
      {"account", "--url", "https://h/x"},
      {"account", "--url", "http://h/x", "--port", "70000"},
      {"download", "--base", service.base()},
      {"load", "--base", service.base()},
      {"save",     "--base",   service.base(),
       "--update", "a",        "--update",
       "b",        "--update", "c",
       "--update", "d",        "--update",
       "e",        "--update", "f",
       "--update", "g",        "--update",
       "h",        "--update", "i",
       "--update", "j"},
      {"beat", "--bogus"},
      {"--codepage", "x", "beat", "--url", "http://h/x"},
      {},
  };
  for (const auto& args : usage) {
    vesk.Run(args);
    EXPECT_EQ(vesk.exit, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(vesk.err.find("vesk"), std::string::npos);
  }
  vesk.Run({"download", "--help"});
  EXPECT_EQ(vesk.exit, 0);
  EXPECT_NE(vesk.out.find("--resume"), std::string::npos);
}

TEST(ToolServiceTest, CutDownloadAndLoadResumeFromTheirDataFiles) {
  // Every attempt of the first download call is cut, and so is the load
  // after it: both leave their data and state files for --resume.
  ServiceUnderTest service;
  ASSERT_TRUE(service.Start({"--cut-after", "100000", "--cuts", "3"}));
  ToolRun vesk(service.work());
  ASSERT_TRUE(service.Activate(vesk));
  const Json* large = nullptr;
  const Json& contents = service.demo()["contents"];
  for (size_t i = 0; i < contents.size(); ++i) {
    if (!large || contents[i]["size"].AsInt() > (*large)["size"].AsInt()) {
      large = &contents[i];
    }
  }
  ASSERT_GT((*large)["size"].AsInt(), 300000);
  const std::string key = (*large)["key"].AsString();
  const std::string file = vesk.Host("\\Storage Card\\" + key);

  Json j = vesk.Json_({"download", "--base", service.base(), "--key", key});
  EXPECT_EQ(vesk.exit, 3) << vesk.err;
  EXPECT_FALSE(j["complete"].AsBool(true));
  EXPECT_EQ(j["offset"].AsInt(), 300000);  // three attempts, 100000 each
  EXPECT_EQ(test::ReadHostFile(file + ".Down").size(), 300000u);
  EXPECT_TRUE(HostFileExists(file + ".Down.cfg"));
  EXPECT_FALSE(HostFileExists(file));

  j = vesk.Json_(
      {"download", "--base", service.base(), "--key", key, "--resume"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"].AsInt(), 206);
  EXPECT_EQ(j["rangeStart"].AsInt(), 300000);
  EXPECT_EQ(j["partialChecksum"].AsString(),
            Md5Hex(test::ReadHostFile(file).substr(0, 300000)));
  EXPECT_EQ(Md5Hex(test::ReadHostFile(file)), (*large)["md5"].AsString());
  EXPECT_FALSE(HostFileExists(file + ".Down"));

  // The package: cut after 100000 bytes would not cut a small zip, so the
  // service is restarted with a cut inside it.
  service.Stop();
  ASSERT_TRUE(service.Start({"--cut-after", "200", "--cuts", "1"}));
  const std::string package = service.demo()["packages"][0]["path"].AsString();
  const std::string archive = vesk.Host("\\Storage Card\\" + package);
  j = vesk.Json_({"load", "--base", service.base(), "--package", package,
                  "--target", "\\Storage Card\\p"});
  EXPECT_EQ(vesk.exit, 3) << vesk.err;
  EXPECT_EQ(j["received"].AsInt(), 200);
  EXPECT_EQ(test::ReadHostFile(archive + ".Down").size(), 200u);
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\p")));

  j = vesk.Json_({"load", "--base", service.base(), "--package", package,
                  "--target", "\\Storage Card\\p", "--resume"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["status"].AsInt(), 206);
  EXPECT_EQ(j["rangeStart"].AsInt(), 200);
  EXPECT_EQ(test::ReadHostFile(archive),
            test::ReadHostFile(service.data() + "/packages/" + package));
  const Json& files = service.demo()["packages"][0]["files"];
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(
        HostFileExists(vesk.Host("\\Storage Card\\p\\" + files[i].AsString())));
  }
}

TEST(ToolServiceTest, ProgressLineOnlyOnATerminal) {
  ServiceUnderTest service;
  ASSERT_TRUE(service.Start({}));
  ToolRun vesk(service.work());
  ASSERT_TRUE(service.Activate(vesk));
  const std::string key = service.demo()["contents"][0]["key"].AsString();
  const auto command = [&](const std::string& to, const std::string& extra) {
    return "'" + std::string(VESK_TOOL) + "' --device-root '" + vesk.root() +
           "' download --base " + service.base() + " --key " + key +
           " --to '\\Storage Card\\" + to + "' " + extra;
  };

  // script(1) gives the command a terminal for its standard error.
  std::string screen;
  ASSERT_EQ(
      RunCapture({"/usr/bin/script", "-qec", command("t1", ""), "/dev/null"},
                 &screen),
      0);
  EXPECT_NE(screen.find("\rdownload  "), std::string::npos) << screen;
  EXPECT_NE(screen.find("100%"), std::string::npos) << screen;
  EXPECT_NE(screen.find("B/s"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\x1b[K"), std::string::npos);  // erased at the end
  EXPECT_NE(screen.find("downloaded (status 200)"), std::string::npos);

  ASSERT_EQ(RunCapture({"/usr/bin/script", "-qec", command("t2", "--quiet"),
                        "/dev/null"},
                       &screen),
            0);
  EXPECT_EQ(screen.find("B/s"), std::string::npos) << screen;
  EXPECT_NE(screen.find("downloaded (status 200)"), std::string::npos);

  // Standard error into a file: no progress line.
  vesk.Run({"download", "--base", service.base(), "--key", key, "--to",
            "\\Storage Card\\t3"});
  EXPECT_EQ(vesk.exit, 0);
  EXPECT_EQ(vesk.err.find("B/s"), std::string::npos) << vesk.err;
  EXPECT_EQ(vesk.err, "");
}

TEST(ToolServiceTest, DemoReportsEveryStepAndSucceeds) {
  test::DeviceRoot scratch;  // the demo makes its own; this is for the run
  std::string out;
  const int exit = RunCapture({VESK_TOOL, "demo", "--service", VESK_SERVICE},
                              &out, scratch.path() + "/demo.err");
  EXPECT_EQ(exit, 0) << out << ReadHostFile(scratch.path() + "/demo.err");
  EXPECT_NE(out.find("demo: 7 of 7 steps passed"), std::string::npos) << out;
  EXPECT_NE(out.find("resumed at byte "), std::string::npos);
  EXPECT_EQ(out.find("FAILED"), std::string::npos);
}

}  // namespace
}  // namespace vesk::tool

namespace vesk::tool {
namespace {

TEST(ToolFakePeerTest, DownloadThatFailsItsChecksumExitsWithOne) {
  // Every attempt gets a whole file whose checksum does not match.
  const std::string reply =
      test::HttpReply(200, "OK",
                      {{"Content-Length", "10"},
                       {"X-Checksum", "00000000000000000000000000000000"}},
                      "0123456789");
  test::FakeServer peer({test::Raw(reply), test::Raw(reply), test::Raw(reply)});
  test::DeviceRoot scratch;
  ToolRun vesk(scratch.path());
  const std::string url =
      "http://127.0.0.1:" + std::to_string(peer.port()) + "/download";
  Json j = vesk.Json_({"download", "--url", url, "--key", "k"});
  EXPECT_EQ(vesk.exit, 1) << vesk.err;
  EXPECT_EQ(j["status"].AsInt(), 200);
  EXPECT_EQ(j["error"]["code"].AsInt(), 916);
  EXPECT_FALSE(j["complete"].AsBool(true));
  EXPECT_EQ(peer.Requests(3).size(), 3u);  // no confirmation was sent
  EXPECT_FALSE(HostFileExists(vesk.Host("\\Storage Card\\k")));

  test::FakeServer again(
      {test::Raw(reply), test::Raw(reply), test::Raw(reply)});
  vesk.Run({"download", "--url",
            "http://127.0.0.1:" + std::to_string(again.port()) + "/download",
            "--key", "k"});
  EXPECT_EQ(vesk.exit, 1);
  EXPECT_NE(vesk.err.find("failed its checksum (code 916)"), std::string::npos)
      << vesk.err;
}

}  // namespace
}  // namespace vesk::tool
