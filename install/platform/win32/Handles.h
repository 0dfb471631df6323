// The Windows platform's handles, each owned by an RAII type, and the find calls that the folder
// walk, the copy and the clean-up of temporaries share. Ordinary file: neither folder, nor hidden,
// nor system. A link is a name-surrogate reparse point (junction, symbolic link); other reparse
// points, such as the placeholders of a synced cloud folder, are ordinary folders and files.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace install::platform {

struct FindCloser {
  void operator()(HANDLE h) const { ::FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

// The find data is cleared before each call: Wine leaves dwReserved0 (the reparse tag) as it was.
inline UniqueFind FindFirst(const std::string& pattern, WIN32_FIND_DATAA& data) {
  data = {};
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &data);
  return UniqueFind(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

inline bool FindNext(const UniqueFind& find, WIN32_FIND_DATAA& data) {
  data = {};
  return ::FindNextFileA(find.get(), &data) != 0;
}

struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

inline UniqueHandle Own(HANDLE h) { return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h); }

inline constexpr DWORD kNotOrdinary = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A junction or symbolic link: the find data carries the reparse tag in dwReserved0. Tag 0 is
// reserved and never names a real reparse point on Windows; Wine 8 reports its Unix symlinks to
// folders as reparse points without filling in a tag, so they come with 0 and count as links too.
inline bool IsLink(const WIN32_FIND_DATAA& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0));
}

}  // namespace install::platform
