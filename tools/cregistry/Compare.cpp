// compare: two keys (or one value of each), as Windows' reg compare shows their differences.
//
// Lines, as reg prints them: "< " marks what KEY1 has, "> " what KEY2 has, "= " what both have alike:
//   < Value: KEY1PATH  NAME  TYPE  DATA     a value that differs (the "> " line of KEY2 follows) or
//                                           that only KEY1 has
//   = Value: KEY1PATH  NAME  TYPE  DATA     a value both have with the same type and data (/oa, /os)
//   < Key: KEY1PATH\SUB                     with /s, a sub-key only KEY1 has (its tree is not compared)
//   = Key: KEY1PATH\SUB                     with /s, a sub-key both have (/oa, /os); its tree follows
// then "Result Compared: Identical" or "Result Compared: Different" and reg's closing line.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Tool.h"
#include "tools/cregistry/ValueData.h"
#include "tools/cregistry/Verbs.h"


namespace cregistry::tool {

using namespace win32;

namespace {

constexpr std::array kCompareOptions{
    OptionSpec{"v", "", "NAME", "compare only the value NAME"},
    OptionSpec{"ve", "", "", "compare only the unnamed value"},
    OptionSpec{"oa", "", "", "show every difference and every match"},
    OptionSpec{"od", "", "", "show only the differences (the default)"},
    OptionSpec{"os", "", "", "show only the matches"},
    OptionSpec{"on", "", "", "show nothing, only the result"},
    OptionSpec{"s", "", "", "also every key below, recursively"},
};

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Pairs the names of the two sides, matched without regard to case: every left name in its order with
// its partner on the right (kNone when there is none), then the right names that have none. A name of
// the same spelling is taken first, so that two names that only a wider rule than the store's folds
// together (in a store that keeps the ASCII rule) still pair with their own.
std::vector<std::pair<std::size_t, std::size_t>> PairNames(const std::vector<std::string>& left,
                                                           const std::vector<std::string>& right) {
  std::multimap<std::string, std::size_t> byFold;
  for (std::size_t i = 0; i < right.size(); ++i) byFold.emplace(platform::FoldName(right[i]), i);
  std::vector<bool> taken(right.size(), false);
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0; i < left.size(); ++i) {
    auto [first, last] = byFold.equal_range(platform::FoldName(left[i]));
    std::size_t partner = kNone;
    for (auto it = first; it != last; ++it) {
      if (taken[it->second]) continue;
      if (partner == kNone || right[it->second] == left[i]) partner = it->second;
    }
    if (partner != kNone) taken[partner] = true;
    pairs.emplace_back(i, partner);
  }
  for (std::size_t j = 0; j < right.size(); ++j)
    if (!taken[j]) pairs.emplace_back(kNone, j);
  return pairs;
}

enum class Show { kAll, kDifferences, kMatches, kNothing };

class Comparison {
 public:
  Comparison(RegistryApi& api, Show show) : api_(api), show_(show) {}

  bool different() const { return different_; }
  const std::string& lines() const { return lines_; }

  // One value of each side (nullptr: that side has none; neither side: alike, nothing to show).
  void Values(const std::string& leftPath, const RawValue* left, const std::string& rightPath, const RawValue* right) {
    if (!left && !right) return;
    if (left && right && left->type == right->type && left->data == right->data) {
      ValueLine('=', leftPath, *left);
      return;
    }
    different_ = true;
    if (left) ValueLine('<', leftPath, *left);
    if (right) ValueLine('>', rightPath, *right);
  }

  // Two keys: their values and, with tree, their sub-keys all the way down. A failure answers its code
  // with failedPath set to the relative path of the key on the side that failed.
  long Keys(RegHandle left, const std::string& leftPath, RegHandle right, const std::string& rightPath, bool tree,
            const std::string& relative, bool& failedOnRight, std::string& failedPath) {
    const auto fail = [&](long rc, bool onRight, const std::string& where) {
      failedOnRight = onRight;
      failedPath = where;
      return rc;
    };
    std::vector<RawValue> leftValues, rightValues;
    if (long rc = ReadValues(api_, left, leftValues)) return fail(rc, false, relative);
    if (long rc = ReadValues(api_, right, rightValues)) return fail(rc, true, relative);
    for (auto [l, r] : PairNames(NamesOf(leftValues), NamesOf(rightValues)))
      Values(leftPath, l == kNone ? nullptr : &leftValues[l], rightPath, r == kNone ? nullptr : &rightValues[r]);
    if (!tree) return kSuccess;

    std::vector<std::string> leftKeys, rightKeys;
    if (long rc = ListSubKeys(api_, left, leftKeys)) return fail(rc, false, relative);
    if (long rc = ListSubKeys(api_, right, rightKeys)) return fail(rc, true, relative);
    for (auto [l, r] : PairNames(leftKeys, rightKeys)) {
      if (l == kNone || r == kNone) {
        different_ = true;
        if (l != kNone) Line('<', "Key: " + leftPath + "\\" + leftKeys[l]);
        if (r != kNone) Line('>', "Key: " + rightPath + "\\" + rightKeys[r]);
        continue;
      }
      Line('=', "Key: " + leftPath + "\\" + leftKeys[l]);
      const std::string sub = relative.empty() ? leftKeys[l] : relative + "\\" + leftKeys[l];
      KeyHandle leftSub(api_), rightSub(api_);
      if (long rc = api_.OpenKey(left, leftKeys[l].c_str(), kKeyRead, leftSub.out())) return fail(rc, false, sub);
      if (long rc = api_.OpenKey(right, rightKeys[r].c_str(), kKeyRead, rightSub.out()))
        return fail(rc, true, relative.empty() ? rightKeys[r] : relative + "\\" + rightKeys[r]);
      if (long rc = Keys(leftSub.get(), leftPath + "\\" + leftKeys[l], rightSub.get(), rightPath + "\\" + rightKeys[r],
                         true, sub, failedOnRight, failedPath))
        return rc;
    }
    return kSuccess;
  }

