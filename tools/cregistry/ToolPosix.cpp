// The tool on Linux: it works on the registry store.
#include <malloc.h>

#include <cregistry/Store.h>
#include "registry/store/RegistryStore.h"
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

// A run is short and its memory peaks once (an import's transaction keeps its pages in a cache of up to
// 32 MiB): giving memory back to the system as it is freed, and asking for it 128 KiB at a time, cost an
// import of 100,000 values about 1,300 brk calls and 3% of its time.
void PrepareProcess() {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 16 << 20);
}

std::string FoldName(const std::string& name) { return store::Fold(name); }

}  // namespace cregistry::tool::platform
