// delete: a value, every value of a key, or a key with its whole tree.
#include <array>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;

namespace {

constexpr std::array kDeleteOptions{
    OptionSpec{"v", "", "NAME", "delete the value NAME (without /v, /ve or /va: the key and its tree)"},
    OptionSpec{"ve", "", "", "delete the unnamed value"},
    OptionSpec{"va", "", "", "delete every value of the key"},
    OptionSpec{"f", "", "", "delete without asking (required: this tool never asks)"},
};

}  // namespace

const VerbSpec kDelete{"delete", "KEY", 1, 1, "Deletes a value, every value, or a key with its whole tree.",
                       kDeleteOptions, ""};

bool Delete(Context& c, const KeyName& key, const ParsedArgs& args) {
  if (!args.Has("f")) {
    c.error.detail = "delete never asks: add /f to delete";
    return false;
  }
  c.error.keyPath = key.asGiven;
  if (auto name = ValueNameOf(args); name || args.Has("va")) {
    KeyHandle handle(c.api);
    if (OpenUserKey(c, key, kKeyAllAccess, handle)) return false;
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
    // Every value or none: on the store one transaction, which a refusal part-way takes back.
    return RunAsOneTransaction(c.api, [&]() -> long {
      for (const auto& n : names) {
        if (long rc = c.api.DeleteValue(handle.get(), n.c_str())) {
          c.error.code = rc;
          c.error.valueName = n;
          if (rc != kFileNotFound) c.error.operation = "cannot delete the value";
          return rc;
        }
      }
      return kSuccess;
    }) == kSuccess;
  }
  if (key.subPath.empty()) {
    c.error.detail = "a root key cannot be deleted";
    return false;
  }
  // The whole tree or nothing of it: on the store one transaction, so that a refusal part-way (access
  // denied below, say) leaves the tree as it was. advapi32 has no transaction; there the keys deleted
  // before the refusal stay deleted, as with reg.
  if (long rc = RunAsOneTransaction(c.api, [&] { return DeleteTree(c.api, RootHandle(key.root), key.subPath); })) {
    c.error.code = rc;
    if (rc != kFileNotFound) c.error.operation = "cannot delete the key";
    return false;
  }
  return true;
}

}  // namespace cregistry::tool
