// Running the host tool and the reference service as separate programs.
#ifndef VESK_TESTS_TOOL_TOOL_TEST_SUPPORT_H_
#define VESK_TESTS_TOOL_TOOL_TEST_SUPPORT_H_

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/e2e/service_process.h"
#include "tests/support/device_root.h"
#include "tests/support/rsa_oracle.h"
#include "tools/common/process.h"

namespace vesk::tool {

using Json = nlohmann::json;
using test::Md5Hex;

// `vesk` with its own device root under `work`/device.
class ToolRun {
 public:
  explicit ToolRun(const std::string& work);

  // Runs vesk --device-root ROOT ARGS...; fills exit, out and err.
  void Run(const std::vector<std::string>& args);
  // Runs vesk ARGS... as they are, without --device-root.
  void RunBare(const std::vector<std::string>& args);
  // Runs with --json; standard output parsed (null when it is not JSON).
  Json Json_(std::vector<std::string> args);
  // The host path of a handset path under this run's device root.
  std::string Host(const std::string& handsetPath) const;
  const std::string& root() const { return root_; }

  int exit = -1;
  std::string out, err;

 private:
  std::string root_;
  std::string errFile_;
};

// A fresh data directory seeded with --seed-demo, served on a free loopback
// port by `vesk-service serve`; stopped on destruction.
class ServiceUnderTest {
 public:
  ServiceUnderTest();

  // Starts the server with extra options.
  bool Start(const std::vector<std::string>& extra);
  // Stops it (when it was started) and answers its exit status.
  int Stop() { return process_ ? process_->Stop() : 0; }

  std::string Admin(std::vector<std::string> args) const;
  // Activates a handset for `run` in mode 4 with the seeded account.
  bool Activate(ToolRun& run) const;
  // The first seeded package's path ("demo.zip").
  std::string Package() const { return demo_.at("packages").at(0).at("path"); }

  const std::string& work() const { return scratch_.path(); }
  const std::string& data() const { return data_; }
  const std::string& base() const { return base_; }
  int port() const { return process_->port(); }
  // The seed's description (demo.json).
  const Json& demo() const { return demo_; }

 private:
  test::DeviceRoot scratch_;
  std::string data_, base_;
  Json demo_;
  std::unique_ptr<test::ServiceProcess> process_;
};

}  // namespace vesk::tool

#endif  // VESK_TESTS_TOOL_TOOL_TEST_SUPPORT_H_
