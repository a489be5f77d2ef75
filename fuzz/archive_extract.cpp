// Fuzz target: the input is a package as it would arrive at the archive
// path; ExtractArchive unpacks it into a scratch target directory two levels
// below the device root. Whatever the bytes, nothing may appear in the
// device root outside that directory, and the directory is emptied after
// every input.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "transfer/transfer.h"

namespace {

namespace fs = std::filesystem;

// A device root of the fuzzer's own, made once for the process.
const fs::path& Root() {
  static const fs::path root = [] {
    char pattern[] = "/tmp/vesk-fuzz-zip-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    setenv("VESK_DEVICE_ROOT", pattern, 1);
    fs::create_directories(fs::path(pattern) / "a" / "b");
    // The "unzip fail" lines of failing entries are not wanted here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
    return fs::path(pattern);
  }();
  return root;
}

// Everything under the device root must be the archive, a, a/b, or inside
// a/b/out.
void CheckNothingOutside(const fs::path& root) {
  const fs::path out = root / "a" / "b" / "out";
  for (auto item = fs::recursive_directory_iterator(root);
       item != fs::recursive_directory_iterator(); ++item) {
    const fs::path& path = item->path();
    if (path == root / "in.zip" || path == root / "a" ||
        path == root / "a" / "b" || path == out) {
      continue;
    }
    const std::string text = path.string();
    if (text.compare(0, out.string().size() + 1, out.string() + "/") != 0) {
      std::fprintf(stderr, "written outside the target: %s\n", text.c_str());
      abort();
    }
  }
}

// Removes the extracted tree, read-only files and directories included.
void Clear(const fs::path& dir) {
  std::error_code error;
  for (auto item = fs::recursive_directory_iterator(dir, error);
       item != fs::recursive_directory_iterator(); item.increment(error)) {
    chmod(item->path().c_str(), item->is_directory() ? 0755 : 0644);
  }
  fs::remove_all(dir, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& root = Root();
  FILE* file = std::fopen((root / "in.zip").c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);

  const int32_t result =
      vesk::transfer::ExtractArchive(u"\\in.zip", u"\\a\\b\\out");
  if (result != 0) abort();  // the target's parent exists: it can be made
  CheckNothingOutside(root);
  Clear(root / "a" / "b" / "out");
  return 0;
}
