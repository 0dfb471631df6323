#include "tools/cregistry/Tool.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>

#include "registry/RegistryTransaction.h"
#include "registry/regfile/RegFileReader.h"
#include "registry/regfile/RegFileWriter.h"
#include "tools/cregistry/Options.h"
#include "tools/cregistry/OutputFile.h"
#include "tools/cregistry/RegistryWalk.h"

namespace cregistry::tool {

using namespace win32;
namespace rf = regfile;

namespace {

constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyAll = 0xF003F;

// ---- The verbs' tables ----------------------------------------------------------------------------

constexpr std::array kQueryOptions{
    OptionSpec{"v", "", "NAME", "show only the value NAME"},
    OptionSpec{"ve", "", "", "show only the unnamed value"},
    OptionSpec{"s", "", "", "also every key below, recursively"},
    OptionSpec{"se", "", "SEP", "separator between the strings of REG_MULTI_SZ data (default \\0)"},
};
constexpr std::array kAddOptions{
    OptionSpec{"v", "", "NAME", "the value to add"},
    OptionSpec{"ve", "", "", "the unnamed value"},
    OptionSpec{"t", "", "TYPE",
               "REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY,\n"
               "                      REG_NONE or REG_DWORD_BIG_ENDIAN"},
    OptionSpec{"s", "", "SEP", "separator between the strings of REG_MULTI_SZ data (default \\0)"},
    OptionSpec{"d", "", "DATA",
               "the data: text, a number (decimal or 0x hex) or hex digits for REG_BINARY/REG_NONE"},
    OptionSpec{"f", "", "", "replace an existing value without asking"},
};
constexpr std::array kDeleteOptions{
    OptionSpec{"v", "", "NAME", "delete the value NAME (without /v, /ve or /va: the key and its tree)"},
    OptionSpec{"ve", "", "", "delete the unnamed value"},
    OptionSpec{"va", "", "", "delete every value of the key"},
    OptionSpec{"f", "", "", "delete without asking (required: this tool never asks)"},
};
constexpr std::array kExportOptions{
    OptionSpec{"y", "", "", "replace FILE when it exists"},
    OptionSpec{"a", "ansi", "", "write REGEDIT4 (UTF-8) instead of version 5.00 (UTF-16LE)"},
};
constexpr std::array<OptionSpec, 0> kImportOptions{};

constexpr VerbSpec kQuery{"query", "KEY", 1, 1, "Shows a key's values and sub-keys, as reg query does.",
                          kQueryOptions, ""};
constexpr VerbSpec kAdd{"add", "KEY", 1, 1, "Creates a key, and sets a value when /v, /ve, /t or /d is given.",
                        kAddOptions, ""};
constexpr VerbSpec kDelete{"delete", "KEY", 1, 1, "Deletes a value, every value, or a key with its whole tree.",
                           kDeleteOptions, ""};
constexpr VerbSpec kExport{"export", "KEY FILE", 2, 2,
                           "Writes KEY and everything below it to a .reg file, as regedit does.", kExportOptions,
                           "The file is written under a temporary name beside FILE and renamed when complete."};
constexpr VerbSpec kImport{"import", "FILE", 1, 1,
                           "Applies a .reg file (REGEDIT4 or version 5.00; UTF-16LE or UTF-8).", kImportOptions,
                           ""};
constexpr std::array<const VerbSpec*, 5> kVerbs{&kQuery, &kAdd, &kDelete, &kExport, &kImport};

std::string MainUsage() {
  std::string text =
      "usage: cregistry [--store PATH] VERB ARGUMENTS...\n\n"
      "Verbs (cregistry VERB /? shows each one's switches):\n";
  for (const VerbSpec* verb : kVerbs) {
    std::string left = "  " + std::string(verb->name) + " " + std::string(verb->positionals);
    left.resize(22, ' ');
    text += left + std::string(verb->summary) + "\n";
  }
  text +=
      "\nKEY is ROOT\\path, ROOT one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,\n"
      "HKEY_USERS, HKEY_CURRENT_CONFIG or HKCR, HKCU, HKLM, HKU, HKCC, in any letter case. Switches are\n"
      "written /v or -v. Exit status: 0 on success, 1 on failure (with one line on standard error).\n\n";
  text += platform::kPlatformNotes;
  text += "\n";
  return text;
}

// ---- Keys as the user names them ------------------------------------------------------------------

struct KeyName {
  std::string asGiven;  // for messages, as the user wrote it
  std::int32_t root = 0;
  std::string subPath;  // below the root, without leading or trailing "\"
  std::string FullPath() const {
    std::string path(rf::RootFullName(root));
    if (!subPath.empty()) path += "\\" + subPath;
    return path;
  }
};

std::optional<KeyName> ParseKey(const std::string& text, ToolError& error) {
  KeyName key;
  key.asGiven = text;
  std::string_view rest(text);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.starts_with("\\\\")) {
    error.keyPath = text;
    error.detail = "remote machines are not supported";
    return std::nullopt;
  }
  std::size_t slash = rest.find('\\');
  auto root = rf::RootFromName(rest.substr(0, slash));
  if (!root) {
    error.keyPath = text;
    error.detail = "unknown root key (expected HKCR, HKCU, HKLM, HKU, HKCC or their full names)";
    return std::nullopt;
  }
  key.root = *root;
  if (slash != std::string_view::npos) key.subPath = rest.substr(slash + 1);
  return key;
}

// ---- Data as reg shows and takes it ---------------------------------------------------------------

std::string TypeName(std::uint32_t type) {
  static constexpr std::array<std::string_view, 12> kNames{
      "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
      "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
      "REG_QWORD"};
  if (type < kNames.size()) return std::string(kNames[type]);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", type);
  return buffer;
}

std::optional<std::uint32_t> TypeFromName(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 8> kTypes{{
      {"REG_SZ", rf::kRegSz},
      {"REG_EXPAND_SZ", rf::kRegExpandSz},
      {"REG_MULTI_SZ", rf::kRegMultiSz},
      {"REG_DWORD", rf::kRegDword},
      {"REG_QWORD", rf::kRegQword},
      {"REG_BINARY", rf::kRegBinary},
      {"REG_NONE", rf::kRegNone},
      {"REG_DWORD_BIG_ENDIAN", rf::kRegDwordBigEndian},
  }};
  for (const auto& [text, type] : kTypes)
    if (EqualsNoCase(name, text)) return type;
  return std::nullopt;
}

std::uint64_t LittleEndian(std::string_view data, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t k = bytes; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[k]);
  return v;
}

