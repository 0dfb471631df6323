// The transactions of the registry store (the Write template that they change is in Transactions.h).
#include <thread>

#include "registry/store/Transactions.h"

namespace cregistry::store {

using namespace cregistry::win32;

std::unique_lock<std::mutex> RegistryStore::Enter() {
  std::unique_lock lock(mutex_);
  transactionEnded_.wait(lock, [&] { return !inTransaction_ || transactionOwner_ == std::this_thread::get_id(); });
  return lock;
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
  if (long rc = c->CheckSchema()) {
    c->Step(kRollback);
    return rc;
  }
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

}  // namespace cregistry::store
