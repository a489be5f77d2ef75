#include "tests/tool/tool_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

ServiceUnderTest::ServiceUnderTest()
    : data_(scratch_.path() + "/data"), log_(scratch_.path() + "/service.log") {
  if (tools::RunToEnd({VESK_SERVICE, "--data", data_, "--seed-demo"}, nullptr,
                      {log_}) == 0) {
    demo_ =
        Json::parse(test::ReadHostFile(data_ + "/demo.json"), nullptr, false);
  }
}

ServiceUnderTest::~ServiceUnderTest() {
  if (running_) Stop();
}

bool ServiceUnderTest::Start(const std::vector<std::string>& extra) {
  if (!demo_.is_object()) return false;
  std::vector<std::string> argv = {VESK_SERVICE, "serve",  "--data",
                                   data_,        "--port", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::string error, line;
  if (!server_.Start(argv, {log_}, &error)) return false;
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
  return StopChild(server_);
}

std::string ServiceUnderTest::Admin(
    const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {VESK_SERVICE, "--data", data_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  tools::RunToEnd(argv, &out, {log_});
  return out;
}

bool ServiceUnderTest::Activate(ToolRun& run) const {
  const Json& account = demo_.at("account");
  run.Run({"activate", "--base", base_, "--username", account.at("name"),
           "--password", account.at("password"), "--validation",
           account.at("validationCode")});
  return run.exit == 0;
}

long ServiceUnderTest::UserIdOf(const std::string& uploads) {
  return std::atol(uploads.c_str());
}

const Json& ServiceUnderTest::LargestContent() const {
  const Json* largest = nullptr;
  for (const Json& c : demo_.at("contents")) {
    if (largest == nullptr || c.at("size") > largest->at("size")) largest = &c;
  }
  return *largest;
}

std::string ServiceUnderTest::Package() const {
  return demo_.at("packages").at(0).at("path");
}

int StopChild(tools::Child& child) { return child.Stop(10000); }

std::string MakeZip(
    const std::string& path,
    const std::vector<std::pair<std::string, std::string>>& entries) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return "";
  for (const auto& [name, bytes] : entries) {
    zip_fileinfo info{};
    zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0,
                          nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0);
    zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size()));
    zipCloseFileInZip(zip);
  }
  zipClose(zip, nullptr);
  return test::ReadHostFile(path);
}

}  // namespace vesk::tool
