// The tool on Linux: it works on the registry store.
#include <malloc.h>

#include <cregistry/Store.h>
#include "registry/store/RegistryStore.h"
#include "tools/cregistry/Tool.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool::platform {

using namespace win32;
constexpr long kPrivilegeNotHeld = 1314;

std::shared_ptr<RegistryApi> OpenRegistry(const std::string* storePath, ToolError&) {
  return storePath != nullptr ? OpenRegistryStore(*storePath) : DefaultRegistryApi();
}

const char* const kPlatformNotes =
    "This build works on the registry store: the file given by --store PATH (every root), else\n"
    "HKCU in $CREGISTRY_STORE, else ${XDG_DATA_HOME:-~/.local/share}/cregistry/registry.db, and\n"
    "HKLM, HKU and HKCC in $CREGISTRY_MACHINE_STORE, else /var/lib/cregistry/machine.db.\n"
    "An import reads the file once and applies it as one transaction: the store holds either the\n"
    "whole file or none of it (nothing when the file has an error anywhere), even when the process is\n"
    "killed meanwhile. A file that would change both the user's and the machine store is refused.\n"
    "save, restore, load and unload read and write Windows hive files through libhivex. A loaded\n"
    "hive is listed in HKLM\\SYSTEM\\CurrentControlSet\\Control\\hivelist of the store (as on\n"
    "Windows); each change to it writes the whole file anew beside it and renames it over the old one.";

// A run is short and its memory peaks once (an import's transaction keeps its pages in a cache of up to
// 32 MiB): giving memory back to the system as it is freed, and asking for it 128 KiB at a time, cost an
// import of 100,000 values about 1,300 brk calls and 3% of its time.
void PrepareProcess() {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 16 << 20);
}

std::string FoldName(const std::string& name) { return store::Fold(name); }

namespace {
// A failure of the hive calls: the code, and the line that says why (a file's problem names the file).
// The key has been found by then, so "not found" is the file's.
bool HiveFailure(Context& c, const KeyName& key, const std::string& file, long code, const std::string& message,
                 const char* operation) {
  c.error.code = code;
  c.error.operation = operation;
  c.error.fileCode = code == kFileNotFound;
  c.error.keyPath = c.error.fileCode ? file : key.asGiven;
  if (!c.error.fileCode) c.error.detail = message;
  return false;
}
}  // namespace

bool SaveKey(Context& c, const KeyName& key, const std::string& file, bool replace) {
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, kKeyRead, handle)) return false;
  std::string message;
  if (long rc = SaveHive(c.api, handle.get(), file, replace, &message)) {
    return HiveFailure(c, key, file, rc, message, "cannot save the key");
  }
  return true;
}

bool RestoreKey(Context& c, const KeyName& key, const std::string& file) {
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, kKeyAllAccess, handle)) return false;
  std::string message;
  if (long rc = RestoreHive(c.api, handle.get(), file, &message)) {
    return HiveFailure(c, key, file, rc, message, "cannot restore the key");
  }
  return true;
}

// Loading and unloading ask for the right to write the store that holds the root, as Windows asks for
// the restore privilege: without it, reg's "a required privilege is not held" (1314).
bool LoadKey(Context& c, const KeyName& key, const std::string& file) {
  std::string message;
  long rc = LoadHive(c.api, RootHandle(key.root), key.subPath, file, &message);
  if (rc == kAccessDenied) rc = kPrivilegeNotHeld;
  return rc == kSuccess || HiveFailure(c, key, file, rc, message, "cannot load the hive");
}

bool UnloadKey(Context& c, const KeyName& key) {
  std::string message;
  long rc = UnloadHive(c.api, RootHandle(key.root), key.subPath, &message);
  if (rc == kAccessDenied) rc = kPrivilegeNotHeld;
  return rc == kSuccess || HiveFailure(c, key, "", rc, message, "cannot unload the hive");
}

}  // namespace cregistry::tool::platform
