// The data of string values between a hive, which holds UTF-16LE as Windows does, and the registry calls
// of the seam, which take and give narrow text (UTF-8 on Linux), as RegQueryValueExA and RegSetValueExA
// convert it. Other types pass unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cregistry::hive {

// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: the types whose data the narrow calls convert.
bool IsTextType(std::uint32_t type);

// A hive's data as the narrow calls give it: UTF-16LE code units (an odd last byte is dropped, as
// Windows drops it) as UTF-8, a unit that is no character (a lone surrogate) as U+FFFD. Every unit is
// converted, NULs and what follows them included, so the size comes out as Windows counts it.
std::string ToNarrow(std::uint32_t type, std::string_view hiveData);

// Narrow data as a hive holds it: UTF-8 as UTF-16LE (a byte that starts no character as U+FFFD), NULs
// included.
std::string ToHive(std::uint32_t type, std::string_view narrowData);

}  // namespace cregistry::hive
