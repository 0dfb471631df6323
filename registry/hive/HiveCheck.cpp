#include "registry/hive/HiveCheck.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <utility>

#include "registry/hive/Fd.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive {

using namespace regf;

namespace {

// The longest data hivex_value_value reads (libhivex 1.3.23's HIVEX_MAX_VALUE_LEN).
constexpr std::size_t kHivexMaxValueLength = 8000000;

std::string Hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", value);
  return text;
}

// The offset stored in cells for a file offset, for messages.
std::string Stored(std::size_t fileOffset) { return Hex(fileOffset - kBaseBlockSize); }

class TreeCheck {
 public:
  TreeCheck(hive_h* h, std::span<const std::uint8_t> bytes, const BaseBlock& base, const CellMap& cells)
      : h_(h), bytes_(bytes), base_(base), cells_(cells), claimed_(bytes.size()) {}

  std::string Run();

 private:
  // The used cell that a stored offset names, when it holds at least minSize bytes; else nullptr.
  const std::uint8_t* CellAt(std::uint32_t stored, std::size_t minSize, std::size_t* size = nullptr) const;
  std::size_t SizeAt(std::size_t fileOffset) const {
    return static_cast<std::size_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Get32(&bytes_[fileOffset]))));
  }
  std::string CheckKey(std::size_t key);
  std::string CheckSecurity(std::uint32_t stored);
  std::string CheckSubkeyList(std::uint32_t stored);
  std::string CheckValues(std::size_t key);
  std::string CheckBigData(std::size_t dataCell, std::size_t length);
  // Takes a cell for the key being checked: false when another part of the tree has it already. Each cell
  // but a security cell belongs to one key, as libhivex assumes when it frees a deleted key's cells.
  bool Claim(std::size_t fileOffset) {
    if (claimed_.Used(fileOffset)) return false;
    claimed_.Mark(fileOffset);
    return true;
  }
  bool ClaimStored(std::uint32_t stored) { return Claim(std::size_t{stored} + kBaseBlockSize); }
  static std::string Shared(std::uint32_t stored) { return "the cell at " + Hex(stored) + " is used twice"; }
  static std::string Hivex(const char* what, std::size_t fileOffset) {
    const int e = errno;
    return "libhivex cannot read " + std::string(what) + " at " + Stored(fileOffset) + ": " + ErrnoText(e);
  }

  hive_h* h_;
  std::span<const std::uint8_t> bytes_;
  const BaseBlock& base_;
  const CellMap& cells_;
  CellMap claimed_;
  std::unordered_map<std::uint32_t, std::uint32_t> securityUses_;  // checked security cells, keys using each
};

const std::uint8_t* TreeCheck::CellAt(std::uint32_t stored, std::size_t minSize, std::size_t* size) const {
  const std::uint64_t offset = std::uint64_t{stored} + kBaseBlockSize;
  if (stored == kNoCell || offset >= base_.binsEnd || !cells_.Used(offset)) return nullptr;
  const std::size_t cellSize = SizeAt(offset);
  if (cellSize < minSize) return nullptr;
  if (size) *size = cellSize;
  return &bytes_[offset];
}

