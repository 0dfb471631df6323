// The tool on Windows: it works on the registry through advapi32.
#include <windows.h>

#include "registry/Ascii.h"
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
    "before it changed.\n"
    "save, restore, load and unload call RegSaveKeyExW, RegRestoreKeyW, RegLoadKeyW and\n"
    "RegUnLoadKeyW after enabling the backup and restore privileges, as reg does.";

void PrepareProcess() {}

std::string FoldName(const std::string& name) {
  const int units = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (units > 0) {
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), units);
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), units, wide.data(), units) == units) {
      const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
      std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
      if (bytes > 0 && WideCharToMultiByte(CP_ACP, 0, wide.data(), units, out.data(), bytes, nullptr, nullptr) == bytes) {
        return out;
      }
    }
  }
  std::string out = name;  // not text of the code page: ASCII letters only
  for (char& ch : out) ch = ascii::Upper(ch);
  return out;
}

}  // namespace cregistry::tool::platform
