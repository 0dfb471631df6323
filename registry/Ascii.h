// ASCII helpers shared by the store, the .reg reader and writer, the accessor and the tool: hex digits
// both ways and comparison without regard to case. Internal to the library: no public header includes
// this one. (Registry names compare over all of Unicode's Basic Multilingual Plane: see the store's
// Fold; these are for the ASCII texts of formats, switches and type names.)
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace cregistry::ascii {

inline constexpr std::string_view kHexUpper = "0123456789ABCDEF";
inline constexpr std::string_view kHexLower = "0123456789abcdef";

// The value of each byte as a hex digit, either case; -1 for the bytes that are none. (A table: the .reg
// reader asks it for every byte of hex data.)
inline constexpr auto kHexDigitValues = [] {
  std::array<signed char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                               : -1);
  }
  return table;
}();

constexpr int HexDigitValue(char c) { return kHexDigitValues[static_cast<unsigned char>(c)]; }

// Appends a byte as two hex digits, taken from digits (kHexUpper or kHexLower).
inline void AppendHexByte(std::string& out, unsigned char byte, std::string_view digits = kHexUpper) {
  out += digits[byte >> 4];
  out += digits[byte & 0xF];
}

constexpr char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether a and b are the same text but for the case of ASCII letters.
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace cregistry::ascii
