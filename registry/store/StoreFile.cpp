// The registry store's file: creating it and its folders, opening it, checking that it is ours and of a
// schema we know, laying out a new one, and closing every store when the process ends. The connection's
// own hooks are in Connection.cpp, the conversion of older stores in Conversion.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>
#include <thread>

#include <cregistry/Store.h>
#include "registry/Ascii.h"
#include "registry/store/Connection.h"
#include "registry/store/ReadView.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"

namespace cregistry::store {

using namespace cregistry::win32;

namespace {

// Creates every missing folder of the store file's path, each with the given mode whatever the umask.
long MakeParentFolders(const std::string& path, mode_t mode) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return kSuccess;
  std::string folder = path.substr(0, slash);
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kSuccess : kBadPathname;
  if (long rc = MakeParentFolders(folder, mode)) return rc;
  if (mkdir(folder.c_str(), mode) != 0) return errno == EEXIST ? kSuccess : FromErrno(errno);
  if (chmod(folder.c_str(), mode) != 0) return FromErrno(errno);
  return kSuccess;
}

}  // namespace

namespace {

// Every store of the process, so that its connections close when the process ends normally (exit() or a
// return from main) even where an owner of the store is never destroyed (a static, or a local of a
// function that calls exit()): the last connection to a file checkpoints its log and removes the -wal
// and -shm files, leaving the store whole in its file for readers who may not write (TryOpenFile). The
// list is never destroyed itself, since stores may outlive every other static.
struct LiveStores {
  std::mutex mutex;
  std::unordered_set<RegistryStore*> stores;
};
LiveStores& Live() {
  static LiveStores& live = *new LiveStores;
  return live;
}
void CloseAtExit() {
  LiveStores& live = Live();
  std::lock_guard lock(live.mutex);
  for (RegistryStore* store : live.stores) store->Close();
}

}  // namespace

RegistryStore::RegistryStore(std::string path, Readers readers)
    : databaseView_(std::make_unique<DatabaseView>()),
      cachedView_(std::make_unique<CachedView>()),
      snapshotView_(std::make_unique<SnapshotView>()),
      readers_(readers),
      path_(std::move(path)) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    std::atexit(&CloseAtExit);
    // SQLite counts every allocation under a global lock for sqlite3_memory_used(), which the store does
    // not ask; without the count an import spends a few percent less. This holds only where SQLite has
    // not started yet in the process (otherwise the call is refused and changes nothing).
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  });
  LiveStores& live = Live();
  std::lock_guard lock(live.mutex);
  live.stores.insert(this);
}

RegistryStore::~RegistryStore() {
  LiveStores& live = Live();
  std::lock_guard lock(live.mutex);
  live.stores.erase(this);
}

void RegistryStore::Close() {
  // A call that another thread runs right now, or a transaction or snapshot, keeps its connection.
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || inTransaction_ || inSnapshot_) return;
  file_.reset();
  empty_.reset();
}

long RegistryStore::OpenFile(bool create) {
  if (create) {
    const bool everyone = readers_ == Readers::kEveryone;
    if (long rc = MakeParentFolders(path_, everyone ? 0755 : 0700)) return rc;
    // The file is made here, with its final mode, so that SQLite never creates it with the umask's
    // (SQLite gives the -wal and -shm files the mode of the file).
    const mode_t mode = everyone ? 0644 : 0600;
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0) {
      const int chmodErr = fchmod(fd, mode) != 0 ? errno : 0;
      ::close(fd);
      if (chmodErr != 0) return FromErrno(chmodErr);
    } else if (errno != EEXIST) {
      return FromErrno(errno);
    } else if (struct stat st; stat(path_.c_str(), &st) != 0) {
      return kAccessDenied;  // a symbolic link to nothing: the store is not made at its end
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
  struct stat st;
  const bool logEmpty = stat((path_ + "-wal").c_str(), &st) != 0 || st.st_size == 0;
  OpenMode mode = OpenMode::kReadWrite;
  if (faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
    // A store this process may only read. With nothing in the log, the file alone holds the store: it is
    // read as read-only media (SQLite's immutable mode), which makes no -wal or -shm file, needs none
    // and takes no lock (ForRead opens it again once the file or its log changes). With commits in the
    // log, SQLite reads them through the -shm file, which must be there for this process to read.
    mode = logEmpty ? OpenMode::kImmutable : OpenMode::kReadOnly;
  } else if (logEmpty && stat((path_ + "-shm").c_str(), &st) != 0) {
    // A store that this process may write, in a folder where it cannot make the -shm file that reading
    // a WAL database takes: the same, read as read-only media.
    std::string::size_type slash = path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) != 0) mode = OpenMode::kImmutable;
  }
  long rc = TryOpenFile(create, mode);
  if (rc != kSuccess && mode == OpenMode::kReadOnly && rc != kBadDb && rc != kBusy) {
    if (!unreadableLogReported_) {
      std::fprintf(stderr,
                   "cregistry: the registry store %s cannot be read by this user: its log %s-wal holds "
                   "commits, which are read through its -shm file, and this user may neither read that file "
                   "nor make one; the log empties into the store when every program that uses it ends\n",
                   path_.c_str(), path_.c_str());
      unreadableLogReported_ = true;
    }
    return kAccessDenied;
  }
  return rc;
}

// The stamp of the file and its log that an immutable connection was opened on.
RegistryStore::FileStamp RegistryStore::StampFile() const {
  FileStamp stamp;
  struct stat st;
  if (stat(path_.c_str(), &st) == 0) {
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  }
  if (stat((path_ + "-wal").c_str(), &st) == 0) stamp.logSize = st.st_size;
  return stamp;
}

