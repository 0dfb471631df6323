// One SQLite connection of a registry store: the database handle, its prepared statements, its read
// cache (ReadCache.h) and the small steps that the operations share. Internal to the store.
#pragma once

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include <cregistry/RegistryApi.h>
#include <cregistry/Store.h>
#include "registry/store/ReadCache.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"
#include "registry/store/Sqlite.h"

namespace cregistry::store {

struct RegistryStore::Connection : ReadCache {
  DbPtr db;
  std::array<StmtPtr, kStatementCount> statements;
  bool readOnly = false;
  std::chrono::steady_clock::time_point busySince;
  std::chrono::steady_clock::duration busyLimit = kBusyLimit;  // how long the busy handler waits
  std::int64_t pageSize = 1024;

  // The write-ahead log's bounds (see WalHook): a passive checkpoint every kCheckpointFrames frames; a
  // truncating one, waiting at most kCheckpointWait for readers, once the log passes kWalLimit bytes;
  // a log that starts over is cut back to kWalKeep bytes.
  static constexpr int kCheckpointFrames = 1000;
  static constexpr std::int64_t kFrameHeader = 24;
  static constexpr std::int64_t kWalLimit = 8 << 20;
  static constexpr std::int64_t kWalKeep = 4 << 20;
  static constexpr std::chrono::milliseconds kCheckpointWait{200};
  // The page cache while a transaction of BeginTransaction runs: 32 MiB (a negative size counts KiB).
  static constexpr const char* kTransactionCache = "PRAGMA cache_size = -32768";

  sqlite3_stmt* operator[](Statement s) const { return statements[s].get(); }

  // The state of the file that the connection's current (or last) read transaction sees, so that two
  // reads can tell whether a commit came between them (the listing cursors rely on it). SQLite's data
  // version says so for a connection that shares the wal-index with the writers; a connection that may
  // only read the -shm file has SQLite read the log afresh for each transaction, which changes the data
  // version every time, so the wal-index header is read from the file instead (every commit changes it,
  // see ReadCache.h); an immutable connection sees one state. False when the header was being written.
  bool immutable = false;
  std::string shmPath;  // set for a connection that reads the header itself
  bool Stamp(StateStamp& out) const;

  // The schema version of the file, which decides the name rule (FoldFor). Another process may convert
  // the file while this connection is open: writes check it once they hold the write lock, reads when
  // the read cache changes generation (every commit anywhere) or, uncached, at each read.
  int schema = kSchemaVersion;
  std::uint64_t schemaCheckedAt = 0;
  std::string Fold(std::string_view name) const { return FoldFor(schema, name); }
  // Inside a read snapshot, which holds one state of the file throughout, or a transaction of
  // BeginTransaction, which holds the write lock.
  bool schemaPinned = false;
  long CheckSchema() {
    if (schemaPinned) return win32::kSuccess;
    if (watched != nullptr && schemaCheckedAt == generation) return win32::kSuccess;
    StatementUse q((*this)[kUserVersion]);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    const std::int64_t version = sqlite3_column_int64(q.get(), 0);
    if (version < 1 || version > kSchemaVersion) return win32::kBadDb;
    schema = static_cast<int>(version);
    schemaCheckedAt = generation;
    return win32::kSuccess;
  }

  // SQLite's busy handler: polls for the lock with short sleeps (SQLite's own timeout sleeps in steps
  // of up to 100 ms, which wastes most of the time several writers spend taking turns).
  static int Busy(void* arg, int count);
  // SQLite's WAL hook after each commit: notes the frame count for the cache, and checkpoints.
  static int WalHook(void* arg, sqlite3* db, const char* name, int frames);

  // Whether the last failure of the connection is one of the passing states that a reader which may
  // not write the -shm file meets while another process makes or recovers the shared memory (see
  // RegistryStore::Read), or a retry that SQLite gave up (SQLITE_PROTOCOL).
  bool Passing() const {
    const int code = sqlite3_extended_errcode(db.get());
    return code == SQLITE_READONLY_CANTINIT || code == SQLITE_READONLY_RECOVERY || code == SQLITE_PROTOCOL ||
           (code & 0xff) == SQLITE_BUSY;
  }
  // The code of a failure rc of this connection: kBusy for a passing state.
  long Failure(int rc) const { return Passing() ? win32::kBusy : FromSqlite(rc); }

  int Exec(const char* sql) { return sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr); }
  // The single integer a PRAGMA or query answers, or an SQLite error code in rc.
  std::int64_t QueryInt(const char* sql, int& rc);
  long Prepare();

  // kSuccess when the key exists, kKeyDeleted when it does not, or a failure.
  long KeyState(std::int64_t key) {
    StatementUse q((*this)[kKeyExists]);
    sqlite3_bind_int64(q.get(), 1, key);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_ROW) return win32::kSuccess;
    if (rc == SQLITE_DONE) return win32::kKeyDeleted;
    return FromSqlite(rc);
  }

  // Looks up a key by folded full path: its id, 0 when it does not exist.
  long FindPath(const std::string& fpath, std::int64_t& id) {
    StatementUse q((*this)[kFindPath]);
    BindText(q.get(), 1, fpath);
    int rc = sqlite3_step(q.get());
    id = rc == SQLITE_ROW ? sqlite3_column_int64(q.get(), 0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? win32::kSuccess : FromSqlite(rc);
  }

  long Step(Statement s) {
    StatementUse q((*this)[s]);
    int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? win32::kSuccess : FromSqlite(rc);
  }

  // BEGIN IMMEDIATE. The busy handler waits up to kBusyLimit each time; a few more rounds cover a writer
  // that keeps winning the race for the lock.
  long Begin() {
    int rc = SQLITE_BUSY;
    for (int attempt = 0; attempt < 3 && (rc & 0xff) == SQLITE_BUSY; ++attempt) {
      StatementUse q((*this)[kBegin]);
      rc = sqlite3_step(q.get());
    }
    return rc == SQLITE_DONE ? win32::kSuccess : FromSqlite(rc);
  }

  // Opens a transaction with `begin` (kBegin: the write lock, as Begin takes it; kBeginRead: a deferred
  // read) and checks the schema as the transaction finds it, which decides the name rule; `started`
  // runs between the two, before the transaction's first read. A failure leaves no transaction open.
  template <class Started>
  long BeginChecked(Statement begin, Started&& started) {
    if (long rc = begin == kBegin ? Begin() : Step(begin)) return rc;
    started();
    if (long rc = CheckSchema()) {
      Step(kRollback);
      return rc;
    }
    return win32::kSuccess;
  }
};

}  // namespace cregistry::store
