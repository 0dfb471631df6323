// Command-line switches, one table per verb, in the manner of git's parse-options: the table drives
// both the matching and the usage text, so the two cannot drift apart.
//
// A command line is read as reg reads it: the verb's positional arguments first (KEY, FILE), whatever
// they look like, so that Linux paths beginning with "/" stand there; then switches, written /v, -v or
// --ansi in any letter case, each at most once. An argument-taking switch takes the next word whatever
// it looks like (/v /d names the value "/d"). --store PATH may stand wherever a switch can.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cregistry::tool {

struct OptionSpec {
  std::string_view name;     // "v": matches /v, -v, --v
  std::string_view alias;    // a second name ("ansi" for /a), or empty
  std::string_view argHint;  // the argument's name in the usage ("NAME"); empty: the switch takes none
  std::string_view help;
};

struct VerbSpec {
  std::string_view name;         // "query"
  std::string_view positionals;  // "KEY [FILE]" as shown in the usage
  std::size_t minPositionals;
  std::size_t maxPositionals;
  std::string_view summary;
  std::span<const OptionSpec> options;
  std::string_view notes;  // printed after the switches
};

struct ParsedArgs {
  std::vector<std::string> positionals;
  std::map<std::string, std::string, std::less<>> switches;  // by OptionSpec::name; value "" when none
  bool help = false;
  std::optional<std::string> storePath;  // --store PATH
  int view = 0;                          // /reg:32 or /reg:64: 32 or 64; 0: neither

  bool Has(std::string_view name) const { return switches.find(name) != switches.end(); }
  const std::string* Get(std::string_view name) const {
    auto it = switches.find(name);
    return it == switches.end() ? nullptr : &it->second;
  }
};

// Parses args against verb's table. On misuse answers false with a one-line reason in error. "/?",
// "-?", "/h" or "-h" (either case) as the only argument sets help.
bool ParseArgs(const VerbSpec& verb, std::span<const std::string> args, ParsedArgs& out, std::string& error);

// The verb's usage, generated from its table.
std::string Usage(const VerbSpec& verb);

}  // namespace cregistry::tool
