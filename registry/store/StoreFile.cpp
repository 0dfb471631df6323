// The registry store's file: creating it, opening it, checking that it is ours and of a schema we know,
// and laying out a new one. The connection's own hooks are in Connection.cpp, the conversion of older
// stores in Conversion.cpp, the file system's side (folders, modes, trust) in Files.cpp, and the end of
// the process in Lifetime.cpp.
//
// The files. A store is its database file with a -wal and a -shm file beside it, all of one mode. The
// -wal and -shm stay when the last connection closes (SQLITE_FCNTL_PERSIST_WAL; the log is emptied into
// the file and truncated to nothing), as Windows keeps each hive's .LOG1 and .LOG2. Reading a WAL
// database takes both files: a process that may not write the store (another user, or its owner on a
// full disk or with no free inode) can read it only when they exist, since it cannot make them. It
// reads through SQLite's read-only WAL access (readonly_shm=1): under the shared memory of the writers
// while one runs, else from a private index of the log that it builds under the log's read lock, which
// keeps any checkpoint from changing the file under it. Either way it sees one committed state per read
// transaction and never blocks the writers.
// Measured with bench/registry/concurrency.sh (root imports 600-value files into the machine store in a
// loop while the user nobody runs 300 `query /s` and 100 `export`): with the files removed at the last
// close (the previous build, where a reader read an empty log's store as read-only media, immutable=1,
// taking no lock), 61 and 82 of the queries and 15 and 17 of the exports failed in two runs, and a
// reader crashed; with the files kept, none failed. A rollback journal for the machine store (a trial
// build: readers need no -shm there) failed no read either, but each reader waited for root's commits:
// the readers took 69 s (173 ms a run) against 8.5 s (21 ms) in WAL mode, while root imported as fast
// (147 against 139 imports a second).
// Immutable mode is kept for a file system mounted read-only, where no process changes the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <cregistry/Store.h>
#include "registry/Ascii.h"
#include "registry/store/Connection.h"
#include "registry/store/Files.h"
#include "registry/store/ReadView.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"

