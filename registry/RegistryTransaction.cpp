// RunAsOneTransaction over whichever seam implementation it is given: the store's transaction where the
// implementation offers one (TransactionalApi), else the body alone.
#include <cregistry/RegistryTransaction.h>

#include <algorithm>
#include <vector>

#include "registry/TransactionalApi.h"

namespace cregistry {

namespace {

// The connections whose RunAsOneTransaction is running on this thread, innermost last: a nested call on
// one of them is refused the same way on every platform.
thread_local std::vector<const RegistryApi*> running;

class Running {
 public:
  explicit Running(const RegistryApi& api) { running.push_back(&api); }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() { running.pop_back(); }
};

// Whether body may run on api: it is given, and api runs no transaction or snapshot on this thread.
bool MayRun(const RegistryApi& api, const std::function<long()>& body) {
  return body && std::find(running.begin(), running.end(), &api) == running.end();
}

}  // namespace

bool SupportsTransactions(const RegistryApi& api) { return dynamic_cast<const TransactionalApi*>(&api) != nullptr; }

long RunAsOneTransaction(RegistryApi& api, const std::function<long()>& body) {
  if (!MayRun(api, body)) return win32::kInvalidParameter;
  Running guard(api);
  auto* transactional = dynamic_cast<TransactionalApi*>(&api);
  if (transactional == nullptr) return body();
  if (long rc = transactional->BeginTransaction()) return rc;
  long rc = win32::kSuccess;
  try {
    rc = body();
  } catch (...) {
    transactional->EndTransaction(false);
    throw;
  }
  if (rc != win32::kSuccess) {
    transactional->EndTransaction(false);
    return rc;
  }
  return transactional->EndTransaction(true);
}

long RunAsOneSnapshot(RegistryApi& api, const std::function<long()>& body) {
  if (!MayRun(api, body)) return win32::kInvalidParameter;
  Running guard(api);
  auto* transactional = dynamic_cast<TransactionalApi*>(&api);
  if (transactional == nullptr) return body();
  if (long rc = transactional->BeginSnapshot()) return rc;
  struct End {
    TransactionalApi* api;
    ~End() { api->EndSnapshot(); }
  } end{transactional};
  return body();
}

}  // namespace cregistry
