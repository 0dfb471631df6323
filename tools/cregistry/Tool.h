// The cregistry command-line tool: reg's verbs (query, add, delete, copy, compare, export, import, save, restore,
// load, unload) over the registry seam. RunTool is the whole program apart from main: tests run it in-process against a real store.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <span>
#include <string>

#include <cregistry/RegistryApi.h>
#include "tools/cregistry/ToolError.h"

namespace cregistry::tool {

// Runs one command line (without the program name); answers the exit status: 0 on success, 1 on any
// failure (one line on err). Output goes to out.
int RunTool(std::span<const std::string> args, std::ostream& out, std::ostream& err);
// The same on a registry of the caller's (tests wrap the real one to inject faults); --store is refused.
int RunTool(std::span<const std::string> args, std::shared_ptr<RegistryApi> api, std::ostream& out,
            std::ostream& err);
// The same with the answers to the tool's questions (copy without /f) read from in; the calls above
// give none, as an input at its end does. api may be nullptr: the registry of the platform.
int RunTool(std::span<const std::string> args, std::shared_ptr<RegistryApi> api, std::istream& in,
            std::ostream& out, std::ostream& err);

// The platform's part (ToolPosix.cpp, ToolWin32.cpp).
namespace platform {
// The registry to work on: the store at storePath (Linux; nullptr: the default store) or advapi32
// (Windows, where a store path is an error). nullptr with error set on failure.
std::shared_ptr<RegistryApi> OpenRegistry(const std::string* storePath, ToolError& error);
// What the help says about the platform's registry and imports.
extern const char* const kPlatformNotes;
// Settings of the process that runs the tool (not of a program that runs it in-process).
void PrepareProcess();
// A key or value name as the registry compares names, without regard to case: the store's rule
// (Unicode's simple upper-case mapping over the Basic Multilingual Plane), or on Windows the system's
// upper-case table over the narrow names' code page, as the registry itself compares them.
std::string FoldName(const std::string& name);
}  // namespace platform

struct Context;
struct KeyName;
// reg's hive verbs, the platform's part: on Windows the system's own calls (RegSaveKeyExW,
// RegRestoreKeyW, RegLoadKeyW, RegUnLoadKeyW, after enabling the backup and restore privileges); on
// Linux hive files through libhivex. Each answers false with c.error set on failure. The verbs
// (Hives.cpp) have checked the arguments: load and unload get HKLM\NAME or HKU\NAME, save gets a file
// that does not exist unless replace is true.
namespace platform {
bool SaveKey(Context& c, const KeyName& key, const std::string& file, bool replace);
bool RestoreKey(Context& c, const KeyName& key, const std::string& file);
bool LoadKey(Context& c, const KeyName& key, const std::string& file);
bool UnloadKey(Context& c, const KeyName& key);
}  // namespace platform

}  // namespace cregistry::tool
