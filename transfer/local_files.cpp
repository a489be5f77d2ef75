// Local file utilities: deleting a file and appending a line to a text file.
#include <string>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

// The path as the file system sees it, or false for one that is too long.
bool TakePath(const char16_t* path, std::u16string* out) {
  if (path == nullptr) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  const size_t length = service::BoundedLength(path, kMaxPathUnits + 1);
  if (length > kMaxPathUnits) {
    platform::SetLastError(platform::kErrorFilenameTooLong);
    return false;
  }
  out->assign(path, length);
  return true;
}

}  // namespace

bool DeleteLocalFile(const char16_t* path) {
  std::u16string name;
  if (!TakePath(path, &name)) return false;
  if (service::ProbePath(name.c_str()) == 1) {
    platform::SetLastError(kErrorNamesDirectory);
    return false;
  }
  (void)platform::DeleteFile(name);
  return true;
}

bool AppendLine(const char16_t* path, const transport::ByteString& text) {
  std::u16string name;
  if (!TakePath(path, &name)) return false;
  platform::File file = platform::File::OpenAppend(name);
  if (!file.IsOpen()) return false;
  return file.Write(text.c_str(), text.size()) && file.Write("\n", 1);
}

}  // namespace vesk::transfer
