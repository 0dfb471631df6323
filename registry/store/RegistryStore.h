// The registry store's database: keys and values in one SQLite file, addressed by key row ids.
//
// Schema (version 2, in PRAGMA user_version; PRAGMA application_id marks the file as ours):
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name, fpath UNIQUE)
//       name is the component as created (case kept); fpath is the key's full path from its root with
//       every component folded to upper case (Fold), joined by "\". Paths never change (a key is
//       deleted only when it has no sub-keys and is never renamed), so fpath finds a key in one index
//       look-up, and sub-keys list in fpath order, which is the registry's case-insensitive order.
//       AUTOINCREMENT: a committed id is never reused, so a handle to a deleted key can never reach a
//       later key of the same path (the ids of a rolled-back transaction do come again: its handles are
//       pointed at no key, see EndTransaction).
//   vals(id INTEGER PRIMARY KEY, key, name, fname, type, data BLOB, UNIQUE(key, fname))
//       fname is name folded to upper case; values list in id order, which is creation order (a value
//       that is set again keeps its row and so its place). No index keeps that order: a listing reads
//       the key's names whole and sorts them (DatabaseView::ValueListingStep), which costs little next
//       to what an index costs every insert. Stores made before kept one (vals_by_key(key, id)); a
//       writer's opening drops it (Convert). The tables are the same with or without it, so the
//       schema version did not change and code of either kind reads stores of either kind.
// Version 1 had the same tables with names folded by ASCII letters only; opening such a store converts it
// (Conversion.cpp), unless two of its names would fold together: then it keeps version 1 and its rule.
// The layout, by measurement (an import of 100,000 values in 10,000 keys, the one of bench/cregistry,
// perf stat task-clock, median of 6 interleaved runs): 425 ms with vals_by_key, 345 ms without it; its
// page splits and its 1,600 of the file's 9,700 pages were a fifth of the import. Values keyed
// (key, fname) WITHOUT ROWID with a creation-order column took 420 ms (the column's next number is a
// look-up per insert), and so did ids made of the key and a count within it (larger ids in both
// b-trees, and the same look-up). The keys' full paths, in keys, its UNIQUE index and keys_by_parent,
// are a quarter of the pages: without keys_by_parent the import took 320 ms, and the same file with
// paths of half the length 320 ms against 350 ms. Both stay: keys_by_parent lists sub-keys in one seek
// each, and code that reads this file without it would scan every key at each step. Keys keyed
// (parent, folded name), with no full path, made the import 13% faster in a trial (316 ms against 362
// ms, a file of 6.3 MB instead of 7.2 MB), at the price of a walk of one look-up per component for an
// uncached path, a new schema version, and a second set of statements for readers that may not convert
// a store of the old one. AUTOINCREMENT costs nothing measurable there.
// Nor do new stores take larger pages: with 4 KiB pages that import ran 5% fewer instructions (2.39G
// to 2.27G) and half the system time (0.19 s to 0.09 s), but the accessor's value write
// (bench/registry) fell from 35,000-44,000 to 27,000-28,000 writes a second (2 KiB pages: 20,000-
// 37,000), measured side by side with the old build; without vals_by_key, 4 KiB pages still cost the
// value write a quarter (33,000 against 45,000 a second, medians of 6).
// Fixed rows 1 to 6: the roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG,
// and HKEY_LOCAL_MACHINE\SOFTWARE and its sub-key Classes, the machine's part of HKEY_CLASSES_ROOT
// (ClassesRoot.h). A file may hold every root, or only some (the user's store, the machine store).
//
// Transactions: every write is one BEGIN IMMEDIATE transaction, waiting (with retries) while another
// connection writes; reads are single statements on WAL snapshots and never wait for writers. Between
// BeginTransaction and EndTransaction the writes of the owning thread join one such transaction instead
// (each in a savepoint when it changes more than one row), its reads see them, and the read cache is set
// aside. The journal is WAL with synchronous=NORMAL and 1 KiB pages: a write that was answered with
// success survives the death of any process; only a power loss can take back the last commits, never
// leaving a damaged file.
//
// Reads go through one of three views (ReadView.h): the database, the database with a read cache per
// connection kept while the database is unchanged (ReadCache.h sets out how), or a read snapshot.
// A store that cannot be written (another user's, a read-only file) is read without the cache; its
// listings continue from where they stood all the same (DatabaseView::KeyListingStep and ValueListingStep).
//
// The files: the -wal and -shm stay beside the store file, so that a process that may not write them
// reads the store through SQLite's read-only WAL access at any time (StoreFile.cpp sets out why and what
// was measured); no code beside SQLite opens and closes those files by descriptor (Files.h).
//
// The implementation: Schema.* (schema, statements, error codes), ReadView.* (the read path),
// ReadCache.* (the read cache), Connection.* (one SQLite connection), StoreFile.cpp (file opening and
// layout), Files.* (the file system's side: folders, modes, trust, the -shm header), Lifetime.cpp (the
// stores of the process and its end), Conversion.cpp (stores of earlier code), Transactions.* (the Read
// and Write templates and the transactions), RegistryStore.cpp (the operations).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace cregistry::store {

