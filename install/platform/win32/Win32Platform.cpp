// The install run's platform on Windows: the narrow (ANSI) entry points of kernel32, shell32 and
// user32 (what counts as an ordinary file and as a link: Handles.h; the copy of one file:
// Placement.h; temporary files: Temporaries.h). The programs carry a manifest that makes UTF-8 the
// process code page, so the narrow calls take and give UTF-8 where Windows honours it.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "install/platform/Platform.h"
#include "install/platform/ScopeList.h"
#include "install/platform/win32/Handles.h"
#include "install/platform/win32/Placement.h"
#include "install/platform/win32/Temporaries.h"

namespace install::platform {

namespace {

struct PidlFreer {
  void operator()(ITEMIDLIST* pidl) const { ::CoTaskMemFree(pidl); }
};
using UniquePidl = std::unique_ptr<ITEMIDLIST, PidlFreer>;

class Win32Platform;

// One copy in progress (BeginCopy): its destination root, and the folders below it already found
// to be real folders, not links.
class Scope final : public CopyScope {
 public:
  Scope(Win32Platform& owner, std::string destRoot) : owner_(owner), prefix_(std::move(destRoot)) {
    if (prefix_.empty() || (prefix_.back() != '\\' && prefix_.back() != '/')) prefix_.push_back('\\');
  }
  ~Scope() override;
  const std::string& prefix() const { return prefix_; }

  // Notes that a name was given in the folder of `path`.
  void NamedInto(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return;
    std::lock_guard lock(mutex_);
    named_.insert(path.substr(0, slash + 1));
  }

  // Flushes each folder noted, so that the names given in it are on the disk.
  bool Commit() override {
    std::set<std::string> named;
    {
      std::lock_guard lock(mutex_);
      named.swap(named_);
    }
    bool durable = true;
    for (const std::string& folder : named) {
      UniqueHandle handle = Own(::CreateFileA(folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      durable = handle && ::FlushFileBuffers(handle.get()) && durable;
    }
    return durable;
  }

  // True when every folder between the root and `path`'s last component is a real folder (none a
  // link). Folders are checked once per copy.
  bool FoldersArePlain(const std::string& path) {
    const std::size_t last = path.find_last_of("\\/");
    for (std::size_t end = path.find_first_of("\\/", prefix_.size()); end != std::string::npos && end <= last;
         end = path.find_first_of("\\/", end + 1)) {
      const std::string folder = path.substr(0, end);
      {
        std::lock_guard lock(mutex_);
        if (plain_.count(folder)) continue;
      }
      WIN32_FIND_DATAA data;
      UniqueFind find = FindFirst(folder, data);
      if (!find || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLink(data)) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
      }
      std::lock_guard lock(mutex_);
      plain_.insert(folder);
    }
    return true;
  }

 private:
  Win32Platform& owner_;
  std::string prefix_;
  std::mutex mutex_;
  std::set<std::string> plain_;
  std::set<std::string> named_;  // folders given a name in
};

class Win32Window final : public Window {
 public:
  explicit Win32Window(HWND hwnd) : hwnd_(hwnd) {}
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;
  ~Win32Window() override { ::DestroyWindow(hwnd_); }
  std::uintptr_t Handle() const override { return reinterpret_cast<std::uintptr_t>(hwnd_); }

