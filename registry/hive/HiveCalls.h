// What the two halves of HiveRegistryApi (HiveRegistryApi.cpp: handles, keys, transactions;
// HiveValues.cpp: values) share. Internal to them.
#pragma once

#include <mutex>
#include <thread>

#include "registry/hive/Fd.h"
#include "registry/hive/HiveRegistryApi.h"

namespace cregistry::hive {

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
