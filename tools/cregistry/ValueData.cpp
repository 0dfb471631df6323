#include "tools/cregistry/ValueData.h"

#include <array>
#include <cstdio>

#include "registry/regfile/RegFile.h"
#include "tools/cregistry/Options.h"

namespace cregistry::tool {

namespace rf = regfile;

std::string TypeName(std::uint32_t type) {
  static constexpr std::array<std::string_view, 12> kNames{
      "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
      "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
      "REG_QWORD"};
  if (type < kNames.size()) return std::string(kNames[type]);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", type);
  return buffer;
}

std::optional<std::uint32_t> TypeFromName(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 8> kTypes{{
      {"REG_SZ", rf::kRegSz},
      {"REG_EXPAND_SZ", rf::kRegExpandSz},
      {"REG_MULTI_SZ", rf::kRegMultiSz},
      {"REG_DWORD", rf::kRegDword},
      {"REG_QWORD", rf::kRegQword},
      {"REG_BINARY", rf::kRegBinary},
      {"REG_NONE", rf::kRegNone},
      {"REG_DWORD_BIG_ENDIAN", rf::kRegDwordBigEndian},
  }};
  for (const auto& [text, type] : kTypes)
    if (EqualsNoCase(name, text)) return type;
  return std::nullopt;
}

namespace {

std::uint64_t LittleEndian(std::string_view data, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t k = bytes; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[k]);
  return v;
}

std::string Hex(std::string_view data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

}  // namespace

std::string DisplayData(const RawValue& value, const std::string& separator) {
  const std::string& d = value.data;
  char buffer[32];
  switch (value.type) {
    case rf::kRegSz:
    case rf::kRegExpandSz:
      return d.substr(0, d.find('\0'));
    case rf::kRegMultiSz: {
      std::string out;
      std::size_t at = 0;
      bool first = true;
      while (at < d.size()) {
        std::size_t end = d.find('\0', at);
        if (end == std::string::npos) end = d.size();
        if (end == at) break;  // the empty string that ends the list
        if (!first) out += separator;
        out += d.substr(at, end - at);
        first = false;
        at = end + 1;
      }
      return out;
    }
    case rf::kRegDword:
    case rf::kRegDwordBigEndian:
      if (d.size() != 4) break;
      std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(LittleEndian(d, 4)));
      return buffer;
    case rf::kRegQword:
      if (d.size() != 8) break;
      std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(LittleEndian(d, 8)));
      return buffer;
    default:
      break;
  }
  return Hex(d);
}

namespace {

// A number in decimal or 0x hex, at most max.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  std::string_view s(text);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    if (v > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  out = v;
  return true;
}

}  // namespace

// The data of /d for a type, in the narrow form the registry calls take.
bool BuildData(std::uint32_t type, const std::string* given, const std::string& separator, std::string& data,
               std::string& error) {
  const std::string text = given ? *given : "";
  data.clear();
  switch (type) {
    case rf::kRegSz:
    case rf::kRegExpandSz:
      data = text + '\0';
      return true;
    case rf::kRegMultiSz: {
      if (separator.empty()) {
        error = "the separator of /s is empty";
        return false;
      }
      std::size_t at = 0;
      while (!text.empty()) {
        std::size_t end = text.find(separator, at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty()) {
          error = "REG_MULTI_SZ data cannot hold an empty string";
          return false;
        }
        data += part + '\0';
        if (end == std::string::npos) break;
        at = end + separator.size();
      }
      data += '\0';
      return true;
    }
    case rf::kRegDword:
    case rf::kRegDwordBigEndian:
    case rf::kRegQword: {
      const std::size_t bytes = type == rf::kRegQword ? 8 : 4;
      std::uint64_t v = 0;
      if (given == nullptr || !ParseNumber(text, bytes == 8 ? ~0ull : 0xFFFFFFFFull, v)) {
        error = "/d for " + TypeName(type) + " takes a number, decimal or 0x hex, of at most " +
                std::to_string(bytes * 8) + " bits";
        return false;
      }
      // Little-endian for every number type, REG_DWORD_BIG_ENDIAN included: Wine's reg stores and shows
      // it so.
      for (std::size_t k = 0; k < bytes; ++k) data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
      return true;
    }
    default: {
      if (text.size() % 2 != 0) {
        error = "/d for " + TypeName(type) + " takes hex digits in pairs";
        return false;
      }
      for (std::size_t k = 0; k < text.size(); k += 2) {
        std::uint64_t byte;
        if (!ParseNumber("0x" + text.substr(k, 2), 0xFF, byte)) {
          error = "/d for " + TypeName(type) + " takes hex digits in pairs";
          return false;
        }
        data.push_back(static_cast<char>(byte));
      }
      return true;
    }
  }
}

}  // namespace cregistry::tool
