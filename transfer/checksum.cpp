// MD5 checksums of transfer files: of a whole file, and of a file as a
// receive writes it, computed on a worker thread beside the receive.
#include <tomcrypt.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "service/service.h"
#include "transfer/transfer.h"

namespace vesk::transfer {

namespace {

constexpr size_t kChecksumUnits = 32;
// Bytes read per system call while a file is digested, and bytes per block
// handed to the worker.
constexpr size_t kDigestBlockSize = 64 * 1024;
// Blocks that may wait for the worker before Feed waits in turn.
constexpr size_t kMaxPendingBlocks = 16;

std::u16string DigestText(hash_state& state) {
  unsigned char digest[16];
  md5_done(&state, digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::u16string text;
  text.reserve(kChecksumUnits);
  for (const unsigned char byte : digest) {
    text.push_back(static_cast<char16_t>(kHex[byte >> 4]));
    text.push_back(static_cast<char16_t>(kHex[byte & 0x0F]));
  }
  return text;
}

// Digests up to limit bytes of the open file from its start; the bytes
// digested, or -1 on a read error.
int64_t DigestFile(platform::File& file, int64_t limit, hash_state& state) {
  auto buffer = std::make_unique<unsigned char[]>(kDigestBlockSize);
  int64_t done = 0;
  while (done < limit) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(
        limit - done, static_cast<int64_t>(kDigestBlockSize)));
    const int64_t got = file.Read(buffer.get(), want);
    if (got < 0) return -1;
    if (got == 0) break;
    md5_process(&state, buffer.get(), static_cast<unsigned long>(got));
    done += got;
  }
  return done;
}

}  // namespace

std::u16string FileChecksum(const char16_t* path) {
  std::u16string name;
  if (!TakePath(path, &name)) return std::u16string();
  platform::File file = platform::File::Open(
      name, platform::Access::kRead, platform::Disposition::kOpenExisting);
  if (!file.IsOpen()) return std::u16string();
  hash_state state;
  md5_init(&state);
  if (DigestFile(file, INT64_MAX, state) < 0) return std::u16string();
  return DigestText(state);
}

// ---------------------------------------------------------------------------

struct StreamChecksum::Worker {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<char>> pending;  // full blocks for the worker
  std::vector<std::vector<char>> spare;   // digested blocks for reuse
  bool ending = false;
  bool prefixComplete = false;
  hash_state state;
  std::thread thread;

  void Run(platform::File file, int64_t prefix) {
    md5_init(&state);
    const bool complete =
        prefix == 0 ||
        (file.IsOpen() && DigestFile(file, prefix, state) == prefix);
    file.Close();
    std::unique_lock<std::mutex> lock(mutex);
    prefixComplete = complete;
    for (;;) {
      changed.wait(lock, [&] { return ending || !pending.empty(); });
      if (pending.empty()) return;
      std::vector<char> block = std::move(pending.front());
      pending.pop_front();
      changed.notify_all();
      lock.unlock();
      if (complete) {
        md5_process(&state,
                    reinterpret_cast<const unsigned char*>(block.data()),
                    static_cast<unsigned long>(block.size()));
      }
      block.clear();
      lock.lock();
      // A block that cannot be kept for reuse is simply released.
      try {
        spare.push_back(std::move(block));
      } catch (const std::bad_alloc&) {
      }
    }
  }
};

StreamChecksum::StreamChecksum() = default;

StreamChecksum::~StreamChecksum() { Stop(); }

void StreamChecksum::Stop() noexcept {
  if (worker_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(worker_->mutex);
    worker_->ending = true;
  }
  worker_->changed.notify_all();
  if (worker_->thread.joinable()) worker_->thread.join();
  worker_.reset();
}

void StreamChecksum::Start(const std::u16string& dataPath, int64_t prefix) {
  if (worker_ != nullptr) return;
  worker_ = std::make_unique<Worker>();
  // The file is opened here, before any write of the receive, so the
  // worker reads the bytes that were there before it.
  platform::File file =
      prefix > 0 ? platform::File::Open(dataPath, platform::Access::kRead,
                                        platform::Disposition::kOpenExisting)
                 : platform::File();
  Worker* worker = worker_.get();
  try {
    worker->thread = std::thread(
        [worker, prefix](platform::File opened) {
          worker->Run(std::move(opened), prefix);
        },
        std::move(file));
  } catch (const std::exception&) {
    // No thread to spare: there is no checksum beside the receive, and the
    // finished file is read for it afterwards.
    worker_.reset();
    return;
  }
  block_.reserve(kDigestBlockSize);
}

void StreamChecksum::Feed(const char* data, size_t size) {
  if (worker_ == nullptr) return;
  while (size > 0) {
    const size_t take = std::min(size, kDigestBlockSize - block_.size());
    block_.insert(block_.end(), data, data + take);
    data += take;
    size -= take;
    if (block_.size() == kDigestBlockSize) Hand();
  }
}

void StreamChecksum::Hand() {
  std::unique_lock<std::mutex> lock(worker_->mutex);
  worker_->changed.wait(
      lock, [&] { return worker_->pending.size() < kMaxPendingBlocks; });
  worker_->pending.push_back(std::move(block_));
  if (!worker_->spare.empty()) {
    block_ = std::move(worker_->spare.back());
    worker_->spare.pop_back();
  } else {
    block_ = std::vector<char>();
  }
  worker_->changed.notify_all();
  lock.unlock();
  block_.reserve(kDigestBlockSize);
}

std::u16string StreamChecksum::Finish() {
  if (worker_ == nullptr) return std::u16string();
  if (!block_.empty()) Hand();
  {
    std::lock_guard<std::mutex> lock(worker_->mutex);
    worker_->ending = true;
  }
  worker_->changed.notify_all();
  worker_->thread.join();
  std::u16string text;
  if (worker_->prefixComplete) text = DigestText(worker_->state);
  worker_.reset();
  block_ = std::vector<char>();
  return text;
}

}  // namespace vesk::transfer
