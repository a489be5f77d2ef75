// The reference service as a child process of a test: administration
// commands, and a running "serve" stopped (SIGTERM, then SIGKILL) when its
// owner goes.
#ifndef VESK_TESTS_E2E_SERVICE_PROCESS_H_
#define VESK_TESTS_E2E_SERVICE_PROCESS_H_

#include <signal.h>

#include <string>
#include <vector>

#include "tools/common/process.h"

namespace vesk::test {

struct CommandResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out, err;
};

// Runs the service binary with the arguments and waits for it.
CommandResult RunService(const std::vector<std::string>& arguments);

// `vesk-service serve --data DIR --port 0 <extra>`, returned once listening
// (throws when it does not start); standard error goes to a log file.
class ServiceProcess {
 public:
  ServiceProcess(const std::string& dataDir,
                 const std::vector<std::string>& extra = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int port() const { return port_; }
  // Sends the signal; the exit status (-1 when killed), the same once more.
  int Stop(int signal = SIGTERM);
  std::string Log() const;  // the access log so far

 private:
  tools::Child child_;
  bool stopped_ = false;
  int exitStatus_ = -1;
  int port_ = 0;
  std::string logPath_;
};

}  // namespace vesk::test

#endif  // VESK_TESTS_E2E_SERVICE_PROCESS_H_