inline constexpr std::int64_t kMachineKey = 1;
inline constexpr std::int64_t kUserKey = 2;
inline constexpr std::int64_t kUsersKey = 3;
inline constexpr std::int64_t kConfigKey = 4;
inline constexpr std::int64_t kSoftwareKey = 5;
inline constexpr std::int64_t kClassesKey = 6;
inline constexpr int kSchemaVersion = 2;
// The id of no key, not even a parent of the roots (whose parent column holds 0): a handle pointing at
// it answers kKeyDeleted to every call.
inline constexpr std::int64_t kNoKey = -1;

// A key as a handle knows it: its row id and its folded full path.
struct KeyRef {
  std::int64_t id = 0;
  std::string fpath;
};

// The key reference of a fixed key (kMachineKey ... kClassesKey).
KeyRef FixedKey(std::int64_t id);

// The comparison rule of key and value names (schema 2): every character of the UTF-8 name in the Basic
// Multilingual Plane replaced by its simple upper-case mapping (Unicode's); characters beyond it (which
// Windows, folding UTF-16 code units, never folds) and bytes that are not UTF-8 kept as they are.
std::string Fold(std::string_view name);
// The rule of schema 1: ASCII letters only.
std::string FoldAscii(std::string_view name);
// The rule of a store of that schema version.
std::string FoldFor(int schemaVersion, std::string_view name);

// The steps of SQLite's virtual machine that the listing statements of every store connection of the
// process have taken so far (SQLITE_STMTSTATUS_VM_STEP): what listings cost, counted rather than timed.
std::uint64_t ListingSteps();

class ReadView;
class DatabaseView;
class CachedView;
class SnapshotView;

// Who may read a store file that this code creates: its owner alone (a user's store: the file, its
// -wal and -shm 0600, new folders 0700), or everyone (the machine store: 0644, new folders 0755, so
// that every user reads what its owner wrote). Either way only the owner writes it.
enum class Readers { kOwner, kEveryone };

class RegistryStore {
 public:
  explicit RegistryStore(std::string path, Readers readers = Readers::kOwner);
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  const std::string& path() const { return path_; }

  // Closes the store's connections when the process ends normally (Lifetime.cpp): once the call that
  // another thread runs, and a transaction or snapshot of another thread, have ended (waiting a few
  // seconds at most); from then on the calls of other threads wait for the end (again a few seconds at
  // most, then they run).
  void CloseForExit();

  // kSuccess when this process may write the store (creating its file when it is missing and may be
  // made), else the code every write would answer (kAccessDenied for a file of another user's).
  long MayWrite();

