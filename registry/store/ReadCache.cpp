// The read cache of a store connection; its mechanism and invariants are set out in ReadCache.h.
#include "registry/store/ReadCache.h"

#include <atomic>
#include <cstring>

namespace cregistry::store {

void ReadCache::DropCache() {
  ++generation;
  cacheValid = false;
  keys.clear();
  values.clear();
}

bool ReadCache::CacheUsable() {
  const volatile unsigned char* header = MapHeader();
  if (header == nullptr) return false;
  unsigned char first[kHeaderSize];
  if (!ReadHeader(header, first)) {  // a commit is being published right now
    DropCache();
    return false;
  }
  if (!cacheValid || std::memcmp(first, cacheHeader, kHeaderSize) != 0) {
    DropCache();
    std::memcpy(cacheHeader, first, kHeaderSize);
    cacheValid = true;
  } else if (keys.size() + values.size() > kCacheLimit) {
    // Full: the answers start over, but the database is what it was, and the listings go on.
    keys.clear();
    values.clear();
  }
  return true;
}

void ReadCache::BeginWrite() {
  ++generation;  // the listing cursors do not follow a write
  cacheFollowsWrite = false;
  committedFrames = 0;  // a commit that writes no page calls no hook, and must not look like one
  const volatile unsigned char* header = cacheValid ? MapHeader() : nullptr;
  if (header == nullptr) return;
  unsigned char now[kHeaderSize];
  cacheFollowsWrite = ReadHeader(header, now) && std::memcmp(now, cacheHeader, kHeaderSize) == 0;
}

bool ReadCache::FollowCommit() {
  const volatile unsigned char* header = cacheFollowsWrite ? MapHeader() : nullptr;
  unsigned char now[kHeaderSize];
  if (header == nullptr || !ReadHeader(header, now)) return false;
  std::uint32_t frames = 0;
  std::memcpy(&frames, now + 16, sizeof frames);  // mxFrame
  if (frames != committedFrames || std::memcmp(now + 32, cacheHeader + 32, 8) != 0) return false;  // aSalt
  std::memcpy(cacheHeader, now, kHeaderSize);
  return true;
}

const std::string& ReadCache::CacheKey(std::int64_t id, std::string_view text) {
  cacheKey_.assign(reinterpret_cast<const char*>(&id), sizeof id);
  cacheKey_.append(text);
  return cacheKey_;
}

const volatile unsigned char* ReadCache::MapHeader() {
  if (watched == nullptr) return nullptr;
  if (file_ == nullptr) {
    if (sqlite3_file_control(watched, "main", SQLITE_FCNTL_FILE_POINTER, &file_) != SQLITE_OK) file_ = nullptr;
    if (file_ == nullptr) return nullptr;
  }
  if (file_->pMethods == nullptr || file_->pMethods->iVersion < 2 || file_->pMethods->xShmMap == nullptr) return nullptr;
  volatile void* region = nullptr;
  if (file_->pMethods->xShmMap(file_, 0, 32768, 0, &region) != SQLITE_OK || region == nullptr) return nullptr;
  return static_cast<const volatile unsigned char*>(region);
}

bool ReadCache::ReadHeader(const volatile unsigned char* header, unsigned char (&out)[kHeaderSize]) {
  unsigned char second[kHeaderSize];
  const auto* bytes = const_cast<const unsigned char*>(header);
  std::atomic_thread_fence(std::memory_order_acquire);
  std::memcpy(out, bytes, kHeaderSize);
  std::atomic_thread_fence(std::memory_order_acquire);
  std::memcpy(second, bytes + kHeaderSize, kHeaderSize);
  return std::memcmp(out, second, kHeaderSize) == 0;
}

}  // namespace cregistry::store
