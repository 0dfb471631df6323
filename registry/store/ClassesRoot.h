// HKEY_CLASSES_ROOT as Windows merges it: a view of two parts, the user's HKEY_CURRENT_USER\Software\Classes
// over the machine's HKEY_LOCAL_MACHINE\SOFTWARE\Classes (the two parts may lie in two store files, the
// user's and the machine's, or in one).
//
//   Reads    a path of HKEY_CLASSES_ROOT stands for the user's key at that path when there is one, else
//            for the machine's: a key in the user's part hides the machine's key of the same path, its
//            values with it, at every depth (a key that only the machine's part has shows through
//            below a key that both have).
//   Listings the sub-keys of a key are the union of both parts' sub-keys at its path, each name once (as
//            the user's part spells it), in the registry's case-insensitive order. Its values are those
//            of the key it stands for.
//   Writes   a value write goes to the key that the path stands for (the user's when it has the key).
//            A new key goes to the part that holds the deepest key of its path that exists: the
//            user's when it holds that key, the machine's otherwise (so a new key right below the root
//            is the machine's, as Windows documents). A part that this process may not write answers
//            kAccessDenied, as the store does.
//
// Every call looks the path up afresh in both parts (the read cache makes that a look-up in memory), so a
// handle follows keys that either part gains or loses meanwhile.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "registry/store/RegistryStore.h"

namespace cregistry::store {

// A key of HKEY_CLASSES_ROOT as a handle knows it: its path below the root (the components as the caller
// gave them), and where the listing of its sub-keys stands.
class ClassesKey {
 public:
  explicit ClassesKey(std::vector<std::string> path) : path_(std::move(path)) {}
  const std::vector<std::string>& path() const { return path_; }

 private:
  friend class ClassesRoot;
  const std::vector<std::string> path_;
  // The listing: entries 0 .. next-1 answered, the last of them current. The user's part's sub-keys are
  // read whole when a listing starts (that part is mostly small); the machine's part is stepped through
  // alongside, so that its store's cursor serves it.
  std::mutex mutex_;
  std::uint32_t next_ = 0;
  std::string current_;
  std::int64_t userKey_ = 0, machineKey_ = 0;  // the keys the listing was started on
  std::vector<std::string> userNames_;
  std::size_t userAt_ = 0;
  std::uint32_t machineAt_ = 0;
  std::string machineHead_;
  bool haveMachineHead_ = false;
  bool machineDone_ = false;
};

class ClassesRoot {
 public:
  ClassesRoot(RegistryStore& user, RegistryStore& machine) : user_(user), machine_(machine) {}

  using Path = std::vector<std::string_view>;
  // A key of one part: its store and its reference there.
  struct Place {
    RegistryStore* store = nullptr;
    KeyRef key;
  };

  // The key that path stands for; kFileNotFound when neither part has it.
  long Find(const Path& path, Place& out);
  // Where CreateKey makes path: the existing key it stands for (rest empty), or the key of the chosen
  // part below which the components in rest are missing.
  long PlaceForCreate(const Path& path, Place& parent, Path& rest);
  // RegEnumKeyA on the merged key.
  long EnumKey(ClassesKey& key, std::uint32_t index, char* name, std::uint32_t nameSize);

 private:
  // The key at path in one part; kFileNotFound when the part does not have it.
  long FindIn(bool userPart, const Path& path, Place& out);
  // Steps the listing of key once.
  long Advance(ClassesKey& key);

  RegistryStore& user_;
  RegistryStore& machine_;
};

}  // namespace cregistry::store
