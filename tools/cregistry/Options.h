// Command-line switches, one table per verb, in the manner of git's parse-options: the table drives
// both the matching and the usage text, so the two cannot drift apart.
//
// A switch is written as reg writes it (/v) or as a Unix tool would (-v, --ansi), in any letter case.
// Since Linux paths also begin with "/", an argument that begins with "/" and names no switch of the
// verb is a positional argument; one that begins with "-" and names none is an error.
#pragma once

#include <map>
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

  bool Has(std::string_view name) const { return switches.find(name) != switches.end(); }
  const std::string* Get(std::string_view name) const {
    auto it = switches.find(name);
    return it == switches.end() ? nullptr : &it->second;
  }
};

// Parses args against verb's table. On misuse answers false with a one-line reason in error. "/?",
// "-?", "-h" and "--help" set help and stop the parsing.
bool ParseArgs(const VerbSpec& verb, std::span<const std::string> args, ParsedArgs& out, std::string& error);

// The verb's usage, generated from its table.
std::string Usage(const VerbSpec& verb);

// Case-insensitive comparison of ASCII text.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace cregistry::tool
