// The registry store's operations: the registry calls on keys and values, as the seam's store side
// answers them (StoreRegistryApi.cpp turns handles and paths into the key references used here).
#include "registry/store/RegistryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "registry/RegistryApi.h"
#include "registry/store/Connection.h"
#include "registry/store/Schema.h"
#include "registry/store/Sqlite.h"
#include "registry/store/Store.h"
#include "registry/store/Transactions.h"

namespace cregistry::store {

using namespace cregistry::win32;

namespace {

bool IsStringType(std::uint32_t type) { return type == 1 || type == 2 || type == 7; }

}  // namespace

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


long RegistryStore::OpenKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  if (path.empty()) {
    long rc = c->KeyState(parent.id);
    if (rc == kSuccess) out = parent;
    return rc;
  }
  const bool cached = !inTransaction_ && !inSnapshot_ && c->CacheUsable();
  if (long rc = c->CheckSchema()) return rc;
  std::string fpath = parent.fpath;
  for (std::string_view part : path) {
    fpath += '\\';
    fpath += c->Fold(part);
  }
  Connection::CachedKey answer{kSuccess, 0};
  // Within a snapshot, a sub-key of a key whose sub-keys were listed is found in that list.
  auto listed = inSnapshot_ && path.size() == 1 ? snapshotKeys_.find(parent.id) : snapshotKeys_.end();
  if (listed != snapshotKeys_.end()) {
    const auto& subKeys = listed->second;
    auto at = std::lower_bound(subKeys.begin(), subKeys.end(), fpath,
                               [](const SnapshotKey& k, const std::string& p) { return k.fpath < p; });
    if (at != subKeys.end() && at->fpath == fpath) {
      answer.id = at->id;
    } else {
      answer.rc = kFileNotFound;
    }
  } else if (auto it = cached ? c->keys.find(c->CacheKey(parent.id, fpath)) : c->keys.end(); it != c->keys.end()) {
    answer = it->second;
  } else {
    StatementUse q((*c)[kFindChild]);
    sqlite3_bind_int64(q.get(), 1, parent.id);
    BindText(q.get(), 2, fpath);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    if (sqlite3_column_int(q.get(), 0) == 0) {
      answer.rc = kKeyDeleted;
    } else if (sqlite3_column_type(q.get(), 1) == SQLITE_NULL) {
      answer.rc = kFileNotFound;
    } else {
      answer.id = sqlite3_column_int64(q.get(), 1);
    }
    if (cached) c->keys.emplace(c->CacheKey(parent.id, fpath), answer);
  }
  if (answer.rc != kSuccess) return answer.rc;
  out.id = answer.id;
  out.fpath = std::move(fpath);
  return kSuccess;
}

long RegistryStore::CreateKey(const KeyRef& parent, const std::vector<std::string_view>& path, KeyRef& out) {
  // A key that exists already needs no write (and no store file).
  long rc = OpenKey(parent, path, out);
  if (rc != kFileNotFound) return rc;
  auto lock = Enter();
  // Inside a transaction no other connection writes: OpenKey's answer (the parent exists, the key does
  // not) still holds, and is not looked up again.
  const bool opened = inTransaction_;
  rc = Write([&](Connection& c) -> long {
    if (long state = opened ? kSuccess : c.KeyState(parent.id)) return state;
    // The folded path of each component. A key exists only with all its ancestors (a key with sub-keys
    // is never deleted), so the deepest one that exists is looked for from the end: a new key below
    // existing ones costs two look-ups however deep it is.
    std::vector<std::string> fpaths(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
      fpaths[i] = (i == 0 ? parent.fpath : fpaths[i - 1]) + '\\';
      fpaths[i] += c.Fold(path[i]);
    }
    KeyRef cur = parent;
    std::size_t next = path.size();
    for (; next > 0; --next) {
      if (opened && next == path.size()) continue;
      std::int64_t id = 0;
      if (long frc = c.FindPath(fpaths[next - 1], id)) return frc;
      if (id != 0) {
        cur = {id, fpaths[next - 1]};
        break;
      }
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
  }, [](Connection& c) { c.keys.clear(); }, Changes::kSeveral);
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

long RegistryStore::SnapshotValuesOf(Connection& c, std::int64_t key, const SnapshotValues*& out) {
  out = nullptr;
  SnapshotValues& s = snapshotValues_;
  if (s.key != key) {
    s.key = key;
    s.complete = false;
    s.count = 0;
    StatementUse q(c[kKeyValues]);
    sqlite3_bind_int64(q.get(), 1, key);
    std::size_t bytes = 0;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
      if (s.count == s.values.size()) s.values.emplace_back();
      SnapshotValue& v = s.values[s.count++];
      const auto text = [&](int column, std::string& to) {
        to.assign(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), column)),
                  static_cast<std::size_t>(sqlite3_column_bytes(q.get(), column)));
      };
      text(0, v.name);
      text(1, v.fname);
      v.type = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 2));
      const void* blob = sqlite3_column_blob(q.get(), 3);
      v.data.assign(static_cast<const char*>(blob), static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 3)));
      bytes += v.name.size() + v.fname.size() + v.data.size();
      if (bytes > kSnapshotValuesLimit) {
        s.values.clear();
        s.values.shrink_to_fit();
        s.count = 0;
        return kSuccess;  // this key is read value by value
      }
    }
    if (rc != SQLITE_DONE) {
      s.key = 0;
      return FromSqlite(rc);
    }
    s.keyState = s.count != 0 ? kSuccess : c.KeyState(key);
    if (s.keyState != kSuccess && s.keyState != kKeyDeleted) {
      s.key = 0;
      return s.keyState;
    }
    s.complete = true;
  }
  if (s.complete) out = &s;
  return kSuccess;
}

