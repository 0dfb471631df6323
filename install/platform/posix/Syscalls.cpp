// The real system calls behind the table of Syscalls.h (Linux).
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "install/platform/posix/Syscalls.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace install::platform {

namespace {

int RealOpenFolderBeneath(int dirFd, const char* relative) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  return static_cast<int>(::syscall(SYS_openat2, dirFd, relative, &how, sizeof how));
}

}  // namespace

Syscalls& Sys() {
  static Syscalls table{
      RealOpenFolderBeneath,
      [](int dirFd, const char* path, int flags, mode_t mode) { return ::openat(dirFd, path, flags, mode); },
      [](int in, int out, size_t length) { return ::copy_file_range(in, nullptr, out, nullptr, length, 0); },
      [](int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
        return ::renameat2(fromDir, from, toDir, to, flags);
      },
      [](int fromDir, const char* from, int toDir, const char* to, int flags) {
        return ::linkat(fromDir, from, toDir, to, flags);
      },
      ::fdatasync,
      ::syncfs,
  };
  return table;
}

}  // namespace install::platform
