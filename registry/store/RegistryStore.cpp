#include "registry/store/RegistryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "registry/RegistryApi.h"
#include "registry/store/Sqlite.h"
#include "registry/store/Store.h"

namespace cregistry::store {

using namespace cregistry::win32;

namespace {

constexpr int kApplicationId = 0x63526567;  // "cReg"

const char* const kSchema = R"sql(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  fpath TEXT NOT NULL UNIQUE
);
CREATE INDEX keys_by_parent ON keys(parent, fpath);
CREATE TABLE vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  fname TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fname)
);
CREATE INDEX vals_by_key ON vals(key, id);
INSERT INTO keys(id, parent, name, fpath) VALUES
  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
  (3, 0, 'HKEY_USERS', 'HKEY_USERS'),
  (4, 0, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG'),
  (5, 1, 'SOFTWARE', 'HKEY_LOCAL_MACHINE\SOFTWARE'),
  (6, 5, 'Classes', 'HKEY_LOCAL_MACHINE\SOFTWARE\CLASSES');
PRAGMA application_id = 1666344295;
PRAGMA user_version = 1;
)sql";
static_assert(kApplicationId == 1666344295);
static_assert(kSchemaVersion == 1);

enum Statement {
  kFindChild,
  kFindPath,
  kKeyExists,
  kInsertKey,
  kHasChildren,
  kDeleteKeyValues,
  kDeleteKeyRow,
  kGetValue,
  kUpdateValue,
  kUpsertValue,
  kDeleteValue,
  kMaxNameLen,
  kEnumValue,
  kEnumValueAfter,
  kEnumKey,
  kEnumKeyAfter,
  kBegin,
  kCommit,
  kRollback,
  kSavepoint,
  kRelease,
  kRollbackTo,
  kStatementCount
};

const char* const kStatementText[kStatementCount] = {
    "SELECT EXISTS(SELECT 1 FROM keys WHERE id = ?1), (SELECT id FROM keys WHERE fpath = ?2)",
    "SELECT id FROM keys WHERE fpath = ?1",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fpath) VALUES (?1, ?2, ?3)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fname = ?2",
    "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND fname = ?2",
    "INSERT INTO vals(key, name, fname, type, data) SELECT ?1, ?2, ?3, ?4, ?5 "
    "WHERE EXISTS(SELECT 1 FROM keys WHERE id = ?1) "
    "ON CONFLICT(key, fname) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND fname = ?2",
    "SELECT EXISTS(SELECT 1 FROM keys WHERE id = ?1), "
    "(SELECT max(length(CAST(name AS BLOB))) FROM vals WHERE key = ?1)",
    "SELECT name, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "SELECT name, id FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1",
    "SELECT name, fpath FROM keys WHERE parent = ?1 ORDER BY fpath LIMIT 1 OFFSET ?2",
    "SELECT name, fpath FROM keys WHERE parent = ?1 AND fpath > ?2 ORDER BY fpath LIMIT 1",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT call",
    "RELEASE call",
    "ROLLBACK TO call",
};

// How long a write waits for other writers before it gives up with kBusy.
constexpr auto kBusyLimit = std::chrono::seconds(60);

long FromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kSuccess;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kAccessDenied;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kBusy;
    case SQLITE_NOMEM:
      return kOutOfMemory;
    case SQLITE_FULL:
      return kDiskFull;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_NOLFS:
      return kRegistryIoFailed;
    default:  // SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_FORMAT, SQLITE_ERROR (a schema not ours), ...
      return kBadDb;
  }
}

long FromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kRegistryIoFailed;
  }
}

bool IsStringType(std::uint32_t type) { return type == 1 || type == 2 || type == 7; }

void BindText(sqlite3_stmt* s, int i, std::string_view text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// Creates every missing folder of the store file's path, each with mode 0700.
long MakeParentFolders(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return kSuccess;
  std::string folder = path.substr(0, slash);
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kSuccess : kBadPathname;
  if (long rc = MakeParentFolders(folder)) return rc;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return FromErrno(errno);
  return kSuccess;
}

}  // namespace

struct RegistryStore::Connection {
  DbPtr db;
  std::array<StmtPtr, kStatementCount> statements;
  bool readOnly = false;
  std::chrono::steady_clock::time_point busySince;

