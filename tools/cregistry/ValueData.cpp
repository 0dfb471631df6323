#include "tools/cregistry/ValueData.h"

#include <array>
#include <cstdio>

#include "registry/Ascii.h"
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
  static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 9> kTypes{{
      {"REG_SZ", rf::kRegSz},
      {"REG_EXPAND_SZ", rf::kRegExpandSz},
      {"REG_MULTI_SZ", rf::kRegMultiSz},
      {"REG_DWORD", rf::kRegDword},
      {"REG_DWORD_LITTLE_ENDIAN", rf::kRegDword},
      {"REG_QWORD", rf::kRegQword},
      {"REG_BINARY", rf::kRegBinary},
      {"REG_NONE", rf::kRegNone},
      {"REG_DWORD_BIG_ENDIAN", rf::kRegDwordBigEndian},
  }};
  for (const auto& [text, type] : kTypes)
    if (ascii::EqualsNoCase(name, text)) return type;
  return std::nullopt;
}

namespace {

std::uint64_t LittleEndian(std::string_view data, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t k = bytes; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[k]);
  return v;
}

std::string Hex(std::string_view data) {
  std::string out;
  for (unsigned char b : data) ascii::AppendHexByte(out, b);
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

// A number as reg reads one, with the C library's strtoul: hex when the second character is an x,
// else decimal; leading white space and a sign taken; nothing after the digits; at most max. No digits
// at all is 0 for an empty text and an error otherwise. A minus takes the two's complement; reg refuses
// it in front of a REG_DWORD.
bool ParseNumber(std::string_view s, std::uint64_t max, bool dword, std::uint64_t& out) {
  if (dword && s.starts_with('-')) return false;
  const int base = s.size() > 1 && (s[1] == 'x' || s[1] == 'X') ? 16 : 10;
  std::string_view rest = s;
  while (!rest.empty() && (rest[0] == ' ' || (rest[0] >= '\t' && rest[0] <= '\r'))) rest.remove_prefix(1);
  const bool negative = rest.starts_with('-');
  if (negative || rest.starts_with('+')) rest.remove_prefix(1);
  if (base == 16 && rest.size() > 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X') &&
      ascii::HexDigitValue(rest[2]) >= 0)
    rest.remove_prefix(2);
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (; digits < rest.size(); ++digits) {
    const int digit = ascii::HexDigitValue(rest[digits]);
    if (digit < 0 || digit >= base) break;
    if (v > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  if (digits == 0) {
    out = 0;
    return s.empty();
  }
  if (digits != rest.size()) return false;
  out = negative ? (~v + 1) & max : v;
  return true;
}

// Text as UTF-16LE with its NUL, as reg stores REG_NONE data.
std::string Utf16WithNul(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = length == 1 ? b : b & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    const auto unit = [&](std::uint32_t u) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  out.append(2, '\0');
  return out;
}

}  // namespace

bool BuildData(std::uint32_t type, const std::string* given, const std::string* separatorGiven, std::string& data,
               std::string& error) {
  const std::string text = given ? *given : "";
  data.clear();
  switch (type) {
    case rf::kRegSz:
    case rf::kRegExpandSz:
      data = text + '\0';
      return true;
    case rf::kRegNone:
      data = Utf16WithNul(text);
      return true;
    case rf::kRegMultiSz: {
      // Items end at the separator (one character; "\\0", the two characters, by default). The last
      // may end with it; an empty item elsewhere is refused, but a lone separator is one empty string.
      const std::string separator = separatorGiven ? *separatorGiven : "\\0";
      if (separatorGiven && (separator.empty() || separator.size() > 1)) {
        error = "the separator of /s must be one character";
        return false;
      }
      if (text == separator) {
        data.assign(2, '\0');
        return true;
      }
      for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(separator, at);
        if (end == at) {
          error = "REG_MULTI_SZ data cannot hold an empty string";
          return false;
        }
        data += text.substr(at, end == std::string::npos ? std::string::npos : end - at) + '\0';
        if (end == std::string::npos) break;
        at = end + separator.size();
      }
      data += '\0';
      return true;
    }
    case rf::kRegDword:
    case rf::kRegDwordBigEndian:
    case rf::kRegQword: {
      const bool qword = type == rf::kRegQword;
      std::uint64_t v = 0;
      if (given == nullptr && !qword) {
        error = "/d is needed for " + TypeName(type);
        return false;
      }
      if (given != nullptr && !ParseNumber(text, qword ? ~0ull : 0xFFFFFFFFull, !qword, v)) {
        error = "/d for " + TypeName(type) + " takes a number, decimal or 0x hex, of at most " +
                std::string(qword ? "64" : "32") + " bits";
        return false;
      }
      // Little-endian for every number type, REG_DWORD_BIG_ENDIAN included, as reg stores it.
      for (std::size_t k = 0; k < (qword ? 8u : 4u); ++k) data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
      return true;
    }
    default: {
      // Hex digits in pairs; an odd count is read with a leading zero.
      const std::size_t odd = text.size() % 2;
      for (std::size_t k = 0; k < text.size(); k += (k == 0 && odd) ? 1 : 2) {
        int high = (k == 0 && odd) ? 0 : ascii::HexDigitValue(text[k]);
        int low = ascii::HexDigitValue(text[(k == 0 && odd) ? k : k + 1]);
        if (high < 0 || low < 0) {
          error = "/d for " + TypeName(type) + " takes hex digits";
          return false;
        }
        data.push_back(static_cast<char>(high * 16 + low));
      }
      return true;
    }
  }
}

}  // namespace cregistry::tool
