// Linux only: see Temporaries.h.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "install/platform/posix/Temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "install/platform/posix/Syscalls.h"

namespace install::platform {

TempFile::~TempFile() {
  if (folder_) ::unlinkat(folder_->get(), name_.c_str(), 0);
}

int TempFile::Create(FolderFd folder, mode_t mode) {
  static std::atomic<unsigned long> counter{0};
  const std::string pid = std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name(kTempPrefix);
    name.append(pid).append(".").append(std::to_string(++counter)).append(kTempSuffix);
    const int fd = Sys().openat(folder->get(), name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::flock(fd, LOCK_EX);  // tells a later run that this file's writer is alive
      folder_ = std::move(folder);
      name_ = std::move(name);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

void RemoveStaleTemporaries(int folder) {
  UniqueFd listFd(Sys().openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (!listFd) return;
  UniqueDir dir(::fdopendir(listFd.get()));
  if (!dir) return;
  listFd.Release();  // the stream owns it now
  const pid_t self = ::getpid();
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string_view name(e->d_name);
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    const std::string_view id = name.substr(kTempPrefix.size());
    std::size_t pos = 0;
    std::uint64_t number = 0;
    if (!ReadNameNumber(id, pos, '.', 999999999, number)) continue;
    const pid_t pid = static_cast<pid_t>(number);
    if (pid <= 0 || pid == self) continue;
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive (or not ours to judge)
    UniqueFd fd(Sys().openat(folder, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat opened, named;
    if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a writer in another pid namespace
    if (::fstatat(folder, e->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
      continue;
    }
    ::unlinkat(folder, e->d_name, 0);
  }
}

}  // namespace install::platform
