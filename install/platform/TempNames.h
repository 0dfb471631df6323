// The names of the temporary files a copy writes before it gives them their final names, as both
// platforms spell them: kTempPrefix, the writer's process id and further numbers, each followed by
// ".", and kTempSuffix (".install-templates.<pid>.<n>.tmp"; Windows adds the process's start time
// after the id). A later run reads the numbers back to tell whether the writer is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace install::platform {

inline constexpr std::string_view kTempPrefix = ".install-templates.";
inline constexpr std::string_view kTempSuffix = ".tmp";

// Reads the decimal number at text[pos] that `end` follows and steps past `end`. False when there is
// no digit there, something else follows the digits, or the number is above `max`.
constexpr bool ReadNameNumber(std::string_view text, std::size_t& pos, char end, std::uint64_t max,
                              std::uint64_t& value) {
  const std::size_t first = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && value < (std::uint64_t{1} << 59)) {
    value = value * 10 + static_cast<std::uint64_t>(text[pos++] - '0');
  }
  return pos > first && pos < text.size() && text[pos++] == end && value <= max;
}

}  // namespace install::platform
