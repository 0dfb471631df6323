// What a registry seam implementation offers RunAsOneTransaction when it can group calls (the registry
// store does; advapi32 and test wrappers do not). Internal to the registry library.
#pragma once

namespace cregistry {

class TransactionalApi {
 public:
  // Starts the transaction of the calling thread on this connection: answers kSuccess, a failure code
  // (the store cannot be written, another writer holds it too long), or kInvalidParameter when the
  // calling thread already runs one here. Until it ends, calls from other threads wait.
  virtual long BeginTransaction() = 0;
  // Ends the transaction that BeginTransaction started: commits when commit is true (answering the
  // commit's code, after which nothing is kept when it failed), else rolls back (answering kSuccess).
  // Handles to keys that the rolled-back transaction created answer kKeyDeleted from then on.
  virtual long EndTransaction(bool commit) = 0;
  // Starts a read snapshot of the calling thread on this connection (RunAsOneSnapshot): answers kSuccess,
  // a failure code, or kInvalidParameter when the calling thread already runs a transaction or snapshot
  // here. Until it ends, calls from other threads wait.
  virtual long BeginSnapshot() = 0;
  // Ends the snapshot that BeginSnapshot started (its read transaction with it).
  virtual void EndSnapshot() = 0;

 protected:
  ~TransactionalApi() = default;
};

}  // namespace cregistry
