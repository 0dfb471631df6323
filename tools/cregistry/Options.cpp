#include "tools/cregistry/Options.h"

namespace cregistry::tool {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

namespace {

const OptionSpec* Find(const VerbSpec& verb, std::string_view name) {
  for (const auto& option : verb.options) {
    if (EqualsNoCase(name, option.name) || (!option.alias.empty() && EqualsNoCase(name, option.alias)))
      return &option;
  }
  return nullptr;
}

}  // namespace

bool ParseArgs(const VerbSpec& verb, std::span<const std::string> args, ParsedArgs& out, std::string& error) {
  out = ParsedArgs{};
  bool switchesEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!switchesEnded && arg == "--") {
      switchesEnded = true;
      continue;
    }
    const bool slash = arg.size() > 1 && arg[0] == '/';
    const bool dash = arg.size() > 1 && arg[0] == '-';
    if (switchesEnded || (!slash && !dash)) {
      out.positionals.push_back(arg);
      continue;
    }
    std::string_view name(arg);
    name.remove_prefix(1);
    if (dash && !name.empty() && name[0] == '-') name.remove_prefix(1);
    if (name == "?" || (dash && (name == "h" || name == "help"))) {
      out.help = true;
      return true;
    }
    const OptionSpec* option = Find(verb, name);
    if (option == nullptr) {
      if (slash) {
        out.positionals.push_back(arg);
        continue;
      }
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
  if (out.positionals.size() < verb.minPositionals) {
    error = std::string(verb.name) + " needs " + std::string(verb.positionals);
    return false;
  }
  if (out.positionals.size() > verb.maxPositionals) {
    error = "unexpected argument " + out.positionals[verb.maxPositionals];
    return false;
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
