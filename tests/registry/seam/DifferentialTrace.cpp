// Runs one seeded random sequence of registry seam calls and prints a trace of what each answered
// (codes, data, names and orders), with handles named by the order they were opened in, so that the
// trace of the registry store and the trace of the Windows build on Wine's registry can be compared
// line by line (scripts/differential.sh).
//
//   registry_seam_trace SEED [--steps N] [--known] [--store PATH]
//
// --store names the store file (native build; required there). --known leaves out, or prints in a
// neutral form, the calls whose answers differ for a known and explained reason (see kKnown below), so
// that every other difference stands out.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>

#include <cregistry/Store.h>
#endif

namespace {

using cregistry::RegHandle;
using cregistry::RegistryApi;
using cregistry::RootHandle;

// The known differences between the store and Wine's registry, each with the side Windows is on.
//   value-order     values list in creation order (store, Windows); Wine lists them sorted by name.
//   subkey-order    sub-keys list in upper-case order, "_" after letters (store, Windows); Wine folds
//                   names to lower case, so "_" and "[" sort before letters.
//   key-name-256    a key name of 256 characters: the store refuses it (87) as documented for Windows;
//                   Wine takes it.
//   queryinfo-access  RegQueryInfoKey on a handle without KEY_QUERY_VALUE: 5 (store, Windows as
//                   documented); Wine answers it.
//   string-set-nul  RegSetValueExA of text whose last counted byte is not NUL but whose next byte is:
//                   Windows and Wine count that NUL too (reading past the size given); the store keeps
//                   exactly the bytes it was given.
//   multibyte-names  value names beyond ASCII: RegQueryInfoKeyA counts the longest name in characters
//                   on Windows and Wine, in bytes in the store (so that a buffer of that size holds the
//                   UTF-8 name, as the accessor's listing needs); and what a too small buffer of
//                   RegEnumValueA holds is undefined (the store: the bytes that fit; Wine: nothing).
//   fold-wine       letters whose simple upper-case mapping Wine (8.0) does not apply: U+00B5 micro
//                   sign (to U+039C), U+0131, U+017F, U+01C5 title case, U+03C2 final sigma, U+1C80;
//                   the store folds them by Unicode's table (Windows' own table was not checked here).
//                   Keys named with U+00B5 or U+039C are left out.
//   text-not-utf8   text data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) that is not UTF-8: under the UTF-8
//                   code page (which the Windows build runs under, as Windows does with it) the narrow
//                   call converts it, each bad sequence to U+FFFD; the store keeps the bytes.
const char* const kKnown =
    "value-order subkey-order key-name-256 queryinfo-access string-set-nul text-not-utf8 multibyte-names fold-wine";

struct Handle {
  RegHandle value;
  std::string label;
  std::uint32_t access;
};

class Trace {
 public:
  Trace(RegistryApi& api, std::uint32_t seed, bool known) : api_(api), random_(seed), known_(known) {}

  int Run(int steps) {
    // A fresh key of this run (its name is never printed, so the traces of both sides still match).
#ifdef _WIN32
    const std::string basePath = "Software\\cregistry-differential\\run" + std::to_string(GetCurrentProcessId());
#else
    const std::string basePath = "Software\\cregistry-differential\\run" + std::to_string(getpid());
#endif
    RemoveTree(kHKCU, basePath);
    RegHandle base = 0;
    long rc = api_.CreateKey(kHKCU, basePath.c_str(), 0xF003F, base);
    std::printf("create base -> %ld\n", rc);
    if (rc != 0) return 1;
    // Only the run's own key and keys below it are used: the roots of Wine's registry hold other data.
    handles_.push_back({base, "base", 0xF003F});
#ifdef _WIN32
    SetEnvironmentVariableA("CREG_DIFF_A", "alpha");
    SetEnvironmentVariableA("CREG_DIFF_B", "%CREG_DIFF_A%");
#else
    setenv("CREG_DIFF_A", "alpha", 1);
    setenv("CREG_DIFF_B", "%CREG_DIFF_A%", 1);
#endif
    for (int step = 0; step < steps; ++step) {
      std::printf("%d ", step);
      Step();
    }
    // The final state, listed whole.
    std::printf("final\n");
    Dump(base, "base", 0);
    for (auto& h : handles_) {
      if (h.value != base) api_.CloseKey(h.value);
    }
    api_.CloseKey(base);
    RemoveTree(kHKCU, basePath);
    return 0;
  }

