#include "tools/vesk/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

extern char** environ;

namespace vesk::tool {

namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// Spawns with standard output on a new pipe (read end returned in *out) and
// standard error appended to `errorLog` when it is not empty.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& errorLog,
            int* out) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The children never read their standard input; some (script(1)) stop
  // at once when it is closed, so it is always /dev/null.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (!errorLog.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  std::vector<char*> args = ArgvOf(argv);
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return -1;
  }
  *out = fds[0];
  return pid;
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunCapture(const std::vector<std::string>& argv, std::string* output,
               const std::string& errorLog) {
  int out = -1;
  const pid_t pid = Spawn(argv, errorLog, &out);
  if (pid < 0) return -1;
  output->clear();
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(out, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buf, static_cast<size_t>(n));
  }
  ::close(out);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return ExitStatus(status);
}

Child::~Child() {
  if (pid_ > 0) Stop(2000);
  if (out_ >= 0) ::close(out_);
}

bool Child::Start(const std::vector<std::string>& argv,
                  const std::string& errorLog, std::string* error) {
  pid_ = Spawn(argv, errorLog, &out_);
  if (pid_ < 0) {
    *error = "cannot start " + argv[0];
    return false;
  }
  return true;
}

bool Child::ReadLine(std::string* line, int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const size_t eol = pending_.find('\n');
    if (eol != std::string::npos) {
      *line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[512];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the child closed its output or died
    pending_.append(buf, static_cast<size_t>(n));
  }
}

int Child::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
  return ExitStatus(status);
}

std::string OwnDirectory() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string path(buf);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace vesk::tool
