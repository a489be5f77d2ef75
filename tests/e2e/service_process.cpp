#include "tests/e2e/service_process.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/device_root.h"

namespace vesk::test {

namespace {

namespace fs = std::filesystem;

// How long the service may take to start and to stop, under the sanitizers
// on a busy machine included. The stop waits longer than the service's own
// 10 s grace for open connections, so a connection that does not end shows
// as the service's exit status 1 and its log line, not as a kill.
constexpr int kStartMs = 20000;
constexpr int kStopMs = 30000;

std::vector<std::string> Command(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {VESK_SERVICE_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

}  // namespace

CommandResult RunService(const std::vector<std::string>& arguments) {
  std::string errors =
      (fs::temp_directory_path() / "vesk-service-stderr-XXXXXX").string();
  ::close(::mkstemp(errors.data()));
  CommandResult result;
  result.status = tools::RunToEnd(Command(arguments), &result.out,
                                  tools::ChildOptions{errors});
  result.err = ReadHostFile(errors);
  fs::remove(errors);
  return result;
}

ServiceProcess::ServiceProcess(const std::string& dataDir,
                               const std::vector<std::string>& extra) {
  logPath_ = dataDir + ".log";
  std::vector<std::string> arguments = {"serve", "--data", dataDir, "--port",
                                        "0"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  std::string error, line;
  if (!child_.Start(Command(arguments), tools::ChildOptions{logPath_},
                    &error)) {
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

std::u16string ServiceProcess::Url(const std::string& path) const {
  return U16("http://127.0.0.1:" + std::to_string(port_) + path);
}

int ServiceProcess::Stop(int signal) {
  if (stopped_) return exitStatus_;
  stopped_ = true;
  return exitStatus_ = child_.Stop(kStopMs, signal);
}

std::string ServiceProcess::Log() const { return ReadHostFile(logPath_); }

bool ServiceProcess::Logged(const std::string& text) const {
  // Watched before the first look, so that no write falls between the two.
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 ||
      ::inotify_add_watch(watch, logPath_.c_str(), IN_MODIFY) < 0) {
    if (watch >= 0) ::close(watch);
    return Log().find(text) != std::string::npos;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool found = false;
  for (;;) {
    if (Log().find(text) != std::string::npos) {
      found = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd ready{watch, POLLIN, 0};
    if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) break;
    char events[4096];
    (void)!::read(watch, events, sizeof events);
  }
  ::close(watch);
  return found;
}

}  // namespace vesk::test
