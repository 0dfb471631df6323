#include "registry/hive/Fd.h"

#include <cregistry/Store.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry/hive/HiveFile.h"

namespace cregistry::hive {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // Linux releases the descriptor even when close reports an error
  fd_ = fd;
}

bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool CopyFile(int to, int from, std::uint8_t* data, std::size_t size) {
  off_t offset = 0;
  while (static_cast<std::size_t>(offset) < size) {
    const ssize_t n = ::sendfile(to, from, &offset, size - static_cast<std::size_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EINVAL || errno == ENOSYS) && offset == 0) return ReadAt(from, data, size, 0);
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
  }
  return true;
}

MemoryFile::MemoryFile(std::size_t size) : fd_(::memfd_create("hive", MFD_CLOEXEC)) {
  if (!fd_ || ::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return;
  void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
  if (map == MAP_FAILED) return;
  data_ = static_cast<std::uint8_t*>(map);
  size_ = size;
}

MemoryFile::~MemoryFile() {
  if (data_) ::munmap(data_, size_);
}

long CodeForErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return win32::kFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return win32::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return win32::kDiskFull;
    case EEXIST:
      return kAlreadyExists;
    case ENOMEM:
      return win32::kOutOfMemory;
    default:
      return win32::kRegistryIoFailed;
  }
}

long HivexCode(int error) {
  const long code = CodeForErrno(error);
  return code == win32::kRegistryIoFailed ? win32::kBadDb : code;
}

std::string ErrnoText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

}  // namespace cregistry::hive
