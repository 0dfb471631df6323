// The store connection that the native suites open on a store file of theirs. They run twice: with every
// root in that file, and with CREGISTRY_TEST_STORES=split, where the file holds HKEY_CURRENT_USER and a
// machine store beside it the other roots, as a process's default connection splits them.
#pragma once

#include <cstdlib>
#include <string>

#include <cregistry/Store.h>

namespace cregistry::teststores {

inline bool SplitStores() {
  const char* mode = std::getenv("CREGISTRY_TEST_STORES");
  return mode != nullptr && std::string(mode) == "split";
}
inline std::string MachineStoreBeside(const std::string& path) { return path + ".machine.db"; }
inline std::shared_ptr<RegistryApi> OpenTestStore(const std::string& path) {
  return SplitStores() ? OpenRegistryStores(path, MachineStoreBeside(path)) : OpenRegistryStore(path);
}

}  // namespace cregistry::teststores
