// Linux only (O_PATH, openat2): see FolderWalk.h.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "install/platform/posix/FolderWalk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "install/platform/posix/Syscalls.h"

namespace install::platform {

namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

}  // namespace

FolderFd OpenFolder(int dirFd, const char* path, int extraFlags) {
  UniqueFd fd(Sys().openat(dirFd, path, O_PATH | O_DIRECTORY | O_CLOEXEC | extraFlags, 0));
  return fd ? std::make_shared<const UniqueFd>(std::move(fd)) : nullptr;
}

Scope::Scope(CopyScopes& owner, const std::string& source, const std::string& dest, FolderFd sourceRoot,
             FolderFd root)
    : owner_(owner),
      sourcePrefix_(WithSlash(source)),
      destPrefix_(dest.empty() ? std::string() : WithSlash(dest)),
      sourceRoot_(std::move(sourceRoot)),
      root_(std::move(root)) {}

Scope::~Scope() { owner_.End(this); }

FolderFd Scope::Find(std::string_view key) {
  std::lock_guard lock(mutex_);
  for (Entry& e : entries_) {
    if (e.fd && e.key == key) {
      e.used = ++clock_;
      return e.fd;
    }
  }
  return nullptr;
}

void Scope::Put(std::string_view key, FolderFd fd) {
  std::lock_guard lock(mutex_);
  Entry* victim = &entries_[0];
  for (Entry& e : entries_) {
    if (e.used < victim->used) victim = &e;
  }
  victim->key.assign(key);
  victim->fd = std::move(fd);
  victim->used = ++clock_;
}

FolderFd Scope::SourceFolder(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  return Reach(folder, sourcePrefix_.size(), sourceRoot_, false);
}

FolderFd Scope::DestFolder(std::string_view relative) {
  while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
  std::string key = "\n";
  key.append(relative);
  return Reach(key, 1, root_, true);
}

FolderFd Scope::Reach(std::string_view key, std::size_t base, const FolderFd& top, bool beneath) {
  if (!top) {
    errno = ENOENT;
    return nullptr;
  }
  if (key.size() <= base) return top;
  if (FolderFd hit = Find(key)) return hit;
  // The deepest folder above it that is open; the components from `at` on remain.
  FolderFd folder;
  std::size_t at = key.size();
  for (;;) {
    const std::size_t slash = key.rfind('/', at - 1);
    if (slash == std::string_view::npos || slash + 1 <= base) {
      folder = top;
      at = base;
      break;
    }
    if ((folder = Find(key.substr(0, slash)))) {
      at = slash + 1;
      break;
    }
    at = slash;
  }
  // The rest in one call where the kernel takes it (openat2 refuses links on the way), else one
  // component at a time: then no path is ever longer than one name.
  const std::string rest(key.substr(at));
  const int fd = beneath ? Sys().openFolderBeneath(folder->get(), rest.c_str())
                         : Sys().openat(folder->get(), rest.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd >= 0) {
    folder = std::make_shared<const UniqueFd>(fd);
  } else if (errno == ENAMETOOLONG || (beneath && (errno == ENOSYS || errno == EINVAL || errno == EPERM))) {
    for (std::size_t start = 0; folder && start <= rest.size();) {
      const std::size_t slash = std::min(rest.find('/', start), rest.size());
      const std::string component = rest.substr(start, slash - start);
      folder = OpenFolder(folder->get(), component.c_str(), beneath ? O_NOFOLLOW : 0);
      start = slash + 1;
    }
  } else {
    return nullptr;
  }
  if (folder) Put(key, folder);
  return folder;
}

void Scope::NamedInto(const FolderFd& folder) {
  struct stat st;
  if (!folder || ::fstat(folder->get(), &st) != 0) return;
  std::lock_guard lock(mutex_);
  for (const auto& known : fileSystems_) {
    if (known.first == st.st_dev) return;
  }
  fileSystems_.emplace_back(st.st_dev, folder);
}

bool Scope::Commit() {
  std::vector<std::pair<dev_t, FolderFd>> fileSystems;
  {
    std::lock_guard lock(mutex_);
    fileSystems = fileSystems_;
  }
  bool durable = true;
  for (const auto& [dev, folder] : fileSystems) {
    UniqueFd fd(Sys().openat(folder->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    durable = fd && Sys().syncfs(fd.get()) == 0 && durable;
  }
  return durable;
}

std::unique_ptr<Scope> CopyScopes::Begin(const std::string& source, const std::string& dest, FolderFd root) {
  // The source root itself is followed, as the destination root is.
  auto scope = std::make_unique<Scope>(*this, source, dest, OpenFolder(AT_FDCWD, source.c_str()), std::move(root));
  scopes_.Add(scope.get());
  return scope;
}

bool CopyScopes::At(const std::string& path, Place& place) {
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
    if (!s->destPrefix().empty() && folder.starts_with(s->destPrefix())) {
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
  if (below) place.scope = scope;
  place.folder = below ? scope->DestFolder(folder.substr(scope->destPrefix().size())) : scope->SourceFolder(folder);
  return place.folder != nullptr;
}

}  // namespace install::platform
