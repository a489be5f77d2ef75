// Handset activation: the user's account data sent to the service, and the
// registration of the handset's identity.
#pragma once

#include <cstdint>

#include "service/vesk80.h"

namespace vesk::activation {

// Runs the activation operation.
int32_t HandsetActivate(const HandsetActivateInput* input,
                        HandsetActivateResult* result, HandsetError* error,
                        const char16_t* url, int32_t port);

}  // namespace vesk::activation
