// The host tool's own parts: the command line and its help, URLs, text
// widths and record fields, free names, and the progress line's sources and
// text.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/device_root.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/ops.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"

namespace vesk::tool {
namespace {

using Kind = Parsed::Kind;

TEST(ToolCommandLineTest, OptionsStandAnywhereAndSaveEntriesKeepTheirOrder) {
  // A value that looks like a command is still the option's value.
  const Parsed p = ParseCommandLine(
      {"--json", "--env", "beat", "--update", "\\a", "save", "--url",
       "http://h/save", "--delete=/b", "-q", "--update-empty", "d"});
  ASSERT_EQ(p.kind, Kind::kRun) << p.text;
  EXPECT_EQ(p.cl.command, "save");
  EXPECT_TRUE(p.cl.global.json);
  EXPECT_TRUE(p.cl.global.quiet);
  EXPECT_EQ(p.cl.global.environmentPath, "beat");
  EXPECT_EQ(p.cl.endpoint.url, "http://h/save");
  EXPECT_TRUE(p.cl.Has("url"));
  EXPECT_FALSE(p.cl.Has("base"));
  using K = SaveEntryOption::Kind;
  std::vector<std::pair<K, std::string>> entries;
  for (const SaveEntryOption& e : p.cl.save) {
    entries.emplace_back(e.kind, e.path);
  }
  EXPECT_EQ(
      entries,
      (std::vector<std::pair<K, std::string>>{
          {K::kUpdate, "\\a"}, {K::kDelete, "/b"}, {K::kUpdateEmpty, "d"}}));
}

TEST(ToolCommandLineTest, UsageErrorsHelpAndVersion) {
  const std::string version = std::string("vesk ") + VESK_TOOL_VERSION + "\n";
  // The kind, and the start of the usage error or of what is printed.
  const struct {
    std::vector<std::string> args;
    Kind kind;
    std::string says;
  } cases[] = {
      {{"fly"}, Kind::kUsageError, "unknown command \"fly\""},
      {{"--prot", "0", "account"}, Kind::kUsageError, "unknown option --prot"},
      {{"beat", "--key", "k"},
       Kind::kUsageError,
       "\"beat\" has no option --key"},
      {{"--key", "k"}, Kind::kUsageError, "option --key needs a command"},
      {{"download", "--url", "http://h/x"},
       Kind::kUsageError,
       "--key is required"},
      {{"download", "--key", "k", "--restart", "--offset", "3"},
       Kind::kUsageError,
       "--offset excludes --restart"},
      {{"account", "--port", "70000"},
       Kind::kUsageError,
       "--port: Value 70000 not in range 1 to 65535"},
      {{}, Kind::kUsageError, "a command is needed"},
      {{"beat", "--version"}, Kind::kPrint, version},
      {{"--help", "load"}, Kind::kPrint, HelpText("load")},
      {{"-h"}, Kind::kPrint, HelpText("")},
  };
  for (const auto& c : cases) {
    const Parsed p = ParseCommandLine(c.args);
    const std::string name = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(p.kind, c.kind) << name << ": " << p.text;
    EXPECT_EQ(p.text.substr(0, c.says.size()), c.says) << name;
  }
  EXPECT_NE(HelpText("load").find("Usage: vesk load"), std::string::npos);
}

// Every option a command's help names is in the manual page, every help
// line fits 79 columns, and the program's help gives the exit statuses and
// the environment.
TEST(ToolCommandLineTest, HelpFitsAndTheManualPageNamesEveryOption) {
  std::ifstream in(VESK_MAN_PAGE);
  const std::string manual((std::istreambuf_iterator<char>(in)),
                           std::istreambuf_iterator<char>());
  ASSERT_FALSE(manual.empty());
  const std::regex option("--[a-z][a-z-]*");
  std::vector<std::string> topics = CommandNames();
  topics.push_back("");
  for (const std::string& topic : topics) {
    const std::string help = HelpText(topic);
    std::set<std::string> named;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end;
         it != end; ++it) {
      named.insert(std::regex_replace(it->str(), std::regex("-"), "\\-"));
    }
    for (const std::string& o : named) {
      EXPECT_NE(manual.find(o), std::string::npos) << topic << " " << o;
    }
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(DisplayWidth(line), 79u) << line;
    }
    if (!topic.empty() && topic != "help") {
      EXPECT_NE(manual.find(".SS \"vesk " + topic), std::string::npos) << topic;
    }
  }
  for (const char* must :
       {"Exit status:", "  3  no response (cannot resolve host",
        "VESK_DEVICE_ROOT", "VESK_TIMEOUT_SECONDS", "VESK_ANSI_CODEPAGE"}) {
    EXPECT_NE(HelpText("").find(must), std::string::npos) << must;
  }
}

TEST(ToolUrlTest, PortAndHostComeFromTheUrl) {
  EXPECT_EQ(UrlPort("http://127.0.0.1:8080/account"), 8080);
  EXPECT_EQ(UrlPort("http://service.example/account"), 80);
  EXPECT_EQ(UrlHost("http://127.0.0.1:8080/account"), "127.0.0.1");
  EXPECT_EQ(UrlHost("http://service.example/a:b"), "service.example");
  for (const char* bad :
       {"https://h/x", "http://h", "http://h:/x", "http://h:65536/x"}) {
    EXPECT_EQ(UrlPort(bad), -1) << bad;
    EXPECT_EQ(UrlHost(bad), "") << bad;
  }
}

