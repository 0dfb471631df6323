// Named temporary files of the Linux copy (where O_TMPFILE is not available, and for replacements):
// ".install-templates.<pid>.<n>.tmp", held under an exclusive flock while their writer lives, and
// the clean-up of those that a run which is gone left behind.
#pragma once

#include <string>
#include <string_view>

#include "install/platform/TempNames.h"
#include "install/platform/posix/FolderWalk.h"

namespace install::platform {

// A named temporary file, removed unless it has been given its final name.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();
  // Creates a new one in `folder`, with `mode` (less the umask) and locked; the descriptor, or -1.
  int Create(FolderFd folder, mode_t mode);
  int folder() const { return folder_->get(); }
  const FolderFd& Folder() const { return folder_; }
  const char* name() const { return name_.c_str(); }
  void Release() { folder_.reset(); }

 private:
  FolderFd folder_;
  std::string name_;
};

// Removes from `folder` the temporary files of runs that are gone: only names of the named kind,
// only regular files, only when the process id in the name is not alive and no one holds the lock.
void RemoveStaleTemporaries(int folder);

}  // namespace install::platform
