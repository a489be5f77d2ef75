// Fuzz target: the input is a package as it would arrive at the archive
// path; ExtractArchive unpacks it into a target directory two levels below
// a fresh device root. Whatever the bytes, nothing may appear in the device
// root outside that directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/checks.h"
#include "tests/support/device_root.h"
#include "transfer/transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The "unzip fail" lines of failing entries are not wanted here.
  static FILE* quiet = std::freopen("/dev/null", "w", stdout);
  if (quiet == nullptr) abort();
  const vesk::test::DeviceRoot root;
  vesk::test::WriteHostFile(
      root.Host("\\in.zip"),
      std::string(reinterpret_cast<const char*>(data), size));
  vesk::test::WriteHostFile(root.Host("\\a\\b\\keep"), "");
  // The target's parent exists, so the target can always be made.
  if (vesk::transfer::ExtractArchive(u"\\in.zip", u"\\a\\b\\out") != 0) abort();
  vesk::fuzz::CheckOnly(
      root.path(),
      {"in.zip", "a", "a/b", "a/b/keep", "Storage Card", "PocketDisk1"},
      "a/b/out");
  return 0;
}
