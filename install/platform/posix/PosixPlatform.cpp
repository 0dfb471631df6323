// The install run's platform on Linux.
//
// Ordinary file: a regular file, or a symlink to one, whose name does not begin with ".". Folder: a
// real directory whose name does not begin with "."; symlinks to directories are left out, so a
// link loop cannot make the walk endless. FIFOs, sockets, devices, dangling symlinks and names
// holding CR or LF are neither, and are never listed nor opened.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "install/platform/Platform.h"
#include "install/platform/posix/UserDirs.h"

namespace install::platform {

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// A named temporary file that is removed unless it has been given its final name.
class TempName {
 public:
  TempName() = default;
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  ~TempName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void Set(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

bool IsDotName(std::string_view name) { return !name.empty() && name.front() == '.'; }

bool HoldsLineEnd(std::string_view name) {
  return name.find_first_of("\r\n") != std::string_view::npos;
}

// The kind of a directory entry from its d_type; symlinks are resolved (only to regular files do
// they count), unknown kinds stay Unknown. False: not an entry to report.
bool KindOf(int dirFd, const dirent& e, EntryKind& kind) {
  switch (e.d_type) {
    case DT_DIR:
      kind = EntryKind::Folder;
      return true;
    case DT_REG:
      kind = EntryKind::File;
      return true;
    case DT_LNK: {
      struct stat st;
      if (::fstatat(dirFd, e.d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) return false;
      kind = EntryKind::File;
      return true;
    }
    case DT_UNKNOWN:
      kind = EntryKind::Unknown;
      return true;
    default:
      return false;  // FIFO, socket, device
  }
}

bool HasWildcard(std::string_view component) {
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\') {
      ++i;
    } else if (component[i] == '*' || component[i] == '?' || component[i] == '[') {
      return true;
    }
  }
  return false;
}

std::string Unescape(std::string_view component) {
  std::string out;
  out.reserve(component.size());
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\' && i + 1 < component.size()) ++i;
    out.push_back(component[i]);
  }
  return out;
}

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

// Copies `in` to `out`, in the kernel where it can, else through a buffer: the `size` bytes that
// fstat reported, or up to the end should the file have grown meanwhile.
bool CopyData(int in, int out, off_t size) {
  off_t copied = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
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
  if (::linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return true;
  if (errno != EPERM && errno != ENOENT && errno != EINVAL) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), dirFd, name, AT_SYMLINK_FOLLOW) == 0;
}

