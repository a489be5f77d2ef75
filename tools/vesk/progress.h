// The progress line of a long call. The library call blocks, so a second
// thread watches what the call leaves on disk and redraws one line on
// standard error: for a transfer to host path P, the growing data file
// P + ".Down", the full size from its state file P + ".Down.cfg", and the
// finished file P; for an upload, the read position of the file the library
// is sending (from /proc/self/fdinfo).
#ifndef VESK_TOOLS_VESK_PROGRESS_H_
#define VESK_TOOLS_VESK_PROGRESS_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesk::tool {

// One snapshot of the work: bytes done and the full size (-1: unknown).
struct ProgressSample {
  int64_t done = 0;
  int64_t total = -1;
};

// The line for a sample: label, bytes, percentage when the size is known,
// rate, and time left when both the size and a rate are known.
std::string FormatProgress(const std::string& label, const ProgressSample& s,
                           double bytesPerSecond);
// "512 B", "12.3 KiB", "4.0 MiB", ...
std::string FormatBytes(double bytes);

// What a transfer to host path P shows: the data file's size (or the
// finished file's, once it is there) and the "File-Size" of the state file.
ProgressSample SampleTransfer(const std::string& hostPath);
// The value of the "File-Size" line of a state file (UTF-16LE lines); -1
// when the file or the line is missing.
int64_t StateFileSize(const std::string& stateHostPath);

// An upload of the given host files (size each, in sending order), with the
// position of the one being read now. The library sends the files in order,
// so a file that was open and is closed again has been read whole.
struct UploadWatch {
  int64_t lastDone = 0;
  int lastOpen = -1;  // index of the last file seen open
};
ProgressSample SampleUpload(const std::vector<std::string>& hostPaths,
                            const std::vector<int64_t>& sizes,
                            UploadWatch* watch);

// Whether a terminal of this TERM clears to the end of the line with
// ESC [ K: not when TERM is unset, empty or "dumb", where the line is
// blanked with spaces instead.
bool TerminalErases(const char* term);

class ProgressLine {
 public:
  // Draws only when `enabled` (the caller passes isatty(2) && !--quiet).
  ProgressLine(std::string label, std::function<ProgressSample()> sample,
               bool enabled);
  // Stops the thread, draws the last state once and erases the line.
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Run();
  void Draw(const ProgressSample& s, double elapsed);
  std::string Erase() const;

  std::string label_;
  std::function<ProgressSample()> sample_;
  bool enabled_;
  bool erases_;         // the terminal knows ESC [ K
  size_t drawn_ = 0;    // the widest line drawn so far
  int64_t first_ = -1;  // bytes already there when the work began
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_PROGRESS_H_
