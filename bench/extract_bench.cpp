// Package extraction against the extractors people would otherwise use:
// the library's ExtractArchive, Info-ZIP `unzip -o -q` and `bsdtar -xf`, on
// the same archives, interleaved round by round, onto tmpfs (on a disk every
// tool waits for file creation). Two archives made by Info-ZIP zip: many
// small files (2,000 of about 4 KB) and a few large ones (four of 50 MB).
// Times on the wall and in CPU time; the reported rows use CPU time (see
// Measure). Then the peak memory of extracting the large archive, in a child
// process.
// The figures are reported too (bench/report.h).
//
//   extract_bench [small rounds [large rounds [large megabytes]]]
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/loopback.h"
#include "bench/report.h"
#include "platform/platform.h"
#include "tools/common/process.h"
#include "tools/common/text.h"
#include "transfer/transfer.h"

namespace {

namespace fs = std::filesystem;
using bench::Die;
using bench::Median;

constexpr char kProgram[] = "extract_bench";

// Text-like bytes: words of a small vocabulary, so that deflate does the
// work it does on real packages (about 3:1).
std::string Words(size_t size, std::mt19937& random) {
  static const char* const kWords[] = {
      "content", "handset",  "service", "package", "notification",
      "account", "download", "resume",  "archive", "entry",
      "<item>",  "</item>",  "0x3f",    "1024",    "storage",
      "card",    "\n",       "=",       "key",     "value"};
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) {
    text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
    text += (random() % 7 == 0) ? '\n' : ' ';
    if (random() % 5 == 0) text += std::to_string(random() % 100000);
  }
  text.resize(size);
  return text;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Die(kProgram, "cannot write " + path.string());
}

// User and system time of this process's children that have ended.
double ChildrenCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Runs the program and waits for it; its exit status, and in *cpuSeconds the
// user and system time it used (it is the only child that ends meanwhile).
int Run(const std::vector<std::string>& argv, double* cpuSeconds) {
  const double before = ChildrenCpuSeconds();
  const int status = vesk::tools::RunToEnd(argv);
  *cpuSeconds = ChildrenCpuSeconds() - before;
  return status;
}

// Files and bytes under dir.
std::pair<size_t, uintmax_t> Count(const fs::path& dir) {
  size_t files = 0;
  uintmax_t bytes = 0;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    if (item.is_regular_file()) {
      ++files;
      bytes += item.file_size();
    }
  }
  return {files, bytes};
}

// Makes scratch/name.zip of a tree that fill() writes, with zip run in the
// tree so that the entries' names are relative to it.
void MakeArchive(const fs::path& scratch, const std::string& name,
                 const std::function<void(const fs::path&)>& fill) {
  const fs::path tree = scratch / ("src-" + name);
  fill(tree);
  const int status = vesk::tools::RunToEnd(
      {"zip", "-q", "-r", (scratch / (name + ".zip")).string(), "."}, nullptr,
      {"", tree.string()});
  if (status != 0) Die(kProgram, "zip failed");
  fs::remove_all(tree);
}

struct Extractor {
  const char* name;
  std::vector<double> seconds;  // on the wall
  std::vector<double> cpu;      // user and system time of the extractor
};

struct Medians {
  double library, unzip, bsdtar;  // CPU seconds
  uintmax_t bytes;                // extracted
};

// Extracts name.zip with every extractor, rounds times, interleaved and
// rotating who goes first; prints the medians and the library's ratios, on
// the wall and in CPU time (the library's thread, the tool's process). Every
// extractor works on one thread and waits for nothing on tmpfs, so the CPU
// time is its whole work, and it is what a shared machine skews least: the
// reported rows use it.
Medians Measure(const fs::path& scratch, const std::string& name, int rounds) {
  Extractor extractors[] = {
      {"library", {}, {}}, {"unzip", {}, {}}, {"bsdtar", {}, {}}};
  const fs::path archive = scratch / (name + ".zip");
  std::pair<size_t, uintmax_t> expected{0, 0};
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 3; ++turn) {
      Extractor& extractor = extractors[(round + turn) % 3];
      const fs::path out = scratch / ("out-" + std::string(extractor.name));
      fs::remove_all(out);
      const std::string tool = extractor.name;
      double cpu = 0;
      const double seconds = bench::Seconds([&] {
        if (tool == "library") {
          const double start = bench::ThreadCpuSeconds();
          const std::u16string archivePath =
              u"\\" + vesk::tools::Utf8ToUtf16(archive.filename().string());
          const std::u16string target = u"\\out-library";
          if (vesk::transfer::ExtractArchive(archivePath.c_str(),
                                             target.c_str()) != 0) {
            Die(kProgram, "ExtractArchive failed");
          }
          cpu = bench::ThreadCpuSeconds() - start;
        } else if (tool == "unzip") {
          if (Run({"unzip", "-o", "-q", archive.string(), "-d", out.string()},
                  &cpu) != 0) {
            Die(kProgram, "unzip failed");
          }
        } else {
          fs::create_directory(out);
          if (Run({"bsdtar", "-xf", archive.string(), "-C", out.string()},
                  &cpu) != 0) {
            Die(kProgram, "bsdtar failed");
          }
        }
      });
      extractor.seconds.push_back(seconds);
      extractor.cpu.push_back(cpu);
      // Every extractor must make the same files.
      const auto counted = Count(out);
      if (expected.first == 0) expected = counted;
      if (counted != expected) {
        Die(kProgram, tool + " extracted " + std::to_string(counted.first) +
                          " files, others " + std::to_string(expected.first));
      }
      fs::remove_all(out);
    }
  }
  std::printf("%-6s %zu files, %.1f MB\n", name.c_str(), expected.first,
              expected.second / 1e6);
  for (const bool onWall : {true, false}) {
    double median[3];
    for (int i = 0; i < 3; ++i) {
      median[i] = Median(onWall ? extractors[i].seconds : extractors[i].cpu);
    }
    std::printf(
        "  %-5s library %8.1f ms   unzip %8.1f ms   bsdtar %8.1f ms   "
        "library/unzip %.2f   library/bsdtar %.2f\n",
        onWall ? "wall" : "cpu", median[0] * 1e3, median[1] * 1e3,
        median[2] * 1e3, median[0] / median[1], median[0] / median[2]);
  }
  std::fflush(stdout);
  return {Median(extractors[0].cpu), Median(extractors[1].cpu),
          Median(extractors[2].cpu), expected.second};
}

