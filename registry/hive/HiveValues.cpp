// The value calls of HiveRegistryApi. A key's values are read from the file through libhivex; the first
// change to them copies them into a table (Pending) that the later calls read and change, and that reaches
// libhivex as one list (hivex_node_set_values) when the change or the transaction ends: libhivex writes a
// key's whole value list anew at each call, so a transaction that sets 20,000 values in one key makes one
// such call rather than 20,000.
#include <algorithm>
#include <cstring>

#include "registry/RegistryModel.h"
#include "registry/Utf8.h"
#include "registry/hive/HiveCalls.h"
#include "registry/hive/ValueText.h"
#include "registry/store/Handles.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::hive {

using namespace win32;

void HiveRegistryApi::Pending::Reindex() {
  index.clear();
  for (std::size_t i = 0; i < values.size(); ++i) index.emplace(store::Fold(values[i].name), i);
}

long HiveRegistryApi::Pend(hive_node_h node, Pending*& out) {
  if (auto it = pending_.find(node); it != pending_.end()) {
    out = &it->second;
    return kSuccess;
  }
  Listing* listing = Values(node);
  if (listing == nullptr) return Fail(HivexCode(errno), path_ + ": a key's values cannot be read");
  Pending table;
  for (std::size_t i = 0; i < listing->values.size(); ++i) {
    hive_type t{};
    std::size_t length = 0;
    Malloced<char> data(hivex_value_value(file_->get(), listing->values[i], &t, &length));
    if (!data) return Fail(HivexCode(errno), path_ + ": a value's data cannot be read");
    table.values.push_back({listing->valueNames[i], static_cast<std::uint32_t>(t), std::string(data.get(), length)});
  }
  table.Reindex();
  out = &pending_.emplace(node, std::move(table)).first->second;
  return kSuccess;
}

long HiveRegistryApi::Flush() {
  for (auto& [node, table] : pending_) {
    std::vector<hive_set_value> values;
    values.reserve(table.values.size());
    for (auto& v : table.values) {
      values.push_back(hive_set_value{v.name.data(), static_cast<hive_type>(v.type), v.data.size(), v.data.data()});
    }
    if (hivex_node_set_values(file_->get(), node, values.size(), values.data(), 0) != 0) {
      return Fail(HivexCode(errno), path_ + ": cannot write a key's values");
    }
  }
  pending_.clear();
  Changed();
  return kSuccess;
}

long HiveRegistryApi::ValueCount(hive_node_h node, std::size_t& count) {
  if (auto it = pending_.find(node); it != pending_.end()) {
    count = it->second.values.size();
    return kSuccess;
  }
  Listing* listing = Values(node);
  if (listing == nullptr) return Fail(HivexCode(errno), path_ + ": a key's values cannot be read");
  count = listing->values.size();
  return kSuccess;
}

long HiveRegistryApi::FindValue(hive_node_h node, const char* name, std::size_t& index) {
  const std::string folded = store::Fold(store::NameOrEmpty(name));
  if (auto it = pending_.find(node); it != pending_.end()) {
    auto found = it->second.index.find(folded);
    if (found == it->second.index.end()) return kFileNotFound;
    index = found->second;
    return kSuccess;
  }
  Listing* listing = Values(node);
  if (listing == nullptr) return Fail(HivexCode(errno), path_ + ": a key's values cannot be read");
  auto found = listing->valueIndex.find(folded);
  if (found == listing->valueIndex.end()) return kFileNotFound;
  index = found->second;
  return kSuccess;
}

// The name, type and narrow data of node's value at index (which ValueCount or FindValue vouched for).
long HiveRegistryApi::ValueAt(hive_node_h node, std::size_t index, std::string& name, std::uint32_t* type,
                              std::string* narrow) {
  if (auto it = pending_.find(node); it != pending_.end()) {
    const PendingValue& v = it->second.values[index];
    name = v.name;
    if (type) *type = v.type;
    if (narrow) *narrow = ToNarrow(v.type, v.data);
    return kSuccess;
  }
  Listing* listing = &listings_[node];
  name = listing->valueNames[index];
  if (type == nullptr && narrow == nullptr) return kSuccess;
  hive_type t{};
  std::size_t length = 0;
  Malloced<char> data(hivex_value_value(file_->get(), listing->values[index], &t, &length));
  if (!data) return Fail(HivexCode(errno), path_ + ": a value's data cannot be read");
  if (type) *type = static_cast<std::uint32_t>(t);
  if (narrow) *narrow = ToNarrow(static_cast<std::uint32_t>(t), std::string_view(data.get(), length));
  return kSuccess;
}

