/* A C99 host of the shared library: the public header (with its version
 * header) compiles as strict C, the exports link by name, a call whose URL is
 * refused fills the error record without touching the result, and the C
 * compiler lays the records out as the hosts were built against. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "vesk80.h"

static int failures = 0;

#define CHECK(condition) \
  if (!(condition)) ++failures, fprintf(stderr, "line %d\n", __LINE__)

static void Copy(vesk_char16* target, const char* ascii) {
  while ((*target++ = (vesk_char16)(unsigned char)*ascii++) != 0) {
  }
}

int main(void) {
  vesk_char16 url[64];
  vesk_char16 env[] = {'e', 0}; /* no such file */
  AccountInfoResult result;
  HandsetError error;
  int32_t status;
  size_t i;

  Copy(url, "https://127.0.0.1/refused");
  memset(&result, 0x5A, sizeof result);
  memset(&error, 0x5A, sizeof error);

  status = vesk_AccountInfo(env, &result, &error, url, 1);
  CHECK(status == 0);
  CHECK(error.code == 0);
  CHECK(error.message[0] == 't'); /* "the URL ..." */
  CHECK(error.reserved[0] == 0x5A5A5A5A && error.reserved[1] == 0x5A5A5A5A);
  for (i = 0; i < sizeof result; ++i) {
    CHECK(((const unsigned char*)&result)[i] == 0x5A);
  }

  /* Every record's size; only the heartbeat record holds a pointer, so only
   * its later offsets and its size differ between 4- and 8-byte pointers. */
  {
    const size_t p = sizeof(void*);
    const size_t sizes[][2] = {
        {sizeof(HandsetError), 652},
        {sizeof(AccountInfoResult), 628},
        {sizeof(ContentNotification), 3588},
        {sizeof(MessageNotification), 3072},
        {sizeof(AdvertisementNotification), 4096},
        {sizeof(HandsetBeatResult), p == 4 ? 36 : 40},
        {offsetof(HandsetBeatResult, entries), 24},
        {offsetof(HandsetBeatResult, advertisementOffset), 28 + p},
        {sizeof(DownloadRecord), 656},
        {sizeof(DownloadResult), 532},
        {sizeof(LoadRecord), 1060},
        {sizeof(LoadResult), 20},
        {sizeof(SaveEntry), 536},
        {sizeof(HandsetSaveInput), 4836},
        {sizeof(HandsetActivateInput), 2748},
        {sizeof(HandsetActivateResult), 696}};
    for (i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
      CHECK(sizes[i][0] == sizes[i][1]);
    }
  }

  if (failures == 0) printf("1 passed, 0 failed\n");
  return failures == 0 ? 0 : 1;
}
