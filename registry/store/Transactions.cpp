// The transactions of the registry store (the Write template that they change is in Transactions.h).
#include <string>
#include <thread>

#include "registry/store/ReadView.h"
#include "registry/store/Transactions.h"

namespace cregistry::store {

using namespace cregistry::win32;

long RegistryStore::TransactionStep(Connection& c, long rc) {
  if (sqlite3_get_autocommit(c.db.get()) == 0) return rc;
  transactionFailure_ = rc != kSuccess ? rc : kRegistryIoFailed;
  return transactionFailure_;
}

long RegistryStore::BeginTransaction() {
  auto lock = Enter();
  if (inTransaction_ || inSnapshot_) return kInvalidParameter;  // this thread's own: nesting
  Connection* c = nullptr;
  if (long rc = ForWrite(c)) return rc;
  if (long rc = c->BeginChecked(kBegin, [&] { c->DropCache(); })) {  // set aside until the transaction ends
    c->DropCache();
    return rc;
  }
  // A transaction's pages stay in memory (up to kTransactionCacheKiB) rather than spilling into the log
  // and being read back from it; EndTransaction sets the cache back.
  int qrc = SQLITE_OK;
  cacheSize_ = c->QueryInt("PRAGMA cache_size", qrc);
  if (qrc != SQLITE_OK) cacheSize_ = 0;
  if (cacheSize_ != 0) c->Exec(Connection::kTransactionCache);
  c->schemaPinned = true;  // no other connection writes (converts) until the transaction ends
  inTransaction_ = true;
  transactionOwner_ = std::this_thread::get_id();
  transactionFailure_ = kSuccess;
  transactionFirstKey_ = 0;
  transactionKnownKey_ = 0;
  return kSuccess;
}

long RegistryStore::EndTransaction(bool commit, const std::function<void(std::int64_t)>& takenBack) {
  auto lock = Enter();
  if (!inTransaction_) return kInvalidParameter;
  Connection& c = *file_;
  c.schemaPinned = false;
  long rc = transactionFailure_;
  bool landed = false;
  if (commit && rc == kSuccess) {
    rc = c.Step(kCommit);
    landed = rc == kSuccess;
  }
  c.DropCache();
  if (cacheSize_ != 0) c.Exec(("PRAGMA cache_size = " + std::to_string(cacheSize_)).c_str());
  cacheSize_ = 0;
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
  transactionKnownKey_ = 0;
  transactionOwner_ = {};
  lock.unlock();
  transactionEnded_.notify_all();
  return commit ? rc : kSuccess;
}

long RegistryStore::BeginSnapshot() {
  auto lock = Enter();
  if (inTransaction_ || inSnapshot_) return kInvalidParameter;  // this thread's own: nesting
  // The deferred BEGIN reads nothing yet: the schema check is the first read, which fixes the state
  // that every later read of the snapshot sees.
  Connection* c = nullptr;
  if (long rc = Read([&](Connection& conn) {
        c = &conn;
        return conn.BeginChecked(kBeginRead, [&] { ++conn.generation; });
      })) {
    return rc;
  }
  c->schemaPinned = true;
  snapshotView_->Clear();
  inSnapshot_ = true;
  snapshot_ = c;
  transactionOwner_ = std::this_thread::get_id();
  return kSuccess;
}

void RegistryStore::EndSnapshot() {
  auto lock = Enter();
  if (!inSnapshot_) return;
  Connection& c = *snapshot_;
  c.schemaPinned = false;
  ++c.generation;  // the listing cursors stood in the snapshot
  if (sqlite3_get_autocommit(c.db.get()) == 0 && c.Step(kCommit) != kSuccess && c.Step(kRollback) != kSuccess &&
      sqlite3_get_autocommit(c.db.get()) == 0) {
    // The read transaction must not outlive the call: closing the connection ends it.
    if (snapshot_ == file_.get()) file_.reset();
    if (snapshot_ == empty_.get()) empty_.reset();
  }
  snapshotView_->Clear();
  inSnapshot_ = false;
  snapshot_ = nullptr;
  transactionOwner_ = {};
  lock.unlock();
  transactionEnded_.notify_all();
}

}  // namespace cregistry::store
