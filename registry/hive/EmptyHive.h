// The bytes of a new hive that holds only its root key.
#pragma once

#include <cstdint>
#include <vector>

namespace cregistry::hive {

// A base block of format 1.5 and one bin: the root key ("ROOT"), its security cell (owner Administrators,
// group SYSTEM; SYSTEM and Administrators full control, Users read, inherited by sub-keys and values),
// and the rest of the bin free. now is a FILETIME.
std::vector<std::uint8_t> EmptyHiveImage(std::uint64_t now);

}  // namespace cregistry::hive
