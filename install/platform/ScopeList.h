// The copies in progress on one platform object, shared by the threads of those copies: each copy
// registers its scope at BeginCopy and removes it when the scope ends; the seam's calls look a path up
// among them.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

namespace install::platform {

template <class Scope>
class ScopeList {
 public:
  void Add(Scope* scope) {
    std::lock_guard lock(mutex_);
    scopes_.push_back(scope);
  }
  void Remove(Scope* scope) {
    std::lock_guard lock(mutex_);
    scopes_.erase(std::remove(scopes_.begin(), scopes_.end(), scope), scopes_.end());
  }
  // Calls visit(scope) for each scope in registration order, under the list's lock, until it answers true.
  template <class Fn>
  void Visit(Fn&& visit) {
    std::lock_guard lock(mutex_);
    for (Scope* scope : scopes_) {
      if (visit(scope)) return;
    }
  }

 private:
  std::mutex mutex_;
  std::vector<Scope*> scopes_;
};

}  // namespace install::platform
