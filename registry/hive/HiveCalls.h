// What the two halves of HiveRegistryApi (HiveRegistryApi.cpp: handles, keys, transactions;
// HiveValues.cpp: values) share. Internal to them.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "registry/hive/HiveRegistryApi.h"

namespace cregistry::hive {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// What libhivex hands over with malloc.
template <class T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

// The registry's code for what libhivex says in errno.
inline long FromErrno(int error) {
  switch (error) {
    case ENOMEM: return 14;
    case ENOSPC: return 112;
    case EACCES:
    case EPERM:
    case EROFS: return win32::kAccessDenied;
    case ENOENT: return win32::kFileNotFound;
    default: return win32::kBadDb;
  }
}

// One call of the seam: holds the hive while the call runs, after waiting for a transaction or
// snapshot of another thread to end.
class HiveRegistryApi::Call {
 public:
  explicit Call(HiveRegistryApi& api) : lock_(api.mutex_) {
    api.idle_.wait(lock_, [&] { return api.group_ == Group::kNone || api.groupThread_ == std::this_thread::get_id(); });
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace cregistry::hive
