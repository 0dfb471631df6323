// The hive verbs on Windows: the system's own calls (RegSaveKeyExW, RegRestoreKeyW, RegLoadKeyW,
// RegUnLoadKeyW), made as reg makes them, after enabling the backup and restore privileges in the
// process token. Names and paths come in the process code page (UTF-8 by the manifest) and go to the
// wide calls converted from it, as the narrow calls of the seam convert them; a file is named by its full
// path, since the registry resolves a relative one on its own terms.
//
// save and restore open the key through the seam, so that /reg:32 and /reg:64 reach them as they reach
// every other verb; the seam's handles on Windows are advapi32's HKEYs.
#include <windows.h>

#include <initializer_list>
#include <memory>
#include <random>
#include <string>

#include "tools/cregistry/Tool.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool::platform {

namespace {

// SE_BACKUP_NAME and SE_RESTORE_NAME, whose <windows.h> spelling follows UNICODE.
constexpr const wchar_t* kBackup = L"SeBackupPrivilege";
constexpr const wchar_t* kRestore = L"SeRestorePrivilege";

struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::wstring Wide(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
  return wide;
}

HKEY Hkey(RegHandle handle) { return reinterpret_cast<HKEY>(handle); }
HKEY Root(const KeyName& key) { return Hkey(RootHandle(key.root)); }

// Fills in the error of a failed call; file: the code concerns the file, not the key.
bool Fail(Context& c, long code, const std::string& where, const char* operation, bool file = false) {
  c.error.code = code;
  c.error.keyPath = where;
  c.error.operation = operation;
  c.error.fileCode = file;
  return false;
}

// Enables each privilege in the process token. AdjustTokenPrivileges succeeds also when the token does
// not hold one, and then says so through GetLastError alone.
long EnablePrivileges(std::initializer_list<const wchar_t*> names) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return GetLastError();
  const UniqueHandle token(raw);
  for (const wchar_t* name : names) {
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid)) return GetLastError();
    SetLastError(ERROR_SUCCESS);
    if (!AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof wanted, nullptr, nullptr)) return GetLastError();
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) return ERROR_PRIVILEGE_NOT_HELD;
  }
  return ERROR_SUCCESS;
}

// The full path of file, as the user means it: relative to the current directory. Empty on failure.
std::wstring FullPath(const std::string& file) {
  const std::wstring wide = Wide(file);
  if (wide.empty()) return {};
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

// The full path of a hive file that a call reads; empty with the error set when there is no such file.
// RegLoadKeyW is documented to create a missing file as an empty hive: here a missing file is an error.
std::wstring ExistingFile(Context& c, const std::string& file, const char* operation) {
  std::wstring path = FullPath(file);
  if (path.empty()) {
    Fail(c, ERROR_BAD_PATHNAME, file, operation, true);
  } else if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Fail(c, static_cast<long>(GetLastError()), file, operation, true);
    path.clear();
  }
  return path;
}

// A new name beside target, in the manner of OutputFile's temporary files.
std::wstring NameBeside(const std::wstring& target, std::mt19937& random) {
  const std::wstring::size_type slash = target.find_last_of(L"\\/");
  return target.substr(0, slash + 1) + L"." + target.substr(slash + 1) + L"." +
         std::to_wstring(random() % 1000000000u) + L".tmp";
}

}  // namespace

bool SaveKey(Context& c, const KeyName& key, const std::string& file, bool replace) {
  constexpr const char* kOperation = "cannot save the key";
  if (long rc = EnablePrivileges({kBackup})) return Fail(c, rc, key.asGiven, kOperation);
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, KEY_READ, handle) != ERROR_SUCCESS) return false;
  const std::wstring target = FullPath(file);
  if (target.empty()) return Fail(c, ERROR_BAD_PATHNAME, file, kOperation, true);
  // RegSaveKeyExW creates its file, refusing an existing one: the hive goes to a new name beside the
  // target, which takes the target's name once complete. A failed save leaves the target as it was.
  std::mt19937 random(std::random_device{}());
  std::wstring temp;
  long rc = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 16 && (rc == ERROR_FILE_EXISTS || rc == ERROR_ALREADY_EXISTS); ++attempt) {
    temp = NameBeside(target, random);
    rc = RegSaveKeyExW(Hkey(handle.get()), temp.c_str(), nullptr, REG_LATEST_FORMAT);
  }
  if (rc != ERROR_SUCCESS) return Fail(c, rc, file, kOperation, true);
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(temp.c_str(), target.c_str(), flags)) return true;
  rc = static_cast<long>(GetLastError());
  DeleteFileW(temp.c_str());
  if (rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS) return Fail(c, rc, file, kOperation, true);
  c.error.keyPath = file;  // it appeared meanwhile
  c.error.detail = "the file exists: add /y to replace it";
  return false;
}

bool RestoreKey(Context& c, const KeyName& key, const std::string& file) {
  constexpr const char* kOperation = "cannot restore the key";
  if (long rc = EnablePrivileges({kRestore, kBackup})) return Fail(c, rc, key.asGiven, kOperation);
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, KEY_ALL_ACCESS, handle) != ERROR_SUCCESS) return false;
  const std::wstring path = ExistingFile(c, file, kOperation);
  if (path.empty()) return false;
  const long rc = RegRestoreKeyW(Hkey(handle.get()), path.c_str(), REG_FORCE_RESTORE);
  return rc == ERROR_SUCCESS || Fail(c, rc, key.asGiven, kOperation);
}

bool LoadKey(Context& c, const KeyName& key, const std::string& file) {
  constexpr const char* kOperation = "cannot load the hive";
  if (long rc = EnablePrivileges({kRestore, kBackup})) return Fail(c, rc, key.asGiven, kOperation);
  const std::wstring path = ExistingFile(c, file, kOperation);
  if (path.empty()) return false;
  const long rc = RegLoadKeyW(Root(key), Wide(key.subPath).c_str(), path.c_str());
  return rc == ERROR_SUCCESS || Fail(c, rc, key.asGiven, kOperation);
}

bool UnloadKey(Context& c, const KeyName& key) {
  constexpr const char* kOperation = "cannot unload the hive";
  if (long rc = EnablePrivileges({kRestore, kBackup})) return Fail(c, rc, key.asGiven, kOperation);
  const long rc = RegUnLoadKeyW(Root(key), Wide(key.subPath).c_str());
  return rc == ERROR_SUCCESS || Fail(c, rc, key.asGiven, kOperation);
}

}  // namespace cregistry::tool::platform
