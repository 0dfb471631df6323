#include "registry/store/Handles.h"

#include "registry/RegistryModel.h"
#include "registry/Utf8.h"

namespace cregistry::store {

using namespace win32;

using model::kMaxKeyNameChars;

std::uint32_t GrantedAccess(std::uint32_t mask) {
  std::uint32_t granted = mask & 0x00FFFFFF;
  if (mask & (kGenericRead | kGenericExecute)) granted |= kKeyRead;
  if (mask & kGenericWrite) granted |= kKeyWrite;
  if (mask & (kGenericAll | kMaximumAllowed)) granted |= kKeyAllAccess;
  return granted;
}

long SplitPath(const char* subKey, std::vector<std::string_view>& parts) {
  parts.clear();
  if (subKey == nullptr) return kSuccess;
  std::string_view path(subKey);
  if (!path.empty() && path.front() == '\\') return kBadPathname;
  while (!path.empty()) {
    std::size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (utf8::MoreUnits16Than(part, kMaxKeyNameChars)) return kInvalidParameter;
      parts.push_back(part);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return kSuccess;
}

bool IsPredefined(RegHandle handle) {
  return handle >= RootHandle(static_cast<std::int32_t>(0x80000000u)) &&
         handle <= RootHandle(static_cast<std::int32_t>(0x80000006u));
}

std::int64_t RootKeyId(RegHandle handle) {
  switch (static_cast<std::uint32_t>(handle)) {
    case 0x80000000u:
      return store::kClassesKey;
    case 0x80000001u:
      return store::kUserKey;
    case 0x80000002u:
      return store::kMachineKey;
    case 0x80000003u:
      return store::kUsersKey;
    case 0x80000005u:
      return store::kConfigKey;
    default:
      return 0;
  }
}

}  // namespace cregistry::store
