#include "install/platform/win32/Placement.h"

#include <vector>

#include "install/platform/win32/Temporaries.h"

namespace install::platform {

void Pending::Discard() {
  out.reset();
  if (temp.empty()) return;
  ::SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA(temp.c_str());
  temp.clear();
}

bool WriteTemporary(const std::string& source, const std::string& folder, Pending& p) {
  UniqueHandle in = Own(::CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!in || !::GetFileInformationByHandle(in.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  p.out = CreateTemporary(folder, p.temp);
  if (!p.out) return false;
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

}  // namespace install::platform
