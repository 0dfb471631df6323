// Big-data records: libhivex 1.3.23 writes the data of a value in one cell whatever its length, while
// formats 1.4 and later hold data longer than 16,344 bytes in segments listed by a "db" record, which
// Windows and other readers expect (libregf refuses the whole file otherwise).
#include <algorithm>

#include "registry/hive/PostCommit.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive {

using namespace regf;

namespace {

// One value whose data moves out of its single cell.
struct Move {
  std::size_t value;  // the value's cell (file offset)
  std::size_t data;   // its data cell
  std::size_t length;
};

std::size_t Segments(std::size_t length) { return (length + kBigDataSegment - 1) / kBigDataSegment; }
// libhivex reads a segment cell's size less 8 bytes: each segment cell keeps 4 bytes spare, as Windows' do.
std::size_t SegmentCellSize(std::size_t bytes) { return AlignCell(4 + bytes + 4); }

std::size_t CellsSize(const Move& move) {
  std::size_t size = AlignCell(db::kSize) + AlignCell(4 + 4 * Segments(move.length));
  for (std::size_t done = 0; done < move.length; done += kBigDataSegment) {
    size += SegmentCellSize(std::min(kBigDataSegment, move.length - done));
  }
  return size;
}

std::size_t CellSize(std::span<const std::uint8_t> bytes, std::size_t offset) {
  const std::int64_t raw = static_cast<std::int32_t>(Get32(&bytes[offset]));
  return static_cast<std::size_t>(raw < 0 ? -raw : raw);
}

std::vector<Move> FindMoves(const WrittenFile& file) {
  std::vector<Move> moves;
  for (std::size_t value : file.values) {
    const std::uint32_t length = Get32(&file.bytes[value + vk::kDataLength]);
    if ((length & vk::kInline) || length <= kBigDataSegment) continue;
    const std::size_t data = kBaseBlockSize + std::size_t{Get32(&file.bytes[value + vk::kDataCell])};
    // A cell too short for the length is a big-data record already (or damage, which is left as it is).
    if (data >= file.binsEnd || !file.used.Used(data) || CellSize(file.bytes, data) < 4 + std::size_t{length}) {
      continue;
    }
    if (Segments(length) <= 0xFFFF) moves.push_back({value, data, length});
  }
  return moves;
}

}  // namespace

std::vector<std::uint8_t> SplitBigData(WrittenFile& file) {
  const std::vector<Move> moves = FindMoves(file);
  if (moves.empty()) return {};
  std::size_t cells = 0;
  for (const Move& move : moves) cells += CellsSize(move);
  const std::size_t binSize = (kBinHeaderSize + cells + kBinAlignment - 1) / kBinAlignment * kBinAlignment;
  std::vector<std::uint8_t> bin(binSize, 0);
  std::memcpy(bin.data(), "hbin", 4);
  Put32(&bin[bin::kOffset], static_cast<std::uint32_t>(file.binsEnd - kBaseBlockSize));
  Put32(&bin[bin::kSize], static_cast<std::uint32_t>(binSize));

  std::size_t at = kBinHeaderSize;
  const auto stored = [&](std::size_t inBin) {
    return static_cast<std::uint32_t>(file.binsEnd + inBin - kBaseBlockSize);
  };
  const auto allocate = [&](std::size_t size) {
    Put32(&bin[at], static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    const std::size_t cell = at;
    at += size;
    return cell;
  };
  for (const Move& move : moves) {
    const std::size_t count = Segments(move.length);
    const std::size_t record = allocate(AlignCell(db::kSize));
    const std::size_t list = allocate(AlignCell(4 + 4 * count));
    std::memcpy(&bin[record + 4], "db", 2);
    Put16(&bin[record + db::kSegmentCount], static_cast<std::uint16_t>(count));
    Put32(&bin[record + db::kSegmentList], stored(list));
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t bytes = std::min(kBigDataSegment, move.length - i * kBigDataSegment);
      const std::size_t segment = allocate(SegmentCellSize(bytes));
      std::memcpy(&bin[segment + 4], &file.bytes[move.data + 4 + i * kBigDataSegment], bytes);
      Put32(&bin[list + 4 + 4 * i], stored(segment));
    }
    Put32(&file.bytes[move.value + vk::kDataCell], stored(record));
    Put32(&file.bytes[move.data], static_cast<std::uint32_t>(CellSize(file.bytes, move.data)));  // positive: free
    file.changed.push_back(move.value + vk::kDataCell);
    file.changed.push_back(move.data);
  }
  if (at < binSize) Put32(&bin[at], static_cast<std::uint32_t>(binSize - at));  // the rest of the bin: free
  return bin;
}

}  // namespace cregistry::hive
