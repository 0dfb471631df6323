// The comparison rule of key and value names: each character of a UTF-8 name replaced by its simple
// upper-case mapping (Unicode's UnicodeData.txt, field 12, as UpperCaseTable.inc holds it for the Basic
// Multilingual Plane); characters beyond the BMP and bytes that are not part of a well-formed UTF-8
// sequence stay as they are.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "registry/store/RegistryStore.h"

namespace cregistry::store {

namespace {

struct Run {
  char32_t first;
  char32_t last;
  std::int32_t offset;
  std::uint32_t step;
};

constexpr Run kRuns[] = {
#include "registry/store/UpperCaseTable.inc"
};

char32_t Upper(char32_t c) {
  const Run* end = std::end(kRuns);
  const Run* run = std::upper_bound(std::begin(kRuns), end, c, [](char32_t v, const Run& r) { return v < r.first; });
  if (run == std::begin(kRuns)) return c;
  --run;
  if (c > run->last || (c - run->first) % run->step != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->offset);
}

// The code point of the well-formed UTF-8 sequence at text[i] (no overlong form, no surrogate, nothing
// above U+10FFFF) and its length; 0 when the bytes there are no such sequence.
std::size_t Decode(std::string_view text, std::size_t i, char32_t& cp) {
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

void Encode(char32_t cp, std::string& out) {
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

}  // namespace

std::string Fold(std::string_view name) {
  std::size_t ascii = 0;
  while (ascii < name.size() && static_cast<unsigned char>(name[ascii]) < 0x80) ++ascii;
  if (ascii == name.size()) return FoldAscii(name);  // the common case
  std::string folded = FoldAscii(name.substr(0, ascii));
  folded.reserve(name.size());
  for (std::size_t i = ascii; i < name.size();) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    if (b < 0x80) {
      folded.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - 'a' + 'A') : static_cast<char>(b));
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = Decode(name, i, cp);
    if (length == 0) {
      folded.push_back(static_cast<char>(b));  // not UTF-8: the byte as it is
      ++i;
      continue;
    }
    Encode(Upper(cp), folded);
    i += length;
  }
  return folded;
}

std::string FoldAscii(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

std::string FoldFor(int schemaVersion, std::string_view name) {
  return schemaVersion >= 2 ? Fold(name) : FoldAscii(name);
}

}  // namespace cregistry::store