TEST(ToolTextTest, FieldsWidthsAndPaths) {
  // A field of 5 units holds 4 and the terminator; the pair is not split.
  vesk_char16 field[5];
  EXPECT_FALSE(SetField(field, "abc\xF0\x9F\x98\x80"));
  EXPECT_EQ(FieldText(field), "abc");
  EXPECT_TRUE(SetField(field, "a\xE4\xB8\xAD"));
  EXPECT_EQ(FieldText(field), "a\xE4\xB8\xAD");

  const std::pair<const char*, size_t> widths[] = {
      {"ab\xE4\xB8\xAD", 4},     // ab中
      {"\xF0\x9F\x98\x80!", 3},  // 😀!
      {"e\xCC\x81", 1},          // e and a combining acute
      {"\xFF", 1},               // a stray byte
  };
  for (const auto& [text, columns] : widths) {
    EXPECT_EQ(DisplayWidth(text), columns) << text;
  }
  EXPECT_EQ(FitColumns("\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87", 5),
            "\xE4\xB8\xAD\xE6\x96\x87\xE2\x80\xA6");
  EXPECT_EQ(FitColumns("short", 5), "short");
  EXPECT_EQ(HandsetPath("/Storage Card/a.bin"), "\\Storage Card\\a.bin");
  EXPECT_EQ(HostPath("/r", "\\Storage Card\\a.bin"), "/r/Storage Card/a.bin");
}

// The name the library moves a new archive to when its path is taken.
TEST(ToolTextTest, FreeNameCountsBeforeTheLastDotOfThePath) {
  test::DeviceRoot root;  // VESK_DEVICE_ROOT for the library's paths
  test::WriteHostFile(root.Host("\\Storage Card\\a.zip"), "1");
  test::WriteHostFile(root.Host("\\Storage Card\\a(1).zip"), "2");
  EXPECT_EQ(FreeName("/Storage Card/a.zip"), "\\Storage Card\\a(2).zip");
  EXPECT_EQ(FreeName("\\dir.d\\plain"), "\\dir(1).d\\plain");
  EXPECT_EQ(LibraryHostPath("\\Storage Card\\a.zip"),
            root.path() + "/Storage Card/a.zip");
}

TEST(ToolProgressTest, TransferSizesComeFromTheDataStateAndFinishedFiles) {
  test::DeviceRoot root;
  const std::string p = root.Host("\\Storage Card\\a.bin");
  using P = std::pair<int64_t, int64_t>;
  auto sample = [&] {
    const ProgressSample s = SampleTransfer(p);
    return P{s.done, s.total};
  };
  EXPECT_EQ(sample(), (P{0, -1}));
  test::WriteHostFile(p + ".Down", std::string(1500, 'x'));
  EXPECT_EQ(sample(), (P{1500, -1}));
  // A state file as the library writes it: UTF-16LE lines.
  test::WriteHostFile(
      p + ".Down.cfg",
      test::Utf16Bytes(u"URL: http://h/x\nKey: File-Size: 9\n"
                       u"File-Size: 4000\nCurrent-Position: 1500\n"));
  EXPECT_EQ(StateFileSize(p + ".Down.cfg"), 4000);
  EXPECT_EQ(sample(), (P{1500, 4000}));
  std::remove((p + ".Down").c_str());
  std::remove((p + ".Down.cfg").c_str());
  test::WriteHostFile(p, std::string(4000, 'y'));
  EXPECT_EQ(sample(), (P{4000, 4000}));
}

TEST(ToolProgressTest, UploadFollowsTheReadPositionOfTheFileBeingSent) {
  test::DeviceRoot root;
  const std::string a = root.Host("\\a"), b = root.Host("\\b");
  test::WriteHostFile(a, std::string(100, 'a'));
  test::WriteHostFile(b, std::string(300, 'b'));
  UploadWatch watch;
  EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).total, 400);
  EXPECT_EQ(watch.lastDone, 0);
  std::FILE* f = std::fopen(b.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 120, SEEK_SET);
  EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).done, 220);
  std::fclose(f);
  // The last file was open and is closed: everything up to it was read.
  EXPECT_EQ(SampleUpload({a, b}, {100, 300}, &watch).done, 400);
}

TEST(ToolProgressTest, LineShowsBytesPercentRateAndTimeLeft) {
  EXPECT_EQ(FormatProgress("download", {1048576, 4194304}, 1048576),
            "download  1.0 MiB / 4.0 MiB   25%  1.0 MiB/s  0:03 left");
  EXPECT_EQ(FormatProgress("load", {512, -1}, 0), "load  512 B  0 B/s");
  EXPECT_EQ(FormatProgress("save", {0, 0}, 0), "save  0 B / 0 B  100%  0 B/s");
  EXPECT_TRUE(TerminalErases("xterm-256color"));
  EXPECT_FALSE(TerminalErases("dumb"));
  EXPECT_FALSE(TerminalErases(nullptr));
}

}  // namespace
}  // namespace vesk::tool
