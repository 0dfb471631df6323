#include "tools/cregistry/Options.h"

#include "registry/Ascii.h"

namespace cregistry::tool {

namespace {

const OptionSpec* Find(const VerbSpec& verb, std::string_view name) {
  for (const auto& option : verb.options) {
    if (ascii::EqualsNoCase(name, option.name) || (!option.alias.empty() && ascii::EqualsNoCase(name, option.alias)))
      return &option;
  }
  return nullptr;
}

}  // namespace

bool IsHelp(std::string_view arg) {
  return arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') && (arg[1] == '?' || arg[1] == 'h' || arg[1] == 'H');
}

bool ParseArgs(const VerbSpec& verb, std::span<const std::string> args, ParsedArgs& out, std::string& error) {
  out = ParsedArgs{};
  // As reg reads a command line: help only right after the verb; the verb's positional arguments come
  // first, whatever they look like; then switches, each at most once, an argument-taking switch taking
  // the next word whatever it looks like.
  if (!args.empty() && IsHelp(args[0])) {
    if (args.size() > 1) {
      error = "help takes no further arguments";
      return false;
    }
    out.help = true;
    return true;
  }
  if (args.size() < verb.minPositionals) {
    error = std::string(verb.name) + " needs " + std::string(verb.positionals);
    return false;
  }
  out.positionals.assign(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(verb.minPositionals));
  for (std::size_t i = verb.minPositionals; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--store") {
      if (i + 1 >= args.size() || out.storePath) {
        error = out.storePath ? "--store given twice" : "--store needs PATH";
        return false;
      }
      out.storePath = args[++i];
      continue;
    }
    std::string_view name(arg);
    if (name.size() < 2 || (name[0] != '/' && name[0] != '-')) {
      error = "unexpected argument " + arg;
      return false;
    }
    name.remove_prefix(name.starts_with("--") ? 2 : 1);
    // /reg:32 and /reg:64, the registry view, which every verb takes.
    if (ascii::EqualsNoCase(name, "reg:32") || ascii::EqualsNoCase(name, "reg:64")) {
      if (out.view != 0) {
        error = "/reg:32 and /reg:64 may be given once, one or the other";
        return false;
      }
      out.view = name.ends_with("32") ? 32 : 64;
      continue;
    }
    const OptionSpec* option = Find(verb, name);
    if (option == nullptr) {
      error = "unknown switch " + arg + " for " + std::string(verb.name);
      return false;
    }
    if (out.Has(option->name)) {
      error = "switch /" + std::string(option->name) + " given twice";
      return false;
    }
    std::string value;
    if (!option->argHint.empty()) {
      if (i + 1 >= args.size()) {
        error = "switch /" + std::string(option->name) + " needs " + std::string(option->argHint);
        return false;
      }
      value = args[++i];
    }
    out.switches.emplace(std::string(option->name), std::move(value));
  }
  return true;
}

std::string Usage(const VerbSpec& verb) {
  std::string text = "usage: cregistry " + std::string(verb.name) + " " + std::string(verb.positionals);
  for (const auto& option : verb.options) {
    text += " [/" + std::string(option.name);
    if (!option.argHint.empty()) text += " " + std::string(option.argHint);
    text += "]";
  }
  text += "\n\n" + std::string(verb.summary) + "\n\n";
  for (const auto& option : verb.options) {
    std::string left = "  /" + std::string(option.name);
    if (!option.alias.empty()) left += ", --" + std::string(option.alias);
    if (!option.argHint.empty()) left += " " + std::string(option.argHint);
    if (left.size() < 22) left.resize(22, ' ');
    else left += "\n" + std::string(22, ' ');
    text += left + std::string(option.help) + "\n";
  }
  if (!verb.notes.empty()) text += "\n" + std::string(verb.notes) + "\n";
  return text;
}

}  // namespace cregistry::tool
