// The host tool's own parts: the command line and its help, URLs, text
// widths and record fields, free names, and the progress line's sources and
// text.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
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
  Parsed p =
      ParseCommandLine({"--json", "--device-root", "/tmp/d", "--update", "\\a",
                        "save", "--url", "http://h/save", "--delete=/b",
                        "--update", "c", "-q", "--update-empty", "d"});
  ASSERT_EQ(p.kind, Kind::kRun) << p.text;
  EXPECT_EQ(p.cl.command, "save");
  EXPECT_TRUE(p.cl.global.json);
  EXPECT_TRUE(p.cl.global.quiet);
  EXPECT_EQ(p.cl.global.deviceRoot, "/tmp/d");
  EXPECT_EQ(p.cl.endpoint.url, "http://h/save");
  EXPECT_TRUE(p.cl.Has("url"));
  EXPECT_FALSE(p.cl.Has("base"));
  using K = SaveEntryOption::Kind;
  std::vector<std::pair<K, std::string>> entries;
  for (const SaveEntryOption& e : p.cl.save)
    entries.emplace_back(e.kind, e.path);
  const std::vector<std::pair<K, std::string>> expected = {
      {K::kUpdate, "\\a"},
      {K::kDelete, "/b"},
      {K::kUpdate, "c"},
      {K::kUpdateEmpty, "d"}};
  EXPECT_EQ(entries, expected);

  // A value that looks like a command is still the option's value, and a
  // command's own option may stand before it.
  p = ParseCommandLine({"--env", "beat", "--key", "k", "download", "--url",
                        "http://h/x", "--to", "-"});
  ASSERT_EQ(p.kind, Kind::kRun) << p.text;
  EXPECT_EQ(p.cl.command, "download");
  EXPECT_EQ(p.cl.global.environmentPath, "beat");
  EXPECT_EQ(p.cl.download.key, "k");
  EXPECT_EQ(p.cl.download.to, "-");
  EXPECT_FALSE(p.cl.Has("offset"));
}

TEST(ToolCommandLineTest, UsageErrorsHelpAndVersion) {
  const std::string version = std::string("vesk ") + VESK_TOOL_VERSION + "\n";
  using Rows = std::vector<std::pair<std::vector<std::string>, std::string>>;
  // The usage error, or the start of what is printed.
  const Rows errors = {
      {{"fly"}, "unknown command \"fly\""},
      {{"beat", "--colour"}, "unknown option --colour"},
      {{"--prot", "0", "account"}, "unknown option --prot"},
      {{"beat", "--key", "k"}, "\"beat\" has no option --key"},
      {{"--key", "k"}, "option --key needs a command"},
      {{"beat", "extra"}, "The following argument was not expected: extra"},
      {{"download", "--url", "http://h/x"}, "--key is required"},
      {{"download", "--key", "a", "--key", "b"}, "--key: "},
      {{"download", "--key", "k", "--restart", "--offset", "3"},
       "--offset excludes --restart"},
      {{"beat", "--url", "http://h/x", "--base", "http://h"},
       "--url excludes --base"},
      {{"account", "--port", "70000"},
       "--port: Value 70000 not in range 1 to 65535"},
      {{"activate", "--mode", "6", "--username", "u", "--password", "p"},
       "--mode: Value 6 not in range 1 to 5"},
      {{"--codepage", "x", "beat"}, "--codepage: "},
      {{}, "a command is needed"},
      {{"help", "fly"}, "there is no command \"fly\""},
  };
  const Rows prints = {
      {{"--version"}, version},
      {{"beat", "--version"}, version},
      {{"help", "load"}, HelpText("load")},
      {{"load", "--help"}, HelpText("load")},
      {{"--help", "load"}, HelpText("load")},
      {{"help"}, HelpText("")},
      {{"-h"}, HelpText("")},
  };
  for (const auto& [cases, kind] : {std::pair{&errors, Kind::kUsageError},
                                    std::pair{&prints, Kind::kPrint}}) {
    for (const auto& [args, says] : *cases) {
      const Parsed p = ParseCommandLine(args);
      const std::string name = args.empty() ? "(none)" : args[0];
      EXPECT_EQ(p.kind, kind) << name << ": " << p.text;
      EXPECT_EQ(p.text.substr(0, says.size()), says) << name;
    }
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
    ASSERT_FALSE(help.empty()) << topic;
    std::set<std::string> named;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end;
         it != end; ++it) {
      named.insert(it->str());
    }
    for (const std::string& o : named) {
      std::string roff;
      for (const char c : o)
        roff += c == '-' ? std::string("\\-") : std::string(1, c);
      EXPECT_NE(manual.find(roff), std::string::npos) << topic << " " << o;
    }
    size_t start = 0;
    while (start < help.size()) {
      size_t end = help.find('\n', start);
      if (end == std::string::npos) end = help.size();
      EXPECT_LE(DisplayWidth(help.substr(start, end - start)), 79u)
          << help.substr(start, end - start);
      start = end + 1;
    }
    if (!topic.empty() && topic != "help") {
      EXPECT_NE(manual.find(".SS \"vesk " + topic), std::string::npos) << topic;
    }
  }
  const std::string general = HelpText("");
  for (const char* must :
       {"Exit status:", "  3  no response (cannot resolve host",
        "VESK_DEVICE_ROOT", "VESK_TIMEOUT_SECONDS", "VESK_ANSI_CODEPAGE",
        "\"/\" works"}) {
    EXPECT_NE(general.find(must), std::string::npos) << must;
  }
}

