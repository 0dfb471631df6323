// The reads and writes of the registry store: the Read template through which every read call goes, the
// Write template through which every operation that changes the database goes, and the transactions of
// BeginTransaction and EndTransaction that group many of them.
// Included by the operations (RegistryStore.cpp) and the transactions (Transactions.cpp) only.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cregistry/Store.h>
#include "registry/store/Connection.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"

namespace cregistry::store {

// Runs body (a function of Connection& answering a Win32 code) as one write transaction: committed when
// it answers kSuccess, rolled back otherwise. After a commit, follow (a function of Connection&) brings
// the read cache up to date with the change, when the cache can follow it; otherwise the cache is
// dropped.
//
// Inside a transaction of BeginTransaction, the read cache is set aside (the transaction's reads go to
// the database, which holds its writes) and body's changes join the transaction; a body of several
// changes runs in a savepoint, so that when it fails it takes back what it did itself, as it does alone
// (a single statement is atomic by itself). The transaction goes on after a failed call.
// Inside a read snapshot of BeginSnapshot, nothing is written: kAccessDenied.
template <class Body, class Follow>
long RegistryStore::Write(Body&& body, Follow&& follow, Changes changes) {
  if (inSnapshot_) return win32::kAccessDenied;  // a read snapshot only reads
  if (inTransaction_) {
    if (transactionFailure_) return transactionFailure_;
    Connection& c = *file_;
    ++c.generation;  // the listing cursors do not follow a write
    long rc = win32::kSuccess;
    if (changes == Changes::kOne) {
      rc = body(c);
    } else if ((rc = c.Step(kSavepoint)) == win32::kSuccess) {
      rc = body(c);
      if (rc != win32::kSuccess) c.Step(kRollbackTo);
      long released = c.Step(kRelease);
      if (rc == win32::kSuccess) rc = released;
    }
    return TransactionStep(c, rc);
  }
  Connection* c = nullptr;
  if (long rc = ForWrite(c)) return rc;
  if (long rc = c->BeginChecked(kBegin, [&] { c->BeginWrite(); })) {
    c->DropCache();
    return rc;
  }
  long rc = body(*c);
  if (rc == win32::kSuccess) {
    rc = c->Step(kCommit);
    if (rc == win32::kSuccess && c->FollowCommit()) {
      follow(*c);
    } else {
      c->DropCache();
    }
  }
  if (rc != win32::kSuccess && sqlite3_get_autocommit(c->db.get()) == 0) {
    c->Step(kRollback);
    c->DropCache();
  }
  return rc;
}

template <class Body>
long RegistryStore::Read(Body&& body) {
  std::chrono::steady_clock::time_point start;  // of the first retry: most reads never need one
  for (int attempt = 0;; ++attempt) {
    Connection* c = nullptr;
    long rc = ForRead(c);
    if (rc == win32::kSuccess) rc = body(*c);
    if (rc == win32::kSuccess || inSnapshot_ || inTransaction_) return rc;
    if (rc != win32::kBusy && (c == nullptr || !c->Passing())) return rc;
    const auto now = std::chrono::steady_clock::now();
    if (attempt == 0) start = now;
    if (now - start > kBusyLimit) return rc;
    std::this_thread::sleep_for(std::chrono::microseconds(std::min(50 << std::min(attempt, 5), 2000)));
  }
}

}  // namespace cregistry::store
