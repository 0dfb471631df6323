#include "registry/regfile/RegFile.h"

#include "registry/Ascii.h"
#include "registry/Utf8.h"

#include <array>
#include <utility>

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

// Windows-1252's bytes 80 to 9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> kWindows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::optional<CodePage> CodePageFromName(std::string_view name) {
  constexpr std::array<std::pair<std::string_view, CodePage>, 9> kNames{{
      {"65001", CodePage::Utf8},
      {"utf-8", CodePage::Utf8},
      {"utf8", CodePage::Utf8},
      {"1252", CodePage::Windows1252},
      {"windows-1252", CodePage::Windows1252},
      {"cp1252", CodePage::Windows1252},
      {"28591", CodePage::Latin1},
      {"iso-8859-1", CodePage::Latin1},
      {"latin1", CodePage::Latin1},
  }};
  for (const auto& [text, codePage] : kNames)
    if (ascii::EqualsNoCase(name, text)) return codePage;
  return std::nullopt;
}

char32_t SingleByteChar(CodePage codePage, unsigned char b) {
  if (codePage == CodePage::Windows1252 && b >= 0x80 && b < 0xA0) return kWindows1252High[b - 0x80];
  return b;
}

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
    if (ascii::EqualsNoCase(name, root.full) || (!root.brief.empty() && ascii::EqualsNoCase(name, root.brief)))
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

bool Utf8ToUtf16Le(std::string_view text, std::string& out) {
  // Every UTF-8 byte gives at most one UTF-16 unit (a four-byte sequence gives two): room for all of
  // them, written in place and cut to size at the end.
  out.resize(text.size() * 2);
  std::size_t o = 0;
  const auto unit = [&](char32_t u) {
    out[o++] = static_cast<char>(u & 0xFF);
    out[o++] = static_cast<char>((u >> 8) & 0xFF);
  };
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {  // ASCII, most of a file
      out[o++] = text[i++];
      out[o++] = '\0';
      continue;
    }
    char32_t cp;
    const std::size_t length = utf8::Decode(text, i, cp);
    if (length == 0) {
      out.resize(o);
      return false;
    }
    i += length;
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
    utf8::Append(out, cp);
  }
  return true;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    const std::size_t length = utf8::Decode(text, i, cp);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace cregistry::regfile
