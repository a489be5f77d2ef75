// Local file utilities: moving a file to a free name, making a file's
// directory, deleting, sizing and appending a line.
#include <climits>
#include <string>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

// A move may start from a name the library formed itself that runs past a
// caller's path: the scratch file of a full-length state file name carries
// four more units (".tmp"). The name a move creates stays within
// kMaxPathUnits.
constexpr size_t kMaxSourceUnits = kMaxPathUnits + 4;

std::u16string Decimal(uint32_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

}  // namespace

bool TakePath(const char16_t* path, std::u16string* out, size_t maxUnits) {
  if (path == nullptr) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  const size_t length = service::BoundedLength(path, maxUnits + 1);
  if (length > maxUnits) {
    platform::SetLastError(platform::kErrorFilenameTooLong);
    return false;
  }
  out->assign(path, length);
  return true;
}

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool MoveToFreeName(const char16_t* source, const char16_t* target) {
  std::u16string from;
  std::u16string to;
  if (!TakePath(source, &from, kMaxSourceUnits) || !TakePath(target, &to)) {
    return false;
  }
  if (service::ProbePath(from.c_str()) == 1) {
    platform::SetLastError(kErrorNamesDirectory);
    return false;
  }
  std::u16string name = to;
  if (service::ProbePath(to.c_str()) == 2) {
    // The counter goes before the last "." of the whole path, directories
    // included, so "a.b\c" becomes "a(1).b\c"; a path without any "." gets
    // it at the end.
    const size_t dot = to.rfind(u'.');
    const std::u16string front =
        dot == std::u16string::npos ? to : to.substr(0, dot);
    const std::u16string rest =
        dot == std::u16string::npos ? std::u16string() : to.substr(dot);
    for (uint32_t n = 1;; ++n) {
      name = front + u"(" + Decimal(n) + u")" + rest;
      if (name.size() > kMaxPathUnits) {
        platform::SetLastError(platform::kErrorFilenameTooLong);
        return false;
      }
      if (service::ProbePath(name.c_str()) != 2) break;
    }
  }
  return platform::MoveFile(from, name);
}

bool EnsureFileDirectory(const char16_t* filePath, std::u16string* directory) {
  std::u16string path;
  if (!TakePath(filePath, &path)) return false;
  const size_t last = path.find_last_of(u"\\/");
  const std::u16string folder = last == std::u16string::npos
                                    ? std::u16string()
                                    : path.substr(0, last + 1);
  if (directory != nullptr) *directory = folder;
  if (service::ProbePath(folder.c_str()) != 0) return true;
  for (size_t at = folder.find_first_of(u"\\/"); at != std::u16string::npos;
       at = folder.find_first_of(u"\\/", at + 1)) {
    // A level without a name of its own (the root, or a doubled separator)
    // cannot be missing.
    if (at == 0 || IsSeparator(folder[at - 1])) continue;
    const std::u16string level = folder.substr(0, at + 1);
    if (service::ProbePath(level.c_str()) == 0 &&
        !platform::CreateDirectory(level)) {
      return false;
    }
  }
  return true;
}

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

int32_t LocalFileSize(const char16_t* path, int32_t* size) {
  std::u16string name;
  if (!TakePath(path, &name)) return 0;
  const int32_t found = service::ProbePath(name.c_str());
  if (found == 0) return 0;
  if (found == 1) {
    platform::SetLastError(kErrorNamesDirectory);
    return 0;
  }
  platform::File file = platform::File::Open(
      name, platform::Access::kRead, platform::Disposition::kOpenExisting);
  if (!file.IsOpen()) return 0;
  const int64_t end = file.Seek(0, platform::File::From::kEnd);
  // Transfers keep positions in 32 bits; a larger file has no size here.
  if (end < 0 || end > INT32_MAX) return 0;
  if (size != nullptr) *size = static_cast<int32_t>(end);
  return static_cast<int32_t>(end);
}

bool AppendLine(const char16_t* path, const transport::ByteString& text) {
  std::u16string name;
  if (!TakePath(path, &name)) return false;
  platform::File file = platform::File::OpenAppend(name);
  if (!file.IsOpen()) return false;
  return file.Write(text.c_str(), text.size()) && file.Write("\n", 1);
}

}  // namespace vesk::transfer
