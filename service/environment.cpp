// The handset environment: the identity values every operation reads at its
// start, the file they live in, and the file-system probe and time stamp
// that the call core shares.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::service {

namespace {

// The file keys in the order the reader tests them and the writer writes
// them. A line takes the first key that occurs anywhere in it.
enum class Key {
  kUserAgent,
  kPublicKey,
  kPrivateKey,
  kUserSerial,
  kUserId,
  kUserNo
};
constexpr const char* kKeyNames[] = {"User-Agent",  "Public-Key", "Private-Key",
                                     "User-Serial", "User-Id",    "User-No"};

// Longest line content the reader takes: the handset read lines into a
// 1024-byte buffer.
constexpr size_t kMaxLine = 1023;

// Reads the file line by line, without line-end translation. Next() gives
// false at the end of the file and at the first line that is too long.
class LineReader {
 public:
  explicit LineReader(platform::File& file) : file_(file) {}

  // A carriage return that ends a line (a file from an editor that ends its
  // lines with CR LF) belongs to the line end, not to the value.
  bool Next(std::string* line) {
    if (!NextAsRead(line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }

 private:
  bool NextAsRead(std::string* line) {
    line->clear();
    for (;;) {
      if (position_ == filled_) {
        if (atEnd_) return !line->empty();
        const int64_t read = file_.Read(buffer_, sizeof buffer_);
        if (read <= 0) {
          atEnd_ = true;
          return !line->empty();
        }
        filled_ = static_cast<size_t>(read);
        position_ = 0;
      }
      const char* begin = buffer_ + position_;
      const void* feed = std::memchr(begin, '\n', filled_ - position_);
      const size_t take = feed == nullptr
                              ? filled_ - position_
                              : static_cast<const char*>(feed) - begin;
      line->append(begin, take);
      position_ += take;
      if (line->size() > kMaxLine) return false;
      if (feed != nullptr) {
        ++position_;  // the line feed is dropped
        return true;
      }
    }
  }

  platform::File& file_;
  char buffer_[4096];
  size_t position_ = 0;
  size_t filled_ = 0;
  bool atEnd_ = false;
};

// The line as the handset saw it: text up to its first zero byte.
void TakeLine(HandsetEnv& env, const char* line, ByteString* texts[4]) {
  for (size_t k = 0; k < std::size(kKeyNames); ++k) {
    const int32_t at = transport::FindText(line, kKeyNames[k], 0);
    if (at < 0) continue;
    const int32_t separator = transport::FindText(line, ": ", at);
    const char* value = separator < 0 ? line : line + separator + 2;
    switch (static_cast<Key>(k)) {
      case Key::kUserId:
        env.SetUserId(transport::AtoiRule(value));
        break;
      case Key::kUserNo:
        env.SetUserNo(transport::AtoiRule(value));
        break;
      default:
        texts[k]->Append(value);
        break;
    }
    return;
  }
}

}  // namespace

const char16_t kDefaultEnvironmentPath[] = u"\\PocketDisk1\\handset.env";

HandsetEnv& Env() {
  static HandsetEnv env;
  return env;
}

void ReadEnvironment(const char16_t* path) {
  HandsetEnv& env = Env();
  env.userAgent_.Clear();
  env.publicKey_.Clear();
  env.privateKey_.Clear();
  env.userSerial_.Clear();
  env.userId_ = 0;
  if (path == nullptr) return;

  platform::File file = platform::File::Open(
      path, platform::Access::kRead, platform::Disposition::kOpenExisting);
  if (!file.IsOpen()) return;
  ByteString* texts[4] = {&env.userAgent_, &env.publicKey_, &env.privateKey_,
                          &env.userSerial_};
  LineReader reader(file);
  std::string line;
  while (reader.Next(&line)) TakeLine(env, line.c_str(), texts);
}

void WriteEnvironment(const char16_t* path) {
  if (path == nullptr) return;
  const HandsetEnv& env = Env();
  (void)transfer::DeleteLocalFile(path);
  const ByteString values[] = {
      env.UserAgent(),
      env.PublicKey(),
      env.PrivateKey(),
      env.UserSerial(),
      ByteString().AppendDecimal(env.UserId()),
      ByteString().AppendDecimal(env.UserNo()),
  };
  for (size_t k = 0; k < std::size(kKeyNames); ++k) {
    ByteString line(kKeyNames[k]);
    line.Append(": ").Append(values[k]);
    (void)transfer::AppendLine(path, line);
  }
}

void ClearEnvironment() {
  HandsetEnv& env = Env();
  env.userAgent_.Clear();
  env.userSerial_.Clear();
  env.publicKey_.Clear();
  env.privateKey_.Clear();
  env.contentKeys_.Clear();
}

int32_t ProbePath(const char16_t* path) {
  if (path == nullptr || *path == 0) return 0;
  platform::FindHandle find;
  platform::FindData data;
  if (!find.FindFirst(path, &data)) return 0;
  do {
    if ((data.attributes & platform::kAttributeDirectory) == 0) return 2;
  } while (find.FindNext(&data));
  return 1;
}

ByteString FormatTimestamp() {
  platform::SystemTime now{};
  platform::GetLocalTime(&now);
  const int32_t ticks = static_cast<int32_t>(platform::GetTickCount());
  char text[96];
  std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d.%.3d", now.year,
                now.month, now.day, now.hour, now.minute, now.second,
                ticks % 999);
  return ByteString(text);
}

}  // namespace vesk::service
