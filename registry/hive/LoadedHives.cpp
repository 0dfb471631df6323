#include "registry/hive/LoadedHives.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cregistry/RegistryTransaction.h>
#include "registry/RegistryModel.h"
#include "registry/store/Handles.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::hive {

using namespace win32;

namespace {

const RegHandle kMachine = RootHandle(static_cast<std::int32_t>(0x80000002u));
const RegHandle kUsers = RootHandle(static_cast<std::int32_t>(0x80000003u));
constexpr const char* kHiveList = "SYSTEM\\CurrentControlSet\\Control\\hivelist";
constexpr std::uint32_t kRegSz = 1;

std::string Prefix(RegHandle root) { return root == kMachine ? "\\REGISTRY\\MACHINE\\" : "\\REGISTRY\\USER\\"; }

// The file of a loaded hive, as its hivelist value holds it; empty when none is loaded there.
std::string LoadedFile(RegistryApi& store, RegHandle list, const std::string& valueName) {
  std::uint32_t type = 0, size = 0;
  if (store.QueryValue(list, valueName.c_str(), &type, nullptr, &size) != kSuccess || type != kRegSz) return {};
  std::string data(size, '\0');
  if (store.QueryValue(list, valueName.c_str(), &type, reinterpret_cast<std::uint8_t*>(data.data()), &size) !=
      kSuccess) {
    return {};
  }
  data.resize(std::min<std::size_t>(size, data.size()));
  data.resize(std::strlen(data.c_str()));
  return data;
}

}  // namespace

LoadedHivesApi::LoadedHivesApi(std::shared_ptr<RegistryApi> store)
    : ForwardingRegistryApi(std::move(store)), store_(dynamic_cast<TransactionalApi*>(inner_.get())) {}

RegHandle LoadedHivesApi::RootOf(RegHandle parent) {
  if (parent == kMachine || parent == kUsers) return parent;
  std::lock_guard lock(mutex_);
  auto it = rootAliases_.find(parent);
  return it == rootAliases_.end() ? 0 : it->second;
}

std::shared_ptr<HiveRegistryApi> LoadedHivesApi::HiveOf(RegHandle handle) {
  if (!HiveRegistryApi::IsHiveHandle(handle)) return nullptr;  // the store's calls take no lock here
  std::lock_guard lock(mutex_);  // a hive never calls back here, so its lock may be taken inside this one
  for (auto& [file, hive] : hives_) {
    if (hive->Owns(handle)) return hive;
  }
  return nullptr;
}

long LoadedHivesApi::Loaded(RegHandle root, std::string_view name, std::shared_ptr<HiveRegistryApi>& hive) {
  KeyHandle list(*inner_);
  if (inner_->OpenKey(kMachine, kHiveList, kKeyQueryValue, list.out()) != kSuccess) return kFileNotFound;
  const std::string file = LoadedFile(*inner_, list.get(), Prefix(root) + std::string(name));
  if (file.empty()) return kFileNotFound;
  {
    std::lock_guard lock(mutex_);
    if (auto it = hives_.find(file); it != hives_.end()) {
      hive = it->second;
      return kSuccess;
    }
  }
  // Written to when this process may write the file; else, and for a hive that was not written out
  // cleanly, read only (with a line that says so).
  HiveError error;
  std::string warning;
  std::shared_ptr<HiveRegistryApi> opened;
  if (access(file.c_str(), W_OK) == 0) opened = HiveRegistryApi::Open(file, Access::kWrite, error);
  if (!opened) opened = HiveRegistryApi::Open(file, Access::kRead, error, &warning);
  std::lock_guard lock(mutex_);
  const std::string& said = opened ? warning : error.message;
  if (!said.empty() && !reported_[file]) {
    std::fprintf(stderr, "cregistry: %s\n", said.c_str());
    reported_[file] = true;
  }
  if (!opened) return error.code;
  hive = hives_.emplace(file, std::move(opened)).first->second;
  return kSuccess;
}