long RegistryStore::SnapshotSubKeysOf(Connection& c, std::int64_t parent, const std::vector<SnapshotKey>*& out) {
  static const std::vector<SnapshotKey> kNone;
  out = nullptr;
  if (auto it = snapshotKeys_.find(parent); it != snapshotKeys_.end()) {
    out = &it->second;
    return kSuccess;
  }
  std::vector<SnapshotKey> subKeys;
  StatementUse q(c[kSubKeys]);
  sqlite3_bind_int64(q.get(), 1, parent);
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    SnapshotKey& k = subKeys.emplace_back();
    k.name.assign(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)),
                  static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
    k.fpath.assign(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1)),
                   static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
    k.id = sqlite3_column_int64(q.get(), 2);
    snapshotKeysBytes_ += k.name.size() + k.fpath.size() + sizeof k;
  }
  if (rc != SQLITE_DONE) return FromSqlite(rc);
  if (subKeys.empty()) {
    // Whether the key itself exists; known already when its values were listed.
    const SnapshotValues& values = snapshotValues_;
    long state = values.complete && values.key == parent ? values.keyState : c.KeyState(parent);
    if (state == kSuccess) out = &kNone;
    return state;
  }
  if (snapshotKeysBytes_ > kSnapshotKeysLimit) {  // start over
    snapshotKeys_.clear();
    snapshotKeysBytes_ = 0;
  }
  out = &snapshotKeys_.emplace(parent, std::move(subKeys)).first->second;
  return kSuccess;
}

long RegistryStore::QueryValue(std::int64_t key, std::string_view name, std::uint32_t* type,
                               std::uint8_t* data, std::uint32_t* size) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  const bool cached = !inTransaction_ && !inSnapshot_ && c->CacheUsable();
  if (long rc = c->CheckSchema()) return rc;
  std::string fname = c->Fold(name);
  const Connection::CachedValue* value = nullptr;
  Connection::CachedValue fetched;
  const SnapshotValues* listed = nullptr;
  if (inSnapshot_) {
    if (long rc = SnapshotValuesOf(*c, key, listed)) return rc;
  }
  if (listed != nullptr) {
    fetched.rc = listed->keyState == kSuccess ? kFileNotFound : listed->keyState;
    for (std::size_t i = 0; i < listed->count; ++i) {
      const SnapshotValue& v = listed->values[i];
      if (v.fname == fname) {
        fetched.rc = kSuccess;
        fetched.type = v.type;
        fetched.data = v.data;
        break;
      }
    }
    value = &fetched;
  } else if (auto it = cached ? c->values.find(c->CacheKey(key, fname)) : c->values.end(); it != c->values.end()) {
    value = &it->second;
  } else {
    StatementUse q((*c)[kGetValue]);
    sqlite3_bind_int64(q.get(), 1, key);
    BindText(q.get(), 2, fname);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE) {
      fetched.rc = c->KeyState(key);
      if (fetched.rc == kSuccess) fetched.rc = kFileNotFound;
      if (fetched.rc != kFileNotFound && fetched.rc != kKeyDeleted) return fetched.rc;
    } else if (rc == SQLITE_ROW) {
      fetched.rc = kSuccess;
      fetched.type = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 0));
      const void* bytes = sqlite3_column_blob(q.get(), 1);
      fetched.data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
    } else {
      return FromSqlite(rc);
    }
    if (cached) {
      value = &c->values.emplace(c->CacheKey(key, fname), std::move(fetched)).first->second;
    } else {
      value = &fetched;
    }
  }
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
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  const SnapshotValues* listed = nullptr;
  if (inSnapshot_) {
    if (long rc = SnapshotValuesOf(*c, key, listed)) return rc;
  }
  if (listed != nullptr) {
    if (listed->keyState != kSuccess) return listed->keyState;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < listed->count; ++i) longest = std::max(longest, listed->values[i].name.size());
    maxValueNameLen = static_cast<std::uint32_t>(longest);
    return kSuccess;
  }
  StatementUse q((*c)[kMaxNameLen]);
  sqlite3_bind_int64(q.get(), 1, key);
  int rc = sqlite3_step(q.get());
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  if (sqlite3_column_int(q.get(), 0) == 0) return kKeyDeleted;
  maxValueNameLen = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 1));
  return kSuccess;
}

