// The reference service as a child process of a test: administration
// commands, and a running "serve" that is always stopped (SIGTERM, then
// SIGKILL) when its owner goes.
#ifndef VESK_TESTS_E2E_SERVICE_PROCESS_H_
#define VESK_TESTS_E2E_SERVICE_PROCESS_H_

#include <signal.h>

#include <string>
#include <vector>

#include "tools/common/process.h"

namespace vesk::test {

struct CommandResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the service binary with the arguments and waits for it.
CommandResult RunService(const std::vector<std::string>& arguments);

// `vesk-service serve --data DIR --port 0 <extra>`; the constructor returns
// once the service printed its listening line (throws when it does not
// within twenty seconds). Standard error goes to a log file beside the data
// directory.
class ServiceProcess {
 public:
  ServiceProcess(const std::string& dataDir,
                 const std::vector<std::string>& extra = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path, as the library takes it.
  std::u16string Url(const std::string& path) const;
  // Sends the signal; the exit status (-1 when killed), the same once more.
  int Stop(int signal = SIGTERM);
  // The access log so far.
  std::string Log() const;
  // True once the log holds the text (a line comes after its reply went
  // out: this waits for the log to grow, up to ten seconds).
  bool Logged(const std::string& text) const;

 private:
  tools::Child child_;
  bool stopped_ = false;
  int exitStatus_ = -1;
  int port_ = 0;
  std::string logPath_;
};

}  // namespace vesk::test

#endif  // VESK_TESTS_E2E_SERVICE_PROCESS_H_
