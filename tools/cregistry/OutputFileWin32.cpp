// The output file's platform part on Windows: the C runtime's _open with _O_EXCL, _write, _commit, and
// MoveFileExA (replacing only when asked). Paths are in the process code page, UTF-8 by the manifest.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "tools/cregistry/OutputFile.h"

namespace cregistry::tool::platform {

namespace {
std::error_code LastErrno() { return {errno, std::generic_category()}; }
}  // namespace

int CreateExclusive(const std::string& path, std::error_code& ec) {
  int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) ec = LastErrno();
  return fd;
}

std::error_code WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    int n = ::_write(fd, data, chunk);
    if (n < 0) return LastErrno();
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code SyncAndClose(int fd) {
  std::error_code ec;
  if (::_commit(fd) != 0) ec = LastErrno();
  if (::_close(fd) != 0 && !ec) ec = LastErrno();
  return ec;
}

void Close(int fd) { ::_close(fd); }

std::error_code Place(const std::string& from, const std::string& to, bool replace) {
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExA(from.c_str(), to.c_str(), flags)) return {};
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return std::make_error_code(std::errc::file_exists);
  return {static_cast<int>(error), std::system_category()};
}

void Remove(const std::string& path) { DeleteFileA(path.c_str()); }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace cregistry::tool::platform
