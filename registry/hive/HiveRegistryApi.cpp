#include "registry/hive/HiveRegistryApi.h"

#include "registry/hive/HiveCalls.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "registry/RegistryModel.h"
#include "registry/Utf8.h"
#include "registry/hive/ValueText.h"
#include "registry/store/Handles.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::hive {

using namespace win32;

namespace {

// Handles of hives carry this bit, which neither the store's handles (small numbers) nor the predefined
// roots (0xFFFFFFFF8000000x) have; the numbers below it are never reused in a process.
constexpr RegHandle kHiveHandleBit = RegHandle{1} << 62;
std::atomic<RegHandle> nextHandle{1};

}  // namespace

std::shared_ptr<HiveRegistryApi> HiveRegistryApi::Open(const std::string& path, Access access, HiveError& error,
                                                       std::string* warning) {
  auto file = HiveFile::Open(path, access, error, warning);
  if (!file) return nullptr;
  return std::shared_ptr<HiveRegistryApi>(new HiveRegistryApi(std::move(file), access));
}

HiveRegistryApi::HiveRegistryApi(std::unique_ptr<HiveFile> file, Access access)
    : file_(std::move(file)), path_(file_->path()), access_(access) {}

HiveRegistryApi::~HiveRegistryApi() = default;

bool HiveRegistryApi::IsHiveHandle(RegHandle handle) {
  return (handle & kHiveHandleBit) != 0 && !store::IsPredefined(handle);
}

bool HiveRegistryApi::Owns(RegHandle handle) {
  if (!IsHiveHandle(handle)) return false;
  std::lock_guard lock(mutex_);
  return handles_.count(handle) != 0;
}

HiveError HiveRegistryApi::LastError() {
  std::lock_guard lock(mutex_);
  auto it = errors_.find(std::this_thread::get_id());
  return it == errors_.end() ? HiveError{} : it->second;
}

long HiveRegistryApi::Fail(long code, std::string message) {
  errors_[std::this_thread::get_id()] = HiveError{code, std::move(message)};
  return code;
}

void HiveRegistryApi::Changed() { listings_.clear(); }

long HiveRegistryApi::Reload() {
  HiveError error;
  auto file = HiveFile::Open(path_, access_, error);
  if (!file) return Fail(error.code, error.message);
  file_ = std::move(file);
  ++fileGeneration_;
  listings_.clear();
  pending_.clear();
  return kSuccess;
}

long HiveRegistryApi::RefreshIfReplaced() {
  if (group_ != Group::kNone || file_->SameFileAt(path_)) return kSuccess;
  return Reload();
}

// The node of handle's key, found again by its path when the file was read again since it was opened.
long HiveRegistryApi::Resolve(RegHandle handle, std::uint32_t rights, hive_node_h& node, const Entry** entryOut) {
  if (store::IsPredefined(handle)) {
    node = file_->Root();
    if (entryOut) *entryOut = nullptr;
    return kSuccess;
  }
  auto it = handles_.find(handle);
  if (it == handles_.end()) return kInvalidHandle;
  Entry& entry = it->second;
  if ((entry.rights & rights) != rights) return kAccessDenied;
  if (entry.node != 0 && entry.fileGeneration != fileGeneration_) {
    hive_node_h found = 0;
    entry.node = Walk(file_->Root(), entry.path, false, found, nullptr) == kSuccess ? found : 0;
    entry.fileGeneration = fileGeneration_;
  }
  if (entry.node == 0) return kKeyDeleted;
  node = entry.node;
  if (entryOut) *entryOut = &entry;
  return kSuccess;
}

HiveRegistryApi::Listing* HiveRegistryApi::Keys(hive_node_h node) {
  Listing& listing = listings_[node];
  if (!listing.keysRead) {
    Malloced<hive_node_h> children(hivex_node_children(file_->get(), node));
    if (!children) return nullptr;
    for (hive_node_h* c = children.get(); *c != 0; ++c) {
      Malloced<char> name(hivex_node_name(file_->get(), *c));
      if (!name) return nullptr;
      listing.keyIndex.emplace(store::Fold(name.get()), listing.keys.size());
      listing.keys.push_back(*c);
      listing.keyNames.emplace_back(name.get());
    }
    listing.keysRead = true;
  }
  return &listing;
}

HiveRegistryApi::Listing* HiveRegistryApi::Values(hive_node_h node) {
  Listing& listing = listings_[node];
  if (!listing.valuesRead) {
    Malloced<hive_value_h> values(hivex_node_values(file_->get(), node));
    if (!values) return nullptr;
    for (hive_value_h* v = values.get(); *v != 0; ++v) {
      Malloced<char> name(hivex_value_key(file_->get(), *v));
      if (!name) return nullptr;
      listing.valueIndex.emplace(store::Fold(name.get()), listing.values.size());
      listing.values.push_back(*v);
      listing.valueNames.emplace_back(name.get());
    }
    listing.valuesRead = true;
  }
  return &listing;
}