std::vector<std::string> LoadedHivesApi::LoadedNames(RegHandle root) {
  std::vector<std::string> names;
  KeyHandle list(*inner_);
  if (inner_->OpenKey(kMachine, kHiveList, kKeyQueryValue, list.out()) != kSuccess) return names;
  const std::string prefix = store::Fold(Prefix(root));
  std::vector<char> name(model::kMaxValueNameChars * 4 + 1);
  for (std::uint32_t i = 0;; ++i) {
    auto length = static_cast<std::uint32_t>(name.size());
    if (inner_->EnumValue(list.get(), i, name.data(), length) != kSuccess) break;
    const std::string text(name.data(), length);
    if (store::Fold(text).starts_with(prefix) && text.find('\\', prefix.size()) == std::string::npos) {
      names.push_back(text.substr(prefix.size()));
    }
  }
  return names;
}

long LoadedHivesApi::Join(const std::shared_ptr<HiveRegistryApi>& hive) {
  std::lock_guard lock(mutex_);
  if (group_ == Group::kNone || groupThread_ != std::this_thread::get_id()) return kSuccess;
  for (auto& joined : joined_) {
    if (joined == hive) return kSuccess;
  }
  const long rc = group_ == Group::kTransaction ? hive->BeginTransaction() : hive->BeginSnapshot();
  if (rc == kSuccess) joined_.push_back(hive);
  return rc;
}

long LoadedHivesApi::Route(RegHandle parent, const char* subKey, std::shared_ptr<HiveRegistryApi>& hive,
                           std::string& rest) {
  const RegHandle root = RootOf(parent);
  if (root == 0) return kFileNotFound;
  std::vector<std::string_view> parts;
  if (store::SplitPath(subKey, parts) != kSuccess || parts.empty()) return kFileNotFound;
  if (long rc = Loaded(root, parts[0], hive)) return rc;
  rest.clear();
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (!rest.empty()) rest += '\\';
    rest += parts[i];
  }
  return Join(hive);
}

long LoadedHivesApi::OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  if (auto hive = HiveOf(parent)) {
    if (long rc = Join(hive)) return rc;
    return hive->OpenKey(parent, subKey, access, out);
  }
  long rc = inner_->OpenKey(parent, subKey, access, out);
  if (rc == kFileNotFound) {
    std::shared_ptr<HiveRegistryApi> hive;
    std::string rest;
    const long routed = Route(parent, subKey, hive, rest);
    if (routed == kFileNotFound) return rc;
    if (routed != kSuccess) return routed;
    return hive->OpenKey(kMachine, rest.c_str(), access, out);
  }
  std::vector<std::string_view> parts;
  if (rc == kSuccess && store::SplitPath(subKey, parts) == kSuccess && parts.empty()) {
    if (const RegHandle root = RootOf(parent); root != 0) {
      std::lock_guard lock(mutex_);
      rootAliases_[out] = root;
    }
  }
  return rc;
}

long LoadedHivesApi::CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  if (auto hive = HiveOf(parent)) {
    if (long rc = Join(hive)) return rc;
    return hive->CreateKey(parent, subKey, access, out);
  }
  std::vector<std::string_view> parts;
  const RegHandle root = RootOf(parent);
  if (root != 0 && store::SplitPath(subKey, parts) == kSuccess && !parts.empty()) {
    // A key of the store wins over a hive of the same name.
    KeyHandle first(*inner_);
    const std::string name(parts[0]);
    if (inner_->OpenKey(parent, name.c_str(), kKeyQueryValue, first.out()) == kFileNotFound) {
      std::shared_ptr<HiveRegistryApi> hive;
      std::string rest;
      const long routed = Route(parent, subKey, hive, rest);
      if (routed == kSuccess) return hive->CreateKey(kMachine, rest.c_str(), access, out);
      if (routed != kFileNotFound) return routed;
    }
  }
  long rc = inner_->CreateKey(parent, subKey, access, out);
  if (rc == kSuccess && root != 0 && parts.empty()) {
    std::lock_guard lock(mutex_);
    rootAliases_[out] = root;
  }
  return rc;
}

