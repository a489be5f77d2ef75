// The layout of every record of vesk80.h as the C and the C++ compiler lay
// it out on this target: both must agree with each other and with the
// layout hosts were built against. Only the heartbeat record holds a
// pointer, so only its later offsets and its size differ between 4-byte
// (armhf) and 8-byte (x86-64) pointers. The layout is printed, so that a
// run's log shows the layout of its target.
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

// One line per record: "Name size/alignment: field offset+size ...".
std::vector<std::string> Describe(const VeskLayoutRow* rows, size_t count) {
  std::vector<std::string> records;
  const char* record = "";
  for (size_t i = 0; i < count; ++i) {
    const VeskLayoutRow& row = rows[i];
    char part[160];
    if (row.field[0] == '\0') {
      record = row.record;
      std::snprintf(part, sizeof part, "%s %zu/%zu:", row.record, row.size,
                    row.alignment);
      records.emplace_back(part);
      continue;
    }
    std::snprintf(part, sizeof part, " %s%s%s %zu+%zu", row.field,
                  std::strcmp(row.record, record) == 0 ? "" : " of ",
                  std::strcmp(row.record, record) == 0 ? "" : row.record,
                  row.offset, row.size);
    if (records.empty()) records.emplace_back();
    records.back() += part;
  }
  return records;
}

TEST(RecordLayout, CAndCppAgreeWithTheHandsetLayout) {
  ASSERT_TRUE(sizeof(void*) == 4 || sizeof(void*) == 8);
  const bool wide = sizeof(void*) == 8;
  const std::vector<std::string> expected = {
      "HandsetError 652/4: reserved 0+8 code 8+4 message 12+512 "
      "timestamp 524+128",
      "AccountInfoResult 628/4: reserved 0+8 accountId 8+4 username 12+32 "
      "email 44+512 name 556+32 province 588+32 gender 620+4 figure 624+4",
      "ContentNotification 3588/4: key 0+512 title 512+512 text 1024+2048 "
      "mime 3072+512 size 3584+4",
      "MessageNotification 3072/2: key 0+512 title 512+512 text 1024+2048",
      "AdvertisementNotification 4096/2: key 0+512 title 512+512 "
      "text 1024+2048 media 3072+512 href 3584+512",
      // With 8-byte pointers the pointer and so the record align to 8, and
      // the record ends in 4 bytes of padding.
      wide ? "HandsetBeatResult 40/8: reserved 0+8 total 8+4 contentCount "
             "12+4 messageCount 16+4 advertisementCount 20+4 entries 24+8 "
             "messageOffset 32+4 advertisementOffset 36+4"
           : "HandsetBeatResult 36/4: reserved 0+8 total 8+4 contentCount "
             "12+4 messageCount 16+4 advertisementCount 20+4 entries 24+4 "
             "messageOffset 28+4 advertisementOffset 32+4",
      "DownloadRecord 656/4: reserved 0+8 contentKey 8+512 offset 520+4 "
      "rangeEnd 524+4 partialChecksum 528+128",
      "DownloadResult 532/4: reserved 0+8 rangeStart 8+4 received 12+4 "
      "fileSize 16+4 checksum 20+512",
      "LoadRecord 1060/4: reserved 0+8 offset 8+4 rangeEnd 12+4 "
      "archivePath 16+520 targetDirectory 536+520 deleteArchive 1056+1",
      "LoadResult 20/4: reserved 0+8 rangeStart 8+4 received 12+4 "
      "fileSize 16+4",
      "SaveEntry 536/2: path 0+520 action 520+16",
      "HandsetSaveInput 4836/4: reserved 0+8 count 8+4 entries 12+4824",
      "HandsetActivateInput 2748/4: reserved 0+8 mode 8+4 userAgent 12+512 "
      "userSerial 524+512 username 1036+32 password 1068+512 name 1580+32 "
      "email 1612+512 province 2124+32 validation 2156+32 bom 2188+32 "
      "environmentPath 2220+520 gender 2740+4 figure 2744+4",
      "HandsetActivateResult 696/4: reserved 0+8 userId 8+4 userNo 12+4 "
      "username 16+32 email 48+512 name 560+32 province 592+32 gender 624+4 "
      "figure 628+4 serverDate 632+64",
  };
  const std::vector<std::string> cpp =
      Describe(kCppLayout, std::size(kCppLayout));
  std::printf("record layout with %zu-byte pointers:\n", sizeof(void*));
  for (const std::string& line : cpp) std::printf("  %s\n", line.c_str());
  EXPECT_EQ(Describe(vesk_c_layout, vesk_c_layout_rows), cpp)
      << "the C and the C++ compiler lay the records out differently";
  EXPECT_EQ(cpp, expected);
}

}  // namespace
}  // namespace vesk
