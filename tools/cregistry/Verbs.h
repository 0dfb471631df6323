// What the verbs share: the registry they work on, where their output goes and their answers come from,
// the one error they fill in, and the key and data forms reg takes. One file per verb (Query.cpp,
// Add.cpp, Delete.cpp, Copy.cpp, Compare.cpp, Export.cpp, Import.cpp; Hives.cpp the four hive verbs) holds its switch table and its work.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include <cregistry/RegistryApi.h>
#include "tools/cregistry/KeyName.h"
#include "tools/cregistry/Options.h"
#include "tools/cregistry/ToolError.h"

namespace cregistry::tool {

struct Context {
  RegistryApi& api;
  std::ostream& out;
  ToolError& error;
  std::istream* in = nullptr;  // the answers to a verb's questions; nullptr: none (the end of input)
};

extern const VerbSpec kQuery, kAdd, kDelete, kCopy, kCompare, kExport, kImport, kSave, kRestore, kLoad, kUnload;

bool Query(Context& c, const KeyName& key, const ParsedArgs& args);
bool Add(Context& c, const KeyName& key, const ParsedArgs& args);
bool Delete(Context& c, const KeyName& key, const ParsedArgs& args);
bool Copy(Context& c, const KeyName& from, const KeyName& to, const ParsedArgs& args);
// The exit status: 0 when the two sides are the same, 2 when they differ, 1 on failure (error set).
int Compare(Context& c, const KeyName& left, const KeyName& right, const ParsedArgs& args);
bool Export(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args);
bool Import(Context& c, const std::string& file, const ParsedArgs& args);
bool Save(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args);
bool Restore(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args);
bool Load(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args);
bool Unload(Context& c, const KeyName& key, const ParsedArgs& args);

// The value that /v NAME or /ve names, if any.
std::optional<std::string> ValueNameOf(const ParsedArgs& args);
// Opens the key the user named; on failure fills in the error and answers the code.
long OpenUserKey(Context& c, const KeyName& key, std::uint32_t access, KeyHandle& handle);

}  // namespace cregistry::tool
