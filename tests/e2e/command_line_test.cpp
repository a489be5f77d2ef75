// vesk-service's command line: what it refuses (exit status 2, a message
// naming the culprit, nothing touched), --version and --help, and options
// that mean the same wherever they stand.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/e2e/service_process.h"
#include "tests/support/device_root.h"

namespace vesk::test {
namespace {

TEST(ServiceCommandLine, RefusalsVersionHelpAndOptionsAnywhere) {
  const DeviceRoot scratch;
  const std::string data = scratch.path() + "/data";
  // The words of a line; DATA stands for the data directory.
  auto run = [&](const std::string& line) {
    std::vector<std::string> argv;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      argv.push_back(word.rfind("DATA", 0) == 0 ? data + word.substr(4) : word);
    }
    return RunService(argv);
  };
  const std::pair<std::string, std::string> refused[] = {
      {"serve --data DATA --prot 0", "--prot"},
      {"--data DATA serve --port 70000", "--port"},
      {"--data DATA add-account --name ann", "--password"},
      {"--data DATA list-uploads list-deliveries", "list-deliveries"},
      {"list-uploads", "--data"},
      {"--data DATA", "command"},
  };
  for (const auto& [line, named] : refused) {
    const CommandResult r = run(line);
    EXPECT_EQ(r.status, 2) << line;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_EQ(r.err.rfind("vesk-service: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(data)) << line;
  }
  EXPECT_EQ(run("--version").out, "vesk-service " VESK_VERSION "\n");
  EXPECT_NE(run("serve --help").out.find("Usage: vesk-service serve"),
            std::string::npos);
  // --seed-demo after --data after the command, which runs after the seeding;
  // the command's options in any order.
  EXPECT_TRUE(std::regex_match(
      run("add-account --password pw --name ann --data DATA --seed-demo").out,
      std::regex("seeded .+: account demo, password demo1234, validation "
                 "code \\d{6}\n2 \\d{6}\n")));
}

}  // namespace
}  // namespace vesk::test