std::string Hex(std::string_view data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string DisplayData(const RawValue& value, const std::string& separator) {
  const std::string& d = value.data;
  char buffer[32];
  switch (value.type) {
    case rf::kRegSz:
    case rf::kRegExpandSz:
      return d.substr(0, d.find('\0'));
    case rf::kRegMultiSz: {
      std::string out;
      std::size_t at = 0;
      bool first = true;
      while (at < d.size()) {
        std::size_t end = d.find('\0', at);
        if (end == std::string::npos) end = d.size();
        if (end == at) break;  // the empty string that ends the list
        if (!first) out += separator;
        out += d.substr(at, end - at);
        first = false;
        at = end + 1;
      }
      return out;
    }
    case rf::kRegDword:
    case rf::kRegDwordBigEndian:
      if (d.size() != 4) break;
      std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(LittleEndian(d, 4)));
      return buffer;
    case rf::kRegQword:
      if (d.size() != 8) break;
      std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(LittleEndian(d, 8)));
      return buffer;
    default:
      break;
  }
  return Hex(d);
}

// A number in decimal or 0x hex, at most max.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  std::string_view s(text);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    if (v > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  out = v;
  return true;
}

// The data of /d for a type, in the narrow form the registry calls take.
bool BuildData(std::uint32_t type, const std::string* given, const std::string& separator, std::string& data,
               std::string& error) {
  const std::string text = given ? *given : "";
  data.clear();
  switch (type) {
    case rf::kRegSz:
    case rf::kRegExpandSz:
      data = text + '\0';
      return true;
    case rf::kRegMultiSz: {
      if (separator.empty()) {
        error = "the separator of /s is empty";
        return false;
      }
      std::size_t at = 0;
      while (!text.empty()) {
        std::size_t end = text.find(separator, at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty()) {
          error = "REG_MULTI_SZ data cannot hold an empty string";
          return false;
        }
        data += part + '\0';
        if (end == std::string::npos) break;
        at = end + separator.size();
      }
      data += '\0';
      return true;
    }
    case rf::kRegDword:
    case rf::kRegDwordBigEndian:
    case rf::kRegQword: {
      const std::size_t bytes = type == rf::kRegQword ? 8 : 4;
      std::uint64_t v = 0;
      if (given == nullptr || !ParseNumber(text, bytes == 8 ? ~0ull : 0xFFFFFFFFull, v)) {
        error = "/d for " + TypeName(type) + " takes a number, decimal or 0x hex, of at most " +
                std::to_string(bytes * 8) + " bits";
        return false;
      }
      // Little-endian for every number type, REG_DWORD_BIG_ENDIAN included: Wine's reg stores and shows
      // it so.
      for (std::size_t k = 0; k < bytes; ++k) data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
      return true;
    }
    default: {
      if (text.size() % 2 != 0) {
        error = "/d for " + TypeName(type) + " takes hex digits in pairs";
        return false;
      }
      for (std::size_t k = 0; k < text.size(); k += 2) {
        std::uint64_t byte;
        if (!ParseNumber("0x" + text.substr(k, 2), 0xFF, byte)) {
          error = "/d for " + TypeName(type) + " takes hex digits in pairs";
          return false;
        }
        data.push_back(static_cast<char>(byte));
      }
      return true;
    }
  }
}

