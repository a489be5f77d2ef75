// Package extraction against the extractors people would otherwise use:
// the library's ExtractArchive, Info-ZIP `unzip -o -q` and `bsdtar -xf`, on
// the same archives, interleaved round by round, onto tmpfs (on a disk every
// tool waits for file creation). Two archives made by Info-ZIP zip: many
// small files (2,000 of about 4 KB) and a few large ones (four of 50 MB).
//
//   extract_bench [small rounds [large rounds [large megabytes]]]
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "platform/platform.h"
#include "transfer/transfer.h"

extern char** environ;

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

int Spawn(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) !=
      0) {
    Die(kProgram, "cannot start " + arguments[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// Makes the archive of a tree that fill() writes, with zip.
void MakeArchive(const fs::path& scratch, const std::string& name,
                 const std::function<void(const fs::path&)>& fill) {
  const fs::path tree = scratch / ("src-" + name);
  fill(tree);
  const std::string command = "cd '" + tree.string() + "' && zip -q -r ../" +
                              name + ".zip . && cd .. && rm -rf '" +
                              tree.string() + "'";
  if (std::system(command.c_str()) != 0) Die(kProgram, "zip failed");
}

struct Extractor {
  const char* name;
  std::vector<double> seconds;
};

// Extracts name.zip with every extractor, rounds times, interleaved and
// rotating who goes first; prints the medians and the library's ratios.
void Measure(const fs::path& scratch, const std::string& name, int rounds) {
  Extractor extractors[] = {{"library", {}}, {"unzip", {}}, {"bsdtar", {}}};
  const fs::path archive = scratch / (name + ".zip");
  std::pair<size_t, uintmax_t> expected{0, 0};
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 3; ++turn) {
      Extractor& extractor = extractors[(round + turn) % 3];
      const fs::path out = scratch / ("out-" + std::string(extractor.name));
      fs::remove_all(out);
      const std::string tool = extractor.name;
      const double seconds = bench::Seconds([&] {
        if (tool == "library") {
          const std::u16string archivePath =
              u"\\" + fs::path(archive).filename().u16string();
          const std::u16string target = u"\\out-library";
          if (vesk::transfer::ExtractArchive(archivePath.c_str(),
                                             target.c_str()) != 0) {
            Die(kProgram, "ExtractArchive failed");
          }
        } else if (tool == "unzip") {
          if (Spawn({"unzip", "-o", "-q", archive.string(), "-d",
                     out.string()}) != 0) {
            Die(kProgram, "unzip failed");
          }
        } else {
          fs::create_directory(out);
          if (Spawn({"bsdtar", "-xf", archive.string(), "-C", out.string()}) !=
              0) {
            Die(kProgram, "bsdtar failed");
          }
        }
      });
      extractor.seconds.push_back(seconds);
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
  const double library = Median(extractors[0].seconds);
  const double unzip = Median(extractors[1].seconds);
  const double bsdtar = Median(extractors[2].seconds);
  std::printf(
      "%-6s %zu files, %.1f MB: library %8.1f ms   unzip %8.1f ms   bsdtar "
      "%8.1f ms   library/unzip %.2f   library/bsdtar %.2f\n",
      name.c_str(), expected.first, expected.second / 1e6, library * 1e3,
      unzip * 1e3, bsdtar * 1e3, library / unzip, library / bsdtar);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
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
  Measure(scratch, "small", smallRounds);
  Measure(scratch, "large", largeRounds);
  fs::remove_all(scratch);
  return 0;
}
