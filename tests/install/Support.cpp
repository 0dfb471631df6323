#include "Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#define getpid GetCurrentProcessId
#else
#include <unistd.h>
#endif

#include "install/platform/Platform.h"

namespace install::test {

#ifdef _WIN32
namespace {
// Under Wine: the Unix name of a Windows path.
std::string UnixName(const fs::path& path) {
  using Convert = char*(__cdecl*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* name = convert ? convert(path.wstring().c_str()) : nullptr;
  if (!name) return {};
  std::string out = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

// Under Wine: runs `command` followed by the Unix names of `paths` in a Unix shell; true when it
// succeeded. Wine cannot wait for a Unix process: the shell leaves a mark beside the first path.
bool RunUnixShell(const std::string& command, const fs::path& first, const fs::path& second = {}) {
  std::string line = "/bin/sh -c \"" + command + " '" + UnixName(first) + "'";
  if (!second.empty()) line += " '" + UnixName(second) + "'";
  const fs::path mark = (second.empty() ? first : second).wstring() + L".done";
  line += " && touch '" + UnixName(mark.parent_path()) + "/" + mark.filename().string() + "'\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  for (int i = 0; i < 500; ++i, ::Sleep(10)) {
    if (::DeleteFileW(mark.wstring().c_str())) return true;
  }
  return false;
}

// Removes a folder tree without following links (a link goes as a name; under Wine a Unix symlink
// is removed as a file) and with read-only entries made writable first.
void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!::RemoveDirectoryW(path.c_str()) && !::DeleteFileW(path.c_str())) RunUnixShell("rm -f", path);
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryW(folder.c_str());
}
}  // namespace
#endif

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  // Under Wine every process may have the same id: the start time tells runs apart.
  static const auto start = std::chrono::steady_clock::now().time_since_epoch().count() % 1000000;
  path = fs::temp_directory_path() / ("it-test-" + std::to_string(getpid()) + "-" + std::to_string(start) +
                                      "-" + std::to_string(++counter));
#ifdef _WIN32
  RemoveTree(path.wstring());  // what an earlier run under the same process id left
#else
  std::error_code ec;
  fs::remove_all(path, ec);
#endif
  fs::create_directories(path);
}


TempDir::~TempDir() {
#ifdef _WIN32
  RemoveTree(path.wstring());
  // Wine does not list a dangling link: what is left goes with rm, which follows no link.
  if (UnderWine() && ::GetFileAttributesW(path.wstring().c_str()) != INVALID_FILE_ATTRIBUTES) {
    RunUnixShell("rm -rf", path);
  }
#else
  std::error_code ec;
  fs::remove_all(path, ec);
#endif
}

std::string R(std::string_view windowsForm) {
  std::string out(windowsForm);
  std::replace(out.begin(), out.end(), '\\', platform::kSep);
  return out;
}

void WriteFile(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void SetHidden([[maybe_unused]] const fs::path& path) {
#ifdef _WIN32
  ASSERT_TRUE(::SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_HIDDEN)) << path;
#endif
}

std::vector<std::string> Lines(const std::string& listing, bool sorted) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0, eol; pos < listing.size(); pos = eol + 2) {
    eol = listing.find("\r\n", pos);
    if (eol == std::string::npos) {
      ADD_FAILURE() << "line without CR LF at the end of: " << listing;
      break;
    }
    lines.push_back(listing.substr(pos, eol - pos));
  }
  if (sorted) std::sort(lines.begin(), lines.end());
  return lines;
}

bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

bool MakeFolderLink(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
  if (UnderWine()) return RunUnixShell("ln -s", target, link);
  return ::CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */) != 0;
#else
  std::error_code ec;
  fs::create_directory_symlink(target, link, ec);
  return !ec;
#endif
}

Snapshot Snap(const fs::path& root) {
  Snapshot snap;
  std::error_code ec, e;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const bool folder = it->is_directory(e) && !it->is_symlink(e);
    const auto size = it->is_symlink(e) ? -2 : folder ? -1 : static_cast<std::intmax_t>(it->file_size(e));
    const auto time = folder ? 0 : fs::last_write_time(it->path(), e).time_since_epoch().count();
    snap[fs::relative(it->path(), root, e).generic_string()] = {size, static_cast<std::int64_t>(time)};
  }
  return snap;
}

}  // namespace install::test
