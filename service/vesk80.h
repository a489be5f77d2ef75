/**
 * @file vesk80.h
 * @brief VESK80: the handset's client library of the content service.
 *
 * A host loads libVESK80.so and calls six functions. Each is one synchronous
 * HTTP/1.1 exchange with the service (a few, for the download), made on the
 * caller's thread over a plain TCP socket, and each fills records that the
 * caller owns. This header compiles as C99 and as C++; the layouts of the
 * records are fixed (the sizes given below hold on every platform, pointer
 * sizes aside) and never change within a major version. The version the
 * caller compiles against is in vesk80_version.h, included below
 * (VESK80_VERSION_STRING and its parts).
 *
 * Status
 * ------
 * Every function returns the HTTP status of the service's response. 200 is
 * success (the download and the load also accept 206); any other status is
 * the service's refusal and comes with the error record filled; 0 means that
 * no status was obtained: the host did not resolve, the connection failed,
 * the server sent nothing usable, the call was refused before anything was
 * sent (see below), or memory ran out. A status 0 from a failed connection
 * carries code 0 and an empty message: the library does not say which of
 * these happened.
 *
 * Records
 * -------
 * Records are owned by the caller: allocate them (on the stack, statically,
 * or on the heap) and pass their addresses; the library keeps no pointer to
 * them after the call returns. Every record begins with two 32-bit words,
 * `reserved`, that the library neither reads nor writes (the download alone
 * clears its result and error records whole after every exchange, reserved
 * words included). Integers are 32-bit in the host's byte order (little
 * endian on every supported target).
 *
 * A function writes only the records and fields that its description names,
 * and only in the case named; everything else keeps what the caller left in
 * it. Two duties follow:
 * - Clear the error record (memset to 0) before every call. After a success
 *   status a non-empty message is how a local failure is reported, and a
 *   call that succeeds without one does not clear a message that an earlier
 *   call left there.
 * - Zero a HandsetBeatResult before its first heartbeat (see there): the
 *   library releases the array that its `entries` member points to.
 *
 * Texts
 * -----
 * Texts are UTF-16 (vesk_char16), zero-terminated. A text passed by pointer
 * (`environmentFile`, `url`, `localPath`, `secondUrl`) must be terminated; a
 * text in a record field is read up to its terminator or the end of the
 * field, whichever comes first. Inside, the library works in the handset's
 * ANSI code page (`VESK_ANSI_CODEPAGE`): a character the code page cannot
 * represent becomes "?", and some input fields are limited in bytes of that
 * code page (noted at the field). A text the library writes is cut to fit
 * its field, terminator included, never between the two halves of a
 * surrogate pair; the units after its terminator keep what they held, except
 * in the notification records, which are zero-filled.
 *
 * URLs
 * ----
 * A URL has the form "http://host[:port]/path" (the scheme in any case). The
 * host is resolved to an IPv4 address by the system's resolver; a port
 * written in the URL goes into the "Host" header only, and the connection
 * goes to the `port` argument. A URL of another form, or one longer than 255
 * bytes in the code page, is refused before anything is sent: status 0, code
 * 0 and a message naming the problem ("the URL does not begin with http://",
 * "the URL has no path after the host", "the URL has no host", "the URL is
 * longer than 255 bytes", ...). Each call opens its own connection and
 * closes it before it returns.
 *
 * Null pointers
 * -------------
 * A null record, URL or path pointer (every pointer argument except
 * `environmentFile`) makes the call return 0 and touch nothing. A null
 * `environmentFile` is allowed: the request then carries empty credentials.
 *
 * Handset paths
 * -------------
 * Local paths (the environment file, the download's local path, the load's
 * archive and target directory, the files of a save) are handset paths, such
 * as `\Storage Card\item.dat`, of at most 259 UTF-16 units. The backslash
 * and "/" both separate components. A path maps to a host path as follows:
 * every backslash becomes "/", the text is encoded as UTF-8 (whatever the
 * code page), and a path that begins with a separator is placed under the
 * directory named by `VESK_DEVICE_ROOT`; a path that does not begin with one
 * stays relative to the process's current directory. With
 * `VESK_DEVICE_ROOT=/srv/handset`, `\Storage Card\a.bin` is
 * `/srv/handset/Storage Card/a.bin`. A file without write permission is
 * never written over or replaced, even by root, as on the handset. The library
 * uses two fixed files of its own:
 * `\PocketDisk1\handset.env`, the default environment file, and
 * `\Storage Card\savepush.xml`, where every heartbeat stores its reply; their
 * directories must exist under the device root.
 *
 * Environment variables
 * ---------------------
 * Read by the library at the moment it needs them, so a change made between
 * calls applies to the next call:
 * - `VESK_DEVICE_ROOT`: the host directory that stands for the handset's
 *   root (read at every path). Unset or empty: "/".
 * - `VESK_ANSI_CODEPAGE`: the handset's ANSI code page, as a Windows code
 *   page number (read at every conversion). Default, and the value taken for
 *   anything that is not a number of a code page the system can convert:
 *   936 (GBK), which the service expects; 65001 is UTF-8.
 * - `VESK_TIMEOUT_SECONDS`: the longest wait for the peer, in whole seconds
 *   (read at every connection). Default, and the value taken for anything
 *   but decimal digits: 60; 0 waits without limit.
 *
 * The handset environment file
 * ----------------------------
 * Every function but the activation reads the handset's identity from the
 * environment file named by its `environmentFile` argument (the activation
 * from HandsetActivateInput::environmentPath). The file holds bytes in the
 * code page, one "Key: value" line per value, each line ending in LF; a CR
 * before the LF is not part of the value. The keys are `User-Agent` (sent as
 * the "User-Agent" header; when empty, a fixed browser-like value is sent),
 * `Public-Key` and `Private-Key` (the handset's RSA key pair, each as one
 * line of RSAKeyValue XML), `User-Serial`, `User-Id` and `User-No` (decimal
 * numbers). A line belongs to the first of these keys that occurs anywhere
 * in it, in this order, and its value is the text after the first ": " that
 * follows the key; text values of a key that occurs twice are joined. A line
 * longer than 1023 bytes ends the reading there. A missing file is not an
 * error: the requests then carry empty credentials. An activation in mode 2
 * or 4 writes the file as six lines, in this order:
 *
 *     User-Agent: <text>
 *     Public-Key: <RSAKeyValue XML>
 *     Private-Key: <RSAKeyValue XML>
 *     User-Serial: <text>
 *     User-Id: <number>
 *     User-No: <number>
 *
 * The file holds the private key: keep it where only the host can read it.
 *
 * Threads
 * -------
 * The library keeps process-wide state (the handset's identity values, the
 * key in use, the download's transfer position) and fixed file names, so the
 * six functions take turns behind one process-wide lock: a call made while
 * another thread's call runs waits until that call has returned. The
 * functions may be called from any thread; they never raise SIGPIPE.
 *
 * Time-outs
 * ---------
 * Every wait for the peer (the connect, and each receive or send that moves
 * no byte) lasts at most `VESK_TIMEOUT_SECONDS` seconds. A time-out ends the
 * exchange as a dropped connection at that point does: no response gives
 * status 0; a body cut short is an interrupted transfer that the next call
 * resumes; an upload is abandoned (status 0). A connection that has timed out
 * is not waited on again, and the download's up to three attempts each wait
 * at most once. Name resolution is the system's and is not bounded by it.
 *
 * Replies
 * -------
 * Replies may arrive in pieces: the head and the first body bytes are
 * gathered until the 1024-byte response area holds the whole head and as
 * many body bytes as "Content-Length" announces (or the peer closes, or the
 * time-out passes); without "Content-Length", what came with the end of the
 * head. A head that does not end within 1024 bytes is no response (status
 * 0). The short XML replies of the account information and the activation
 * are read from this area alone, so they must fit in it with the head.
 *
 * Refusals
 * --------
 * On a status that is not a success status, the error record's `code` is the
 * reply's "X-Error-Code" and its `message` the reply's "X-Error-Message"
 * (see HandsetError).
 *
 * Local failures after a success status
 * -------------------------------------
 * When a 200 or 206 was received but the local work could not be finished (a
 * transfer stopped early, its files could not be made or moved, the
 * heartbeat's notification file could not be written), the status stays 200
 * or 206, the error record's code is 0 and its message says what happened.
 */
