// The layout of every record of vesk80.h at run time, on the target the
// tests run on: as the C compiler and as the C++ compiler lay it out (they
// must agree, since hosts in either language pass the same records), and
// against the layout hosts were built against. The fields are 32-bit
// integers and UTF-16 arrays, so every offset is the same on every target
// but those after the heartbeat record's pointer: with 4-byte pointers
// (armhf) the record is 36 bytes, with 8-byte pointers (x86-64) 40. The
// table is printed, so that a run's log shows the layout of its target.
#include "tests/record_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace vesk {
namespace {

const VeskLayoutRow kCppLayout[] = {
    VESK_RECORD_LAYOUT(VESK_LAYOUT_RECORD, VESK_LAYOUT_FIELD)};

// Every record but the heartbeat's, the same with either pointer size.
const VeskLayoutRow kFixedLayout[] = {
    {"HandsetError", "", 0, 652, 4},
    {"HandsetError", "reserved", 0, 8, 0},
    {"HandsetError", "code", 8, 4, 0},
    {"HandsetError", "message", 12, 512, 0},
    {"HandsetError", "timestamp", 524, 128, 0},
    {"AccountInfoResult", "", 0, 628, 4},
    {"AccountInfoResult", "reserved", 0, 8, 0},
    {"AccountInfoResult", "accountId", 8, 4, 0},
    {"AccountInfoResult", "username", 12, 32, 0},
    {"AccountInfoResult", "email", 44, 512, 0},
    {"AccountInfoResult", "name", 556, 32, 0},
    {"AccountInfoResult", "province", 588, 32, 0},
    {"AccountInfoResult", "gender", 620, 4, 0},
    {"AccountInfoResult", "figure", 624, 4, 0},
    {"ContentNotification", "", 0, 3588, 4},
    {"ContentNotification", "key", 0, 512, 0},
    {"ContentNotification", "title", 512, 512, 0},
    {"ContentNotification", "text", 1024, 2048, 0},
    {"ContentNotification", "mime", 3072, 512, 0},
    {"ContentNotification", "size", 3584, 4, 0},
    {"MessageNotification", "", 0, 3072, 2},
    {"MessageNotification", "key", 0, 512, 0},
    {"MessageNotification", "title", 512, 512, 0},
    {"MessageNotification", "text", 1024, 2048, 0},
    {"AdvertisementNotification", "", 0, 4096, 2},
    {"AdvertisementNotification", "key", 0, 512, 0},
    {"AdvertisementNotification", "title", 512, 512, 0},
    {"AdvertisementNotification", "text", 1024, 2048, 0},
    {"AdvertisementNotification", "media", 3072, 512, 0},
    {"AdvertisementNotification", "href", 3584, 512, 0},
    {"DownloadRecord", "", 0, 656, 4},
    {"DownloadRecord", "reserved", 0, 8, 0},
    {"DownloadRecord", "contentKey", 8, 512, 0},
    {"DownloadRecord", "offset", 520, 4, 0},
    {"DownloadRecord", "rangeEnd", 524, 4, 0},
    {"DownloadRecord", "partialChecksum", 528, 128, 0},
    {"DownloadResult", "", 0, 532, 4},
    {"DownloadResult", "reserved", 0, 8, 0},
    {"DownloadResult", "rangeStart", 8, 4, 0},
    {"DownloadResult", "received", 12, 4, 0},
    {"DownloadResult", "fileSize", 16, 4, 0},
    {"DownloadResult", "checksum", 20, 512, 0},
    {"LoadRecord", "", 0, 1060, 4},
    {"LoadRecord", "reserved", 0, 8, 0},
    {"LoadRecord", "offset", 8, 4, 0},
    {"LoadRecord", "rangeEnd", 12, 4, 0},
    {"LoadRecord", "archivePath", 16, 520, 0},
    {"LoadRecord", "targetDirectory", 536, 520, 0},
    {"LoadRecord", "deleteArchive", 1056, 1, 0},
    {"LoadResult", "", 0, 20, 4},
    {"LoadResult", "reserved", 0, 8, 0},
    {"LoadResult", "rangeStart", 8, 4, 0},
    {"LoadResult", "received", 12, 4, 0},
    {"LoadResult", "fileSize", 16, 4, 0},
    {"SaveEntry", "", 0, 536, 2},
    {"SaveEntry", "path", 0, 520, 0},
    {"SaveEntry", "action", 520, 16, 0},
    {"HandsetSaveInput", "", 0, 4836, 4},
    {"HandsetSaveInput", "reserved", 0, 8, 0},
    {"HandsetSaveInput", "count", 8, 4, 0},
    {"HandsetSaveInput", "entries", 12, 4824, 0},
    {"HandsetActivateInput", "", 0, 2748, 4},
    {"HandsetActivateInput", "reserved", 0, 8, 0},
    {"HandsetActivateInput", "mode", 8, 4, 0},
    {"HandsetActivateInput", "userAgent", 12, 512, 0},
    {"HandsetActivateInput", "userSerial", 524, 512, 0},
    {"HandsetActivateInput", "username", 1036, 32, 0},
    {"HandsetActivateInput", "password", 1068, 512, 0},
    {"HandsetActivateInput", "name", 1580, 32, 0},
    {"HandsetActivateInput", "email", 1612, 512, 0},
    {"HandsetActivateInput", "province", 2124, 32, 0},
    {"HandsetActivateInput", "validation", 2156, 32, 0},
    {"HandsetActivateInput", "bom", 2188, 32, 0},
    {"HandsetActivateInput", "environmentPath", 2220, 520, 0},
    {"HandsetActivateInput", "gender", 2740, 4, 0},
    {"HandsetActivateInput", "figure", 2744, 4, 0},
    {"HandsetActivateResult", "", 0, 696, 4},
    {"HandsetActivateResult", "reserved", 0, 8, 0},
    {"HandsetActivateResult", "userId", 8, 4, 0},
    {"HandsetActivateResult", "userNo", 12, 4, 0},
    {"HandsetActivateResult", "username", 16, 32, 0},
    {"HandsetActivateResult", "email", 48, 512, 0},
    {"HandsetActivateResult", "name", 560, 32, 0},
    {"HandsetActivateResult", "province", 592, 32, 0},
    {"HandsetActivateResult", "gender", 624, 4, 0},
    {"HandsetActivateResult", "figure", 628, 4, 0},
    {"HandsetActivateResult", "serverDate", 632, 64, 0},
};

// The heartbeat record with 4-byte pointers (armhf, the handsets' own).
const VeskLayoutRow kBeatLayout32[] = {
    {"HandsetBeatResult", "", 0, 36, 4},
    {"HandsetBeatResult", "reserved", 0, 8, 0},
    {"HandsetBeatResult", "total", 8, 4, 0},
    {"HandsetBeatResult", "contentCount", 12, 4, 0},
    {"HandsetBeatResult", "messageCount", 16, 4, 0},
    {"HandsetBeatResult", "advertisementCount", 20, 4, 0},
    {"HandsetBeatResult", "entries", 24, 4, 0},
    {"HandsetBeatResult", "messageOffset", 28, 4, 0},
    {"HandsetBeatResult", "advertisementOffset", 32, 4, 0},
};

// The heartbeat record with 8-byte pointers (x86-64): the pointer is
// aligned to 8, and so is the record, which ends in 4 bytes of padding.
const VeskLayoutRow kBeatLayout64[] = {
    {"HandsetBeatResult", "", 0, 40, 8},
    {"HandsetBeatResult", "reserved", 0, 8, 0},
    {"HandsetBeatResult", "total", 8, 4, 0},
    {"HandsetBeatResult", "contentCount", 12, 4, 0},
    {"HandsetBeatResult", "messageCount", 16, 4, 0},
    {"HandsetBeatResult", "advertisementCount", 20, 4, 0},
    {"HandsetBeatResult", "entries", 24, 8, 0},
    {"HandsetBeatResult", "messageOffset", 32, 4, 0},
    {"HandsetBeatResult", "advertisementOffset", 36, 4, 0},
};

std::string Describe(const VeskLayoutRow& row) {
  char line[160];
  if (row.field[0] == '\0') {
    std::snprintf(line, sizeof line, "%s: size %zu, alignment %zu", row.record,
                  row.size, row.alignment);
  } else {
    std::snprintf(line, sizeof line, "%s.%s: offset %zu, size %zu", row.record,
                  row.field, row.offset, row.size);
  }
  return line;
}

std::vector<std::string> Describe(const VeskLayoutRow* rows, size_t count) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) lines.push_back(Describe(rows[i]));
  return lines;
}