// ---- The verbs ------------------------------------------------------------------------------------

struct Context {
  RegistryApi& api;
  std::ostream& out;
  ToolError& error;
};

std::optional<std::string> ValueNameOf(const ParsedArgs& args) {
  if (const std::string* v = args.Get("v")) return *v;
  if (args.Has("ve")) return std::string();
  return std::nullopt;
}

long OpenUserKey(Context& c, const KeyName& key, std::uint32_t access, KeyHandle& handle) {
  long rc = c.api.OpenKey(RootHandle(key.root), key.subPath.c_str(), access, handle.out());
  if (rc != kSuccess) {
    c.error.code = rc;
    c.error.keyPath = key.asGiven;
    if (rc != kFileNotFound) c.error.operation = "cannot open the key";
  }
  return rc;
}

void PrintValue(Context& c, const RawValue& value, const std::string& separator) {
  c.out << "    " << (value.name.empty() ? "(Default)" : value.name) << "    " << TypeName(value.type) << "    "
        << DisplayData(value, separator) << "\n";
}

bool Query(Context& c, const KeyName& key, const ParsedArgs& args) {
  const std::string separator = args.Get("se") ? *args.Get("se") : "\\0";
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, kKeyRead, handle)) return false;
  const auto fail = [&](long rc, const std::string& where, const char* what) {
    c.error.code = rc;
    c.error.keyPath = where;
    c.error.operation = what;
    return false;
  };
  if (auto name = ValueNameOf(args); name && !args.Has("s")) {
    RawValue value;
    if (long rc = ReadValue(c.api, handle.get(), *name, value)) {
      c.error.valueName = *name;
      return fail(rc, key.asGiven, rc == kFileNotFound ? "" : "cannot read the value");
    }
    c.out << "\n" << key.FullPath() << "\n";
    PrintValue(c, value, separator);
    c.out << "\n";
    return true;
  }
  if (!args.Has("s")) {
    std::vector<RawValue> values;
    if (long rc = ReadValues(c.api, handle.get(), values)) return fail(rc, key.asGiven, "cannot list the values");
    std::vector<std::string> children;
    if (long rc = ListSubKeys(c.api, handle.get(), children)) return fail(rc, key.asGiven, "cannot list the sub-keys");
    c.out << "\n" << key.FullPath() << "\n";
    for (const auto& value : values) PrintValue(c, value, separator);
    if (!values.empty()) c.out << "\n";
    for (const auto& child : children) c.out << key.FullPath() << "\\" << child << "\n";
    return true;
  }
  // Recursive: every key with its values; with /v or /ve only the keys that hold that value.
  const std::optional<std::string> only = ValueNameOf(args);
  std::size_t matches = 0;
  c.out << "\n";
  std::string failedPath;
  long rc = WalkTree(c.api, handle.get(), [&](const std::string& relative, RegHandle k) -> long {
    std::string path = key.FullPath() + (relative.empty() ? "" : "\\" + relative);
    std::vector<RawValue> values;
    if (only) {
      RawValue value;
      long got = ReadValue(c.api, k, *only, value);
      if (got == kFileNotFound) return kSuccess;
      if (got) return got;
      values.push_back(std::move(value));
      ++matches;
    } else if (long got = ReadValues(c.api, k, values)) {
      return got;
    }
    c.out << path << "\n";
    for (const auto& value : values) PrintValue(c, value, separator);
    c.out << "\n";
    return kSuccess;
  }, failedPath);
  if (rc) return fail(rc, key.asGiven + (failedPath.empty() ? "" : "\\" + failedPath), "cannot read the key");
  if (only) c.out << "End of search: " << matches << " match(es) found.\n";
  return true;
}

