// HiveFile::Commit: the hive in memory becomes a new file beside the target, made whole and durable
// before it takes the target's name, so that the name always stands for a complete hive, old or new.
#include <cregistry/Store.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "registry/hive/PostCommit.h"
#include "registry/hive/Fd.h"
#include "registry/hive/HiveFile.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive {

namespace {

// A new file ".NAME.XXXXXX" in a folder, removed again on destruction unless it was given its name.
class TempFile {
 public:
  explicit TempFile(int folder) : folder_(folder) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }

  // Creates the file exclusively (mode 0644 less the umask); 0 or errno.
  int Create(const std::string& targetName) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
      unsigned char random[6];
      if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return errno;
      std::string name = "." + targetName.substr(0, 200) + ".";
      for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
      fd_.Reset(::openat(folder_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
      if (fd_) {
        name_ = std::move(name);
        return 0;
      }
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  // The path that opens this very file, whatever happens to its name.
  std::string FdPath() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }
  // The file has its final name: nothing to remove.
  void Named() { name_.clear(); }

 private:
  int folder_;
  std::string name_;
  UniqueFd fd_;
};

}  // namespace

long HiveFile::Commit(const std::string& target, Replace replace, HiveError& error) {
  const auto fail = [&](long code, const std::string& why) {
    error.code = code;
    error.message = target + ": " + why;
    return code;
  };
  const auto failed = [&](const char* what, int e) {
    if (e == EEXIST) return fail(kAlreadyExists, "the file exists (it appeared while the hive was written)");
    return fail(CodeForErrno(e), what + (": " + ErrnoText(e)));
  };

  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return fail(win32::kInvalidParameter, "not a file name");
  if (unclean_ && SameFileAt(target)) {
    return fail(win32::kBadDb, "the hive was not written out cleanly, and writing it over its file would lose the "
                               "changes still in its .LOG1/.LOG2");
  }
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return failed("cannot open its folder", errno);

  struct stat old;
  const bool exists = ::fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return failed("cannot look at it", errno);
  if (exists && replace == Replace::kNo) return fail(kAlreadyExists, "the file exists");
  if (exists && S_ISDIR(old.st_mode)) return fail(win32::kAccessDenied, "a folder has that name");

  TempFile temp(dir.get());
  if (int e = temp.Create(name)) return failed("cannot create a file beside it", e);
  // hivex_commit opens the file again by this path, truncates it and writes the whole hive.
  if (hivex_commit(handle_.get(), temp.FdPath().c_str(), 0) != 0) return failed("cannot write the hive", errno);
  std::string why;
  if (int e = PrepareForWindows(temp.fd(), regf::FileTimeNow(), why)) return failed(why.c_str(), e);
  if (exists && S_ISREG(old.st_mode)) {
    // Only root gives a file away; another process keeps its own ownership, with the old file's mode.
    if (::fchown(temp.fd(), old.st_uid, old.st_gid) != 0 && errno != EPERM) {
      return failed("cannot give the new file the old one's owner", errno);
    }
    if (::fchmod(temp.fd(), old.st_mode & 07777) != 0) {
      return failed("cannot give the new file the old one's mode", errno);
    }
  }
  if (::fsync(temp.fd()) != 0) return failed("cannot write the hive to disk", errno);
  struct stat written;
  if (::fstat(temp.fd(), &written) != 0) return failed("cannot look at the written file", errno);

  if (replace == Replace::kYes) {
    if (::renameat(dir.get(), temp.name().c_str(), dir.get(), name.c_str()) != 0) {
      return failed("cannot replace it", errno);
    }
    temp.Named();
  } else if (::renameat2(dir.get(), temp.name().c_str(), dir.get(), name.c_str(), RENAME_NOREPLACE) == 0) {
    temp.Named();
  } else if (errno != EINVAL && errno != ENOSYS) {
    return failed("cannot give the file its name", errno);
  } else if (::linkat(dir.get(), temp.name().c_str(), dir.get(), name.c_str(), 0) != 0) {
    // A file system without RENAME_NOREPLACE: a hard link never replaces either; the temporary name goes.
    return failed("cannot give the file its name", errno);
  }
  path_ = target;
  identity_ = FileIdentity{written.st_dev, written.st_ino, written.st_size, written.st_mtim};
  unclean_ = false;
  if (::fsync(dir.get()) != 0) return failed("written, but its folder could not be synced", errno);
  return 0;
}

}  // namespace cregistry::hive
