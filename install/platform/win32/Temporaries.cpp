#include "install/platform/win32/Temporaries.h"

#include <atomic>
#include <cstdint>
#include <string_view>

#include "install/platform/TempNames.h"

namespace install::platform {

namespace {

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

constexpr std::uint64_t kAny = ~std::uint64_t{0};

}  // namespace

UniqueHandle CreateTemporary(const std::string& folder, std::string& path) {
  static std::atomic<unsigned long> counter{0};
  static const std::string self = std::to_string(::GetCurrentProcessId()) + "." +
                                  std::to_string(StartTime(::GetCurrentProcess())) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = folder;
    path.append(kTempPrefix).append(self).append(std::to_string(++counter)).append(kTempSuffix);
    UniqueHandle out = Own(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (out) return out;
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  path.clear();
  return nullptr;
}

void RemoveStaleTemporaries(const std::string& folder) {
  WIN32_FIND_DATAA data;
  std::string pattern = folder;
  pattern.append(kTempPrefix).append("*").append(kTempSuffix);
  UniqueFind find = FindFirst(pattern, data);
  if (!find) return;
  do {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const std::string_view name(data.cFileName);
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
    const std::string_view fields = name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    std::size_t pos = 0;
    std::uint64_t pid = 0, second = 0, third = 0;
    if (!ReadNameNumber(fields, pos, '.', 0xffffffffu, pid)) continue;
    const std::string counted = std::string(fields.substr(pos)) + ".";
    std::size_t at = 0;
    if (!ReadNameNumber(counted, at, '.', kAny, second)) continue;
    const bool withStart = at < counted.size() && ReadNameNumber(counted, at, '.', kAny, third) && at == counted.size();
    if (withStart && ProcessAlive(static_cast<DWORD>(pid), second)) continue;
    if (!withStart && at != counted.size()) continue;  // not a name of ours
    const std::string path = folder + data.cFileName;
    const DWORD attributes = data.dwFileAttributes;
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileA(path.c_str())) ::SetFileAttributesA(path.c_str(), attributes);
  } while (FindNext(find, data));
}

}  // namespace install::platform
