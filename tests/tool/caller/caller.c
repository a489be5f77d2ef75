/* The installed library used from outside, by the host and the cross install
 * tests: prints the header's version, major number and the pointer size, and
 * exits 0 only when an export called against "http://127.0.0.1/" with port
 * 1, where nothing listens, reports status 0 with no error code. */
#include <stdio.h>
#include <string.h>
#include <vesk80.h>

int main(void) {
  static const vesk_char16 url[] = {'h', 't', 't', 'p', ':', '/', '/', '1', '2',
                                    '7', '.', '0', '.', '0', '.', '1', '/', 0};
  static const vesk_char16 env[] = {0};
  AccountInfoResult result;
  HandsetError error;
  int32_t status;
  printf("version %s %d %u-byte pointers\n", VESK80_VERSION_STRING,
         VESK80_VERSION_MAJOR, (unsigned)sizeof(void*));
#ifdef EXPECTED_VERSION
  if (strcmp(VESK80_VERSION_STRING, EXPECTED_VERSION) != 0) return 1;
#endif
  error.code = -1;
  status = vesk_AccountInfo(env, &result, &error, url, 1);
  printf("status %d code %d\n", (int)status, (int)error.code);
  return status == 0 && error.code == 0 ? 0 : 1;
}
