// The host tool's own parts: the command line and its help, and the
// progress line's text.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vesk/cli.h"
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
      {{"download", "--url", "http://h/x"},
       Kind::kUsageError,
       "--key is required"},
      {{"download", "--key", "k", "--restart", "--offset", "3"},
       Kind::kUsageError,
       "--offset excludes --restart"},
      {{"account", "--port", "70000"},
       Kind::kUsageError,
       "--port: Value 70000 not in range 1 to 65535"},
      {{"beat", "--version"}, Kind::kPrint, version},
      {{"--help", "load"}, Kind::kPrint, HelpText("load")},
  };
  for (const auto& c : cases) {
    const Parsed p = ParseCommandLine(c.args);
    EXPECT_EQ(p.kind, c.kind) << c.args[0] << ": " << p.text;
    EXPECT_EQ(p.text.substr(0, c.says.size()), c.says) << c.args[0];
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

TEST(ToolProgressTest, LineShowsBytesPercentRateAndTimeLeft) {
  EXPECT_EQ(FormatProgress("download", {1048576, 4194304}, 1048576),
            "download  1.0 MiB / 4.0 MiB   25%  1.0 MiB/s  0:03 left");
  EXPECT_EQ(FormatProgress("load", {512, -1}, 0), "load  512 B  0 B/s");
}

}  // namespace
}  // namespace vesk::tool
