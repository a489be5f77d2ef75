#include "tests/e2e/service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/support/device_root.h"

namespace vesk::test {

namespace {

namespace fs = std::filesystem;

// Starts the binary with stdout on a pipe (returned through `out`) and
// stderr on `errPath` (or inherited when empty).
pid_t Spawn(const std::vector<std::string>& arguments, int* out,
            const std::string& errPath) {
  int pipes[2];
  if (::pipe2(pipes, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<char*> argv;
  std::string binary = VESK_SERVICE_BINARY;
  argv.push_back(binary.data());
  std::vector<std::string> copies = arguments;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(pipes[1], 1);
    if (!errPath.empty()) {
      const int err =
          ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) ::dup2(err, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipes[1]);
  *out = pipes[0];
  return pid;
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern =
      (fs::temp_directory_path() / "vesk-data-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

CommandResult RunService(const std::vector<std::string>& arguments) {
  int out = -1;
  const pid_t pid = Spawn(arguments, &out, "");
  CommandResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(out, buffer, sizeof buffer);
    if (got <= 0) break;
    result.out.append(buffer, static_cast<size_t>(got));
  }
  ::close(out);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = ExitStatus(status);
  return result;
}

ServiceProcess::ServiceProcess(const std::string& dataDir,
                               const std::vector<std::string>& extra) {
  logPath_ = dataDir + ".log";
  std::vector<std::string> arguments = {"serve", "--data", dataDir, "--port",
                                        "0"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  int out = -1;
  pid_ = Spawn(arguments, &out, logPath_);
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd watch{out, POLLIN, 0};
    if (::poll(&watch, 1, 200) <= 0) continue;
    char c;
    if (::read(out, &c, 1) != 1) break;
    line.push_back(c);
  }
  ::close(out);
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) {
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
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, signal);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitStatus_ = ExitStatus(status);
      return exitStatus_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return exitStatus_ = -1;
}

std::string ServiceProcess::Log() const { return ReadHostFile(logPath_); }

bool ServiceProcess::Logged(const std::string& text) const {
  for (int i = 0; i < 200; ++i) {
    if (Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace vesk::test
