#include "tests/e2e/service_process.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/device_root.h"

namespace vesk::test {

namespace fs = std::filesystem;

// The stop waits longer than the service's own 10 s grace for open
// connections, so a connection that does not end shows as exit status 1.
constexpr int kStartMs = 20000, kStopMs = 30000;

CommandResult RunService(const std::vector<std::string>& arguments) {
  std::string errors =
      (fs::temp_directory_path() / "vesk-service-stderr-XXXXXX").string();
  ::close(::mkstemp(errors.data()));
  std::vector<std::string> argv = {VESK_SERVICE_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  CommandResult result;
  result.status =
      tools::RunToEnd(argv, &result.out, tools::ChildOptions{errors});
  result.err = ReadHostFile(errors);
  fs::remove(errors);
  return result;
}

ServiceProcess::ServiceProcess(const std::string& dataDir,
                               const std::vector<std::string>& extra)
    : logPath_(dataDir + ".log") {
  std::vector<std::string> arguments = {
      VESK_SERVICE_BINARY, "serve", "--data", dataDir, "--port", "0"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  std::string error, line;
  if (!child_.Start(arguments, tools::ChildOptions{logPath_}, &error)) {
    throw std::runtime_error(error);
  }
  const std::string prefix = "listening on 127.0.0.1:";
  if (!child_.ReadLine(&line, kStartMs) || line.rfind(prefix, 0) != 0) {
    Stop();
    throw std::runtime_error("the service did not start: " + line + Log());
  }
  port_ = std::atoi(line.c_str() + prefix.size());
}

ServiceProcess::~ServiceProcess() {
  Stop();
  std::error_code ec;
  fs::remove(logPath_, ec);
}

int ServiceProcess::Stop(int signal) {
  if (stopped_) return exitStatus_;
  stopped_ = true;
  return exitStatus_ = child_.Stop(kStopMs, signal);
}

std::string ServiceProcess::Log() const { return ReadHostFile(logPath_); }

}  // namespace vesk::test
