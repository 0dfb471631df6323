// The registry seam: the twelve platform calls that cRegistry makes, behind one small interface.
//
// Two implementations exist, chosen at build time by DefaultRegistryApi():
//   - Windows: advapi32's Reg*A functions and kernel32's ExpandEnvironmentStringsA, called directly;
//   - Linux:   the registry store, one SQLite file that behaves like the Windows registry.
// A cRegistry object can be handed any other implementation (tests wrap the real one to inject faults
// or to record calls).
//
// Every call mirrors its Win32 namesake: it returns a Win32 error code (0 on success) and takes texts as
// NUL-terminated narrow strings (the ANSI code page on Windows, UTF-8 bytes on Linux). A handle is an
// opaque integer; the predefined roots have the values Windows gives them (see RootHandle).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace cregistry {

using RegHandle = std::uintptr_t;

// Win32 error codes that the registry calls answer with, and key access rights. (Named apart from
// <windows.h>'s macros, so that this header can follow it.)
namespace win32 {
inline constexpr long kSuccess = 0;
inline constexpr long kFileNotFound = 2;
inline constexpr long kAccessDenied = 5;
inline constexpr long kInvalidHandle = 6;
inline constexpr long kInvalidData = 13;
inline constexpr long kInvalidParameter = 87;
inline constexpr long kBadPathname = 161;
inline constexpr long kMoreData = 234;
inline constexpr long kNoMoreItems = 259;
inline constexpr long kBadDb = 1009;
inline constexpr long kKeyDeleted = 1018;
inline constexpr long kBadNetPath = 53;

// Access rights of a key.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyNotify = 0x0010;
inline constexpr std::uint32_t kKeyCreateLink = 0x0020;
inline constexpr std::uint32_t kKeySpecificRights = 0x003F;
inline constexpr std::uint32_t kKeyRead = 0x20019;        // KEY_READ
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;   // KEY_ALL_ACCESS
// The registry view an OpenKey or CreateKey reaches, as on 64-bit Windows: the 64-bit one (the default
// of a 64-bit program, as every program on the store is) or the 32-bit one, where HKLM\SOFTWARE and the
// other keys that Windows redirects lie under Wow6432Node.
inline constexpr std::uint32_t kKeyWow64_64Key = 0x0100;  // KEY_WOW64_64KEY
inline constexpr std::uint32_t kKeyWow64_32Key = 0x0200;  // KEY_WOW64_32KEY
}  // namespace win32

// The handle value of a predefined root key, from its 32-bit code (0x80000000 ...): sign-extended, as
// Windows defines HKEY_CLASSES_ROOT and its siblings.
constexpr RegHandle RootHandle(std::int32_t code) {
  return static_cast<RegHandle>(static_cast<std::intptr_t>(code));
}

class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  // RegOpenKeyExA(parent, subKey, 0, access, &out). An empty subKey opens a new handle to parent itself.
  virtual long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) = 0;
  // RegCreateKeyExA(parent, subKey, 0, "", 0 (non-volatile), access, all-zero security attributes, &out,
  // &disposition): opens the key, creating it and every missing key along the path first.
  virtual long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) = 0;
  // RegCloseKey.
  virtual long CloseKey(RegHandle key) = 0;
  // RegQueryValueExA(key, name, nullptr, type, data, size). With data == nullptr only the type and the
  // size are answered; a buffer that is too small answers kMoreData with the size needed and is
  // left untouched.
  virtual long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) = 0;
  // RegSetValueExA(key, name, 0, type, data, size).
  virtual long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) = 0;
  // RegDeleteKeyA(parent, subKey): deletes the last key of the path; refuses a key with sub-keys.
  virtual long DeleteKey(RegHandle parent, const char* subKey) = 0;
  // RegDeleteValueA(key, name); an empty name is the unnamed value.
  virtual long DeleteValue(RegHandle key, const char* name) = 0;
  // RegQueryInfoKeyA, reduced to the one answer the accessor uses: the length in characters (without
  // terminator) of the key's longest value name.
  virtual long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) = 0;
  // RegEnumValueA(key, index, name, &nameLen, nullptr, nullptr, nullptr, nullptr): nameLen comes in as
  // the buffer size in characters including the terminator and goes out as the name's length.
  virtual long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) = 0;
  // RegEnumValueA(key, index, name, &nameLen, nullptr, type, data, size): one value's name, type and
  // data in one call (the walk over a tree makes one call per value). kMoreData when the name or the data
  // does not fit, and then neither buffer's content may be relied on: list that index with EnumValue and
  // QueryValue instead. By default those two calls; advapi32 makes it one.
  virtual long EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen,
                             std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
    if (long rc = EnumValue(key, index, name, nameLen)) return rc;
    return QueryValue(key, name, type, data, size);
  }
  // RegEnumKeyA(key, index, name, nameSize): the name NUL-terminated in the buffer.
  virtual long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) = 0;
  // RegConnectRegistryA(machine, root, &out); machine in stored form ("\\name").
  virtual long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) = 0;
  // ExpandEnvironmentStringsA(src, dst, size): the size needed including the terminating NUL; the
  // expanded text is written when size is large enough. 0 on failure.
  virtual std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) = 0;
};

// The platform's implementation, shared by every cRegistry that is not given one of its own. On Linux
// this opens the registry store at its default place on first use (see <cregistry/Store.h>).
std::shared_ptr<RegistryApi> DefaultRegistryApi();

// Owns one key handle obtained from a RegistryApi and closes it when it goes out of scope.
class KeyHandle {
 public:
  KeyHandle() = default;
  explicit KeyHandle(RegistryApi& api) : api_(&api) {}
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  KeyHandle(KeyHandle&& other) noexcept : api_(other.api_), handle_(other.release()) {}
  KeyHandle& operator=(KeyHandle&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = other.api_;
      handle_ = other.release();
    }
    return *this;
  }
  ~KeyHandle() { reset(); }

  RegHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }
  // Where a call writes the handle it opens; the handle then belongs to this object.
  RegHandle& out() {
    reset();
    return handle_;
  }
  RegHandle release() {
    RegHandle h = handle_;
    handle_ = 0;
    return h;
  }
  void reset() {
    if (handle_ != 0 && api_ != nullptr) api_->CloseKey(handle_);
    handle_ = 0;
  }

 private:
  RegistryApi* api_ = nullptr;
  RegHandle handle_ = 0;
};

}  // namespace cregistry
