// Hive files loaded into the store's registry, as Windows loads hives below HKEY_LOCAL_MACHINE and
// HKEY_USERS: the connection of a store (OpenRegistryStore, OpenRegistryStores) routes the calls for a
// loaded key's tree to its hive (HiveRegistryApi), and every other call to the store.
//
// Which hives are loaded is kept where Windows keeps it, in the store itself: a value of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\hivelist named "\REGISTRY\MACHINE\NAME" or
// "\REGISTRY\USER\NAME", whose data is the hive file's absolute path. So every process that uses the
// store sees a load at once, only those who may write the store that holds the root may load and unload
// (root, for the machine store), and code that knows nothing of hives reads the store as before (the
// value is an ordinary one, and nothing else in the store changes).
//
// A loaded key's name may not be a key of the store (load refuses one; the store's own key wins if one is
// made later). It is listed after the store's sub-keys of its root. A transaction or snapshot of the
// connection includes the hives it touches, but a hive's writes and the store's land each on their own.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "registry/ForwardingRegistryApi.h"
#include "registry/TransactionalApi.h"
#include "registry/hive/HiveRegistryApi.h"

namespace cregistry::hive {

class LoadedHivesApi final : public ForwardingRegistryApi, public TransactionalApi {
 public:
  explicit LoadedHivesApi(std::shared_ptr<RegistryApi> store);

  // RegLoadKey and RegUnLoadKey: root is HKEY_LOCAL_MACHINE or HKEY_USERS, name one key name.
  long Load(RegHandle root, const std::string& name, const std::string& file, std::string& message);
  long Unload(RegHandle root, const std::string& name, std::string& message);

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override;
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override;
  long CloseKey(RegHandle key) override;
  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override;
  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override;
  long DeleteKey(RegHandle parent, const char* subKey) override;
  long DeleteValue(RegHandle key, const char* name) override;
  long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) override;
  long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) override;
  long EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen, std::uint32_t* type,
                     std::uint8_t* data, std::uint32_t* size) override;
  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override;

  long BeginTransaction() override;
  long EndTransaction(bool commit) override;
  long BeginSnapshot() override;
  void EndSnapshot() override;

 private:
  enum class Group { kNone, kTransaction, kSnapshot };
  // The root (HKLM or HKU) that parent stands for, or 0.
  RegHandle RootOf(RegHandle parent);
  // The hive of a handle of a loaded key, or nullptr.
  std::shared_ptr<HiveRegistryApi> HiveOf(RegHandle handle);
  // The hive loaded as root\name (opened on first use), or nullptr (code kFileNotFound: none is).
  long Loaded(RegHandle root, std::string_view name, std::shared_ptr<HiveRegistryApi>& hive);
  // The names loaded below root.
  std::vector<std::string> LoadedNames(RegHandle root);
  // hive joins the transaction or snapshot of this thread when one runs.
  long Join(const std::shared_ptr<HiveRegistryApi>& hive);
  // Splits "NAME\rest" when NAME is loaded below parent's root: hive and rest set, kSuccess.
  long Route(RegHandle parent, const char* subKey, std::shared_ptr<HiveRegistryApi>& hive, std::string& rest);

  TransactionalApi* store_;  // the store's transactions, when it has them
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<HiveRegistryApi>> hives_;  // by file
  std::unordered_map<RegHandle, RegHandle> rootAliases_;           // store handles of HKLM or HKU itself
  std::unordered_map<std::string, bool> reported_;                 // files whose failure was said
  Group group_ = Group::kNone;
  std::thread::id groupThread_;
  std::vector<std::shared_ptr<HiveRegistryApi>> joined_;
};

// The connection of a store with its loaded hives.
std::shared_ptr<RegistryApi> WithLoadedHives(std::shared_ptr<RegistryApi> store);

}  // namespace cregistry::hive
