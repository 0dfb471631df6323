// The comparison rule of key and value names: each character of a UTF-8 name replaced by its simple
// upper-case mapping (Unicode's UnicodeData.txt, field 12, as UpperCaseTable.inc holds it for the Basic
// Multilingual Plane); characters beyond the BMP and bytes that are not part of a well-formed UTF-8
// sequence stay as they are.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "registry/Ascii.h"
#include "registry/Utf8.h"
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
      folded.push_back(ascii::Upper(static_cast<char>(b)));
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = utf8::Decode(name, i, cp);
    if (length == 0) {
      folded.push_back(static_cast<char>(b));  // not UTF-8: the byte as it is
      ++i;
      continue;
    }
    utf8::Append(folded, Upper(cp));
    i += length;
  }
  return folded;
}

std::string FoldAscii(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = ascii::Upper(c);
  return folded;
}

std::string FoldFor(int schemaVersion, std::string_view name) {
  return schemaVersion >= 2 ? Fold(name) : FoldAscii(name);
}

}  // namespace cregistry::store
