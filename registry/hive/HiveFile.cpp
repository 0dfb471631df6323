// Opening a hive (the checks, then libhivex over a private copy of the checked bytes), a new empty hive,
// the file's identity and the folder lock. Commit is in HiveCommit.cpp.
#include "registry/hive/HiveFile.h"

#include <cregistry/Store.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry/hive/EmptyHive.h"
#include "registry/hive/Fd.h"
#include "registry/hive/HiveCheck.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive {

namespace {

std::nullptr_t Fail(HiveError& error, long code, std::string message) {
  error.code = code;
  error.message = std::move(message);
  return nullptr;
}

std::nullptr_t Damaged(HiveError& error, const std::string& name, const std::string& why) {
  return Fail(error, win32::kBadDb, name + ": not a hive file or a damaged one: " + why);
}

FileIdentity IdentityOf(const struct stat& status) {
  return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

// Hands a hive's bytes (whose base block passed CheckBaseBlock), in an in-memory file of our own, to
// libhivex and checks them whole: the bins first, then the key tree through the new handle. libhivex reads
// that file into its own copy, so it holds exactly the bytes checked here, whatever happens to the hive's
// file meanwhile.
HivexHandle Load(const MemoryFile& image, const BaseBlock& base, const std::string& name, HiveError& error) {
  const std::span<const std::uint8_t> bytes(image.data(), image.size());
  CellMap cells(bytes.size());
  if (std::string why = ScanBins(bytes, base, cells); !why.empty()) return Damaged(error, name, why);
  // libhivex compares the plain XOR; Windows moves two of its values aside (CheckBaseBlock takes both).
  regf::Put32(image.data() + regf::base::kChecksum, regf::RawChecksum(image.data()));
  HivexHandle handle(hivex_open(image.path().c_str(), HIVEX_OPEN_WRITE));
  if (!handle) return Damaged(error, name, "libhivex refuses it (" + ErrnoText(errno) + ")");
  if (std::string why = CheckTree(handle.get(), bytes, base, cells); !why.empty()) return Damaged(error, name, why);
  return handle;
}

std::nullptr_t NoMemoryFile(HiveError& error, const std::string& name) {
  const int e = errno;
  return Fail(error, CodeForErrno(e), name + ": cannot make a copy of the hive in memory: " + ErrnoText(e));
}

long LockFailed(HiveError& error, const std::string& hivePath, const char* what) {
  const int e = errno;
  error.code = CodeForErrno(e);
  error.message = hivePath + ": " + what + ": " + ErrnoText(e);
  return error.code;
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::unique_ptr<HiveFile> HiveFile::Open(const std::string& path, Access access, HiveError& error,
                                         std::string* warning) {
  if (warning) warning->clear();
  // O_NONBLOCK: a FIFO planted under the hive's name is refused below instead of blocking here.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR) return Fail(error, win32::kFileNotFound, path + ": no such file");
    if (e == EACCES || e == EPERM) return Fail(error, win32::kAccessDenied, path + ": " + ErrnoText(e));
    return Damaged(error, path, ErrnoText(e));
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return Damaged(error, path, ErrnoText(errno));
  if (!S_ISREG(status.st_mode)) return Damaged(error, path, "not a regular file");

  std::uint8_t block[regf::kBaseBlockSize];
  BaseBlock base;
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);
  if (fileSize < sizeof block) return Damaged(error, path, "shorter than a base block");
  if (!ReadAt(fd.get(), block, sizeof block, 0)) {
    return Damaged(error, path, errno != 0 ? ErrnoText(errno) : "the file shrank while it was read");
  }
  if (std::string why = CheckBaseBlock(block, fileSize, base); !why.empty()) return Damaged(error, path, why);

  if (base.primarySequence != base.secondarySequence) {
    const std::string unclean = path + ": the hive was not written out cleanly (sequence numbers " +
                                std::to_string(base.primarySequence) + " and " +
                                std::to_string(base.secondarySequence) + "); its last changes are still in " + path +
                                ".LOG1/.LOG2";
    if (access == Access::kWrite) {
      return Fail(error, win32::kBadDb,
                  unclean + ": let Windows (or a tool that replays the logs) bring it up to date first");
    }
    if (warning) *warning = unclean + ", and are not seen here";
  }

  // What lies past the last bin is no part of the hive: libhivex never sees it, and Commit drops it.
  const MemoryFile image(base.binsEnd);
  if (!image) return NoMemoryFile(error, path);
  // The kernel copies the file (the bytes checked are those copied: the block is read again with them).
  if (!CopyFile(image.fd(), fd.get(), image.data(), base.binsEnd) ||
      std::memcmp(image.data(), block, sizeof block) != 0) {
    return Damaged(error, path, errno != 0 ? ErrnoText(errno) : "the file shrank while it was read");
  }
  HivexHandle handle = Load(image, base, path, error);
  if (!handle) return nullptr;

  std::unique_ptr<HiveFile> file(new HiveFile());
  file->handle_ = std::move(handle);
  file->path_ = path;
  file->identity_ = IdentityOf(status);
  file->minorVersion_ = base.minor;
  file->unclean_ = base.primarySequence != base.secondarySequence;
  return file;
}

std::unique_ptr<HiveFile> HiveFile::CreateEmpty(HiveError& error) {
  const std::vector<std::uint8_t> bytes = EmptyHiveImage(regf::FileTimeNow());
  BaseBlock base;
  if (std::string why = CheckBaseBlock(bytes, bytes.size(), base); !why.empty()) {
    return Damaged(error, "new hive", why);
  }
  const MemoryFile image(bytes.size());
  if (!image) return NoMemoryFile(error, "new hive");
  std::memcpy(image.data(), bytes.data(), bytes.size());
  HivexHandle handle = Load(image, base, "new hive", error);
  if (!handle) return nullptr;
  std::unique_ptr<HiveFile> file(new HiveFile());
  file->handle_ = std::move(handle);
  file->minorVersion_ = base.minor;
  return file;
}

hive_node_h HiveFile::Root() const { return hivex_root(handle_.get()); }

bool HiveFile::SameFileAt(const std::string& path) const {
  struct stat status;
  return !path_.empty() && ::stat(path.c_str(), &status) == 0 && IdentityOf(status) == identity_;
}

long HiveLock::Take(const std::string& hivePath, HiveLock& lock, HiveError& error) {
  const std::size_t slash = hivePath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : hivePath.substr(0, slash);
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return LockFailed(error, hivePath, "cannot open its folder to lock it");
  int rc;
  while ((rc = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) return LockFailed(error, hivePath, "cannot lock its folder");
  lock = HiveLock();
  lock.fd_ = fd.Release();
  return 0;
}

HiveLock::HiveLock(HiveLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

HiveLock& HiveLock::operator=(HiveLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the lock
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

HiveLock::~HiveLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace cregistry::hive
