// vesk-service's command line: what it refuses (exit status 2, a message
// naming the culprit, nothing touched), --version and --help, and options
// that mean the same wherever they stand.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/service_process.h"
#include "tests/support/device_root.h"

namespace vesk::test {
namespace {

const std::regex kSeeded(
    "seeded .+: account demo, password demo1234, validation code \\d{6}\n");

// The words of a line; DATA at the start of a word stands for the path.
std::vector<std::string> Words(const std::string& line,
                               const std::string& data) {
  std::vector<std::string> argv;
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    argv.push_back(word.rfind("DATA", 0) == 0 ? data + word.substr(4) : word);
  }
  return argv;
}

TEST(ServiceCommandLine, RefusesMistypedLines) {
  const DeviceRoot scratch;
  const std::string data = scratch.path() + "/data";
  const std::pair<std::string, std::string> cases[] = {
      {"serve --data DATA --prot 0", "--prot"},
      {"--data DATA serve --port 70000", "--port"},
      {"--data DATA serve --encoding latin1", "--encoding"},
      {"--data DATA add-account --name ann", "--password"},
      {"--data DATA add-content --key k --file /nonexistent.bin", "--file"},
      {"--data DATA frobnicate", "frobnicate"},
      {"--data DATA list-uploads list-deliveries", "list-deliveries"},
      {"list-uploads", "--data"},
      {"--data DATA", "command"},
  };
  for (const auto& [line, named] : cases) {
    SCOPED_TRACE(line);
    const CommandResult run = RunService(Words(line, data));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("vesk-service: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(data));
  }
}

TEST(ServiceCommandLine, VersionAndHelp) {
  const CommandResult version = RunService({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vesk-service " VESK_VERSION "\n");
  const CommandResult help = RunService({"serve", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: vesk-service serve"), std::string::npos);
}

TEST(ServiceCommandLine, OptionsHoldAnywhereOnTheLine) {
  const DeviceRoot scratch;
  // --seed-demo after --data, a command before both: seeds, then runs it;
  // a command's options in any order with --data after the command.
  CommandResult run = RunService(
      Words("list-uploads --data DATA/a --seed-demo", scratch.path()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, kSeeded)) << run.out;
  run = RunService(Words("add-account --password pw --name ann --data DATA/a",
                         scratch.path()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, std::regex("2 \\d{6}\n"))) << run.out;
}

}  // namespace
}  // namespace vesk::test