namespace {

// The file: URI of a path, as sqlite3_open_v2 takes it with SQLITE_OPEN_URI.
std::string FileUri(const std::string& path, const char* query) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      ascii::AppendHexByte(uri, c);
    }
  }
  return uri + "?" + query;
}

}  // namespace

long RegistryStore::TryOpenFile(bool create, OpenMode mode) {
  // A store behind a symbolic link that its user made is used where the link points; but a store is
  // never laid out there (see below), and a path that is not a link must not become one meanwhile.
  struct stat link;
  const bool viaLink = lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  const int follow = viaLink ? 0 : SQLITE_OPEN_NOFOLLOW;
  const bool immutable = mode == OpenMode::kImmutable;
  const FileStamp stamp = immutable ? StampFile() : FileStamp{};
  auto conn = std::make_unique<Connection>();
  sqlite3* raw = nullptr;
  int rc = immutable ? sqlite3_open_v2(FileUri(path_, "immutable=1").c_str(), &raw,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | follow, nullptr)
           : mode == OpenMode::kReadOnly
               ? sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | follow, nullptr)
               : sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | follow, nullptr);
  conn->db.reset(raw);
  if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? FromErrno(errno) : FromSqlite(rc);
  sqlite3_extended_result_codes(conn->db.get(), 0);
  sqlite3_busy_handler(conn->db.get(), &Connection::Busy, conn.get());
  sqlite3_wal_hook(conn->db.get(), &Connection::WalHook, conn.get());
  // The last connection to close checkpoints the log and removes the -wal and -shm files, leaving the
  // store whole in its file, where a reader that may not write reads it (see TryOpenFile above).
  conn->readOnly = sqlite3_db_readonly(conn->db.get(), "main") == 1;
  conn->immutable = immutable;
  if (conn->readOnly && !immutable) conn->shmPath = path_ + "-shm";
  if (!conn->readOnly) conn->watched = conn->db.get();  // a file that cannot be written is read uncached

  // Nothing is written to the file before it is known to be ours and of a schema we know. The three
  // answers come from one snapshot (another process may be laying the store out right now).
  std::int64_t version = 0, app = 0, objects = 0, oldIndexes = 0;
  rc = conn->Exec("BEGIN");
  if (rc == SQLITE_OK) version = conn->QueryInt("PRAGMA user_version", rc);
  if (rc == SQLITE_OK) app = conn->QueryInt("PRAGMA application_id", rc);
  if (rc == SQLITE_OK) objects = conn->QueryInt("SELECT count(*) FROM sqlite_master", rc);
  if (rc == SQLITE_OK) oldIndexes = conn->QueryInt(kOldIndexCount, rc);
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
    // An empty file is laid out only where it stands itself, never at the end of a link; and a store
    // whose file anyone else may read is no store for one user's registry: such a file is narrowed to its
    // owner (a machine store's opened to every reader) before the -wal and -shm files (which take the
    // store file's mode) exist.
    if (viaLink) return kAccessDenied;
    if (long mrc = SetReaders()) return mrc;
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
    if (version < 0 || version > kSchemaVersion || (version == 0 && objects != 0)) return kBadDb;
    if (version == 0) version = kSchemaVersion;  // laid out here
  } else {
    if (app != kApplicationId) return kBadDb;
    // Our files are made in WAL mode, where this changes nothing; it only repairs a file that another
    // tool switched to a rollback journal.
    if (!conn->readOnly && (rc = conn->Exec("PRAGMA journal_mode = WAL")) != SQLITE_OK) return FromSqlite(rc);
  }
  // A log that starts over from its beginning is cut back to kWalKeep bytes.
  const std::string pragmas =
      "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = " + std::to_string(Connection::kWalKeep) + ";";
  if ((rc = conn->Exec(pragmas.c_str())) != SQLITE_OK) return FromSqlite(rc);
  conn->pageSize = conn->QueryInt("PRAGMA page_size", rc);
  if (rc != SQLITE_OK) return FromSqlite(rc);
  if (long prc = conn->Prepare()) return prc;
  if ((version < kSchemaVersion || oldIndexes != 0) && !conn->readOnly) {
    if (long crc = Convert(*conn, version)) return crc;
  }
  conn->schema = static_cast<int>(version);
  file_ = std::move(conn);
  fileStamp_ = stamp;
  return kSuccess;
}

long RegistryStore::ForRead(Connection*& out) {
  if (inSnapshot_) {
    out = snapshot_;
    return kSuccess;
  }
  // A connection on read-only media sees the file as it was: once the file or its log changes (another
  // process wrote to the store), the store is opened again.
  if (file_ && file_->immutable && StampFile() != fileStamp_) file_.reset();
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

long RegistryStore::SetReaders() const {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  long rc = kSuccess;
  if (fstat(fd, &st) != 0) {
    rc = FromErrno(errno);
  } else if (!S_ISREG(st.st_mode)) {
    rc = kAccessDenied;
  } else {
    const mode_t owner = st.st_mode & 0700;
    const mode_t wanted = readers_ == Readers::kEveryone ? owner | 0044 : owner;
    if ((st.st_mode & 0777) != wanted && fchmod(fd, wanted) != 0) rc = FromErrno(errno);
  }
  ::close(fd);
  return rc;
}

long RegistryStore::MayWrite() {
  auto lock = Enter();
  if (inSnapshot_) return kAccessDenied;
  if (inTransaction_) return transactionFailure_;
  Connection* c = nullptr;
  return ForWrite(c);
}

long RegistryStore::ForWrite(Connection*& out) {
  if (!file_) {
    if (long rc = OpenFile(true)) return rc;
  }
  if (file_->readOnly) return kAccessDenied;
  out = file_.get();
  return kSuccess;
}

}  // namespace cregistry::store
