// The output file's platform part on Linux: open(2) with O_EXCL, write(2), fsync(2), and renameat2(2)
// with RENAME_NOREPLACE (falling back to link(2) and unlink(2) where the file system lacks it).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/cregistry/OutputFile.h"

namespace cregistry::tool::platform {

namespace {
std::error_code LastError() { return {errno, std::generic_category()}; }
}  // namespace

int CreateExclusive(const std::string& path, std::error_code& ec) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) ec = LastError();
  return fd;
}

std::error_code WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code SyncAndClose(int fd) {
  std::error_code ec;
  if (::fsync(fd) != 0) ec = LastError();
  if (::close(fd) != 0 && !ec) ec = LastError();
  return ec;
}

void Close(int fd) { ::close(fd); }

std::error_code Place(const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code{} : LastError();
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return LastError();
  if (::link(from.c_str(), to.c_str()) != 0) return LastError();
  ::unlink(from.c_str());
  return {};
}

void Remove(const std::string& path) { ::unlink(path.c_str()); }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace cregistry::tool::platform
