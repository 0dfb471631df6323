// The registry store's operations: the registry calls on keys and values, as the seam's store side
// answers them (StoreRegistryApi.cpp turns handles and paths into the key references used here).
#include "registry/store/RegistryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include <cregistry/RegistryApi.h>
#include <cregistry/Store.h>
#include "registry/RegistryModel.h"
#include "registry/store/Connection.h"
#include "registry/store/ReadView.h"
#include "registry/store/Schema.h"
#include "registry/store/Sqlite.h"
#include "registry/store/Transactions.h"

namespace cregistry::store {

using namespace cregistry::win32;

using model::IsStringType;

KeyRef FixedKey(std::int64_t id) {
  switch (id) {
    case kMachineKey:
      return {id, "HKEY_LOCAL_MACHINE"};
    case kUserKey:
      return {id, "HKEY_CURRENT_USER"};
    case kUsersKey:
      return {id, "HKEY_USERS"};
    case kConfigKey:
      return {id, "HKEY_CURRENT_CONFIG"};
    case kSoftwareKey:
      return {id, "HKEY_LOCAL_MACHINE\\SOFTWARE"};
    case kClassesKey:
      return {id, "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES"};
    default:
      return {};
  }
}

ReadView& RegistryStore::ViewFor(Connection& c, Reads reads) {
  if (inSnapshot_) return *snapshotView_;
  if (reads == Reads::kLookUps && !inTransaction_ && c.CacheUsable()) return *cachedView_;
  return *databaseView_;
}

long RegistryStore::OpenKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  auto lock = Enter();
  return Read([&](Connection& c) -> long {
    if (path.empty()) {
      long rc = c.KeyState(parent.id);
      if (rc == kSuccess) out = parent;
      return rc;
    }
    ReadView& view = ViewFor(c, Reads::kLookUps);
    if (long rc = c.CheckSchema()) return rc;
    std::string fpath = parent.fpath;
    for (std::string_view part : path) {
      fpath += '\\';
      fpath += c.Fold(part);
    }
    ReadCache::CachedKey answer{kSuccess, 0};
    if (long rc = view.FindKey(c, parent.id, fpath, answer)) return rc;
    if (answer.rc != kSuccess) return answer.rc;
    out.id = answer.id;
    out.fpath = std::move(fpath);
    return kSuccess;
  });
}

long RegistryStore::CreateKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  // A key that exists already needs no write (and no store file).
  long rc = OpenKey(parent, path, out);
  if (rc != kFileNotFound) return rc;
  auto lock = Enter();
  // Inside a transaction no other connection writes: OpenKey's answer (the parent exists, the key does
  // not) still holds, and is not looked up again.
  const bool opened = inTransaction_;
  // The folded path of each component, and the deepest one that exists (next: the first to create). A
  // key exists only with all its ancestors (a key with sub-keys is never deleted), so it is looked for
  // from the end: a new key below existing ones costs two look-ups however deep it is.
  std::vector<std::string> fpaths(path.size());
  KeyRef cur = parent;
  std::size_t next = path.size();
  const auto findDeepest = [&](Connection& c) -> long {
    for (std::size_t i = 0; i < path.size(); ++i) {
      fpaths[i] = (i == 0 ? parent.fpath : fpaths[i - 1]) + '\\';
      fpaths[i] += c.Fold(path[i]);
    }
    for (; next > 0; --next) {
      if (opened && next == path.size()) continue;
      std::int64_t id = 0;
      if (long frc = c.FindPath(fpaths[next - 1], id)) return frc;
      if (id != 0) {
        cur = {id, fpaths[next - 1]};
        break;
      }
    }
    return kSuccess;
  };
  // In a transaction the look-ups come first, so that a single new key (one insert, atomic by itself)
  // needs no savepoint.
  Changes changes = Changes::kSeveral;
  if (opened && !inSnapshot_ && transactionFailure_ == kSuccess) {
    if (long frc = findDeepest(*file_)) return TransactionStep(*file_, frc);
    if (path.size() - next == 1) changes = Changes::kOne;
  }
  rc = Write([&](Connection& c) -> long {
    if (!opened) {
      if (long state = c.KeyState(parent.id)) return state;
      if (long frc = findDeepest(c)) return frc;
    }
    for (; next < path.size(); ++next) {
      StatementUse ins(c[kInsertKey]);
      sqlite3_bind_int64(ins.get(), 1, cur.id);
      BindText(ins.get(), 2, path[next]);
      BindText(ins.get(), 3, fpaths[next]);
      int src = sqlite3_step(ins.get());
      if (src != SQLITE_DONE) return FromSqlite(src);
      cur.id = sqlite3_last_insert_rowid(c.db.get());
      cur.fpath = std::move(fpaths[next]);
      if (inTransaction_ && transactionFirstKey_ == 0) transactionFirstKey_ = cur.id;
    }
    out = std::move(cur);
    return kSuccess;
  }, [](Connection& c) { c.keys.clear(); }, changes);
  if (rc == kSuccess && inTransaction_) transactionKnownKey_ = out.id;
  return rc;
}