  // Answers of earlier reads, kept while the database has not changed. Every commit, by any process,
  // rewrites the WAL index header in the shared memory that all connections map; the cache belongs to
  // the header it was filled under (read before the reads that filled it), and is dropped as soon as
  // the header differs. A read that finds the cache valid thus answers what a read of the database
  // would: no commit has happened since.
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
  const volatile unsigned char* walHeader = nullptr;
  bool cacheValid = false;
  unsigned char cacheHeader[kHeaderSize] = {};
  std::unordered_map<std::string, CachedKey> keys;      // parent id (8 bytes) + folded path
  std::unordered_map<std::string, CachedValue> values;  // key id (8 bytes) + folded name
  std::string cacheKey;

  // Where the last listing step of each kind stood: the next index continues from there with one
  // index seek instead of counting from the start. Valid within one cache generation, which ends at
  // every commit (this connection's own included).
  struct Cursor {
    std::int64_t parent = 0;
    std::uint32_t index = 0;
    std::uint64_t generation = 0;
    ValuePtr position;  // the sort key of the entry at index
  };
  Cursor keyCursor;
  Cursor valueCursor;
  std::uint64_t generation = 1;

  void DropCache() {
    ++generation;
    cacheValid = false;
    keys.clear();
    values.clear();
  }

  // Whether the cache may be used (and filled) by the read about to start: the WAL index header is
  // read (both of its copies, as SQLite reads them) and compared with the one the cache was filled
  // under.
  bool CacheUsable() {
    if (readOnly || !MapHeader()) return false;
    unsigned char first[kHeaderSize];
    if (!ReadHeader(first)) {  // a commit is being published right now
      DropCache();
      return false;
    }
    if (!cacheValid || std::memcmp(first, cacheHeader, kHeaderSize) != 0 || keys.size() + values.size() > kCacheLimit) {
      DropCache();
      std::memcpy(cacheHeader, first, kHeaderSize);
      cacheValid = true;
    }
    return true;
  }

