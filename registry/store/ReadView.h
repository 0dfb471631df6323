// The store's one read path: every read operation (RegistryStore.cpp) asks a view of the database, and
// the view decides where the answer comes from. The view is chosen once per call (RegistryStore::ViewFor):
//
//   DatabaseView   the database itself, one statement per read: inside a transaction of BeginTransaction
//                  (whose reads must see its own writes), and for a connection that has no read cache
//                  (a store that cannot be written, the empty registry of a store not made yet);
//   CachedView     the database, with the answers of look-ups kept in the connection's read cache while
//                  the database is unchanged (ReadCache.h);
//   SnapshotView   inside a read snapshot of BeginSnapshot, where nothing changes: the values and the
//                  sub-keys of a key are read whole with one statement each, and later reads of that key
//                  are answered from them.
//
// A view answers with the codes of the registry calls: kSuccess; kFileNotFound for a key or value that
// is not there; kKeyDeleted when the key asked about (or the parent) does not exist; kNoMoreItems past a
// listing's end; or a failure of the database. Listing steps go through DatabaseView's KeyListingStep
// and ValueListingStep in every view that reads them from the database, so that each listing continues
// from where it stood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/store/Connection.h"

namespace cregistry::store {

class ReadView {
 public:
  using Connection = RegistryStore::Connection;
  virtual ~ReadView() = default;
  // The key whose folded path is fpath, a child of parent: answer.rc is kSuccess (and answer.id the
  // key's), kFileNotFound or kKeyDeleted (parent does not exist).
  virtual long FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) = 0;
  // The value whose folded name is fname in key: answer->rc is kSuccess, kFileNotFound or kKeyDeleted.
  // The answer stays valid until the next call on the view.
  virtual long FindValue(Connection& c, std::int64_t key, const std::string& fname,
                         const ReadCache::CachedValue*& answer) = 0;
  // The length in bytes of the longest value name of key.
  virtual long LongestValueName(Connection& c, std::int64_t key, std::uint32_t& length) = 0;
  // The name of the value, or of the sub-key, at index in key's listing; valid until the next call.
  virtual long ValueName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) = 0;
  virtual long SubKeyName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) = 0;
};

class DatabaseView : public ReadView {
 public:
  long FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) override;
  long FindValue(Connection& c, std::int64_t key, const std::string& fname,
                 const ReadCache::CachedValue*& answer) override;
  long LongestValueName(Connection& c, std::int64_t key, std::uint32_t& length) override;
  long ValueName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) override {
    return ValueListingStep(c, key, index, name);
  }
  long SubKeyName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) override {
    return KeyListingStep(c, key, index, name);
  }

 protected:
  // The name at index in the sub-keys of parent, continuing from the connection's cursor where it can.
  long KeyListingStep(Connection& c, std::int64_t parent, std::uint32_t index, std::string_view& name);
  // The name at index in the values of parent, from the connection's value listing where it can.
  long ValueListingStep(Connection& c, std::int64_t parent, std::uint32_t index, std::string_view& name);
  // The value as the database answers it now.
  long FetchValue(Connection& c, std::int64_t key, const std::string& fname, ReadCache::CachedValue& out);

 private:
  std::string listingName_;
  ReadCache::CachedValue fetched_{};
};

class CachedView final : public DatabaseView {
 public:
  long FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) override;
  long FindValue(Connection& c, std::int64_t key, const std::string& fname,
                 const ReadCache::CachedValue*& answer) override;
};

class SnapshotView final : public DatabaseView {
 public:
  // Forgets what the last snapshot read (at its start and at its end).
  void Clear();

  long FindKey(Connection& c, std::int64_t parent, const std::string& fpath, ReadCache::CachedKey& answer) override;
  long FindValue(Connection& c, std::int64_t key, const std::string& fname,
                 const ReadCache::CachedValue*& answer) override;
  long LongestValueName(Connection& c, std::int64_t key, std::uint32_t& length) override;
  long ValueName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) override;
  long SubKeyName(Connection& c, std::int64_t key, std::uint32_t index, std::string_view& name) override;

 private:
  // Every value of the key read last, read with one statement, so that listing a key's values and
  // reading each of them costs one statement in all instead of two per value. One key at a time, and
  // only while its names and data stay under kValuesLimit bytes; a larger key is read value by value.
  struct Value {
    std::string name;
    std::string fname;
    std::uint32_t type = 0;
    std::string data;
  };
  struct Values {
    std::int64_t key = 0;
    bool complete = false;
    long keyState = 0;  // kSuccess, or kKeyDeleted when the key does not exist
    std::size_t count = 0;
    std::vector<Value> values;  // the first count are the key's, in creation order
  };
  static constexpr std::size_t kValuesLimit = 4 << 20;
  Values values_;
  // The values of key, reading them first when needed: out is nullptr when the key is read value by value.
  long ValuesOf(Connection& c, std::int64_t key, const Values*& out);

  // The sub-keys of the keys listed so far that have any (in listing order, by folded path), each read
  // with one statement; a sub-key listed here is found without a statement. Up to kKeysLimit bytes of
  // names, then started over.
  struct SubKey {
    std::string name;
    std::string fpath;
    std::int64_t id = 0;
  };
  static constexpr std::size_t kKeysLimit = 4 << 20;
  std::unordered_map<std::int64_t, std::vector<SubKey>> subKeys_;
  std::size_t subKeysBytes_ = 0;
  // The sub-keys of parent (empty when it has none), reading them when needed; kKeyDeleted when parent
  // does not exist.
  long SubKeysOf(Connection& c, std::int64_t parent, const std::vector<SubKey>*& out);

  ReadCache::CachedValue found_{};
};

}  // namespace cregistry::store
