// What the tool and the hive calls need from the registry beyond the accessor (every value type, raw
// data, listings of values with their types and data, whole trees), written over the registry seam so
// that it works on the registry store, on hive files and on advapi32 alike. Every function answers a
// Win32 code. Internal to the library and its tool.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>

namespace cregistry {

struct RawValue {
  std::string name;  // "" is the unnamed value
  std::uint32_t type = 0;
  std::string data;
};

// Reads one value's type and data (RegQueryValueEx, growing the buffer while the data grows).
long ReadValue(RegistryApi& api, RegHandle key, const std::string& name, RawValue& out);
// Every value of key, in the registry's order.
long ReadValues(RegistryApi& api, RegHandle key, std::vector<RawValue>& out);
// The names of key's sub-keys, in the registry's order.
long ListSubKeys(RegistryApi& api, RegHandle key, std::vector<std::string>& out);
// Deletes parent\subKey with everything below it.
long DeleteTree(RegistryApi& api, RegHandle parent, const std::string& subKey);

// Visits root\path and every key below it, depth-first, sub-keys in the registry's order: visit gets
// the key's path relative to root\path ("" for the key itself, then "Sub", "Sub\Deeper", ...) and its
// open handle, and answers a code (non-zero stops the walk). The first failing code comes back, with
// failedPath set to the relative path where it happened.
long WalkTree(RegistryApi& api, RegHandle key,
              const std::function<long(const std::string& relative, RegHandle key)>& visit,
              std::string& failedPath);

}  // namespace cregistry
