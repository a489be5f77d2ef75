// Fuzz target: the input is the notification file a heartbeat stored; it
// goes through loading, the notification walk and into the caller's record,
// whose counts, offsets and array must agree.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/checks.h"
#include "heartbeat/heartbeat.h"
#include "tests/support/device_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const vesk::test::DeviceRoot root;
  vesk::test::WriteHostFile(
      root.Host("\\Storage Card\\savepush.xml"),
      std::string(reinterpret_cast<const char*>(data), size));
  HandsetBeatResult result{};
  vesk::heartbeat::ReadNotificationFile(&result);
  vesk::fuzz::CheckBeatRecords(result);
  delete[] result.entries;
  return 0;
}