namespace {

std::atomic<std::uint64_t> listingSteps{0};

}  // namespace

std::uint64_t ListingSteps() { return listingSteps.load(std::memory_order_relaxed); }

// A listing of N entries, stepped with indexes 0, 1, 2, ... on one connection, costs N index seeks: each
// step after the first continues from the cursor (the sort key of the entry the last step answered),
// whatever the connection (cached, uncached, read-only, immutable, inside a transaction or a snapshot).
// The cursor is used only when nothing changed in between: no write of this connection (generation) and
// no commit anywhere (Connection::Stamp, taken once the step's statement holds its read transaction, and
// before the statement of a step that starts a chain). Otherwise, or for an index out of sequence, the
// entry is counted from the start, as a listing from the start would see it; SQLite keeps no positions,
// so that step costs as many rows as its index.
long RegistryStore::ListingStep(Connection& c, bool keys, std::int64_t parent, std::uint32_t index,
                                std::string_view& name) {
  Connection::Cursor& cursor = keys ? c.keyCursor : c.valueCursor;
  bool follow = cursor.position && cursor.generation == c.generation && cursor.parent == parent && index > 0 &&
                cursor.index == index - 1;
  for (;;) {
    // A chain of steps starts from a state that no commit changed while its first step read it.
    StateStamp before;
    const bool stampedBefore = follow || c.Stamp(before);
    StatementUse q(c[keys ? (follow ? kEnumKeyAfter : kEnumKey) : (follow ? kEnumValueAfter : kEnumValue)]);
    sqlite3_bind_int64(q.get(), 1, parent);
    if (follow) {
      sqlite3_bind_value(q.get(), 2, cursor.position.get());
    } else {
      sqlite3_bind_int64(q.get(), 2, index);
    }
    int rc = sqlite3_step(q.get());
    listingSteps.fetch_add(static_cast<std::uint64_t>(sqlite3_stmt_status(q.get(), SQLITE_STMTSTATUS_VM_STEP, 1)),
                           std::memory_order_relaxed);
    StateStamp after;
    const bool stampedAfter = c.Stamp(after);
    if (follow && !(stampedAfter && after == cursor.stamp)) {  // a commit since the last step
      cursor.position.reset();
      follow = false;
      continue;
    }
    cursor.position.reset();
    if (rc == SQLITE_DONE) {
      long state = c.KeyState(parent);
      return state == kSuccess ? kNoMoreItems : state;
    }
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    name = std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)),
                            static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
    if (stampedBefore && stampedAfter && (follow || before == after)) {
      cursor.parent = parent;
      cursor.index = index;
      cursor.generation = c.generation;
      cursor.stamp = after;
      cursor.position.reset(sqlite3_value_dup(sqlite3_column_value(q.get(), 1)));
    }
    // The name stays valid until the statement is reset: copy it out before then.
    listingName_.assign(name);
    name = listingName_;
    return kSuccess;
  }
}

long RegistryStore::EnumValue(std::int64_t key, std::uint32_t index, char* name, std::uint32_t& nameLen) {
  auto lock = Enter();
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  std::string_view found;
  const SnapshotValues* listed = nullptr;
  if (inSnapshot_) {
    if (long rc = SnapshotValuesOf(*c, key, listed)) return rc;
  }
  if (listed != nullptr) {
    if (listed->keyState != kSuccess) return listed->keyState;
    if (index >= listed->count) return kNoMoreItems;
    found = listed->values[index].name;
  } else if (long rc = ListingStep(*c, false, key, index, found)) {
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
  Connection* c = nullptr;
  if (long rc = ForRead(c)) return rc;
  std::string_view found;
  const std::vector<SnapshotKey>* listed = nullptr;
  if (inSnapshot_) {
    if (long rc = SnapshotSubKeysOf(*c, key, listed)) return rc;
    if (index >= listed->size()) return kNoMoreItems;
    found = (*listed)[index].name;
  } else if (long rc = ListingStep(*c, true, key, index, found)) {
    return rc;
  }
  if (found.size() >= nameSize) return kMoreData;
  std::memcpy(name, found.data(), found.size());
  name[found.size()] = '\0';
  return kSuccess;
}

}  // namespace cregistry::store
