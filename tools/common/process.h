// Child processes for the programs around the library, their tests and
// benchmarks: one launcher, over Boost.Process.
//
// Every child gets /dev/null as standard input (some programs, script(1)
// among them, stop at once on a closed one) and is sent SIGKILL by the
// system when the thread that started it ends (PR_SET_PDEATHSIG): a killed
// demo, a crashed test or a benchmark stopped with Ctrl-C leaves no service
// running behind it. Start children from a thread that lives as long as they
// should.
#ifndef VESK_TOOLS_COMMON_PROCESS_H_
#define VESK_TOOLS_COMMON_PROCESS_H_

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vesk::tools {

// How a child runs: where its standard error goes (the caller's own when
// empty, else appended to that file), and the directory it starts in (the
// caller's when empty).
struct ChildOptions {
  ChildOptions(std::string errorLog = {}, std::string directory = {})
      : errorLog(std::move(errorLog)), directory(std::move(directory)) {}
  std::string errorLog;
  std::string directory;
};

// Runs argv (argv[0] a path, or a name looked up on PATH) to its end. Its
// standard output goes into *output when that is not null and is discarded
// otherwise. Returns the exit status; -1 when it could not start or ended by
// a signal.
int RunToEnd(const std::vector<std::string>& argv,
             std::string* output = nullptr, const ChildOptions& options = {});

// A program running in the background, its standard output on a pipe.
class Child {
 public:
  Child();
  ~Child();  // stops a child that is still running (Stop(2000))
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv; false, with *error set, when it cannot.
  bool Start(const std::vector<std::string>& argv, const ChildOptions& options,
             std::string* error);
  // The next line of its standard output without the line feed, waiting at
  // most timeoutMs; false on time-out or when the child closed its output.
  bool ReadLine(std::string* line, int timeoutMs);
  // Sends the signal (SIGTERM unless told), waits at most timeoutMs for the
  // end, then SIGKILL. Returns the exit status, or -1 when it ended by a
  // signal or none runs. A child that has ended already keeps its status.
  int Stop(int timeoutMs, int signal = SIGTERM);
  bool Running() const;
  pid_t pid() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// From now on a write to a pipe or socket whose reader has gone fails with
// EPIPE instead of killing the process, so that a program piped into
// `head` can clean up and end in order.
void IgnoreBrokenPipes();

// The directory of the running program.
std::string OwnDirectory();

}  // namespace vesk::tools

#endif  // VESK_TOOLS_COMMON_PROCESS_H_