  // Finds the WAL index (the first region of the shared memory that SQLite has mapped for this
  // connection), asking for it at each use rather than keeping a pointer that SQLite might unmap.
  bool MapHeader() {
    walHeader = nullptr;
    if (file == nullptr) {
      if (sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK) file = nullptr;
      if (file == nullptr) return false;
    }
    if (file->pMethods == nullptr || file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr) return false;
    volatile void* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || region == nullptr) return false;
    walHeader = static_cast<const volatile unsigned char*>(region);
    return true;
  }
  sqlite3_file* file = nullptr;

  // The WAL index header, when its two copies agree.
  bool ReadHeader(unsigned char (&out)[kHeaderSize]) const {
    unsigned char second[kHeaderSize];
    const auto* header = const_cast<const unsigned char*>(walHeader);
    std::atomic_thread_fence(std::memory_order_acquire);
    std::memcpy(out, header, kHeaderSize);
    std::atomic_thread_fence(std::memory_order_acquire);
    std::memcpy(second, header + kHeaderSize, kHeaderSize);
    return std::memcmp(out, second, kHeaderSize) == 0;
  }

  // The WAL's frame count after this connection's last commit (from the WAL hook).
  std::uint32_t committedFrames = 0;
  static int WalHook(void* arg, sqlite3* db, const char* name, int frames) {
    static_cast<Connection*>(arg)->committedFrames = static_cast<std::uint32_t>(frames);
    // The hook replaces SQLite's automatic checkpoint, which it therefore does itself.
    if (frames >= 1000) sqlite3_wal_checkpoint(db, name);
    return SQLITE_OK;
  }

  // Whether the cache is still that of the database as this write transaction (holding the write
  // lock) found it: then, once committed, the cache can follow the change instead of being dropped.
  bool cacheFollowsWrite = false;
  void BeginWrite() {
    ++generation;  // the listing cursors do not follow a write
    cacheFollowsWrite = false;
    committedFrames = 0;  // a commit that writes no page calls no hook, and must not look like one
    if (!cacheValid || !MapHeader()) return;
    unsigned char now[kHeaderSize];
    cacheFollowsWrite = ReadHeader(now) && std::memcmp(now, cacheHeader, kHeaderSize) == 0;
  }
  // After a commit: adopts the new header when it is that of this commit (the frame count the commit
  // ended with, no WAL restart), so that a commit by another process, even one right after this, still
  // drops the cache.
  bool FollowCommit() {
    unsigned char now[kHeaderSize];
    if (!cacheFollowsWrite || !MapHeader() || !ReadHeader(now)) return false;
    std::uint32_t frames = 0;
    std::memcpy(&frames, now + 16, sizeof frames);  // mxFrame
    if (frames != committedFrames || std::memcmp(now + 32, cacheHeader + 32, 8) != 0) return false;  // aSalt
    std::memcpy(cacheHeader, now, kHeaderSize);
    return true;
  }

  const std::string& CacheKey(std::int64_t id, std::string_view text) {
    cacheKey.assign(reinterpret_cast<const char*>(&id), sizeof id);
    cacheKey.append(text);
    return cacheKey;
  }

  sqlite3_stmt* operator[](Statement s) const { return statements[s].get(); }

  // Polls for the lock with short sleeps: SQLite's own timeout sleeps in steps of up to 100 ms, which
  // wastes most of the time several writers spend taking turns.
  static int Busy(void* arg, int count) {
    auto* self = static_cast<Connection*>(arg);
    auto now = std::chrono::steady_clock::now();
    if (count == 0) self->busySince = now;
    if (now - self->busySince > kBusyLimit) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(std::min(20 << std::min(count, 6), 1000)));
    return 1;
  }

  int Exec(const char* sql) { return sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr); }

  // The single integer a PRAGMA or query answers, or an SQLite error code in rc.
  std::int64_t QueryInt(const char* sql, int& rc) {
    sqlite3_stmt* raw = nullptr;
    rc = sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
    StmtPtr stmt(raw);
    if (rc != SQLITE_OK) return 0;
    rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) return 0;
    rc = SQLITE_OK;
    return sqlite3_column_int64(stmt.get(), 0);
  }

  long Prepare() {
    for (int i = 0; i < kStatementCount; ++i) {
      sqlite3_stmt* raw = nullptr;
      int rc = sqlite3_prepare_v3(db.get(), kStatementText[i], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
      statements[i].reset(raw);
      if (rc != SQLITE_OK) return FromSqlite(rc);
    }
    return kSuccess;
  }

  // kSuccess when the key exists, kKeyDeleted when it does not, or a failure.
  long KeyState(std::int64_t key) {
    StatementUse q((*this)[kKeyExists]);
    sqlite3_bind_int64(q.get(), 1, key);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_ROW) return kSuccess;
    if (rc == SQLITE_DONE) return kKeyDeleted;
    return FromSqlite(rc);
  }

  // Looks up a key by folded full path: its id, 0 when it does not exist.
  long FindPath(const std::string& fpath, std::int64_t& id) {
    StatementUse q((*this)[kFindPath]);
    BindText(q.get(), 1, fpath);
    int rc = sqlite3_step(q.get());
    id = rc == SQLITE_ROW ? sqlite3_column_int64(q.get(), 0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? kSuccess : FromSqlite(rc);
  }

  long Step(Statement s) {
    StatementUse q((*this)[s]);
    int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? kSuccess : FromSqlite(rc);
  }

  long Begin() {
    // The busy handler waits up to kBusyLimit each time; a few more rounds cover a writer that keeps
    // winning the race for the lock.
    int rc = SQLITE_BUSY;
    for (int attempt = 0; attempt < 3 && (rc & 0xff) == SQLITE_BUSY; ++attempt) {
      StatementUse q((*this)[kBegin]);
      rc = sqlite3_step(q.get());
    }
    return rc == SQLITE_DONE ? kSuccess : FromSqlite(rc);
  }
};

KeyRef FixedKey(std::int64_t id) {
  switch (id) {
    case kMachineKey:
      return {id, "HKEY_LOCAL_MACHINE"};
    case kUserKey:
      return {id, "HKEY_CURRENT_USER"};
    case kUsersKey:
      return {id, "HKEY_USERS"};
    case kConfigKey:
      return {id, "HKEY_CURRENT_CONFIG"};
    case kSoftwareKey:
      return {id, "HKEY_LOCAL_MACHINE\\SOFTWARE"};
    case kClassesKey:
      return {id, "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES"};
    default:
      return {};
  }
}

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}
RegistryStore::~RegistryStore() = default;