 private:
  HWND hwnd_;
};

const char* FormClass() {
  static const char* name = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "InstallTemplatesForm";
    return ::RegisterClassExA(&wc) ? wc.lpszClassName : nullptr;
  }();
  return name;
}

class Win32Platform final : public Platform {
 public:
  std::unique_ptr<CopyScope> BeginWalk(const std::string&) override { return nullptr; }

  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    WIN32_FIND_DATAA data;
    UniqueFind find = FindFirst(folder + "*", data);
    if (!find) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // nothing in it at all
    do {
      if (data.dwFileAttributes & kNotOrdinary) continue;
      // A junction or directory link is left out, as Linux leaves out a symlinked folder.
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsLink(data)) continue;
      visit(data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder
                                                                               : EntryKind::File);
    } while (FindNext(find, data));
    return true;
  }

  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    Scope* scope = ScopeOf(pattern);
    if (scope && !scope->FoldersArePlain(pattern)) return MatchResult::None;  // behind a link
    WIN32_FIND_DATAA data;
    UniqueFind find = FindFirst(pattern, data);
    if (!find) {
      const DWORD error = ::GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                     error == ERROR_NO_MORE_FILES
                 ? MatchResult::None
                 : MatchResult::Failed;
    }
    do {
      // Below a copy's destination root a link is not followed: it counts as an existing file.
      if (!(scope && IsLink(data)) && (data.dwFileAttributes & (kNotOrdinary | FILE_ATTRIBUTE_DIRECTORY))) continue;
      name = data.cFileName;
      return MatchResult::Found;
    } while (FindNext(find, data));
    return MatchResult::None;
  }

  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    const DWORD a = ::GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    attributes = a;
    return true;
  }

  std::unique_ptr<CopyScope> BeginCopy(const std::string&, const std::string& destRoot) override {
    auto scope = std::make_unique<Scope>(*this, destRoot);
    RemoveStaleTemporaries(scope->prefix());
    scopes_.Add(scope.get());
    return scope;
  }

  void EndCopy(Scope* scope) { scopes_.Remove(scope); }

  std::error_code CreateFolder(const std::string& path) override {
    Scope* scope = ScopeOf(path);
    if (scope && !scope->FoldersArePlain(path)) return {static_cast<int>(::GetLastError()), std::system_category()};
    if (::CreateDirectoryA(path.c_str(), nullptr)) {
      if (scope) scope->NamedInto(path);  // for the copy's last step
      return {};
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return {static_cast<int>(error), std::system_category()};
    WIN32_FIND_DATAA data;
    const bool folder = FindFirst(path, data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(scope && IsLink(data));
    return std::make_error_code(folder ? std::errc::file_exists : std::errc::not_a_directory);
  }

  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    FileCopy one{source, dest, replace};
    SafeCopyFiles({&one, 1});
    return one.copied;
  }

  // Every file written to its temporary file first, then all of them flushed to the disk, then
  // each one named.
  void SafeCopyFiles(std::span<FileCopy> copies) override {
    std::vector<Pending> pending(copies.size());
    std::vector<Scope*> scopes(copies.size(), nullptr);
    for (std::size_t i = 0; i < copies.size(); ++i) {
      if (!Write(copies[i], pending[i], scopes[i])) pending[i].Discard();
    }
    for (Pending& p : pending) {
      if (p.out && !::FlushFileBuffers(p.out.get())) p.Discard();
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
      copies[i].copied = pending[i].out && Place(copies[i], pending[i]);
      if (!copies[i].copied) pending[i].Discard();
      if (copies[i].copied && scopes[i]) scopes[i]->NamedInto(copies[i].dest);
    }
  }

  bool SpecialFolder(std::uintptr_t owner, std::int32_t folderId, std::string& path) override {
    ITEMIDLIST* raw = nullptr;
    if (::SHGetSpecialFolderLocation(reinterpret_cast<HWND>(owner), folderId, &raw) != S_OK) {
      return false;
    }
    const UniquePidl pidl(raw);
    char buffer[MAX_PATH];
    std::memset(buffer, ' ', sizeof buffer);
    if (!::SHGetPathFromIDListA(pidl.get(), buffer)) return false;
    path.assign(buffer, ::strnlen(buffer, sizeof buffer));
    return true;
  }

  std::unique_ptr<Window> CreateHiddenWindow(const std::string& caption, int clientWidth,
                                             int clientHeight) override {
    const char* cls = FormClass();
    if (!cls) return nullptr;
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT frame{0, 0, clientWidth, clientHeight};
    ::AdjustWindowRect(&frame, style, FALSE);
    HWND hwnd = ::CreateWindowExA(0, cls, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                  nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (!hwnd) return nullptr;
    return std::make_unique<Win32Window>(hwnd);
  }

  std::string ExecutableFolder() override {
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) {
        buffer.resize(n);
        break;
      }
      buffer.resize(buffer.size() * 2);
    }
    const std::size_t slash = buffer.find_last_of('\\');
    return slash == std::string::npos ? std::string() : buffer.substr(0, slash);
  }

  std::string CommandLine() override {
    const char* p = ::GetCommandLineA();
    if (!p) return {};
    // Skip the program's name (quoted or not) and the blanks after it.
    if (*p == '"') {
      ++p;
      while (*p && *p != '"') ++p;
      if (*p) ++p;
    } else {
      while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
  }

  void EndProcess(int status) override { ::ExitProcess(static_cast<UINT>(status)); }

 private:
  // Writes `copy` to a temporary file: in the destination root during a copy (where a later run looks
  // for what a killed one left), else beside the destination. `scope` is the copy it belongs to.
  bool Write(const FileCopy& copy, Pending& p, Scope*& scope) {
    const std::string& dest = copy.dest;
    const std::size_t slash = dest.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == dest.size()) return false;
    scope = ScopeOf(dest);
    if (scope && !scope->FoldersArePlain(dest)) return false;  // a folder on the way is a link
    return WriteTemporary(copy.source, scope ? scope->prefix() : dest.substr(0, slash + 1), p);
  }

  // The copy whose destination root holds `path`, if any.
  Scope* ScopeOf(const std::string& path) {
    Scope* found = nullptr;
    scopes_.Visit([&](Scope* s) {
      if (path.size() > s->prefix().size() && path.starts_with(s->prefix())) found = s;
      return found != nullptr;
    });
    return found;
  }

  ScopeList<Scope> scopes_;
};

Scope::~Scope() { owner_.EndCopy(this); }

}  // namespace

// Windows names cannot hold wildcards: a path is its own literal pattern.
void LiteralPattern(std::string_view path, std::string& pattern) { pattern.assign(path); }

Platform& Default() {
  static Win32Platform platform;
  return platform;
}

}  // namespace install::platform
