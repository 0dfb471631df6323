// What the registry holds, as the store and the .reg reader and writer both see it: the value type
// codes, which types hold text, and the limits on names. Internal to the library: no public header
// includes this one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cregistry::model {

// Value types (the registry's REG_ codes).
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegDwordBigEndian = 5;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// The registry's limits on names, in UTF-16 code units (a character beyond the Basic Multilingual Plane
// counts two): a key name (one component of a path) and a value name.
inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;
// Room for a key name and its NUL in UTF-8, where a character takes up to four bytes.
inline constexpr std::uint32_t kKeyNameBytes = kMaxKeyNameChars * 4 + 1;

// Whether a type's data is text: the registry keeps its terminating NUL, and a version 5.00 .reg file
// holds it as UTF-16LE.
constexpr bool IsStringType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

}  // namespace cregistry::model
