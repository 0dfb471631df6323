#include <cregistry/cRegistry.h>

#include <climits>
#include <cstring>
#include <new>

#include "registry/Ascii.h"
#include "registry/Utf8.h"

namespace cregistry {

// Whether the narrow texts of the registry calls are UTF-8 (Process.cpp of the platform).
bool NarrowTextIsUtf8();

namespace {

using namespace win32;

std::string Decimal(std::int32_t n) { return std::to_string(n); }

// Text of a value for a message. A byte array has no text form of its own; it is shown as its bytes in
// hexadecimal so that the message can still be raised.
std::string MessageText(const Variant& v) {
  if (v.kind() != Variant::Kind::ByteArray) return v.ToText();
  std::string out;
  for (std::uint8_t b : v.AsByteArray().bytes) {
    if (!out.empty()) out += ' ';
    ascii::AppendHexByte(out, b);
  }
  return out;
}

// A text holds a "%" followed, two or more positions later, by another "%": stored as REG_EXPAND_SZ.
bool HasPercentPair(const std::string& text) {
  auto first = text.find('%');
  return first != std::string::npos && text.find('%', first + 2) != std::string::npos;
}

RegistryError AccessorError(std::int32_t number, std::string description) {
  return RegistryError(number, RegistryError::AccessorSource(), std::move(description));
}

RegistryError Overflow() { return RegistryError(6, RegistryError::ExecutableName(), "Overflow"); }

// Characters of a narrow text: of UTF-8 (Linux, or Windows under the UTF-8 code page) every byte that
// does not continue a sequence; of a single-byte code page every byte.
std::size_t CharacterCount(const std::string& text) {
  return NarrowTextIsUtf8() ? utf8::Chars(text) : text.size();
}

// How many times a value read starts again when the value changes between its size and data queries.
constexpr int kReadAttempts = 5;

// The registry takes data sizes of 32 bits; the store binds sizes below 2 GiB.
bool FitsDataSize(std::size_t size) { return size <= 0xFFFFFFFFu; }

// Quotes an executable path for a command line: trims spaces, then makes sure a double quote stands at
// each end.
std::string QuotePath(std::string path) {
  auto first = path.find_first_not_of(' ');
  if (first == std::string::npos) {
    path.clear();
  } else {
    path = path.substr(first, path.find_last_not_of(' ') - first + 1);
  }
  if (path.empty() || path.front() != '"') path.insert(path.begin(), '"');
  if (path.back() != '"') path.push_back('"');
  return path;
}

}  // namespace

cRegistry::cRegistry() : cRegistry(DefaultRegistryApi()) {}

cRegistry::cRegistry(std::shared_ptr<RegistryApi> api) : api_(std::move(api)) {}

// --- Properties --------------------------------------------------------------------------------------

std::string cRegistry::Machine() const { return machine_; }

void cRegistry::Machine(const std::string& sMachine) {
  if (CharacterCount(sMachine) < 3) {
    machine_.clear();
  } else if (sMachine.compare(0, 2, "\\\\") == 0) {
    machine_ = sMachine;
  } else {
    machine_ = "\\\\" + sMachine;
  }
}

RegistryValueType cRegistry::ValueType() const { return valueType_; }
void cRegistry::ValueType(RegistryValueType eValueType) { valueType_ = eValueType; }
RegistryRootKey cRegistry::ClassKey() const { return classKey_; }
void cRegistry::ClassKey(RegistryRootKey eKey) { classKey_ = eKey; }
std::string cRegistry::SectionKey() const { return sectionKey_; }
void cRegistry::SectionKey(const std::string& sSectionKey) { sectionKey_ = sSectionKey; }
std::string cRegistry::ValueKey() const { return valueKey_; }
void cRegistry::ValueKey(const std::string& sValueKey) { valueKey_ = sValueKey; }
Variant cRegistry::Default() const { return default_; }
void cRegistry::Default(const Variant& vDefault) { default_ = vDefault; }

// --- Keys ----------------------------------------------------------------------------------------------

RegBool cRegistry::KeyExists() const {
  KeyHandle key(*api_);
  return api_->OpenKey(RootHandle(classKey_), sectionKey_.c_str(), kKeyQueryValue, key.out()) == kSuccess;
}

RegBool cRegistry::CreateKey() {
  KeyHandle key(*api_);
  if (api_->CreateKey(RootHandle(classKey_), sectionKey_.c_str(), kKeySpecificRights, key.out()) != kSuccess) {
    throw AccessorError(kErrRegistry, "Failed to create registry Key: '" + sectionKey_);
  }
  return true;
}

RegBool cRegistry::DeleteKey() {
  if (api_->DeleteKey(RootHandle(classKey_), sectionKey_.c_str()) != kSuccess) {
    throw AccessorError(kErrRegistry,
                        "Failed to delete registry Key: '" + Decimal(classKey_) + "',Section: '" + sectionKey_);
  }
  return true;
}

RegBool cRegistry::DeleteValue() {
  KeyHandle key(*api_);
  if (api_->OpenKey(RootHandle(classKey_), sectionKey_.c_str(), kKeySpecificRights, key.out()) != kSuccess) {
    throw AccessorError(kErrRegistry, "Failed to open key '" + Decimal(classKey_) + "',Section: '" + sectionKey_ +
                                          "' for delete access");
  }
  long rc = api_->DeleteValue(key.get(), valueKey_.c_str());
  key.reset();
  if (rc != kSuccess) {
    throw AccessorError(kErrRegistry, "Failed to delete registry Key: '" + Decimal(classKey_) + "',Section: '" +
                                          sectionKey_ + "',Key: '" + valueKey_);
  }
  return true;
}

// --- Values --------------------------------------------------------------------------------------------

bool cRegistry::OpenBase(KeyHandle& remote, RegHandle& base) const {
  if (machine_.empty()) {
    base = RootHandle(classKey_);
    return true;
  }
  if (api_->ConnectRegistry(machine_.c_str(), RootHandle(classKey_), remote.out()) != kSuccess) return false;
  base = remote.get();
  return true;
}

std::string cRegistry::WriteErrorMessage(const Variant& vValue) const {
  return "Failed to set registry value Key: '" + Decimal(classKey_) + "',Section: '" + sectionKey_ + "',Key: '" +
         valueKey_ + "' to value: '" + MessageText(vValue) + "'";
}

Variant cRegistry::Value() {
  KeyHandle remote(*api_);
  RegHandle base = 0;
  if (!OpenBase(remote, base)) return default_;

  KeyHandle key(*api_);
  if (api_->OpenKey(base, sectionKey_.c_str(), kKeyQueryValue, key.out()) != kSuccess) return default_;

  // The size query and the data query are two calls: another writer may change the value between
  // them. A data query that answers "more data", another size or another type than the size query
  // found starts the read again, a few times; then the read fails as any failed read does.
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    long rc = api_->QueryValue(key.get(), valueKey_.c_str(), &type, nullptr, &size);
    if (rc != kSuccess && rc != kMoreData) return default_;
    valueType_ = static_cast<RegistryValueType>(type);
    const bool dword = type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN;
    // A DWORD is never read as more than the four bytes of the integer.
    const std::uint32_t capacity = dword ? 4 : size;
    std::string buf(capacity, '\0');
    std::uint32_t got = capacity;
    std::uint32_t gotType = type;
    rc = capacity == 0 ? kSuccess
                       : api_->QueryValue(key.get(), valueKey_.c_str(), &gotType,
                                          reinterpret_cast<std::uint8_t*>(buf.data()), &got);
    if (dword && size > 4 && gotType == type && rc == kMoreData) {
      // Data longer than an integer: the buffer is undefined after "more data"; the answer is 0.
      return valueType_ == REG_DWORD ? Variant(std::int32_t{0}) : Variant(SwapByteOrder(0));
    }
    if (rc == kMoreData || (rc == kSuccess && (gotType != type || (capacity > 0 && got != size)))) continue;
    if (rc != kSuccess) return default_;
    buf.resize(capacity == 0 ? 0 : got);
    switch (type) {
      case REG_SZ:
      case REG_EXPAND_SZ:
      case REG_MULTI_SZ:
        // The data less its last byte: the terminating NUL of well-formed data. Data of no bytes at
        // all reads as the empty text.
        if (!buf.empty()) buf.pop_back();
        if (valueType_ == REG_EXPAND_SZ) return ExpandVariables(buf);
        return buf;
      case REG_DWORD:
      case REG_DWORD_BIG_ENDIAN: {
        // Shorter data fills the low-order bytes.
        std::uint32_t u = 0;
        for (std::size_t k = 0; k < buf.size(); ++k) u |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(buf[k])) << (8 * k);
        const auto n = static_cast<std::int32_t>(u);
        return valueType_ == REG_DWORD ? n : SwapByteOrder(n);
      }
      default: {
        ByteArray array;
        array.bytes.assign(buf.begin(), buf.end());
        return array;
      }
    }
  }
  return default_;
}

