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
  if (result.entries == nullptr || result.contentCount < 0 ||
      result.messageCount < 0 || result.advertisementCount < 0 ||
      result.messageOffset != result.contentCount * static_cast<int32_t>(sizeof(
                                                        ContentNotification)) ||
      result.advertisementOffset !=
          result.messageOffset +
              result.messageCount *
                  static_cast<int32_t>(sizeof(MessageNotification))) {
    abort();
  }
  // Every text field of every record ends inside its field.
  const uint8_t* at = result.entries;
  for (int32_t i = 0; i < result.contentCount;
       ++i, at += sizeof(ContentNotification)) {
    ContentNotification record;
    std::memcpy(&record, at, sizeof record);
    if (record.key[255] != 0 || record.title[255] != 0 ||
        record.text[1023] != 0 || record.mime[255] != 0) {
      abort();
    }
  }
  for (int32_t i = 0; i < result.advertisementCount; ++i) {
    AdvertisementNotification record;
    std::memcpy(&record,
                result.entries + result.advertisementOffset +
                    i * sizeof(AdvertisementNotification),
                sizeof record);
    if (record.media[255] != 0 || record.href[255] != 0) abort();
  }
  delete[] result.entries;
  return 0;
}
