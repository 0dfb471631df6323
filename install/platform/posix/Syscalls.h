// The system calls of the Linux copy whose failure leads to a fallback, or whose order the copy's
// guarantees rest on (data made durable before a name is given), called through a table so that a
// test can make one fail (with ENOSYS, EXDEV, EINVAL...) and see the fallback work, or watch the
// order. The table starts out holding the real calls.
#pragma once

#include <sys/types.h>

namespace install::platform {

struct Syscalls {
  // openat2(2) with RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH, opening a folder as O_PATH.
  int (*openFolderBeneath)(int dirFd, const char* relative);
  int (*openat)(int dirFd, const char* path, int flags, mode_t mode);
  ssize_t (*copyFileRange)(int in, int out, size_t length);
  int (*renameat2)(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
  int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
  int (*fdatasync)(int fd);
  int (*syncfs)(int fd);
};

// The table in use. Tests change entries and put the saved table back.
Syscalls& Sys();

}  // namespace install::platform
