// The install run's platform on Linux. Linux only, not generic POSIX: it relies on O_TMPFILE,
// O_PATH, openat2, renameat2, copy_file_range and /proc. The folder walk and its cache are in
// FolderWalk, the placement of copies in Placement, temporary files and the clean-up of those of
// dead runs in Temporaries.
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
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "install/platform/Platform.h"
#include "install/platform/posix/FolderWalk.h"
#include "install/platform/posix/Placement.h"
#include "install/platform/posix/Syscalls.h"
#include "install/platform/posix/Temporaries.h"
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

class StandInWindow final : public Window {
 public:
  std::uintptr_t Handle() const override { return 0; }
};

class PosixPlatform final : public Platform {
 public:
  std::unique_ptr<CopyScope> BeginWalk(const std::string& root) override {
    return scopes_.Begin(root, {}, nullptr);
  }

  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    // Within a walk or a copy the folder is reached from its parent's open folder.
    Place place;
    if (!At(folder, place)) return false;
    UniqueFd listFd(Sys().openat(place.fd(), place.folder ? "." : folder.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!listFd) return false;
    UniqueDir dir(::fdopendir(listFd.get()));
    if (!dir) return false;
    listFd.Release();  // the stream owns it now
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
    return scopes_.Begin(sourceRoot, destRoot, std::move(root));
  }

  std::error_code CreateFolder(const std::string& path) override {
    Place place;
    if (!At(path, place)) return {errno, std::generic_category()};
    if (*place.name == '\0') return std::make_error_code(std::errc::invalid_argument);
    if (::mkdirat(place.fd(), place.name, 0777) == 0) {
      if (place.scope) place.scope->NamedInto(place.folder);  // for the copy's last step
      return {};
    }
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
    FileCopy one{source, dest, replace};
    SafeCopyFiles({&one, 1});
    return one.copied;
  }

  void SafeCopyFiles(std::span<FileCopy> copies) override {
    // Each job holds two descriptors until its name is given: as many jobs at once as the
    // descriptor limit lets every copy thread have.
    static const std::size_t atOnce = [] {
      rlimit limit{};
      const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
      return std::clamp<std::size_t>(soft > 512 ? (soft - 256) / 16 : 0, 8, 256);
    }();
    for (std::size_t start = 0; start < copies.size(); start += atOnce) {
      PlaceBatch(copies.subspan(start, std::min(atOnce, copies.size() - start)));
    }
  }

  void PlaceBatch(std::span<FileCopy> copies) {
    thread_local std::vector<CopyJob> jobs;
    if (jobs.size() < copies.size()) jobs.resize(copies.size());
    const std::span<CopyJob> batch(jobs.data(), copies.size());
    for (std::size_t i = 0; i < copies.size(); ++i) Prepare(copies[i], batch[i]);
    PlaceCopies(batch);
    const UniqueFd* noted = nullptr;
    for (std::size_t i = 0; i < copies.size(); ++i) {
      CopyJob& job = batch[i];
      copies[i].copied = job.placed;
      if (job.placed && job.to.scope && job.to.folder.get() != noted) {
        job.to.scope->NamedInto(job.to.folder);  // for the copy's last step
        noted = job.to.folder.get();
      }
      job.in.Reset();
      job.to = Place();
    }
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
  bool At(const std::string& path, Place& place) { return scopes_.At(path, place); }

  // The job for one copy: its source opened (O_NONBLOCK: should a FIFO stand at the source path
  // after all, opening it cannot hang; on a regular file the flag changes nothing) and checked to
  // be a regular file, and its destination's folder. Left without a source when any of it fails.
  void Prepare(const FileCopy& copy, CopyJob& job) {
    job.in.Reset();
    job.to = Place();
    job.replace = copy.replace;
    Place from;
    if (!At(copy.source, from)) return;
    UniqueFd in(Sys().openat(from.fd(), from.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    if (!in || ::fstat(in.get(), &job.st) != 0 || !S_ISREG(job.st.st_mode)) return;
    if (!At(copy.dest, job.to) || *job.to.name == '\0') return;
    if (!job.to.folder) job.to.folder = OpenFolder(AT_FDCWD, ".");
    if (job.to.folder) job.in = std::move(in);
  }

  CopyScopes scopes_;
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
