// The layout of a regf hive file, as far as this folder reads or writes it by hand: the base block, the
// bins and the cells. Offsets of a cell's fields count from the cell's start (its 4-byte size included);
// offsets stored in cells count from the first bin, which begins kBaseBlockSize bytes into the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cregistry::hive::regf {

inline constexpr std::size_t kBaseBlockSize = 0x1000;
inline constexpr std::size_t kBinAlignment = 0x1000;
inline constexpr std::size_t kBinHeaderSize = 0x20;
inline constexpr std::size_t kCellAlignment = 8;
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFF;
// Data longer than this is split into big-data segments of this size (format 1.4 and later).
inline constexpr std::size_t kBigDataSegment = 16344;
// Windows refuses keys nested deeper than this.
inline constexpr std::size_t kMaxDepth = 512;

namespace base {
inline constexpr std::size_t kPrimarySequence = 0x04;
inline constexpr std::size_t kSecondarySequence = 0x08;
inline constexpr std::size_t kTimestamp = 0x0C;
inline constexpr std::size_t kMajor = 0x14;
inline constexpr std::size_t kMinor = 0x18;
inline constexpr std::size_t kFileType = 0x1C;
inline constexpr std::size_t kFileFormat = 0x20;
inline constexpr std::size_t kRootCell = 0x24;
inline constexpr std::size_t kBinsSize = 0x28;
inline constexpr std::size_t kClustering = 0x2C;
inline constexpr std::size_t kChecksum = 0x1FC;
}  // namespace base

namespace bin {
inline constexpr std::size_t kOffset = 0x04;
inline constexpr std::size_t kSize = 0x08;
inline constexpr std::size_t kTimestamp = 0x14;
}  // namespace bin

namespace nk {
inline constexpr std::uint16_t kHiveEntry = 0x0004;
inline constexpr std::uint16_t kNoDelete = 0x0008;
inline constexpr std::uint16_t kCompressedName = 0x0020;
inline constexpr std::size_t kFlags = 0x06;
inline constexpr std::size_t kTimestamp = 0x08;
inline constexpr std::size_t kParent = 0x14;
inline constexpr std::size_t kSubkeyCount = 0x18;
inline constexpr std::size_t kVolatileSubkeyCount = 0x1C;
inline constexpr std::size_t kSubkeyList = 0x20;
inline constexpr std::size_t kVolatileSubkeyList = 0x24;
inline constexpr std::size_t kValueCount = 0x28;
inline constexpr std::size_t kValueList = 0x2C;
inline constexpr std::size_t kSecurity = 0x30;
inline constexpr std::size_t kClass = 0x34;
inline constexpr std::size_t kNameLength = 0x4C;
inline constexpr std::size_t kClassLength = 0x4E;
inline constexpr std::size_t kName = 0x50;
}  // namespace nk

namespace vk {
inline constexpr std::uint32_t kInline = 0x80000000;
inline constexpr std::uint16_t kCompressedName = 0x0001;
inline constexpr std::size_t kNameLength = 0x06;
inline constexpr std::size_t kDataLength = 0x08;
inline constexpr std::size_t kDataCell = 0x0C;
inline constexpr std::size_t kFlags = 0x14;
inline constexpr std::size_t kName = 0x18;
}  // namespace vk

namespace sk {
inline constexpr std::size_t kNext = 0x08;
inline constexpr std::size_t kPrevious = 0x0C;
inline constexpr std::size_t kReferences = 0x10;
inline constexpr std::size_t kDescriptorSize = 0x14;
inline constexpr std::size_t kDescriptor = 0x18;
}  // namespace sk

namespace db {
inline constexpr std::size_t kSegmentCount = 0x06;
inline constexpr std::size_t kSegmentList = 0x08;
inline constexpr std::size_t kSize = 0x0C;
}  // namespace db

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline bool Signature(const std::uint8_t* cell, const char (&id)[3]) { return std::memcmp(cell + 4, id, 2) == 0; }

// The XOR of the base block's first 127 dwords, as libhivex compares it.
inline std::uint32_t RawChecksum(const std::uint8_t* baseBlock) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < base::kChecksum; i += 4) sum ^= Get32(baseBlock + i);
  return sum;
}
// The checksum as Windows stores it: the XOR, with 0 and 0xFFFFFFFF (values it keeps for itself) moved aside.
inline std::uint32_t Checksum(const std::uint8_t* baseBlock) {
  const std::uint32_t sum = RawChecksum(baseBlock);
  return sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum == 0 ? 1 : sum;
}

// Now, as a Windows FILETIME (100 ns units since 1601-01-01).
inline std::uint64_t FileTimeNow() {
  const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100) +
         116444736000000000ULL;
}

inline std::size_t AlignCell(std::size_t size) { return (size + kCellAlignment - 1) & ~(kCellAlignment - 1); }

}  // namespace cregistry::hive::regf
