// What every benchmark reports besides its own printout: one JSON line per
// figure, appended to the file that VESK_BENCH_RESULTS names (bench/run sets
// it and assembles the lines into results.json, the table and the chart).
// Also the peak-memory probe that the memory rows use: a case runs in a
// child process (the benchmark binary started again with --memory-child) and
// reports how far its resident set grew over the baseline it started with.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/common/process.h"

namespace bench {

// How a ratio reads: a throughput ratio (library rate / reference rate) is
// better when larger, a time ratio (library time / reference time) and a
// memory ratio (growth / bytes moved) are better when smaller.
enum class Orientation { kThroughput, kTime, kMemory };

struct Row {
  std::string bench;      // the benchmark that measured it: "download", ...
  std::string path;       // the hot path, short: "download vs recv loop"
  std::string reference;  // what it is measured against
  double library = 0;     // the library's median (or its growth in bytes)
  double yardstick = 0;   // the reference's median (or the bytes moved)
  std::string unit;       // "MB/s", "ms", "bytes"
  Orientation orientation = Orientation::kThroughput;
  double goal = 0;  // 0: no goal, the row is reported beside the others
  std::string note;
};

// The ratio in the row's orientation.
inline double Ratio(const Row& row) {
  return row.yardstick == 0 ? NAN : row.library / row.yardstick;
}

// A figure for the results file, to six significant digits; null when it is
// not a number.
inline nlohmann::ordered_json Figure(double value) {
  if (!std::isfinite(value)) return nullptr;
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return std::strtod(text, nullptr);
}

// Appends the row to the results file, when there is one: one JSON object
// per line.
inline void Report(const Row& row) {
  const char* file = std::getenv("VESK_BENCH_RESULTS");
  if (file == nullptr || *file == '\0') return;
  const double ratio = Ratio(row);
  const bool larger = row.orientation == Orientation::kThroughput;
  nlohmann::ordered_json line = {
      {"bench", row.bench},
      {"path", row.path},
      {"reference", row.reference},
      {"library", Figure(row.library)},
      {"yardstick", Figure(row.yardstick)},
      {"unit", row.unit},
      {"orientation", row.orientation == Orientation::kThroughput ? "throughput"
                      : row.orientation == Orientation::kTime     ? "time"
                                                                  : "memory"},
      {"ratio", Figure(ratio)},
      {"goal", nullptr},
      {"goal_op", nullptr},
      {"met", nullptr},
      {"note", row.note}};
  if (row.goal > 0) {
    line["goal"] = row.goal;
    line["goal_op"] = larger ? ">=" : "<=";
    line["met"] = larger ? ratio >= row.goal : ratio <= row.goal;
  }
  std::FILE* out = std::fopen(file, "a");
  if (out == nullptr) return;
  std::fputs((line.dump() + "\n").c_str(), out);
  std::fclose(out);
}

// ---------------------------------------------------------------------------
// CPU time

// The CPU time the calling thread has used, in seconds: its user and system
// time (page faults and system calls included), not the time it waited for
// a core. The CPU-bound benchmarks (RSA, XML) measure with it, so that a
// machine shared with other work skews their ratios less than wall time
// would.
inline double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// ---------------------------------------------------------------------------
// Peak memory

// A "Vm..." figure of /proc/self/status in bytes; 0 when missing.
inline long long StatusBytes(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  long long kilobytes = 0;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      kilobytes = std::atoll(line + length + 1);
      break;
    }
  }
  std::fclose(status);
  return kilobytes * 1024;
}

// In the child: runs the case and prints how far the peak resident set rose
// above the resident set before it. The peak mark is reset first where the
// kernel allows it, so that start-up does not count.
template <typename F>
int MemoryChild(F&& work) {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
  if (fd >= 0) {
    (void)!::write(fd, "5", 1);
    ::close(fd);
  }
  const long long before = StatusBytes("VmRSS");
  if (!work()) return 1;
  const long long peak = StatusBytes("VmHWM");
  std::printf("%lld\n", peak > before ? peak - before : 0);
  return 0;
}

// In the parent: starts this program again as
// "<self> --memory-child <arguments...>" and returns the growth it printed;
// -1 when the child failed.
inline long long MeasureInChild(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"/proc/self/exe", "--memory-child"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string out;
  if (vesk::tools::RunToEnd(argv, &out) != 0 || out.empty()) return -1;
  return std::atoll(out.c_str());
}

}  // namespace bench
