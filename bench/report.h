// What every benchmark reports besides its own printout: one JSON line per
// figure, appended to the file that VESK_BENCH_RESULTS names (bench/run sets
// it and assembles the lines into results.json, the table and the chart).
// Also the peak-memory probe that the memory rows use: a case runs in a
// child process (the benchmark binary started again with --memory-child) and
// reports how far its resident set grew over the baseline it started with.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

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

inline std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

inline std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// The ratio in the row's orientation.
inline double Ratio(const Row& row) {
  return row.yardstick == 0 ? NAN : row.library / row.yardstick;
}

// Appends the row to the results file, when there is one.
inline void Report(const Row& row) {
  const char* file = std::getenv("VESK_BENCH_RESULTS");
  if (file == nullptr || *file == '\0') return;
  const double ratio = Ratio(row);
  const bool larger = row.orientation == Orientation::kThroughput;
  std::string line =
      "{\"bench\":" + JsonText(row.bench) + ",\"path\":" + JsonText(row.path) +
      ",\"reference\":" + JsonText(row.reference) +
      ",\"library\":" + JsonNumber(row.library) +
      ",\"yardstick\":" + JsonNumber(row.yardstick) +
      ",\"unit\":" + JsonText(row.unit) + ",\"orientation\":" +
      JsonText(row.orientation == Orientation::kThroughput ? "throughput"
               : row.orientation == Orientation::kTime     ? "time"
                                                           : "memory") +
      ",\"ratio\":" + JsonNumber(ratio);
  if (row.goal > 0) {
    const bool met = larger ? ratio >= row.goal : ratio <= row.goal;
    line += ",\"goal\":" + JsonNumber(row.goal) +
            ",\"goal_op\":" + JsonText(larger ? ">=" : "<=") +
            ",\"met\":" + (met ? "true" : "false");
  } else {
    line += ",\"goal\":null,\"goal_op\":null,\"met\":null";
  }
  line += ",\"note\":" + JsonText(row.note) + "}\n";
  std::FILE* out = std::fopen(file, "a");
  if (out == nullptr) return;
  std::fputs(line.c_str(), out);
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
  std::vector<std::string> all = {"bench", "--memory-child"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid = 0;
  const int started = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr,
                                  argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string out;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    out.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipeFds[0]);
  if (started != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) return -1;
  return std::atoll(out.c_str());
}

}  // namespace bench
