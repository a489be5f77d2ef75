/* Every record of vesk80.h and every field in it, for the layout check
 * (record_layout_test.cpp): one list, laid out once by the C compiler
 * (record_layout.c) and once by the C++ compiler, so that the two can be
 * compared with each other and with the layout hosts were built against. */
#ifndef VESK_TESTS_RECORD_LAYOUT_H_
#define VESK_TESTS_RECORD_LAYOUT_H_

#include <stddef.h>

#include "service/vesk80.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One row: a field (offset and size), or with field "" the record itself
 * (size and alignment). */
typedef struct VeskLayoutRow {
  const char* record;
  const char* field;
  size_t offset;
  size_t size;
  size_t alignment;
} VeskLayoutRow;

/* The rows as the C compiler lays the records out. */
extern const VeskLayoutRow vesk_c_layout[];
extern const size_t vesk_c_layout_rows;

#ifdef __cplusplus
}
#define VESK_LAYOUT_ALIGNOF(type) alignof(type)
#else
#define VESK_LAYOUT_ALIGNOF(type) \
  offsetof(                       \
      struct {                    \
        char first;               \
        type then;                \
      },                          \
      then)
#endif

#define VESK_LAYOUT_RECORD(type) \
  {#type, "", 0, sizeof(type), VESK_LAYOUT_ALIGNOF(type)},
#define VESK_LAYOUT_FIELD(type, name) \
  {#type, #name, offsetof(type, name), sizeof(((type*)0)->name), 0},

/* RECORD(type) names a record, FIELD(type, name) each of its fields in
 * declaration order. */
/* clang-format off */
#define VESK_RECORD_LAYOUT(RECORD, FIELD) \
  RECORD(HandsetError) FIELD(HandsetError, reserved) \
  FIELD(HandsetError, code) FIELD(HandsetError, message) \
  FIELD(HandsetError, timestamp) \
  RECORD(AccountInfoResult) FIELD(AccountInfoResult, reserved) \
  FIELD(AccountInfoResult, accountId) FIELD(AccountInfoResult, username) \
  FIELD(AccountInfoResult, email) FIELD(AccountInfoResult, name) \
  FIELD(AccountInfoResult, province) FIELD(AccountInfoResult, gender) \
  FIELD(AccountInfoResult, figure) \
  RECORD(ContentNotification) FIELD(ContentNotification, key) \
  FIELD(ContentNotification, title) FIELD(ContentNotification, text) \
  FIELD(ContentNotification, mime) FIELD(ContentNotification, size) \
  RECORD(MessageNotification) FIELD(MessageNotification, key) \
  FIELD(MessageNotification, title) FIELD(MessageNotification, text) \
  RECORD(AdvertisementNotification) FIELD(AdvertisementNotification, key) \
  FIELD(AdvertisementNotification, title) \
  FIELD(AdvertisementNotification, text) \
  FIELD(AdvertisementNotification, media) \
  FIELD(AdvertisementNotification, href) \
  RECORD(HandsetBeatResult) FIELD(HandsetBeatResult, reserved) \
  FIELD(HandsetBeatResult, total) FIELD(HandsetBeatResult, contentCount) \
  FIELD(HandsetBeatResult, messageCount) \
  FIELD(HandsetBeatResult, advertisementCount) \
  FIELD(HandsetBeatResult, entries) FIELD(HandsetBeatResult, messageOffset) \
  FIELD(HandsetBeatResult, advertisementOffset) \
  RECORD(DownloadRecord) FIELD(DownloadRecord, reserved) \
  FIELD(DownloadRecord, contentKey) FIELD(DownloadRecord, offset) \
  FIELD(DownloadRecord, rangeEnd) FIELD(DownloadRecord, partialChecksum) \
  RECORD(DownloadResult) FIELD(DownloadResult, reserved) \
  FIELD(DownloadResult, rangeStart) FIELD(DownloadResult, received) \
  FIELD(DownloadResult, fileSize) FIELD(DownloadResult, checksum) \
  RECORD(LoadRecord) FIELD(LoadRecord, reserved) FIELD(LoadRecord, offset) \
  FIELD(LoadRecord, rangeEnd) FIELD(LoadRecord, archivePath) \
  FIELD(LoadRecord, targetDirectory) FIELD(LoadRecord, deleteArchive) \
  RECORD(LoadResult) FIELD(LoadResult, reserved) \
  FIELD(LoadResult, rangeStart) FIELD(LoadResult, received) \
  FIELD(LoadResult, fileSize) \
  RECORD(SaveEntry) FIELD(SaveEntry, path) FIELD(SaveEntry, action) \
  RECORD(HandsetSaveInput) FIELD(HandsetSaveInput, reserved) \
  FIELD(HandsetSaveInput, count) FIELD(HandsetSaveInput, entries) \
  RECORD(HandsetActivateInput) FIELD(HandsetActivateInput, reserved) \
  FIELD(HandsetActivateInput, mode) FIELD(HandsetActivateInput, userAgent) \
  FIELD(HandsetActivateInput, userSerial) \
  FIELD(HandsetActivateInput, username) FIELD(HandsetActivateInput, password) \
  FIELD(HandsetActivateInput, name) FIELD(HandsetActivateInput, email) \
  FIELD(HandsetActivateInput, province) \
  FIELD(HandsetActivateInput, validation) FIELD(HandsetActivateInput, bom) \
  FIELD(HandsetActivateInput, environmentPath) \
  FIELD(HandsetActivateInput, gender) FIELD(HandsetActivateInput, figure) \
  RECORD(HandsetActivateResult) FIELD(HandsetActivateResult, reserved) \
  FIELD(HandsetActivateResult, userId) FIELD(HandsetActivateResult, userNo) \
  FIELD(HandsetActivateResult, username) FIELD(HandsetActivateResult, email) \
  FIELD(HandsetActivateResult, name) FIELD(HandsetActivateResult, province) \
  FIELD(HandsetActivateResult, gender) FIELD(HandsetActivateResult, figure) \
  FIELD(HandsetActivateResult, serverDate)
/* clang-format on */

#endif /* VESK_TESTS_RECORD_LAYOUT_H_ */
