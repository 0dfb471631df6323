// The tool on Windows: it works on the registry through advapi32.
#include "tools/cregistry/Tool.h"

namespace cregistry::tool::platform {

std::shared_ptr<RegistryApi> OpenRegistry(const std::string* storePath, ToolError& error) {
  if (storePath != nullptr) {
    error.detail = "--store is for the Linux registry store; this build works on the Windows registry";
    return nullptr;
  }
  return DefaultRegistryApi();
}

const char* const kPlatformNotes =
    "This build works on the Windows registry.\n"
    "An import reads and checks the whole file first, then applies it key by key: the registry has no\n"
    "transaction over plain calls, so a failure while applying (access denied, say) leaves the keys\n"
    "before it changed.";

void PrepareProcess() {}

}  // namespace cregistry::tool::platform
