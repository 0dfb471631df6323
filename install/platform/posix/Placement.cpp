// Linux only (O_TMPFILE, renameat2, copy_file_range, /proc): see Placement.h.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "install/platform/posix/Placement.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "install/platform/posix/Syscalls.h"
#include "install/platform/posix/Temporaries.h"

namespace install::platform {

namespace {

// Copies `in` to `out`, in the kernel where it can, else through a buffer: the `size` bytes that
// fstat reported, or up to the end should the file have grown meanwhile.
bool CopyData(int in, int out, off_t size) {
  off_t copied = 0;
  for (;;) {
    const ssize_t n = Sys().copyFileRange(in, out, std::size_t{1} << 30);
    if (n > 0) {
      copied += n;
      if (copied == size) return true;  // spares the call that would only report the end
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (copied > 0 || (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                   errno != EBADF && errno != EPERM)) {
      return false;
    }
    break;
  }
  thread_local std::vector<char> buffer(std::size_t{256} << 10);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

// Gives the anonymous (O_TMPFILE) file `fd` the name `name` in the folder `dirFd`; fails when the
// name is taken.
bool LinkAnonymous(int fd, int dirFd, const char* name) {
  // Directly by descriptor where the kernel allows it (privileged, or Linux 6.10 and later for a
  // file the caller opened), else through /proc.
  if (Sys().linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return true;
  if (errno != EPERM && errno != ENOENT && errno != EINVAL) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Sys().linkat(AT_FDCWD, self.c_str(), dirFd, name, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

bool PlaceCopy(int in, const struct stat& st, Place to, bool replace) {
  // The data goes to a temporary file first: an anonymous one where the file system has them
  // (nothing is left behind if the process dies). Either kind is made with the source's permission
  // bits, from which the kernel takes the process's umask (or applies the folder's default ACL), as
  // `cp` without -p does. Else a hidden named one, in
  // the destination root during a copy (where a later run looks for what a killed one left), or
  // beside the destination should that root lie on another file system.
  const mode_t mode = st.st_mode & 0777;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (!replace) {
    UniqueFd out(Sys().openat(to.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (out) {
      if (!CopyData(in, out.get(), st.st_size)) return false;
      ::futimens(out.get(), times);
      return LinkAnonymous(out.get(), to.fd(), to.name);
    }
  }
  FolderFd tempFolder = to.scope ? to.scope->root() : to.folder;
  for (int attempt = 0; attempt < 2; ++attempt) {
    TempFile temp;
    UniqueFd out(temp.Create(tempFolder, mode));
    if (!out) return false;
    if (attempt > 0 && ::lseek(in, 0, SEEK_SET) != 0) return false;
    if (!CopyData(in, out.get(), st.st_size)) return false;
    ::futimens(out.get(), times);
    if (!out.Close()) return false;  // a write the file system could not complete after all
    bool placed = false;
    if (replace) {
      placed = Sys().renameat2(temp.folder(), temp.name(), to.fd(), to.name, 0) == 0;
    } else {
      placed = Sys().renameat2(temp.folder(), temp.name(), to.fd(), to.name, RENAME_NOREPLACE) == 0;
      if (!placed && (errno == EINVAL || errno == ENOSYS)) {
        // File systems without RENAME_NOREPLACE: a hard link fails on any existing name.
        placed = Sys().linkat(temp.folder(), temp.name(), to.fd(), to.name, 0) == 0;
        if (placed) return true;  // the temporary name goes with `temp`
        if (errno != EXDEV || tempFolder == to.folder) return false;
        tempFolder = to.folder;
        continue;
      }
    }
    if (placed) {
      temp.Release();
      return true;
    }
    if (errno != EXDEV || tempFolder == to.folder) return false;
    tempFolder = to.folder;  // the destination root and this folder are on different file systems
  }
  return false;
}

}  // namespace install::platform
