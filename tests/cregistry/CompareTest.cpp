// cregistry compare run in-process on a real registry (a fresh store file natively, Wine's registry in the
// Windows build): one table of two trees each, a command line, and the exact output and exit status.
#include <gtest/gtest.h>

#include <sstream>

#include "support/RegistrySandbox.h"
#include "tools/cregistry/Tool.h"

namespace cregistry::tool {
namespace {

using cregistry::testing::kHKCU;

struct Put {  // a value of one side: path below the side's key ("" for the key itself), name, type, data
  std::string path, name;
  std::uint32_t type;
  std::string data;
};
Put Sz(std::string path, std::string name, std::string text) { return {path, name, 1, text + std::string(1, '\0')}; }

struct Row {
  std::string what;
  std::vector<Put> left, right;
  std::vector<std::string> switches;
  int status;
  std::vector<std::string> out;  // "$L" and "$R" stand for the two keys' full paths
  std::string err;               // the one error line, when status is 1
};

TEST(CompareTest, LinesAndStatusAsRegCompare) {
  const std::vector<Put> three{Sz("", "a", "1"), Sz("", "b", "1"), Sz("", "c", "1")};
  const std::vector<Put> twoOfThem{Sz("", "A", "1"), Sz("", "b", "2")};
  const std::vector<Row> rows{
      {"identical, names in another case", {Sz("", "caf\xC3\xA9", "x"), {"", "n", 4, std::string("\5\0\0\0", 4)}},
       {{"", "n", 4, std::string("\5\0\0\0", 4)}, Sz("", "CAF\xC3\x89", "x")}, {}, 0, {}, ""},
      {"a value differs", {Sz("", "v", "1")}, {Sz("", "v", "2")}, {}, 2,
       {"< Value: $L  v  REG_SZ  1", "> Value: $R  v  REG_SZ  2"}, ""},
#ifndef _WIN32  // through the narrow calls, Windows stores text converted to UTF-16 and reads it back alike
      {"the same text, other bytes", {{"", "v", 1, "1"}}, {Sz("", "v", "1")}, {}, 2,
       {"< Value: $L  v  REG_SZ  1", "> Value: $R  v  REG_SZ  1"}, ""},
#endif
      {"the same bytes, other type", {{"", "v", 3, "\1\2"}}, {{"", "v", 0, "\1\2"}}, {}, 2,
       {"< Value: $L  v  REG_BINARY  0102", "> Value: $R  v  REG_NONE  0102"}, ""},
      {"a value on each side only", {Sz("", "x", "1"), Sz("", "same", "s")}, {Sz("", "same", "s"), Sz("", "y", "2")},
       {}, 2, {"< Value: $L  x  REG_SZ  1", "> Value: $R  y  REG_SZ  2"}, ""},
      {"sub-keys: not without /s", {Sz("", "a", "1"), Sz("Only", "z", "1")}, {Sz("", "a", "1")}, {}, 0, {}, ""},
      {"sub-keys with /s", {Sz("Both", "c", "1"), Sz("Only", "z", "1")}, {Sz("Both", "c", "2"), Sz("Other", "z", "1")},
       {"/s"}, 2,
       {"< Value: $L\\Both  c  REG_SZ  1", "> Value: $R\\Both  c  REG_SZ  2", "< Key: $L\\Only", "> Key: $R\\Other"}, ""},
      {"/s /oa shows the keys both have", {Sz("Both", "c", "1")}, {Sz("BOTH", "c", "1")}, {"/s", "/oa"}, 0,
       {"= Key: $L\\Both", "= Value: $L\\Both  c  REG_SZ  1"}, ""},
      {"/v: a value that matches", twoOfThem, three, {"/v", "a"}, 0, {}, ""},
      {"/v: a value that differs", twoOfThem, three, {"/v", "b"}, 2,
       {"< Value: $L  b  REG_SZ  2", "> Value: $R  b  REG_SZ  1"}, ""},
      {"/v: a value on one side", twoOfThem, three, {"/v", "c"}, 2, {"> Value: $R  c  REG_SZ  1"}, ""},
      {"/ve", {Sz("", "", "x"), Sz("", "b", "1")}, {Sz("", "", "y")}, {"/ve"}, 2,
       {"< Value: $L  (Default)  REG_SZ  x", "> Value: $R  (Default)  REG_SZ  y"}, ""},
      {"/ve: set in neither key", twoOfThem, three, {"/ve", "/oa"}, 0, {}, ""},
      {"/oa", twoOfThem, three, {"/oa"}, 2,
       {"= Value: $L  A  REG_SZ  1", "< Value: $L  b  REG_SZ  2", "> Value: $R  b  REG_SZ  1",
        "> Value: $R  c  REG_SZ  1"}, ""},
      {"/od", twoOfThem, three, {"/od"}, 2,
       {"< Value: $L  b  REG_SZ  2", "> Value: $R  b  REG_SZ  1", "> Value: $R  c  REG_SZ  1"}, ""},
      {"/os", twoOfThem, three, {"/os"}, 2, {"= Value: $L  A  REG_SZ  1"}, ""},
      {"/on", twoOfThem, three, {"-ON"}, 2, {}, ""},
      {"a missing key", {Sz("", "a", "1")}, {}, {}, 1, {}, "$r: the key does not exist"},
      {"/v in neither key", twoOfThem, three, {"/v", "d"}, 1, {}, "$l value \"d\": the value does not exist (nor in $r)"},
      {"/oa with /os", twoOfThem, three, {"/oa", "/os"}, 1, {}, "/oa, /od, /os and /on exclude each other (see cregistry compare /?)"},
      {"/v with /ve", twoOfThem, three, {"/v", "a", "/ve"}, 1, {}, "/v, /ve and /va exclude each other"},
      {"/s with /v", twoOfThem, three, {"/s", "/v", "a"}, 1, {}, "/s cannot be given with /v or /ve (see cregistry compare /?)"},
  };
  cregistry::testing::RegistrySandbox box;
  for (std::size_t n = 0; n < rows.size(); ++n) {
    const Row& row = rows[n];
    const std::string base = box.base + "\\r" + std::to_string(n), l = base + "\\L", r = base + "\\R";
    for (const auto& put : row.left) box.PutRaw(kHKCU, put.path.empty() ? l : l + "\\" + put.path, put.name, put.type, put.data);
    for (const auto& put : row.right) box.PutRaw(kHKCU, put.path.empty() ? r : r + "\\" + put.path, put.name, put.type, put.data);
    std::vector<std::string> args{"compare", "HKCU\\" + l, "HKCU\\" + r};
    args.insert(args.end(), row.switches.begin(), row.switches.end());
    std::ostringstream out, err;
    const int status = RunTool(args, box.api, out, err);
    std::string expectedOut, expectedErr = row.err.empty() ? "" : "cregistry: " + row.err + "\n";
    if (row.status != 1) {
      for (const auto& line : row.out) expectedOut += line + "\n";
      expectedOut += std::string("Result Compared: ") + (row.status == 0 ? "Identical" : "Different") +
                     "\nThe operation completed successfully.\n";
    }
    for (auto [mark, text] : {std::pair{"$L", "HKEY_CURRENT_USER\\" + l}, std::pair{"$R", "HKEY_CURRENT_USER\\" + r},
                              std::pair{"$l", "HKCU\\" + l}, std::pair{"$r", "HKCU\\" + r}}) {
      for (std::string* s : {&expectedOut, &expectedErr})
        for (std::size_t at; (at = s->find(mark)) != std::string::npos;) s->replace(at, 2, text);
    }
    EXPECT_EQ(status, row.status) << row.what;
    EXPECT_EQ(out.str(), expectedOut) << row.what;
    EXPECT_EQ(err.str(), expectedErr) << row.what;
  }
}

}  // namespace
}  // namespace cregistry::tool
