// vesk-service's command line: what it refuses (exit status 2, a message
// naming the culprit, nothing touched), --version and --help, and options
// that mean the same wherever they stand.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/service_process.h"
#include "tools/common/process.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

const std::regex kSeeded(
    "seeded .+: account demo, password demo1234, validation code \\d{6}\n");

TEST(ServiceCommandLine, RefusesMistypedLines) {
  const TempDir scratch;
  const std::string data = scratch.path() + "/data";
  const std::string missing = scratch.path() + "/missing.bin";
  const struct {
    std::vector<std::string> argv;
    std::string named;  // what the message must name
  } cases[] = {
      {{"serve", "--data", data, "--prot", "0"}, "--prot"},
      {{"--data", data, "serve", "--port", "70000"}, "--port"},
      {{"--data", data, "serve", "--port", "80x"}, "--port"},
      {{"--data", data, "serve", "--cut-after", "-5"}, "--cut-after"},
      {{"--data", data, "serve", "--encoding", "latin1"}, "--encoding"},
      {{"--data", data, "serve", "--head-timeout", "0"}, "--head-timeout"},
      {{"--data", data, "serve", "--max-connections", "0"},
       "--max-connections"},
      {{"--data", data, "serve", "--quota", "-1"}, "--quota"},
      {{"--data", data, "add-account", "--name", "ann"}, "--password"},
      {{"--data", data, "add-account", "--name", "ann", "--password", "pw",
        "--gender", "two"},
       "--gender"},
      {{"--data", data, "add-content", "--key", "k", "--file", missing},
       "--file"},
      {{"--data", data, "queue-notification", "--user-id", "0", "--kind",
        "message"},
       "--user-id"},
      {{"--data", data, "queue-notification", "--user-id", "1", "--kind",
        "memo"},
       "--kind"},
      {{"--data", data, "frobnicate"}, "frobnicate"},
      {{"--data", data, "list-uploads", "list-deliveries"}, "list-deliveries"},
      {{"--data", data, "--data", data, "list-uploads"}, "--data"},
      {{"list-uploads"}, "--data"},
      {{"--data", data}, "command"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& word : c.argv) line += " " + word;
    SCOPED_TRACE(line);
    const CommandResult run = RunService(c.argv);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("vesk-service: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(data));
  }
}

TEST(ServiceCommandLine, VersionAndHelpExplainEveryOption) {
  const CommandResult version = RunService({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vesk-service " VESK_VERSION "\n");

  // Every option of every command, and whether it takes a value: an option
  // that takes one is REQUIRED or its help says its default.
  const struct {
    std::string command;  // "" for the program's own options
    std::vector<std::pair<std::string, bool>> options;
  } commands[] = {
      {"", {{"--data", true}, {"--seed-demo", false}, {"--version", false}}},
      {"serve",
       {{"--listen", true},
        {"--port", true},
        {"--cut-after", true},
        {"--cuts", true},
        {"--encoding", true},
        {"--clock-offset", true},
        {"--head-timeout", true},
        {"--body-timeout", true},
        {"--idle-timeout", true},
        {"--max-connections", true},
        {"--threads", true},
        {"--quota", true},
        {"--disk-reserve", true}}},
      {"add-account",
       {{"--name", true},
        {"--password", true},
        {"--email", true},
        {"--display-name", true},
        {"--province", true},
        {"--gender", true},
        {"--figure", true},
        {"--valid-for", true}}},
      {"add-content", {{"--key", true}, {"--file", true}}},
      {"add-package", {{"--path", true}, {"--file", true}}},
      {"queue-notification",
       {{"--user-id", true},
        {"--kind", true},
        {"--key", true},
        {"--title", true},
        {"--text", true},
        {"--mime", true},
        {"--size", true},
        {"--media", true},
        {"--href", true}}},
      {"list-deliveries", {}},
      {"list-uploads", {}},
  };
  const CommandResult main = RunService({"--help"});
  EXPECT_EQ(main.status, 0);
  for (const auto& c : commands) {
    SCOPED_TRACE(c.command);
    if (!c.command.empty()) {
      EXPECT_NE(main.out.find("\n  " + c.command + " "), std::string::npos)
          << main.out;
    }
    const CommandResult help =
        c.command.empty() ? main : RunService({c.command, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const auto& [option, takesValue] : c.options) {
      // The option's entry: its line and the description's line after it
      // when the name column overflows.
      const size_t at = help.out.find("\n  " + option + " ");
      ASSERT_NE(at, std::string::npos) << option << " in\n" << help.out;
      size_t end = help.out.find("\n  -", at + 1);
      end = std::min(end, help.out.find("\n\n", at + 1));
      const std::string entry = help.out.substr(at, end - at);
      if (takesValue) {
        EXPECT_TRUE(entry.find("REQUIRED") != std::string::npos ||
                    entry.find("[default: ") != std::string::npos)
            << entry;
      }
    }
  }
}

TEST(ServiceCommandLine, OptionsHoldAnywhereOnTheLine) {
  const TempDir scratch;
  const std::string a = scratch.path() + "/a", b = scratch.path() + "/b";

  // --seed-demo before or after --data, and with a command before or after
  // both, seeds and then runs the command.
  const std::vector<std::string> seeds[] = {
      {"--seed-demo", "--data", a},
      {"--data", b, "--seed-demo"},
  };
  for (const auto& argv : seeds) {
    const CommandResult run = RunService(argv);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, kSeeded)) << run.out;
  }
  const CommandResult again = RunService(
      {"list-uploads", "--seed-demo", "--data", scratch.path() + "/c"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(std::regex_match(again.out, kSeeded)) << again.out;

  // A command's options in any order, --data before or after the command:
  // the account after the demo account in both stores.
  const std::vector<std::string> adds[] = {
      {"add-account", "--name", "ann", "--password", "pw", "--data", a},
      {"--data", b, "add-account", "--password", "pw", "--name", "ann"},
  };
  for (const auto& argv : adds) {
    const CommandResult run = RunService(argv);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex("2 \\d{6}\n"))) << run.out;
  }

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
  EXPECT_EQ(StopChild(service, SIGTERM, 10000), 0);
}

}  // namespace
}  // namespace vesk::test
