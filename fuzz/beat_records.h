// What every fuzz target that ends in a heartbeat record checks: the counts
// and offsets agree, and every text of every notification ends inside its
// field. A violation aborts, which the fuzzer reports.
#pragma once

#include <cstdlib>
#include <cstring>

#include "service/vesk80.h"

namespace vesk::fuzz {

template <size_t N>
void CheckEnds(const char16_t (&field)[N]) {
  if (field[N - 1] != 0) abort();
}

inline void CheckBeatRecords(const HandsetBeatResult& result) {
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
  for (int32_t i = 0; i < result.contentCount; ++i) {
    ContentNotification record;
    std::memcpy(&record, result.entries + i * sizeof record, sizeof record);
    CheckEnds(record.key), CheckEnds(record.title), CheckEnds(record.text),
        CheckEnds(record.mime);
  }
  for (int32_t i = 0; i < result.messageCount; ++i) {
    MessageNotification record;
    std::memcpy(&record,
                result.entries + result.messageOffset + i * sizeof record,
                sizeof record);
    CheckEnds(record.key), CheckEnds(record.title), CheckEnds(record.text);
  }
  for (int32_t i = 0; i < result.advertisementCount; ++i) {
    AdvertisementNotification record;
    std::memcpy(&record,
                result.entries + result.advertisementOffset + i * sizeof record,
                sizeof record);
    CheckEnds(record.key), CheckEnds(record.title), CheckEnds(record.text),
        CheckEnds(record.media), CheckEnds(record.href);
  }
}

}  // namespace vesk::fuzz