  // Each call answers a Win32 code. Paths come as components (already split and checked).
  long OpenKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out);
  long CreateKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out);
  long DeleteKey(const KeyRef& parent, const std::vector<std::string_view>& path);
  long QueryValue(std::int64_t key, std::string_view name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size);
  long SetValue(std::int64_t key, std::string_view name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size);
  long DeleteValue(std::int64_t key, std::string_view name);
  long QueryInfoKey(std::int64_t key, std::uint32_t& maxValueNameLen);
  long EnumValue(std::int64_t key, std::uint32_t index, char* name, std::uint32_t& nameLen);
  long EnumKey(std::int64_t key, std::uint32_t index, char* name, std::uint32_t nameSize);

  // One transaction around many calls of the calling thread (see registry/TransactionalApi.h): every
  // write joins it, reads see its writes, and calls from other threads wait until it ends.
  // BeginTransaction answers kInvalidParameter when the calling thread already runs one.
  long BeginTransaction();
  // Commits (commit true) or rolls back. When it did not land and the transaction had created keys,
  // takenBack gets the lowest of their ids (every key it created has an id from there on) before any
  // other call may run: these ids go to later keys, so handles to them must not reach the store again.
  long EndTransaction(bool commit, const std::function<void(std::int64_t firstNewKey)>& takenBack);

  // A read snapshot of the calling thread (see registry/TransactionalApi.h): one read transaction (a
  // deferred BEGIN and a first read) that every read of the thread uses until EndSnapshot, never taking
  // the write lock; writes answer kAccessDenied meanwhile, and calls from other threads wait.
  // BeginSnapshot answers kInvalidParameter when the thread already runs a transaction or a snapshot.
  long BeginSnapshot();
  void EndSnapshot();

  struct Connection;

 private:
  // The connection for a read: the store file's, or, while the file does not exist, an empty in-memory
  // registry (so that reads create nothing).
  long ForRead(Connection*& out);
  // A read call: body(Connection&) answers a code. A reader that may not write the -shm file meets
  // SQLite's passing states while another process makes or recovers the shared memory
  // (SQLITE_READONLY_CANTINIT, SQLITE_READONLY_RECOVERY, SQLITE_PROTOCOL, busy): the call is made again
  // from the start, for kBusyLimit at most, outside a snapshot or transaction (whose state must not move).
  template <class Body>
  long Read(Body&& body);
  // The view that this call's reads go through (ReadView.h), chosen once per call. Listings and the
  // longest value name are never cached (the cached view reads them from the database), so they leave
  // the cache as it is.
  enum class Reads { kLookUps, kListings };
  ReadView& ViewFor(Connection& c, Reads reads);
  std::unique_ptr<DatabaseView> databaseView_;
  std::unique_ptr<CachedView> cachedView_;
  std::unique_ptr<SnapshotView> snapshotView_;
  // The connection for a write: the store file's, creating the file and its schema when needed.
  long ForWrite(Connection*& out);
  long OpenFile(bool create);
  long TryOpenFile(bool create);
  // How a connection opens the file: to read and write; to read only, through SQLite's read-only WAL
  // access (which needs the -wal and -shm files, see StoreFile.cpp); or, on a file system mounted
  // read-only, as read-only media (SQLite's immutable mode: no lock, no log, no -shm file).
  enum class OpenMode { kReadWrite, kReadOnly, kImmutable };
  long TryOpenFile(bool create, OpenMode mode);
  Readers readers_;
  // The store cannot be read by this user; said once on standard error.
  bool unreadableReported_ = false;
  void ReportUnreadable(const char* why);
  // A machine store that this process does not trust (files::Trusted); said once on standard error.
  bool untrustedReported_ = false;
  long CheckTrusted();
  // Brings a store of an older schema (version) to the current one, where it can; version answers the
  // schema the file has afterwards.
  long Convert(Connection& conn, std::int64_t& version);
  // What a write's body changes: one statement (atomic by itself), or several.
  enum class Changes { kOne, kSeveral };
  template <class Body, class Follow>
  long Write(Body&& body, Follow&& follow, Changes changes);
  // What a step of a transaction of BeginTransaction answers: rc, unless SQLite ended the transaction
  // itself (an I/O error, a full disk); then nothing of it is left, and that failure is kept for every
  // later call of the transaction and its commit.
  long TransactionStep(Connection& c, long rc);
  // The lock of one call; while a transaction runs, only its thread gets it.
  std::unique_lock<std::mutex> Enter();

  std::string path_;
  std::mutex mutex_;
  // The transaction running (BeginTransaction to EndTransaction), whose thread owns the connection.
  std::condition_variable transactionEnded_;
  bool inTransaction_ = false;
  std::thread::id transactionOwner_;
  long transactionFailure_ = 0;  // set when SQLite ended the transaction early (it cannot commit)
  std::int64_t transactionFirstKey_ = 0;
  // A key that the running transaction knows to exist (it created the key or set a value in it, and has
  // deleted no key since; no other connection writes meanwhile): SetValue on it skips the check that its
  // key exists. 0: none.
  std::int64_t transactionKnownKey_ = 0;
  // The read snapshot running (BeginSnapshot to EndSnapshot; its thread is transactionOwner_), and the
  // connection that holds it (the file's, or the empty registry's while there is no file).
  bool inSnapshot_ = false;
  Connection* snapshot_ = nullptr;  // its reads go through snapshotView_
  // The page cache of the connection outside a transaction, which raises it (see BeginTransaction).
  std::int64_t cacheSize_ = 0;
  std::unique_ptr<Connection> file_;
  std::unique_ptr<Connection> empty_;
  // The thread that ends the process, once it has closed the store (CloseForExit), and until when the
  // calls of other threads wait for the end.
  std::thread::id exitThread_;
  std::chrono::steady_clock::time_point exitDeadline_;
  // The process that made the store (a child of fork() inherits it).
  int pid_;
};

}  // namespace cregistry::store