long HiveRegistryApi::Walk(hive_node_h from, const std::vector<std::string>& parts, bool create, hive_node_h& node,
                           std::vector<std::string>* names) {
  node = from;
  for (const std::string& part : parts) {
    Listing* listing = Keys(node);
    if (listing == nullptr) return Fail(HivexCode(errno), path_ + ": a key's sub-keys cannot be read");
    auto found = listing->keyIndex.find(store::Fold(part));
    if (found != listing->keyIndex.end()) {
      node = listing->keys[found->second];
      if (names) names->push_back(listing->keyNames[found->second]);
      continue;
    }
    if (!create) return kFileNotFound;
    const hive_node_h child = hivex_node_add_child(file_->get(), node, part.c_str());
    if (child == 0) return Fail(HivexCode(errno), path_ + ": cannot add the key " + part);
    Changed();
    node = child;
    if (names) names->push_back(part);
  }
  return kSuccess;
}

long HiveRegistryApi::Write(const std::function<long(bool& changed)>& change) {
  if (access_ != Access::kWrite || group_ == Group::kSnapshot) return kAccessDenied;
  HiveLock lock;
  if (group_ == Group::kNone) {
    HiveError error;
    if (long rc = HiveLock::Take(path_, lock, error)) return Fail(rc, error.message);
    if (!file_->SameFileAt(path_)) {
      if (long rc = Reload()) return rc;
    }
  }
  bool changed = false;
  long rc = change(changed);
  if (changed) Changed();
  // A change that failed may have left libhivex's image half done (a delete that fails part-way does):
  // what is in memory goes back to the file, at once or when the transaction is taken back.
  if (group_ == Group::kTransaction) {
    if (rc != kSuccess && changed) {
      Reload();  // the file is as the transaction found it: it holds the lock
      groupFailure_ = rc;
      groupChanged_ = false;
    } else {
      groupChanged_ = groupChanged_ || changed;
    }
    return rc;
  }
  if (rc != kSuccess) {
    if (changed) Reload();
    return rc;
  }
  if (changed) {
    HiveError error;
    long crc = Flush();
    if (crc == kSuccess) crc = file_->Commit(path_, Replace::kYes, error);
    if (crc != kSuccess) {
      Reload();  // what is in memory goes back to what the file holds
      return Fail(crc, error.message);
    }
  }
  return rc;
}

long HiveRegistryApi::Open(RegHandle parent, const char* subKey, std::uint32_t access, bool create, RegHandle& out) {
  std::vector<std::string_view> parts;
  if (long rc = store::SplitPath(subKey, parts)) return rc;
  if (store::IsPredefined(parent)) {
    if (long rc = RefreshIfReplaced()) return rc;
  }
  const Entry* parentEntry = nullptr;
  hive_node_h from = 0;
  if (long rc = Resolve(parent, 0, from, &parentEntry)) return rc;
  Entry entry;
  entry.rights = store::GrantedAccess(access);
  entry.fileGeneration = fileGeneration_;
  if (parentEntry) entry.path = parentEntry->path;
  const std::vector<std::string> wanted(parts.begin(), parts.end());
  long rc;
  if (!create) {
    rc = Walk(from, wanted, false, entry.node, &entry.path);
  } else {
    hive_node_h found = 0;
    std::vector<std::string> names = entry.path;
    rc = Walk(from, wanted, false, found, &names);
    if (rc == kSuccess) {
      entry.node = found;
      entry.path = std::move(names);
    } else if (rc == kFileNotFound) {
      // Written under the lock on the latest file: the parent is found again there.
      rc = Write([&](bool& changed) -> long {
        hive_node_h base = 0;
        if (long r = Resolve(parent, 0, base, &parentEntry)) return r;
        std::vector<std::string> path = parentEntry ? parentEntry->path : std::vector<std::string>{};
        long r = Walk(base, wanted, true, entry.node, &path);
        changed = true;
        entry.path = std::move(path);
        entry.fileGeneration = fileGeneration_;
        return r;
      });
    }
  }
  if (rc != kSuccess) return rc;
  out = kHiveHandleBit | nextHandle.fetch_add(1);
  ++opened_[entry.node];
  handles_.emplace(out, std::move(entry));
  return kSuccess;
}

long HiveRegistryApi::OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  Call call(*this);
  return Open(parent, subKey, access, false, out);
}

long HiveRegistryApi::CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  Call call(*this);
  return Open(parent, subKey, access, true, out);
}