bool Add(Context& c, const KeyName& key, const ParsedArgs& args) {
  std::optional<std::string> name = ValueNameOf(args);
  if (!name && (args.Has("t") || args.Has("d"))) name = std::string();  // reg: data without /v is the unnamed value
  std::uint32_t type = rf::kRegSz;
  if (const std::string* t = args.Get("t")) {
    auto parsed = TypeFromName(*t);
    if (!parsed) {
      c.error.detail = "unknown type " + *t + " (see cregistry add /?)";
      return false;
    }
    type = *parsed;
  }
  std::string data;
  if (name) {
    std::string why;
    if (!BuildData(type, args.Get("d"), args.Get("s") ? *args.Get("s") : "\\0", data, why)) {
      c.error.detail = why;
      return false;
    }
  }
  if (key.subPath.empty() && !name) {
    c.error.keyPath = key.asGiven;
    c.error.detail = "a root key always exists";
    return false;
  }
  KeyHandle handle(c.api);
  long rc = c.api.CreateKey(RootHandle(key.root), key.subPath.c_str(), kKeyAll, handle.out());
  if (rc != kSuccess) {
    c.error = ToolError{rc, "cannot create the key", key.asGiven, std::nullopt, "", std::nullopt};
    return false;
  }
  if (!name) return true;
  c.error.keyPath = key.asGiven;
  c.error.valueName = *name;
  if (!args.Has("f")) {
    std::uint32_t existingType = 0, size = 0;
    rc = c.api.QueryValue(handle.get(), name->c_str(), &existingType, nullptr, &size);
    if (rc == kSuccess) {
      c.error.detail = "the value exists: add /f to replace it";
      return false;
    }
  }
  rc = c.api.SetValue(handle.get(), name->c_str(), type, reinterpret_cast<const std::uint8_t*>(data.data()),
                      static_cast<std::uint32_t>(data.size()));
  if (rc != kSuccess) {
    c.error.code = rc;
    c.error.operation = "cannot set the value";
    return false;
  }
  return true;
}

bool Delete(Context& c, const KeyName& key, const ParsedArgs& args) {
  if (!args.Has("f")) {
    c.error.detail = "delete never asks: add /f to delete";
    return false;
  }
  c.error.keyPath = key.asGiven;
  if (auto name = ValueNameOf(args); name || args.Has("va")) {
    KeyHandle handle(c.api);
    if (OpenUserKey(c, key, kKeyAll, handle)) return false;
    std::vector<std::string> names;
    if (name) {
      names.push_back(*name);
    } else {
      std::vector<RawValue> values;
      if (long rc = ReadValues(c.api, handle.get(), values)) {
        c.error.code = rc;
        c.error.operation = "cannot list the values";
        return false;
      }
      for (auto& value : values) names.push_back(std::move(value.name));
    }
    for (const auto& n : names) {
      if (long rc = c.api.DeleteValue(handle.get(), n.c_str())) {
        c.error.code = rc;
        c.error.valueName = n;
        if (rc != kFileNotFound) c.error.operation = "cannot delete the value";
        return false;
      }
    }
    return true;
  }
  if (key.subPath.empty()) {
    c.error.detail = "a root key cannot be deleted";
    return false;
  }
  if (long rc = DeleteTree(c.api, RootHandle(key.root), key.subPath)) {
    c.error.code = rc;
    if (rc != kFileNotFound) c.error.operation = "cannot delete the key";
    return false;
  }
  return true;
}