long RegistryStore::OpenFile(bool create) {
  if (create) {
    if (long rc = MakeParentFolders(path_)) return rc;
    // The file is made here, with its final mode, so that SQLite never creates it with the umask's.
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::close(fd);
    } else if (errno != EEXIST) {
      return FromErrno(errno);
    }
  }
  // Changing the journal mode does not wait for other connections: while another process lays out a
  // new store, this one tries again.
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    long rc = TryOpenFile(create);
    if (rc != kBusy) return rc;
    if (std::chrono::steady_clock::now() - start > kBusyLimit) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

long RegistryStore::TryOpenFile(bool create) {
  auto conn = std::make_unique<Connection>();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  conn->db.reset(raw);
  if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? FromErrno(errno) : FromSqlite(rc);
  sqlite3_extended_result_codes(conn->db.get(), 0);
  sqlite3_busy_handler(conn->db.get(), &Connection::Busy, conn.get());
  sqlite3_wal_hook(conn->db.get(), &Connection::WalHook, conn.get());
  // Keep the -wal and -shm files when the last connection closes: a reader that may not write (another
  // user, a read-only file) can then still read the store.
  int persist = 1;
  sqlite3_file_control(conn->db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  conn->readOnly = sqlite3_db_readonly(conn->db.get(), "main") == 1;

  // Nothing is written to the file before it is known to be ours and of a schema we know. The three
  // answers come from one snapshot (another process may be laying the store out right now).
  std::int64_t version = 0, app = 0, objects = 0;
  rc = conn->Exec("BEGIN");
  if (rc == SQLITE_OK) version = conn->QueryInt("PRAGMA user_version", rc);
  if (rc == SQLITE_OK) app = conn->QueryInt("PRAGMA application_id", rc);
  if (rc == SQLITE_OK) objects = conn->QueryInt("SELECT count(*) FROM sqlite_master", rc);
  if (rc == SQLITE_OK) rc = conn->Exec("COMMIT");
  if (rc != SQLITE_OK) {
    if (sqlite3_get_autocommit(conn->db.get()) == 0) conn->Exec("ROLLBACK");
    return FromSqlite(rc);
  }
  if (version > kSchemaVersion || version < 0) return kBadDb;
  if (version == 0) {
    if (objects != 0) return kBadDb;  // some other program's database
    if (!create) return kFileNotFound;  // created by a writer that has not laid out the schema yet
    if (conn->readOnly) return kAccessDenied;
    // Small pages: a write commits one page of a few hundred bytes to the WAL rather than 4 KiB.
    if ((rc = conn->Exec("PRAGMA page_size = 1024; PRAGMA journal_mode = WAL")) != SQLITE_OK) return FromSqlite(rc);
    if ((rc = conn->Exec("BEGIN IMMEDIATE")) != SQLITE_OK) return FromSqlite(rc);
    // Another process may have laid it out while this one waited for the lock.
    version = conn->QueryInt("PRAGMA user_version", rc);
    if (rc == SQLITE_OK && version == 0) {
      objects = conn->QueryInt("SELECT count(*) FROM sqlite_master", rc);
      if (rc == SQLITE_OK && objects == 0) rc = conn->Exec(kSchema);
    }
    if (rc == SQLITE_OK) rc = conn->Exec("COMMIT");
    if (rc != SQLITE_OK) {
      conn->Exec("ROLLBACK");
      return FromSqlite(rc);
    }
    if (version != 0 && version != kSchemaVersion) return kBadDb;
    if (version == 0 && objects != 0) return kBadDb;
  } else {
    if (app != kApplicationId) return kBadDb;
    // Our files are made in WAL mode, where this changes nothing; it only repairs a file that another
    // tool switched to a rollback journal.
    if (!conn->readOnly && (rc = conn->Exec("PRAGMA journal_mode = WAL")) != SQLITE_OK) return FromSqlite(rc);
  }
  if ((rc = conn->Exec("PRAGMA synchronous = NORMAL")) != SQLITE_OK) return FromSqlite(rc);
  if (long prc = conn->Prepare()) return prc;
  file_ = std::move(conn);
  return kSuccess;
}

long RegistryStore::ForRead(Connection*& out) {
  if (!file_) {
    struct stat st;
    long rc = kFileNotFound;
    if (stat(path_.c_str(), &st) == 0) {
      rc = OpenFile(false);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      rc = FromErrno(errno);
    }
    if (rc == kFileNotFound) {
      // No store yet: answer from an empty registry in memory.
      if (!empty_) {
        auto conn = std::make_unique<Connection>();
        sqlite3* raw = nullptr;
        int src = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        conn->db.reset(raw);
        if (src != SQLITE_OK || (src = conn->Exec(kSchema)) != SQLITE_OK) return FromSqlite(src);
        if (long prc = conn->Prepare()) return prc;
        conn->readOnly = true;  // never written, and nothing to cache
        empty_ = std::move(conn);
      }
      out = empty_.get();
      return kSuccess;
    }
    if (rc != kSuccess) return rc;
  }
  out = file_.get();
  return kSuccess;
}

long RegistryStore::ForWrite(Connection*& out) {
  if (!file_) {
    if (long rc = OpenFile(true)) return rc;
  }
  if (file_->readOnly) return kAccessDenied;
  out = file_.get();
  return kSuccess;
}

std::unique_lock<std::mutex> RegistryStore::Enter() {
  std::unique_lock lock(mutex_);
  transactionEnded_.wait(lock, [&] { return !inTransaction_ || transactionOwner_ == std::this_thread::get_id(); });
  return lock;
}

// Runs body (a function of Connection& answering a Win32 code) as one write transaction: committed when
// it answers kSuccess, rolled back otherwise. After a commit, follow (a function of Connection&) brings
// the read cache up to date with the change, when the cache can follow it; otherwise the cache is
// dropped.
//
// Inside a transaction of BeginTransaction, the read cache is set aside (the transaction's reads go to
// the database, which holds its writes) and body's changes join the transaction; a body of several
// changes runs in a savepoint, so that when it fails it takes back what it did itself, as it does alone
// (a single statement is atomic by itself). The transaction goes on after a failed call.
template <class Body, class Follow>
long RegistryStore::Write(Body&& body, Follow&& follow, Changes changes) {
  if (inTransaction_) {
    if (transactionFailure_) return transactionFailure_;
    Connection& c = *file_;
    ++c.generation;  // the listing cursors do not follow a write
    long rc = kSuccess;
    if (changes == Changes::kOne) {
      rc = body(c);
    } else if ((rc = c.Step(kSavepoint)) == kSuccess) {
      rc = body(c);
      if (rc != kSuccess) c.Step(kRollbackTo);
      long released = c.Step(kRelease);
      if (rc == kSuccess) rc = released;
    }
    if (sqlite3_get_autocommit(c.db.get()) != 0) {
      // SQLite ended the transaction itself (an I/O error, a full disk): nothing of it is left, and
      // neither the rest of the body nor the commit may act as if it were.
      transactionFailure_ = rc != kSuccess ? rc : kRegistryIoFailed;
      return transactionFailure_;
    }
    return rc;
  }
  Connection* c = nullptr;
  if (long rc = ForWrite(c)) return rc;
  if (long rc = c->Begin()) {
    c->DropCache();
    return rc;
  }
  c->BeginWrite();
  long rc = body(*c);
  if (rc == kSuccess) {
    rc = c->Step(kCommit);
    if (rc == kSuccess && c->FollowCommit()) {
      follow(*c);
    } else {
      c->DropCache();
    }
  }
  if (rc != kSuccess && sqlite3_get_autocommit(c->db.get()) == 0) {
    c->Step(kRollback);
    c->DropCache();
  }
  return rc;
}

long RegistryStore::BeginTransaction() {
  auto lock = Enter();
  if (inTransaction_) return kInvalidParameter;  // this thread's own: nesting
  Connection* c = nullptr;
  if (long rc = ForWrite(c)) return rc;
  if (long rc = c->Begin()) {
    c->DropCache();
    return rc;
  }
  c->DropCache();  // set aside until the transaction ends
  inTransaction_ = true;
  transactionOwner_ = std::this_thread::get_id();
  transactionFailure_ = kSuccess;
  transactionFirstKey_ = 0;
  return kSuccess;
}

long RegistryStore::EndTransaction(bool commit, const std::function<void(std::int64_t)>& takenBack) {
  auto lock = Enter();
  if (!inTransaction_) return kInvalidParameter;
  Connection& c = *file_;
  long rc = transactionFailure_;
  bool landed = false;
  if (commit && rc == kSuccess) {
    rc = c.Step(kCommit);
    landed = rc == kSuccess;
  }
  c.DropCache();
  if (!landed) {
    if (sqlite3_get_autocommit(c.db.get()) == 0 && c.Step(kRollback) != kSuccess &&
        sqlite3_get_autocommit(c.db.get()) == 0) {
      file_.reset();  // closing the connection takes the transaction back
    }
    if (transactionFirstKey_ != 0) takenBack(transactionFirstKey_);
  }
  inTransaction_ = false;
  transactionFailure_ = kSuccess;
  transactionFirstKey_ = 0;
  transactionOwner_ = {};
  lock.unlock();
  transactionEnded_.notify_all();
  return commit ? rc : kSuccess;
}

long RegistryStore::OpenKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  if (path.empty()) {
    long rc = c->KeyState(parent.id);
    if (rc == kSuccess) out = parent;
    return rc;
  }
  std::string fpath = parent.fpath;
  for (std::string_view part : path) {
    fpath += '\\';
    fpath += Fold(part);
  }
  const bool cached = !inTransaction_ && c->CacheUsable();
  Connection::CachedKey answer{kSuccess, 0};
  if (auto it = cached ? c->keys.find(c->CacheKey(parent.id, fpath)) : c->keys.end(); it != c->keys.end()) {
    answer = it->second;
  } else {
    StatementUse q((*c)[kFindChild]);
    sqlite3_bind_int64(q.get(), 1, parent.id);
    BindText(q.get(), 2, fpath);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    if (sqlite3_column_int(q.get(), 0) == 0) {
      answer.rc = kKeyDeleted;
    } else if (sqlite3_column_type(q.get(), 1) == SQLITE_NULL) {
      answer.rc = kFileNotFound;
    } else {
      answer.id = sqlite3_column_int64(q.get(), 1);
    }
    if (cached) c->keys.emplace(c->CacheKey(parent.id, fpath), answer);
  }
  if (answer.rc != kSuccess) return answer.rc;
  out.id = answer.id;
  out.fpath = std::move(fpath);
  return kSuccess;
}

