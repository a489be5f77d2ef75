#include "tests/support/device_root.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

// Removes `p` and everything below it, first giving the owner write and
// search rights on every directory so entries of read-only ones can go too.
void RemoveTree(const fs::path& p) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(p, ec))) {
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
    std::vector<fs::path> children;
    for (const auto& child : fs::directory_iterator(p, ec)) {
      children.push_back(child.path());
    }
    for (const fs::path& child : children) RemoveTree(child);
  }
  fs::remove(p, ec);
}

}  // namespace

DeviceRoot::DeviceRoot() {
  std::string pattern =
      (fs::absolute(fs::temp_directory_path()) / "vesk-root-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary device root");
  }
  path_ = pattern;
  std::error_code ec;
  if (!fs::create_directory(fs::path(path_) / "Storage Card", ec) ||
      !fs::create_directory(fs::path(path_) / "PocketDisk1", ec)) {
    RemoveTree(path_);
    throw std::runtime_error("cannot populate device root " + path_);
  }
  variable_.Set(path_);
}

// The variable is restored by its member after the tree is gone.
DeviceRoot::~DeviceRoot() { RemoveTree(path_); }

const std::string& DeviceRoot::path() const { return path_; }

std::string DeviceRoot::Host(const std::string& handsetPath) const {
  std::string out = path_;
  if (handsetPath.empty() ||
      (handsetPath[0] != '\\' && handsetPath[0] != '/')) {
    out += '/';
  }
  for (char c : handsetPath) out += (c == '\\') ? '/' : c;
  return out;
}

ScopedTmpfs::ScopedTmpfs(const std::string& at, const std::string& size)
    : path(at),
      mounted(::mount("tmpfs", at.c_str(), "tmpfs", 0,
                      ("size=" + size).c_str()) == 0),
      why(mounted ? "" : std::strerror(errno)) {}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted) ::umount2(path.c_str(), MNT_DETACH);
}

bool ScopedTmpfs::Resize(const std::string& size) const {
  return ::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT,
                 ("size=" + size).c_str()) == 0;
}

std::string ReadHostFile(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return "";
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

bool HostFileExists(const std::string& hostPath) {
  struct stat st;
  return ::stat(hostPath.c_str(), &st) == 0;
}

void WriteHostFile(const std::string& hostPath, const std::string& bytes) {
  fs::path parent = fs::path(hostPath).parent_path();
  std::error_code ec;
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + hostPath);
}

std::u16string U16(const std::string& utf8) {
  static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000, 0};
  auto byte = [&](size_t at) { return static_cast<unsigned char>(utf8[at]); };
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = byte(i);
    const size_t extra = lead < 0x80             ? 0
                         : (lead & 0xE0) == 0xC0 ? 1
                         : (lead & 0xF0) == 0xE0 ? 2
                         : (lead & 0xF8) == 0xF0 ? 3
                                                 : 4;  // not a lead byte
    char32_t cp = lead & (0xFF >> (extra + 1 + (extra > 0)));
    size_t j = 1;
    for (; extra < 4 && j <= extra && i + j < utf8.size() &&
           (byte(i + j) & 0xC0) == 0x80;
         ++j) {
      cp = (cp << 6) | (byte(i + j) & 0x3F);
    }
    i += j;
    if (extra == 4 || j <= extra || cp < kLeast[extra] || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = 0xFFFD;
    } else if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      cp = 0xDC00 + (cp & 0x3FF);
    }
    out += static_cast<char16_t>(cp);
  }
  return out;
}

ScopedEnv::ScopedEnv(const char* name) : name_(name) {
  if (const char* value = std::getenv(name)) saved_ = value;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value)
    : ScopedEnv(name) {
  Set(value);
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    Set(*saved_);
  } else {
    Unset();
  }
}

void ScopedEnv::Set(const std::string& value) {
  ::setenv(name_, value.c_str(), 1);
  ::tzset();
}

void ScopedEnv::Unset() {
  ::unsetenv(name_);
  ::tzset();
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string Utf16Bytes(const std::u16string& text, bool bigEndian) {
  std::string bytes;
  for (char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

void WriteHandsetEnv(const DeviceRoot& root, const std::string& more) {
  WriteHostFile(
      root.Host("\\PocketDisk1\\handset.env"),
      "User-Agent: TestAgent/1\nUser-Serial: SN-9\nUser-Id: 42\n" + more);
}

}  // namespace vesk::test
