// The install run's platform on Linux. Linux only, not generic POSIX: it relies on O_TMPFILE,
// O_PATH, openat2, renameat2, copy_file_range and /proc.
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
#include <linux/openat2.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "install/platform/Platform.h"
#include "install/platform/ScopeList.h"
#include "install/platform/posix/Syscalls.h"
#include "install/platform/posix/UniqueFd.h"
#include "install/platform/posix/UserDirs.h"

namespace install::platform {

namespace {

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
    const ssize_t n = Sys().copyFileRange(in, out, std::size_t{1} << 30);
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
  if (Sys().linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return true;
  if (errno != EPERM && errno != ENOENT && errno != EINVAL) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Sys().linkat(AT_FDCWD, self.c_str(), dirFd, name, AT_SYMLINK_FOLLOW) == 0;
}

// An open folder, shared by a copy's cache and the calls using it, so that leaving the cache never
// closes a descriptor in use.
using FolderFd = std::shared_ptr<const UniqueFd>;

FolderFd OpenFolder(int dirFd, const char* path, int extraFlags = 0) {
  UniqueFd fd(Sys().openat(dirFd, path, O_PATH | O_DIRECTORY | O_CLOEXEC | extraFlags, 0));
  return fd ? std::make_shared<const UniqueFd>(std::move(fd)) : nullptr;
}

// Temporary files of the named kind (where O_TMPFILE is not available, and for replacements):
// ".install-templates.<pid>.<n>.tmp", held under an exclusive flock while their writer lives.
constexpr std::string_view kTempPrefix = ".install-templates.";
constexpr std::string_view kTempSuffix = ".tmp";

// A named temporary file, removed unless it has been given its final name.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (folder_) ::unlinkat(folder_->get(), name_.c_str(), 0);
  }
  // Creates a new one in `folder`, with mode 0600 and locked; the descriptor, or -1.
  int Create(FolderFd folder) {
    static std::atomic<unsigned long> counter{0};
    const std::string pid = std::to_string(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name(kTempPrefix);
      name.append(pid).append(".").append(std::to_string(++counter)).append(kTempSuffix);
      const int fd = Sys().openat(folder->get(), name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
  int folder() const { return folder_->get(); }
  const char* name() const { return name_.c_str(); }
  void Release() { folder_.reset(); }

 private:
  FolderFd folder_;
  std::string name_;
};

// Removes from `folder` the temporary files of runs that are gone: only names of the named kind,
// only regular files, only when the process id in the name is not alive and no one holds the lock.
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
    pid_t pid = 0;
    std::size_t digits = 0;
    while (digits < id.size() && id[digits] >= '0' && id[digits] <= '9' && pid < 100000000) {
      pid = pid * 10 + (id[digits++] - '0');
    }
    if (digits == 0 || digits >= id.size() || id[digits] != '.' || pid <= 0 || pid == self) continue;
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

class PosixPlatform;

// One copy in progress (BeginCopy): its roots, the destination root opened once, and the folders
// opened below either root, kept for the life of the copy only.
class Scope final : public CopyScope {
 public:
  Scope(PosixPlatform& owner, const std::string& source, const std::string& dest, FolderFd root)
      : owner_(owner), sourcePrefix_(WithSlash(source)), destPrefix_(WithSlash(dest)), root_(std::move(root)) {}
  ~Scope() override;

  const std::string& sourcePrefix() const { return sourcePrefix_; }
  const std::string& destPrefix() const { return destPrefix_; }
  const FolderFd& root() const { return root_; }

  // The folder `key` names (a source folder path, or "\n" + a folder path relative to the
  // destination root), or null when it is not cached.
  FolderFd Find(std::string_view key) {
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
      if (e.fd && e.key == key) {
        e.used = ++clock_;
        return e.fd;
      }
    }
    return nullptr;
  }
  void Put(std::string_view key, FolderFd fd) {
    std::lock_guard lock(mutex_);
    Entry* victim = &entries_[0];
    for (Entry& e : entries_) {
      if (e.used < victim->used) victim = &e;
    }
    victim->key.assign(key);
    victim->fd = std::move(fd);
    victim->used = ++clock_;
  }

 private:
  static std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path;
  }
  struct Entry {
    std::string key;
    FolderFd fd;
    unsigned long used = 0;
  };

  PosixPlatform& owner_;
  const std::string sourcePrefix_, destPrefix_;
  const FolderFd root_;
  std::mutex mutex_;
  Entry entries_[16];
  unsigned long clock_ = 0;
};

// Where a path lies: its folder, opened, and its last component.
struct Place {
  FolderFd folder;         // null: the path has no folder part (relative to the working folder)
  const char* name = "";   // points into the path
  Scope* scope = nullptr;  // the copy whose destination holds the path: no link is followed there
  int fd() const { return folder ? folder->get() : AT_FDCWD; }
};

// The folder `relative` (components below the root, no leading or trailing "/") opened without
// following any link, component by component.
FolderFd OpenBeneath(const FolderFd& root, const std::string& relative) {
  const int fd = Sys().openFolderBeneath(root->get(), relative.c_str());
  if (fd >= 0) return std::make_shared<const UniqueFd>(fd);
  if (errno != ENOSYS && errno != EINVAL && errno != EPERM) return nullptr;
  FolderFd folder = root;
  std::size_t start = 0;
  while (folder && start <= relative.size()) {
    const std::size_t slash = std::min(relative.find('/', start), relative.size());
    const std::string component = relative.substr(start, slash - start);
    folder = OpenFolder(folder->get(), component.c_str(), O_NOFOLLOW);
    start = slash + 1;
  }
  return folder;
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
      Place place;
      if (!At(unescaped.empty() ? pattern : unescaped, place)) {
        return IsMissing(errno) ? MatchResult::None : MatchResult::Failed;
      }
      struct stat st;
      if (::fstatat(place.fd(), place.name, &st, place.scope ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
        return IsMissing(errno) ? MatchResult::None : MatchResult::Failed;
      }
      // Below a copy's destination root a link is not followed: it counts as an existing file.
      return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? MatchResult::Found : MatchResult::None;
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

  std::unique_ptr<CopyScope> BeginCopy(const std::string& sourceRoot,
                                       const std::string& destRoot) override {
    // The root itself is followed: the template folder, or Documents above it, may be a link.
    FolderFd root = OpenFolder(AT_FDCWD, destRoot.c_str());
    if (!root) return nullptr;
    RemoveStaleTemporaries(root->get());
    auto scope = std::make_unique<Scope>(*this, sourceRoot, destRoot, std::move(root));
    scopes_.Add(scope.get());
    return scope;
  }

  void EndCopy(Scope* scope) { scopes_.Remove(scope); }

  std::error_code CreateFolder(const std::string& path) override {
    Place place;
    if (!At(path, place)) return {errno, std::generic_category()};
    if (*place.name == '\0') return std::make_error_code(std::errc::invalid_argument);
    if (::mkdirat(place.fd(), place.name, 0777) == 0) return {};
    const int error = errno;
    struct stat st;
    if (error == EEXIST) {
      if (::fstatat(place.fd(), place.name, &st, place.scope ? AT_SYMLINK_NOFOLLOW : 0) == 0 &&
          S_ISDIR(st.st_mode)) {
        return std::make_error_code(std::errc::file_exists);
      }
      return std::make_error_code(std::errc::not_a_directory);
    }
    return {error, std::generic_category()};
  }

  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    // O_NONBLOCK: should a FIFO stand at the source path after all, opening it cannot hang (on a
    // regular file the flag changes nothing).
    Place from;
    if (!At(source, from)) return false;
    UniqueFd in(Sys().openat(from.fd(), from.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    if (!in) return false;
    struct stat st;
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

    Place to;
    if (!At(dest, to) || *to.name == '\0') return false;
    if (!to.folder) to.folder = OpenFolder(AT_FDCWD, ".");
    if (!to.folder) return false;

    // The data goes to a temporary file first: an anonymous one where the file system has them
    // (nothing is left behind if the process dies), made with the source's permission bits at once
    // so that only what the umask takes away needs setting afterwards. Else a hidden named one, in
    // the destination root during a copy (where a later run looks for what a killed one left), or
    // beside the destination should that root lie on another file system.
    const mode_t mode = st.st_mode & 0777;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!replace) {
      UniqueFd out(Sys().openat(to.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      if (out) {
        if (!CopyData(in.get(), out.get(), st.st_size)) return false;
        if ((mode & umask_) != 0) ::fchmod(out.get(), mode);
        ::futimens(out.get(), times);
        return LinkAnonymous(out.get(), to.fd(), to.name);
      }
    }
    FolderFd tempFolder = to.scope ? to.scope->root() : to.folder;
    for (int attempt = 0; attempt < 2; ++attempt) {
      TempFile temp;
      UniqueFd out(temp.Create(tempFolder));
      if (!out) return false;
      if (attempt > 0 && ::lseek(in.get(), 0, SEEK_SET) != 0) return false;
      if (!CopyData(in.get(), out.get(), st.st_size)) return false;
      ::fchmod(out.get(), mode);
      ::futimens(out.get(), times);
      if (!out.Close()) return false;  // a write the file system could not complete after all
      bool placed = false;
      if (replace) {
        placed = Sys().renameat2(temp.folder(), temp.name(), to.fd(), to.name, 0) == 0;
      } else {
        placed = Sys().renameat2(temp.folder(), temp.name(), to.fd(), to.name, RENAME_NOREPLACE) == 0;
        if (!placed && (errno == EINVAL || errno == ENOSYS)) {
          // File systems without RENAME_NOREPLACE: a hard link fails on any existing name.
          placed = Sys().linkat(temp.folder(), temp.name(), to.fd(), to.name, 0) == 0;
          if (placed) return true;  // the temporary name goes with `temp`
          if (errno != EXDEV || tempFolder == to.folder) return false;
          tempFolder = to.folder;
          continue;
        }
      }
      if (placed) {
        temp.Release();
        return true;
      }
      if (errno != EXDEV || tempFolder == to.folder) return false;
      tempFolder = to.folder;  // the destination root and this folder are on different file systems
    }
    return false;
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

  void EndProcess(int status) override {
    std::fflush(nullptr);
    ::_exit(status);
  }

 private:
  // The folder of `path`, opened, and its last component. Below a copy's destination root the
  // folder is reached without following any link; folders below either root of a copy are kept
  // open for the rest of that copy. False (errno set) when the folder cannot be opened.
  bool At(const std::string& path, Place& place) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      place.name = path.c_str();
      return true;
    }
    place.name = path.c_str() + slash + 1;
    const std::string_view folder = std::string_view(path).substr(0, slash + 1);
    Scope* scope = nullptr;
    bool below = false;
    scopes_.Visit([&](Scope* s) {
      if (folder.starts_with(s->destPrefix())) {
        scope = s;
        below = true;
        return true;
      }
      if (folder.starts_with(s->sourcePrefix())) scope = s;
      return false;
    });
    if (!scope) {
      place.folder = OpenFolder(AT_FDCWD, std::string(folder).c_str());
      return place.folder != nullptr;
    }
    if (!below) {
      place.folder = scope->Find(folder);
      if (!place.folder) {
        place.folder = OpenFolder(AT_FDCWD, std::string(folder).c_str());
        if (!place.folder) return false;
        scope->Put(folder, place.folder);
      }
      return true;
    }
    place.scope = scope;
    std::string relative(folder.substr(scope->destPrefix().size()));
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    if (relative.empty()) {
      place.folder = scope->root();
      return true;
    }
    const std::string key = "\n" + relative;
    place.folder = scope->Find(key);
    if (place.folder) return true;
    // One step from a cached parent, else from the root without following any link.
    const std::size_t slashBefore = relative.rfind('/');
    const bool top = slashBefore == std::string::npos;
    // The parent's key is "\n" and `relative` up to its last slash.
    const FolderFd parent = top ? scope->root() : scope->Find(std::string_view(key).substr(0, slashBefore + 1));
    const char* last = relative.c_str() + (top ? 0 : slashBefore + 1);
    place.folder = parent ? OpenFolder(parent->get(), last, O_NOFOLLOW) : OpenBeneath(scope->root(), relative);
    if (!place.folder) return false;
    scope->Put(key, place.folder);
    return true;
  }

  ScopeList<Scope> scopes_;
  mode_t umask_ = 022;
};

Scope::~Scope() { owner_.EndCopy(this); }

int RealOpenFolderBeneath(int dirFd, const char* relative) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  return static_cast<int>(::syscall(SYS_openat2, dirFd, relative, &how, sizeof how));
}

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

Syscalls& Sys() {
  static Syscalls table{
      RealOpenFolderBeneath,
      [](int dirFd, const char* path, int flags, mode_t mode) { return ::openat(dirFd, path, flags, mode); },
      [](int in, int out, size_t length) { return ::copy_file_range(in, nullptr, out, nullptr, length, 0); },
      [](int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
        return ::renameat2(fromDir, from, toDir, to, flags);
      },
      [](int fromDir, const char* from, int toDir, const char* to, int flags) {
        return ::linkat(fromDir, from, toDir, to, flags);
      },
  };
  return table;
}

Platform& Default() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace install::platform
