// The read cache of a store connection: answers of earlier reads, kept while the database is unchanged.
//
// MECHANISM
//
// Every commit to a WAL database, by any connection of any process, rewrites the WAL index header: the
// first 96 bytes of the shared memory (the -shm file) that every connection maps, two copies of one
// 48-byte header that a committing writer updates one after the other. The header holds, among other
// things, a change counter, the number of valid frames in the WAL (mxFrame, at offset 16) and the WAL's
// salts (aSalt, at offset 32), which change whenever the WAL restarts from its beginning. Any two
// database states that differ have headers that differ. A writer updates the second copy, then the
// first; a reader that reads the first, then the second, and finds them equal holds one whole header.
//
// INVARIANTS
//
// 1. The cache belongs to one header: the header read (both copies, agreeing) before the first read
//    that filled it. A read first reads the header again; if it differs, the cache is dropped and
//    starts over under the new header. A cached answer is therefore what the database answered under
//    a header that is still current: no commit has happened since, so a read of the database now would
//    answer the same.
// 2. While the two copies disagree a commit is being published: the cache is dropped and not used.
// 3. A connection's own commits would drop its cache every time. Instead, a write that finds the cache
//    current once it holds the write lock (BeginWrite) may, after its commit, bring the cache along
//    (the write's follow step) and adopt the new header - but only when that header is exactly this
//    commit's: mxFrame equal to the frame count the WAL hook reported for the commit, and the salts
//    unchanged (no WAL restart in between). A commit of another process right after ours moves mxFrame
//    on, and the cache is dropped as invariant 1 says.
// 4. The listing cursor (where the last EnumKey step stood) and the value listing (the names of the key
//    whose values were listed last) are valid within one generation (every drop and every write starts
//    a new one) and one data version of the file; they do not need the cache, and serve connections
//    that have none (DatabaseView::KeyListingStep and ValueListingStep).
//
// RELIANCE ON SQLITE INTERNALS
//
// The layout of the wal-index header is private to SQLite (src/wal.c calls the wal-index transient and
// documents it only in its source): this file relies on the header being the first 2 x 48 bytes of
// region 0 as SQLITE_FCNTL_FILE_POINTER's xShmMap answers it, on mxFrame at offset 16 and aSalt at
// offset 32, and on the order in which a writer updates the two copies. The file format has kept this
// layout since WAL mode appeared (3.7.0); if it ever changed, the comparison of invariant 1 would still
// only drop the cache more often, but FollowCommit would refuse to follow (and the cache would be
// dropped after each own commit), never answer stale data, as long as every commit still changes the
// header. The cache is not used for a connection that cannot map the header (read-only file, no shared
// memory), nor inside a transaction of BeginTransaction.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/store/Sqlite.h"

namespace cregistry::store {

// What tells apart two states of the file that a commit came between (Connection::Stamp).
struct StateStamp {
  unsigned version = 0;  // SQLite's data version of the connection's file
  std::array<unsigned char, 48> header{};  // the wal-index header, where the data version cannot tell
  bool operator==(const StateStamp&) const = default;
};

struct ReadCache {
  struct CachedValue {
    long rc;  // kSuccess, kFileNotFound or kKeyDeleted
    std::uint32_t type;
    std::string data;
  };
  struct CachedKey {
    long rc;  // kSuccess, kFileNotFound or kKeyDeleted
    std::int64_t id;
  };
  static constexpr std::size_t kHeaderSize = 48;
  static constexpr std::size_t kCacheLimit = 4096;

  // The connection whose header the cache watches; nullptr: never cache.
  sqlite3* watched = nullptr;
  bool cacheValid = false;
  unsigned char cacheHeader[kHeaderSize] = {};
  std::unordered_map<std::string, CachedKey> keys;      // parent id (8 bytes) + folded path
  std::unordered_map<std::string, CachedValue> values;  // key id (8 bytes) + folded name

  // Where the last sub-key listing step stood: the next index continues from there with one index seek
  // instead of counting from the start (invariant 4).
  struct Cursor {
    std::int64_t parent = 0;
    std::uint32_t index = 0;
    std::uint64_t generation = 0;
    StateStamp stamp;  // the state of the file that step read
    ValuePtr position;  // the sort key of the entry at index
  };
  Cursor keyCursor;
  // The value names of the key whose values were listed last, in creation order, read whole by the
  // listing's first step; later steps answer from them (invariant 4).
  struct ValueList {
    std::int64_t parent = 0;
    bool valid = false;
    std::uint64_t generation = 0;
    StateStamp stamp;  // the state of the file the names were read in
    std::string text;  // the names one after the other
    std::vector<std::size_t> ends;  // where each name ends in text
    std::string_view At(std::size_t i) const {
      const std::size_t begin = i == 0 ? 0 : ends[i - 1];
      return std::string_view(text).substr(begin, ends[i] - begin);
    }
  };
  ValueList valueList;
  std::uint64_t generation = 1;

  // The WAL's frame count after this connection's last commit (set by the WAL hook).
  std::uint32_t committedFrames = 0;
  // Whether the cache is that of the database as the running write transaction found it (invariant 3).
  bool cacheFollowsWrite = false;

  void DropCache();
  // Whether the read about to start may use (and fill) the cache (invariants 1 and 2).
  bool CacheUsable();
  // At the start of a write transaction, holding the write lock.
  void BeginWrite();
  // After the write's commit: true when the cache may follow the change (invariant 3).
  bool FollowCommit();
  // The map key of a key id and a folded text.
  const std::string& CacheKey(std::int64_t id, std::string_view text);

 private:
  // The wal-index header region, asked for at each use rather than kept (SQLite may unmap it).
  const volatile unsigned char* MapHeader();
  // The header, when its two copies agree.
  static bool ReadHeader(const volatile unsigned char* header, unsigned char (&out)[kHeaderSize]);

  sqlite3_file* file_ = nullptr;
  std::string cacheKey_;
};

}  // namespace cregistry::store
