/* A C99 host of the shared library: the public header compiles as strict C,
 * the exports link by name, and a call whose URL is refused fills the error
 * record without touching the result. */
#include <stdio.h>
#include <string.h>

#include "vesk80.h"

static int failures = 0;

#define CHECK(condition)                                              \
  do {                                                                \
    if (!(condition)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

static void Copy(vesk_char16* target, const char* ascii) {
  while ((*target++ = (vesk_char16)(unsigned char)*ascii++) != 0) {
  }
}

int main(void) {
  vesk_char16 url[64];
  vesk_char16 env[64];
  AccountInfoResult result;
  HandsetError error;
  int32_t status;
  size_t i;
  int untouched = 1;

  Copy(url, "https://127.0.0.1/refused");
  Copy(env, "no-such-handset.env");
  memset(&result, 0x5A, sizeof result);
  memset(&error, 0x5A, sizeof error);

  status = vesk_AccountInfo(env, &result, &error, url, 1);
  CHECK(status == 0);
  CHECK(error.code == 0);
  CHECK(error.message[0] == 't'); /* "the URL ..." */
  CHECK(error.reserved[0] == 0x5A5A5A5A && error.reserved[1] == 0x5A5A5A5A);
  for (i = 0; i < sizeof result; ++i) {
    if (((const unsigned char*)&result)[i] != 0x5A) untouched = 0;
  }
  CHECK(untouched);

  CHECK(vesk_HandsetBeat(env, NULL, &error, url, 1) == 0);
  CHECK(sizeof(HandsetError) == 652 && sizeof(SaveEntry) == 536);
  CHECK(sizeof(ContentNotification) == 3588 &&
        sizeof(AdvertisementNotification) == 4096);

  if (failures == 0) printf("1 passed, 0 failed\n");
  return failures == 0 ? 0 : 1;
}
