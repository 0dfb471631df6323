// The install run's platform on Windows: the narrow (ANSI) entry points of kernel32, shell32 and
// user32. Ordinary file: neither folder, nor hidden, nor system. A link is a name-surrogate reparse
// point (junction, symbolic link); other reparse points, such as the placeholders of a synced
// cloud folder, are ordinary folders and files. The programs carry a manifest that makes UTF-8 the
// process code page, so the narrow calls take and give UTF-8 where Windows honours it.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
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

namespace install::platform {

namespace {

struct FindCloser {
  void operator()(HANDLE h) const { ::FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

// The find data is cleared before each call: Wine leaves dwReserved0 (the reparse tag) as it was.
UniqueFind FindFirst(const std::string& pattern, WIN32_FIND_DATAA& data) {
  data = {};
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &data);
  return UniqueFind(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

bool FindNext(const UniqueFind& find, WIN32_FIND_DATAA& data) {
  data = {};
  return ::FindNextFileA(find.get(), &data) != 0;
}

struct PidlFreer {
  void operator()(ITEMIDLIST* pidl) const { ::CoTaskMemFree(pidl); }
};
using UniquePidl = std::unique_ptr<ITEMIDLIST, PidlFreer>;

struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle Own(HANDLE h) { return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h); }

constexpr DWORD kNotOrdinary = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A junction or symbolic link: the find data carries the reparse tag in dwReserved0. Tag 0 is
// reserved and never names a real reparse point on Windows; Wine 8 reports its Unix symlinks to
// folders as reparse points without filling in a tag, so they come with 0 and count as links too.
bool IsLink(const WIN32_FIND_DATAA& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0));
}

// Temporary files: ".install-templates.<pid>.<start>.<n>.tmp", hidden and temporary, where <start>
// is the writing process's creation time: process ids are reused (a fresh Wine server gives its
// first process the same id every time), an id with its creation time never is.
constexpr char kTempPrefix[] = ".install-templates.";
constexpr char kTempSuffix[] = ".tmp";

// The creation time of a process, as a number (100 ns since 1601).
std::uint64_t StartTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

// True when the process `pid` created at `start` is still running.
bool ProcessAlive(DWORD pid, std::uint64_t start) {
  UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;  // there, but not ours to ask
  return ::WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0 && StartTime(process.get()) == start;
}

// Reads a decimal number up to `end` from `text` at `pos`; false when there is none.
bool Number(std::string_view text, std::size_t& pos, char end, std::uint64_t& value) {
  const std::size_t first = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && value < (std::uint64_t{1} << 59)) {
    value = value * 10 + static_cast<std::uint64_t>(text[pos++] - '0');
  }
  return pos > first && pos < text.size() && text[pos++] == end;
}

// Removes from `folder` (ending with "\\") the temporary files of runs that are gone: only names of
// that kind, only files that are no link, only when the process of the id and creation time in the
// name is not running. A name without a creation time (".<pid>.<n>.tmp", an older version's) goes
// when no one holds it open: a live writer holds its file open without sharing, so that deleting it
// fails.
void RemoveStaleTemporaries(const std::string& folder) {
  WIN32_FIND_DATAA data;
  UniqueFind find = FindFirst(folder + kTempPrefix + "*" + kTempSuffix, data);
  if (!find) return;
  do {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const std::string_view name(data.cFileName);
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
    const std::string_view fields = name.substr(sizeof kTempPrefix - 1, name.size() - sizeof kTempPrefix - sizeof kTempSuffix + 2);
    std::size_t pos = 0;
    std::uint64_t pid = 0, second = 0, third = 0;
    if (!Number(fields, pos, '.', pid) || pid > 0xffffffffu) continue;
    const std::string counted = std::string(fields.substr(pos)) + ".";
    std::size_t at = 0;
    if (!Number(counted, at, '.', second)) continue;
    const bool withStart = at < counted.size() && Number(counted, at, '.', third) && at == counted.size();
    if (withStart && ProcessAlive(static_cast<DWORD>(pid), second)) continue;
    if (!withStart && at != counted.size()) continue;  // not a name of ours
    const std::string path = folder + data.cFileName;
    const DWORD attributes = data.dwFileAttributes;
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileA(path.c_str())) ::SetFileAttributesA(path.c_str(), attributes);
  } while (FindNext(find, data));
}

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
    for (std::size_t i = 0; i < copies.size(); ++i) {
      if (!Write(copies[i], pending[i])) pending[i].Discard();
    }
    for (Pending& p : pending) {
      if (p.out && !::FlushFileBuffers(p.out.get())) p.Discard();
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
      copies[i].copied = pending[i].out && Place(copies[i], pending[i]);
      if (!copies[i].copied) pending[i].Discard();
      if (copies[i].copied && pending[i].scope) pending[i].scope->NamedInto(copies[i].dest);
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
  // A copy written to its temporary file, not yet named.
  struct Pending {
    std::string temp;
    UniqueHandle out;  // null: failed
    DWORD attributes = 0;
    Scope* scope = nullptr;
    void Discard() {
      out.reset();
      if (temp.empty()) return;
      ::SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(temp.c_str());
      temp.clear();
    }
  };

  // Writes the content and times of `copy.source` into a new temporary file, left open.
  bool Write(const FileCopy& copy, Pending& p) {
    const std::string& dest = copy.dest;
    const std::size_t slash = dest.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == dest.size()) return false;
    p.scope = ScopeOf(dest);
    if (p.scope && !p.scope->FoldersArePlain(dest)) return false;  // a folder on the way is a link
    // The temporary file lies in the destination root during a copy (where a later run looks for
    // what a killed one left), else beside the destination.
    const std::string folder = p.scope ? p.scope->prefix() : dest.substr(0, slash + 1);

    UniqueHandle in = Own(::CreateFileA(copy.source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!in || !::GetFileInformationByHandle(in.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return false;
    }

    static std::atomic<unsigned long> counter{0};
    static const std::string self = std::to_string(::GetCurrentProcessId()) + "." +
                                    std::to_string(StartTime(::GetCurrentProcess())) + ".";
    for (int attempt = 0; attempt < 100 && !p.out; ++attempt) {
      p.temp = folder + kTempPrefix + self + std::to_string(++counter) + kTempSuffix;
      p.out = Own(::CreateFileA(p.temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr));
      if (!p.out && ::GetLastError() != ERROR_FILE_EXISTS) p.temp.clear();
      if (!p.out && p.temp.empty()) return false;
    }
    if (!p.out) {
      p.temp.clear();
      return false;
    }
    thread_local std::vector<char> buffer(std::size_t{256} << 10);
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
      if (got == 0) break;
      for (DWORD done = 0; done < got;) {
        DWORD put = 0;
        if (!::WriteFile(p.out.get(), buffer.data() + done, got - done, &put, nullptr) || put == 0) return false;
        done += put;
      }
    }
    // The copy keeps the source's times and attributes (less what marks it temporary).
    ::SetFileTime(p.out.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime);
    p.attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    return true;
  }

  // Gives the flushed temporary file its name. Without `replace`: a hard link to the temporary
  // file, which fails at once when the name is taken (Wine's MoveFileEx without replacing checks
  // the name and then renames, so a file made in between would be replaced), then the temporary
  // name goes; MoveFileEx only where the file system has no links.
  bool Place(const FileCopy& copy, Pending& p) {
    if (!::CloseHandle(p.out.release())) return false;
    const DWORD final = p.attributes ? p.attributes : FILE_ATTRIBUTE_NORMAL;
    if (copy.replace) {
      if (!::SetFileAttributesA(p.temp.c_str(), final)) return false;
      if (!::MoveFileExA(p.temp.c_str(), copy.dest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
      p.temp.clear();
      return true;
    }
    // Read-only comes last: a read-only temporary name could not be deleted.
    const DWORD linked = (final & ~FILE_ATTRIBUTE_READONLY) ? (final & ~FILE_ATTRIBUTE_READONLY) : FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileAttributesA(p.temp.c_str(), linked)) return false;
    if (::CreateHardLinkA(copy.dest.c_str(), p.temp.c_str(), nullptr)) {
      ::DeleteFileA(p.temp.c_str());  // should it stay, a later run removes it
      p.temp.clear();
      if (final != linked) ::SetFileAttributesA(copy.dest.c_str(), final);
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || error == ERROR_PATH_NOT_FOUND) return false;
    // No links here (FAT, some network shares).
    if (!::SetFileAttributesA(p.temp.c_str(), final)) return false;
    if (!::MoveFileExA(p.temp.c_str(), copy.dest.c_str(), MOVEFILE_WRITE_THROUGH)) return false;
    p.temp.clear();
    return true;
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
