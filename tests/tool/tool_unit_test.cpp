// The host tool's own parts: the command line, URLs, text, JSON, the
// progress line's sources and its text, and the exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/device_root.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/json.h"
#include "tools/vesk/ops.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"

namespace vesk::tool {
namespace {

std::optional<CommandLine> Parse(std::vector<std::string> args,
                                 std::string* error = nullptr) {
  std::string ignored;
  return ParseCommandLine(args, error ? error : &ignored);
}

TEST(ToolCommandLineTest, OptionsStandBeforeOrAfterTheCommand) {
  const auto cl = Parse({"--json", "--device-root", "/tmp/d", "save", "--url",
                         "http://h/save", "--update", "\\a", "--delete=/b",
                         "--update", "c", "-q"});
  ASSERT_TRUE(cl);
  EXPECT_EQ(cl->command, "save");
  EXPECT_TRUE(cl->Has("json"));
  EXPECT_TRUE(cl->Has("quiet"));
  EXPECT_EQ(cl->Get("device-root"), "/tmp/d");
  EXPECT_EQ(cl->Get("url"), "http://h/save");
  // Save entries keep their command-line order across the two options.
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& g : cl->given) {
    if (g.first == "update" || g.first == "delete") entries.push_back(g);
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"update", "\\a"}, {"delete", "/b"}, {"update", "c"}};
  EXPECT_EQ(entries, expected);
  // A value that looks like a command is still the option's value.
  const auto valueNamedLikeCommand = Parse({"--env", "beat", "account"});
  ASSERT_TRUE(valueNamedLikeCommand);
  EXPECT_EQ(valueNamedLikeCommand->command, "account");
  EXPECT_EQ(valueNamedLikeCommand->Get("env"), "beat");
}

TEST(ToolCommandLineTest, UsageErrorsSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"fly"}, "unknown command \"fly\""},
      {{"beat", "--colour"}, "unknown option --colour"},
      {{"beat", "--key", "k"}, "\"beat\" has no option --key"},
      {{"download", "--key"}, "option --key needs a value (KEY)"},
      {{"beat", "--json=yes"}, "option --json takes no value"},
      {{"beat", "extra"}, "unexpected argument \"extra\""},
      {{"--key", "k"}, "option --key needs a command"},
      {{"download", "--key", "a", "--key", "b"}, "option --key given twice"},
      {{"beat", "-x"}, "unknown option -x"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Parse(c.args, &error)) << c.says;
    EXPECT_EQ(error, c.says);
  }
}

TEST(ToolCommandLineTest, EveryCommandHasHelpNamingItsOptions) {
  for (const CommandInfo& c : Commands()) {
    const std::string help = CommandHelp(c);
    EXPECT_NE(help.find(std::string("Usage: vesk ") + c.name),
              std::string::npos);
    for (const OptionInfo& o : c.options) {
      EXPECT_NE(help.find(std::string("--") + o.name), std::string::npos)
          << c.name << " --" << o.name;
    }
    size_t start = 0;
    while (start < help.size()) {
      size_t end = help.find('\n', start);
      if (end == std::string::npos) end = help.size();
      EXPECT_LE(DisplayWidth(help.substr(start, end - start)), 79u)
          << help.substr(start, end - start);
      start = end + 1;
    }
  }
  EXPECT_NE(GeneralHelp().find("\"/\" works as the separator"),
            std::string::npos);
}

TEST(ToolUrlTest, PortComesFromTheUrlOr80) {
  EXPECT_EQ(UrlPort("http://127.0.0.1:8080/account"), 8080);
  EXPECT_EQ(UrlPort("http://service.example/account"), 80);
  EXPECT_EQ(UrlPort("http://h:1/"), 1);
  for (const char* bad :
       {"https://h/x", "http://h", "http:///x", "http://h:/x", "http://h:0/x",
        "http://h:65536/x", "http://h:8o/x", "ftp://h/x"}) {
    EXPECT_EQ(UrlPort(bad), -1) << bad;
  }
  EXPECT_EQ(ParseInteger("65535", 1, 65535), 65535);
  EXPECT_FALSE(ParseInteger("65536", 1, 65535));
  EXPECT_FALSE(ParseInteger("12x", 0, 100));
  EXPECT_FALSE(ParseInteger("", 0, 100));
  EXPECT_EQ(ParseInteger("-3", -5, 5), -3);
}