long RegistryStore::DeleteKey(const KeyRef& parent, const std::vector<std::string_view>& path) {
  KeyRef target;
  long rc = OpenKey(parent, path, target);
  if (rc != kSuccess) return rc;
  if (target.id <= kClassesKey) return kAccessDenied;  // a root, or the key HKEY_CLASSES_ROOT is
  auto lock = Enter();
  transactionKnownKey_ = 0;
  return Write([&](Connection& c) -> long {
    if (long state = c.KeyState(target.id)) {
      return state == kKeyDeleted && !path.empty() ? kFileNotFound : state;
    }
    {
      StatementUse q(c[kHasChildren]);
      sqlite3_bind_int64(q.get(), 1, target.id);
      int src = sqlite3_step(q.get());
      if (src == SQLITE_ROW) return kAccessDenied;
      if (src != SQLITE_DONE) return FromSqlite(src);
    }
    for (Statement s : {kDeleteKeyValues, kDeleteKeyRow}) {
      StatementUse q(c[s]);
      sqlite3_bind_int64(q.get(), 1, target.id);
      int src = sqlite3_step(q.get());
      if (src != SQLITE_DONE) return FromSqlite(src);
    }
    return kSuccess;
  }, [](Connection& c) { c.DropCache(); }, Changes::kSeveral);
}

long RegistryStore::QueryValue(std::int64_t key, std::string_view name, std::uint32_t* type,
                               std::uint8_t* data, std::uint32_t* size) {
  auto lock = Enter();
  const ReadCache::CachedValue* value = nullptr;
  long rc = Read([&](Connection& c) -> long {
    ReadView& view = ViewFor(c, Reads::kLookUps);
    if (long crc = c.CheckSchema()) return crc;
    return view.FindValue(c, key, c.Fold(name), value);
  });
  if (rc != kSuccess) return rc;
  if (value->rc != kSuccess) return value->rc;
  auto length = static_cast<std::uint32_t>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (data == nullptr) {
    if (size != nullptr) *size = length;
    return kSuccess;
  }
  if (*size < length) {
    *size = length;
    return kMoreData;
  }
  if (length > 0) std::memcpy(data, value->data.data(), length);
  // As Windows does for the text types: data not ending in NUL gets one after it when the buffer has
  // room (not counted in the size answered).
  if (IsStringType(value->type) && length > 0 && data[length - 1] != 0 && *size > length) data[length] = 0;
  *size = length;
  return kSuccess;
}

