// One connection of the store: its busy handler, its checkpoints, its small queries and its statements.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <cregistry/Store.h>
#include "registry/store/Connection.h"
#include "registry/store/Files.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"

namespace cregistry::store {

using namespace cregistry::win32;

int RegistryStore::Connection::Busy(void* arg, int count) {
  auto* self = static_cast<Connection*>(arg);
  auto now = std::chrono::steady_clock::now();
  if (count == 0) self->busySince = now;
  if (now - self->busySince > self->busyLimit) return 0;
  std::this_thread::sleep_for(std::chrono::microseconds(std::min(20 << std::min(count, 6), 1000)));
  return 1;
}

// The hook replaces SQLite's automatic checkpoint, which it therefore does itself: a passive one every
// kCheckpointFrames frames, which copies what no reader still needs into the database and never waits.
// Passive checkpoints alone let the log grow without end while readers keep coming (each new reader
// may pin the frames of its snapshot, so the log is never copied up to its end and never starts over),
// so once the log passes kWalLimit the committing connection also asks for a truncating checkpoint: it
// waits a short while for the readers of the moment (each read is one statement, never held between
// calls), copies everything and truncates the log to nothing. When that wait runs out the log stays as
// it is until the next commit tries again.
int RegistryStore::Connection::WalHook(void* arg, sqlite3* db, const char* name, int frames) {
  auto* self = static_cast<Connection*>(arg);
  self->committedFrames = static_cast<std::uint32_t>(frames);
  if (frames < kCheckpointFrames) return SQLITE_OK;
  const std::int64_t logBytes = static_cast<std::int64_t>(frames) * (self->pageSize + kFrameHeader);
  if (logBytes < kWalLimit) {
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
  }
  const auto limit = self->busyLimit;
  self->busyLimit = kCheckpointWait;
  sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  self->busyLimit = limit;
  return SQLITE_OK;
}

std::int64_t RegistryStore::Connection::QueryInt(const char* sql, int& rc) {
  sqlite3_stmt* raw = nullptr;
  rc = sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
  StmtPtr stmt(raw);
  if (rc != SQLITE_OK) return 0;
  rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) return 0;
  rc = SQLITE_OK;
  return sqlite3_column_int64(stmt.get(), 0);
}

bool RegistryStore::Connection::Stamp(StateStamp& out) const {
  out = {};
  if (immutable) return true;
  if (shmPath.empty()) {
    return sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_DATA_VERSION, &out.version) == SQLITE_OK;
  }
  // Through a descriptor kept for the life of the process: closing one would drop this process's locks
  // on the file, those of this very read transaction among them (files::ShmHeader).
  unsigned char copies[2 * ReadCache::kHeaderSize];
  if (!files::ShmHeader(shmPath, copies, sizeof copies)) return false;
  if (std::memcmp(copies, copies + ReadCache::kHeaderSize, ReadCache::kHeaderSize) != 0) return false;
  std::memcpy(out.header.data(), copies, ReadCache::kHeaderSize);
  return true;
}

long RegistryStore::Connection::Prepare() {
  for (int i = 0; i < kStatementCount; ++i) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(db.get(), kStatementText[i], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    statements[i].reset(raw);
    if (rc != SQLITE_OK) return Failure(rc);
  }
  return kSuccess;
}

}  // namespace cregistry::store
