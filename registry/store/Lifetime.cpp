// The life of a registry store in its process: every store is listed from its making to its end, and
// when the process ends normally (exit() on any thread, or a return from main) each store's connections
// are checkpointed and closed once the calls under way have finished, so that no commit stays in a log.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "registry/store/Connection.h"
#include "registry/store/ReadView.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::store {

namespace {

// How long the end of the process waits for the calls, transactions and snapshots that other threads
// run on a store before it leaves that store as it stands (SQLite recovers its log at the next opening).
constexpr auto kExitWait = std::chrono::seconds(5);

// Every store of the process, so that its connections close when the process ends even where an owner
// of the store is never destroyed (a static, or a local of a function that calls exit()). Never
// destroyed itself (nor is anything else a store relies on): other threads may still use stores while
// the exit handlers run.
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
  for (RegistryStore* store : live.stores) store->CloseForExit();
}

}  // namespace

RegistryStore::RegistryStore(std::string path, Readers readers)
    : databaseView_(std::make_unique<DatabaseView>()),
      cachedView_(std::make_unique<CachedView>()),
      snapshotView_(std::make_unique<SnapshotView>()),
      readers_(readers),
      path_(std::move(path)),
      pid_(getpid()) {
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

std::unique_lock<std::mutex> RegistryStore::Enter() {
  std::unique_lock lock(mutex_);
  const std::thread::id self = std::this_thread::get_id();
  const auto owner = [&] { return (inTransaction_ || inSnapshot_) && transactionOwner_ == self; };
  // Once the process ends, the thread that ends it goes on, and so does the owner of a transaction or
  // snapshot to its end; any other call waits for the process to be gone, a few seconds at most (an exit
  // handler may be waiting for this very thread to end), and then runs as usual.
  if (exitThread_ != std::thread::id{} && exitThread_ != self && !owner()) {
    transactionEnded_.wait_until(lock, exitDeadline_, [] { return false; });
  }
  transactionEnded_.wait(lock, [&] { return (!inTransaction_ && !inSnapshot_) || owner(); });
  return lock;
}

void RegistryStore::CloseForExit() {
  // A child of fork() has none of its parent's other threads: what they held stays held, and is not
  // waited for.
  const bool forked = getpid() != pid_;
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  std::unique_lock lock(mutex_, std::defer_lock);
  while (!lock.try_lock()) {
    if (forked || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::thread::id self = std::this_thread::get_id();
  exitThread_ = self;
  exitDeadline_ = std::chrono::steady_clock::now() + kExitWait;
  // A transaction of this thread's own never ends now: closing the connection takes it back.
  if (!transactionEnded_.wait_until(lock, forked ? std::chrono::steady_clock::now() : deadline, [&] {
        return (!inTransaction_ && !inSnapshot_) || transactionOwner_ == self;
      })) {
    return;
  }
  inTransaction_ = inSnapshot_ = false;
  snapshot_ = nullptr;
  file_.reset();
  empty_.reset();
}

}  // namespace cregistry::store