long LoadedHivesApi::CloseKey(RegHandle key) {
  if (auto hive = HiveOf(key)) return hive->CloseKey(key);
  {
    std::lock_guard lock(mutex_);
    rootAliases_.erase(key);
  }
  return inner_->CloseKey(key);
}

long LoadedHivesApi::DeleteKey(RegHandle parent, const char* subKey) {
  if (auto hive = HiveOf(parent)) {
    if (long rc = Join(hive)) return rc;
    return hive->DeleteKey(parent, subKey);
  }
  long rc = inner_->DeleteKey(parent, subKey);
  if (rc != kFileNotFound) return rc;
  std::shared_ptr<HiveRegistryApi> hive;
  std::string rest;
  const long routed = Route(parent, subKey, hive, rest);
  if (routed == kFileNotFound) return rc;
  if (routed != kSuccess) return routed;
  if (rest.empty()) return kAccessDenied;  // a loaded key goes with unload only
  return hive->DeleteKey(kMachine, rest.c_str());
}

#define CREGISTRY_ROUTE(call)                     \
  if (auto hive = HiveOf(key)) {                  \
    if (long rc = Join(hive)) return rc;          \
    return hive->call;                            \
  }                                               \
  return inner_->call

long LoadedHivesApi::QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                                std::uint32_t* size) {
  CREGISTRY_ROUTE(QueryValue(key, name, type, data, size));
}
long LoadedHivesApi::SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                              std::uint32_t size) {
  CREGISTRY_ROUTE(SetValue(key, name, type, data, size));
}
long LoadedHivesApi::DeleteValue(RegHandle key, const char* name) { CREGISTRY_ROUTE(DeleteValue(key, name)); }
long LoadedHivesApi::QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) {
  CREGISTRY_ROUTE(QueryInfoKey(key, maxValueNameLen));
}
long LoadedHivesApi::EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) {
  CREGISTRY_ROUTE(EnumValue(key, index, name, nameLen));
}
long LoadedHivesApi::EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen,
                                   std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  CREGISTRY_ROUTE(EnumValueData(key, index, name, nameLen, type, data, size));
}
#undef CREGISTRY_ROUTE

long LoadedHivesApi::EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  if (auto hive = HiveOf(key)) {
    if (long rc = Join(hive)) return rc;
    return hive->EnumKey(key, index, name, nameSize);
  }
  long rc = inner_->EnumKey(key, index, name, nameSize);
  const RegHandle root = rc == kNoMoreItems ? RootOf(key) : 0;
  if (root == 0) return rc;
  // The loaded keys follow the store's: find where the store's list ends.
  std::vector<char> probe(model::kKeyNameBytes);
  std::uint32_t low = 0, high = index;
  while (low < high) {
    const std::uint32_t mid = low + (high - low) / 2;
    if (inner_->EnumKey(key, mid, probe.data(), model::kKeyNameBytes) == kNoMoreItems) high = mid;
    else low = mid + 1;
  }
  const std::vector<std::string> loaded = LoadedNames(root);
  if (index - low >= loaded.size()) return kNoMoreItems;
  const std::string& found = loaded[index - low];
  if (found.size() + 1 > nameSize) return kMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return kSuccess;
}

long LoadedHivesApi::BeginTransaction() {
  if (store_ == nullptr) return kInvalidParameter;
  if (long rc = store_->BeginTransaction()) return rc;
  std::lock_guard lock(mutex_);
  group_ = Group::kTransaction;
  groupThread_ = std::this_thread::get_id();
  return kSuccess;
}

long LoadedHivesApi::EndTransaction(bool commit) {
  std::vector<std::shared_ptr<HiveRegistryApi>> joined;
  {
    std::lock_guard lock(mutex_);
    joined.swap(joined_);
    group_ = Group::kNone;
  }
  long rc = store_ == nullptr ? kInvalidParameter : store_->EndTransaction(commit);
  for (auto& hive : joined) {
    const long hrc = hive->EndTransaction(commit && rc == kSuccess);
    if (rc == kSuccess) rc = hrc;
  }
  return rc;
}