long RegistryStore::SetValue(std::int64_t key, std::string_view name, std::uint32_t type,
                             const std::uint8_t* data, std::uint32_t size) {
  auto lock = Enter();
  std::string fname;  // folded by the rule of the file, once the write holds it
  static const std::uint8_t kNoData = 0;
  if (size == 0) data = &kNoData;  // a zero-length blob, not NULL
  return Write([&](Connection& c) -> long {
    fname = c.Fold(name);
    // Data the database cannot hold in one value (SQLite binds sizes as int, up to its length limit).
    if (size > static_cast<std::uint32_t>(sqlite3_limit(c.db.get(), SQLITE_LIMIT_LENGTH, -1))) return kInvalidParameter;
    // Most single writes replace a value (which implies that its key exists): an update tries that
    // first. A transaction mostly fills keys anew, where the upsert alone is cheaper.
    if (!inTransaction_) {
      StatementUse u(c[kUpdateValue]);
      sqlite3_bind_int64(u.get(), 1, key);
      BindText(u.get(), 2, fname);
      sqlite3_bind_int64(u.get(), 3, type);
      sqlite3_bind_blob(u.get(), 4, data, static_cast<int>(size), SQLITE_STATIC);
      int rc = sqlite3_step(u.get());
      if (rc != SQLITE_DONE) return FromSqlite(rc);
      if (sqlite3_changes(c.db.get()) != 0) return kSuccess;
    }
    // (Any update above changed nothing: this is the one statement of the write that changes anything.)
    const bool known = inTransaction_ && key == transactionKnownKey_;
    StatementUse q(c[known ? kInsertValue : kUpsertValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, name);
    BindText(q.get(), 3, fname);
    sqlite3_bind_int64(q.get(), 4, type);
    sqlite3_bind_blob(q.get(), 5, data, static_cast<int>(size), SQLITE_STATIC);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_DONE) return FromSqlite(rc);
    if (sqlite3_changes(c.db.get()) == 0) return kKeyDeleted;
    if (inTransaction_) transactionKnownKey_ = key;
    return kSuccess;
  }, [&](Connection& c) {
    auto& cached = c.values[c.CacheKey(key, fname)];
    cached.rc = kSuccess;
    cached.type = type;
    cached.data.assign(reinterpret_cast<const char*>(data), size);
  }, Changes::kOne);
}

long RegistryStore::DeleteValue(std::int64_t key, std::string_view name) {
  // A value that is not there needs no write (and no store file).
  std::uint32_t size = 0;
  long rc = QueryValue(key, name, nullptr, nullptr, &size);
  if (rc != kSuccess) return rc;
  auto lock = Enter();
  std::string fname;
  return Write([&](Connection& c) -> long {
    fname = c.Fold(name);
    StatementUse q(c[kDeleteValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, fname);
    int src = sqlite3_step(q.get());
    if (src != SQLITE_DONE) return FromSqlite(src);
    if (sqlite3_changes(c.db.get()) != 0) return kSuccess;
    long state = c.KeyState(key);
    return state == kSuccess ? kFileNotFound : state;
  }, [&](Connection& c) { c.values[c.CacheKey(key, fname)] = {kFileNotFound, 0, {}}; }, Changes::kOne);
}

long RegistryStore::QueryInfoKey(std::int64_t key, std::uint32_t& maxValueNameLen) {
  auto lock = Enter();
  return Read([&](Connection& c) { return ViewFor(c, Reads::kListings).LongestValueName(c, key, maxValueNameLen); });
}

long RegistryStore::EnumValue(std::int64_t key, std::uint32_t index, char* name, std::uint32_t& nameLen) {
  auto lock = Enter();
  std::string_view found;
  if (long rc = Read([&](Connection& c) { return ViewFor(c, Reads::kListings).ValueName(c, key, index, found); })) {
    return rc;
  }
  const auto length = static_cast<std::uint32_t>(found.size());
  if (length >= nameLen) {
    // Too small: as Windows does, the buffer gets as much of the name as fits, NUL-terminated.
    if (nameLen > 0) {
      std::memcpy(name, found.data(), nameLen - 1);
      name[nameLen - 1] = '\0';
    }
    return kMoreData;
  }
  std::memcpy(name, found.data(), length);
  name[length] = '\0';
  nameLen = length;
  return kSuccess;
}

long RegistryStore::EnumKey(std::int64_t key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  auto lock = Enter();
  std::string_view found;
  if (long rc = Read([&](Connection& c) { return ViewFor(c, Reads::kListings).SubKeyName(c, key, index, found); })) {
    return rc;
  }
  if (found.size() >= nameSize) return kMoreData;
  std::memcpy(name, found.data(), found.size());
  name[found.size()] = '\0';
  return kSuccess;
}

}  // namespace cregistry::store