bool Export(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args) {
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, kKeyRead, handle)) return false;
  const bool replace = args.Has("y");
  if (!replace && PathExists(file)) {
    c.error.keyPath = file;
    c.error.detail = "the file exists: add /y to replace it";
    return false;
  }
  OutputFile output;
  if (std::error_code ec = output.Open(file)) {
    c.error.keyPath = file;
    c.error.detail = "cannot create a file beside it: " + ec.message();
    return false;
  }
  rf::Writer writer(output.stream(), args.Has("a") ? rf::Format::Ansi : rf::Format::Unicode);
  std::string failedPath, badName;
  // On the store every read of the export sees one state, read in one read transaction.
  long rc = RunAsOneSnapshot(c.api, [&] { return WalkTree(c.api, handle.get(), [&](const std::string& relative, RegHandle k) -> long {
    std::string path = key.FullPath() + (relative.empty() ? "" : "\\" + relative);
    if (!writer.Key(path)) {
      badName = "its name is not UTF-8 text";
      return kInvalidData;
    }
    std::vector<RawValue> values;
    if (long got = ReadValues(c.api, k, values)) return got;
    for (const auto& value : values) {
      if (!writer.Value(value.name, value.type, value.data)) {
        badName = "value \"" + value.name + "\" is not UTF-8 text";
        return kInvalidData;
      }
    }
    return kSuccess;
  }, failedPath); });
  if (rc != kSuccess) {
    c.error.keyPath = key.asGiven + (failedPath.empty() ? "" : "\\" + failedPath);
    if (!badName.empty()) {
      c.error.detail = "cannot export: " + badName;
    } else {
      c.error.code = rc;
      c.error.operation = "cannot read the key";
    }
    return false;
  }
  if (!writer.Finish() || !output.stream()) {
    c.error.keyPath = file;
    c.error.detail = "cannot write the file";
    return false;
  }
  if (std::error_code ec = output.Commit(replace)) {
    c.error.keyPath = file;
    c.error.detail = ec == std::errc::file_exists ? "the file exists: add /y to replace it"
                                                  : "cannot write the file: " + ec.message();
    return false;
  }
  return true;
}

// Reads the whole file once without acting on it; answers false with the error set.
bool CheckFile(Context& c, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    c.error.keyPath = file;
    c.error.detail = std::string("cannot open the file: ") + std::strerror(errno);
    return false;
  }
  rf::Reader reader(in, file);
  rf::Record record;
  rf::Reader::Step step;
  while ((step = reader.Next(record)) == rf::Reader::Step::Record) {
  }
  if (step == rf::Reader::Step::Error) {
    c.error.file = *reader.error();
    c.error.detail = reader.error()->message;
    return false;
  }
  return true;
}

// Applies the records of a file through the seam; checked tells whether CheckFile has read it before.
long ApplyFile(Context& c, const std::string& file, bool checked) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    c.error.keyPath = file;
    c.error.detail = std::string("cannot open the file: ") + std::strerror(errno);
    return kFileNotFound;
  }
  rf::Reader reader(in, file);
  rf::Record record;
  KeyHandle current(c.api);
  std::string currentPath;
  rf::Reader::Step step;
  const auto fail = [&](long rc, std::string what) {
    c.error.code = rc;
    c.error.operation = std::move(what);
    c.error.file = rf::Error{"", record.position, file};
    return rc;
  };
  while ((step = reader.Next(record)) == rf::Reader::Step::Record) {
    const std::string keyName = std::string(rf::RootFullName(record.root)) +
                                (record.keyPath.empty() ? "" : "\\" + record.keyPath);
    switch (record.kind) {
      case rf::Record::Kind::Key:
        currentPath = keyName;
        if (long rc = c.api.CreateKey(RootHandle(record.root), record.keyPath.c_str(), kKeyAll, current.out()))
          return fail(rc, "cannot create " + keyName);
        break;
      case rf::Record::Kind::DeleteKey:
        current.reset();
        if (long rc = DeleteTree(c.api, RootHandle(record.root), record.keyPath); rc && rc != kFileNotFound)
          return fail(rc, "cannot delete " + keyName);
        break;
      case rf::Record::Kind::Value:
        if (long rc = c.api.SetValue(current.get(), record.name.c_str(), record.type,
                                     reinterpret_cast<const std::uint8_t*>(record.data.data()),
                                     static_cast<std::uint32_t>(record.data.size())))
          return fail(rc, "cannot set value \"" + record.name + "\" of " + currentPath);
        break;
      case rf::Record::Kind::DeleteValue:
        if (long rc = c.api.DeleteValue(current.get(), record.name.c_str()); rc && rc != kFileNotFound)
          return fail(rc, "cannot delete value \"" + record.name + "\" of " + currentPath);
        break;
    }
  }
  if (step == rf::Reader::Step::Error) {
    c.error.file = *reader.error();
    c.error.detail = reader.error()->message;
    if (checked) c.error.detail += " (the file changed during the import)";
    return kInvalidData;
  }
  return kSuccess;
}

