// A temporary device root for one test, a small file system that fills, and
// small host file helpers.
#ifndef VESK_TESTS_SUPPORT_DEVICE_ROOT_H_
#define VESK_TESTS_SUPPORT_DEVICE_ROOT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vesk::test {

// Changes an environment variable for one scope (the time zone is read
// again when TZ changes); the destructor restores the earlier value.
class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name);
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void Set(const std::string& value);
  void Unset();

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// A fresh temporary directory used as the handset's device root: the
// constructor points VESK_DEVICE_ROOT at it and creates "Storage Card" and
// "PocketDisk1" in it; the destructor restores the previous VESK_DEVICE_ROOT
// (or unsets it) and removes the directory with everything in it, read-only
// files and directories included.
class DeviceRoot {
 public:
  DeviceRoot();
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  // Host path of the root (absolute, no trailing "/").
  const std::string& path() const;
  // Host path of a handset path: "\PocketDisk1\a.env" ->
  // <root>/PocketDisk1/a.env ("/" works as a separator too).
  std::string Host(const std::string& handsetPath) const;

 private:
  std::string path_;
  ScopedEnv variable_{"VESK_DEVICE_ROOT"};
};

// A small file system (tmpfs of the given size, "1m") mounted over a host
// directory for one scope: a storage card or a data directory that fills.
// Needs the right to mount (root): `mounted` says whether it is there and
// `why` why not.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& path, const std::string& size);
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  bool Resize(const std::string& size) const;  // keeps what it holds

  const std::string path;
  const bool mounted;
  const std::string why;
};

// The whole file as bytes; "" when it is missing or unreadable.
std::string ReadHostFile(const std::string& hostPath);
// True when something exists at the path (file or directory).
bool HostFileExists(const std::string& hostPath);
// Creates or truncates the file and writes the bytes; missing parent
// directories are created. Throws std::runtime_error on failure.
void WriteHostFile(const std::string& hostPath, const std::string& bytes);
// UTF-8 to UTF-16; characters above U+FFFF become surrogate pairs, malformed
// input becomes U+FFFD.
std::u16string U16(const std::string& utf8);
// size pseudo-random bytes, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed = 1);
// The UTF-16 code units as bytes, little-endian unless asked otherwise.
std::string Utf16Bytes(const std::u16string& text, bool bigEndian = false);
// Writes the handset's environment file, "\PocketDisk1\handset.env", with
// User-Agent TestAgent/1, User-Serial SN-9, User-Id 42 and then `more`.
void WriteHandsetEnv(const DeviceRoot& root,
                     const std::string& more = "User-No: 7\n");

}  // namespace vesk::test

#endif  // VESK_TESTS_SUPPORT_DEVICE_ROOT_H_
