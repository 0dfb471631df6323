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

// Runs body on api: through run(transactional side) where api has one, else body alone. A body not given,
// or a call inside a transaction or snapshot of api on this thread, is refused.
template <class Run>
long RunOn(RegistryApi& api, const std::function<long()>& body, Run run) {
  if (!body || std::find(running.begin(), running.end(), &api) != running.end()) return win32::kInvalidParameter;
  Running guard(api);
  auto* transactional = dynamic_cast<TransactionalApi*>(&api);
  return transactional == nullptr ? body() : run(*transactional);
}

}  // namespace

bool SupportsTransactions(const RegistryApi& api) { return dynamic_cast<const TransactionalApi*>(&api) != nullptr; }

long RunAsOneTransaction(RegistryApi& api, const std::function<long()>& body) {
  return RunOn(api, body, [&](TransactionalApi& transactional) {
    if (long rc = transactional.BeginTransaction()) return rc;
    long rc = win32::kSuccess;
    try {
      rc = body();
    } catch (...) {
      transactional.EndTransaction(false);
      throw;
    }
    if (rc != win32::kSuccess) {
      transactional.EndTransaction(false);
      return rc;
    }
    return transactional.EndTransaction(true);
  });
}

long RunAsOneSnapshot(RegistryApi& api, const std::function<long()>& body) {
  return RunOn(api, body, [&](TransactionalApi& transactional) {
    if (long rc = transactional.BeginSnapshot()) return rc;
    struct End {
      TransactionalApi& api;
      ~End() { api.EndSnapshot(); }
    } end{transactional};
    return body();
  });
}

}  // namespace cregistry
