#include "registry/hive/PostCommit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "registry/hive/Fd.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive {

using namespace regf;

namespace {

// errno (EIO when a read ended early), with why set.
int Failed(std::string& why, const char* text) {
  const int error = errno != 0 ? errno : EIO;
  why = text;
  return error;
}

// Finds the used value cells and "lh" lists; false when the bins are not as hivex_commit writes them.
bool Scan(WrittenFile& file) {
  const std::span<std::uint8_t> bytes = file.bytes;
  for (std::size_t bin = kBaseBlockSize; bin < file.binsEnd;) {
    const std::size_t binSize = Get32(&bytes[bin + bin::kSize]);
    if (std::memcmp(&bytes[bin], "hbin", 4) != 0 || binSize == 0 || binSize % kBinAlignment != 0 ||
        binSize > file.binsEnd - bin) {
      return false;
    }
    for (std::size_t cell = bin + kBinHeaderSize; cell < bin + binSize;) {
      const std::int64_t raw = static_cast<std::int32_t>(Get32(&bytes[cell]));
      const auto size = static_cast<std::size_t>(raw < 0 ? -raw : raw);
      if (size < kCellAlignment || size % kCellAlignment != 0 || size > bin + binSize - cell) return false;
      if (raw < 0) {
        file.used.Mark(cell);
        if (size >= vk::kName && Signature(&bytes[cell], "vk")) file.values.push_back(cell);
        if (Signature(&bytes[cell], "lh")) file.hashLists.push_back(cell);
      }
      cell += size;
    }
    bin += binSize;
  }
  return true;
}

}  // namespace

int PrepareForWindows(int fd, std::uint64_t now, std::string& why) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return Failed(why, "cannot read the written file back");
  const auto size = static_cast<std::size_t>(status.st_size);
  errno = 0;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  if (size < kBaseBlockSize + kBinAlignment || !ReadAt(fd, buffer.get(), size, 0)) {
    return Failed(why, "cannot read the written file back");
  }
  WrittenFile file(std::span(buffer.get(), size), kBaseBlockSize + std::size_t{Get32(&buffer[base::kBinsSize])});
  if (file.binsEnd > size || !Scan(file)) {
    why = "libhivex wrote damaged bins";
    return EINVAL;
  }
  std::vector<std::uint8_t> bin;
  if (Get32(&buffer[base::kMinor]) >= 4) bin = SplitBigData(file);
  RepairLeafHashes(file);

  for (std::size_t offset : file.changed) {
    if (!WriteAt(fd, &buffer[offset], 4, offset)) return Failed(why, "cannot write the hive");
  }
  std::uint8_t* block = buffer.get();
  if (!bin.empty()) {
    if (!WriteAt(fd, bin.data(), bin.size(), file.binsEnd) ||
        ::ftruncate(fd, static_cast<off_t>(file.binsEnd + bin.size())) != 0) {
      return Failed(why, "cannot write big-data records");
    }
    Put32(block + base::kBinsSize, static_cast<std::uint32_t>(file.binsEnd + bin.size() - kBaseBlockSize));
  }
  Put64(block + base::kTimestamp, now);
  Put32(block + base::kChecksum, Checksum(block));
  if (!WriteAt(fd, block, kBaseBlockSize, 0)) return Failed(why, "cannot write the base block");
  return 0;
}

}  // namespace cregistry::hive