long HiveRegistryApi::CloseKey(RegHandle key) {
  Call call(*this);
  if (store::IsPredefined(key)) return kSuccess;
  auto it = handles_.find(key);
  if (it == handles_.end()) return kInvalidHandle;
  // A key's listing is kept while a handle to it is open: a walk over a large hive holds those of the
  // keys on its path only.
  if (auto count = opened_.find(it->second.node); count != opened_.end() && --count->second == 0) {
    opened_.erase(count);
    listings_.erase(it->second.node);
  }
  handles_.erase(it);
  return kSuccess;
}

long HiveRegistryApi::DeleteKey(RegHandle parent, const char* subKey) {
  Call call(*this);
  std::vector<std::string_view> parts;
  if (long rc = store::SplitPath(subKey, parts)) return rc;
  if (parts.empty()) return kAccessDenied;  // a key deletes below its parent, never itself
  return Write([&](bool& changed) -> long {
    const Entry* parentEntry = nullptr;
    hive_node_h from = 0;
    if (long rc = Resolve(parent, 0, from, &parentEntry)) return rc;
    hive_node_h node = 0;
    std::vector<std::string> path = parentEntry ? parentEntry->path : std::vector<std::string>{};
    if (long rc = Walk(from, std::vector<std::string>(parts.begin(), parts.end()), false, node, &path)) return rc;
    if (hivex_node_nr_children(file_->get(), node) != 0) return kAccessDenied;
    changed = true;  // from here on, a failure may leave the image half changed
    if (long rc = Flush()) return rc;  // no table may outlive the cells it stands for
    if (hivex_node_delete_child(file_->get(), node) != 0) {
      return Fail(HivexCode(errno), path_ + ": cannot delete the key");
    }
    for (auto& [handle, entry] : handles_) {
      if (entry.path.size() >= path.size() &&
          std::equal(path.begin(), path.end(), entry.path.begin(),
                     [](const std::string& a, const std::string& b) { return store::Fold(a) == store::Fold(b); })) {
        entry.node = 0;
      }
    }
    return kSuccess;
  });
}

long HiveRegistryApi::EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  Call call(*this);
  hive_node_h node = 0;
  if (long rc = Resolve(key, kKeyEnumerateSubKeys, node)) return rc;
  Listing* listing = Keys(node);
  if (listing == nullptr) return Fail(HivexCode(errno), path_ + ": a key's sub-keys cannot be read");
  if (index >= listing->keys.size()) return kNoMoreItems;
  const std::string& found = listing->keyNames[index];
  if (found.size() + 1 > nameSize) return kMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return kSuccess;
}

long HiveRegistryApi::ConnectRegistry(const char*, RegHandle, RegHandle&) { return kBadNetPath; }

std::uint32_t HiveRegistryApi::ExpandEnvironment(const char* src, char* dst, std::uint32_t size) {
  return DefaultRegistryApi()->ExpandEnvironment(src, dst, size);
}

long HiveRegistryApi::BeginTransaction() {
  Call call(*this);
  if (group_ != Group::kNone) return kInvalidParameter;
  if (access_ == Access::kWrite) {
    HiveError error;
    if (long rc = HiveLock::Take(path_, groupLock_, error)) return Fail(rc, error.message);
    if (!file_->SameFileAt(path_)) {
      if (long rc = Reload()) {
        groupLock_ = HiveLock();
        return rc;
      }
    }
  }
  group_ = Group::kTransaction;
  groupThread_ = std::this_thread::get_id();
  groupChanged_ = false;
  groupFailure_ = kSuccess;
  return kSuccess;
}

long HiveRegistryApi::EndTransaction(bool commit) {
  long rc = kSuccess;
  {
    Call call(*this);
    if (group_ != Group::kTransaction) return kInvalidParameter;
    // A change that failed half-way took the transaction's changes back with it: nothing to commit.
    if (commit && groupFailure_ != kSuccess) rc = groupFailure_;
    if (groupChanged_) {
      if (commit && rc == kSuccess) rc = Flush();
      if (commit && rc == kSuccess) {
        HiveError error;
        rc = file_->Commit(path_, Replace::kYes, error);
        if (rc != kSuccess) Fail(rc, error.message);
      }
      if (!commit || rc != kSuccess) Reload();  // memory goes back to what the file holds
    }
    group_ = Group::kNone;
    groupLock_ = HiveLock();
  }
  idle_.notify_all();
  return rc;
}

long HiveRegistryApi::BeginSnapshot() {
  Call call(*this);
  if (group_ != Group::kNone) return kInvalidParameter;
  if (long rc = RefreshIfReplaced()) return rc;
  group_ = Group::kSnapshot;
  groupThread_ = std::this_thread::get_id();
  return kSuccess;
}

void HiveRegistryApi::EndSnapshot() {
  {
    Call call(*this);
    if (group_ == Group::kSnapshot) group_ = Group::kNone;
  }
  idle_.notify_all();
}

}  // namespace cregistry::hive
