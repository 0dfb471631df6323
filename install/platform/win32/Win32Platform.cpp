// The install run's platform on Windows: the narrow (ANSI) entry points of kernel32, shell32 and
// user32. Ordinary file: neither folder, nor hidden, nor system.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <memory>
#include <string>

#include "install/platform/Platform.h"

namespace install::platform {

namespace {

struct FindCloser {
  void operator()(HANDLE h) const { ::FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

UniqueFind FindFirst(const std::string& pattern, WIN32_FIND_DATAA& data) {
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &data);
  return UniqueFind(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

struct PidlFreer {
  void operator()(ITEMIDLIST* pidl) const { ::CoTaskMemFree(pidl); }
};
using UniquePidl = std::unique_ptr<ITEMIDLIST, PidlFreer>;

constexpr DWORD kNotOrdinary = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    WIN32_FIND_DATAA data;
    UniqueFind find = FindFirst(folder + "*", data);
    if (!find) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // nothing in it at all
    do {
      if (data.dwFileAttributes & kNotOrdinary) continue;
      visit(data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder
                                                                               : EntryKind::File);
    } while (::FindNextFileA(find.get(), &data));
    return true;
  }

  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
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
      if (data.dwFileAttributes & (kNotOrdinary | FILE_ATTRIBUTE_DIRECTORY)) continue;
      name = data.cFileName;
      return MatchResult::Found;
    } while (::FindNextFileA(find.get(), &data));
    return MatchResult::None;
  }

  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    const DWORD a = ::GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    attributes = a;
    return true;
  }

  bool CreateFolder(const std::string& path) override {
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    const std::size_t slash = dest.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == dest.size()) return false;
    const std::string folder = dest.substr(0, slash + 1);

    // Copy to a fresh temporary name in the destination's folder (the copy keeps the time stamps
    // and attributes), then give it its name: a failed or interrupted copy never stands under it.
    static unsigned counter = 0;
    std::string temp;
    bool copied = false;
    for (int attempt = 0; attempt < 100 && !copied; ++attempt) {
      temp = folder + "~it" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(++counter) + ".tmp";
      copied = ::CopyFileA(source.c_str(), temp.c_str(), TRUE) != 0;
      if (copied) break;
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;  // someone else's file: try another name
      ::SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);  // the name was free: any partial
      ::DeleteFileA(temp.c_str());                                // copy there is ours
      return false;
    }
    if (!copied) return false;
    if (::MoveFileExA(temp.c_str(), dest.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
      return true;
    }
    ::SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy cannot be deleted
    ::DeleteFileA(temp.c_str());
    return false;
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

  void EndProcess() override { ::ExitProcess(0); }
};

}  // namespace

// Windows names cannot hold wildcards: a path is its own literal pattern.
void LiteralPattern(std::string_view path, std::string& pattern) { pattern.assign(path); }

Platform& Default() {
  static Win32Platform platform;
  return platform;
}

}  // namespace install::platform