std::string TreeCheck::Run() {
  const hive_node_h root = hivex_root(h_);
  if (root != base_.rootCell) return "libhivex does not find the root key at " + Stored(base_.rootCell);
  std::vector<std::pair<std::size_t, std::size_t>> pending{{root, 1}};  // key, depth
  while (!pending.empty()) {
    const auto [key, depth] = pending.back();
    pending.pop_back();
    if (!Claim(key)) return "the key at " + Stored(key) + " is reached twice (a loop in the key tree)";
    if (std::string why = CheckKey(key); !why.empty()) return why;
    if (Get32(&bytes_[key + nk::kSubkeyCount]) != 0) {
      Malloced<hive_node_h[]> children(hivex_node_children(h_, key));
      if (!children) return Hivex("the sub-keys of the key", key);
      for (std::size_t i = 0; children[i] != 0; ++i) {
        if (depth + 1 > kMaxDepth) return "keys nested deeper than " + std::to_string(kMaxDepth) + " levels";
        if (SizeAt(children[i]) < nk::kName) return "the key cell at " + Stored(children[i]) + " is damaged";
        // libhivex finds a deleted key's parent by this field, to unlink the key once it has freed its cells.
        if (kBaseBlockSize + Get32(&bytes_[children[i] + nk::kParent]) != key) {
          return "the key at " + Stored(children[i]) + " names another key than " + Stored(key) + " as its parent";
        }
        pending.emplace_back(children[i], depth + 1);
      }
    }
    if (std::string why = CheckValues(key); !why.empty()) return why;
  }
  // libhivex frees a security cell when a deleted key takes its count to 0, whoever else still uses it.
  for (const auto& [stored, uses] : securityUses_) {
    if (Get32(&bytes_[kBaseBlockSize + stored + sk::kReferences]) < uses) {
      return "the security cell at " + Hex(stored) + " counts fewer keys than use it";
    }
  }
  return {};
}

// libhivex reads a key's fields without checking its cell holds them: the size comes first here.
std::string TreeCheck::CheckKey(std::size_t key) {
  const std::uint8_t* cell = &bytes_[key];
  if (!cells_.Used(key) || !Signature(cell, "nk") || SizeAt(key) < nk::kName ||
      SizeAt(key) < nk::kName + Get16(cell + nk::kNameLength)) {
    return "the key cell at " + Stored(key) + " is damaged";
  }
  // libhivex reads every name below a key it deletes, and stops halfway at one it cannot decode: a name
  // of UTF-16 units must decode (one of Latin-1 bytes always does).
  if (!(Get16(cell + nk::kFlags) & nk::kCompressedName) && !Malloced<char[]>(hivex_node_name(h_, key))) {
    return Hivex("the name of the key", key);
  }
  if (std::string why = CheckSecurity(Get32(cell + nk::kSecurity)); !why.empty()) {
    return "the key at " + Stored(key) + ": " + why;
  }
  const std::uint32_t className = Get32(cell + nk::kClass);
  if (className != kNoCell && !CellAt(className, 4 + std::size_t{Get16(cell + nk::kClassLength)})) {
    return "the class name of the key at " + Stored(key) + " is outside the hive's cells";
  }
  if (className != kNoCell && !ClaimStored(className)) return Shared(className);
  if (Get32(cell + nk::kSubkeyCount) != 0) {
    if (std::string why = CheckSubkeyList(Get32(cell + nk::kSubkeyList)); !why.empty()) {
      return "the sub-key list of the key at " + Stored(key) + ": " + why;
    }
  }
  return {};
}

// libhivex follows a security cell's links to its neighbours without checking them when it deletes a key.
std::string TreeCheck::CheckSecurity(std::uint32_t stored) {
  if (auto known = securityUses_.find(stored); known != securityUses_.end()) {
    ++known->second;
    return {};
  }
  std::size_t size = 0;
  const std::uint8_t* sk = CellAt(stored, sk::kDescriptor, &size);
  if (!sk || !Signature(sk, "sk")) return "its security cell is missing or damaged";
  if (!ClaimStored(stored)) return Shared(stored);
  if (sk::kDescriptor + std::size_t{Get32(sk + sk::kDescriptorSize)} > size || Get32(sk + sk::kReferences) == 0) {
    return "its security cell at " + Hex(stored) + " is damaged";
  }
  for (std::size_t link : {sk::kNext, sk::kPrevious}) {
    const std::uint8_t* other = CellAt(Get32(sk + link), sk::kDescriptor);
    if (!other || !Signature(other, "sk")) return "its security cell at " + Hex(stored) + " links outside the hive";
  }
  securityUses_.emplace(stored, 1);
  return {};
}

