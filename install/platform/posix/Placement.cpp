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
#include <utility>
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

// A new temporary file for `job`: anonymous where the file system has them (nothing is left behind
// if the process dies), else a hidden named one, in the destination root during a copy (where a
// later run looks for what a killed one left), or in `folder`. Either kind is made with the
// source's permission bits, from which the kernel takes the process's umask (or applies the
// folder's default ACL), as `cp` without -p does.
bool OpenTemporary(CopyJob& job, const FolderFd* folder) {
  const mode_t mode = job.st.st_mode & 0777;
  if (!job.replace && !folder) {
    job.out.Reset(Sys().openat(job.to.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (job.out) return true;
  }
  job.temp = std::make_unique<TempFile>();
  job.out.Reset(job.temp->Create(folder ? *folder : job.to.scope ? job.to.scope->root() : job.to.folder, mode));
  return static_cast<bool>(job.out);
}

// Writes the job's data and times into a new temporary file and starts its write-back.
bool Write(CopyJob& job, const FolderFd* folder = nullptr) {
  if (!OpenTemporary(job, folder)) return false;
  if (!CopyData(job.in.get(), job.out.get(), job.st.st_size)) return false;
  const struct timespec times[2] = {job.st.st_atim, job.st.st_mtim};
  ::futimens(job.out.get(), times);
  ::sync_file_range(job.out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);  // a head start for the wait below
  return true;
}

// Gives the durable temporary file its name; errno tells why not.
bool Name(CopyJob& job) {
  if (!job.temp) return LinkAnonymous(job.out.get(), job.to.fd(), job.to.name);
  if (!job.out.Close()) return false;  // a write the file system could not complete after all
  TempFile& temp = *job.temp;
  if (job.replace) {
    if (Sys().renameat2(temp.folder(), temp.name(), job.to.fd(), job.to.name, 0) != 0) return false;
    temp.Release();
    return true;
  }
  if (Sys().renameat2(temp.folder(), temp.name(), job.to.fd(), job.to.name, RENAME_NOREPLACE) == 0) {
    temp.Release();
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on any existing name; the temporary
  // name goes with `temp`.
  return Sys().linkat(temp.folder(), temp.name(), job.to.fd(), job.to.name, 0) == 0;
}

bool Durable(const CopyJob& job) { return Sys().fdatasync(job.out.get()) == 0; }

// Makes the data of every job still going durable: one syncfs for each file system they are on,
// which commits the journal once for all of them (fdatasync of each would flush the disk's cache
// once per file). False when one fails.
bool MakeDurable(std::span<CopyJob> jobs) {
  std::vector<std::pair<dev_t, int>> fileSystems;
  for (const CopyJob& job : jobs) {
    struct stat st;
    if (!job.in) continue;
    if (::fstat(job.out.get(), &st) != 0) return false;
    bool known = false;
    for (const auto& fs : fileSystems) known = known || fs.first == st.st_dev;
    if (!known) fileSystems.emplace_back(st.st_dev, job.out.get());
  }
  for (const auto& fs : fileSystems) {
    if (Sys().syncfs(fs.second) != 0) return false;
  }
  return true;
}

}  // namespace

CopyJob::CopyJob() = default;
CopyJob::CopyJob(CopyJob&&) noexcept = default;
CopyJob& CopyJob::operator=(CopyJob&&) noexcept = default;
CopyJob::~CopyJob() = default;

void PlaceCopies(std::span<CopyJob> jobs) {
  for (CopyJob& job : jobs) {
    job.placed = false;
    if (job.in && !Write(job)) job.in.Reset();
  }
  if (!MakeDurable(jobs)) {
    for (CopyJob& job : jobs) job.in.Reset();
  }
  for (CopyJob& job : jobs) {
    if (!job.in) continue;
    job.placed = Name(job);
    if (job.placed || errno != EXDEV || !job.temp) continue;
    // The destination root and this folder are on different file systems: once more, with the
    // temporary file beside the destination.
    const FolderFd folder = job.to.folder;
    if (folder == job.temp->Folder() || ::lseek(job.in.get(), 0, SEEK_SET) != 0) continue;
    job.placed = Write(job, &folder) && Durable(job) && Name(job);
  }
  for (CopyJob& job : jobs) {
    job.out.Reset();
    job.temp.reset();  // removes what was not placed
  }
}

}  // namespace install::platform
