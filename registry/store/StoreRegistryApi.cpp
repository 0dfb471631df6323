// The registry calls over the registry store, the routing of each call to its store, and the expansion
// of environment references. The handle table, access rights, predefined roots and paths: Handles.h.
//
// One connection (StoreRegistryApi) works on two stores, as Windows keeps its hives apart: the user's
// (HKEY_CURRENT_USER) and the machine's (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG), or on one
// store that holds every root. A handle names the store of its key, so every call goes to the store of
// the handle it is given; HKEY_CLASSES_ROOT's handles go through the merged view of both (ClassesRoot.h).
//
// Transactions and snapshots over two stores. Each store file commits on its own: SQLite makes a
// transaction over attached files atomic only with a rollback journal, never in WAL mode, which the
// stores need so that readers never wait. So a transaction of a connection on two stores writes to one
// of them: it starts in the store of its first write (its calls before that read what is committed), and
// a write to the other store is refused (kNotSameDevice, with a line on standard error) and takes the
// whole transaction back when it ends. A connection on one store starts the transaction there at once,
// as before. A snapshot holds a read transaction on each store from its start.
// While one thread runs a transaction or snapshot, the calls of other threads wait at the connection
// (not only at the store they use: two threads each holding one store and waiting for the other's
// would never end).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <cregistry/RegistryApi.h>
#include <cregistry/Store.h>
#include "registry/RegistryModel.h"
#include "registry/Utf8.h"
#include "registry/TransactionalApi.h"
#include "registry/hive/LoadedHives.h"
#include "registry/store/ClassesRoot.h"
#include "registry/store/Handles.h"
#include "registry/store/Wow64.h"
#include "registry/store/RegistryStore.h"

extern char** environ;