// libhivex checks the counts of the lists; an index of indexes ("ri") that names another index would make
// it recurse as deep as the file asks, so that is refused here.
std::string TreeCheck::CheckSubkeyList(std::uint32_t stored) {
  std::size_t size = 0;
  const std::uint8_t* list = CellAt(stored, 8, &size);
  if (!list) return "missing or outside the hive's cells";
  if (!ClaimStored(stored)) return Shared(stored);
  if (!Signature(list, "ri")) return {};
  const std::size_t count = Get16(list + 6);
  if (8 + count * 4 > size) return "more entries than its cell holds";
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t leafAt = Get32(list + 8 + 4 * i);
    const std::uint8_t* leaf = CellAt(leafAt, 8);
    if (!leaf || !(Signature(leaf, "lf") || Signature(leaf, "lh") || Signature(leaf, "li"))) {
      return "an index entry that is not a list of keys";
    }
    if (!ClaimStored(leafAt)) return Shared(leafAt);
  }
  return {};
}

std::string TreeCheck::CheckValues(std::size_t key) {
  if (Get32(&bytes_[key + nk::kValueCount]) == 0) return {};
  Malloced<hive_value_h[]> values(hivex_node_values(h_, key));
  if (!values) return Hivex("the values of the key", key);
  if (const std::uint32_t list = Get32(&bytes_[key + nk::kValueList]); !ClaimStored(list)) return Shared(list);
  for (std::size_t i = 0; values[i] != 0; ++i) {
    const std::size_t value = values[i];
    if (!Claim(value)) return Shared(static_cast<std::uint32_t>(value - kBaseBlockSize));
    // libhivex reads a value's fields without checking its cell holds them.
    const std::uint8_t* cell = &bytes_[value];
    if (SizeAt(value) < vk::kName || !Signature(cell, "vk") ||
        SizeAt(value) < vk::kName + Get16(cell + vk::kNameLength)) {
      return "the value cell at " + Stored(value) + " is damaged";
    }
    hive_type type;
    std::size_t length = 0;
    if (hivex_value_type(h_, value, &type, &length) != 0) return Hivex("the value", value);
    if (!(Get16(cell + vk::kFlags) & vk::kCompressedName) && Get16(cell + vk::kNameLength) != 0 &&
        !Malloced<char[]>(hivex_value_key(h_, value))) {
      return Hivex("the name of the value", value);
    }
    if (length > kHivexMaxValueLength) {
      return "the value at " + Stored(value) + " holds " + std::to_string(length) + " bytes, more than libhivex reads";
    }
    if (Get32(cell + vk::kDataLength) & vk::kInline) {
      if (length > 4) return "the value at " + Stored(value) + " claims more than 4 bytes of data in its cell";
      continue;
    }
    std::size_t cellLength = 0;
    const hive_value_h data = hivex_value_data_cell_offset(h_, value, &cellLength);
    if (data == 0) return Hivex("the data of the value", value);
    if (!Claim(data)) return Shared(static_cast<std::uint32_t>(data - kBaseBlockSize));
    if (length + 4 > SizeAt(data)) {
      if (std::string why = CheckBigData(data, length); !why.empty()) {
        return "the data of the value at " + Stored(value) + ": " + why;
      }
    }
  }
  return {};
}

// libhivex reads a big-data record's segment list without checking the list's length against its cell.
std::string TreeCheck::CheckBigData(std::size_t dataCell, std::size_t length) {
  const std::uint8_t* record = &bytes_[dataCell];
  if (SizeAt(dataCell) < db::kSize || !Signature(record, "db")) return "longer than its cell";
  const std::size_t count = Get16(record + db::kSegmentCount);
  const std::uint32_t listAt = Get32(record + db::kSegmentList);
  const std::uint8_t* list = CellAt(listAt, 4 + 4 * count);
  if (!list) return "a big-data segment list outside the hive's cells";
  if (!ClaimStored(listAt)) return Shared(listAt);
  std::size_t held = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t size = 0;
    const std::uint32_t segment = Get32(list + 4 + 4 * i);
    if (!CellAt(segment, 8, &size)) return "a big-data segment outside the hive's cells";
    if (!ClaimStored(segment)) return Shared(segment);
    held += size - 4;
  }
  if (held < length) return "its big-data segments hold less than its length";
  return {};
}

}  // namespace

