// The tool on Linux: it works on the registry store.
#include <cregistry/Store.h>
#include "tools/cregistry/Tool.h"

namespace cregistry::tool::platform {

std::shared_ptr<RegistryApi> OpenRegistry(const std::string* storePath, ToolError&) {
  return storePath != nullptr ? OpenRegistryStore(*storePath) : DefaultRegistryApi();
}

const char* const kPlatformNotes =
    "This build works on the registry store: the file given by --store PATH (every root), else\n"
    "HKCU in $CREGISTRY_STORE, else ${XDG_DATA_HOME:-~/.local/share}/cregistry/registry.db, and\n"
    "HKLM, HKU and HKCC in $CREGISTRY_MACHINE_STORE, else /var/lib/cregistry/machine.db.\n"
    "An import reads the file once and applies it as one transaction: the store holds either the\n"
    "whole file or none of it (nothing when the file has an error anywhere), even when the process is\n"
    "killed meanwhile. A file that would change both the user's and the machine store is refused.";

}  // namespace cregistry::tool::platform
