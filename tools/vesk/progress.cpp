#include "tools/vesk/progress.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tools/common/text.h"

namespace vesk::tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(200);

int64_t FileSize(const std::string& hostPath) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return path;
  return buf;
}

// The read position of an open file of this process whose path is `real`,
// or -1 when the process has it not open.
int64_t OpenFilePosition(const std::string& real) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int64_t pos = -1;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (real != target) continue;
    std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
    std::string key;
    long long value = 0;
    while (info >> key >> value) {
      if (key == "pos:") {
        pos = value;
        break;
      }
    }
    break;
  }
  ::closedir(dir);
  return pos;
}

std::string FormatDuration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60,
                  s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  }
  return buf;
}

}  // namespace

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char buf[32];
  if (unit == 0) {
    std::snprintf(buf, sizeof buf, "%.0f B", bytes);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f %s", bytes, kUnits[unit]);
  }
  return buf;
}

std::string FormatProgress(const std::string& label, const ProgressSample& s,
                           double bytesPerSecond) {
  std::string line = label + "  " + FormatBytes(static_cast<double>(s.done));
  if (s.total >= 0) {
    line += " / " + FormatBytes(static_cast<double>(s.total));
    const double pct =
        s.total > 0 ? 100.0 * static_cast<double>(s.done) / s.total : 100.0;
    char buf[16];
    std::snprintf(buf, sizeof buf, "  %3.0f%%", pct > 100 ? 100 : pct);
    line += buf;
  }
  line += "  " + FormatBytes(bytesPerSecond) + "/s";
  if (s.total >= 0 && bytesPerSecond > 0 && s.done < s.total) {
    line +=
        "  " +
        FormatDuration(static_cast<double>(s.total - s.done) / bytesPerSecond) +
        " left";
  }
  return line;
}

int64_t StateFileSize(const std::string& stateHostPath) {
  std::ifstream in(stateHostPath, std::ios::binary);
  if (!in) return -1;
  const std::string bytes((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  // The state file is UTF-16LE.
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units +=
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                              static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  const std::string text = tools::Utf16ToUtf8(units);
  const std::string key = "File-Size: ";
  size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') {
      return std::strtoll(text.c_str() + at + key.size(), nullptr, 10);
    }
    at += key.size();
  }
  return -1;
}

ProgressSample SampleTransfer(const std::string& hostPath) {
  ProgressSample s;
  const int64_t data = FileSize(hostPath + ".Down");
  const int64_t state = StateFileSize(hostPath + ".Down.cfg");
  if (data >= 0) {
    s.done = data;
    s.total = state;
  } else if (const int64_t finished = FileSize(hostPath); finished >= 0) {
    s.done = finished;
    s.total = finished;
  }
  return s;
}

ProgressSample SampleUpload(const std::vector<std::string>& hostPaths,
                            const std::vector<int64_t>& sizes,
                            UploadWatch* watch) {
  ProgressSample s;
  s.total = 0;
  for (const int64_t size : sizes) s.total += size;
  int64_t before = 0;
  bool open = false;
  for (size_t i = 0; i < hostPaths.size(); ++i) {
    const int64_t pos = OpenFilePosition(RealPath(hostPaths[i]));
    if (pos >= 0) {
      s.done = before + (pos < sizes[i] ? pos : sizes[i]);
      watch->lastOpen = static_cast<int>(i);
      open = true;
      break;
    }
    before += sizes[i];
  }
  if (!open && watch->lastOpen >= 0) {
    for (int i = 0; i <= watch->lastOpen; ++i) s.done += sizes[i];
  }
  // The work never goes backwards.
  if (s.done < watch->lastDone) s.done = watch->lastDone;
  watch->lastDone = s.done;
  return s;
}

bool TerminalErases(const char* term) {
  return term != nullptr && *term != '\0' && std::string(term) != "dumb";
}

ProgressLine::ProgressLine(std::string label,
                           std::function<ProgressSample()> sample, bool enabled)
    : label_(std::move(label)),
      sample_(std::move(sample)),
      enabled_(enabled),
      erases_(TerminalErases(std::getenv("TERM"))) {
  if (!enabled_) return;
  first_ = sample_().done;
  thread_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  std::fputs(Erase().c_str(), stderr);
  std::fflush(stderr);
}

std::string ProgressLine::Erase() const {
  if (erases_) return "\r\x1b[K";
  return "\r" + std::string(drawn_, ' ') + "\r";
}

void ProgressLine::Run() {
  const auto start = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    const double elapsed =
        std::chrono::duration<double>(Clock::now() - start).count();
    Draw(sample_(), elapsed);
    if (stop_) break;
    wake_.wait_for(lock, kRedraw, [this] { return stop_; });
  }
}

void ProgressLine::Draw(const ProgressSample& s, double elapsed) {
  const int64_t gained = s.done > first_ ? s.done - first_ : 0;
  const double rate =
      elapsed > 0.05 ? static_cast<double>(gained) / elapsed : 0.0;
  const std::string text = FormatProgress(label_, s, rate);
  std::string line = "\r" + text;
  if (erases_) {
    line += "\x1b[K";
  } else if (text.size() < drawn_) {
    // Blanks over the rest of a longer line drawn before.
    line += std::string(drawn_ - text.size(), ' ');
  }
  drawn_ = std::max(drawn_, text.size());
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace vesk::tool
