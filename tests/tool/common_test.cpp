// The launcher, the text conversion and the percent-decoder that the
// programs, their tests and the benchmarks share.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <thread>

#include "tests/support/device_root.h"
#include "tools/common/process.h"
#include "tools/common/text.h"

namespace vesk::tools {
namespace {

TEST(Launcher, RunsToTheEndAndInTheBackground) {
  test::DeviceRoot scratch;
  const std::string log = scratch.path() + "/err.log";
  std::string out;
  EXPECT_EQ(RunToEnd({"sh", "-c", "echo out; echo err >&2; read x; exit 3"},
                     &out, {log}),
            3);
  EXPECT_EQ(out, "out\n");
  EXPECT_EQ(test::ReadHostFile(log), "err\n");
  EXPECT_EQ(RunToEnd({scratch.path() + "/missing"}), -1);

  // A child that ends by itself keeps its status; one that is stopped ends
  // by SIGTERM (or its own handler's status).
  Child ending;
  std::string error, line;
  ASSERT_TRUE(
      ending.Start({"sh", "-c", "echo first; echo second; exit 5"}, {}, &error))
      << error;
  for (const char* expected : {"first", "second"}) {
    EXPECT_TRUE(ending.ReadLine(&line, 5000));
    EXPECT_EQ(line, expected);
  }
  EXPECT_FALSE(ending.ReadLine(&line, 5000));  // its output has closed
  EXPECT_EQ(ending.Stop(5000), 5);
  Child trapping;
  ASSERT_TRUE(trapping.Start(
      {"sh", "-c", "trap 'exit 7' TERM; echo up; while :; do read x; done"}, {},
      &error));
  EXPECT_TRUE(trapping.ReadLine(&line, 5000));
  EXPECT_EQ(trapping.Stop(5000), 7);

  // A child outlives neither the thread that started it.
  Child* orphan = new Child;
  pid_t pid = -1;
  std::thread([&] {
    ASSERT_TRUE(orphan->Start({"sleep", "60"}, {}, &error));
    pid = orphan->pid();
  }).join();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  delete orphan;
}

TEST(ToolText, Utf8Utf16AndPercentDecoding) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
            (std::u16string{u'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00}));
  // Stray, overlong, cut and surrogate sequences: one U+FFFD per byte.
  EXPECT_EQ(Utf8ToUtf16("\xFF"
                        "a\xC0\xAF\xED\xA0\x80\xE4\xB8"),
            (std::u16string{0xFFFD, u'a', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
                            0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xDE00, 0xD800, u'x', 0xDC00}),
            "\xF0\x9F\x98\x80\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_EQ(PercentDecode("a+b%26c%d5%C5%4%zz%", true), "a b&c\xD5\xC5%4%zz%");
  EXPECT_EQ(PercentDecode("a+b%2F", false), "a+b/");
}

}  // namespace
}  // namespace vesk::tools
