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

const VerbSpec kAdd{"add", "KEY", 1, 1,
                    "Creates a key and sets a value in it (without /v or /ve, the unnamed one).",
                    kAddOptions, ""};

bool Add(Context& c, const KeyName& key, const ParsedArgs& args) {
  // As reg add: without /v or /ve the value set is the unnamed one, an empty REG_SZ when neither /t
  // nor /d says otherwise.
  const std::string name = ValueNameOf(args).value_or("");
  if (const std::string* separator = args.Get("s"); separator && separator->size() != 1) {
    c.error.detail = "the separator of /s must be one character";
    return false;
  }
  // reg creates the key first, then reads the type and the data: a refused /t or /d leaves the key.
  KeyHandle handle(c.api);
  long rc = c.api.CreateKey(RootHandle(key.root), key.subPath.c_str(), kKeyAllAccess, handle.out());
  if (rc != kSuccess) {
    c.error = ToolError{rc, "cannot create the key", key.asGiven, std::nullopt, "", std::nullopt};
    return false;
  }
  std::uint32_t type = rf::kRegSz;
  if (const std::string* t = args.Get("t")) {
    auto parsed = TypeFromName(*t);
    if (!parsed) {
      c.error.detail = "unsupported type [" + *t + "] (see cregistry add /?)";
      return false;
    }
    type = *parsed;
  }
  if (args.Has("s") && type != rf::kRegMultiSz) {
    c.error.detail = "/s is for REG_MULTI_SZ data";
    return false;
  }
  std::string data, why;
  if (!BuildData(type, args.Get("d"), args.Get("s") ? args.Get("s") : nullptr, data, why)) {
    c.error.detail = why;
    return false;
  }
  c.error.keyPath = key.asGiven;
  c.error.valueName = name;
  if (!args.Has("f")) {
    std::uint32_t existingType = 0, size = 0;
    rc = c.api.QueryValue(handle.get(), name.c_str(), &existingType, nullptr, &size);
    if (rc == kSuccess) {
      c.error.detail = "the value exists: add /f to replace it";
      return false;
    }
  }
  rc = c.api.SetValue(handle.get(), name.c_str(), type, reinterpret_cast<const std::uint8_t*>(data.data()),
                      static_cast<std::uint32_t>(data.size()));
  if (rc != kSuccess) {
    c.error.code = rc;
    c.error.operation = "cannot set the value";
    return false;
  }
  return true;
}

}  // namespace cregistry::tool
