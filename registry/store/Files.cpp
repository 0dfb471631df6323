#include "registry/store/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include <cregistry/RegistryApi.h>
#include "registry/store/Schema.h"

namespace cregistry::store::files {

using namespace cregistry::win32;

namespace {

std::string FolderOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

long MakeParentFolders(const std::string& path, mode_t mode) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return kSuccess;
  std::string folder = path.substr(0, slash);
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kSuccess : kBadPathname;
  if (long rc = MakeParentFolders(folder, mode)) return rc;
  if (mkdir(folder.c_str(), mode) != 0) return errno == EEXIST ? kSuccess : FromErrno(errno);
  if (chmod(folder.c_str(), mode) != 0) return FromErrno(errno);
  return kSuccess;
}

long MakeStoreFile(const std::string& path, mode_t mode) {
  // mknod makes a regular file without opening it (so no descriptor of it is ever closed here, while
  // another thread's connection may already have the new file open) and, like O_EXCL, fails on
  // anything at path, a symbolic link included.
  if (mknod(path.c_str(), S_IFREG | mode, 0) == 0) return chmod(path.c_str(), mode) == 0 ? kSuccess : FromErrno(errno);
  if (errno == EPERM || errno == EOPNOTSUPP) {
    // A file system that makes no file this way (FAT): made by open(2) and closed at once (only a
    // connection that another thread opened on the new file in that instant could lose its locks).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0) {
      ::close(fd);
      return chmod(path.c_str(), mode) == 0 ? kSuccess : FromErrno(errno);
    }
  }
  if (errno != EEXIST) return FromErrno(errno);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return kAccessDenied;  // a symbolic link to nothing: no store at its end
  return kSuccess;
}

long SetReaders(const std::string& path, bool everyone) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return kAccessDenied;
  const mode_t owner = st.st_mode & 0700;
  const mode_t wanted = everyone ? owner | 0044 : owner;
  if ((st.st_mode & 0777) != wanted && chmod(path.c_str(), wanted) != 0) return FromErrno(errno);
  return kSuccess;
}

bool Trusted(const std::string& path, std::string& why) {
  const uid_t self = geteuid();
  const auto ours = [&](const struct stat& st) { return st.st_uid == 0 || st.st_uid == self; };
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode) && !ours(st)) {
      why = "the link " + path + " belongs to another user";
      return false;
    }
    if (stat(path.c_str(), &st) == 0) {
      if (!ours(st)) {
        why = "the file belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
      }
      if ((st.st_mode & 022) != 0) {
        why = "other users may write the file";
        return false;
      }
    }
  }
  char resolved[PATH_MAX];
  if (realpath(FolderOf(path).c_str(), resolved) == nullptr) return true;  // no folder yet: nothing to plant in
  std::string folder = resolved;
  for (bool holder = true;; holder = false) {
    if (stat(folder.c_str(), &st) != 0) break;
    const bool othersWrite = (st.st_mode & 022) != 0;
    if (!ours(st) || (othersWrite && (holder || (st.st_mode & S_ISVTX) == 0))) {
      why = "the folder " + folder + (ours(st) ? " may be written by other users" : " belongs to another user");
      return false;
    }
    if (folder == "/") break;
    folder = FolderOf(folder);
  }
  return true;
}

bool OnReadOnlyFileSystem(const std::string& path) {
  struct statvfs vfs;
  return statvfs(path.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

bool ShmHeader(const std::string& path, unsigned char* out, std::size_t size) {
  // Never destroyed: a thread may read a header while the process ends.
  struct Table {
    std::mutex mutex;
    std::unordered_map<std::string, int> open;
  };
  static Table& table = *new Table;
  std::lock_guard lock(table.mutex);
  int& fd = table.open.try_emplace(path, -1).first->second;
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_nlink == 0)) fd = -1;  // removed: the old descriptor stays open
  if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  return ::pread(fd, out, size, 0) == static_cast<ssize_t>(size);
}

}  // namespace cregistry::store::files
