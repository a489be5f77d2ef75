/*
 * VESK80: the handset's client library of the content service.
 *
 * Six functions, each one synchronous HTTP/1.1 exchange with the service
 * (a few, for the download), called on the caller's thread. Each returns the
 * HTTP status of the service's response: 200 is success (the download and
 * the load also accept 206); any other status is the service's refusal and
 * comes with the error record filled; 0 means that no status was obtained
 * (the host did not resolve, the connection failed, the server sent nothing,
 * or the call was refused before anything was sent, see below).
 *
 * Records are owned by the caller. Every record begins with two 32-bit words
 * that the library neither reads nor writes (the download alone clears its
 * result and error records whole after every exchange). Integers are 32-bit
 * little-endian; texts are zero-terminated UTF-16 in fixed fields, and a text
 * longer than its field is cut to fit, terminator included.
 *
 * Threads: the library keeps process-wide state (the handset's identity
 * values and its key) and fixed file names, so the six functions take turns
 * behind one process-wide lock: a call made while another thread's call runs
 * waits until that call has returned.
 *
 * Time-outs: every wait for the peer (the connect, and each receive or send
 * that moves no byte) lasts at most VESK_TIMEOUT_SECONDS seconds (an
 * environment variable read at each connection; default 60, 0 waits without
 * limit). A time-out ends the exchange as a dropped connection at that point
 * does: no response gives status 0; a body cut short is an interrupted
 * transfer that the next call resumes; an upload is abandoned (status 0). A
 * connection that has timed out is not waited on again, and the download's
 * up to three attempts each wait at most once. Name resolution is the
 * system's and is not bounded by it.
 *
 * Replies may arrive in pieces: the head and the first body bytes are
 * gathered until the 1024-byte response area holds the whole head and as
 * many body bytes as Content-Length announces (or the peer closes, or the
 * time-out passes); without Content-Length, what came with the end of the
 * head. A head that does not end within 1024 bytes is no response (status 0).
 *
 * Local work that fails after a success status (a transfer stopped early,
 * its files could not be made or moved, the heartbeat's notification file
 * could not be written): the status stays 200 or 206, the error record's
 * code is 0 and its message says what happened.
 *
 * Refused before sending: a URL whose form is not "http://host[:port]/path"
 * or whose text exceeds 255 bytes in the system code page makes the call
 * return 0 with the error record's code 0 and a message naming the problem.
 * A null record or URL pointer makes the call return 0 and touch nothing.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VESK80_H
#define VESK80_H

#include <stdint.h>

#ifdef __cplusplus
typedef char16_t vesk_char16;
extern "C" {
#else
typedef uint16_t vesk_char16;
#endif

#if defined(VESK80_BUILDING)
#define VESK80_API __attribute__((visibility("default")))
#else
#define VESK80_API
#endif

/* The error record of every call. */
typedef struct HandsetError {
  int32_t reserved[2];
  int32_t code;              /* "X-Error-Code"; 0 when the reply had none */
  vesk_char16 message[256];  /* "X-Error-Message", or the reply body's text
                                when code is 0 */
  vesk_char16 timestamp[64]; /* the service's time stamp, written for code
                                906 (activation: 906, 914, 915) only */
} HandsetError;

/* vesk_AccountInfo */
typedef struct AccountInfoResult {
  int32_t reserved[2];
  int32_t accountId;
  vesk_char16 username[16];
  vesk_char16 email[256];
  vesk_char16 name[16];
  vesk_char16 province[16];
  int32_t gender;
  int32_t figure;
} AccountInfoResult;

/* vesk_HandsetBeat: the records in the entries array. */
typedef struct ContentNotification {
  vesk_char16 key[256];
  vesk_char16 title[256];
  vesk_char16 text[1024];
  vesk_char16 mime[256];
  int32_t size;
} ContentNotification;

typedef struct MessageNotification {
  vesk_char16 key[256];
  vesk_char16 title[256];
  vesk_char16 text[1024];
} MessageNotification;

typedef struct AdvertisementNotification {
  vesk_char16 key[256];
  vesk_char16 title[256];
  vesk_char16 text[1024];
  vesk_char16 media[256];
  vesk_char16 href[256];
} AdvertisementNotification;

/* entries holds contentCount content records, then messageCount message
 * records (from byte messageOffset), then advertisementCount advertisement
 * records (from byte advertisementOffset). The library allocates the array
 * and releases it on the next successful heartbeat with the same record. A
 * notification file that cannot be written gives status 200 with no
 * records (all counts and total 0) and the reason in the error message: the
 * notifications are never handed over torn. */
typedef struct HandsetBeatResult {
  int32_t reserved[2];
  int32_t total;
  int32_t contentCount;
  int32_t messageCount;
  int32_t advertisementCount;
  uint8_t* entries;
  int32_t messageOffset;
  int32_t advertisementOffset;
} HandsetBeatResult;

