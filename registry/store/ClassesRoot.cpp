// HKEY_CLASSES_ROOT's merged view (see ClassesRoot.h).
#include "registry/store/ClassesRoot.h"

#include <cstring>

#include <cregistry/RegistryApi.h>
#include "registry/RegistryModel.h"

namespace cregistry::store {

using namespace cregistry::win32;

using model::kKeyNameBytes;

long ClassesRoot::FindIn(bool userPart, const Path& path, Place& out) {
  RegistryStore& store = userPart ? user_ : machine_;
  Path full;
  full.reserve(path.size() + 2);
  if (userPart) full = {"Software", "Classes"};
  full.insert(full.end(), path.begin(), path.end());
  out.store = &store;
  long rc = store.OpenKey(FixedKey(userPart ? kUserKey : kClassesKey), full, out.key);
  return rc == kKeyDeleted ? kFileNotFound : rc;
}

long ClassesRoot::Find(const Path& path, Place& out) {
  long rc = FindIn(true, path, out);
  if (rc != kFileNotFound) return rc;
  return FindIn(false, path, out);
}

long ClassesRoot::PlaceForCreate(const Path& path, Place& parent, Path& rest) {
  // The number of leading components of path that each part has (the machine's part always has its
  // root; the user's part only once HKEY_CURRENT_USER\Software\Classes exists).
  std::size_t depth[2] = {0, 0};
  Place found[2];
  for (int part = 0; part < 2; ++part) {
    const bool userPart = part == 0;
    for (std::size_t d = path.size();; --d) {
      if (d == 0 && userPart) break;
      long rc = FindIn(userPart, Path(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(d)), found[part]);
      if (rc == kSuccess) {
        depth[part] = d;
        break;
      }
      if (rc != kFileNotFound) return rc;
      if (d == 0) return kKeyDeleted;  // the machine's root is always there: a failure of its store
    }
    if (userPart && depth[0] == path.size() && !path.empty()) break;  // the user's key exists: it is the one
  }
  const int chosen = depth[0] > 0 && depth[0] >= depth[1] ? 0 : 1;
  parent = found[chosen];
  rest.assign(path.begin() + static_cast<std::ptrdiff_t>(depth[chosen]), path.end());
  return kSuccess;
}

long ClassesRoot::EnumKey(ClassesKey& key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  Path path(key.path_.begin(), key.path_.end());
  Place user, machine;
  long urc = FindIn(true, path, user);
  if (urc != kSuccess && urc != kFileNotFound) return urc;
  long mrc = FindIn(false, path, machine);
  if (mrc != kSuccess && mrc != kFileNotFound) return mrc;
  if (urc != kSuccess && mrc != kSuccess) return kKeyDeleted;
  const std::int64_t userKey = urc == kSuccess ? user.key.id : 0;
  const std::int64_t machineKey = mrc == kSuccess ? machine.key.id : 0;

  std::lock_guard lock(key.mutex_);
  const bool sameKeys = key.userKey_ == userKey && key.machineKey_ == machineKey;
  if (!sameKeys || index + 1 < key.next_ || key.next_ == 0) {
    // A listing starts (over): the user's part whole, the machine's from its first sub-key.
    key.userNames_.clear();
    if (userKey != 0) {
      char buffer[kKeyNameBytes];
      for (std::uint32_t i = 0;; ++i) {
        long rc = user_.EnumKey(userKey, i, buffer, sizeof buffer);
        if (rc == kNoMoreItems) break;
        if (rc != kSuccess) return rc;
        key.userNames_.emplace_back(buffer);
      }
    }
    key.userKey_ = userKey;
    key.machineKey_ = machineKey;
    key.next_ = 0;
    key.userAt_ = 0;
    key.machineAt_ = 0;
    key.haveMachineHead_ = false;
    key.machineDone_ = machineKey == 0;
  }
  while (key.next_ <= index) {
    if (long rc = Advance(key)) return rc;
  }
  if (key.current_.size() >= nameSize) return kMoreData;
  std::memcpy(name, key.current_.data(), key.current_.size());
  name[key.current_.size()] = '\0';
  return kSuccess;
}

long ClassesRoot::Advance(ClassesKey& key) {
  if (!key.haveMachineHead_ && !key.machineDone_) {
    char buffer[kKeyNameBytes];
    long rc = machine_.EnumKey(key.machineKey_, key.machineAt_, buffer, sizeof buffer);
    if (rc == kNoMoreItems) {
      key.machineDone_ = true;
    } else if (rc != kSuccess) {
      return rc;
    } else {
      key.machineHead_ = buffer;
      key.haveMachineHead_ = true;
    }
  }
  const bool haveUser = key.userAt_ < key.userNames_.size();
  if (!haveUser && !key.haveMachineHead_) return kNoMoreItems;
  // Both parts list in the order of the folded names; the smaller goes first, and a name in both parts
  // once, as the user's part spells it.
  int order = !haveUser ? 1 : !key.haveMachineHead_ ? -1 : Fold(key.userNames_[key.userAt_]).compare(Fold(key.machineHead_));
  if (order <= 0) {
    key.current_ = key.userNames_[key.userAt_++];
  } else {
    key.current_ = std::move(key.machineHead_);
  }
  if (order >= 0) {
    key.haveMachineHead_ = false;
    ++key.machineAt_;
  }
  ++key.next_;
  return kSuccess;
}

}  // namespace cregistry::store
