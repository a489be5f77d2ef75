// The data upload: files and delete requests in one multipart request.
#pragma once

#include <cstdint>

#include "service/vesk80.h"

namespace vesk::upload {

// Runs the save operation.
int32_t HandsetSave(const char16_t* environmentFile,
                    const HandsetSaveInput* input, char16_t* output,
                    HandsetError* error, const char16_t* url, int32_t port);

}  // namespace vesk::upload