#ifndef VESK80_H
#define VESK80_H

#include <stdint.h>

#include "vesk80_version.h"

/**
 * One UTF-16 code unit of a text: char16_t in C++, uint16_t in C. Both are
 * two bytes, so the records have the same layout in either language.
 */
#ifdef __cplusplus
typedef char16_t vesk_char16;
extern "C" {
#else
typedef uint16_t vesk_char16;
#endif

/**
 * Marks the six exported functions. The library's own build defines
 * VESK80_BUILDING and exports exactly these six symbols; for a caller the
 * macro is empty.
 */
#if defined(VESK80_BUILDING)
#define VESK80_API __attribute__((visibility("default")))
#else
#define VESK80_API
#endif

/**
 * The error record of every call (652 bytes).
 *
 * Written on every status that is not a success status, and after a success
 * status when local work failed (code 0 and a message; see the file
 * description). `code` and `message` are written together; `timestamp` only
 * for the codes named there. The download clears the whole record after
 * every exchange, so there it always describes the last attempt.
 */
typedef struct HandsetError {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * The reply's "X-Error-Code" as a decimal number; 0 when the reply had
   * none, when no reply came (status 0), when the call was refused before
   * sending, and for a local failure after a success status. The download
   * also reports its own checksum mismatch as 916.
   */
  int32_t code;
  /**
   * 256 units. The reply's "X-Error-Message", the value as it stands after
   * the colon (its leading blank included); when `code` is 0, followed by
   * the body bytes that came with the head. Empty when no reply came. For a
   * refusal before sending or a local failure, the library's own
   * description of the problem, in English.
   */
  vesk_char16 message[256];
  /**
   * 64 units. The service's time stamp as it stands after the colon: the
   * reply's "X-Server-Timestamp" for code 906 (the user certificate's time
   * is too far from the service's clock); in the activation also
   * "X-Util-Timestamp" for codes 914 and 915 (a wrong or expired validation
   * code). Written for these codes only; otherwise it keeps what it held.
   */
  vesk_char16 timestamp[64];
} HandsetError;

/**
 * The account, as vesk_AccountInfo fills it (628 bytes). Written whole on
 * status 200 only; a value missing from the reply leaves its field empty or
 * 0. The reply is an XML document whose root has an `account` element with
 * an `id` attribute; the other values are the texts of the first elements
 * of their names.
 */
typedef struct AccountInfoResult {
  int32_t reserved[2];      /**< Not used by the library. */
  int32_t accountId;        /**< The `id` attribute of the `account` element. */
  vesk_char16 username[16]; /**< 16 units. The account name (`username`). */
  vesk_char16 email[256];   /**< 256 units. The e-mail address (`email`). */
  /**
   * 16 units. The user's name (`name`); MIME encoded words in it
   * ("=?charset?B?...?=", "=?charset?Q?...?=") are decoded, their bytes
   * taken as the code page's.
   */
  vesk_char16 name[16];
  /**
   * 16 units. The user's province (`province`), encoded words decoded as in
   * `name`; at most 15 bytes in the code page (7 Chinese characters in
   * GBK).
   */
  vesk_char16 province[16];
  int32_t gender; /**< The `gender` element as a decimal number. */
  int32_t figure; /**< The `figure` element as a decimal number. */
} AccountInfoResult;

/**
 * A content notification of the heartbeat: content that the service offers
 * for download (3588 bytes). Texts are taken from the notification document
 * as they are (not through the code page) and cut to their fields; the rest
 * of every field is zero.
 */
typedef struct ContentNotification {
  vesk_char16 key[256];   /**< 256 units. The `key` attribute: the content key
                               to pass to vesk_HandsetDownload. */
  vesk_char16 title[256]; /**< 256 units. The `title` element. */
  vesk_char16 text[1024]; /**< 1024 units. The `text` element. */
  vesk_char16 mime[256];  /**< 256 units. The `mime` element: the content's
                               media type. */
  int32_t size;           /**< The `size` element as a decimal number (leading
                               blanks and a sign allowed, reading stops at the
                               first other character): the content's size in
                               bytes. */
} ContentNotification;

/**
 * A message notification of the heartbeat: a text for the user (3072
 * bytes). Texts as in ContentNotification.
 */
typedef struct MessageNotification {
  vesk_char16 key[256];   /**< 256 units. The `key` attribute. */
  vesk_char16 title[256]; /**< 256 units. The `title` element. */
  vesk_char16 text[1024]; /**< 1024 units. The `text` element. */
} MessageNotification;

/**
 * An advertisement notification of the heartbeat (4096 bytes). Texts as in
 * ContentNotification.
 */
typedef struct AdvertisementNotification {
  vesk_char16 key[256];   /**< 256 units. The `key` attribute. */
  vesk_char16 title[256]; /**< 256 units. The `title` element. */
  vesk_char16 text[1024]; /**< 1024 units. The `text` element. */
  vesk_char16 media[256]; /**< 256 units. The `media` element: the
                               advertisement's picture or other medium. */
  vesk_char16 href[256];  /**< 256 units. The `href` element: where the
                               advertisement leads. */
} AdvertisementNotification;

/**
 * The notifications that vesk_HandsetBeat collects (40 bytes with 8-byte
 * pointers, 36 with 4-byte ones).
 *
 * `entries` holds `contentCount` ContentNotification records from byte 0,
 * then `messageCount` MessageNotification records from byte
 * `messageOffset`, then `advertisementCount` AdvertisementNotification
 * records from byte `advertisementOffset`, packed without gaps:
 *
 *     const ContentNotification* contents =
 *         (const ContentNotification*)result.entries;
 *     const MessageNotification* messages =
 *         (const MessageNotification*)(result.entries + result.messageOffset);
 *     const AdvertisementNotification* advertisements =
 *         (const AdvertisementNotification*)(result.entries +
 *                                            result.advertisementOffset);
 *
 * Ownership of `entries`:
 * - The library allocates the array (with C++ `new uint8_t[]`) and hands it
 *   over on every status 200: it first releases the array that `entries`
 *   held (with `delete[]`), then stores the new one. Other statuses leave the
 *   whole record as it was, `entries` included.
 * - So before the first heartbeat with a record, `entries` must be NULL:
 *   zero the record (`HandsetBeatResult beat = {0};` or memset). An
 *   uninitialised pointer is released on the first successful heartbeat and
 *   crashes the process. For the same reason never put an array of your own
 *   there, never copy the record and pass both copies (the array would be
 *   released twice), and do not read an array after passing its record to
 *   another heartbeat: a successful one releases it.
 * - After a status 200 `entries` is never NULL, even with no notifications:
 *   an empty array is allocated.
 * - The last array is the caller's to release. From C++:
 *   `delete[] beat.entries; beat.entries = NULL;`. C cannot do this: the
 *   array comes from `new[]`, and releasing it with free() is undefined
 *   behaviour. A C host keeps one record for the life of the process and
 *   passes it to every heartbeat: each successful heartbeat releases the
 *   previous array, so only the latest one is ever held, and it goes with
 *   the process. (A host that must release it, for instance before it
 *   unloads the library, can compile a two-line C++ function that does the
 *   `delete[]` above and call it from C.)
 *
 * After a status 200 every field is written. When the
 * notification file could not be written (see vesk_HandsetBeat) or the
 * document could not be read, all counts, offsets and `total` are 0 and the
 * array is empty.
 */
typedef struct HandsetBeatResult {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * The `total` attribute of the `notifications` element as the service
   * states it (read as ContentNotification::size is). Not necessarily the sum
   * of the three counts: use the counts to walk the array.
   */
  int32_t total;
  int32_t contentCount;       /**< ContentNotification records in `entries`. */
  int32_t messageCount;       /**< MessageNotification records in `entries`. */
  int32_t advertisementCount; /**< AdvertisementNotification records in
                                   `entries`. */
  /**
   * The notification records, owned as described above: NULL before the
   * first heartbeat, then an array allocated by the library.
   */
  uint8_t* entries;
  /** Byte offset of the first MessageNotification: contentCount * 3588. */
  int32_t messageOffset;
  /**
   * Byte offset of the first AdvertisementNotification: messageOffset +
   * messageCount * 3072.
   */
  int32_t advertisementOffset;
} HandsetBeatResult;

/**
 * What vesk_HandsetDownload fetches, and where a resume starts (656 bytes).
 * Read and written by the download.
 */
typedef struct DownloadRecord {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * In: 256 units. The content key (ContentNotification::key), sent as the
   * form field "key"; at most 255 bytes in the code page.
   */
  vesk_char16 contentKey[256];
  /**
   * In: the position to resume from, 0 to fetch the file from its start.
   * When it is above 0 and the data file (`localPath` + ".Down") is there,
   * the request asks for the rest ("Range: bytes=offset-") and proves the
   * data file with its MD5 ("X-Checksum"); without a data file the offset is
   * set to 0 and the file starts over.
   * Out: when the file is not in place, the position to resume from: where
   * the transfer stopped, or the data file's new size after a rollback
   * (code 916). Give it back unchanged on the next call to resume.
   */
  uint32_t offset;
  /**
   * In: the last byte wanted, sent as the end of the range when it is
   * larger than `offset` (and a range is sent at all); otherwise the rest of
   * the file is asked for.
   */
  uint32_t rangeEnd;
  /**
   * Out: 64 units. The MD5 of the data file as sent for a resume (32
   * lower-case hexadecimal digits). Written only when a resume is sent.
   */
  vesk_char16 partialChecksum[64];
} DownloadRecord;

/**
 * How the download's last attempt went (532 bytes). Cleared whole after
 * every exchange, then filled when the reply was a usable 200 or 206.
 */
typedef struct DownloadResult {
  int32_t reserved[2]; /**< Not used by the library (cleared with the rest). */
  int32_t rangeStart;  /**< Where the reply's body begins in the file: 0 for
                            200, the first position of "Content-Range" for
                            206. */
  int32_t received;    /**< Body bytes received and written by the last
                            attempt. */
  int32_t fileSize;    /**< The file's full size as the reply states it: its
                            "Content-Length" for 200, the size after the "/" of
                            "Content-Range" for 206. */
  /**
   * 256 units. The reply's "X-Checksum" without blanks around it: the MD5
   * that the finished file must have, as 32 lower-case hexadecimal digits
   * (compared exactly, so a reply without it, or in upper case, never
   * matches).
   */
  vesk_char16 checksum[256];
} DownloadResult;

/**
 * What vesk_HandsetLoad fetches and where it unpacks it (1060 bytes). Only
 * read by the library.
 */
typedef struct LoadRecord {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * The position to resume from, 0 to fetch the archive from its start.
   * When it is not 0 the request asks for "Range: bytes=offset-" (with
   * `rangeEnd`), and the reply must continue the data file (`archivePath` +
   * ".Down"), which must hold at least `offset` bytes. Use the data file's
   * size (or LoadResult::rangeStart + LoadResult::received) after an
   * incomplete load.
   */
  int32_t offset;
  /** The last byte wanted, sent as the end of the range when it is larger
      than `offset`. */
  int32_t rangeEnd;
  /**
   * 260 units. The handset path where the archive is kept. The transfer
   * writes `archivePath` + ".Down" and its state file `archivePath` +
   * ".Down.cfg"; a complete archive takes this name. A file already there is
   * not replaced: the new archive takes the first free name of the form
   * "name(1).zip", and the file at `archivePath` is the one unpacked (and
   * deleted). Remove an older archive before the call.
   */
  vesk_char16 archivePath[260];
  /**
   * 260 units. The handset directory to unpack into, as an absolute handset
   * path; its last level is created when missing. Nothing is ever written
   * outside it.
   */
  vesk_char16 targetDirectory[260];
  /** Non-zero: the archive is deleted after it has been unpacked (also when
      entries failed). */
  uint8_t deleteArchive;
} LoadRecord;

/**
 * How the load went (20 bytes). Written whole when the reply was a usable
 * 200 or 206; otherwise left as it was.
 */
typedef struct LoadResult {
  int32_t reserved[2]; /**< Not used by the library. */
  int32_t rangeStart;  /**< Where the reply's body begins in the archive, as
                            DownloadResult::rangeStart. */
  int32_t received;    /**< Body bytes received and written; 0 when the
                            transfer files could not be made. */
  int32_t fileSize;    /**< The archive's full size, as
                            DownloadResult::fileSize. */
} LoadResult;

/** The number of entries one vesk_HandsetSave accepts. */
#define VESK80_SAVE_MAX_ENTRIES 9

/**
 * One file of a save: an update sends the file, a delete asks the service to
 * delete its copy (536 bytes).
 */
typedef struct SaveEntry {
  /**
   * 260 units. The handset path of the file; at most 259 bytes in the code
   * page. An update reads the file from it; both send it as the file's name
   * (the part's "filename", or the text of a delete part), in the code page.
   */
  vesk_char16 path[260];
  /** 8 units. "update" (any text that begins with it) sends the file;
      anything else asks for a delete. */
  vesk_char16 action[8];
} SaveEntry;

/**
 * The entries of one vesk_HandsetSave (4836 bytes). Only read by the
 * library.
 */
typedef struct HandsetSaveInput {
  int32_t reserved[2]; /**< Not used by the library. */
  /** How many of `entries` are used, 0 to VESK80_SAVE_MAX_ENTRIES; any other
      count is refused before sending (status 0 and a message). */
  int32_t count;
  /** The entries, sent in this order as the parts "update1" or "delete1",
      "update2" or "delete2", ... (numbered by position). */
  SaveEntry entries[VESK80_SAVE_MAX_ENTRIES];
} HandsetSaveInput;

/**
 * The user's account data for vesk_handsetActivate (2748 bytes). Only read
 * by the library. The texts are sent in the code page, each cut to its
 * byte limit there; fields that the mode does not send are not read.
 */
typedef struct HandsetActivateInput {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * What the activation does; every mode sends `username` and `password`:
   * - 1: registers a new account; also sends `name`, `gender`, `email`,
   *   `figure`, `province`.
   * - 2: binds the handset to an existing account; also sends `validation`,
   *   `bom` and the public key of a newly generated key pair.
   * - 3 and 5 (and any other value): checks the password and returns the
   *   account; nothing else is sent.
   * - 4: registers and binds in one; sends everything of modes 1 and 2.
   *
   * Modes 2 and 4 store the new identity in the environment file when the
   * service accepts it (see HandsetActivateResult::userId).
   */
  int32_t mode;
  /** 256 units. The handset's user agent: sent as "User-Agent", and stored
      in modes 2 and 4. At most 255 bytes in the code page. */
  vesk_char16 userAgent[256];
  /** 256 units. The handset's serial number: sent as "User-Serial", and
      stored in modes 2 and 4. At most 255 bytes in the code page. */
  vesk_char16 userSerial[256];
  /** 16 units. The account name. At most 15 bytes in the code page. */
  vesk_char16 username[16];
  /** 256 units. The password. At most 255 bytes in the code page. */
  vesk_char16 password[256];
  /** 16 units. The user's name (modes 1 and 4). At most 15 bytes in the
      code page (7 Chinese characters in GBK). */
  vesk_char16 name[16];
  /** 256 units. The e-mail address (modes 1 and 4). At most 255 bytes in
      the code page. */
  vesk_char16 email[256];
  /** 16 units. The province (modes 1 and 4). At most 15 bytes in the code
      page. */
  vesk_char16 province[16];
  /** 16 units. The validation code the user received (modes 2 and 4). At
      most 15 bytes in the code page. */
  vesk_char16 validation[16];
  /** 16 units. The "bom" value of the handset (modes 2 and 4), sent as the
      form field of that name. At most 15 bytes in the code page. */
  vesk_char16 bom[16];
  /**
   * 260 units. The handset path of the environment file. When a file is
   * there, its identity goes along ("User-ID", "User-NO" and a "User-Cert"
   * made with its key). Modes 2 and 4 write the new identity to it; empty
   * means `\PocketDisk1\handset.env` for that write.
   */
  vesk_char16 environmentPath[260];
  int32_t gender; /**< Sent as a decimal number (modes 1 and 4). */
  int32_t figure; /**< Sent as a decimal number (modes 1 and 4). */
} HandsetActivateInput;

/**
 * What the activation returns (696 bytes). `serverDate` is written whenever
 * the URL was accepted; the account fields (`userId` to `figure`) on status
 * 200 in modes 2, 3 and 4 only (modes 1 and 5 leave them as they were). The
 * reply is read as AccountInfoResult's is.
 */
typedef struct HandsetActivateResult {
  int32_t reserved[2]; /**< Not used by the library. */
  /**
   * The `id` attribute of the `account` element, replaced by the `user-id`
   * element when the reply has one. 0 or less means that no account came
   * back: the other account fields are then empty or 0 and nothing is
   * stored. Above 0, in modes 2 and 4, the environment file is rewritten
   * with the new identity.
   */
  int32_t userId;
  int32_t userNo;           /**< The `user-no` element. */
  vesk_char16 username[16]; /**< 16 units. The `username` element. */
  vesk_char16 email[256];   /**< 256 units. The `email` element. */
  vesk_char16 name[16];     /**< 16 units. The `name` element, encoded words
                                 decoded (see AccountInfoResult::name). */
  vesk_char16 province[16]; /**< 16 units. The `province` element, encoded
                                 words decoded. */
  int32_t gender;           /**< The `gender` element. */
  int32_t figure;           /**< The `figure` element. */
  /**
   * 32 units. The reply's "Date" header as it stands after the colon, whatever
   * the status; empty when no reply came or it had none.
   */
  vesk_char16 serverDate[32];
} HandsetActivateResult;

/**
 * The account that the handset's credentials belong to.
 *
 * Sends a GET for the URL's path with the identity from the environment file
 * ("User-Serial", a "User-Cert" made with the handset's private key, and
 * "User-ID") and reads the account from the XML reply that came with the
 * response head.
 *
 * @param environmentFile The handset path of the environment file; NULL or a
 *        missing file sends empty credentials.
 * @param result Out: written whole on status 200 only.
 * @param error Out: written on every other status.
 * @param url The resource, "http://host[:port]/path".
 * @param port The TCP port to connect to.
 * @return 200 with the account in `result`; another status: the service's
 *         refusal, in `error`; 0: no response, or the URL was refused.
 */
VESK80_API int32_t vesk_AccountInfo(const vesk_char16* environmentFile,
                                    AccountInfoResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port);

/**
 * Tells the service that the handset is alive and collects its
 * notifications.
 *
 * Sends a GET for the URL's path with "User-Serial" and "User-ID" from the
 * environment file (no certificate). The body of a 200 reply is stored in
 * `\Storage Card\savepush.xml` (replaced at every heartbeat, removed once
 * read) and read as an XML document in whatever encoding it declares: the
 * `notifications` element with its `total` attribute, and in it `content`
 * elements (attribute `key`; children `mime`, `size`, `title`, `text`),
 * then `message` elements (`key`; `title`, `text`), then `advertisement`
 * elements (`key`; `title`, `text`, `media`, `href`). The kinds are read in
 * this order, each search going on after the last match: an element placed
 * before the last one of an earlier kind is passed over. A child that is
 * missing gives an empty text. The body is read as far as "Content-Length"
 * says; a reply without it yields only what fits the 1024-byte response area
 * after the head.
 *
 * When the notification file cannot be written whole (the `Storage Card`
 * directory is missing, the card is full), it is removed: the status stays
 * 200, the result holds no notifications, and the error record has code 0
 * and the message "the notification file could not be written". A document
 * that does not read as XML also gives 200 and no notifications, without a
 * message; the file then stays on the card.
 *
 * @param environmentFile The handset path of the environment file; NULL or a
 *        missing file sends empty credentials.
 * @param result In and out: zeroed before the record's first heartbeat (its
 *        `entries` must be NULL or an array from an earlier heartbeat with
 *        this record). On status 200 the previous array is released and
 *        every field is written; on any other status the record is left as
 *        it was. See HandsetBeatResult for the ownership of `entries`.
 * @param error Out: written on every status but 200, and on 200 when the
 *        notification file could not be written.
 * @param url The resource, "http://host[:port]/path".
 * @param port The TCP port to connect to.
 * @return 200 with the notifications in `result`; another status: the
 *         service's refusal, in `error`; 0: no response, the URL was refused,
 *         or memory ran out (the previous array is then kept).
 */
VESK80_API int32_t vesk_HandsetBeat(const vesk_char16* environmentFile,
                                    HandsetBeatResult* result,
                                    HandsetError* error, const vesk_char16* url,
                                    int32_t port);

/**
 * Fetches one content file into `localPath`, resuming and verifying it, and
 * confirms its arrival to `secondUrl`.
 *
 * One call makes up to three attempts. Each POSTs the form "key" (the
 * content key) with "User-Serial", "User-ID" and "User-Cert"; a resume adds
 * "Range" and the data file's MD5 as "X-Checksum" (see
 * DownloadRecord::offset). A reply of 200 or 206 streams into the data file
 * `localPath` + ".Down" at its position, while the state file `localPath` +
 * ".Down.cfg" (UTF-16LE "Key: value" lines) records the URL, the size and
 * the position reached. A 206 reply must continue the file where the
 * request asked (`offset` when resuming, else byte 0) and where the data
 * file ends; any other range, or one without a usable "Content-Range", is
 * refused like a service refusal (code 0, a message naming both positions)
 * and nothing is written. When the last byte has arrived the state file is
 * deleted, the data file takes the name `localPath` (a free name such as
 * "name(1).ext" when a file appeared there meanwhile), and its MD5 is
 * compared with the reply's "X-Checksum". A match ends the call: the
 * arrival is confirmed with a POST of the form "key" to `secondUrl` on
 * `secondPort`, whose reply is not examined.
 *
 * Anything else leads to the next attempt: an incomplete transfer resumes
 * where it stopped; a partial file that the service rejects (code 916), or
 * a finished file whose MD5 differs (moved back to the data file name), is
 * shortened by 40 KiB, 100 KiB and 1 MiB at the first, second and third
 * attempt and resumed from there; any other refusal, and no response, is
 * simply tried again. A file already at `localPath` when an attempt starts
 * (an earlier, finished download) is taken back as the data file and
 * written over. A 200 reply without "Content-Length" counts as an empty
 * file.
 *
 * The result and error records are cleared whole after every exchange, so
 * they always describe the last attempt. The outcome:
 * - status 200 or 206, code 0, empty message: the file is in place at
 *   `localPath` and matches its checksum; the confirmation was sent.
 * - status 200 or 206, code 0, a message: the file is not in place (the
 *   transfer stopped early, the transfer files could not be made, the
 *   finished file could not take its name, or the reply's range was
 *   refused); the data and state files remain and `record->offset` is the
 *   position to resume from.
 * - status 200 or 206, code 916: the finished file's MD5 differed from
 *   "X-Checksum" at the last attempt; it was moved back and shortened, and
 *   `record->offset` is its new size.
 * - another status: the service's refusal (with code 916, the partial file
 *   was shortened and `record->offset` updated).
 * - 0: no response, or a URL or `localPath` refused before sending.
 *
 * @param environmentFile The handset path of the environment file; NULL or a
 *        missing file sends empty credentials.
 * @param record In and out: the content key and the resume position; see
 *        DownloadRecord.
 * @param result Out: see DownloadResult.
 * @param error Out: cleared after every exchange, then written as above;
 *        also written when a URL or `localPath` is refused.
 * @param localPath The handset path the file is to have: not empty, and at
 *        most 250 units, so that the state file's name fits a handset path.
 * @param url The download resource, "http://host[:port]/path".
 * @param port The TCP port of `url`.
 * @param secondUrl The confirmation resource, "http://host[:port]/path";
 *        checked before anything is sent like `url`.
 * @param secondPort The TCP port of `secondUrl`.
 * @return The status of the last attempt, read together with the error
 *         record as listed above.
 */
VESK80_API int32_t vesk_HandsetDownload(
    const vesk_char16* environmentFile, DownloadRecord* record,
    DownloadResult* result, HandsetError* error, const vesk_char16* localPath,
    const vesk_char16* url, int32_t port, const vesk_char16* secondUrl,
    int32_t secondPort);

/**
 * Fetches a zip archive and unpacks it into the target directory.
 *
 * Sends a GET with "User-Serial", "User-ID" and "User-Cert", and a "Range"
 * when LoadRecord::offset is not 0. The range rules of the download apply.
 * A 200 or 206 reply streams into `archivePath` + ".Down" (every block
 * handed to the file system as it arrives) beside its state file; no
 * checksum, no retries, no confirmation. A 200 reply without
 * "Content-Length" counts as an empty archive.
 *
 * A complete archive takes the name `archivePath` and is unpacked into
 * LoadRecord::targetDirectory, entries in directory order. Entry names lose
 * a leading drive ("C:"), leading separators and climbing ".." segments at
 * the front; an entry whose name is then empty or still climbs, whose path
 * would exceed 259 units, that is encrypted, that would write over the
 * archive itself or over a read-only file, or that cannot be written, fails. So
 * does every entry of an archive whose declared sizes do not fit the free space
 * of the target's file system: such an archive unpacks nothing. Every failed
 * entry prints the line "unzip fail" on standard output, and the next entry
 * follows; failed entries are not reported in the records (the status stays
 * 200 or 206). Existing files are replaced; symbolic-link entries become
 * regular files holding the link's text. With LoadRecord::deleteArchive the
 * archive is deleted afterwards.
 *
 * An incomplete transfer unpacks nothing: the error record gets code 0 and
 * a message saying why, and the data and state files stay for a resume.
 *
 * @param environmentFile The handset path of the environment file; NULL or a
 *        missing file sends empty credentials.
 * @param record In: what to fetch and where to unpack it; see LoadRecord.
 * @param result Out: written whole when the reply was a usable 200 or 206.
 * @param error Out: written on a refusal, on a refused range, when the URL
 *        is refused, and when the transfer did not complete.
 * @param url The resource, "http://host[:port]/path".
 * @param port The TCP port to connect to.
 * @return 200 or 206: the reply was received (the archive was unpacked when
 *         the error message is empty); another status: the service's
 *         refusal; 0: no response, or the URL was refused.
 */
VESK80_API int32_t vesk_HandsetLoad(const vesk_char16* environmentFile,
                                    const LoadRecord* record,
                                    LoadResult* result, HandsetError* error,
                                    const vesk_char16* url, int32_t port);

/**
 * Uploads files and asks the service to delete files, in one request.
 *
 * Sends a POST of "multipart/form-data" with "User-Serial", "User-ID" and
 * "User-Cert" and a "Content-Length" computed beforehand; the body goes out
 * part by part, each file read in pieces (never whole in memory). An update
 * is a part "updateN" whose "filename" is the entry's path and whose content
 * is the file's bytes; a delete is a part "deleteN" whose text is the path.
 *
 * - An update of a file that is not there sends an empty part (the
 *   service's copy becomes empty): check that the file exists first.
 * - An update of a file that is there but cannot be sized (or is larger
 *   than 2 GiB - 1), a count outside 0 to 9, a path or action that cannot
 *   be converted or is too long, and a body over 2 GiB - 1 are refused
 *   before anything is sent: status 0, code 0 and a message.
 * - A file that grows while it is sent is sent as far as announced; one that
 *   shrinks abandons the exchange (status 0 and a message), so the body
 *   never differs from its announced length.
 *
 * @param environmentFile The handset path of the environment file; NULL or a
 *        missing file sends empty credentials.
 * @param input In: the entries; see HandsetSaveInput.
 * @param output Out: room for 1025 units. On status 200 it receives the
 *        response text: the head and body as first received (the head and
 *        as many body bytes as "Content-Length" announces and the 1024-byte
 *        response area holds), converted from the code page up to its first
 *        zero byte: at most 1024 units and the terminator. Untouched on any
 *        other status.
 * @param error Out: written on every status but 200.
 * @param url The resource, "http://host[:port]/path".
 * @param port The TCP port to connect to.
 * @return 200 with the response in `output`; another status: the service's
 *         refusal, in `error`; 0: no response, an abandoned upload, or a
 *         refusal before sending.
 */
VESK80_API int32_t vesk_HandsetSave(const vesk_char16* environmentFile,
                                    const HandsetSaveInput* input,
                                    vesk_char16* output, HandsetError* error,
                                    const vesk_char16* url, int32_t port);

/**
 * Sends the user's account data and, in modes 2 and 4, registers a new key
 * pair and stores the identity the service assigns.
 *
 * POSTs a form with "username", "password" and the fields of the mode (see
 * HandsetActivateInput::mode), with the input's user agent and
 * "User-Serial"; when a file is at HandsetActivateInput::environmentPath its
 * identity goes along. Modes 2 and 4 generate a new 1024-bit RSA key pair
 * and send its public key as the form fields "modulus" and "exponent". When
 * such an activation is accepted (status 200, userId above 0) the
 * environment file is rewritten with six lines (see the file description):
 * the input's user agent and serial, the user id and number of the reply,
 * and the new key pair. Its directory must exist; a file that cannot be
 * written is not reported.
 *
 * @param input In: the account data and the mode; see HandsetActivateInput.
 * @param result Out: see HandsetActivateResult for what is written when.
 * @param error Out: written on every status but 200; the time stamp for
 *        codes 906, 914 and 915.
 * @param url The resource, "http://host[:port]/path".
 * @param port The TCP port to connect to.
 * @return 200: the service accepted the request (check `result->userId`
 *         for an account); another status: the service's refusal, in
 *         `error`; 0: no response, or the URL was refused.
 */
VESK80_API int32_t vesk_handsetActivate(const HandsetActivateInput* input,
                                        HandsetActivateResult* result,
                                        HandsetError* error,
                                        const vesk_char16* url, int32_t port);

#ifdef __cplusplus
}
#endif

#endif /* VESK80_H */
