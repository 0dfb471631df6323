#include "registry/regfile/RegFile.h"

#include <array>

namespace cregistry::regfile {

namespace {

struct RootName {
  std::int32_t code;
  std::string_view full;
  std::string_view brief;
};

constexpr std::array<RootName, 6> kRoots{{
    {static_cast<std::int32_t>(0x80000000u), "HKEY_CLASSES_ROOT", "HKCR"},
    {static_cast<std::int32_t>(0x80000001u), "HKEY_CURRENT_USER", "HKCU"},
    {static_cast<std::int32_t>(0x80000002u), "HKEY_LOCAL_MACHINE", "HKLM"},
    {static_cast<std::int32_t>(0x80000003u), "HKEY_USERS", "HKU"},
    {static_cast<std::int32_t>(0x80000005u), "HKEY_CURRENT_CONFIG", "HKCC"},
    {static_cast<std::int32_t>(0x80000006u), "HKEY_DYN_DATA", ""},
}};

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Decodes one UTF-8 sequence at text[i]; false when it is not well-formed (overlong forms, surrogates
// and code points above U+10FFFF included).
bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  std::size_t n;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 1, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 2, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 3, min = 0x10000, cp = b0 & 0x07;
  } else {
    return false;
  }
  if (text.size() - i <= n) return false;
  for (std::size_t k = 1; k <= n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += n + 1;
  return true;
}

}  // namespace

std::string Error::ToString() const {
  std::string out = path;
  if (position.line != 0) {
    if (!out.empty()) out += ':';
    out += std::to_string(position.line);
    if (position.column != 0) out += ':' + std::to_string(position.column);
  }
  if (!out.empty()) out += ": ";
  return out + message;
}

std::optional<std::int32_t> RootFromName(std::string_view name) {
  for (const auto& root : kRoots) {
    if (EqualsAsciiNoCase(name, root.full) || (!root.brief.empty() && EqualsAsciiNoCase(name, root.brief)))
      return root.code;
  }
  return std::nullopt;
}

std::string_view RootFullName(std::int32_t root) {
  for (const auto& r : kRoots)
    if (r.code == root) return r.full;
  return {};
}

std::string_view RootShortName(std::int32_t root) {
  for (const auto& r : kRoots)
    if (r.code == root) return r.brief;
  return {};
}

bool Utf8ToUtf16Le(std::string_view utf8, std::string& out) {
  // Every UTF-8 byte gives at most one UTF-16 unit (a four-byte sequence gives two): room for all of
  // them, written in place and cut to size at the end.
  out.resize(utf8.size() * 2);
  std::size_t o = 0;
  const auto unit = [&](char32_t u) {
    out[o++] = static_cast<char>(u & 0xFF);
    out[o++] = static_cast<char>((u >> 8) & 0xFF);
  };
  for (std::size_t i = 0; i < utf8.size();) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {  // ASCII, most of a file
      out[o++] = utf8[i++];
      out[o++] = '\0';
      continue;
    }
    char32_t cp;
    if (!DecodeUtf8(utf8, i, cp)) {
      out.resize(o);
      return false;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  out.resize(o);
  return true;
}

bool Utf16LeToUtf8(std::string_view utf16le, std::string& out) {
  out.clear();
  if (utf16le.size() % 2 != 0) return false;
  out.reserve(utf16le.size());
  const auto unitAt = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(utf16le[i]) |
                                 (static_cast<unsigned char>(utf16le[i + 1]) << 8));
  };
  for (std::size_t i = 0; i < utf16le.size(); i += 2) {
    char32_t cp = unitAt(i);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 2 >= utf16le.size()) return false;
      char32_t low = unitAt(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(out, cp);
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t Utf8Chars(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    if (!DecodeUtf8(text, i, cp)) return false;
  }
  return true;
}

}  // namespace cregistry::regfile