/* vesk_HandsetDownload: input and output. A 206 reply must continue the file
 * where the request asked (offset when resuming, else byte 0) and where the
 * partial file ends; any other range is refused like a service refusal
 * (code 0, a message naming both positions) and nothing is written. The file
 * is in place at the local path when the status is 200 or 206 and the error
 * record's code is 0 and its message empty; otherwise the partial file
 * (path + ".Down") and its state file (path + ".Down.cfg") remain, and
 * record.offset is the position to resume from. */
typedef struct DownloadRecord {
  int32_t reserved[2];
  vesk_char16 contentKey[256];
  uint32_t offset;   /* in: resume position; out: size after a rollback */
  uint32_t rangeEnd; /* last byte wanted, used when larger than offset */
  vesk_char16 partialChecksum[64]; /* out: MD5 of the partial file */
} DownloadRecord;

typedef struct DownloadResult {
  int32_t reserved[2];
  int32_t rangeStart;
  int32_t received;
  int32_t fileSize;
  vesk_char16 checksum[256];
} DownloadResult;

/* vesk_HandsetLoad: the range rules of the download apply. A complete
 * archive is unpacked into targetDirectory; nothing is written outside it or
 * over the archive itself (such an entry fails), and an archive whose
 * declared sizes do not fit the free space of the target's file system
 * unpacks nothing. Every entry that fails prints "unzip fail" on standard
 * output. An incomplete transfer unpacks nothing and says why in the error
 * message (code 0). */
typedef struct LoadRecord {
  int32_t reserved[2];
  int32_t offset;
  int32_t rangeEnd;
  vesk_char16 archivePath[260];
  vesk_char16 targetDirectory[260];
  uint8_t deleteArchive;
} LoadRecord;

typedef struct LoadResult {
  int32_t reserved[2];
  int32_t rangeStart;
  int32_t received;
  int32_t fileSize;
} LoadResult;

/* vesk_HandsetSave: count entries follow count; at most 9 are accepted. */
#define VESK80_SAVE_MAX_ENTRIES 9

typedef struct SaveEntry {
  vesk_char16 path[260];
  vesk_char16 action[8]; /* "update", or anything else for a delete */
} SaveEntry;

typedef struct HandsetSaveInput {
  int32_t reserved[2];
  int32_t count;
  SaveEntry entries[VESK80_SAVE_MAX_ENTRIES];
} HandsetSaveInput;

/* vesk_handsetActivate */
typedef struct HandsetActivateInput {
  int32_t reserved[2];
  int32_t mode;
  vesk_char16 userAgent[256];
  vesk_char16 userSerial[256];
  vesk_char16 username[16];
  vesk_char16 password[256];
  vesk_char16 name[16];
  vesk_char16 email[256];
  vesk_char16 province[16];
  vesk_char16 validation[16];
  vesk_char16 bom[16];
  vesk_char16 environmentPath[260];
  int32_t gender;
  int32_t figure;
} HandsetActivateInput;

typedef struct HandsetActivateResult {
  int32_t reserved[2];
  int32_t userId;
  int32_t userNo;
  vesk_char16 username[16];
  vesk_char16 email[256];
  vesk_char16 name[16];
  vesk_char16 province[16];
  int32_t gender;
  int32_t figure;
  vesk_char16 serverDate[32];
} HandsetActivateResult;

/* The account that the handset's credentials belong to. */
VESK80_API int32_t vesk_AccountInfo(const vesk_char16* environmentFile,
                                    AccountInfoResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port);

/* Tells the service that the handset is alive and collects its
 * notifications. */
VESK80_API int32_t vesk_HandsetBeat(const vesk_char16* environmentFile,
                                    HandsetBeatResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port);

/* Fetches one content file into localPath, resuming and verifying it, and
 * confirms its arrival to secondUrl. */
VESK80_API int32_t vesk_HandsetDownload(
    const vesk_char16* environmentFile, DownloadRecord* record,
    DownloadResult* result, HandsetError* error, const vesk_char16* localPath,
    const vesk_char16* url, int32_t port, const vesk_char16* secondUrl,
    int32_t secondPort);

/* Fetches a zip archive and unpacks it into the target directory. */
VESK80_API int32_t vesk_HandsetLoad(const vesk_char16* environmentFile,
                                    const LoadRecord* record,
                                    LoadResult* result, HandsetError* error,
                                    const vesk_char16* url, int32_t port);

/* Uploads files and asks the service to delete files, in one request. output
 * receives the response text on status 200 (1025 units hold any). An update
 * of a missing file sends an empty part; one of a file that is there but
 * cannot be sized sends nothing (status 0 and a message). */
VESK80_API int32_t vesk_HandsetSave(const vesk_char16* environmentFile,
                                    const HandsetSaveInput* input,
                                    vesk_char16* output, HandsetError* error,
                                    const vesk_char16* url, int32_t port);

/* Sends the user's account data and, in modes 2 and 4, registers a new key
 * pair and stores the identity the service assigns. */
VESK80_API int32_t vesk_handsetActivate(const HandsetActivateInput* input,
                                        HandsetActivateResult* result,
                                        HandsetError* error,
                                        const vesk_char16* url, int32_t port);

#ifdef __cplusplus
}
#endif

#endif /* VESK80_H */