void cRegistry::Value(Variant vValue) {
  KeyHandle remote(*api_);
  RegHandle base = 0;
  if (!OpenBase(remote, base)) return;  // unreachable machine: nothing is written

  KeyHandle key(*api_);
  if (api_->CreateKey(base, sectionKey_.c_str(), kKeySpecificRights, key.out()) != kSuccess) {
    throw AccessorError(kErrRegistry, WriteErrorMessage(vValue));
  }

  long rc = kSuccess;
  const char* name = valueKey_.c_str();
  switch (valueType_) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      const std::string text = vValue.ToText();
      const std::uint32_t type = HasPercentPair(text) ? REG_EXPAND_SZ : REG_SZ;
      if (!FitsDataSize(text.size() + 1)) {
        rc = kInvalidParameter;  // more than a registry value can hold: nothing is stored
        break;
      }
      rc = api_->SetValue(key.get(), name, type, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                          static_cast<std::uint32_t>(text.size() + 1));
      break;
    }
    case REG_BINARY: {
      if (vValue.kind() != Variant::Kind::ByteArray) {
        // Raised with the number alone: the source and description are the defaults of an
        // application-defined error.
        throw RegistryError(kErrRegistry, RegistryError::ExecutableName(),
                            "Application-defined or object-defined error");
      }
      const ByteArray& array = vValue.AsByteArray();
      if (array.bytes.empty()) throw RegistryError::SubscriptOutOfRange();
      if (!FitsDataSize(array.bytes.size())) {
        rc = kInvalidParameter;
        break;
      }
      rc = api_->SetValue(key.get(), name, REG_BINARY, array.bytes.data(), static_cast<std::uint32_t>(array.bytes.size()));
      break;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
      std::int32_t n = 0;
      if (vValue.kind() == Variant::Kind::Integer) {
        n = vValue.AsInteger();
      } else if (vValue.kind() == Variant::Kind::Long) {
        n = vValue.AsLong();
      } else {
        break;  // not an integer: nothing is written
      }
      const auto u = static_cast<std::uint32_t>(n);
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                     static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
      rc = api_->SetValue(key.get(), name, REG_DWORD, bytes, 4);
      break;
    }
    default:
      rc = kInvalidData;
      break;
  }
  if (rc != kSuccess) {
    key.reset();
    throw AccessorError(kErrSetValue, WriteErrorMessage(vValue));
  }
}

