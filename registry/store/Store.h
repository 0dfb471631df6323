// The registry store: the Linux implementation of the registry calls, over one SQLite database file that
// holds every root key and behaves like the Windows registry as the registry calls see it.
//
//   auto api = cregistry::OpenRegistryStore("/tmp/test.db");   // a store at a path of the caller's
//   cregistry::cRegistry reg(api);
//
// The file is created (mode 0600, with its folder; its -wal and -shm files take the same mode) by the
// first write, never through a symbolic link (a store that already exists behind a link is used there);
// reads of a store that does not exist yet answer as an empty registry and create nothing. A file that is
// corrupt, of a newer schema or not writable is never rewritten: reads answer a failure code (or, for a
// read-only file, the data) and writes answer a failure code. The connections close when the process
// ends normally, emptying the log into the file, so that a user who may only read the file reads it
// whole. Only a store whose log still holds commits (its writer runs, or was killed) and whose -shm file
// that user cannot read answers kAccessDenied, with one line on standard error that says so.
#pragma once

#include <memory>
#include <string>

#include "registry/RegistryApi.h"

namespace cregistry {

// Error codes that only the store answers (the other codes are those of RegistryApi.h).
namespace win32 {
inline constexpr long kOutOfMemory = 14;
inline constexpr long kDiskFull = 112;
inline constexpr long kBusy = 170;
inline constexpr long kNoAccess = 998;
inline constexpr long kRegistryIoFailed = 1016;
}  // namespace win32

// The store file used when none is named: $CREGISTRY_STORE when set and not empty, else
// ${XDG_DATA_HOME:-~/.local/share}/cregistry/registry.db.
std::string DefaultStorePath();

// A new connection to the store at path. Several connections (in one process or in several) may use
// one file at the same time; each write is one transaction and waits for the others.
std::shared_ptr<RegistryApi> OpenRegistryStore(const std::string& path);

// Makes ConnectRegistry("\\<machine>", root, out) reach the store at path (the machine name compares
// without regard to case; an empty path removes the registration). Machines never registered are
// unreachable (kBadNetPath), as is every remote root other than HKEY_LOCAL_MACHINE and HKEY_USERS.
void RegisterMachineStore(const std::string& machine, const std::string& path);

}  // namespace cregistry
