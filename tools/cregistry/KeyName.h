// Keys as the user names them on the command line: ROOT\path, the root in full or short, any case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/cregistry/ToolError.h"

namespace cregistry::tool {

struct KeyName {
  std::string asGiven;  // for messages, as the user wrote it
  std::int32_t root = 0;
  std::string subPath;  // below the root, without leading or trailing "\"
  std::string FullPath() const;
};

// The key text parsed as reg parses it; nullopt with error set when reg refuses it.
std::optional<KeyName> ParseKey(const std::string& text, ToolError& error);

}  // namespace cregistry::tool