TEST(ToolUrlTest, PortAndHostComeFromTheUrl) {
  EXPECT_EQ(UrlPort("http://127.0.0.1:8080/account"), 8080);
  EXPECT_EQ(UrlPort("http://service.example/account"), 80);
  EXPECT_EQ(UrlPort("http://h:1/"), 1);
  EXPECT_EQ(UrlHost("http://127.0.0.1:8080/account"), "127.0.0.1");
  EXPECT_EQ(UrlHost("http://service.example/a:b"), "service.example");
  for (const char* bad :
       {"https://h/x", "http://h", "http:///x", "http://h:/x", "http://h:0/x",
        "http://h:65536/x", "http://h:8o/x", "ftp://h/x"}) {
    EXPECT_EQ(UrlPort(bad), -1) << bad;
    EXPECT_EQ(UrlHost(bad), "") << bad;
  }
}

TEST(ToolTextTest, FieldsWidthsAndPaths) {
  // A field of 5 units holds 4 and the terminator; the pair is not split.
  vesk_char16 field[5];
  EXPECT_FALSE(SetField(field, "abc\xF0\x9F\x98\x80"));
  EXPECT_EQ(FieldText(field), "abc");
  EXPECT_EQ(field[3], 0);
  EXPECT_TRUE(SetField(field, "a\xE4\xB8\xAD"));
  EXPECT_EQ(FieldText(field), "a\xE4\xB8\xAD");
  EXPECT_EQ(field[2], 0);

  struct Width {
    const char* text;
    size_t columns;
  } widths[] = {
      {"ab", 2},
      {"ab\xE4\xB8\xAD", 4},     // ab中
      {"\xF0\x9F\x98\x80!", 3},  // 😀!
      {"e\xCC\x81", 1},          // e and a combining acute
      {"\xEF\xBC\xA1", 2},       // fullwidth A
      {"\xFF", 1},               // a stray byte
  };
  for (const Width& w : widths) {
    EXPECT_EQ(DisplayWidth(w.text), w.columns) << w.text;
  }
  EXPECT_EQ(FitColumns("\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87", 5),
            "\xE4\xB8\xAD\xE6\x96\x87\xE2\x80\xA6");
  EXPECT_EQ(FitColumns("\xF0\x9F\x98\x80\xF0\x9F\x98\x80x", 4),
            "\xF0\x9F\x98\x80\xE2\x80\xA6");
  EXPECT_EQ(FitColumns("short", 5), "short");

  EXPECT_EQ(HandsetPath("/Storage Card/a.bin"), "\\Storage Card\\a.bin");
  EXPECT_EQ(HostPath("/r", "\\Storage Card\\a.bin"), "/r/Storage Card/a.bin");
  EXPECT_EQ(HostPath("/r", "rel\\a"), "rel/a");
}

// The name the library moves a new archive to when its path is taken.
TEST(ToolTextTest, FreeNameCountsBeforeTheLastDotOfThePath) {
  test::DeviceRoot root;  // VESK_DEVICE_ROOT for the library's paths
  test::WriteHostFile(root.Host("\\Storage Card\\a.zip"), "1");
  EXPECT_EQ(FreeName("\\Storage Card\\a.zip"), "\\Storage Card\\a(1).zip");
  test::WriteHostFile(root.Host("\\Storage Card\\a(1).zip"), "2");
  EXPECT_EQ(FreeName("/Storage Card/a.zip"), "\\Storage Card\\a(2).zip");
  EXPECT_EQ(FreeName("\\dir.d\\plain"), "\\dir(1).d\\plain");
  EXPECT_EQ(FreeName("\\plain"), "\\plain(1)");
  EXPECT_EQ(LibraryHostPath("\\Storage Card\\a.zip"),
            root.path() + "/Storage Card/a.zip");
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
  for (const auto& [term, erases] :
       std::vector<std::pair<const char*, bool>>{{"xterm-256color", true},
                                                 {"dumb", false},
                                                 {"", false},
                                                 {nullptr, false}}) {
    EXPECT_EQ(TerminalErases(term), erases) << (term ? term : "(unset)");
  }
}

}  // namespace
}  // namespace vesk::tool