namespace cregistry::store {

using namespace cregistry::win32;

long RegistryStore::CheckTrusted() {
  if (readers_ != Readers::kEveryone) return kSuccess;
  std::string why;
  if (files::Trusted(path_, why)) return kSuccess;
  if (!untrustedReported_) {
    std::fprintf(stderr, "cregistry: the machine store %s is not used: %s\n", path_.c_str(), why.c_str());
    untrustedReported_ = true;
  }
  return kAccessDenied;
}

void RegistryStore::ReportUnreadable(const char* why) {
  if (unreadableReported_) return;
  std::fprintf(stderr, "cregistry: the registry store %s cannot be read by this user: %s\n", path_.c_str(), why);
  unreadableReported_ = true;
}

long RegistryStore::OpenFile(bool create) {
  if (create) {
    const bool everyone = readers_ == Readers::kEveryone;
    if (long rc = files::MakeParentFolders(path_, everyone ? 0755 : 0700)) return rc;
    if (long rc = CheckTrusted()) return rc;
    // The file is made here, with its final mode, so that SQLite never creates it with the umask's
    // (SQLite gives the -wal and -shm files the mode of the file).
    if (long rc = files::MakeStoreFile(path_, everyone ? 0644 : 0600)) return rc;
  }
  // Changing the journal mode does not wait for other connections: while another process lays out a
  // new store, this one tries again; so does a reader that meets a passing state of the shared memory.
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    long rc = TryOpenFile(create);
    if (rc != kBusy) return rc;
    if (std::chrono::steady_clock::now() - start > kBusyLimit) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

long RegistryStore::TryOpenFile(bool create) {
  if (long rc = CheckTrusted()) return rc;
  const auto settled = [](long rc) { return rc == kSuccess || rc == kBusy || rc == kBadDb || rc == kFileNotFound; };
  if (faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0) {
    long rc = TryOpenFile(create, OpenMode::kReadWrite);
    // A read that cannot take the store to write (a full disk, no free inode, a folder it may not
    // write where the -wal or -shm is missing) reads it as another user would.
    if (settled(rc) || create) return rc;
  }
  struct stat st;
  const bool logs = stat((path_ + "-wal").c_str(), &st) == 0 && stat((path_ + "-shm").c_str(), &st) == 0;
  if (!logs && files::OnReadOnlyFileSystem(path_)) return TryOpenFile(create, OpenMode::kImmutable);
  long rc = TryOpenFile(create, OpenMode::kReadOnly);
  if (settled(rc)) return rc;
  ReportUnreadable(logs ? "this user may not read its -wal or -shm file, which reading it takes"
                        : "its -wal and -shm files, which reading it takes, are missing and this user may not "
                          "make them (its owner's next use of the store makes them)");
  return kAccessDenied;
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
  auto conn = std::make_unique<Connection>();
  sqlite3* raw = nullptr;
  int rc = mode == OpenMode::kReadWrite
               ? sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | follow, nullptr)
               : sqlite3_open_v2(FileUri(path_, immutable ? "immutable=1" : "readonly_shm=1").c_str(), &raw,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | follow, nullptr);
  conn->db.reset(raw);
  if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? FromErrno(errno) : FromSqlite(rc);
  sqlite3_extended_result_codes(conn->db.get(), 0);
  sqlite3_busy_handler(conn->db.get(), &Connection::Busy, conn.get());
  sqlite3_wal_hook(conn->db.get(), &Connection::WalHook, conn.get());
  // The last connection to close empties the log into the file and keeps the -wal and -shm files.
  int persist = 1;
  sqlite3_file_control(conn->db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  conn->readOnly = mode != OpenMode::kReadWrite || sqlite3_db_readonly(conn->db.get(), "main") == 1;
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
    const long failure = conn->Failure(rc);
    if (sqlite3_get_autocommit(conn->db.get()) == 0) conn->Exec("ROLLBACK");
    return failure;
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
    if (long mrc = files::SetReaders(path_, readers_ == Readers::kEveryone)) return mrc;
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
    if (!conn->readOnly && (rc = conn->Exec("PRAGMA journal_mode = WAL")) != SQLITE_OK) return conn->Failure(rc);
  }
  // A log that starts over from its beginning is cut back to kWalKeep bytes.
  const std::string pragmas =
      "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = " + std::to_string(Connection::kWalKeep) + ";";
  if ((rc = conn->Exec(pragmas.c_str())) != SQLITE_OK) return conn->Failure(rc);
  conn->pageSize = conn->QueryInt("PRAGMA page_size", rc);
  if (rc != SQLITE_OK) return conn->Failure(rc);
  if (long prc = conn->Prepare()) return prc;
  if ((version < kSchemaVersion || oldIndexes != 0) && !conn->readOnly) {
    if (long crc = Convert(*conn, version)) return crc;
  }
  conn->schema = static_cast<int>(version);
  file_ = std::move(conn);
  return kSuccess;
}

long RegistryStore::ForRead(Connection*& out) {
  if (inSnapshot_) {
    out = snapshot_;
    return kSuccess;
  }
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

long RegistryStore::MayWrite() {
  auto lock = Enter();
  if (inSnapshot_) return kAccessDenied;
  if (inTransaction_) return transactionFailure_;
  Connection* c = nullptr;
  return ForWrite(c);
}

long RegistryStore::ForWrite(Connection*& out) {
  // A store that a read of this process took for reading only (the disk was full) is taken again to
  // write, where the process may.
  if (file_ && file_->readOnly && faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0) file_.reset();
  if (!file_) {
    if (long rc = OpenFile(true)) return rc;
  }
  if (file_->readOnly) return kAccessDenied;
  out = file_.get();
  return kSuccess;
}

}  // namespace cregistry::store
