// The host tool's own parts: the command line and the progress line's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/vesk/cli.h"
#include "tools/vesk/progress.h"

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

TEST(ToolProgressTest, LineShowsBytesPercentRateAndTimeLeft) {
  EXPECT_EQ(FormatProgress("download", {1048576, 4194304}, 1048576),
            "download  1.0 MiB / 4.0 MiB   25%  1.0 MiB/s  0:03 left");
  EXPECT_EQ(FormatProgress("load", {512, -1}, 0), "load  512 B  0 B/s");
}

}  // namespace
}  // namespace vesk::tool
