// cRegistry: a stateful accessor of the Windows registry.
//
// The object holds a current location (root key, sub-key path, value name, value type, a fallback value
// and optionally a remote machine) and offers key tests, creation and deletion, typed value reading and
// writing, listings of values and sub-keys, and the registration of file-type associations. It keeps no
// registry handle between calls: every operation opens what it needs and closes it before it returns.
//
// A failing member throws RegistryError. This header does not include <windows.h>; a Windows caller
// that does include it may still pass HKEY_CURRENT_USER or REG_SZ to the setters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>
#include <cregistry/RegistryError.h>
#include <cregistry/Variant.h>

#ifdef _WIN32
struct HKEY__;  // <windows.h>'s HKEY is HKEY__*
#endif

namespace cregistry {

// A 16-bit boolean: true is -1, false is 0; any non-zero value counts as true.
class RegBool {
 public:
  constexpr RegBool() = default;
  constexpr RegBool(bool b) : value_(b ? -1 : 0) {}
  static constexpr RegBool FromRaw(std::int16_t raw) {
    RegBool b;
    b.value_ = raw;
    return b;
  }
  constexpr std::int16_t raw() const { return value_; }
  constexpr explicit operator bool() const { return value_ != 0; }
  friend constexpr bool operator==(RegBool a, RegBool b) { return bool(a) == bool(b); }

 private:
  std::int16_t value_ = 0;
};
static_assert(sizeof(RegBool) == 2);
inline constexpr RegBool RegTrue = RegBool::FromRaw(-1);
inline constexpr RegBool RegFalse = RegBool::FromRaw(0);

// Root keys: the platform's predefined HKEY_ values, as 32-bit codes.
enum RegistryRootKey : std::int32_t {
#ifndef HKEY_CLASSES_ROOT
  HKEY_CLASSES_ROOT = static_cast<std::int32_t>(0x80000000u),
  HKEY_CURRENT_USER = static_cast<std::int32_t>(0x80000001u),
  HKEY_LOCAL_MACHINE = static_cast<std::int32_t>(0x80000002u),
  HKEY_USERS = static_cast<std::int32_t>(0x80000003u),
  HKEY_PERFORMANCE_DATA = static_cast<std::int32_t>(0x80000004u),
  HKEY_CURRENT_CONFIG = static_cast<std::int32_t>(0x80000005u),
  HKEY_DYN_DATA = static_cast<std::int32_t>(0x80000006u),
#endif
};

// Value types: the platform's REG_ codes.
enum RegistryValueType : std::int32_t {
#ifndef REG_SZ
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_DWORD_BIG_ENDIAN = 5,
  REG_LINK = 6,
  REG_MULTI_SZ = 7,
#endif
};

class cRegistry {
 public:
  // Works on the platform's registry (Windows) or the registry store (Linux).
  cRegistry();
  // Works through the given implementation of the registry calls.
  explicit cRegistry(std::shared_ptr<RegistryApi> api);

  // The members, in the order of the accessor's interface.
  std::string Machine() const;
  void Machine(const std::string& sMachine);
  RegBool KeyExists() const;
  RegBool CreateKey();
  RegBool DeleteKey();
  RegBool DeleteValue();
  Variant Value();
  void Value(Variant vValue);
  RegBool EnumerateValues(std::vector<std::string>& sKeyNames, std::int32_t& iKeyCount);
  RegBool EnumerateSections(std::vector<std::string>& sSect, std::int32_t& iSectCount);
  void CreateEXEAssociation(std::string sExePath, std::string sClassName, std::string sClassDescription,
                            std::string sAssociation, std::string sOpenMenuText = "&Open",
                            RegBool bSupportPrint = false, std::string sPrintMenuText = "&Print",
                            RegBool bSupportNew = false, std::string sNewMenuText = "&New",
                            RegBool bSupportInstall = false, std::string sInstallMenuText = "",
                            std::int32_t lDefaultIconIndex = -1);
  void CreateAdditionalEXEAssociations(std::string sClassName, std::vector<Variant> vItems = {});
  RegistryValueType ValueType() const;
  void ValueType(RegistryValueType eValueType);
  RegistryRootKey ClassKey() const;
  void ClassKey(RegistryRootKey eKey);
  std::string SectionKey() const;
  void SectionKey(const std::string& sSectionKey);
  std::string ValueKey() const;
  Variant ValueEx(RegistryRootKey& ClassKey, std::string& SectionKey, std::string& ValueKey,
                  RegistryValueType& ValueType, Variant& Default);
  void ValueEx(RegistryRootKey& ClassKey, std::string& SectionKey, std::string& ValueKey,
               RegistryValueType& ValueType, Variant& Default, const Variant& NewValue);
  void ValueKey(const std::string& sValueKey);
  Variant Default() const;
  void Default(const Variant& vDefault);

#ifdef _WIN32
  // For callers that include <windows.h>, whose HKEY_ and REG_ names are macros of other types.
  void ClassKey(HKEY__* eKey) {
    ClassKey(static_cast<RegistryRootKey>(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(eKey))));
  }
  void ValueType(unsigned long eValueType) { ValueType(static_cast<RegistryValueType>(eValueType)); }
#endif

  // The implementation of the registry calls that this object uses.
  RegistryApi& Api() const { return *api_; }

 private:
  void WriteClassesValue(const std::string& sValue);
  static std::int32_t SwapByteOrder(std::int32_t lValue);
  std::string ExpandVariables(const std::string& sValue) const;

  // The base key of a value read or write: the root itself, or the named machine's root.
  bool OpenBase(KeyHandle& remote, RegHandle& base) const;
  std::string WriteErrorMessage(const Variant& vValue) const;

  std::shared_ptr<RegistryApi> api_;
  RegistryRootKey classKey_ = static_cast<RegistryRootKey>(0);
  std::string sectionKey_;
  std::string valueKey_;
  Variant default_;
  RegistryValueType valueType_ = static_cast<RegistryValueType>(0);
  std::string machine_;
};

}  // namespace cregistry
