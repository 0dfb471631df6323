// The folder walk of the Linux platform: folders opened by descriptor, each reached from its
// parent's descriptor or beneath a root without following any link, and the copies in progress,
// which keep the folders they opened in a small cache for their own life, never longer.
#pragma once

#include <fcntl.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "install/platform/Platform.h"
#include "install/platform/ScopeList.h"
#include "install/platform/posix/UniqueFd.h"

namespace install::platform {

// An open folder (O_PATH), shared by a copy's cache and the calls using it, so that leaving the
// cache never closes a descriptor in use.
using FolderFd = std::shared_ptr<const UniqueFd>;

// The folder `path` opened relative to `dirFd` (O_PATH | O_DIRECTORY, plus `extraFlags`); null with
// errno set when it cannot be.
FolderFd OpenFolder(int dirFd, const char* path, int extraFlags = 0);

class CopyScopes;

// One copy in progress (BeginCopy), or one walk of a source tree (BeginWalk): its roots, each
// opened once, and the folders opened below either root, kept for the life of the copy only.
class Scope final : public CopyScope {
 public:
  // `dest` empty: a walk of the source tree only.
  Scope(CopyScopes& owner, const std::string& source, const std::string& dest, FolderFd sourceRoot,
        FolderFd root);
  ~Scope() override;

  const std::string& sourcePrefix() const { return sourcePrefix_; }
  const std::string& destPrefix() const { return destPrefix_; }  // empty for a walk
  const FolderFd& root() const { return root_; }                 // the destination root

  // The source folder `folder` (a path below the source root), reached from the nearest open
  // folder above it, so that no path length limits the depth.
  FolderFd SourceFolder(std::string_view folder);
  // The destination folder `relative` (a path below the destination root), reached the same way
  // without following any link.
  FolderFd DestFolder(std::string_view relative);

  // Notes that a name was given in `folder` (the destination root or a folder below it).
  void NamedInto(const FolderFd& folder);
  // Makes durable, with one syncfs per file system, everything named into the folders noted.
  bool Commit() override;

 private:
  // The folder `key` names (a source folder path, or "\n" + a folder path relative to the
  // destination root, neither with a trailing "/"), or null when it is not cached.
  FolderFd Find(std::string_view key);
  void Put(std::string_view key, FolderFd fd);
  // The folder `key`, whose components start at `base` (shorter: `top` itself): from the cache, else
  // from the deepest cached folder above it (or `top`), one step at a time where the path is too
  // long for one call. `beneath`: no link is followed.
  FolderFd Reach(std::string_view key, std::size_t base, const FolderFd& top, bool beneath);

  struct Entry {
    std::string key;
    FolderFd fd;
    unsigned long used = 0;
  };

  CopyScopes& owner_;
  const std::string sourcePrefix_, destPrefix_;
  const FolderFd sourceRoot_, root_;
  std::mutex mutex_;
  Entry entries_[16];
  unsigned long clock_ = 0;
  std::vector<std::pair<dev_t, FolderFd>> fileSystems_;  // named into: one folder of each
};

// Where a path lies: its folder, opened, and its last component.
struct Place {
  FolderFd folder;         // null: the path has no folder part (relative to the working folder)
  const char* name = "";   // points into the path
  Scope* scope = nullptr;  // the copy whose destination holds the path: no link is followed there
  int fd() const { return folder ? folder->get() : AT_FDCWD; }
};

// The copies in progress on one platform object, and the look-up of a path among them.
class CopyScopes {
 public:
  // A copy from `source` into `dest` (opened as `root`), or with `dest` empty a walk of `source`.
  std::unique_ptr<Scope> Begin(const std::string& source, const std::string& dest, FolderFd root);
  void End(Scope* scope) { scopes_.Remove(scope); }

  // The folder of `path`, opened, and its last component. Below a copy's destination root the
  // folder is reached without following any link; folders below either root of a copy are kept
  // open for the rest of that copy. False (errno set) when the folder cannot be opened.
  bool At(const std::string& path, Place& place);

 private:
  ScopeList<Scope> scopes_;
};

}  // namespace install::platform
