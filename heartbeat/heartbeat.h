// The heartbeat: tells the service that the handset is alive and collects
// the notifications queued for it.
#pragma once

#include <cstdint>

#include "service/vesk80.h"

namespace vesk::heartbeat {

// Runs the heartbeat operation.
int32_t HandsetBeat(const char16_t* environmentFile, HandsetBeatResult* result,
                    HandsetError* error, const char16_t* url, int32_t port);

}  // namespace vesk::heartbeat
