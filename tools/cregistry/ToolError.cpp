#include "tools/cregistry/ToolError.h"

#include <cregistry/RegistryApi.h>

namespace cregistry::tool {

std::string Reason(long code, bool valueOp) {
  using namespace win32;
  switch (code) {
    case kFileNotFound: return valueOp ? "the value does not exist" : "the key does not exist";
    case 3: return "the path does not exist (3)";
    case kAccessDenied: return "access denied (5)";
    case kInvalidHandle: return "invalid handle (6)";
    case kInvalidParameter: return "invalid parameter (87)";
    case kBadPathname: return "bad path name (161)";
    case kKeyDeleted: return "the key was deleted meanwhile (1018)";
    case kBadNetPath: return "the machine cannot be reached (53)";
    case kBadDb: return "the registry is damaged (1009)";
    case 14: return "out of memory (14)";
    case 17: return "the change would span the user's and the machine store (17)";
    case 32: return "the file is in use by another process (32)";
    case 112: return "the disk is full (112)";
    case 170: return "the registry is busy (170)";
    case 183: return "it exists already (183)";
    case 998: return "the registry store cannot be opened (998)";
    case 1016: return "a registry I/O operation failed (1016)";
    case 1017: return "the file is not a registry hive (1017)";
    case 1314: return "a required privilege is not held by the client (1314)";
    default: return "error " + std::to_string(code);
  }
}

std::string ToolError::ToString() const {
  std::string line = "cregistry: ";
  std::string reason = code == 0                                ? detail
                       : fileCode && code == win32::kFileNotFound ? "the file does not exist"
                                                                  : Reason(code, valueName.has_value());
  if (code != 0 && !detail.empty()) reason += " (" + detail + ")";
  if (file) {
    regfile::Error where = *file;
    if (code != 0 || !operation.empty()) {
      where.message.clear();
      if (!operation.empty()) where.message = operation + ": ";
      where.message += reason;
    }
    return line + where.ToString();
  }
  if (!keyPath.empty()) {
    line += keyPath;
    if (valueName) line += valueName->empty() ? " (Default)" : " value \"" + *valueName + "\"";
    line += ": ";
  }
  if (!operation.empty()) line += operation + ": ";
  return line + reason;
}

}  // namespace cregistry::tool