namespace cregistry {

namespace {

using namespace win32;
using store::ClassesKey;
using store::EntryPtr;
using store::GrantedAccess;
using store::HandleEntry;
using store::HandleTable;
using store::IsPredefined;
using store::KeyRef;
using store::MachineTable;
using store::NameOrEmpty;
using store::RegistryStore;
using store::RootKeyId;
using store::SplitPath;
using model::kMaxValueNameChars;

const RegHandle kClassesRoot = RootHandle(static_cast<std::int32_t>(0x80000000u));

using Parts = std::vector<std::string_view>;

Parts View(const std::vector<std::string>& path) { return Parts(path.begin(), path.end()); }

class StoreRegistryApi final : public RegistryApi, public TransactionalApi {
 public:
  // user holds HKEY_CURRENT_USER; machine the other roots (the same store for a single file).
  StoreRegistryApi(std::shared_ptr<RegistryStore> user, std::shared_ptr<RegistryStore> machine)
      : user_(std::move(user)), machine_(std::move(machine)), classes_(*user_, *machine_) {
    for (std::uint32_t i = 0; i < 7; ++i) {
      const RegHandle root = RootHandle(static_cast<std::int32_t>(0x80000000u + i));
      const std::int64_t id = RootKeyId(root);
      if (id == 0) continue;
      auto entry = std::make_shared<HandleEntry>(
          HandleEntry{id == store::kUserKey ? user_ : machine_, store::FixedKey(id), kKeyAllAccess, nullptr});
      if (root == kClassesRoot) entry->classes = std::make_shared<ClassesKey>(std::vector<std::string>{});
      roots_[i] = std::move(entry);
    }
  }

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    out = 0;
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    // As on Windows, HKEY_CLASSES_ROOT takes a path that begins with "\".
    if (parent == kClassesRoot && subKey != nullptr && subKey[0] == '\\') ++subKey;
    Parts parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    if ((access & kKeyWow64_32Key) != 0 && !entry->classes) store::Redirect32(entry->key.id, parts);
    // Opening a predefined root itself answers the root's own handle.
    if (parts.empty() && IsPredefined(parent) && (subKey == nullptr || subKey[0] == '\0')) {
      out = parent;
      return kSuccess;
    }
    if (entry->classes) {
      std::vector<std::string> path = Joined(*entry->classes, parts);
      store::ClassesRoot::Place place;
      long rc = classes_.Find(View(path), place);
      if (rc == kFileNotFound && ParentDeleted(*entry)) rc = kKeyDeleted;
      if (rc != kSuccess) return rc;
      out = AddClasses(std::move(path), GrantedAccess(access));
      return kSuccess;
    }
    KeyRef key;
    if (long rc = entry->store->OpenKey(entry->key, parts, key)) return rc;
    out = Add(entry->store, std::move(key), GrantedAccess(access));
    return kSuccess;
  }

  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    out = 0;
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    Parts parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    if ((access & kKeyWow64_32Key) != 0 && !entry->classes) store::Redirect32(entry->key.id, parts);
    const std::uint32_t granted = GrantedAccess(access);
    if (entry->classes) {
      std::vector<std::string> path = Joined(*entry->classes, parts);
      store::ClassesRoot::Place place;
      Parts rest;
      long rc = classes_.PlaceForCreate(View(path), place, rest);
      if (rc == kSuccess) rc = BeforeWrite(*place.store, granted);
      KeyRef key;
      if (rc == kSuccess) rc = place.store->CreateKey(place.key, rest, key);
      if (rc != kSuccess) return rc;
      out = AddClasses(std::move(path), granted);
      return kSuccess;
    }
    if (long rc = BeforeWrite(*entry->store, granted)) return rc;
    KeyRef key;
    if (long rc = entry->store->CreateKey(entry->key, parts, key)) return rc;
    out = Add(entry->store, std::move(key), granted);
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
    if (utf8::MoreUnits16Than(valueName, kMaxValueNameChars)) return kFileNotFound;
    WaitForOthers();
    Target target;
    if (long rc = Find(key, kKeyQueryValue, target)) return rc;
    return target.store->QueryValue(target.key, valueName, type, data, size);
  }

  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    if (key == 0) return kInvalidHandle;
    std::string_view valueName = NameOrEmpty(name);
    if (utf8::MoreUnits16Than(valueName, kMaxValueNameChars)) return kInvalidParameter;
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(key, kKeySetValue, entry)) return rc;
    if (data == nullptr && size != 0) return kNoAccess;
    Target target;
    if (long rc = Place(*entry, target)) return rc;
    if (long rc = BeforeWrite(*target.store, 0)) return rc;
    return target.store->SetValue(target.key, valueName, type, data, size);
  }

  long DeleteKey(RegHandle parent, const char* subKey) override {
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(parent, 0, entry)) return rc;
    Parts parts;
    if (long rc = SplitPath(subKey, parts)) return ParentDeleted(*entry) ? kKeyDeleted : rc;
    if (entry->classes) {
      std::vector<std::string> path = Joined(*entry->classes, parts);
      if (path.empty()) return kAccessDenied;  // HKEY_CLASSES_ROOT itself
      store::ClassesRoot::Place place;
      long rc = classes_.Find(View(path), place);
      if (rc == kFileNotFound && ParentDeleted(*entry)) rc = kKeyDeleted;
      if (rc == kSuccess) rc = BeforeWrite(*place.store, 0);
      return rc != kSuccess ? rc : place.store->DeleteKey(place.key, {});
    }
    if (long rc = BeforeWrite(*entry->store, 0)) return rc;
    return entry->store->DeleteKey(entry->key, parts);
  }

  long DeleteValue(RegHandle key, const char* name) override {
    if (key == 0) return kInvalidHandle;
    std::string_view valueName = NameOrEmpty(name);
    if (utf8::MoreUnits16Than(valueName, kMaxValueNameChars)) return kFileNotFound;
    WaitForOthers();
    Target target;
    if (long rc = Find(key, kKeySetValue, target)) return rc;
    if (long rc = BeforeWrite(*target.store, 0)) return rc;
    return target.store->DeleteValue(target.key, valueName);
  }

  long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) override {
    WaitForOthers();
    Target target;
    if (long rc = Find(key, kKeyQueryValue, target)) return rc;
    return target.store->QueryInfoKey(target.key, maxValueNameLen);
  }

  long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) override {
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyQueryValue, entry)) return rc;
    if (name == nullptr) return kInvalidParameter;
    Target target;
    if (long rc = Place(*entry, target)) return rc;
    return target.store->EnumValue(target.key, index, name, nameLen);
  }

  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override {
    WaitForOthers();
    EntryPtr entry;
    if (long rc = Resolve(key, kKeyEnumerateSubKeys, entry)) return rc;
    if (name == nullptr && nameSize != 0) return kInvalidParameter;
    if (entry->classes) return classes_.EnumKey(*entry->classes, index, name, nameSize);
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
    out = Add(std::move(remote), store::FixedKey(id), kKeyAllAccess);
    return kSuccess;
  }

  long BeginTransaction() override {
    if (long rc = StartGroup(false)) return rc;
    if (Split()) return kSuccess;  // it starts in the store of its first write
    long rc = user_->BeginTransaction();
    if (rc != kSuccess) {
      EndGroup();
      return rc;
    }
    std::lock_guard lock(groupMutex_);
    group_.joined = user_.get();
    return kSuccess;
  }

  long EndTransaction(bool commit) override {
    RegistryStore* joined = nullptr;
    long failure = kSuccess;
    {
      std::lock_guard lock(groupMutex_);
      if (!group_.active || group_.snapshot || group_.owner != std::this_thread::get_id()) return kInvalidParameter;
      joined = group_.joined;
      failure = group_.failure;
    }
    long rc = kSuccess;
    if (joined != nullptr) {
      rc = joined->EndTransaction(commit && failure == kSuccess, [&](std::int64_t firstNewKey) {
        HandleTable::Instance().Orphan(joined, firstNewKey);
      });
    }
    EndGroup();
    if (!commit) return kSuccess;
    return failure != kSuccess ? failure : rc;
  }

  long BeginSnapshot() override {
    if (long rc = StartGroup(true)) return rc;
    long rc = user_->BeginSnapshot();
    if (rc == kSuccess && Split()) {
      rc = machine_->BeginSnapshot();
      if (rc != kSuccess) user_->EndSnapshot();
    }
    if (rc != kSuccess) EndGroup();
    return rc;
  }

  void EndSnapshot() override {
    {
      std::lock_guard lock(groupMutex_);
      if (!group_.active || !group_.snapshot || group_.owner != std::this_thread::get_id()) return;
    }
    if (Split()) machine_->EndSnapshot();
    user_->EndSnapshot();
    EndGroup();
  }

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
  bool Split() const { return user_ != machine_; }

  // A key as a call on values reaches it: the store and the key's id (for a key of HKEY_CLASSES_ROOT,
  // the one its path stands for now); the calls on values need no path.
  struct Target {
    RegistryStore* store = nullptr;
    std::int64_t key = 0;
  };
  long Place(const HandleEntry& entry, Target& out) {
    if (!entry.classes) {
      out = {entry.store.get(), entry.key.id};
      return kSuccess;
    }
    store::ClassesRoot::Place place;
    long rc = classes_.Find(View(entry.classes->path()), place);
    if (rc == kFileNotFound) return kKeyDeleted;  // gone from both parts
    out = {place.store, place.key.id};
    return rc;
  }
  long Find(RegHandle handle, std::uint32_t rights, Target& out) {
    EntryPtr entry;
    if (long rc = Resolve(handle, rights, entry)) return rc;
    return Place(*entry, out);
  }

  static std::vector<std::string> Joined(const ClassesKey& key, const Parts& parts) {
    std::vector<std::string> path = key.path();
    path.insert(path.end(), parts.begin(), parts.end());
    return path;
  }
  static RegHandle Add(std::shared_ptr<RegistryStore> store, KeyRef key, std::uint32_t access) {
    return HandleTable::Instance().Add(std::make_shared<HandleEntry>(HandleEntry{std::move(store), std::move(key), access, nullptr}));
  }
  RegHandle AddClasses(std::vector<std::string> path, std::uint32_t access) {
    return HandleTable::Instance().Add(std::make_shared<HandleEntry>(
        HandleEntry{machine_, store::FixedKey(store::kClassesKey), access, std::make_shared<ClassesKey>(std::move(path))}));
  }

  // A path is checked only after its parent: a deleted parent answers kKeyDeleted first.
  bool ParentDeleted(const HandleEntry& entry) {
    if (entry.classes) {
      store::ClassesRoot::Place place;
      return !entry.classes->path().empty() && classes_.Find(View(entry.classes->path()), place) != kSuccess;
    }
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

  // The transaction or snapshot that one thread runs on this connection.
  struct Group {
    bool active = false;
    bool snapshot = false;
    std::thread::id owner;
    RegistryStore* joined = nullptr;  // the store that the transaction writes, once it has written
    long failure = kSuccess;          // set when a write went to the other store: nothing is kept
  };

  // Waits while another thread runs a transaction or snapshot on this connection.
  void WaitForOthers() {
    std::unique_lock lock(groupMutex_);
    groupEnded_.wait(lock, [&] { return !group_.active || group_.owner == std::this_thread::get_id(); });
  }
  long StartGroup(bool snapshot) {
    std::unique_lock lock(groupMutex_);
    if (group_.active && group_.owner == std::this_thread::get_id()) return kInvalidParameter;  // nesting
    groupEnded_.wait(lock, [&] { return !group_.active; });
    group_ = Group{true, snapshot, std::this_thread::get_id(), nullptr, kSuccess};
    return kSuccess;
  }
  void EndGroup() {
    {
      std::lock_guard lock(groupMutex_);
      group_ = Group{};
    }
    groupEnded_.notify_all();
  }

  // Before a call that writes (or, asking the rights in rights, opens a key for writing) in store: the
  // transaction of this thread joins store when it writes nothing yet, and refuses a store other than
  // the one it writes; outside a transaction a key opened with rights to write needs a store that this
  // process may write, as on Windows a key whose security does not grant them.
  long BeforeWrite(RegistryStore& store, std::uint32_t rights) {
    // The lock is not held while a store works (it may wait for another connection's writer).
    std::unique_lock lock(groupMutex_);
    const bool mine = group_.active && group_.owner == std::this_thread::get_id();
    const bool local = &store == user_.get() || &store == machine_.get();
    if (!mine || group_.snapshot || !local) {
      lock.unlock();
      return (rights & store::kWriteRights) != 0 ? store.MayWrite() : kSuccess;
    }
    if (group_.failure != kSuccess || group_.joined == &store) return group_.failure;
    if (group_.joined == nullptr) {
      lock.unlock();
      if (long rc = store.BeginTransaction()) return rc;
      lock.lock();
      group_.joined = &store;
      return kSuccess;
    }
    group_.failure = kNotSameDevice;
    std::fprintf(stderr,
                 "cregistry: a transaction may change the user's registry store %s or the machine store %s, not "
                 "both: each file commits on its own, so the two could not land together; nothing of this "
                 "transaction is kept\n",
                 user_->path().c_str(), machine_->path().c_str());
    return group_.failure;
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

  std::shared_ptr<RegistryStore> user_;
  std::shared_ptr<RegistryStore> machine_;
  store::ClassesRoot classes_;
  EntryPtr roots_[7];
  std::mutex groupMutex_;
  std::condition_variable groupEnded_;
  Group group_;
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

std::string DefaultMachineStorePath() {
  const char* explicitPath = std::getenv("CREGISTRY_MACHINE_STORE");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  return "/var/lib/cregistry/machine.db";
}

std::shared_ptr<RegistryApi> OpenRegistryStore(const std::string& path) {
  auto store = std::make_shared<RegistryStore>(path);
  return hive::WithLoadedHives(std::make_shared<StoreRegistryApi>(store, store));
}

std::shared_ptr<RegistryApi> OpenRegistryStores(const std::string& userPath, const std::string& machinePath) {
  struct stat user, machine;
  if (userPath == machinePath || (stat(userPath.c_str(), &user) == 0 && stat(machinePath.c_str(), &machine) == 0 &&
                                  user.st_dev == machine.st_dev && user.st_ino == machine.st_ino)) {
    return OpenRegistryStore(userPath);
  }
  return hive::WithLoadedHives(
      std::make_shared<StoreRegistryApi>(std::make_shared<RegistryStore>(userPath),
                                         std::make_shared<RegistryStore>(machinePath, store::Readers::kEveryone)));
}

void RegisterMachineStore(const std::string& machine, const std::string& path) {
  MachineTable::Instance().Register(machine, path);
}

std::shared_ptr<RegistryApi> DefaultRegistryApi() {
  // Never destroyed: other threads may still use it while the process ends (Lifetime.cpp closes its stores).
  static const std::shared_ptr<RegistryApi>& api =
      *new std::shared_ptr<RegistryApi>(OpenRegistryStores(DefaultStorePath(), DefaultMachineStorePath()));
  return api;
}

}  // namespace cregistry
