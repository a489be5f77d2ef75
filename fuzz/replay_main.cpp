// Runs a fuzz target over files, without the fuzzing engine: each argument
// is a file or a directory whose regular files are read in name order. The
// committed seed corpus replays this way as an ordinary test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code notDirectory;
    for (const auto& entry : fs::directory_iterator(argv[i], notDirectory)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (notDirectory) files.emplace_back(argv[i]);
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (!in) return std::fprintf(stderr, "cannot read %s\n", file.c_str()), 1;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return files.empty();
}