long RegistryStore::CreateKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  // A key that exists already needs no write (and no store file).
  long rc = OpenKey(parent, path, out);
  if (rc != kFileNotFound) return rc;
  auto lock = Enter();
  return Write([&](Connection& c) -> long {
    if (long state = c.KeyState(parent.id)) return state;
    KeyRef cur = parent;
    for (std::string_view part : path) {
      cur.fpath += '\\';
      cur.fpath += Fold(part);
      std::int64_t id = 0;
      if (long frc = c.FindPath(cur.fpath, id)) return frc;
      if (id == 0) {
        StatementUse ins(c[kInsertKey]);
        sqlite3_bind_int64(ins.get(), 1, cur.id);
        BindText(ins.get(), 2, part);
        BindText(ins.get(), 3, cur.fpath);
        int src = sqlite3_step(ins.get());
        if (src != SQLITE_DONE) return FromSqlite(src);
        id = sqlite3_last_insert_rowid(c.db.get());
        if (inTransaction_ && transactionFirstKey_ == 0) transactionFirstKey_ = id;
      }
      cur.id = id;
    }
    out = std::move(cur);
    return kSuccess;
  }, [](Connection& c) { c.keys.clear(); }, Changes::kSeveral);
}

long RegistryStore::DeleteKey(const KeyRef& parent, const std::vector<std::string_view>& path) {
  KeyRef target;
  long rc = OpenKey(parent, path, target);
  if (rc != kSuccess) return rc;
  if (target.id <= kClassesKey) return kAccessDenied;  // a root, or the key HKEY_CLASSES_ROOT is
  auto lock = Enter();
  return Write([&](Connection& c) -> long {
    if (long state = c.KeyState(target.id)) {
      return state == kKeyDeleted && !path.empty() ? kFileNotFound : state;
    }
    {
      StatementUse q(c[kHasChildren]);
      sqlite3_bind_int64(q.get(), 1, target.id);
      int src = sqlite3_step(q.get());
      if (src == SQLITE_ROW) return kAccessDenied;
      if (src != SQLITE_DONE) return FromSqlite(src);
    }
    for (Statement s : {kDeleteKeyValues, kDeleteKeyRow}) {
      StatementUse q(c[s]);
      sqlite3_bind_int64(q.get(), 1, target.id);
      int src = sqlite3_step(q.get());
      if (src != SQLITE_DONE) return FromSqlite(src);
    }
    return kSuccess;
  }, [](Connection& c) { c.DropCache(); }, Changes::kSeveral);
}

