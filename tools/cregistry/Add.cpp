// add: creates a key, and sets a value in it.
#include <array>

#include "registry/regfile/RegFile.h"
#include "tools/cregistry/ValueData.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;
namespace rf = regfile;

namespace {

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

}  // namespace

const VerbSpec kAdd{"add", "KEY", 1, 1, "Creates a key, and sets a value when /v, /ve, /t or /d is given.",
                    kAddOptions, ""};

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

}  // namespace cregistry::tool