 private:
  static std::vector<std::string> NamesOf(const std::vector<RawValue>& values) {
    std::vector<std::string> names;
    names.reserve(values.size());
    for (const auto& value : values) names.push_back(value.name);
    return names;
  }

  void ValueLine(char mark, const std::string& path, const RawValue& value) {
    Line(mark, "Value: " + path + "  " + (value.name.empty() ? "(Default)" : value.name) + "  " + TypeName(value.type) +
                   "  " + DisplayData(value, "\\0"));
  }

  void Line(char mark, const std::string& text) {
    const bool match = mark == '=';
    if (show_ == Show::kNothing || (match && show_ == Show::kDifferences) || (!match && show_ == Show::kMatches))
      return;
    lines_ += mark;
    lines_ += ' ';
    lines_ += text;
    lines_ += '\n';
  }

  RegistryApi& api_;
  Show show_;
  bool different_ = false;
  std::string lines_;
};

}  // namespace

const VerbSpec kCompare{"compare", "KEY1 KEY2", 2, 2,
                        "Compares two keys, or a value of each, as reg compare does (exit 0 same, 2 different).",
                        kCompareOptions,
                        "Lines: \"< \" what KEY1 has, \"> \" what KEY2 has, \"= \" what both have alike (a value: same\n"
                        "type, same bytes; names match in any letter case). With /s a sub-key on one side only is one\n"
                        "Key line, not compared further. /oa, /od, /os, /on exclude each other; /s excludes /v and /ve.\n"
                        "On the Linux store both keys are read from one snapshot."};

int Compare(Context& c, const KeyName& left, const KeyName& right, const ParsedArgs& args) {
  int outputs = 0;
  Show show = Show::kDifferences;
  for (auto [name, mode] : {std::pair{"oa", Show::kAll}, std::pair{"od", Show::kDifferences},
                            std::pair{"os", Show::kMatches}, std::pair{"on", Show::kNothing}}) {
    if (args.Has(name)) {
      ++outputs;
      show = mode;
    }
  }
  if (outputs > 1) {
    c.error.detail = "/oa, /od, /os and /on exclude each other (see cregistry compare /?)";
    return 1;
  }
  const std::optional<std::string> only = ValueNameOf(args);
  const bool tree = args.Has("s");
  if (only && tree) {
    c.error.detail = "/s cannot be given with /v or /ve (see cregistry compare /?)";
    return 1;
  }

  Comparison comparison(c.api, show);
  // Both sides from one state of the registry: on the store one read snapshot, however long the walk.
  // The lines wait in memory until the end, so that no slow reader of the output holds the snapshot.
  const long rc = RunAsOneSnapshot(c.api, [&]() -> long {
    KeyHandle leftKey(c.api), rightKey(c.api);
    if (long got = OpenUserKey(c, left, kKeyRead, leftKey)) return got;
    if (long got = OpenUserKey(c, right, kKeyRead, rightKey)) return got;
    const std::string leftPath = left.FullPath(), rightPath = right.FullPath();
    if (only) {
      RawValue leftValue, rightValue;
      const long l = ReadValue(c.api, leftKey.get(), *only, leftValue);
      const long r = ReadValue(c.api, rightKey.get(), *only, rightValue);
      for (auto [got, key] : {std::pair{l, &left}, std::pair{r, &right}}) {
        if (got != kSuccess && got != kFileNotFound) {
          c.error.code = got;
          c.error.keyPath = key->asGiven;
          c.error.valueName = *only;
          c.error.operation = "cannot read the value";
          return got;
        }
      }
      // As reg query shows an unnamed value that is not set rather than failing: two such are alike.
      if (l == kFileNotFound && r == kFileNotFound && !only->empty()) {
        c.error.code = kFileNotFound;
        c.error.keyPath = left.asGiven;
        c.error.valueName = *only;
        c.error.detail = "nor in " + right.asGiven;
        return kFileNotFound;
      }
      comparison.Values(leftPath, l == kSuccess ? &leftValue : nullptr, rightPath, r == kSuccess ? &rightValue : nullptr);
      return kSuccess;
    }
    bool failedOnRight = false;
    std::string failedPath;
    long got = comparison.Keys(leftKey.get(), leftPath, rightKey.get(), rightPath, tree, "", failedOnRight, failedPath);
    if (got != kSuccess) {
      const std::string& base = failedOnRight ? right.asGiven : left.asGiven;
      c.error.code = got;
      c.error.keyPath = failedPath.empty() ? base : base + "\\" + failedPath;
      c.error.operation = "cannot read the key";
    }
    return got;
  });
  if (rc != kSuccess) {
    // A failure of the snapshot itself (the store cannot be read) rather than of a call inside it.
    if (c.error.code == 0 && c.error.detail.empty()) c.error.code = rc;
    return 1;
  }
  c.out << comparison.lines() << "Result Compared: " << (comparison.different() ? "Different" : "Identical") << "\n"
        << "The operation completed successfully.\n";
  return comparison.different() ? 2 : 0;
}

}  // namespace cregistry::tool