long RegistryStore::QueryValue(std::int64_t key, std::string_view name, std::uint32_t* type,
                               std::uint8_t* data, std::uint32_t* size) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  std::string fname = Fold(name);
  const bool cached = !inTransaction_ && c->CacheUsable();
  const Connection::CachedValue* value = nullptr;
  Connection::CachedValue fetched;
  if (auto it = cached ? c->values.find(c->CacheKey(key, fname)) : c->values.end(); it != c->values.end()) {
    value = &it->second;
  } else {
    StatementUse q((*c)[kGetValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, fname);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE) {
      fetched.rc = c->KeyState(key);
      if (fetched.rc == kSuccess) fetched.rc = kFileNotFound;
      if (fetched.rc != kFileNotFound && fetched.rc != kKeyDeleted) return fetched.rc;
    } else if (rc == SQLITE_ROW) {
      fetched.rc = kSuccess;
      fetched.type = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 0));
      const void* bytes = sqlite3_column_blob(q.get(), 1);
      fetched.data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
    } else {
      return FromSqlite(rc);
    }
    if (cached) {
      value = &c->values.emplace(c->CacheKey(key, fname), std::move(fetched)).first->second;
    } else {
      value = &fetched;
    }
  }
  if (value->rc != kSuccess) return value->rc;
  auto length = static_cast<std::uint32_t>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (data == nullptr) {
    if (size != nullptr) *size = length;
    return kSuccess;
  }
  if (*size < length) {
    *size = length;
    return kMoreData;
  }
  if (length > 0) std::memcpy(data, value->data.data(), length);
  // As Windows does for the text types: data not ending in NUL gets one after it when the buffer has
  // room (not counted in the size answered).
  if (IsStringType(value->type) && length > 0 && data[length - 1] != 0 && *size > length) data[length] = 0;
  *size = length;
  return kSuccess;
}

