// What a file written by hivex_commit needs before Windows and other readers take it: big-data records
// for long values, Windows' hashes in the lists of sub-keys, and a base block stamped and summed as
// Windows does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "registry/hive/HiveCheck.h"

namespace cregistry::hive {

// In the hive file open (read and write) at fd, as hivex_commit left it: splits long values into big-data
// records (format 1.4 and later), mends the hashes of the lists of sub-keys, then stamps the base block
// with now (a FILETIME) and Windows' checksum. Returns 0, else an errno value with why set (EINVAL: the
// file is not as hivex_commit writes it).
int PrepareForWindows(int fd, std::uint64_t now, std::string& why);

// The written file in memory, with what one scan of its bins found.
struct WrittenFile {
  WrittenFile(std::span<std::uint8_t> file, std::size_t end) : bytes(file), binsEnd(end), used(file.size()) {}

  std::span<std::uint8_t> bytes;
  std::size_t binsEnd;
  CellMap used;
  std::vector<std::size_t> values;      // used value cells
  std::vector<std::size_t> hashLists;   // used "lh" lists of sub-keys
  std::vector<std::size_t> changed;     // file offsets of the 4-byte fields changed in bytes
};

// Moves the data of every value longer than one big-data segment (16,344 bytes) that sits in one cell into
// a big-data record and its segments, in one new bin for binsEnd; points the values at the records and
// frees their old cells (in bytes, listed in changed). Returns the new bin, empty when nothing moved.
std::vector<std::uint8_t> SplitBigData(WrittenFile& file);
// Gives every entry of the "lh" lists the hash Windows computes from the sub-key's name (libhivex hashes
// the UTF-8 bytes of a name and upper-cases ASCII letters only, so names beyond ASCII get another hash,
// and Windows, which compares hashes first, would not find those keys).
void RepairLeafHashes(WrittenFile& file);

}  // namespace cregistry::hive