// O_PATH descriptors of the two folders used last. The copy works through the files of a source
// folder and a destination folder in turn; opening each folder once spares the walk down its whole
// path for every file. Should a folder be moved or replaced in between, later calls act on the one
// opened: nothing is replaced all the same, since placing a file fails when its name is taken.
class FolderCache {
 public:
  // The descriptor of `folder` (ending with "/"), or -1 when it cannot be opened.
  int Get(std::string_view folder) {
    for (Entry& e : entries_) {
      if (e.fd && e.path == folder) {
        e.used = ++clock_;
        return e.fd.get();
      }
    }
    Entry& victim = entries_[0].used <= entries_[1].used ? entries_[0] : entries_[1];
    victim.path.assign(folder);
    victim.fd.Reset(::open(victim.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    victim.used = ++clock_;
    return victim.fd.get();
  }

 private:
  struct Entry {
    std::string path;
    UniqueFd fd;
    unsigned long used = 0;
  };
  Entry entries_[2];
  unsigned long clock_ = 0;
};

// Gives the named temporary file its final name without replacing anything there.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on any existing name.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

class StandInWindow final : public Window {
 public:
  std::uintptr_t Handle() const override { return 0; }
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() {
    umask_ = ::umask(0);  // read once, while the program is still single-threaded
    ::umask(umask_);
  }

  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    UniqueDir dir(::opendir(folder.c_str()));
    if (!dir) return false;
    const int dirFd = ::dirfd(dir.get());
    while (const dirent* e = ::readdir(dir.get())) {
      const std::string_view name(e->d_name);
      if (IsDotName(name) || HoldsLineEnd(name)) continue;
      EntryKind kind;
      if (KindOf(dirFd, *e, kind)) visit(name, kind);
    }
    return true;
  }

  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    const std::size_t slash = pattern.rfind('/');
    const std::string_view folder =
        slash == std::string::npos ? std::string_view(".") : std::string_view(pattern).substr(0, slash + 1);
    const std::string_view last =
        std::string_view(pattern).substr(slash == std::string::npos ? 0 : slash + 1);
    if (last.empty()) return MatchResult::None;

    if (!HasWildcard(last)) {
      if (last.find('\\') == std::string_view::npos) {
        name.assign(last);
      } else {
        name = Unescape(last);
      }
      if (IsDotName(name)) return MatchResult::None;
      const std::string unescaped = name.size() == last.size() ? std::string()
                                    : slash == std::string::npos ? name
                                                                 : std::string(folder) + name;
      const auto [dirFd, relative] = At(unescaped.empty() ? pattern : unescaped);
      struct stat st;
      if (::fstatat(dirFd, relative, &st, 0) != 0) {
        return IsMissing(errno) ? MatchResult::None : MatchResult::Failed;
      }
      return S_ISREG(st.st_mode) ? MatchResult::Found : MatchResult::None;
    }

    UniqueDir dir(::opendir(std::string(folder).c_str()));
    if (!dir) return IsMissing(errno) ? MatchResult::None : MatchResult::Failed;
    const std::string glob(last);
    const int dirFd = ::dirfd(dir.get());
    while (const dirent* e = ::readdir(dir.get())) {
      if (IsDotName(e->d_name) || ::fnmatch(glob.c_str(), e->d_name, 0) != 0) continue;
      bool regular = e->d_type == DT_REG;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        regular = ::fstatat(dirFd, e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
      }
      if (regular) {
        name = e->d_name;
        return MatchResult::Found;
      }
    }
    return MatchResult::None;
  }

  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      // Only a link to a regular file is ordinary; a link to a folder is never followed.
      struct stat target;
      const bool file = ::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode);
      attributes = file ? 0x80u : kAttrSystem;
    } else if (S_ISDIR(st.st_mode)) {
      attributes = kAttrDirectory;
    } else if (S_ISREG(st.st_mode)) {
      attributes = 0x80u;  // normal
    } else {
      attributes = kAttrSystem;
    }
    const std::size_t slash = path.rfind('/');
    if (IsDotName(std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1))) {
      attributes |= kAttrHidden;
    }
    return true;
  }

  bool CreateFolder(const std::string& path) override { return ::mkdir(path.c_str(), 0777) == 0; }

  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    // O_NONBLOCK: should a FIFO stand at the source path after all, opening it cannot hang (on a
    // regular file the flag changes nothing).
    const auto [sourceDir, sourceName] = At(source);
    UniqueFd in(::openat(sourceDir, sourceName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in) return false;
    struct stat st;
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

    const std::size_t slash = dest.rfind('/');
    if (slash != std::string::npos && slash + 1 == dest.size()) return false;  // no file name
    const auto [destDir, destName] = At(dest);
    if (slash != std::string::npos && destDir == AT_FDCWD) return false;  // folder cannot be opened
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : dest.substr(0, slash);

    // The data goes to a temporary file in the destination's folder: an anonymous one where the
    // file system has them (nothing is left behind if the process dies), else a hidden named one.
    // The anonymous file is made with the source's permission bits at once; only what the umask
    // takes away needs setting afterwards.
    const mode_t mode = st.st_mode & 0777;
    TempName temp;
    UniqueFd out;
    if (!replace) out.Reset(::openat(destDir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    const bool anonymous = static_cast<bool>(out);
    if (!anonymous) {
      std::string name = folder + "/.install-templates-XXXXXX";
      const int fd = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd < 0) return false;
      temp.Set(std::move(name));
      out.Reset(fd);
    }

    if (!CopyData(in.get(), out.get(), st.st_size)) return false;
    if (!anonymous || (mode & umask_) != 0) ::fchmod(out.get(), mode);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);

    if (anonymous) return LinkAnonymous(out.get(), destDir, destName);
    const bool placed = replace ? ::rename(temp.path().c_str(), dest.c_str()) == 0
                                : RenameNoReplace(temp.path(), dest);
    if (placed) temp.Release();
    return placed;
  }

  bool SpecialFolder(std::uintptr_t, std::int32_t folderId, std::string& path) override {
    return SpecialFolderPath(folderId, path);
  }

  std::unique_ptr<Window> CreateHiddenWindow(const std::string&, int, int) override {
    return std::make_unique<StandInWindow>();
  }

  std::string ExecutableFolder() override {
    std::string buffer(256, '\0');
    for (;;) {
      const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n < 0) return {};
      if (static_cast<std::size_t>(n) < buffer.size()) {
        buffer.resize(static_cast<std::size_t>(n));
        break;
      }
      buffer.resize(buffer.size() * 2);
    }
    const std::size_t slash = buffer.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : buffer.substr(0, slash);
  }

  std::string CommandLine() override {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t first = all.find('\0');
    if (first == std::string::npos) return {};
    std::string args = all.substr(first + 1);
    if (!args.empty() && args.back() == '\0') args.pop_back();
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    return args;
  }

  void EndProcess() override {
    std::fflush(nullptr);
    ::_exit(0);
  }

 private:
  // The folder descriptor and name for an *at call on `path` (the name points into `path`).
  std::pair<int, const char*> At(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {AT_FDCWD, path.c_str()};
    const int dirFd = folders_.Get(std::string_view(path).substr(0, slash + 1));
    if (dirFd < 0) return {AT_FDCWD, path.c_str()};
    return {dirFd, path.c_str() + slash + 1};
  }

  FolderCache folders_;
  mode_t umask_ = 022;
};

}  // namespace

void LiteralPattern(std::string_view path, std::string& pattern) {
  const std::size_t slash = path.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  pattern.assign(path.substr(0, start));
  for (char c : path.substr(start)) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') pattern.push_back('\\');
    pattern.push_back(c);
  }
}

Platform& Default() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace install::platform
