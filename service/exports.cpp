// The six exported functions: thin shims that hand the call to its
// operation, refuse null records, and let no exception cross the boundary.
// The record layouts are pinned here, since hosts compiled against them
// depend on every offset.
#include <cstddef>
#include <mutex>
#include <new>

#include "activation/activation.h"
#include "heartbeat/heartbeat.h"
#include "service/service.h"
#include "service/vesk80.h"
#include "transfer/transfer.h"
#include "upload/upload.h"

namespace {

constexpr size_t kPointer = sizeof(void*);

static_assert(sizeof(vesk_char16) == 2);

static_assert(offsetof(HandsetError, code) == 8);
static_assert(offsetof(HandsetError, message) == 12);
static_assert(offsetof(HandsetError, timestamp) == 524);
static_assert(sizeof(HandsetError) == 652);

static_assert(offsetof(AccountInfoResult, accountId) == 8);
static_assert(offsetof(AccountInfoResult, username) == 12);
static_assert(offsetof(AccountInfoResult, email) == 44);
static_assert(offsetof(AccountInfoResult, name) == 556);
static_assert(offsetof(AccountInfoResult, province) == 588);
static_assert(offsetof(AccountInfoResult, gender) == 620);
static_assert(offsetof(AccountInfoResult, figure) == 624);
static_assert(sizeof(AccountInfoResult) == 628);

static_assert(offsetof(ContentNotification, key) == 0);
static_assert(offsetof(ContentNotification, title) == 512);
static_assert(offsetof(ContentNotification, text) == 1024);
static_assert(offsetof(ContentNotification, mime) == 3072);
static_assert(offsetof(ContentNotification, size) == 3584);
static_assert(sizeof(ContentNotification) == 3588);
static_assert(offsetof(MessageNotification, key) == 0);
static_assert(offsetof(MessageNotification, title) == 512);
static_assert(offsetof(MessageNotification, text) == 1024);
static_assert(sizeof(MessageNotification) == 3072);
static_assert(offsetof(AdvertisementNotification, key) == 0);
static_assert(offsetof(AdvertisementNotification, title) == 512);
static_assert(offsetof(AdvertisementNotification, text) == 1024);
static_assert(offsetof(AdvertisementNotification, media) == 3072);
static_assert(offsetof(AdvertisementNotification, href) == 3584);
static_assert(sizeof(AdvertisementNotification) == 4096);

static_assert(offsetof(HandsetBeatResult, total) == 8);
static_assert(offsetof(HandsetBeatResult, contentCount) == 12);
static_assert(offsetof(HandsetBeatResult, messageCount) == 16);
static_assert(offsetof(HandsetBeatResult, advertisementCount) == 20);
static_assert(offsetof(HandsetBeatResult, entries) == 24);
static_assert(offsetof(HandsetBeatResult, messageOffset) == 24 + kPointer);
static_assert(offsetof(HandsetBeatResult, advertisementOffset) ==
              28 + kPointer);
static_assert(sizeof(HandsetBeatResult) ==
              (32 + kPointer + kPointer - 1) / kPointer * kPointer);

static_assert(offsetof(DownloadRecord, contentKey) == 8);
static_assert(offsetof(DownloadRecord, offset) == 520);
static_assert(offsetof(DownloadRecord, rangeEnd) == 524);
static_assert(offsetof(DownloadRecord, partialChecksum) == 528);
static_assert(sizeof(DownloadRecord) == 656);
static_assert(offsetof(DownloadResult, rangeStart) == 8);
static_assert(offsetof(DownloadResult, received) == 12);
static_assert(offsetof(DownloadResult, fileSize) == 16);
static_assert(offsetof(DownloadResult, checksum) == 20);
static_assert(sizeof(DownloadResult) == 532);

static_assert(offsetof(LoadRecord, offset) == 8);
static_assert(offsetof(LoadRecord, rangeEnd) == 12);
static_assert(offsetof(LoadRecord, archivePath) == 16);
static_assert(offsetof(LoadRecord, targetDirectory) == 536);
static_assert(offsetof(LoadRecord, deleteArchive) == 1056);
static_assert(sizeof(LoadRecord) == 1060);
static_assert(offsetof(LoadResult, rangeStart) == 8);
static_assert(offsetof(LoadResult, received) == 12);
static_assert(offsetof(LoadResult, fileSize) == 16);
static_assert(sizeof(LoadResult) == 20);

static_assert(offsetof(SaveEntry, path) == 0);
static_assert(offsetof(SaveEntry, action) == 520);
static_assert(sizeof(SaveEntry) == 536);
static_assert(offsetof(HandsetSaveInput, count) == 8);
static_assert(offsetof(HandsetSaveInput, entries) == 12);
static_assert(sizeof(HandsetSaveInput) == 12 + 9 * 536);

static_assert(offsetof(HandsetActivateInput, mode) == 8);
static_assert(offsetof(HandsetActivateInput, userAgent) == 12);
static_assert(offsetof(HandsetActivateInput, userSerial) == 524);
static_assert(offsetof(HandsetActivateInput, username) == 1036);
static_assert(offsetof(HandsetActivateInput, password) == 1068);
static_assert(offsetof(HandsetActivateInput, name) == 1580);
static_assert(offsetof(HandsetActivateInput, email) == 1612);
static_assert(offsetof(HandsetActivateInput, province) == 2124);
static_assert(offsetof(HandsetActivateInput, validation) == 2156);
static_assert(offsetof(HandsetActivateInput, bom) == 2188);
static_assert(offsetof(HandsetActivateInput, environmentPath) == 2220);
static_assert(offsetof(HandsetActivateInput, gender) == 2740);
static_assert(offsetof(HandsetActivateInput, figure) == 2744);
static_assert(sizeof(HandsetActivateInput) == 2748);
static_assert(offsetof(HandsetActivateResult, userId) == 8);
static_assert(offsetof(HandsetActivateResult, userNo) == 12);
static_assert(offsetof(HandsetActivateResult, username) == 16);
static_assert(offsetof(HandsetActivateResult, email) == 48);
static_assert(offsetof(HandsetActivateResult, name) == 560);
static_assert(offsetof(HandsetActivateResult, province) == 592);
static_assert(offsetof(HandsetActivateResult, gender) == 624);
static_assert(offsetof(HandsetActivateResult, figure) == 628);
static_assert(offsetof(HandsetActivateResult, serverDate) == 632);
static_assert(sizeof(HandsetActivateResult) == 696);

// The handset's identity values, the download's transfer values, the RSA
// facility's key and the fixed file names are the process's, one set for
// all: calls take turns. A call from a second thread waits until the first
// has returned.
std::mutex& CallLock() {
  static std::mutex lock;
  return lock;
}

// Runs an operation in its turn; an exception (memory exhausted) becomes
// status 0.
template <typename Operation>
int32_t Guarded(Operation operation) {
  try {
    const std::lock_guard<std::mutex> turn(CallLock());
    return operation();
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

VESK80_API int32_t vesk_AccountInfo(const vesk_char16* environmentFile,
                                    AccountInfoResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port) {
  if (result == nullptr || error == nullptr || url == nullptr) return 0;
  return Guarded([&] {
    return vesk::service::AccountInfo(environmentFile, result, error, url,
                                      port);
  });
}

VESK80_API int32_t vesk_HandsetBeat(const vesk_char16* environmentFile,
                                    HandsetBeatResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port) {
  if (result == nullptr || error == nullptr || url == nullptr) return 0;
  return Guarded([&] {
    return vesk::heartbeat::HandsetBeat(environmentFile, result, error, url,
                                        port);
  });
}

VESK80_API int32_t vesk_HandsetDownload(
    const vesk_char16* environmentFile, DownloadRecord* record,
    DownloadResult* result, HandsetError* error, const vesk_char16* localPath,
    const vesk_char16* url, int32_t port, const vesk_char16* secondUrl,
    int32_t secondPort) {
  if (record == nullptr || result == nullptr || error == nullptr ||
      localPath == nullptr || url == nullptr || secondUrl == nullptr) {
    return 0;
  }
  return Guarded([&] {
    return vesk::transfer::HandsetDownload(environmentFile, record, result,
                                           error, localPath, url, port,
                                           secondUrl, secondPort);
  });
}

VESK80_API int32_t vesk_HandsetLoad(const vesk_char16* environmentFile,
                                    const LoadRecord* record,
                                    LoadResult* result, HandsetError* error,
                                    const vesk_char16* url, int32_t port) {
  if (record == nullptr || result == nullptr || error == nullptr ||
      url == nullptr) {
    return 0;
  }
  return Guarded([&] {
    return vesk::transfer::HandsetLoad(environmentFile, record, result, error,
                                       url, port);
  });
}

VESK80_API int32_t vesk_HandsetSave(const vesk_char16* environmentFile,
                                    const HandsetSaveInput* input,
                                    vesk_char16* output, HandsetError* error,
                                    const vesk_char16* url, int32_t port) {
  if (input == nullptr || output == nullptr || error == nullptr ||
      url == nullptr) {
    return 0;
  }
  return Guarded([&] {
    return vesk::upload::HandsetSave(environmentFile, input, output, error, url,
                                     port);
  });
}

VESK80_API int32_t vesk_handsetActivate(const HandsetActivateInput* input,
                                        HandsetActivateResult* result,
                                        HandsetError* error,
                                        const vesk_char16* url, int32_t port) {
  if (input == nullptr || result == nullptr || error == nullptr ||
      url == nullptr) {
    return 0;
  }
  return Guarded([&] {
    return vesk::activation::HandsetActivate(input, result, error, url, port);
  });
}

}  // extern "C"
