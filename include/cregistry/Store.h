// The registry store: the Linux implementation of the registry calls, over SQLite database files that
// behave like the Windows registry as the registry calls see it. As Windows keeps its hives apart, the
// user's store holds HKEY_CURRENT_USER and the machine store HKEY_LOCAL_MACHINE, HKEY_USERS and
// HKEY_CURRENT_CONFIG; HKEY_CLASSES_ROOT is the user's HKEY_CURRENT_USER\Software\Classes merged over
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes, as Windows merges it. One file may also hold every root.
//
//   auto api = cregistry::OpenRegistryStore("/tmp/test.db");   // every root in one file of the caller's
//   auto both = cregistry::OpenRegistryStores(DefaultStorePath(), DefaultMachineStorePath());
//   cregistry::cRegistry reg(api);
//
// A user's store file is created (mode 0600, with its folder; its -wal and -shm files take the same
// mode) by the first write; the machine store's with mode 0644 (folders 0755), so that every user reads
// it while only its owner (root, for the default one) writes it, and a process that may not write it
// gets kAccessDenied for every write under its roots. A machine store whose file or folder belongs to
// another user than root and the process's own, or may be written by others, is refused (kAccessDenied,
// one line on standard error). A store file is never created through a symbolic link (a store that
// already exists behind a link is used there); reads of a store that does not exist yet answer as an
// empty registry and create nothing. A file that is corrupt, of a newer schema or not writable is never
// rewritten: reads answer a failure code (or, for a read-only file, the data) and writes answer a
// failure code. The -wal and -shm files stay beside the store file; the connections close when the
// process ends normally, emptying the log into the file. A process that may not write the store (another
// user, or its owner on a full disk) reads it through them in one committed state per read; one that
// may not read them, or finds them missing where it cannot make them, answers kAccessDenied, with one
// line on standard error that says so.
#pragma once

#include <memory>
#include <string>

#include <cregistry/RegistryApi.h>

namespace cregistry {

// Error codes that only the store answers (the other codes are those of RegistryApi.h).
namespace win32 {
inline constexpr long kOutOfMemory = 14;
// A transaction of a connection on two stores wrote to the second store (see OpenRegistryStores).
inline constexpr long kNotSameDevice = 17;
inline constexpr long kDiskFull = 112;
inline constexpr long kBusy = 170;
inline constexpr long kNoAccess = 998;
inline constexpr long kRegistryIoFailed = 1016;
}  // namespace win32

// The store file used when none is named: $CREGISTRY_STORE when set and not empty, else
// ${XDG_DATA_HOME:-~/.local/share}/cregistry/registry.db.
std::string DefaultStorePath();

// The machine store used when none is named: $CREGISTRY_MACHINE_STORE when set and not empty, else
// /var/lib/cregistry/machine.db.
std::string DefaultMachineStorePath();

// A new connection to the store at path, which holds every root key. Several connections (in one
// process or in several) may use one file at the same time; each write is one transaction and waits for
// the others.
std::shared_ptr<RegistryApi> OpenRegistryStore(const std::string& path);

// A new connection to two stores: HKEY_CURRENT_USER in the file at userPath, the other roots in the
// machine store at machinePath; when both name one file (the same path, or once it exists the same
// file), the same as OpenRegistryStore(userPath). DefaultRegistryApi() is
// OpenRegistryStores(DefaultStorePath(), DefaultMachineStorePath()).
// A transaction (RunAsOneTransaction) of such a connection writes to one of the two files: its writes go
// to the store of its first write, and a write to the other store answers kNotSameDevice and takes the
// whole transaction back (SQLite commits each file of a WAL database on its own, so two files could not
// land together). A snapshot (RunAsOneSnapshot) reads each file in one state.
std::shared_ptr<RegistryApi> OpenRegistryStores(const std::string& userPath, const std::string& machinePath);

// Makes ConnectRegistry("\\<machine>", root, out) reach the store at path (the machine name compares
// without regard to case; an empty path removes the registration). Machines never registered are
// unreachable (kBadNetPath), as is every remote root other than HKEY_LOCAL_MACHINE and HKEY_USERS.
void RegisterMachineStore(const std::string& machine, const std::string& path);

// Windows hive files (the regf format of SYSTEM, SOFTWARE, NTUSER.DAT ...), read and written through
// libhivex. A write never changes a hive in place: the whole file is written anew beside it, synced and
// renamed over it (keeping its mode and owner), so a killed process leaves the old file or the new one.
// What a write does not change stays in the file exactly as it was (security descriptors, class names,
// timestamps, the bytes of every other value). A hive that Windows did not write out cleanly (its
// changes are still in its .LOG1/.LOG2 files) is refused for writing; read only, it opens with a
// warning. A damaged file is refused (kBadDb). Where message is given, a failure (or warning) is said
// there in one line.
//
//   auto software = cregistry::OpenHiveFile("/mnt/win/Windows/System32/config/SOFTWARE", true);
//   cregistry::cRegistry reg(software);   // HKEY_LOCAL_MACHINE (any root) is the hive's root key

// A connection to one hive file: every predefined root key stands for the hive's root key. Each write
// reaches the file at once (or, in RunAsOneTransaction, all at its end), under a lock that other
// processes writing the same hive take too. nullptr when the file cannot be opened.
std::shared_ptr<RegistryApi> OpenHiveFile(const std::string& path, bool writable, std::string* message = nullptr);

// RegLoadKey: makes the hive file at path the key root\name (root HKEY_LOCAL_MACHINE or HKEY_USERS) for
// every program that uses the store that holds root, until UnloadHive. api is a connection from
// OpenRegistryStore, OpenRegistryStores or DefaultRegistryApi. Loading needs the right to write that store
// (kAccessDenied otherwise); a name that is a key already answers 183 (ERROR_ALREADY_EXISTS).
long LoadHive(RegistryApi& api, RegHandle root, const std::string& name, const std::string& path,
              std::string* message = nullptr);
// RegUnLoadKey: detaches the hive loaded as root\name (kInvalidParameter when none is).
long UnloadHive(RegistryApi& api, RegHandle root, const std::string& name, std::string* message = nullptr);
// RegSaveKey: writes key and its tree, read through api in one snapshot, to a new hive file at path (of
// format 1.5); an existing file is replaced only when replace is true (else 183).
long SaveHive(RegistryApi& api, RegHandle key, const std::string& path, bool replace, std::string* message = nullptr);
// RegRestoreKey: replaces key's values and sub-keys with the hive's, in one transaction where api has them.
long RestoreHive(RegistryApi& api, RegHandle key, const std::string& path, std::string* message = nullptr);

}  // namespace cregistry