TEST(ToolTextTest, Utf8AndUtf16RoundTripAndCut) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // aé中😀
  const std::u16string wide = ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00}));
  EXPECT_EQ(ToUtf8(wide), text);
  EXPECT_EQ(ToUtf16("\xFF"
                    "a\xE4\xB8"),
            (std::u16string{0xFFFD, u'a', 0xFFFD, 0xFFFD}));
  EXPECT_EQ(ToUtf8(std::u16string{0xD800, u'x'}),
            "\xEF\xBF\xBD"
            "x");

  // A field of 5 units holds 4 and the terminator; the pair is not split.
  vesk_char16 field[5];
  EXPECT_FALSE(SetField(field, "abc\xF0\x9F\x98\x80"));
  EXPECT_EQ(FieldText(field), "abc");
  EXPECT_EQ(field[3], 0);
  EXPECT_TRUE(SetField(field, "ab"));
  EXPECT_EQ(FieldText(field), "ab");
  EXPECT_EQ(field[4], 0);

  EXPECT_EQ(DisplayWidth("ab\xE4\xB8\xAD"), 4u);
  EXPECT_EQ(FitColumns("\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87", 5),
            "\xE4\xB8\xAD\xE6\x96\x87\xE2\x80\xA6");
  EXPECT_EQ(FitColumns("short", 5), "short");

  EXPECT_EQ(HandsetPath("/Storage Card/a.bin"), "\\Storage Card\\a.bin");
  EXPECT_EQ(HostPath("/r", "\\Storage Card\\a.bin"), "/r/Storage Card/a.bin");
  EXPECT_EQ(HostPath("/r", "rel\\a"), "rel/a");
}

TEST(ToolJsonTest, ReadsWhatTheServiceWritesAndWritesWhatItReads) {
  const std::string text =
      "{\"account\": {\"name\": \"demo\", \"password\": \"p\\\"w\"},\n"
      " \"contents\": [{\"key\": \"k1\", \"size\": 3145728, \"md5\": \"ab\"},"
      " {\"key\": \"\\u4e2d\\ud83d\\ude00\", \"size\": 0}],"
      " \"ok\": true, \"none\": null, \"neg\": -1.5e1}";
  std::string error;
  const auto j = Json::Parse(text, &error);
  ASSERT_TRUE(j) << error;
  EXPECT_EQ((*j)["account"]["password"].AsString(), "p\"w");
  EXPECT_EQ((*j)["contents"].size(), 2u);
  EXPECT_EQ((*j)["contents"][0]["size"].AsInt(), 3145728);
  EXPECT_EQ((*j)["contents"][1]["key"].AsString(),
            "\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_TRUE((*j)["ok"].AsBool());
  EXPECT_TRUE((*j)["none"].IsNull());
  EXPECT_EQ((*j)["neg"].AsNumber(), -15);
  EXPECT_TRUE((*j)["missing"]["deeper"][3].IsNull());
  // Written compact and indented, both read back to the same text.
  for (int indent : {0, 2}) {
    const auto again = Json::Parse(j->Write(indent));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Write(), j->Write());
  }
  EXPECT_EQ(Json(std::string("a\nb\x01")).Write(), "\"a\\nb\\u0001\"");

  for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "{\"a\" 1}", "tru",
                          "\"\\x\"", "[1] 2", "\"a\nb\""}) {
    EXPECT_FALSE(Json::Parse(bad)) << bad;
  }
  std::string deep(100, '[');
  EXPECT_FALSE(Json::Parse(deep + std::string(100, ']')));
}

