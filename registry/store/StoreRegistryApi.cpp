// The registry calls over the registry store: handles, predefined roots, paths, access rights, remote
// machines and the expansion of environment references.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "registry/RegistryApi.h"
#include "registry/Utf8.h"
#include "registry/TransactionalApi.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Store.h"

extern char** environ;

namespace cregistry {

namespace {

using namespace win32;
using store::KeyRef;
using store::RegistryStore;

constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kReadControl = 0x00020000;
constexpr std::uint32_t kKeyRead = kReadControl | kKeyQueryValue | kKeyEnumerateSubKeys | kKeyNotify;
constexpr std::uint32_t kKeyWrite = kReadControl | kKeySetValue | kKeyCreateSubKey;
constexpr std::uint32_t kKeyAllAccess = 0x000F003F;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kMaximumAllowed = 0x02000000;

constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;

// The rights a handle opened with this access mask has: generic rights map to the key's own.
std::uint32_t GrantedAccess(std::uint32_t mask) {
  std::uint32_t granted = mask & 0x00FFFFFF;
  if (mask & (kGenericRead | kGenericExecute)) granted |= kKeyRead;
  if (mask & kGenericWrite) granted |= kKeyWrite;
  if (mask & (kGenericAll | kMaximumAllowed)) granted |= kKeyAllAccess;
  return granted;
}

// Splits a sub-key path into its components. Empty components (a doubled or trailing "\") are skipped;
// a leading "\" is a bad path name; a component longer than 255 characters is refused.
long SplitPath(const char* subKey, std::vector<std::string_view>& parts) {
  parts.clear();
  if (subKey == nullptr) return kSuccess;
  std::string_view path(subKey);
  if (!path.empty() && path.front() == '\\') return kBadPathname;
  while (!path.empty()) {
    std::size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (utf8::Chars(part) > kMaxKeyNameChars) return kInvalidParameter;
      parts.push_back(part);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return kSuccess;
}

const char* NameOrEmpty(const char* name) { return name == nullptr ? "" : name; }

struct HandleEntry {
  std::shared_ptr<RegistryStore> store;
  KeyRef key;
  std::uint32_t access = 0;
};
using EntryPtr = std::shared_ptr<const HandleEntry>;

// Every open key handle of the process, whichever store it belongs to: handle values are unique across
// stores, and a handle keeps its store open.
class HandleTable {
 public:
  static HandleTable& Instance() {
    static HandleTable table;
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
    static MachineTable table;
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

bool IsPredefined(RegHandle handle) {
  return handle >= RootHandle(static_cast<std::int32_t>(0x80000000u)) &&
         handle <= RootHandle(static_cast<std::int32_t>(0x80000006u));
}

// The fixed key a predefined root stands for, 0 for the predefined handles the store does not have.
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

const RegHandle kClassesRoot = RootHandle(static_cast<std::int32_t>(0x80000000u));

class StoreRegistryApi final : public RegistryApi, public TransactionalApi {
 public:
  explicit StoreRegistryApi(std::shared_ptr<RegistryStore> store) : store_(std::move(store)) {
    for (int i = 0; i < 7; ++i) {
      std::int64_t id = RootKeyId(RootHandle(static_cast<std::int32_t>(0x80000000u + i)));
      if (id != 0) roots_[i] = std::make_shared<HandleEntry>(HandleEntry{store_, store::FixedKey(id), kKeyAllAccess});
    }
  }

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    out = 0;
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    // As on Windows, HKEY_CLASSES_ROOT takes a path that begins with "\".
    if (parent == kClassesRoot && subKey != nullptr && subKey[0] == '\\') ++subKey;
    std::vector<std::string_view> parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    // Opening a predefined root itself answers the root's own handle.
    if (parts.empty() && IsPredefined(parent) && (subKey == nullptr || subKey[0] == '\0')) {
      out = parent;
      return kSuccess;
    }
    KeyRef key;
    if (long rc = entry->store->OpenKey(entry->key, parts, key)) return rc;
    out = HandleTable::Instance().Add(
        std::make_shared<HandleEntry>(HandleEntry{entry->store, std::move(key), GrantedAccess(access)}));
    return kSuccess;
  }

  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    out = 0;
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    std::vector<std::string_view> parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    KeyRef key;
    if (long rc = entry->store->CreateKey(entry->key, parts, key)) return rc;
    out = HandleTable::Instance().Add(
        std::make_shared<HandleEntry>(HandleEntry{entry->store, std::move(key), GrantedAccess(access)}));
    return kSuccess;
  }

  long CloseKey(RegHandle key) override {
    if (IsPredefined(key)) return kSuccess;
    return HandleTable::Instance().Remove(key) ? kSuccess : kInvalidHandle;
  }

  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    if (data != nullptr && size == nullptr) return kInvalidParameter;
    // A null handle is refused first, then an over-long name, then an unknown handle or missing rights
    // (the order in which Wine answers).
    if (key == 0) return kInvalidHandle;
    std::string_view valueName = NameOrEmpty(name);
    if (utf8::Chars(valueName) > kMaxValueNameChars) return kFileNotFound;
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyQueryValue, entry)) return rc;
    return entry->store->QueryValue(entry->key.id, valueName, type, data, size);
  }

  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    if (key == 0) return kInvalidHandle;
    std::string_view valueName = NameOrEmpty(name);
    if (utf8::Chars(valueName) > kMaxValueNameChars) return kInvalidParameter;
    EntryPtr entry;
    if (long rc = Resolve(key, kKeySetValue, entry)) return rc;
    if (data == nullptr && size != 0) return kNoAccess;
    return entry->store->SetValue(entry->key.id, valueName, type, data, size);
  }

  long DeleteKey(RegHandle parent, const char* subKey) override {
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    std::vector<std::string_view> parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    return entry->store->DeleteKey(entry->key, parts);
  }

  long DeleteValue(RegHandle key, const char* name) override {
    if (key == 0) return kInvalidHandle;
    std::string_view valueName = NameOrEmpty(name);
    if (utf8::Chars(valueName) > kMaxValueNameChars) return kFileNotFound;
    EntryPtr entry;
    if (long rc = Resolve(key, kKeySetValue, entry)) return rc;
    return entry->store->DeleteValue(entry->key.id, valueName);
  }

  long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) override {
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyQueryValue, entry)) return rc;
    return entry->store->QueryInfoKey(entry->key.id, maxValueNameLen);
  }

  long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) override {
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyQueryValue, entry)) return rc;
    if (name == nullptr) return kInvalidParameter;
    return entry->store->EnumValue(entry->key.id, index, name, nameLen);
  }

  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override {
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyEnumerateSubKeys, entry)) return rc;
    if (name == nullptr && nameSize != 0) return kInvalidParameter;
    return entry->store->EnumKey(entry->key.id, index, name, nameSize);
  }

  long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) override {
    out = 0;
    if (machine == nullptr || machine[0] == '\0') {
      // The local computer: the root itself, as RegOpenKey(root, NULL) answers it.
      out = root;
      return kSuccess;
    }
    std::string_view name(machine);
    while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
    std::shared_ptr<RegistryStore> remote = MachineTable::Instance().Find(name);
    if (!remote) return kBadNetPath;
    // A remote registry offers only these two roots.
    std::int64_t id = RootKeyId(root);
    if (id != store::kMachineKey && id != store::kUsersKey) return kInvalidHandle;
    out = HandleTable::Instance().Add(
        std::make_shared<HandleEntry>(HandleEntry{std::move(remote), store::FixedKey(id), kKeyAllAccess}));
    return kSuccess;
  }

  long BeginTransaction() override { return store_->BeginTransaction(); }

  long EndTransaction(bool commit) override {
    return store_->EndTransaction(
        commit, [&](std::int64_t firstNewKey) { HandleTable::Instance().Orphan(store_.get(), firstNewKey); });
  }

  long BeginSnapshot() override { return store_->BeginSnapshot(); }
  void EndSnapshot() override { store_->EndSnapshot(); }

  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override {
    if (src == nullptr) return 0;
    std::string expanded;
    std::string_view text(src);
    while (!text.empty()) {
      std::size_t percent = text.find('%');
      expanded.append(text.substr(0, percent));
      if (percent == std::string_view::npos) break;
      text.remove_prefix(percent + 1);
      std::size_t close = text.find('%');
      const char* value = close == std::string_view::npos ? nullptr : LookUp(text.substr(0, close));
      if (value != nullptr) {
        expanded.append(value);
        text.remove_prefix(close + 1);
      } else {
        // Not a reference: the "%" stays, and the text after it is scanned again (its closing "%" may
        // open the next reference).
        expanded.push_back('%');
      }
    }
    auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
    if (dst != nullptr && size > 0) {
      std::uint32_t n = std::min(needed, size) - 1;
      std::memcpy(dst, expanded.data(), n);
      dst[n] = '\0';
    }
    return needed;
  }

 private:
  // A path is checked only after its parent: a deleted parent answers kKeyDeleted first.
  static bool ParentDeleted(const HandleEntry& entry) {
    KeyRef same;
    return entry.store->OpenKey(entry.key, {}, same) == kKeyDeleted;
  }

  // The entry of a handle, checking that it grants the rights asked.
  long Resolve(RegHandle handle, std::uint32_t rights, EntryPtr& entry) {
    if (IsPredefined(handle)) {
      entry = roots_[static_cast<std::uint32_t>(handle) - 0x80000000u];
      if (!entry) return kInvalidHandle;
    } else {
      entry = HandleTable::Instance().Find(handle);
      if (!entry) return kInvalidHandle;
    }
    return Rights(*entry, rights);
  }

  static long Rights(const HandleEntry& entry, std::uint32_t rights) {
    return (entry.access & rights) == rights ? kSuccess : kAccessDenied;
  }

  // An environment variable's value; names compare without regard to case, an exact match first.
  static const char* LookUp(std::string_view name) {
    if (name.empty()) return nullptr;
    const char* folded = nullptr;
    for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
      std::string_view entry(*env);
      std::size_t eq = entry.find('=');
      if (eq == std::string_view::npos || eq != name.size()) continue;
      std::string_view key = entry.substr(0, eq);
      if (key == name) return *env + eq + 1;
      if (folded == nullptr && store::Fold(key) == store::Fold(name)) folded = *env + eq + 1;
    }
    return folded;
  }

  std::shared_ptr<RegistryStore> store_;
  EntryPtr roots_[7];
};

}  // namespace

std::string DefaultStorePath() {
  const char* explicitPath = std::getenv("CREGISTRY_STORE");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  std::string data;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    data = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeDir = home != nullptr && home[0] != '\0' ? home : "";
    if (homeDir.empty()) {
      if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) homeDir = pw->pw_dir;
    }
    data = homeDir + "/.local/share";
  }
  return data + "/cregistry/registry.db";
}

std::shared_ptr<RegistryApi> OpenRegistryStore(const std::string& path) {
  return std::make_shared<StoreRegistryApi>(std::make_shared<RegistryStore>(path));
}

void RegisterMachineStore(const std::string& machine, const std::string& path) {
  MachineTable::Instance().Register(machine, path);
}

std::shared_ptr<RegistryApi> DefaultRegistryApi() {
  static const std::shared_ptr<RegistryApi> api = OpenRegistryStore(DefaultStorePath());
  return api;
}

}  // namespace cregistry
