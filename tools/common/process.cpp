#include "tools/common/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/process.hpp>
#include <boost/process/extend.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>
#include <thread>

namespace vesk::tools {

namespace bp = boost::process;

namespace {

// Runs in the child between fork and exec.
auto DiesWithParent() {
  return bp::extend::on_exec_setup(
      [](auto&) { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// The executable of argv[0]: a path as it is, a bare name from PATH.
boost::filesystem::path Executable(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const boost::filesystem::path found = bp::search_path(name);
  return found.empty() ? boost::filesystem::path(name) : found;
}

std::vector<std::string> Arguments(const std::vector<std::string>& argv) {
  return std::vector<std::string>(argv.begin() + (argv.empty() ? 0 : 1),
                                  argv.end());
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads what is there, or waits at most timeoutMs for it; false at the end
// of the output or on time-out.
bool ReadSome(int fd, std::string* into, int timeoutMs) {
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, timeoutMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    char block[4096];
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into->append(block, static_cast<size_t>(got));
    return true;
  }
}

// Starts a child with standard output on `out` (or discarded when null).
bool Launch(const std::vector<std::string>& argv, bp::pipe* out,
            const ChildOptions& options, bp::child* child,
            std::error_code* error) {
  if (argv.empty()) {
    *error = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  const auto exe = Executable(argv[0]);
  const auto args = Arguments(argv);
  const std::string directory =
      options.directory.empty() ? std::string(".") : options.directory;
  if (out != nullptr && options.errorLog.empty()) {
    *child = bp::child(exe, bp::args = args, bp::start_dir = directory,
                       bp::std_in<bp::null, bp::std_out> * out,
                       DiesWithParent(), *error);
  } else if (out != nullptr) {
    *child =
        bp::child(exe, bp::args = args, bp::start_dir = directory,
                  bp::std_in<bp::null, bp::std_out> * out,
                  bp::std_err > options.errorLog, DiesWithParent(), *error);
  } else if (options.errorLog.empty()) {
    *child = bp::child(exe, bp::args = args, bp::start_dir = directory,
                       bp::std_in<bp::null, bp::std_out> bp::null,
                       DiesWithParent(), *error);
  } else {
    *child =
        bp::child(exe, bp::args = args, bp::start_dir = directory,
                  bp::std_in<bp::null, bp::std_out> bp::null,
                  bp::std_err > options.errorLog, DiesWithParent(), *error);
  }
  if (*error) return false;
  // Only the child writes into the pipe: its end closes with the child's.
  if (out != nullptr) {
    ::close(out->native_sink());
    out->assign_sink(-1);
  }
  return true;
}

// Waits at most timeoutMs for the child to end, without reaping anything
// else: on a descriptor of the process where the system has them, else by
// asking again every few milliseconds.
bool WaitForExit(pid_t pid, int timeoutMs, int* status) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    const pid_t reaped = ::waitpid(pid, status, WNOHANG);
    if (reaped == pid) break;
    if (reaped < 0 && errno != EINTR) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      if (handle >= 0) ::close(handle);
      return false;
    }
    if (handle >= 0) {
      pollfd ended{handle, POLLIN, 0};
      (void)::poll(&ended, 1, static_cast<int>(left));
    } else {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::min<long long>(left, 10)));
    }
  }
  if (handle >= 0) ::close(handle);
  return true;
}

}  // namespace

int RunToEnd(const std::vector<std::string>& argv, std::string* output,
             const ChildOptions& options) {
  bp::pipe out;
  bp::child child;
  std::error_code error;
  if (!Launch(argv, output != nullptr ? &out : nullptr, options, &child,
              &error)) {
    return -1;
  }
  if (output != nullptr) {
    output->clear();
    while (ReadSome(out.native_source(), output, -1)) {
    }
  }
  child.wait(error);
  if (error) return -1;
  return ExitStatus(child.native_exit_code());
}

// The child is reaped here, not by Boost.Process, whose timed wait can miss
// an end that came before it started; the Boost child is detached at once.
struct Child::State {
  bp::pipe out;
  bp::child child;
  std::string pending;
  bool ended = false;  // reaped by Running()
  int status = -1;     // its exit status then
};

Child::Child() = default;

Child::~Child() {
  if (Running()) Stop(2000);
}

bool Child::Start(const std::vector<std::string>& argv,
                  const ChildOptions& options, std::string* error) {
  auto state = std::make_unique<State>();
  std::error_code failed;
  if (!Launch(argv, &state->out, options, &state->child, &failed)) {
    *error = "cannot start " +
             (argv.empty() ? std::string("nothing") : argv[0]) + ": " +
             failed.message();
    return false;
  }
  state->child.detach();
  state_ = std::move(state);
  return true;
}

bool Child::ReadLine(std::string* line, int timeoutMs) {
  if (state_ == nullptr) return false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = state_->pending.find('\n');
    if (end != std::string::npos) {
      *line = state_->pending.substr(0, end);
      state_->pending.erase(0, end + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !ReadSome(state_->out.native_source(), &state_->pending,
                               static_cast<int>(left))) {
      return false;
    }
  }
}

int Child::Stop(int timeoutMs, int signal) {
  if (!Running()) {
    const int status = state_ == nullptr ? -1 : state_->status;
    state_.reset();
    return status;
  }
  const pid_t pid = state_->child.id();
  ::kill(pid, signal);
  int status = 0;
  if (!WaitForExit(pid, timeoutMs, &status)) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    state_.reset();
    return -1;
  }
  state_.reset();
  return ExitStatus(status);
}

bool Child::Running() const {
  if (state_ == nullptr || state_->ended) return false;
  int status = 0;
  const pid_t reaped = ::waitpid(state_->child.id(), &status, WNOHANG);
  if (reaped == 0) return true;
  state_->ended = true;
  state_->status = reaped > 0 ? ExitStatus(status) : -1;
  return false;
}

pid_t Child::pid() const { return state_ == nullptr ? -1 : state_->child.id(); }

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

std::string OwnDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  const std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace vesk::tools
