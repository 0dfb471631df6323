// Linux only (O_PATH, openat2): see FolderWalk.h.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "install/platform/posix/FolderWalk.h"

#include <fcntl.h>

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

Scope::Scope(CopyScopes& owner, const std::string& source, const std::string& dest, FolderFd root)
    : owner_(owner), sourcePrefix_(WithSlash(source)), destPrefix_(WithSlash(dest)), root_(std::move(root)) {}

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

std::unique_ptr<Scope> CopyScopes::Begin(const std::string& source, const std::string& dest, FolderFd root) {
  auto scope = std::make_unique<Scope>(*this, source, dest, std::move(root));
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

}  // namespace install::platform