// --memory-child ARCHIVE TARGET (handset paths): one extraction in a process
// of its own; prints the growth of its peak resident set.
int MemoryChild(char** argv) {
  const std::u16string archive = vesk::tools::Utf8ToUtf16(argv[2]);
  const std::u16string target = vesk::tools::Utf8ToUtf16(argv[3]);
  return bench::MemoryChild([&] {
    return vesk::transfer::ExtractArchive(archive.c_str(), target.c_str()) == 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--memory-child") {
    return MemoryChild(argv);
  }
  const int smallRounds = argc > 1 ? std::atoi(argv[1]) : 9;
  const int largeRounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const size_t largeMegabytes = argc > 3 ? std::atoi(argv[3]) : 50;
  if (smallRounds < 1 || largeRounds < 1 || largeMegabytes < 1) {
    Die(kProgram, "usage: extract_bench [small rounds [large rounds [MB]]]");
  }
  char pattern[] = "/dev/shm/vesk-extract-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Die(kProgram, "no scratch directory");
  const fs::path scratch = pattern;
  setenv("VESK_DEVICE_ROOT", scratch.c_str(), 1);

  std::mt19937 random(80);
  MakeArchive(scratch, "small", [&](const fs::path& tree) {
    for (int i = 0; i < 2000; ++i) {
      WriteFile(tree / ("d" + std::to_string(i % 20)) /
                    ("f" + std::to_string(i) + ".txt"),
                Words(3072 + random() % 2048, random));
    }
  });
  MakeArchive(scratch, "large", [&](const fs::path& tree) {
    for (int i = 0; i < 4; ++i) {
      WriteFile(tree / ("big" + std::to_string(i) + ".dat"),
                Words(largeMegabytes << 20, random));
    }
  });
  std::printf("extraction onto tmpfs, medians of %d / %d interleaved rounds\n",
              smallRounds, largeRounds);
  const Medians small = Measure(scratch, "small", smallRounds);
  const Medians large = Measure(scratch, "large", largeRounds);
  const long long growth =
      bench::MeasureInChild({"\\large.zip", "\\out-memory"});
  std::printf(
      "peak memory of the large extraction: %+.1f MB for %.1f MB "
      "(%.4f of the size)\n",
      growth / 1e6, large.bytes / 1e6,
      growth / static_cast<double>(large.bytes));
  fs::remove_all(scratch);

  using bench::Orientation;
  const std::string smallNote = "2,000 files onto tmpfs, CPU time";
  const std::string largeNote =
      "4 x " + std::to_string(largeMegabytes) + " MiB onto tmpfs, CPU time";
  bench::Report({"extract", "extraction, small files", "bsdtar -xf",
                 small.library * 1e3, small.bsdtar * 1e3, "ms",
                 Orientation::kTime, 1.0, smallNote});
  bench::Report({"extract", "extraction, small files", "unzip -o -q",
                 small.library * 1e3, small.unzip * 1e3, "ms",
                 Orientation::kTime, 0, smallNote});
  bench::Report({"extract", "extraction, large files", "unzip -o -q",
                 large.library * 1e3, large.unzip * 1e3, "ms",
                 Orientation::kTime, 0.7, largeNote});
  bench::Report({"extract", "extraction, large files", "bsdtar -xf",
                 large.library * 1e3, large.bsdtar * 1e3, "ms",
                 Orientation::kTime, 1.2, largeNote});
  bench::Report({"memory", "memory: extraction", "bytes extracted",
                 static_cast<double>(growth), static_cast<double>(large.bytes),
                 "bytes", Orientation::kMemory, 0.1,
                 growth < 0 ? "child failed" : "peak RSS growth"});
  return growth < 0 ? 1 : 0;
}
