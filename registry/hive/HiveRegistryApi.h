// The registry calls over one Windows hive file (HiveFile): every predefined root key stands for the
// hive's root key, so a cRegistry on it reads and writes the file's tree as it would the registry.
//
// Names compare as the store compares them (Unicode's simple upper-case mapping), and string data is
// converted as the narrow calls convert it (ValueText.h); what a call does not change stays in the file
// as it was, byte for byte (libhivex copies the data of the other values of a key it changes as it found
// it).
//
// Writes. A writable hive's writes each end in a new file renamed over the old one (HiveFile::Commit),
// under the lock of its folder (HiveLock): a process first reads the file again when another one replaced
// it since, so two processes that write the same hive never lose each other's changes. Between
// BeginTransaction and EndTransaction the writes stay in memory under the lock and reach the file
// together at the end, or not at all. Reads see the file as it was read; a process reads it again when
// another one replaced it, at its next opening of a key from the root (never inside a transaction or
// snapshot). Handles opened before that find their key again by its path, or answer kKeyDeleted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <cregistry/RegistryApi.h>
#include "registry/TransactionalApi.h"
#include "registry/hive/HiveFile.h"

namespace cregistry::hive {

class HiveRegistryApi final : public RegistryApi, public TransactionalApi {
 public:
  // Opens the hive at path; nullptr with error set when it cannot be read, is damaged, or (kWrite) was
  // not written out cleanly. warning: as HiveFile::Open.
  static std::shared_ptr<HiveRegistryApi> Open(const std::string& path, Access access, HiveError& error,
                                               std::string* warning = nullptr);
  ~HiveRegistryApi() override;

  // Whether handle is one of this hive's (handles of every hive differ from each other and from those of
  // the store and the predefined roots).
  bool Owns(RegHandle handle);
  // Whether handle may be a hive's at all: a test of its bits, without a lock.
  static bool IsHiveHandle(RegHandle handle);
  const std::string& path() const { return path_; }
  // The failure behind the last code other than 0, 2 and 259 that a call of this thread answered.
  HiveError LastError();

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
  long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) override;
  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override;

  long BeginTransaction() override;
  long EndTransaction(bool commit) override;
  long BeginSnapshot() override;
  void EndSnapshot() override;

 private:
  struct Entry {
    hive_node_h node = 0;             // 0: the key was deleted
    std::vector<std::string> path;    // from the root, as the names stand in the file
    std::uint32_t rights = 0;
    std::uint64_t fileGeneration = 0;
  };
  // What the calls ask of one key again and again, read once while nothing changes.
  struct Listing {
    bool keysRead = false, valuesRead = false;
    std::vector<hive_node_h> keys;
    std::vector<std::string> keyNames;
    std::unordered_map<std::string, std::size_t> keyIndex;  // folded name -> position
    std::vector<hive_value_h> values;
    std::vector<std::string> valueNames;
    std::unordered_map<std::string, std::size_t> valueIndex;
  };
  class Call;

  HiveRegistryApi(std::unique_ptr<HiveFile> file, Access access);
  long Fail(long code, std::string message);
  long Resolve(RegHandle handle, std::uint32_t rights, hive_node_h& node, const Entry** entry = nullptr);
  long Walk(hive_node_h from, const std::vector<std::string>& parts, bool create, hive_node_h& node,
            std::vector<std::string>* names);
  long Open(RegHandle parent, const char* subKey, std::uint32_t access, bool create, RegHandle& out);
  Listing* Keys(hive_node_h node);
  Listing* Values(hive_node_h node);
  // A key's values while a change to them is under way (HiveValues.cpp), data as the file holds it.
  struct PendingValue {
    std::string name;
    std::uint32_t type;
    std::string data;
  };
  struct Pending {
    std::vector<PendingValue> values;
    std::unordered_map<std::string, std::size_t> index;  // folded name -> position
    void Reindex();
  };
  long Pend(hive_node_h node, Pending*& table);
  long Flush();
  long ValueCount(hive_node_h node, std::size_t& count);
  long FindValue(hive_node_h node, const char* name, std::size_t& index);
  long ValueAt(hive_node_h node, std::size_t index, std::string& name, std::uint32_t* type, std::string* narrow);
  long RefreshIfReplaced();
  long Reload();
  // Runs change under the folder's lock on the latest file and writes the result out (at once, or at
  // the end of the transaction).
  long Write(const std::function<long(bool& changed)>& change);
  void Changed();

  std::mutex mutex_;
  std::condition_variable idle_;
  std::unique_ptr<HiveFile> file_;
  std::string path_;
  Access access_;
  std::uint64_t fileGeneration_ = 1;
  std::unordered_map<RegHandle, Entry> handles_;
  std::unordered_map<hive_node_h, Listing> listings_;
  std::unordered_map<hive_node_h, int> opened_;  // open handles by key
  std::unordered_map<hive_node_h, Pending> pending_;
  std::unordered_map<std::thread::id, HiveError> errors_;
  // The transaction or snapshot under way, and its thread (others wait for its end).
  enum class Group { kNone, kTransaction, kSnapshot } group_ = Group::kNone;
  std::thread::id groupThread_;
  HiveLock groupLock_;
  bool groupChanged_ = false;
  long groupFailure_ = 0;  // a change of the transaction that failed half done (all of it was taken back)
};

}  // namespace cregistry::hive
