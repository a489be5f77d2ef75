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
  // Each line's words; DATA and MISSING stand for those paths.
  const std::pair<std::string, std::string> cases[] = {
      {"serve --data DATA --prot 0", "--prot"},
      {"--data DATA serve --port 70000", "--port"},
      {"--data DATA serve --port 80x", "--port"},
      {"--data DATA serve --cut-after -5", "--cut-after"},
      {"--data DATA serve --encoding latin1", "--encoding"},
      {"--data DATA serve --head-timeout 0", "--head-timeout"},
      {"--data DATA serve --max-connections 0", "--max-connections"},
      {"--data DATA serve --quota -1", "--quota"},
      {"--data DATA add-account --name ann", "--password"},
      {"--data DATA add-account --name ann --password pw --gender two",
       "--gender"},
      {"--data DATA add-content --key k --file MISSING", "--file"},
      {"--data DATA queue-notification --user-id 0 --kind message",
       "--user-id"},
      {"--data DATA queue-notification --user-id 1 --kind memo", "--kind"},
      {"--data DATA frobnicate", "frobnicate"},
      {"--data DATA list-uploads list-deliveries", "list-deliveries"},
      {"--data DATA --data DATA list-uploads", "--data"},
      {"list-uploads", "--data"},
      {"--data DATA", "command"},
  };
  for (const auto& [line, named] : cases) {
    SCOPED_TRACE(line);
    std::vector<std::string> argv;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      argv.push_back(word == "DATA"      ? data
                     : word == "MISSING" ? missing
                                         : word);
    }
    const CommandResult run = RunService(argv);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("vesk-service: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(data));
  }
}

TEST(ServiceCommandLine, VersionAndHelpExplainEveryOption) {
  const CommandResult version = RunService({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vesk-service " VESK_VERSION "\n");

  // Every option of every command; "=" marks one that takes a value, which
  // is REQUIRED or its help says its default.
  const std::pair<std::string, std::string> commands[] = {
      {"", "--data= --seed-demo --version"},
      {"serve",
       "--listen= --port= --cut-after= --cuts= --encoding= --clock-offset= "
       "--head-timeout= --body-timeout= --idle-timeout= --max-connections= "
       "--threads= --quota= --disk-reserve="},
      {"add-account",
       "--name= --password= --email= --display-name= --province= --gender= "
       "--figure= --valid-for="},
      {"add-content", "--key= --file="},
      {"add-package", "--path= --file="},
      {"queue-notification",
       "--user-id= --kind= --key= --title= --text= --mime= --size= --media= "
       "--href="},
      {"list-deliveries", ""},
      {"list-uploads", ""},
  };
  const CommandResult main = RunService({"--help"});
  EXPECT_EQ(main.status, 0);
  for (const auto& [command, options] : commands) {
    SCOPED_TRACE(command);
    if (!command.empty()) {
      EXPECT_NE(main.out.find("\n  " + command + " "), std::string::npos)
          << main.out;
    }
    const CommandResult help =
        command.empty() ? main : RunService({command, "--help"});
    EXPECT_EQ(help.status, 0);
    std::istringstream words(options);
    for (std::string option; words >> option;) {
      const bool takesValue = option.back() == '=';
      if (takesValue) option.pop_back();
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
  EXPECT_EQ(service.Stop(10000), 0);
}

}  // namespace
}  // namespace vesk::test
