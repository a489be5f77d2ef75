#include "tests/tool/tool_test_support.h"

#include <cstdio>

namespace vesk::tool {

ToolRun::ToolRun(const std::string& work)
    : root_(work + "/device"), errFile_(work + "/vesk.err") {}

void ToolRun::Run(const std::vector<std::string>& args) {
  std::vector<std::string> withRoot = {"--device-root", root_};
  withRoot.insert(withRoot.end(), args.begin(), args.end());
  RunBare(withRoot);
}

void ToolRun::RunBare(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VESK_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  std::remove(errFile_.c_str());
  exit = tools::RunToEnd(argv, &out, {errFile_});
  err = test::ReadHostFile(errFile_);
}

Json ToolRun::Json_(std::vector<std::string> args) {
  args.push_back("--json");
  Run(args);
  return Json::parse(out, nullptr, false);
}

std::string ToolRun::Host(const std::string& handsetPath) const {
  std::string out = handsetPath;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return root_ + out;
}

ServiceUnderTest::ServiceUnderTest() : data_(scratch_.path() + "/data") {
  if (test::RunService({"--data", data_, "--seed-demo"}).status == 0) {
    demo_ =
        Json::parse(test::ReadHostFile(data_ + "/demo.json"), nullptr, false);
  }
}

bool ServiceUnderTest::Start(const std::vector<std::string>& extra) {
  if (!demo_.is_object()) return false;
  process_ = std::make_unique<test::ServiceProcess>(data_, extra);
  base_ = "http://127.0.0.1:" + std::to_string(port());
  return port() > 0;
}

std::string ServiceUnderTest::Admin(std::vector<std::string> args) const {
  args.insert(args.begin(), {"--data", data_});
  return test::RunService(args).out;
}

bool ServiceUnderTest::Activate(ToolRun& run) const {
  const Json& account = demo_.at("account");
  run.Run({"activate", "--base", base_, "--username", account.at("name"),
           "--password", account.at("password"), "--validation",
           account.at("validationCode")});
  return run.exit == 0;
}

}  // namespace vesk::tool
