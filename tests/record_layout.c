/* The records of vesk80.h as a C99 compiler lays them out, for
 * record_layout_test.cpp. */
#include "tests/record_layout.h"

const VeskLayoutRow vesk_c_layout[] = {
    VESK_RECORD_LAYOUT(VESK_LAYOUT_RECORD, VESK_LAYOUT_FIELD)};
const size_t vesk_c_layout_rows =
    sizeof vesk_c_layout / sizeof vesk_c_layout[0];

/* The heartbeat record holds a pointer, so its layout is the one that
 * differs between targets (36 bytes with 4-byte pointers, 40 with 8-byte
 * ones): a C host that lays it out otherwise fails to compile here. */
typedef char vesk_beat_entries_at_24[offsetof(HandsetBeatResult, entries) == 24
                                         ? 1
                                         : -1];
typedef char vesk_beat_offsets_after_entries
    [offsetof(HandsetBeatResult, messageOffset) == 24 + sizeof(void*) &&
             offsetof(HandsetBeatResult, advertisementOffset) ==
                 28 + sizeof(void*)
         ? 1
         : -1];
typedef char vesk_beat_size
    [sizeof(HandsetBeatResult) == (sizeof(void*) == 4 ? 36u : 40u) ? 1 : -1];
