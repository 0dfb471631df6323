// The checks HiveFile::Open makes of a hive's bytes, in the order it makes them: the base block, the bins
// (before libhivex sees the bytes), then the key tree (through libhivex's handle, over the same bytes).
// Each returns the empty text when the hive passes, else why it does not, in a few words.
#pragma once

#include <hivex.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cregistry::hive {

// What the base block says, in file offsets.
struct BaseBlock {
  std::uint32_t minor = 0;
  std::uint32_t primarySequence = 0;
  std::uint32_t secondarySequence = 0;
  std::size_t binsEnd = 0;   // just past the last bin
  std::size_t rootCell = 0;  // the root key's cell
};

// Which file offsets begin a used cell: one bit per 8 bytes.
class CellMap {
 public:
  explicit CellMap(std::size_t fileSize) : bits_(fileSize / 8 / 64 + 1) {}
  void Mark(std::size_t offset) { bits_[offset / 8 / 64] |= std::uint64_t{1} << (offset / 8 % 64); }
  bool Used(std::size_t offset) const {
    return offset % 8 == 0 && offset / 8 / 64 < bits_.size() && (bits_[offset / 8 / 64] >> (offset / 8 % 64) & 1);
  }

 private:
  std::vector<std::uint64_t> bits_;
};

// The signature, versions, type, checksum (Windows' or libhivex's reading of it) and sizes of the base block
// (the first 4096 bytes of a file of fileSize bytes).
std::string CheckBaseBlock(std::span<const std::uint8_t> block, std::uint64_t fileSize, BaseBlock& base);
// Every bin from the first to binsEnd and every cell in them (bytes holds the file up to binsEnd); marks the
// used cells.
std::string ScanBins(std::span<const std::uint8_t> bytes, const BaseBlock& base, CellMap& cells);
// Every key from the root, each reached once, with its lists, values, security and class cells, through
// the libhivex handle h, which holds the same bytes.
std::string CheckTree(hive_h* h, std::span<const std::uint8_t> bytes, const BaseBlock& base, const CellMap& cells);

}  // namespace cregistry::hive