// A state file as the library writes it: UTF-16LE lines ending in U+000A.
std::string StateFile(const std::string& text) {
  std::string bytes;
  for (const char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

TEST(ToolProgressTest, TransferSizesComeFromTheDataStateAndFinishedFiles) {
  test::DeviceRoot root;
  const std::string p = root.Host("\\Storage Card\\a.bin");
  EXPECT_EQ(SampleTransfer(p).done, 0);
  EXPECT_EQ(SampleTransfer(p).total, -1);

  test::WriteHostFile(p + ".Down", std::string(1500, 'x'));
  EXPECT_EQ(SampleTransfer(p).done, 1500);
  EXPECT_EQ(SampleTransfer(p).total, -1);

  test::WriteHostFile(p + ".Down.cfg",
                      StateFile("Start-Time: 2026-1-1 0:0:0.000\nURL: "
                                "http://h/x\nPort: 80\nKey: File-Size: 9\n"
                                "Save-File: \\Storage Card\\a.bin.Down\n"
                                "File-Size: 4000\nCurrent-Position: 1500\n"));
  EXPECT_EQ(StateFileSize(p + ".Down.cfg"), 4000);
  EXPECT_EQ(SampleTransfer(p).total, 4000);

  std::remove((p + ".Down").c_str());
  std::remove((p + ".Down.cfg").c_str());
  test::WriteHostFile(p, std::string(4000, 'y'));
  EXPECT_EQ(SampleTransfer(p).done, 4000);
  EXPECT_EQ(SampleTransfer(p).total, 4000);
  EXPECT_EQ(StateFileSize(p + ".Down.cfg"), -1);
}

TEST(ToolProgressTest, UploadFollowsTheReadPositionOfTheFileBeingSent) {
  test::DeviceRoot root;
  const std::string a = root.Host("\\a"), b = root.Host("\\b");
  test::WriteHostFile(a, std::string(100, 'a'));
  test::WriteHostFile(b, std::string(300, 'b'));
  UploadWatch watch;
  EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).total, 400);
  EXPECT_EQ(watch.lastDone, 0);
  {
    std::FILE* f = std::fopen(b.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 120, SEEK_SET);
    EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).done, 220);
    std::fclose(f);
  }
  // The last file was open and is closed: everything up to it was read.
  EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).done, 400);
}

TEST(ToolProgressTest, LineShowsBytesPercentRateAndTimeLeft) {
  EXPECT_EQ(FormatProgress("download", {1048576, 4194304}, 1048576),
            "download  1.0 MiB / 4.0 MiB   25%  1.0 MiB/s  0:03 left");
  EXPECT_EQ(FormatProgress("load", {512, -1}, 0), "load  512 B  0 B/s");
  EXPECT_EQ(FormatProgress("save", {0, 0}, 0), "save  0 B / 0 B  100%  0 B/s");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
}

TEST(ToolExitStatusTest, FollowsStatusCodeAndCompleteness) {
  EXPECT_EQ(ExitFor(200), kExitOk);
  EXPECT_EQ(ExitFor(0), kExitNoResponse);
  EXPECT_EQ(ExitFor(403), kExitRefused);
  DownloadOutcome d;
  d.status = 206;
  d.complete = true;
  EXPECT_EQ(ExitFor(d), kExitOk);
  d.error.code = 916;
  EXPECT_EQ(ExitFor(d), kExitRefused);  // failed its checksum three times
  d.error.code = 0;
  d.complete = false;
  EXPECT_EQ(ExitFor(d), kExitNoResponse);  // cut in every attempt
  d.status = 500;
  d.error.code = 916;
  EXPECT_EQ(ExitFor(d), kExitRefused);
  LoadOutcome l;
  l.status = 200;
  l.fileSize = 10;
  l.received = 4;
  EXPECT_EQ(ExitFor(l), kExitNoResponse);
  l.received = 10;
  l.complete = true;
  EXPECT_EQ(ExitFor(l), kExitOk);
}

}  // namespace
}  // namespace vesk::tool
