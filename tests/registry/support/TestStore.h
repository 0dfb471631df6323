// The store connection that the native suites open on a store file of theirs. They run twice (see
// tests/registry/CMakeLists.txt): with every root in that one file, and with CREGISTRY_TEST_STORES=split,
// where the file holds HKEY_CURRENT_USER and a machine store beside it ("<file>.machine.db") the other
// roots, as the default connection of a process splits them.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "registry/store/Store.h"

namespace cregistry::teststores {

inline bool SplitStores() {
  const char* mode = std::getenv("CREGISTRY_TEST_STORES");
  return mode != nullptr && std::strcmp(mode, "split") == 0;
}

inline std::string MachineStoreBeside(const std::string& path) { return path + ".machine.db"; }

inline std::shared_ptr<RegistryApi> OpenTestStore(const std::string& path) {
  return SplitStores() ? OpenRegistryStores(path, MachineStoreBeside(path)) : OpenRegistryStore(path);
}

}  // namespace cregistry::teststores
