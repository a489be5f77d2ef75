// Fuzz target: the input is the notification file a heartbeat stored; it
// goes through loading, the notification walk and into the caller's record,
// whose counts, offsets and array must agree.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/beat_records.h"
#include "heartbeat/heartbeat.h"

namespace {

// A device root of the fuzzer's own, made once for the process.
const std::string& NotificationFile() {
  static const std::string file = [] {
    char root[] = "/tmp/vesk-fuzz-beat-XXXXXX";
    if (mkdtemp(root) == nullptr) abort();
    setenv("VESK_DEVICE_ROOT", root, 1);
    const std::string card = std::string(root) + "/Storage Card";
    mkdir(card.c_str(), 0777);
    return card + "/savepush.xml";
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(NotificationFile().c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);

  HandsetBeatResult result{};
  vesk::heartbeat::ReadNotificationFile(&result);
  vesk::fuzz::CheckBeatRecords(result);
  delete[] result.entries;
  return 0;
}
