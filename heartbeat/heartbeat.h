// The heartbeat: tells the service that the handset is alive and collects
// the notifications queued for it.
#pragma once

#include <cstdint>

#include "service/vesk80.h"

namespace vesk::heartbeat {

// Reads the notification file "\Storage Card\savepush.xml" into the
// caller's record as a successful heartbeat does after storing the reply:
// releases the record's previous array, fills counts, offsets and a new
// array (empty when the file holds no notifications), and deletes the file
// when it parsed.
void ReadNotificationFile(HandsetBeatResult* result);

// Runs the heartbeat operation.
int32_t HandsetBeat(const char16_t* environmentFile, HandsetBeatResult* result,
                    HandsetError* error, const char16_t* url, int32_t port);

}  // namespace vesk::heartbeat