std::string CheckBaseBlock(std::span<const std::uint8_t> baseBlock, std::uint64_t fileSize, BaseBlock& base) {
  if (baseBlock.size() < kBaseBlockSize || fileSize < kBaseBlockSize + kBinAlignment) {
    return "shorter than a base block and one bin";
  }
  const std::uint8_t* block = baseBlock.data();
  if (std::memcmp(block, "regf", 4) != 0) return "no \"regf\" signature";
  const std::uint32_t stored = Get32(block + base::kChecksum);
  if (stored != Checksum(block) && stored != RawChecksum(block)) {
    return "bad base block checksum (" + Hex(stored) + ", computed " + Hex(Checksum(block)) + ")";
  }
  const std::uint32_t major = Get32(block + base::kMajor);
  base.minor = Get32(block + base::kMinor);
  if (major != 1 || base.minor < 2 || base.minor > 6) {
    return "format version " + std::to_string(major) + "." + std::to_string(base.minor) + " (1.2 to 1.6 are read)";
  }
  if (const std::uint32_t type = Get32(block + base::kFileType); type != 0) {
    return "file type " + std::to_string(type) + " (a transaction log or another kind of file, not a primary hive)";
  }
  const std::size_t binsSize = Get32(block + base::kBinsSize);
  if (binsSize == 0 || binsSize % kBinAlignment != 0) return "bins size " + Hex(binsSize) + " in the base block";
  base.binsEnd = kBaseBlockSize + binsSize;
  if (base.binsEnd > fileSize) {
    return "truncated: its bins end at " + Hex(base.binsEnd) + ", the file at " + Hex(fileSize);
  }
  base.rootCell = kBaseBlockSize + std::size_t{Get32(block + base::kRootCell)};
  if (base.rootCell + nk::kName > base.binsEnd) return "the root key's offset lies outside the bins";
  base.primarySequence = Get32(block + base::kPrimarySequence);
  base.secondarySequence = Get32(block + base::kSecondarySequence);
  return {};
}

std::string ScanBins(std::span<const std::uint8_t> bytes, const BaseBlock& base, CellMap& cells) {
  for (std::size_t bin = kBaseBlockSize; bin < base.binsEnd;) {
    const std::uint8_t* header = &bytes[bin];
    const std::size_t size = Get32(header + bin::kSize);
    if (std::memcmp(header, "hbin", 4) != 0 || Get32(header + bin::kOffset) != bin - kBaseBlockSize ||
        size == 0 || size % kBinAlignment != 0 || size > base.binsEnd - bin) {
      return "the bin at " + Stored(bin) + " is damaged";
    }
    for (std::size_t cell = bin + kBinHeaderSize; cell < bin + size;) {
      const std::int64_t raw = static_cast<std::int32_t>(Get32(&bytes[cell]));
      const std::uint64_t cellSize = raw < 0 ? -raw : raw;
      if (cellSize < kCellAlignment || cellSize % kCellAlignment != 0 || cellSize > bin + size - cell) {
        return "the cell at " + Stored(cell) + " has a bad size (" + std::to_string(raw) + ")";
      }
      if (raw < 0) cells.Mark(cell);
      cell += cellSize;
    }
    bin += size;
  }
  if (!cells.Used(base.rootCell) || !Signature(&bytes[base.rootCell], "nk")) {
    return "no used key cell at the root key's offset " + Stored(base.rootCell);
  }
  return {};
}

std::string CheckTree(hive_h* h, std::span<const std::uint8_t> bytes, const BaseBlock& base, const CellMap& cells) {
  return TreeCheck(h, bytes, base, cells).Run();
}

}  // namespace cregistry::hive
