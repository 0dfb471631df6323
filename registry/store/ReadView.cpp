// The views of the store's one read path (ReadView.h).
#include "registry/store/ReadView.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>

#include <cregistry/Store.h>
#include "registry/store/Schema.h"
#include "registry/store/Sqlite.h"

namespace cregistry::store {

using namespace cregistry::win32;

// DatabaseView

long DatabaseView::FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) {
  StatementUse q(c[kFindChild]);
  sqlite3_bind_int64(q.get(), 1, parent);
  BindText(q.get(), 2, fpath);
  int rc = sqlite3_step(q.get());
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  answer = {kSuccess, 0};
  if (sqlite3_column_int(q.get(), 0) == 0) {
    answer.rc = kKeyDeleted;
  } else if (sqlite3_column_type(q.get(), 1) == SQLITE_NULL) {
    answer.rc = kFileNotFound;
  } else {
    answer.id = sqlite3_column_int64(q.get(), 1);
  }
  return kSuccess;
}

long DatabaseView::FetchValue(Connection& c, std::int64_t key, const std::string& fname, ReadCache::CachedValue& out) {
  StatementUse q(c[kGetValue]);
  sqlite3_bind_int64(q.get(), 1, key);
  BindText(q.get(), 2, fname);
  int rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) {
    out.rc = c.KeyState(key);
    if (out.rc == kSuccess) out.rc = kFileNotFound;
    return out.rc == kFileNotFound || out.rc == kKeyDeleted ? kSuccess : out.rc;
  }
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  out.rc = kSuccess;
  out.type = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 0));
  const void* bytes = sqlite3_column_blob(q.get(), 1);
  out.data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
  return kSuccess;
}

long DatabaseView::FindValue(Connection& c, std::int64_t key, const std::string& fname,
                             const ReadCache::CachedValue*& answer) {
  if (long rc = FetchValue(c, key, fname, fetched_)) return rc;
  answer = &fetched_;
  return kSuccess;
}

long DatabaseView::LongestValueName(Connection& c, std::int64_t key, std::uint32_t& length) {
  StatementUse q(c[kMaxNameLen]);
  sqlite3_bind_int64(q.get(), 1, key);
  int rc = sqlite3_step(q.get());
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  if (sqlite3_column_int(q.get(), 0) == 0) return kKeyDeleted;
  length = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 1));
  return kSuccess;
}

namespace {

std::atomic<std::uint64_t> listingSteps{0};

}  // namespace

std::uint64_t ListingSteps() { return listingSteps.load(std::memory_order_relaxed); }

namespace {

// Counts the virtual machine steps of a listing statement (ListingSteps).
void CountSteps(sqlite3_stmt* q) {
  listingSteps.fetch_add(static_cast<std::uint64_t>(sqlite3_stmt_status(q, SQLITE_STMTSTATUS_VM_STEP, 1)),
                         std::memory_order_relaxed);
}

}  // namespace

