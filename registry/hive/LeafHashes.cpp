// The hashes of "lh" lists, as Windows computes them: over the UTF-16 code units of the sub-key's name, each
// upper-cased (the registry's own rule for names: the simple upper-case mapping of the BMP, store::Fold),
// hash = hash * 37 + unit.
#include <string>

#include "registry/Utf8.h"
#include "registry/hive/PostCommit.h"
#include "registry/hive/Regf.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::hive {

using namespace regf;

namespace {

std::uint32_t UpperUnit(std::uint32_t unit) {
  if (unit < 0x80) return unit >= 'a' && unit <= 'z' ? unit - ('a' - 'A') : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;  // half of a pair: Windows folds units, not pairs
  std::string one;
  utf8::Append(one, unit);
  const std::string upper = store::Fold(one);
  char32_t cp = unit;
  if (utf8::Decode(upper, 0, cp) != upper.size() || cp > 0xFFFF) return unit;
  return cp;
}

std::uint32_t WindowsHash(const std::uint8_t* name, std::size_t length, bool compressed) {
  std::uint32_t hash = 0;
  if (compressed) {
    for (std::size_t i = 0; i < length; ++i) hash = hash * 37 + UpperUnit(name[i]);
  } else {
    for (std::size_t i = 0; i + 1 < length; i += 2) hash = hash * 37 + UpperUnit(Get16(name + i));
  }
  return hash;
}

}  // namespace

void RepairLeafHashes(WrittenFile& file) {
  for (std::size_t list : file.hashLists) {
    const std::size_t listSize = static_cast<std::size_t>(-static_cast<std::int32_t>(Get32(&file.bytes[list])));
    const std::size_t count = Get16(&file.bytes[list + 6]);
    for (std::size_t i = 0; i < count && 8 + 8 * (i + 1) <= listSize; ++i) {
      std::uint8_t* entry = &file.bytes[list + 8 + 8 * i];
      const std::size_t key = kBaseBlockSize + std::size_t{Get32(entry)};
      if (key >= file.binsEnd || !file.used.Used(key) || !Signature(&file.bytes[key], "nk")) continue;
      const std::size_t keySize = static_cast<std::size_t>(-static_cast<std::int32_t>(Get32(&file.bytes[key])));
      if (keySize < nk::kName) continue;
      const std::size_t nameLength = Get16(&file.bytes[key + nk::kNameLength]);
      if (keySize < nk::kName + nameLength) continue;
      const bool compressed = Get16(&file.bytes[key + nk::kFlags]) & nk::kCompressedName;
      const std::uint32_t hash = WindowsHash(&file.bytes[key + nk::kName], nameLength, compressed);
      if (Get32(entry + 4) != hash) {
        Put32(entry + 4, hash);
        file.changed.push_back(list + 8 + 8 * i + 4);
      }
    }
  }
}

}  // namespace cregistry::hive
