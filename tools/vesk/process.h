// Child processes for the demo: the reference service in the background and
// its administration commands run to completion.
#ifndef VESK_TOOLS_VESK_PROCESS_H_
#define VESK_TOOLS_VESK_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace vesk::tool {

// Children get /dev/null as standard input.
//
// Runs a program to its end; its standard output goes into `output`, its
// standard error into the file `errorLog` (appended; "" keeps ours). Returns
// the exit status, or -1 when it could not run or ended by a signal.
int RunCapture(const std::vector<std::string>& argv, std::string* output,
               const std::string& errorLog = "");

// A program running in the background with its standard output on a pipe.
class Child {
 public:
  Child() = default;
  ~Child();  // kills a child that is still running, and reaps it
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts the program; standard error goes to `errorLog` (appended).
  bool Start(const std::vector<std::string>& argv, const std::string& errorLog,
             std::string* error);
  // The first line of its standard output, waiting at most `timeoutMs`.
  bool ReadLine(std::string* line, int timeoutMs);
  // Sends SIGTERM and waits for the end, at most `timeoutMs`; then SIGKILL.
  // Returns the exit status, or -1 when it ended by a signal.
  int Stop(int timeoutMs);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

// The directory of the running program.
std::string OwnDirectory();

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_PROCESS_H_