bool Import(Context& c, const std::string& file) {
  // On the store the file is read once, inside one transaction that an error anywhere in it takes back
  // whole. Where calls land one by one (advapi32), the whole file is checked before the first call.
  const bool checked = !SupportsTransactions(c.api);
  if (checked && !CheckFile(c, file)) return false;
  long rc = RunAsOneTransaction(c.api, [&] { return ApplyFile(c, file, checked); });
  if (rc != kSuccess && c.error.code == 0 && c.error.detail.empty()) {
    c.error.code = rc;
    c.error.keyPath = file;
    c.error.operation = "cannot complete the import";
  }
  return rc == kSuccess;
}

int Fail(std::ostream& err, const ToolError& error) {
  err << error.ToString() << "\n";
  return 1;
}

}  // namespace

int RunTool(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return RunTool(args, nullptr, out, err);
}

int RunTool(std::span<const std::string> argsIn, std::shared_ptr<RegistryApi> api, std::ostream& out,
            std::ostream& err) {
  std::vector<std::string> args(argsIn.begin(), argsIn.end());
  ToolError error;
  // The global option --store PATH may stand anywhere.
  std::optional<std::string> storePath;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--store") {
      if (i + 1 >= args.size()) {
        error.detail = "--store needs PATH";
        return Fail(err, error);
      }
      storePath = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
  }
  if (args.empty()) {
    error.detail = "no verb given (see cregistry --help)";
    return Fail(err, error);
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "/?" || args[0] == "-?") {
    out << MainUsage();
    return 0;
  }
  const VerbSpec* verb = nullptr;
  for (const VerbSpec* v : kVerbs)
    if (EqualsNoCase(args[0], v->name)) verb = v;
  if (verb == nullptr) {
    error.detail = "unknown verb " + args[0] + " (see cregistry --help)";
    return Fail(err, error);
  }
  ParsedArgs parsed;
  std::string why;
  if (!ParseArgs(*verb, std::span(args).subspan(1), parsed, why)) {
    error.detail = why + " (see cregistry " + std::string(verb->name) + " /?)";
    return Fail(err, error);
  }
  if (parsed.help) {
    out << Usage(*verb);
    if (verb == &kImport) out << "\n" << platform::kPlatformNotes << "\n";
    return 0;
  }
  if ((parsed.Has("v") ? 1 : 0) + (parsed.Has("ve") ? 1 : 0) + (parsed.Has("va") ? 1 : 0) > 1) {
    error.detail = "/v, /ve and /va exclude each other";
    return Fail(err, error);
  }

  if (api && storePath) {
    error.detail = "--store cannot be given here";
    return Fail(err, error);
  }
  if (!api) api = platform::OpenRegistry(storePath ? &*storePath : nullptr, error);
  if (!api) return Fail(err, error);
  Context c{*api, out, error};
  bool ok;
  if (verb == &kImport) {
    ok = Import(c, parsed.positionals[0]);
  } else {
    std::optional<KeyName> key = ParseKey(parsed.positionals[0], error);
    if (!key) return Fail(err, error);
    if (verb == &kQuery) ok = Query(c, *key, parsed);
    else if (verb == &kAdd) ok = Add(c, *key, parsed);
    else if (verb == &kDelete) ok = Delete(c, *key, parsed);
    else ok = Export(c, *key, parsed.positionals[1], parsed);
  }
  out.flush();
  return ok ? 0 : Fail(err, error);
}

}  // namespace cregistry::tool