 private:
  static constexpr RegHandle kHKCU = RootHandle(static_cast<std::int32_t>(0x80000001u));

  int Pick(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }

  static std::string Show(const std::string& s) {
    // Long runs of one letter are shown by their length.
    if (s.size() > 40) {
      std::size_t same = 0;
      while (same < s.size() && s[same] == s[0]) ++same;
      if (same > 40) return "<" + std::string(1, s[0]) + "*" + std::to_string(same) + ">" + Show(s.substr(same));
    }
    std::string out = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c >= 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  }
  static std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02x", p[i]);
      out += buf;
    }
    return out.empty() ? "-" : out;
  }

  std::string KeyPath() {
    static const char* const kNames[] = {"Alpha", "alpha", "ALPHA", "beta", "Beta2", "gamma", "Gamma\\Kid",
                                         "alpha\\kid", "ALPHA\\KID\\deep", "zeta", "_under", "[br",
                                         "a\\\\b", "trail\\", "\\lead", "", "missing\\deep", "k1", "K10", "k2",
                                         // Letters beyond ASCII (UTF-8; the Windows build runs under the
                                         // UTF-8 code page): Käse, KÄSE, äpfel, Öl, Ωmega, Grüße.
                                         "K\xC3\xA4se", "K\xC3\x84SE", "\xC3\xA4pfel", "\xC3\x96l\\kid", "\xCE\xA9mega",
                                         "Gr\xC3\xBC\xC3\x9F" "e",
                                         // Folded by the store, not by Wine (fold-wine): \u00B5s, \u039CS.
                                         "\xC2\xB5s", "\xCE\x9CS"};
    int n = Pick(100);
    if (n < 3) return std::string(255, 'x');
    if (n < 5) return std::string(256, 'y');
    if (n < 7) return std::string(257 + Pick(4), 'z');
    return kNames[Pick(static_cast<int>(std::size(kNames)))];
  }
  std::string ValueName() {
    static const char* const kNames[] = {"", "v", "V", "value", "VALUE", "_u", "[b", "w", "\xC3\xA9t\xC3\xA9",
                                         "\xC3\x89T\xC3\x89"};
    int n = Pick(100);
    if (n < 2) return std::string(16383, 'n');
    if (n < 4) return std::string(16384, 'n');
    const char* name = kNames[Pick(static_cast<int>(std::size(kNames)))];
    if (static_cast<unsigned char>(name[0]) >= 0x80) multibyteValueNames_ = true;
    return name;
  }
  std::uint32_t Access() {
    static const std::uint32_t kMasks[] = {0x3F, 0x3F, 0xF003F, 0xF003F, 0x1, 0x8, 0x20019, 0x20006, 0x2};
    return kMasks[Pick(static_cast<int>(std::size(kMasks)))];
  }
  // A handle to use: mostly an open one, sometimes one that is not (0, or a value never handed out).
  Handle PickHandle() {
    int n = Pick(100);
    if (n < 2) return {0, "null", 0};
    if (n < 4) return {0x7654320, "bogus", 0};
    return handles_[Pick(static_cast<int>(handles_.size()))];
  }

  static bool HasLongComponent(const std::string& path, std::size_t length) {
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      if (end - start == length) return true;
      start = end + 1;
    }
    return false;
  }
  static bool FoldedOnlyByTheStore(const std::string& path) {
    return path.find("\xC2\xB5") != std::string::npos || path.find("\xCE\x9C") != std::string::npos;
  }
  // Whether text is well-formed UTF-8 (what the UTF-8 code page converts without loss).
  static bool IsUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
      const auto b = static_cast<unsigned char>(text[i]);
      std::size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
      if (n == 0 || i + n > text.size()) return false;
      char32_t cp = n == 1 ? b : b & (0x7F >> n);
      for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
      }
      if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
      i += n;
    }
    return true;
  }
  // In --known mode, a call that meets a known difference is not made.
  bool SkipKnown(const char* what, bool applies) {
    if (!known_ || !applies) return false;
    std::printf("(known: %s)\n", what);
    return true;
  }

  void Opened(RegHandle value, std::uint32_t access) {
    for (RegHandle root = RootHandle(static_cast<std::int32_t>(0x80000000u));
         root <= RootHandle(static_cast<std::int32_t>(0x80000006u)); ++root) {
      if (value == root) {
        std::printf(" root%u\n", static_cast<unsigned>(value & 0xF));
        return;
      }
    }
    std::string label = "h" + std::to_string(++opened_);
    std::printf(" %s\n", label.c_str());
    handles_.push_back({value, label, access});
  }

  void Step() {
    switch (Pick(16)) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const bool create = Pick(2) == 1;
        Handle p = PickHandle();
        std::string path = KeyPath();
        std::uint32_t access = Access();
        std::printf("%s %s %s 0x%x ->", create ? "create" : "open", p.label.c_str(), Show(path).c_str(), access);
        if (SkipKnown("key-name-256", HasLongComponent(path, 256))) return;
        if (SkipKnown("fold-wine", FoldedOnlyByTheStore(path))) return;
        RegHandle out = 0;
        long rc = create ? api_.CreateKey(p.value, path.c_str(), access, out)
                         : api_.OpenKey(p.value, path.c_str(), access, out);
        std::printf(" %ld", rc);
        if (rc == 0) {
          Opened(out, access);
        } else {
          std::printf("\n");
        }
        return;
      }
      case 4: {
        if (handles_.size() <= 1) return Step();
        std::size_t i = 1 + static_cast<std::size_t>(Pick(static_cast<int>(handles_.size() - 1)));
        Handle h = handles_[i];
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(i));
        long rc = api_.CloseKey(h.value);
        std::printf("close %s -> %ld", h.label.c_str(), rc);
        if (Chance(30)) std::printf(" again -> %ld", api_.CloseKey(h.value));
        std::printf("\n");
        return;
      }
      case 5:
      case 6:
      case 12:
        return Query();
      case 7:
      case 8:
      case 13:
      case 14:
        return Set();
      case 9: {
        Handle p = PickHandle();
        std::string path = KeyPath();
        // Often the handle's own key (its handles then answer 1018); never the base key itself.
        if (Chance(40)) path.clear();
        if (path.empty() && p.label == "base") path = "missing";
        std::printf("deletekey %s %s ->", p.label.c_str(), Show(path).c_str());
        if (SkipKnown("key-name-256", HasLongComponent(path, 256))) return;
        if (SkipKnown("fold-wine", FoldedOnlyByTheStore(path))) return;
        std::printf(" %ld\n", api_.DeleteKey(p.value, path.c_str()));
        return;
      }
      case 10: {
        Handle h = PickHandle();
        std::string name = ValueName();
        std::printf("deletevalue %s %s -> %ld\n", h.label.c_str(), Show(name).c_str(),
                    api_.DeleteValue(h.value, name.c_str()));
        return;
      }
      case 11: {
        Handle h = PickHandle();
        int what = Pick(3);
        if (what == 0) {
          std::printf("queryinfo %s ->", h.label.c_str());
          if (SkipKnown("queryinfo-access", h.value != 0 && h.value != 0x7654320 && !(h.access & 1))) return;
          std::uint32_t maxLen = 12345;
          long rc = api_.QueryInfoKey(h.value, maxLen);
          if (known_ && multibyteValueNames_) {
            std::printf(" %ld (known: multibyte-names)\n", rc);
          } else {
            std::printf(" %ld %u\n", rc, rc == 0 ? maxLen : 0);
          }
        } else if (what == 1) {
          static const std::uint32_t kSizes[] = {1, 2, 4, 6, 256};
          std::uint32_t size = kSizes[Pick(5)];
          std::printf("enumkeys %s size %u:", h.label.c_str(), size);
          ListKeys(h.value, size);
        } else {
          static const std::uint32_t kSizes[] = {0, 1, 2, 4, 6, 20000};
          std::uint32_t size = kSizes[Pick(6)];
          std::printf("enumvalues %s size %u:", h.label.c_str(), size);
          ListValues(h.value, size);
        }
        return;
      }
      case 15: {
        if (Chance(20)) {
          RegHandle out = 0;
          std::printf("connect nowhere -> %ld\n",
                      api_.ConnectRegistry("\\\\cregistry-nowhere", RootHandle(static_cast<std::int32_t>(0x80000002u)), out));
          return;
        }
        static const char* const kTexts[] = {"%CREG_DIFF_A%", "x%creg_diff_a%y", "%CREG_DIFF_B%", "%NOPE%%CREG_DIFF_A%",
                                             "100% of 50%", "%%", "%", "a%CREG_DIFF_A", ""};
        const char* text = kTexts[Pick(static_cast<int>(std::size(kTexts)))];
        std::uint32_t size = static_cast<std::uint32_t>(Pick(12));
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        std::uint32_t needed = api_.ExpandEnvironment(text, buffer, size);
        std::printf("expand %s size %u -> %u %s\n", Show(text).c_str(), size, needed,
                    Show(std::string(buffer, sizeof buffer)).c_str());
        return;
      }
    }
  }

  void Query() {
    Handle h = PickHandle();
    std::string name = ValueName();
    int mode = Pick(4);
    std::uint32_t type = 0xEEEE;
    if (mode == 0) {
      std::uint32_t size = 777;
      long rc = api_.QueryValue(h.value, name.c_str(), &type, nullptr, &size);
      std::printf("querysize %s %s -> %ld type %u size %u\n", h.label.c_str(), Show(name).c_str(), rc,
                  rc == 0 || rc == 234 ? type : 0, rc == 0 || rc == 234 ? size : 0);
      return;
    }
    std::uint8_t buffer[24];
    std::memset(buffer, 0xCC, sizeof buffer);
    std::uint32_t size = mode == 1 ? static_cast<std::uint32_t>(Pick(4)) : static_cast<std::uint32_t>(Pick(20));
    long rc = api_.QueryValue(h.value, name.c_str(), &type, buffer, &size);
    std::printf("query %s %s -> %ld type %u size %u buffer %s\n", h.label.c_str(), Show(name).c_str(), rc,
                rc == 0 || rc == 234 ? type : 0, rc == 0 || rc == 234 ? size : 0, Hex(buffer, sizeof buffer).c_str());
  }

  void Set() {
    Handle h = PickHandle();
    std::string name = ValueName();
    static const std::uint32_t kTypes[] = {1, 2, 3, 4, 7, 0, 11};
    std::uint32_t type = kTypes[Pick(static_cast<int>(std::size(kTypes)))];
    std::string data;
    int length = Pick(9);
    for (int i = 0; i < length; ++i) data += static_cast<char>(Chance(70) ? 'a' + Pick(26) : Pick(256));
    if ((type == 1 || type == 2 || type == 7) && Chance(60)) data += '\0';
    // The byte after the data given: a NUL or not (Windows counts a NUL there for text, see kKnown).
    bool nulAfter = Chance(50);
    std::string buffer = data + (nulAfter ? '\0' : 'G');
    bool quirk = (type == 1 || type == 2 || type == 7) && !data.empty() && data.back() != '\0' && nulAfter;
    std::printf("set %s %s type %u data %s ->", h.label.c_str(), Show(name).c_str(), type, Show(data).c_str());
    if (SkipKnown("string-set-nul", quirk)) return;
    if (SkipKnown("text-not-utf8", (type == 1 || type == 2 || type == 7) && !IsUtf8(data))) return;
    long rc = api_.SetValue(h.value, name.c_str(), type, reinterpret_cast<const std::uint8_t*>(buffer.data()),
                            static_cast<std::uint32_t>(data.size()));
    std::printf(" %ld\n", rc);
  }

  void ListKeys(RegHandle key, std::uint32_t size) {
    std::vector<std::string> entries;
    long rc = 0;
    for (std::uint32_t i = 0; i < 64; ++i) {
      char name[300];
      std::memset(name, '#', sizeof name);
      rc = api_.EnumKey(key, i, name, size);
      if (rc != 0 && rc != 234) break;
      entries.push_back(rc == 234 ? "(234)" : Show(name));
    }
    if (known_) std::sort(entries.begin(), entries.end());
    for (const auto& e : entries) std::printf(" %s", e.c_str());
    std::printf(" end %ld\n", rc);
  }

  void ListValues(RegHandle key, std::uint32_t size) {
    std::vector<std::string> entries;
    long rc = 0;
    std::vector<char> name(20001);
    for (std::uint32_t i = 0; i < 64; ++i) {
      std::fill(name.begin(), name.end(), '#');
      std::uint32_t len = size;
      rc = api_.EnumValue(key, i, name.data(), len);
      if (rc != 0 && rc != 234) break;
      if (rc == 0) {
        entries.push_back(Show(std::string(name.data(), len)) + "/" + std::to_string(len));
      } else if (known_ && multibyteValueNames_) {
        entries.push_back("(234:" + std::to_string(len) + ") (known: multibyte-names)");
      } else {
        entries.push_back("(234:" + std::to_string(len) + ":" + Show(std::string(name.data(), std::min<std::size_t>(size, 8))) + ")");
      }
    }
    // In --known mode the order is left out (value-order).
    if (known_) std::sort(entries.begin(), entries.end());
    for (const auto& e : entries) std::printf(" %s", e.c_str());
    std::printf(" end %ld\n", rc);
  }

  // Every key below key (sub-keys in sorted order in --known mode) with its values.
  void Dump(RegHandle key, const std::string& path, int depth) {
    std::printf("key %s:", path.c_str());
    ListValues(key, 20000);
    std::vector<std::string> children;
    char name[300];
    for (std::uint32_t i = 0; api_.EnumKey(key, i, name, sizeof name) == 0; ++i) children.emplace_back(name);
    if (known_) std::sort(children.begin(), children.end());
    for (const auto& child : children) {
      RegHandle sub = 0;
      if (api_.OpenKey(key, child.c_str(), 0x3F, sub) != 0) {
        std::printf("key %s\\%s: cannot open\n", path.c_str(), Show(child).c_str());
        continue;
      }
      std::vector<std::string> values;
      std::vector<char> vname(20001);
      for (std::uint32_t i = 0;; ++i) {
        std::uint32_t len = 20001;
        if (api_.EnumValue(sub, i, vname.data(), len) != 0) break;
        values.emplace_back(vname.data(), len);
      }
      if (known_) std::sort(values.begin(), values.end());
      for (const auto& v : values) {
        std::uint8_t data[64];
        std::uint32_t type = 0, size = sizeof data;
        long rc = api_.QueryValue(sub, v.c_str(), &type, data, &size);
        std::printf("  %s\\%s %s = %ld type %u %s\n", path.c_str(), Show(child).c_str(), Show(v).c_str(), rc, type,
                    rc == 0 ? Hex(data, size).c_str() : "");
      }
      if (depth < 4) Dump(sub, path + "\\" + Show(child), depth + 1);
      api_.CloseKey(sub);
    }
  }

  // Deletes a key and everything below it, each key through its parent's handle (Wine's narrow calls
  // refuse paths of more than 260 characters, which long names below long names would make).
  void RemoveTree(RegHandle parent, const std::string& name) {
    RegHandle key = 0;
    if (api_.OpenKey(parent, name.c_str(), 0x8, key) != 0) return;
    std::vector<std::string> children;
    char child[300];
    for (std::uint32_t i = 0; api_.EnumKey(key, i, child, sizeof child) == 0; ++i) children.emplace_back(child);
    for (const auto& c : children) RemoveTree(key, c);
    api_.CloseKey(key);
    api_.DeleteKey(parent, name.c_str());
  }

  RegistryApi& api_;
  std::mt19937 random_;
  bool known_;
  std::vector<Handle> handles_;
  int opened_ = 0;
  bool multibyteValueNames_ = false;  // a value name beyond ASCII has been used
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SEED [--steps N] [--known] [--store PATH]\n", argv[0]);
    return 2;
  }
  auto seed = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  int steps = 400;
  bool known = false;
  std::string store;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--steps" && i + 1 < argc) {
      steps = std::atoi(argv[++i]);
    } else if (arg == "--known") {
      known = true;
    } else if (arg == "--store" && i + 1 < argc) {
      store = argv[++i];
    } else if (arg == "--list-known") {
      std::printf("%s\n", kKnown);
      return 0;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
#ifdef _WIN32
  std::shared_ptr<RegistryApi> api = cregistry::DefaultRegistryApi();
#else
  if (store.empty()) {
    std::fprintf(stderr, "--store PATH is required\n");
    return 2;
  }
  std::shared_ptr<RegistryApi> api = cregistry::OpenRegistryStore(store);
#endif
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  return Trace(*api, seed, known).Run(steps);
}