long LoadedHivesApi::BeginSnapshot() {
  if (store_ == nullptr) return kInvalidParameter;
  if (long rc = store_->BeginSnapshot()) return rc;
  std::lock_guard lock(mutex_);
  group_ = Group::kSnapshot;
  groupThread_ = std::this_thread::get_id();
  return kSuccess;
}

void LoadedHivesApi::EndSnapshot() {
  std::vector<std::shared_ptr<HiveRegistryApi>> joined;
  {
    std::lock_guard lock(mutex_);
    joined.swap(joined_);
    group_ = Group::kNone;
  }
  if (store_ != nullptr) store_->EndSnapshot();
  for (auto& hive : joined) hive->EndSnapshot();
}

long LoadedHivesApi::Load(RegHandle root, const std::string& name, const std::string& file, std::string& message) {
  if ((root != kMachine && root != kUsers) || name.empty() || name.find('\\') != std::string::npos) {
    message = "a hive is loaded as a key right below HKEY_LOCAL_MACHINE or HKEY_USERS";
    return kInvalidParameter;
  }
  char resolved[PATH_MAX];
  if (realpath(file.c_str(), resolved) == nullptr) {
    message = file + ": " + std::strerror(errno);
    return errno == ENOENT ? kFileNotFound : kAccessDenied;
  }
  HiveError error;
  std::string warning;
  if (!HiveFile::Open(resolved, Access::kRead, error, &warning)) {
    message = error.message;
    return error.code;
  }
  if (!warning.empty()) std::fprintf(stderr, "cregistry: %s\n", warning.c_str());
  const std::string valueName = Prefix(root) + name;
  const std::string data = std::string(resolved) + '\0';
  long rc = RunAsOneTransaction(*inner_, [&]() -> long {
    KeyHandle existing(*inner_);
    long open = inner_->OpenKey(root, name.c_str(), kKeyQueryValue, existing.out());
    KeyHandle list(*inner_);
    if (open == kFileNotFound) open = inner_->CreateKey(kMachine, kHiveList, kKeyAllAccess, list.out());
    else if (open == kSuccess) return kAlreadyExists;
    if (open != kSuccess) return open;
    if (!LoadedFile(*inner_, list.get(), valueName).empty()) return kAlreadyExists;
    return inner_->SetValue(list.get(), valueName.c_str(), kRegSz, reinterpret_cast<const std::uint8_t*>(data.data()),
                            static_cast<std::uint32_t>(data.size()));
  });
  if (rc == kAlreadyExists) message = "a key of that name exists already, or a hive is loaded there";
  return rc;
}

long LoadedHivesApi::Unload(RegHandle root, const std::string& name, std::string& message) {
  const std::string valueName = Prefix(root) + name;
  KeyHandle list(*inner_);
  std::string file;
  if (inner_->OpenKey(kMachine, kHiveList, kKeyQueryValue | kKeySetValue, list.out()) == kSuccess) {
    file = LoadedFile(*inner_, list.get(), valueName);
  }
  if (file.empty()) {
    // Without the right to write, the list cannot be opened for it: say so rather than "not loaded".
    KeyHandle readOnly(*inner_);
    const long open = inner_->OpenKey(kMachine, kHiveList, kKeyQueryValue, readOnly.out());
    if (open != kSuccess && open != kFileNotFound) return open;  // the store cannot be read
    if (open == kSuccess && !LoadedFile(*inner_, readOnly.get(), valueName).empty()) return kAccessDenied;
    message = "no hive is loaded there";
    return kInvalidParameter;
  }
  // A write of another process under way ends first; every write has reached the file when it ends.
  HiveLock lock;
  HiveError error;
  HiveLock::Take(file, lock, error);
  const long rc = inner_->DeleteValue(list.get(), valueName.c_str());
  if (rc == kSuccess) {
    std::lock_guard guard(mutex_);
    hives_.erase(file);
  }
  return rc;
}

std::shared_ptr<RegistryApi> WithLoadedHives(std::shared_ptr<RegistryApi> store) {
  return std::make_shared<LoadedHivesApi>(std::move(store));
}

}  // namespace cregistry::hive