Variant cRegistry::ValueEx(RegistryRootKey& eKey, std::string& sSection, std::string& sValueKey,
                           RegistryValueType& eValueType, Variant& vDefault) {
  ClassKey(eKey);
  SectionKey(sSection);
  ValueKey(sValueKey);
  ValueType(eValueType);
  Default(vDefault);
  return Value();
}

void cRegistry::ValueEx(RegistryRootKey& eKey, std::string& sSection, std::string& sValueKey,
                        RegistryValueType& eValueType, Variant& vDefault, const Variant& NewValue) {
  ClassKey(eKey);
  SectionKey(sSection);
  ValueKey(sValueKey);
  ValueType(eValueType);
  Default(vDefault);
  // An empty text written as REG_SZ stores the default instead.
  if (valueType_ == REG_SZ && NewValue.ToText().empty()) {
    Value(default_);
  } else {
    Value(NewValue);
  }
}

std::int32_t cRegistry::SwapByteOrder(std::int32_t lValue) {
  const auto u = static_cast<std::uint32_t>(lValue);
  return static_cast<std::int32_t>((u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24));
}

std::string cRegistry::ExpandVariables(const std::string& sValue) const {
  const std::uint32_t needed = api_->ExpandEnvironment(sValue.c_str(), nullptr, 0);
  if (needed == 0) return sValue;  // the expansion failed: the text as it stands
  std::string buf(needed, '\0');
  api_->ExpandEnvironment(sValue.c_str(), buf.data(), needed);
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

// --- Listings ------------------------------------------------------------------------------------------

RegBool cRegistry::EnumerateValues(std::vector<std::string>& sKeyNames, std::int32_t& iKeyCount) {
  iKeyCount = 0;
  sKeyNames.clear();

  KeyHandle key(*api_);
  if (api_->OpenKey(RootHandle(classKey_), sectionKey_.c_str(), kKeyQueryValue, key.out()) != kSuccess) {
    return true;
  }
  std::uint32_t longest = 0;
  if (api_->QueryInfoKey(key.get(), longest) != kSuccess) return true;

  for (std::uint32_t index = 0;; ++index) {
    std::string name(static_cast<std::size_t>(longest) + 1, '\0');
    std::uint32_t length = longest + 1;
    if (api_->EnumValue(key.get(), index, name.data(), length) != kSuccess) break;
    name.resize(length < name.size() ? length : name.size());
    if (iKeyCount == INT32_MAX) throw Overflow();
    sKeyNames.push_back(std::move(name));
    ++iKeyCount;
  }
  return true;
}

RegBool cRegistry::EnumerateSections(std::vector<std::string>& sSect, std::int32_t& iSectCount) {
  iSectCount = 0;
  sSect.clear();

  KeyHandle key(*api_);
  try {
    constexpr std::uint32_t kNameBuffer = 255;
    long rc = api_->OpenKey(RootHandle(classKey_), sectionKey_.c_str(), kKeyEnumerateSubKeys, key.out());
    for (std::uint32_t index = 0; rc == kSuccess; ++index) {
      char name[kNameBuffer] = {};
      rc = api_->EnumKey(key.get(), index, name, kNameBuffer);
      if (rc == kSuccess) {
        if (iSectCount == INT32_MAX) throw Overflow();
        sSect.emplace_back(name, strnlen(name, kNameBuffer));
        ++iSectCount;
      }
    }
  } catch (const RegistryError& e) {
    key.reset();
    throw AccessorError(kErrEnumerateSections, e.description());
  } catch (const std::bad_alloc&) {
    key.reset();
    throw AccessorError(kErrEnumerateSections, "Out of memory");
  } catch (const std::exception& e) {
    key.reset();
    throw AccessorError(kErrEnumerateSections, e.what());
  }
  return true;
}

// --- File-type associations ----------------------------------------------------------------------------

void cRegistry::WriteClassesValue(const std::string& sValue) {
  ClassKey(HKEY_CLASSES_ROOT);
  Value(Variant(sValue));
  const std::string section = sectionKey_;
  ClassKey(HKEY_LOCAL_MACHINE);
  SectionKey("SOFTWARE\\Classes\\" + section);
  Value(Variant(sValue));
  SectionKey(section);
}

void cRegistry::CreateEXEAssociation(std::string sExePath, std::string sClassName, std::string sClassDescription,
                                     std::string sAssociation, std::string sOpenMenuText, RegBool bSupportPrint,
                                     std::string sPrintMenuText, RegBool bSupportNew, std::string sNewMenuText,
                                     RegBool bSupportInstall, std::string sInstallMenuText,
                                     std::int32_t lDefaultIconIndex) {
  const std::string exe = QuotePath(std::move(sExePath));

  SectionKey("." + sAssociation);
  ValueType(REG_SZ);
  ValueKey("");
  WriteClassesValue(sClassName);

  SectionKey(sClassName);
  WriteClassesValue(sClassDescription);

  auto verb = [&](const std::string& name, const std::string& menuText, const std::string& fallback,
                  const char* suffix) {
    const std::string key = sClassName + "\\shell\\" + name;
    SectionKey(key);
    ValueKey("");
    WriteClassesValue(menuText.empty() ? fallback : menuText);
    SectionKey(key + "\\command");
    ValueKey("");
    WriteClassesValue(exe + suffix);
  };
  verb("open", sOpenMenuText, "&Open", " \"%1\"");
  if (bSupportPrint) verb("print", sPrintMenuText, "&Print", " /p \"%1\"");
  if (bSupportInstall) verb("add", sInstallMenuText, "&Install " + sAssociation, " /a \"%1\"");
  if (bSupportNew) verb("new", sNewMenuText, "&New", " /n \"%1\"");

  if (lDefaultIconIndex > -1) {
    SectionKey(sClassName + "\\DefaultIcon");
    ValueKey("");
    WriteClassesValue(exe + "," + std::to_string(lDefaultIconIndex));
  }
}

void cRegistry::CreateAdditionalEXEAssociations(std::string sClassName, std::vector<Variant> vItems) {
  if (vItems.size() % 3 != 0) {
    throw AccessorError(kErrAssociationItems,
                        "Invalid parameter list passed to CreateAdditionalEXEAssociations - expected Name/Text/Command");
  }
  // The class is looked for where the verbs are written: under HKEY_CLASSES_ROOT.
  ClassKey(HKEY_CLASSES_ROOT);
  SectionKey(sClassName);
  if (!KeyExists()) {
    throw AccessorError(kErrAssociationClass, "Error - attempt to create additional associations before class defined.");
  }

  // Each step stands alone: a failing step is skipped and the next one runs.
  auto step = [](auto&& action) {
    try {
      action();
    } catch (const std::exception&) {
    }
  };
  for (std::size_t i = 0; i + 2 < vItems.size(); i += 3) {
    std::string verbKey;
    try {
      verbKey = sClassName + "\\shell\\" + vItems[i].ToText();
    } catch (const std::exception&) {
      // A name without a text form names no verb; writing its rows would land under the previous
      // triple's keys.
      continue;
    }
    step([&] { ValueType(REG_SZ); });
    step([&] { SectionKey(verbKey); });
    step([&] { ValueKey(""); });
    step([&] { WriteClassesValue(vItems[i + 1].ToText()); });
    step([&] { SectionKey(verbKey + "\\command"); });
    step([&] { ValueKey(""); });
    step([&] { WriteClassesValue(vItems[i + 2].ToText()); });
  }
}

}  // namespace cregistry
