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
#include "tools/common/process.h"

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

// The version, and in every command's help every option that takes a value
// is REQUIRED or says its default.
TEST(ServiceCommandLine, VersionAndHelpExplainEveryOption) {
  const CommandResult version = RunService({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vesk-service " VESK_VERSION "\n");
  const std::regex valued("\n  (--[a-z-]+) [A-Z]");
  for (const std::string command : {"", "serve", "add-account", "add-content",
                                    "add-package", "queue-notification"}) {
    const CommandResult help = RunService(Words(command + " --help", ""));
    EXPECT_EQ(help.status, 0);
    const std::string& out = help.out;
    int options = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), valued), end;
         it != end; ++it, ++options) {
      const size_t at = static_cast<size_t>(it->position()) + 1;
      const std::string entry = out.substr(
          at, std::min(out.find("\n  -", at), out.find("\n\n", at)) - at);
      EXPECT_TRUE(entry.find("REQUIRED") != std::string::npos ||
                  entry.find("[default: ") != std::string::npos)
          << command << ": " << entry;
    }
    EXPECT_GE(options, 1) << command << "\n" << out;
  }
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

  // serve with --data last and --seed-demo first: seeds, then listens.
  tools::Child service;
  std::string error, line;
  ASSERT_TRUE(service.Start({VESK_SERVICE_BINARY, "--seed-demo", "serve",
                             "--port", "0", "--data", scratch.path() + "/d"},
                            {}, &error))
      << error;
  ASSERT_TRUE(service.ReadLine(&line, 20000));
  EXPECT_TRUE(std::regex_match(line + "\n", kSeeded)) << line;
  ASSERT_TRUE(service.ReadLine(&line, 20000));
  EXPECT_TRUE(
      std::regex_match(line, std::regex(R"(listening on 127\.0\.0\.1:\d+)")))
      << line;
  EXPECT_EQ(service.Stop(10000), 0);
}

}  // namespace
}  // namespace vesk::test
