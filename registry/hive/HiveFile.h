// One Windows hive file (the regf format) in memory, read and changed through libhivex, and written back
// whole: a new file beside the old one, synced and renamed over it. Linux only.
//
//   hive::HiveError error;
//   auto file = hive::HiveFile::Open("/mnt/win/Windows/System32/config/SOFTWARE", hive::Access::kWrite, error);
//   ... hivex calls on file->get() ...
//   file->Commit(file->path(), hive::Replace::kYes, error);
//
// Open checks what libhivex does not before any other call may reach the file's cells: the base block
// (signature, checksum, versions, sizes), the bins, and a walk of the whole key tree (no key reached
// twice, no count larger than its cell holds, every offset inside the file), so that walks and look-ups
// made later over the handles cannot loop or read outside the hive; and what libhivex's writes rely on
// (each cell but a security cell used once, security cells counting the keys that use them, each key
// naming its parent, every name decodable, no value longer than libhivex reads), so that a deleted key
// cannot free a cell still in use or stop halfway. A damaged or hostile file is refused with kBadDb and a
// one-line message; nothing is written.
#pragma once

#include <hivex.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace cregistry::hive {

enum class Access { kRead, kWrite };
enum class Replace { kNo, kYes };

// A failure: the Win32 code the registry calls answer with (kBadDb for a damaged or unclean hive,
// kFileNotFound, kAccessDenied, kDiskFull, kAlreadyExists for a file that Commit may not replace...)
// and one line that says what and why ("/x/SOFTWARE: the hive was not written out cleanly: ...").
struct HiveError {
  long code = 0;
  std::string message;
};

inline constexpr long kAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

// Where a file stood when it was read: another process that replaced it since changes this.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileIdentity&) const;
};

// Closes a hive_h (uncommitted changes are lost).
struct HivexCloser {
  void operator()(hive_h* handle) const { hivex_close(handle); }
};
using HivexHandle = std::unique_ptr<hive_h, HivexCloser>;

// Owns one hive_h.
class HiveFile {
 public:
  // Opens the hive at path into memory (a copy: the file may be replaced or rewritten under a reader).
  // kWrite refuses a hive whose two sequence numbers differ (Windows did not write it out cleanly and
  // its changes are still in its .LOG1/.LOG2 files); kRead opens it and sets *warning to a line that
  // says so (warning may be nullptr). nullptr with error set on failure.
  static std::unique_ptr<HiveFile> Open(const std::string& path, Access access, HiveError& error,
                                        std::string* warning = nullptr);
  // A new hive holding only its root key, laid out by hand (base block of format 1.5 with its checksum,
  // one bin, the root key with a security descriptor that gives SYSTEM and Administrators full control
  // and Users read access, inherited by the keys below), open for changes. path() is empty until Commit.
  static std::unique_ptr<HiveFile> CreateEmpty(HiveError& error);

  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;
  ~HiveFile() = default;

  hive_h* get() const { return handle_.get(); }
  hive_node_h Root() const;
  const std::string& path() const { return path_; }
  const FileIdentity& identity() const { return identity_; }
  // The format's minor version (3: Windows NT 4.0 and older; 5: Windows XP and later).
  std::uint32_t MinorVersion() const { return minorVersion_; }

  // Writes the hive in memory to target: into a new file beside target (created exclusively), with data
  // larger than one cell holds split into big-data records where the format version asks for them
  // (minor version 4 and later), synced, given the mode and owner of the file it replaces (a new file:
  // 0644 less the umask), renamed over target, and the folder synced. A killed process leaves the old
  // file or the new one. Replace::kNo refuses a target that exists (kAlreadyExists); a hive read from a
  // file that was not written out cleanly is not written over that file (kBadDb). On success path() and
  // identity() are those of target.
  long Commit(const std::string& target, Replace replace, HiveError& error);

  // Whether the file at path is still the one this hive was read from (or last written to).
  bool SameFileAt(const std::string& path) const;

 private:
  HiveFile() = default;
  HivexHandle handle_;
  std::string path_;
  FileIdentity identity_;
  std::uint32_t minorVersion_ = 5;
  bool unclean_ = false;  // read (kRead) from a file whose logs hold changes it lacks
};

// An exclusive lock, held while one process reads, changes and writes a hive, on the folder that holds
// it (the file itself is replaced by each write, so a lock on it would be lost): two processes that
// change the same hive take turns, and the later one reads the earlier one's file first.
class HiveLock {
 public:
  // Takes the lock for the hive at path, waiting for another holder; code 0 on success.
  static long Take(const std::string& hivePath, HiveLock& lock, HiveError& error);
  HiveLock() = default;
  HiveLock(HiveLock&& other) noexcept;
  HiveLock& operator=(HiveLock&& other) noexcept;
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;
  ~HiveLock();

 private:
  int fd_ = -1;
};

}  // namespace cregistry::hive
