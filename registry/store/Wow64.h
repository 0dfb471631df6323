// The 32-bit registry view of the store, as 64-bit Windows (7 and later) shows it to a call that asks
// for KEY_WOW64_32KEY: the path of a key maps to the place where the 32-bit view keeps it. Internal to
// the store.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace cregistry::store {

// Maps the components of a path below the fixed key parent (kMachineKey, kSoftwareKey, kClassesKey or
// kUserKey) to those of the 32-bit view, in place:
//   HKLM\SOFTWARE\X...                 -> HKLM\SOFTWARE\Wow6432Node\X... (HKLM\SOFTWARE itself too), but
//                                         for the keys Windows shares between the views (Policies,
//                                         RegisteredApplications, and a list below Microsoft: Wow64.cpp)
//   HKLM\SOFTWARE\Classes\X...         -> shared (unchanged), but for X one of CLSID, DirectShow,
//                                         Interface, Media Type, MediaFoundation:
//                                         HKLM\SOFTWARE\Classes\Wow6432Node\X...
//   HKCU\Software\Classes\X...         -> the same five X: HKCU\Software\Classes\Wow6432Node\X...
// A path already inside a Wow6432Node, and every path below another parent (a handle opened in either
// view already names its own place), stays as it is.
void Redirect32(std::int64_t parent, std::vector<std::string_view>& parts);

}  // namespace cregistry::store