// A listing of N sub-keys, stepped with indexes 0, 1, 2, ... on one connection, costs N index seeks:
// each step after the first continues from the cursor (the folded path of the sub-key the last step
// answered), whatever the connection (cached, uncached, read-only, immutable, inside a transaction or a
// snapshot). The cursor is used only when nothing changed in between: no write of this connection
// (generation) and no commit anywhere (Connection::Stamp, taken once the step's statement holds its read
// transaction, and before the statement of a step that starts a chain). Otherwise, or for an index out
// of sequence, the entry is counted from the start, as a listing from the start would see it; SQLite
// keeps no positions, so that step costs as many rows as its index.
long DatabaseView::KeyListingStep(Connection& c, std::int64_t parent, std::uint32_t index, std::string_view& name) {
  Connection::Cursor& cursor = c.keyCursor;
  bool follow = cursor.position && cursor.generation == c.generation && cursor.parent == parent && index > 0 &&
                cursor.index == index - 1;
  for (;;) {
    // A chain of steps starts from a state that no commit changed while its first step read it.
    StateStamp before;
    const bool stampedBefore = follow || c.Stamp(before);
    StatementUse q(c[follow ? kEnumKeyAfter : kEnumKey]);
    sqlite3_bind_int64(q.get(), 1, parent);
    if (follow) {
      sqlite3_bind_value(q.get(), 2, cursor.position.get());
    } else {
      sqlite3_bind_int64(q.get(), 2, index);
    }
    int rc = sqlite3_step(q.get());
    CountSteps(q.get());
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

// Values list in creation order (their ids), which no index keeps (RegistryStore.h): a listing's first
// step reads the key's names whole, with one statement, and each later step answers from them after one
// look-up of the key, which holds the read transaction in which Connection::Stamp shows that nothing
// changed since (the cursor's rule above, at any index). A listing of N values costs one sort of N
// names and N look-ups.
long DatabaseView::ValueListingStep(Connection& c, std::int64_t parent, std::uint32_t index, std::string_view& name) {
  Connection::ValueList& list = c.valueList;
  const auto answer = [&]() -> long {
    if (index >= list.ends.size()) return kNoMoreItems;
    name = list.At(index);  // valid until the connection lists values again
    return kSuccess;
  };
  if (list.valid && list.parent == parent && list.generation == c.generation) {
    StatementUse q(c[kKeyExists]);
    sqlite3_bind_int64(q.get(), 1, parent);
    int rc = sqlite3_step(q.get());
    CountSteps(q.get());
    StateStamp now;
    if (rc == SQLITE_ROW && c.Stamp(now) && now == list.stamp) return answer();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FromSqlite(rc);
  }
  list.valid = false;
  list.parent = parent;
  list.text.clear();
  list.ends.clear();
  StateStamp before, after;
  const bool stampedBefore = c.Stamp(before);
  bool stampedAfter = false;
  StatementUse q(c[kValueNames]);
  sqlite3_bind_int64(q.get(), 1, parent);
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    if (list.ends.empty()) stampedAfter = c.Stamp(after);  // inside the statement's read transaction
    list.text.append(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)),
                     static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
    list.ends.push_back(list.text.size());
  }
  CountSteps(q.get());
  if (rc != SQLITE_DONE) return FromSqlite(rc);
  if (list.ends.empty()) {  // no values: whether the key exists
    long state = c.KeyState(parent);
    return state == kSuccess ? kNoMoreItems : state;
  }
  list.valid = stampedBefore && stampedAfter && before == after;
  list.generation = c.generation;
  list.stamp = after;
  return answer();
}

// CachedView: the database's answers, kept while it is unchanged.

long CachedView::FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) {
  if (auto it = c.keys.find(c.CacheKey(parent, fpath)); it != c.keys.end()) {
    answer = it->second;
    return kSuccess;
  }
  if (long rc = DatabaseView::FindKey(c, parent, fpath, answer)) return rc;
  c.keys.emplace(c.CacheKey(parent, fpath), answer);
  return kSuccess;
}

long CachedView::FindValue(Connection& c, std::int64_t key, const std::string& fname,
                           const ReadCache::CachedValue*& answer) {
  if (auto it = c.values.find(c.CacheKey(key, fname)); it != c.values.end()) {
    answer = &it->second;
    return kSuccess;
  }
  ReadCache::CachedValue fetched{};
  if (long rc = FetchValue(c, key, fname, fetched)) return rc;
  answer = &c.values.emplace(c.CacheKey(key, fname), std::move(fetched)).first->second;
  return kSuccess;
}

// SnapshotView: whole keys, read once.

void SnapshotView::Clear() {
  values_ = {};
  subKeys_.clear();
  subKeysBytes_ = 0;
}

