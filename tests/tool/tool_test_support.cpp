#include "tests/tool/tool_test_support.h"

#include <cstdio>
#include <cstdlib>

namespace vesk::tool {

ToolRun::ToolRun(const std::string& work)
    : root_(work + "/device"), errFile_(work + "/vesk.err") {}

void ToolRun::Run(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VESK_TOOL, "--device-root", root_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::remove(errFile_.c_str());
  exit = RunCapture(argv, &out, errFile_);
  err = test::ReadHostFile(errFile_);
}

Json ToolRun::Json_(std::vector<std::string> args) {
  args.push_back("--json");
  Run(args);
  return Json::Parse(out).value_or(Json());
}

std::string ToolRun::Host(const std::string& handsetPath) const {
  std::string out = handsetPath;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return root_ + out;
}

ServiceUnderTest::ServiceUnderTest()
    : data_(scratch_.path() + "/data"), log_(scratch_.path() + "/service.log") {
  std::string out;
  if (RunCapture({VESK_SERVICE, "--data", data_, "--seed-demo"}, &out, log_) ==
      0) {
    demo_ =
        Json::Parse(test::ReadHostFile(data_ + "/demo.json")).value_or(Json());
  }
}

ServiceUnderTest::~ServiceUnderTest() {
  if (running_) Stop();
}

bool ServiceUnderTest::Start(const std::vector<std::string>& extra) {
  if (demo_.IsNull()) return false;
  std::vector<std::string> argv = {VESK_SERVICE, "serve",  "--data",
                                   data_,        "--port", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::string error, line;
  if (!server_.Start(argv, log_, &error)) return false;
  running_ = true;
  const std::string prefix = "listening on 127.0.0.1:";
  if (!server_.ReadLine(&line, 20000) ||
      line.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  port_ = std::atoi(line.c_str() + prefix.size());
  base_ = "http://127.0.0.1:" + std::to_string(port_);
  return port_ > 0;
}

int ServiceUnderTest::Stop() {
  running_ = false;
  return server_.Stop(10000);
}

std::string ServiceUnderTest::Admin(
    const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {VESK_SERVICE, "--data", data_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  RunCapture(argv, &out, log_);
  return out;
}

bool ServiceUnderTest::Activate(ToolRun& run) const {
  const Json& account = demo_["account"];
  run.Run({"activate", "--base", base_, "--username",
           account["name"].AsString(), "--password",
           account["password"].AsString(), "--validation",
           account["validationCode"].AsString()});
  return run.exit == 0;
}

long ServiceUnderTest::UserIdOf(const std::string& uploads) {
  return std::atol(uploads.c_str());
}

}  // namespace vesk::tool
