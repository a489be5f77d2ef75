// The host tool against a web server no one here wrote: nginx serves a zip
// archive as a static file, and answers a resumed range with 206 and
// "Content-Range".
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/tool/tool_test_support.h"
#include "tools/common/process.h"

namespace vesk::tool {
namespace {

// Starts nginx serving `dir`/www on `port`, everything it writes under `dir`;
// true once it wrote its pid file, which it does after it started listening.
bool StartNginx(tools::Child& nginx, const std::string& dir, int port) {
  std::string conf = ::geteuid() == 0 ? "user root;\n" : "";
  conf += "worker_processes 1;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
          "/error.log;\nevents { worker_connections 32; }\nhttp {\n" +
          "  access_log " + dir + "/access.log;\n";
  for (const char* temp :
       {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf += std::string("  ") + temp + "_temp_path " + dir + "/" + temp + ";\n";
  }
  conf += "  server {\n    listen 127.0.0.1:" + std::to_string(port) +
          ";\n    root " + dir + "/www;\n  }\n}\n";
  test::WriteHostFile(dir + "/nginx.conf", conf);
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO);
  std::string error;
  if (!nginx.Start({"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf",
                    "-g", "daemon off;"},
                   {dir + "/stderr.log"}, &error)) {
    ::close(watch);
    return false;
  }
  pollfd ready{watch, POLLIN, 0};
  char events[4096];
  while (!test::HostFileExists(dir + "/nginx.pid") &&
         ::poll(&ready, 1, 20000) > 0) {
    (void)!::read(watch, events, sizeof events);
  }
  ::close(watch);
  return test::HostFileExists(dir + "/nginx.pid");
}

TEST(ToolNginxTest, ResumedLoadAgainstNginx) {
  test::DeviceRoot scratch;
  const std::string www = scratch.path() + "/www";
  std::filesystem::create_directories(www);

  // A zip made by zip(1): a text file and an incompressible one.
  const std::string src = scratch.path() + "/src";
  test::WriteHostFile(src + "/a.txt", "first file\n");
  const std::string noise = test::RandomBytes(60000);
  test::WriteHostFile(src + "/dir/b.bin", noise);
  ASSERT_EQ(tools::RunToEnd({"/usr/bin/zip", "-q", "-r", "-X", www + "/pkg.zip",
                             "a.txt", "dir"},
                            nullptr, {"", src}),
            0);
  const std::string zip = test::ReadHostFile(www + "/pkg.zip");
  ASSERT_GT(zip.size(), 40000u);

  const int port = test::ClosedPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  tools::Child nginx;
  ASSERT_TRUE(StartNginx(nginx, scratch.path(), port))
      << test::ReadHostFile(scratch.path() + "/error.log")
      << test::ReadHostFile(scratch.path() + "/stderr.log");
  ToolRun vesk(scratch.path());

  // An earlier call left 1000 bytes; this one asks for a range short of the
  // end, so it is cut again: incomplete.
  const std::string archive = vesk.Host("\\Storage Card\\pkg.zip");
  test::WriteHostFile(archive + ".Down", zip.substr(0, 1000));
  Json j = vesk.Json_({"load", "--url", url + "/pkg.zip", "--target",
                       "/Storage Card/out", "--offset", "1000", "--range-end",
                       "20000"});
  EXPECT_EQ(vesk.exit, 3) << vesk.err;
  EXPECT_EQ(j["reason"], "incomplete: the transfer stopped at byte 20001 of " +
                             std::to_string(zip.size()) +
                             "; the same command continues it (--restart "
                             "starts over)");
  EXPECT_EQ(j["status"], 206);
  EXPECT_EQ(j["fileSize"], zip.size());
  EXPECT_EQ(test::ReadHostFile(archive + ".Down"), zip.substr(0, 20001));

  // The next call continues from the data file to the end, then unpacks.
  j = vesk.Json_(
      {"load", "--url", url + "/pkg.zip", "--target", "/Storage Card/out"});
  EXPECT_EQ(vesk.exit, 0) << vesk.err;
  EXPECT_EQ(j["rangeStart"], 20001);
  EXPECT_EQ(j["entries"], 3);  // a.txt, dir/ and dir/b.bin
  EXPECT_EQ(test::ReadHostFile(archive), zip);
  EXPECT_EQ(test::ReadHostFile(vesk.Host("\\Storage Card\\out\\a.txt")),
            "first file\n");
  EXPECT_EQ(test::ReadHostFile(vesk.Host("\\Storage Card\\out\\dir\\b.bin")),
            noise);
}

}  // namespace
}  // namespace vesk::tool