long SnapshotView::ValuesOf(Connection& c, std::int64_t key, const Values*& out) {
  out = nullptr;
  Values& s = values_;
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
      Value& v = s.values[s.count++];
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
      if (bytes > kValuesLimit) {
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

long SnapshotView::SubKeysOf(Connection& c, std::int64_t parent, const std::vector<SubKey>*& out) {
  static const std::vector<SubKey>& kNone = *new std::vector<SubKey>;  // never destroyed, as the tables
  out = nullptr;
  if (auto it = subKeys_.find(parent); it != subKeys_.end()) {
    out = &it->second;
    return kSuccess;
  }
  std::vector<SubKey> subKeys;
  StatementUse q(c[kSubKeys]);
  sqlite3_bind_int64(q.get(), 1, parent);
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    SubKey& k = subKeys.emplace_back();
    k.name.assign(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)),
                  static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
    k.fpath.assign(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1)),
                   static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
    k.id = sqlite3_column_int64(q.get(), 2);
    subKeysBytes_ += k.name.size() + k.fpath.size() + sizeof k;
  }
  if (rc != SQLITE_DONE) return FromSqlite(rc);
  if (subKeys.empty()) {
    // Whether the key itself exists; known already when its values were listed.
    const Values& values = values_;
    long state = values.complete && values.key == parent ? values.keyState : c.KeyState(parent);
    if (state == kSuccess) out = &kNone;
    return state;
  }
  if (subKeysBytes_ > kKeysLimit) {  // start over
    subKeys_.clear();
    subKeysBytes_ = 0;
  }
  out = &subKeys_.emplace(parent, std::move(subKeys)).first->second;
  return kSuccess;
}

long SnapshotView::FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) {
  // A sub-key of a key whose sub-keys were listed is found in that list; a key further below is not.
  auto listed = subKeys_.find(parent);
  if (listed == subKeys_.end()) return DatabaseView::FindKey(c, parent, fpath, answer);
  const auto& subKeys = listed->second;
  const std::size_t cut = subKeys.front().fpath.rfind('\\') + 1;  // the parent's path and separator
  if (fpath.compare(0, cut, subKeys.front().fpath, 0, cut) != 0 || fpath.find('\\', cut) != std::string::npos) {
    return DatabaseView::FindKey(c, parent, fpath, answer);
  }
  auto at = std::lower_bound(subKeys.begin(), subKeys.end(), fpath,
                             [](const SubKey& k, const std::string& p) { return k.fpath < p; });
  answer = at != subKeys.end() && at->fpath == fpath ? ReadCache::CachedKey{kSuccess, at->id}
                                                     : ReadCache::CachedKey{kFileNotFound, 0};
  return kSuccess;
}

long SnapshotView::FindValue(Connection& c, std::int64_t key, const std::string& fname,
                             const ReadCache::CachedValue*& answer) {
  const Values* listed = nullptr;
  if (long rc = ValuesOf(c, key, listed)) return rc;
  if (listed == nullptr) return DatabaseView::FindValue(c, key, fname, answer);
  found_ = {listed->keyState == kSuccess ? kFileNotFound : listed->keyState, 0, {}};
  for (std::size_t i = 0; i < listed->count; ++i) {
    const Value& v = listed->values[i];
    if (v.fname == fname) {
      found_.rc = kSuccess;
      found_.type = v.type;
      found_.data = v.data;
      break;
    }
  }
  answer = &found_;
  return kSuccess;
}

long SnapshotView::LongestValueName(Connection& c, std::int64_t key, std::uint32_t& length) {
  const Values* listed = nullptr;
  if (long rc = ValuesOf(c, key, listed)) return rc;
  if (listed == nullptr) return DatabaseView::LongestValueName(c, key, length);
  if (listed->keyState != kSuccess) return listed->keyState;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < listed->count; ++i) longest = std::max(longest, listed->values[i].name.size());
  length = static_cast<std::uint32_t>(longest);
  return kSuccess;
}

long SnapshotView::ValueName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) {
  const Values* listed = nullptr;
  if (long rc = ValuesOf(c, key, listed)) return rc;
  if (listed == nullptr) return DatabaseView::ValueName(c, key, index, name);
  if (listed->keyState != kSuccess) return listed->keyState;
  if (index >= listed->count) return kNoMoreItems;
  name = listed->values[index].name;
  return kSuccess;
}

long SnapshotView::SubKeyName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) {
  const std::vector<SubKey>* listed = nullptr;
  if (long rc = SubKeysOf(c, key, listed)) return rc;
  if (index >= listed->size()) return kNoMoreItems;
  name = (*listed)[index].name;
  return kSuccess;
}

}  // namespace cregistry::store
