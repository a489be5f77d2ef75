// Fuzz target: the input is the reply a loopback peer sends on every
// connection once it has read the library's request. Account information,
// heartbeat, download (confirming to the same peer) and package load run
// through the exports against it. After each call the records must hold
// terminated texts and agreeing counts, the device root must hold nothing
// but the paths given to the calls, and a finished download or archive must
// be as large as the result says.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/checks.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"

namespace {

using vesk::fuzz::CheckEnds;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char16_t kArchive[] = u"\\Storage Card\\p.zip";
const char16_t kTarget[] = u"\\Storage Card\\out";

// Checks the error and the device root after a call, and clears the error
// for the next one.
void Check(const vesk::test::DeviceRoot& root, HandsetError& error,
           const char* file = nullptr, int32_t fileSize = 0) {
  CheckEnds(error.message), CheckEnds(error.timestamp);
  error = HandsetError{};
  std::set<std::string> allowed = {"PocketDisk1", "PocketDisk1/handset.env",
                                   "Storage Card", "Storage Card/savepush.xml"};
  for (const char* name : {"f.bin", "p.zip"}) {
    for (const char* suffix : {"", ".Down", ".Down.cfg"}) {
      allowed.insert(std::string("Storage Card/") + name + suffix);
    }
  }
  vesk::fuzz::CheckOnly(root.path(), allowed, "Storage Card/out");
  std::error_code missing;
  const auto size =
      std::filesystem::file_size(root.Host(file ? file : ""), missing);
  if (file != nullptr && !missing && size != uintmax_t(fileSize)) {
    std::fprintf(stderr, "%s has %ju bytes, the result says %d\n", file, size,
                 fileSize);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The "unzip fail" lines of failing entries are not wanted here.
  static FILE* quiet = std::freopen("/dev/null", "w", stdout);
  if (quiet == nullptr || setenv("VESK_TIMEOUT_SECONDS", "2", 1) != 0) abort();
  const vesk::test::DeviceRoot root;
  vesk::test::WriteHandsetEnv(root);
  // More connections than the four calls make, retries and the download's
  // confirmation included.
  vesk::test::FakeServer peer(std::vector<vesk::test::Reply>(
      8,
      vesk::test::Raw(std::string(reinterpret_cast<const char*>(data), size))));
  const int32_t port = peer.port();
  HandsetError error{};

  AccountInfoResult account{};
  vesk_AccountInfo(kEnv, &account, &error, u"http://127.0.0.1/acct", port);
  CheckEnds(account.username), CheckEnds(account.email),
      CheckEnds(account.name), CheckEnds(account.province);
  Check(root, error);

  HandsetBeatResult beat{};
  if (vesk_HandsetBeat(kEnv, &beat, &error, u"http://127.0.0.1/beat", port) ==
      200) {
    vesk::fuzz::CheckBeatRecords(beat);
  }
  delete[] beat.entries;
  Check(root, error);

  DownloadRecord record{};
  std::memcpy(record.contentKey, u"c1", sizeof u"c1");
  DownloadResult download{};
  vesk_HandsetDownload(kEnv, &record, &download, &error,
                       u"\\Storage Card\\f.bin", u"http://127.0.0.1/download",
                       port, u"http://127.0.0.1/done", port);
  CheckEnds(record.partialChecksum), CheckEnds(download.checksum);
  Check(root, error, "\\Storage Card\\f.bin", download.fileSize);

  LoadRecord load{};
  std::memcpy(load.archivePath, kArchive, sizeof kArchive);
  std::memcpy(load.targetDirectory, kTarget, sizeof kTarget);
  LoadResult loaded{};
  vesk_HandsetLoad(kEnv, &load, &loaded, &error, u"http://127.0.0.1/load",
                   port);
  Check(root, error, "\\Storage Card\\p.zip", loaded.fileSize);
  return 0;
}
