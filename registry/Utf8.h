// UTF-8 helpers shared by the store's name rule, the .reg reader and writer, and the accessor's
// character counts. Internal to the library: no public header includes this one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cregistry::utf8 {

// The code point of the well-formed UTF-8 sequence at text[i] (no overlong form, no surrogate, nothing
// above U+10FFFF) and its length in bytes; 0 when the bytes there are no such sequence.
inline std::size_t Decode(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  std::size_t length;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Appends the UTF-8 form of a code point (at most U+10FFFF).
inline void Append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The characters of UTF-8 text: the bytes that do not continue a sequence.
inline std::size_t Chars(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The UTF-16 code units of UTF-8 text, in which Windows counts its name limits: one for each character,
// two for each beyond the Basic Multilingual Plane (a four-byte sequence).
inline std::size_t Units16(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += ((c & 0xC0) != 0x80) + (c >= 0xF0);
  return n;
}

// Whether text has more than limit UTF-16 code units. A character never takes more units than bytes,
// so text of at most limit bytes (most names) is not counted at all.
inline bool MoreUnits16Than(std::string_view text, std::size_t limit) {
  return text.size() > limit && Units16(text) > limit;
}

}  // namespace cregistry::utf8