long RegistryStore::SetValue(std::int64_t key, std::string_view name, std::uint32_t type,
                             const std::uint8_t* data, std::uint32_t size) {
  auto lock = Enter();
  std::string fname = Fold(name);
  static const std::uint8_t kNoData = 0;
  if (size == 0) data = &kNoData;  // a zero-length blob, not NULL
  return Write([&](Connection& c) -> long {
    {
      // Most writes replace a value (which implies that its key exists).
      StatementUse u(c[kUpdateValue]);
      sqlite3_bind_int64(u.get(), 1, key);
      BindText(u.get(), 2, fname);
      sqlite3_bind_int64(u.get(), 3, type);
      sqlite3_bind_blob(u.get(), 4, data, static_cast<int>(size), SQLITE_STATIC);
      int rc = sqlite3_step(u.get());
      if (rc != SQLITE_DONE) return FromSqlite(rc);
      if (sqlite3_changes(c.db.get()) != 0) return kSuccess;
    }
    // (The update changed nothing: this is the one statement of the write that changes anything.)
    StatementUse q(c[kUpsertValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, name);
    BindText(q.get(), 3, fname);
    sqlite3_bind_int64(q.get(), 4, type);
    sqlite3_bind_blob(q.get(), 5, data, static_cast<int>(size), SQLITE_STATIC);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_DONE) return FromSqlite(rc);
    return sqlite3_changes(c.db.get()) == 0 ? kKeyDeleted : kSuccess;
  }, [&](Connection& c) {
    auto& cached = c.values[c.CacheKey(key, fname)];
    cached.rc = kSuccess;
    cached.type = type;
    cached.data.assign(reinterpret_cast<const char*>(data), size);
  }, Changes::kOne);
}

