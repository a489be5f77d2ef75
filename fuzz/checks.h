// What the fuzz targets check after a call: every text of a record ends
// inside its field, a heartbeat record's counts and offsets agree, and the
// device root holds only the paths the call was given. A violation aborts,
// which the fuzzer reports.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "service/vesk80.h"

namespace vesk::fuzz {

template <size_t N>
void CheckEnds(const char16_t (&field)[N]) {
  if (field[N - 1] != 0) abort();
}

// The record at `offset` bytes plus `index` records into the array.
template <typename Record>
Record At(const HandsetBeatResult& result, int32_t offset, int32_t index) {
  Record record;
  std::memcpy(&record, result.entries + offset + index * sizeof record,
              sizeof record);
  return record;
}

inline void CheckBeatRecords(const HandsetBeatResult& r) {
  const int32_t messages =
      r.contentCount * static_cast<int32_t>(sizeof(ContentNotification));
  const int32_t ads =
      messages +
      r.messageCount * static_cast<int32_t>(sizeof(MessageNotification));
  if (r.entries == nullptr || r.contentCount < 0 || r.messageCount < 0 ||
      r.advertisementCount < 0 || r.messageOffset != messages ||
      r.advertisementOffset != ads) {
    abort();
  }
  for (int32_t i = 0; i < r.contentCount; ++i) {
    const auto c = At<ContentNotification>(r, 0, i);
    CheckEnds(c.key), CheckEnds(c.title), CheckEnds(c.text), CheckEnds(c.mime);
  }
  for (int32_t i = 0; i < r.messageCount; ++i) {
    const auto m = At<MessageNotification>(r, messages, i);
    CheckEnds(m.key), CheckEnds(m.title), CheckEnds(m.text);
  }
  for (int32_t i = 0; i < r.advertisementCount; ++i) {
    const auto a = At<AdvertisementNotification>(r, ads, i);
    CheckEnds(a.key), CheckEnds(a.title), CheckEnds(a.text), CheckEnds(a.media),
        CheckEnds(a.href);
  }
}

// Everything under root is one of the allowed paths (relative to root) or
// inside the directory `inside`.
inline void CheckOnly(const std::string& root,
                      const std::set<std::string>& allowed,
                      const std::string& inside) {
  namespace fs = std::filesystem;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string path = item.path().string().substr(root.size() + 1);
    if (allowed.count(path) == 0 && path != inside &&
        path.compare(0, inside.size() + 1, inside + "/") != 0) {
      std::fprintf(stderr, "written outside the given paths: %s\n",
                   path.c_str());
      abort();
    }
  }
}

}  // namespace vesk::fuzz
