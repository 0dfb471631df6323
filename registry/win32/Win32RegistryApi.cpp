// The registry seam on Windows: advapi32's ANSI registry calls and kernel32's
// ExpandEnvironmentStringsA, called directly.
#include <windows.h>

#include <cregistry/RegistryApi.h>

namespace cregistry {
namespace {

HKEY ToHkey(RegHandle h) { return reinterpret_cast<HKEY>(h); }
RegHandle FromHkey(HKEY h) { return reinterpret_cast<RegHandle>(h); }

class Win32RegistryApi final : public RegistryApi {
 public:
  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(ToHkey(parent), subKey, 0, access, &key);
    if (rc == ERROR_SUCCESS) out = FromHkey(key);
    return rc;
  }

  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    SECURITY_ATTRIBUTES sa{};  // length 0, no descriptor, not inheritable: the default security
    HKEY key = nullptr;
    DWORD disposition = 0;
    char emptyClass[] = "";
    LONG rc = RegCreateKeyExA(ToHkey(parent), subKey, 0, emptyClass, REG_OPTION_NON_VOLATILE, access, &sa,
                              &key, &disposition);
    if (rc == ERROR_SUCCESS) out = FromHkey(key);
    return rc;
  }

  long CloseKey(RegHandle key) override { return RegCloseKey(ToHkey(key)); }

  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    DWORD t = 0;
    DWORD s = size ? *size : 0;
    LONG rc = RegQueryValueExA(ToHkey(key), name, nullptr, type ? &t : nullptr, data, size ? &s : nullptr);
    if (type) *type = t;
    if (size) *size = s;
    return rc;
  }

  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    return RegSetValueExA(ToHkey(key), name, 0, type, data, size);
  }

  long DeleteKey(RegHandle parent, const char* subKey) override { return RegDeleteKeyA(ToHkey(parent), subKey); }

  long DeleteValue(RegHandle key, const char* name) override { return RegDeleteValueA(ToHkey(key), name); }

  long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) override {
    char noClass[1] = {0};
    DWORD classLen = 0, subKeys = 0, maxSubKeyLen = 0, maxClassLen = 0, values = 0, maxNameLen = 0,
          maxDataLen = 0, securityLen = 0;
    FILETIME lastWrite{};
    LONG rc = RegQueryInfoKeyA(ToHkey(key), noClass, &classLen, nullptr, &subKeys, &maxSubKeyLen, &maxClassLen,
                               &values, &maxNameLen, &maxDataLen, &securityLen, &lastWrite);
    if (rc == ERROR_SUCCESS) maxValueNameLen = maxNameLen;
    return rc;
  }

  long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) override {
    DWORD len = nameLen;
    LONG rc = RegEnumValueA(ToHkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
    nameLen = len;
    return rc;
  }

  long EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen, std::uint32_t* type,
                     std::uint8_t* data, std::uint32_t* size) override {
    DWORD len = nameLen;
    DWORD t = 0;
    DWORD s = size ? *size : 0;
    LONG rc = RegEnumValueA(ToHkey(key), index, name, &len, nullptr, type ? &t : nullptr, data, size ? &s : nullptr);
    nameLen = len;
    if (type) *type = t;
    if (size) *size = s;
    return rc;
  }

  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override {
    return RegEnumKeyA(ToHkey(key), index, name, nameSize);
  }

  long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) override {
    HKEY key = nullptr;
    LONG rc = RegConnectRegistryA(machine, ToHkey(root), &key);
    if (rc == ERROR_SUCCESS) out = FromHkey(key);
    return rc;
  }

  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override {
    return ExpandEnvironmentStringsA(src, dst, size);
  }
};

}  // namespace

std::shared_ptr<RegistryApi> DefaultRegistryApi() {
  // Never destroyed: other threads may still use it while the process ends.
  static const std::shared_ptr<RegistryApi>& api = *new std::shared_ptr<RegistryApi>(std::make_shared<Win32RegistryApi>());
  return api;
}

}  // namespace cregistry
