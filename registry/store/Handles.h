// The registry store's key handles: the process-wide table of open handles (handle values are unique
// across stores, and a handle keeps its store open), the stores of remote machines, the rights a
// handle is granted, the predefined roots and the splitting of a sub-key path. Internal to the store.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <cregistry/RegistryApi.h>
#include "registry/store/ClassesRoot.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::store {

// Access rights beyond the key-specific ones (RegistryApi.h).
inline constexpr std::uint32_t kDelete = 0x00010000;
inline constexpr std::uint32_t kReadControl = 0x00020000;
inline constexpr std::uint32_t kWriteDac = 0x00040000;
inline constexpr std::uint32_t kWriteOwner = 0x00080000;
inline constexpr std::uint32_t kMaximumAllowed = 0x02000000;
inline constexpr std::uint32_t kGenericAll = 0x10000000;
inline constexpr std::uint32_t kGenericExecute = 0x20000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kKeyWrite = kReadControl | win32::kKeySetValue | win32::kKeyCreateSubKey;
static_assert(win32::kKeyRead == (kReadControl | win32::kKeyQueryValue | win32::kKeyEnumerateSubKeys | win32::kKeyNotify));
// The rights that only a process that may write the key's store is granted.
inline constexpr std::uint32_t kWriteRights =
    win32::kKeySetValue | win32::kKeyCreateSubKey | win32::kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

// The rights a handle opened with this access mask has: generic rights map to the key's own.
std::uint32_t GrantedAccess(std::uint32_t mask);

// Splits a sub-key path into its components. Empty components (a doubled or trailing "\") are skipped;
// a leading "\" is a bad path name; a component longer than 255 characters is refused.
long SplitPath(const char* subKey, std::vector<std::string_view>& parts);

inline const char* NameOrEmpty(const char* name) { return name == nullptr ? "" : name; }

struct HandleEntry {
  std::shared_ptr<RegistryStore> store;
  KeyRef key;
  std::uint32_t access = 0;
  // Set for a key of HKEY_CLASSES_ROOT, whose calls go through the merged view (store and key unused).
  std::shared_ptr<ClassesKey> classes;
};
using EntryPtr = std::shared_ptr<const HandleEntry>;

// Every open key handle of the process, whichever store it belongs to: handle values are unique across
// stores, and a handle keeps its store open. Never destroyed, as the other tables of the process: other
// threads may still use them while the process ends.
class HandleTable {
 public:
  static HandleTable& Instance() {
    static HandleTable& table = *new HandleTable;
    return table;
  }

  RegHandle Add(EntryPtr entry) {
    std::lock_guard lock(mutex_);
    RegHandle handle;
    do {
      next_ += 4;
      if (next_ >= 0x7FFFFFF0) next_ = 0x1000;
      handle = next_;
    } while (entries_.count(handle) != 0);
    entries_.emplace(handle, std::move(entry));
    return handle;
  }

  EntryPtr Find(RegHandle handle) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    return it == entries_.end() ? nullptr : it->second;
  }

  bool Remove(RegHandle handle) {
    std::lock_guard lock(mutex_);
    return entries_.erase(handle) != 0;
  }

  // Points the handles to keys of store with an id from firstId on at no key (store::kNoKey): their
  // keys were taken back, and their ids go to later keys.
  void Orphan(const RegistryStore* store, std::int64_t firstId) {
    std::lock_guard lock(mutex_);
    for (auto& [handle, entry] : entries_) {
      if (entry->store.get() != store || entry->key.id < firstId) continue;
      auto orphan = std::make_shared<HandleEntry>(*entry);
      orphan->key.id = store::kNoKey;
      entry = std::move(orphan);
    }
  }

 private:
  std::mutex mutex_;
  std::unordered_map<RegHandle, EntryPtr> entries_;
  RegHandle next_ = 0x1000;
};

// Machine name (folded) -> its store, for RegisterMachineStore.
class MachineTable {
 public:
  static MachineTable& Instance() {
    static MachineTable& table = *new MachineTable;
    return table;
  }
  void Register(const std::string& machine, const std::string& path) {
    std::string name = store::Fold(machine);
    while (!name.empty() && name.front() == '\\') name.erase(0, 1);
    std::lock_guard lock(mutex_);
    if (path.empty()) {
      stores_.erase(name);
    } else {
      stores_[name] = std::make_shared<RegistryStore>(path);
    }
  }
  std::shared_ptr<RegistryStore> Find(std::string_view machine) {
    std::lock_guard lock(mutex_);
    auto it = stores_.find(store::Fold(machine));
    return it == stores_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<RegistryStore>> stores_;
};

// Whether a handle is one of the predefined roots (HKEY_CLASSES_ROOT to HKEY_DYN_DATA).
bool IsPredefined(RegHandle handle);

// The fixed key a predefined root stands for, 0 for the predefined handles the store does not have.
std::int64_t RootKeyId(RegHandle handle);

}  // namespace cregistry::store
