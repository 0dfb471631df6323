// copy: a key's values, or with /s its whole tree, to another key, as reg copy does. The source is read
// whole first, the questions about values that exist at the destination are asked next, and then the
// copy is written: on the store in one transaction (all of it or nothing, also when the process is
// killed), which never waits for an answer while it holds the store's write lock.
#include <array>
#include <set>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include "registry/Ascii.h"
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;

namespace {

constexpr std::array kCopyOptions{
    OptionSpec{"s", "", "", "also every key below, recursively"},
    OptionSpec{"f", "", "", "overwrite values that exist in KEY2 without asking"},
};

// A key of the source: its path below KEY1 ("" for KEY1 itself) and its values.
struct SourceKey {
  std::string relative;
  std::vector<RawValue> values;
};

std::string Join(const std::string& base, const std::string& relative) {
  if (relative.empty()) return base;
  return base.empty() ? relative : base + "\\" + relative;
}

// Whether the text starts with prefix, letters compared without regard to case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ascii::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

long ReadSource(Context& c, const KeyName& from, bool tree, std::vector<SourceKey>& out) {
  KeyHandle source(c.api);
  if (long rc = OpenUserKey(c, from, kKeyRead, source)) return rc;
  std::string failedPath;
  const auto visit = [&](const std::string& relative, RegHandle key) -> long {
    out.push_back({relative, {}});
    return ReadValues(c.api, key, out.back().values);
  };
  long rc = tree ? WalkTree(c.api, source.get(), visit, failedPath) : visit("", source.get());
  if (rc != kSuccess) {
    c.error.code = rc;
    c.error.keyPath = Join(from.asGiven, failedPath);
    c.error.operation = "cannot read the key";
  }
  return rc;
}

enum class Answer { kYes, kNo, kAll };

// Asks whether to overwrite a value; the end of the input answers No.
Answer Ask(Context& c, const std::string& key, const std::string& name) {
  for (;;) {
    c.out << "The value '" << key << "\\" << (name.empty() ? "(Default)" : name)
          << "' already exists in the destination key. Do you want to overwrite it? (Yes|No|All) ";
    c.out.flush();
    std::string line;
    if (c.in == nullptr || !std::getline(*c.in, line)) {
      c.out << "\n";
      return Answer::kNo;
    }
    const std::size_t first = line.find_first_not_of(" \t\r");
    const char letter = first == std::string::npos ? '\0' : static_cast<char>(line[first] | 0x20);
    if (letter == 'y') return Answer::kYes;
    if (letter == 'n') return Answer::kNo;
    if (letter == 'a') return Answer::kAll;
  }
}

}  // namespace

const VerbSpec kCopy{"copy", "KEY1 KEY2", 2, 2, "Copies a key's values, or with /s its whole tree, to another key.",
                     kCopyOptions,
                     "KEY2 and the keys below it are created as needed; what exists only in KEY2 stays. Without /f\n"
                     "the tool asks before it overwrites a value (Yes, No or All; the end of the input answers No\n"
                     "to every question left). With /s, KEY2 may not lie inside KEY1."};

bool Copy(Context& c, const KeyName& from, const KeyName& to, const ParsedArgs& args) {
  const bool tree = args.Has("s");
  const std::string source = from.FullPath(), destination = to.FullPath();
  if (ascii::EqualsNoCase(source, destination)) {
    c.error.detail = "the source and destination keys cannot be the same";
    return false;
  }
  if (tree && StartsWithNoCase(destination, source + "\\")) {
    c.error.detail = "with /s the destination key cannot lie inside the source key";
    return false;
  }
  std::vector<SourceKey> keys;
  if (ReadSource(c, from, tree, keys)) return false;

  // The questions, before anything is written: the values to leave as they are at the destination.
  std::set<std::pair<std::string, std::string>> keep;  // (relative key, value name)
  if (!args.Has("f")) {
    bool all = false, noMore = false;
    for (const SourceKey& key : keys) {
      KeyHandle existing(c.api);
      if (all || c.api.OpenKey(RootHandle(to.root), Join(to.subPath, key.relative).c_str(), kKeyQueryValue,
                               existing.out()) != kSuccess) {
        continue;
      }
      for (const RawValue& value : key.values) {
        std::uint32_t size = 0;
        if (all || c.api.QueryValue(existing.get(), value.name.c_str(), nullptr, nullptr, &size) != kSuccess) continue;
        Answer answer = noMore ? Answer::kNo : Ask(c, Join(to.asGiven, key.relative), value.name);
        if (answer == Answer::kNo && (c.in == nullptr || !*c.in)) noMore = true;  // the end of the input
        all = answer == Answer::kAll;
        if (answer == Answer::kNo) keep.insert({key.relative, value.name});
      }
    }
  }

  c.error.keyPath = to.asGiven;
  const long rc = RunAsOneTransaction(c.api, [&]() -> long {
    for (const SourceKey& key : keys) {
      KeyHandle target(c.api);
      if (long crc = c.api.CreateKey(RootHandle(to.root), Join(to.subPath, key.relative).c_str(), kKeyAllAccess,
                                     target.out())) {
        c.error.code = crc;
        c.error.keyPath = Join(to.asGiven, key.relative);
        c.error.operation = "cannot create the key";
        return crc;
      }
      for (const RawValue& value : key.values) {
        if (keep.count({key.relative, value.name}) != 0) continue;
        if (long vrc = c.api.SetValue(target.get(), value.name.c_str(), value.type,
                                      reinterpret_cast<const std::uint8_t*>(value.data.data()),
                                      static_cast<std::uint32_t>(value.data.size()))) {
          c.error.code = vrc;
          c.error.keyPath = Join(to.asGiven, key.relative);
          c.error.valueName = value.name;
          c.error.operation = "cannot set the value";
          return vrc;
        }
      }
    }
    return kSuccess;
  });
  return rc == kSuccess;
}

}  // namespace cregistry::tool
