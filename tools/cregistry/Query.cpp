// query: a key's values and sub-keys, one value, or a whole tree, in reg query's lines.
#include <array>
#include <vector>

#include "registry/RegistryWalk.h"
#include "tools/cregistry/ValueData.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;

namespace {

constexpr std::array kQueryOptions{
    OptionSpec{"v", "", "NAME", "show only the value NAME"},
    OptionSpec{"ve", "", "", "show only the unnamed value"},
    OptionSpec{"s", "", "", "also every key below, recursively"},
    OptionSpec{"se", "", "SEP", "separator between the strings of REG_MULTI_SZ data (default \\0)"},
};

void PrintValue(Context& c, const RawValue& value, const std::string& separator) {
  c.out << "    " << (value.name.empty() ? "(Default)" : value.name) << "    " << TypeName(value.type) << "    "
        << DisplayData(value, separator) << "\n";
}

}  // namespace

const VerbSpec kQuery{"query", "KEY", 1, 1, "Shows a key's values and sub-keys, as reg query does.",
                      kQueryOptions, ""};

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
      if (rc == kFileNotFound && name->empty()) {
        // reg shows an unnamed value that is not set rather than failing.
        c.out << "\n" << key.FullPath() << "\n    (Default)    REG_SZ    (value not set)\n";
        return true;
      }
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
    // As reg: the key's own line only above its values.
    c.out << "\n";
    if (!values.empty()) c.out << key.FullPath() << "\n";
    for (const auto& value : values) PrintValue(c, value, separator);
    if (!values.empty()) c.out << "\n";
    for (const auto& child : children) c.out << key.FullPath() << "\\" << child << "\n";
    return true;
  }
  // Recursive: every key with its values, as reg lists them: the key named leaves out its own line when
  // it has no values, every key below shows it, each followed by a blank line. With /v or /ve only the
  // keys that hold that value.
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
    if (values.empty() && relative.empty()) return kSuccess;
    c.out << path << "\n";
    for (const auto& value : values) PrintValue(c, value, separator);
    c.out << "\n";
    return kSuccess;
  }, failedPath);
  if (rc) return fail(rc, key.asGiven + (failedPath.empty() ? "" : "\\" + failedPath), "cannot read the key");
  if (only) c.out << "End of search: " << matches << " match(es) found.\n";
  return true;
}

}  // namespace cregistry::tool
