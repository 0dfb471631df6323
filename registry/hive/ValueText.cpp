#include "registry/hive/ValueText.h"

#include "registry/Utf8.h"

namespace cregistry::hive {

namespace {
constexpr std::uint32_t kSz = 1, kExpandSz = 2, kMultiSz = 7;
constexpr char32_t kReplacement = 0xFFFD;
}  // namespace

bool IsTextType(std::uint32_t type) { return type == kSz || type == kExpandSz || type == kMultiSz; }

std::string ToNarrow(std::uint32_t type, std::string_view data) {
  if (!IsTextType(type)) return std::string(data);
  std::string out;
  out.reserve(data.size() / 2 + data.size() / 8);
  const std::size_t units = data.size() / 2;
  const auto unit = [&](std::size_t i) -> char16_t {
    return static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                 (static_cast<unsigned char>(data[2 * i + 1]) << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      utf8::Append(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      utf8::Append(out, kReplacement);
    } else {
      utf8::Append(out, u);
    }
  }
  return out;
}

std::string ToHive(std::uint32_t type, std::string_view data) {
  if (!IsTextType(type)) return std::string(data);
  std::string out;
  out.reserve(data.size() * 2);
  const auto put = [&](char32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  for (std::size_t i = 0; i < data.size();) {
    char32_t cp = 0;
    std::size_t n = utf8::Decode(data, i, cp);
    if (n == 0) {
      cp = kReplacement;
      n = 1;
    }
    i += n;
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

}  // namespace cregistry::hive