// The expected rows for this target, in the order of the list.
std::vector<std::string> Expected() {
  std::vector<VeskLayoutRow> known(std::begin(kFixedLayout),
                                   std::end(kFixedLayout));
  if (sizeof(void*) == 4) {
    known.insert(known.end(), std::begin(kBeatLayout32),
                 std::end(kBeatLayout32));
  } else {
    known.insert(known.end(), std::begin(kBeatLayout64),
                 std::end(kBeatLayout64));
  }
  std::vector<std::string> lines;
  for (const VeskLayoutRow& row : kCppLayout) {
    std::string line = std::string(row.record) + "." + row.field + ": unknown";
    for (const VeskLayoutRow& expected : known) {
      if (std::strcmp(expected.record, row.record) == 0 &&
          std::strcmp(expected.field, row.field) == 0) {
        line = Describe(expected);
      }
    }
    lines.push_back(line);
  }
  return lines;
}

TEST(RecordLayout, CAndCppAgreeWithTheHandsetLayout) {
  ASSERT_TRUE(sizeof(void*) == 4 || sizeof(void*) == 8);
  const std::vector<std::string> cpp =
      Describe(kCppLayout, std::size(kCppLayout));
  const std::vector<std::string> c =
      Describe(vesk_c_layout, vesk_c_layout_rows);
  std::printf("record layout with %zu-byte pointers:\n", sizeof(void*));
  for (const std::string& line : cpp) std::printf("  %s\n", line.c_str());

  EXPECT_EQ(c, cpp) << "the C and the C++ compiler lay the records out "
                       "differently";
  EXPECT_EQ(cpp, Expected());
  // Every expected row is in the list: a field missing from it is noticed.
  EXPECT_EQ(std::size(kCppLayout),
            std::size(kFixedLayout) + std::size(kBeatLayout32));
}

}  // namespace
}  // namespace vesk
