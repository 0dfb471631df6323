// save, restore, load and unload: a key's tree and Windows hive files (the regf format). The checks of
// the arguments are the tool's own; the work is the platform's (Tool.h).
#include <array>
#include <span>

#include "tools/cregistry/OutputFile.h"
#include "tools/cregistry/Tool.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

namespace {

constexpr std::array kSaveOptions{
    OptionSpec{"y", "", "", "replace FILE when it exists"},
};
constexpr std::span<const OptionSpec> kNone;

constexpr std::int32_t kMachine = static_cast<std::int32_t>(0x80000002u);
constexpr std::int32_t kUsers = static_cast<std::int32_t>(0x80000003u);

// load and unload reach one key right below HKLM or HKU, as on Windows, where the hives hang there.
bool HiveMountPoint(Context& c, const KeyName& key) {
  if ((key.root == kMachine || key.root == kUsers) && !key.subPath.empty() &&
      key.subPath.find('\\') == std::string::npos) {
    return true;
  }
  c.error.keyPath = key.asGiven;
  c.error.detail = "a hive is loaded as a key right below HKLM or HKU (HKLM\\NAME or HKU\\NAME)";
  return false;
}

}  // namespace

const VerbSpec kSave{"save", "KEY FILE", 2, 2, "Writes KEY and everything below it to a new hive file.", kSaveOptions,
                     "The file is in the format of Windows' own registry files (regf, version 1.5), which\n"
                     "Windows loads and restores; it is written under a temporary name beside FILE and renamed\n"
                     "when complete."};
const VerbSpec kRestore{"restore", "KEY FILE", 2, 2, "Replaces KEY's values and sub-keys with those of a hive file.",
                        kNone,
                        "KEY must exist. What KEY held before is gone; on the store the whole change is one\n"
                        "transaction, so KEY holds either its old tree or the file's."};
const VerbSpec kLoad{"load", "KEY FILE", 2, 2, "Makes a hive file the key KEY (HKLM\\NAME or HKU\\NAME).", kNone,
                     "Until unload, every program that uses the registry sees the file's tree under KEY,\n"
                     "and what they write under KEY is written to the file."};
const VerbSpec kUnload{"unload", "KEY", 1, 1, "Writes out a loaded hive and removes its key.", kNone, ""};

bool Save(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args) {
  const bool replace = args.Has("y");
  if (!replace && PathExists(file)) {
    c.error.keyPath = file;
    c.error.detail = "the file exists: add /y to replace it";
    return false;
  }
  return platform::SaveKey(c, key, file, replace);
}

bool Restore(Context& c, const KeyName& key, const std::string& file, const ParsedArgs&) {
  return platform::RestoreKey(c, key, file);
}

bool Load(Context& c, const KeyName& key, const std::string& file, const ParsedArgs&) {
  return HiveMountPoint(c, key) && platform::LoadKey(c, key, file);
}

bool Unload(Context& c, const KeyName& key, const ParsedArgs&) {
  return HiveMountPoint(c, key) && platform::UnloadKey(c, key);
}

}  // namespace cregistry::tool
