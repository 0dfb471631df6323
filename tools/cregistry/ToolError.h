// The tool's one error: what failed (the Win32 code, the operation, the key and value it concerned, or
// the place in a .reg file), printed in one place as one line on standard error.
#pragma once

#include <optional>
#include <string>

#include "registry/regfile/RegFile.h"

namespace cregistry::tool {

struct ToolError {
  long code = 0;              // the Win32 code; 0 when the failure is not the registry's
  std::string operation;      // "cannot delete the key"; empty when the code says it all
  std::string keyPath;        // the key as the user names it
  std::optional<std::string> valueName;  // the value concerned ("" is the unnamed value)
  std::string detail;         // the reason, when code is 0
  std::optional<regfile::Error> file;    // a place in a .reg file
  bool fileCode = false;      // the code concerns the file that keyPath names, not a key (2: no such file)

  // "cregistry: HKCU\Software\Nope: the key does not exist"
  std::string ToString() const;
};

// What a Win32 code of a registry call means, in words; valueOp picks "value" over "key" for code 2.
std::string Reason(long code, bool valueOp);

}  // namespace cregistry::tool