long RegistryStore::DeleteValue(std::int64_t key, std::string_view name) {
  // A value that is not there needs no write (and no store file).
  std::uint32_t size = 0;
  long rc = QueryValue(key, name, nullptr, nullptr, &size);
  if (rc != kSuccess) return rc;
  auto lock = Enter();
  std::string fname = Fold(name);
  return Write([&](Connection& c) -> long {
    StatementUse q(c[kDeleteValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, fname);
    int src = sqlite3_step(q.get());
    if (src != SQLITE_DONE) return FromSqlite(src);
    if (sqlite3_changes(c.db.get()) != 0) return kSuccess;
    long state = c.KeyState(key);
    return state == kSuccess ? kFileNotFound : state;
  }, [&](Connection& c) { c.values[c.CacheKey(key, fname)] = {kFileNotFound, 0, {}}; }, Changes::kOne);
}

long RegistryStore::QueryInfoKey(std::int64_t key, std::uint32_t& maxValueNameLen) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  StatementUse q((*c)[kMaxNameLen]);
  sqlite3_bind_int64(q.get(), 1, key);
  int rc = sqlite3_step(q.get());
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  if (sqlite3_column_int(q.get(), 0) == 0) return kKeyDeleted;
  maxValueNameLen = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 1));
  return kSuccess;
}

long RegistryStore::ListingStep(Connection& c, bool keys, std::int64_t parent, std::uint32_t index,
                                std::string_view& name) {
  Connection::Cursor& cursor = keys ? c.keyCursor : c.valueCursor;
  // Within a transaction only this connection writes, and each of its writes starts a new generation.
  const bool usable = inTransaction_ || c.CacheUsable();
  const bool follow = usable && cursor.position && cursor.generation == c.generation && cursor.parent == parent &&
                      index > 0 && cursor.index == index - 1;
  StatementUse q(c[keys ? (follow ? kEnumKeyAfter : kEnumKey) : (follow ? kEnumValueAfter : kEnumValue)]);
  sqlite3_bind_int64(q.get(), 1, parent);
  if (follow) {
    sqlite3_bind_value(q.get(), 2, cursor.position.get());
  } else {
    sqlite3_bind_int64(q.get(), 2, index);
  }
  cursor.position.reset();
  int rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) {
    long state = c.KeyState(parent);
    return state == kSuccess ? kNoMoreItems : state;
  }
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  name = std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)),
                          static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
  if (usable) {
    cursor.parent = parent;
    cursor.index = index;
    cursor.generation = c.generation;
    cursor.position.reset(sqlite3_value_dup(sqlite3_column_value(q.get(), 1)));
  }
  // The name stays valid until the statement is reset: copy it out before then.
  listingName_.assign(name);
  name = listingName_;
  return kSuccess;
}

long RegistryStore::EnumValue(std::int64_t key, std::uint32_t index, char* name, std::uint32_t& nameLen) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  std::string_view found;
  if (long rc = ListingStep(*c, false, key, index, found)) return rc;
  const auto length = static_cast<std::uint32_t>(found.size());
  if (length >= nameLen) {
    // Too small: as Windows does, the buffer gets as much of the name as fits, NUL-terminated.
    if (nameLen > 0) {
      std::memcpy(name, found.data(), nameLen - 1);
      name[nameLen - 1] = '\0';
    }
    return kMoreData;
  }
  std::memcpy(name, found.data(), length);
  name[length] = '\0';
  nameLen = length;
  return kSuccess;
}

long RegistryStore::EnumKey(std::int64_t key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  std::string_view found;
  if (long rc = ListingStep(*c, true, key, index, found)) return rc;
  if (found.size() >= nameSize) return kMoreData;
  std::memcpy(name, found.data(), found.size());
  name[found.size()] = '\0';
  return kSuccess;
}

}  // namespace cregistry::store