namespace {
// Gives data as RegQueryValueExA does: type and size always; the data when the buffer holds it.
long Answer(std::uint32_t t, const std::string& bytes, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  if (type) *type = t;
  if (data != nullptr && size == nullptr) return kInvalidParameter;
  if (size == nullptr) return kSuccess;
  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kMoreData;
  }
  if (data != nullptr) std::memcpy(data, bytes.data(), bytes.size());
  *size = needed;
  return kSuccess;
}

long PutName(const std::string& stored, char* name, std::uint32_t& nameLen) {
  if (stored.size() + 1 > nameLen) return kMoreData;
  std::memcpy(name, stored.c_str(), stored.size() + 1);
  nameLen = static_cast<std::uint32_t>(stored.size());
  return kSuccess;
}
}  // namespace

long HiveRegistryApi::QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* size) {
  Call call(*this);
  hive_node_h node = 0;
  std::size_t index = 0;
  if (long rc = Resolve(key, kKeyQueryValue, node)) return rc;
  if (long rc = FindValue(node, name, index)) return rc;
  std::string stored, bytes;
  std::uint32_t t = 0;
  if (long rc = ValueAt(node, index, stored, &t, &bytes)) return rc;
  return Answer(t, bytes, type, data, size);
}

long HiveRegistryApi::SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                               std::uint32_t size) {
  Call call(*this);
  const std::string valueName = store::NameOrEmpty(name);
  if (utf8::MoreUnits16Than(valueName, model::kMaxValueNameChars)) return kInvalidParameter;
  if (data == nullptr && size != 0) return kInvalidParameter;
  std::string bytes = ToHive(type, std::string_view(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size));
  return Write([&](bool& changed) -> long {
    hive_node_h node = 0;
    Pending* table = nullptr;
    if (long rc = Resolve(key, kKeySetValue, node)) return rc;
    if (long rc = Pend(node, table)) return rc;
    changed = true;
    auto found = table->index.find(store::Fold(valueName));
    if (found != table->index.end()) {  // a value set again keeps its name and its place
      table->values[found->second].type = type;
      table->values[found->second].data = std::move(bytes);
    } else {
      table->index.emplace(store::Fold(valueName), table->values.size());
      table->values.push_back({valueName, type, std::move(bytes)});
    }
    return kSuccess;
  });
}

long HiveRegistryApi::DeleteValue(RegHandle key, const char* name) {
  Call call(*this);
  return Write([&](bool& changed) -> long {
    hive_node_h node = 0;
    Pending* table = nullptr;
    if (long rc = Resolve(key, kKeySetValue, node)) return rc;
    if (long rc = Pend(node, table)) return rc;
    auto found = table->index.find(store::Fold(store::NameOrEmpty(name)));
    if (found == table->index.end()) return kFileNotFound;
    table->values.erase(table->values.begin() + static_cast<std::ptrdiff_t>(found->second));
    table->Reindex();
    changed = true;
    return kSuccess;
  });
}

long HiveRegistryApi::QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) {
  Call call(*this);
  hive_node_h node = 0;
  std::size_t count = 0;
  if (long rc = Resolve(key, kKeyQueryValue, node)) return rc;
  if (long rc = ValueCount(node, count)) return rc;
  maxValueNameLen = 0;
  std::string name;
  for (std::size_t i = 0; i < count; ++i) {
    if (long rc = ValueAt(node, i, name, nullptr, nullptr)) return rc;
    maxValueNameLen = std::max(maxValueNameLen, static_cast<std::uint32_t>(name.size()));
  }
  return kSuccess;
}

long HiveRegistryApi::EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) {
  Call call(*this);
  hive_node_h node = 0;
  std::size_t count = 0;
  if (long rc = Resolve(key, kKeyQueryValue, node)) return rc;
  if (long rc = ValueCount(node, count)) return rc;
  if (index >= count) return kNoMoreItems;
  std::string stored;
  if (long rc = ValueAt(node, index, stored, nullptr, nullptr)) return rc;
  return PutName(stored, name, nameLen);
}

long HiveRegistryApi::EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen,
                                    std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  Call call(*this);
  hive_node_h node = 0;
  std::size_t count = 0;
  if (long rc = Resolve(key, kKeyQueryValue, node)) return rc;
  if (long rc = ValueCount(node, count)) return rc;
  if (index >= count) return kNoMoreItems;
  std::string stored, bytes;
  std::uint32_t t = 0;
  if (long rc = ValueAt(node, index, stored, &t, &bytes)) return rc;
  const long named = PutName(stored, name, nameLen);
  const long answered = Answer(t, bytes, type, data, size);
  return named != kSuccess ? named : answered;
}

}  // namespace cregistry::hive
