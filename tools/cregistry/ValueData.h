// Value types and data as reg names, shows and takes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "registry/RegistryWalk.h"

namespace cregistry::tool {

// "REG_SZ", ...; "0x..." for a type without a name.
std::string TypeName(std::uint32_t type);
// The type /t names, in any letter case.
std::optional<std::uint32_t> TypeFromName(std::string_view name);
// The data as reg query shows it; REG_MULTI_SZ strings joined by separator.
std::string DisplayData(const RawValue& value, const std::string& separator);
// The data of /d (nullptr: no /d) for a type, with the separator of /s (nullptr: none), in the narrow
// form the registry calls take, as reg converts it; false with error set where reg refuses it.
bool BuildData(std::uint32_t type, const std::string* given, const std::string* separator, std::string& data,
               std::string& error);

}  // namespace cregistry::tool
