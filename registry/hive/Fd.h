// The POSIX pieces the hive files rest on: an owned descriptor, whole-file reads and writes that retry
// short transfers and EINTR, and the Win32 code a failed call answers with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace cregistry::hive {

// Owns one file descriptor (closed once, on destruction or Reset).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Reads size bytes at offset; false with errno set on failure, false with errno 0 at an early end of file.
bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset);
// Copies size bytes of from, from its start, to the start of to, inside the kernel (sendfile), or through
// ReadAt into data (to's mapping) where the kernel cannot; false with errno set on failure.
bool CopyFile(int to, int from, std::uint8_t* data, std::size_t size);

// Writes size bytes at offset; false with errno set on failure.
bool WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset);
// An anonymous in-memory file of a fixed size, mapped into the process (shared: the file's bytes are the
// map's), and the path that opens the file again, "/proc/self/fd/N". Owns the map and the descriptor.
class MemoryFile {
 public:
  // The file, or one that is false with errno set.
  explicit MemoryFile(std::size_t size);
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile();

  explicit operator bool() const { return data_ != nullptr; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  int fd() const { return fd_.get(); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

 private:
  UniqueFd fd_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Frees what libhivex hands over with malloc (names, lists, data).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

// The Win32 code for what a libhivex call says in errno: the file system's as CodeForErrno gives them,
// a damaged hive (kBadDb) for the rest.
long HivexCode(int error);

// The Win32 code for an errno value: 2 for a missing file, 5 for a refusal, 112 for a full disk, 183 for an
// existing file, the registry's I/O failure otherwise.
long CodeForErrno(int error);
// "strerror(error)", safely.
std::string ErrnoText(int error);

}  // namespace cregistry::hive
