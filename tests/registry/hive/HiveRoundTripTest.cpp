// A new hive filled through libhivex and committed, read back by libregf's regfexport and by
// HiveFile::Open byte for byte; then one value changed in the reopened hive, and only its line of
// regfexport's listing differs.
#include <map>

#include "HiveTestSupport.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive::test {
namespace {

std::string Pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 131 + i / 251);
  return bytes;
}
std::string Utf16(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) bytes += {c, '\0'};
  return bytes;
}

struct Case {
  const char* key;  // below the root
  const char* name;
  int type;
  std::string data;
  std::string shown;  // what regfexport shows after "Data: "; empty: a hex dump of data
};

const std::string kLongText(20000, 'x');
// The values of a key in the order they are set: regfexport numbers them so.
const Case kCases[] = {
    {"Software\\Café", "", hive_t_REG_SZ, Utf16("default"), "default"},
    {"Software\\Café", "Größe", hive_t_REG_BINARY, "", ""},
    {"Software\\Café", "Count", hive_t_REG_DWORD, std::string("\x2a\0\0\0", 4), "42"},
    {"Software\\Café", "Seg", hive_t_REG_BINARY, Pattern(16344), ""},
    {"Software\\Café", "Seg+1", hive_t_REG_BINARY, Pattern(16345), ""},
    {"Software\\Café", "Seg+100", hive_t_REG_BINARY, Pattern(16444), ""},
    {"Software\\Café", "Big", hive_t_REG_BINARY, Pattern(100000), ""},
    {"Software\\Café", "LongText", hive_t_REG_SZ, Utf16(kLongText), kLongText},
    {"Software\\MiXeD Ωmega\\日本語", "NoNul", hive_t_REG_SZ, std::string("h\0i\0", 4), "hi"},
    {"Software\\MiXeD Ωmega\\日本語", "AfterNul", hive_t_REG_SZ, std::string("h\0i\0\0\0z\0q", 9), "hi"},
    {"Software\\MiXeD Ωmega\\日本語", "Ωv", hive_t_REG_SZ, std::string("\0\xd8" "a\0", 4), ""},  // lone surrogate
    {"Software\\MiXeD Ωmega\\日本語", "Q", hive_t_REG_QWORD, std::string("\1\0\0\0\0\0\0\1", 8), "72057594037927937"},
    {"Software\\MiXeD Ωmega\\日本語", "Other", 99, "abcdef", ""},
    {"Hashes\\Ab", "", hive_t_REG_NONE, "", ""},  // sub-keys whose hashes Windows compares first
    {"Hashes\\é", "", hive_t_REG_NONE, "", ""},
    {"Hashes\\ω", "", hive_t_REG_NONE, "", ""},
};

using HiveRoundTrip = HiveDir;

TEST_F(HiveRoundTrip, EveryByteAsWrittenAndOneChangeChangesOneLine) {
  HiveError error;
  auto file = HiveFile::CreateEmpty(error);
  ASSERT_TRUE(file) << error.message;
  EXPECT_EQ(file->path(), "");
  for (const Case& c : kCases) {
    const hive_set_value value{const_cast<char*>(c.name), static_cast<hive_type>(c.type), c.data.size(),
                               const_cast<char*>(c.data.data())};
    ASSERT_EQ(hivex_node_set_value(file->get(), Key(*file, c.key, true), &value, 0), 0) << c.name;
  }
  const std::string path = Path("hive");
  ASSERT_EQ(file->Commit(path, Replace::kNo, error), 0) << error.message;
  EXPECT_EQ(file->path(), path);
  EXPECT_TRUE(file->SameFileAt(path));

  const std::vector<std::string> before = RegfExport(path);
  ASSERT_FALSE(before.empty());
  std::map<std::string, std::size_t> index;
  for (const Case& c : kCases) {
    EXPECT_EQ(ExportedData(before, std::string("ROOT\\") + c.key, index[c.key]++), c.shown.empty() ? c.data : c.shown)
        << c.name;
  }
  auto reopened = HiveFile::Open(path, Access::kWrite, error);
  ASSERT_TRUE(reopened) << error.message;
  for (const Case& c : kCases) EXPECT_EQ(ValueOf(*reopened, c.key, c.name), std::pair(c.type, c.data)) << c.name;
  // Hashes of UTF-16 units upper-cased: "AB" = 'A' * 37 + 'B', "É" = U+00C9, "Ω" = U+03A9 (libhivex's order).
  const std::string bytes = ReadAll(path);
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t list = regf::kBaseBlockSize + regf::Get32(data + Key(*reopened, "Hashes") + regf::nk::kSubkeyList);
  std::vector<std::uint32_t> hashes;
  for (std::size_t i = 0; i < 3; ++i) hashes.push_back(regf::Get32(data + list + 12 + 8 * i));
  EXPECT_EQ(hashes, (std::vector<std::uint32_t>{65 * 37 + 66, 0xC9, 0x3A9}));

  // libhivex writes every value of the key again, the long ones included.
  const hive_set_value count{const_cast<char*>("Count"), hive_t_REG_DWORD, 4, const_cast<char*>("\7\0\0\0")};
  ASSERT_EQ(hivex_node_set_value(reopened->get(), Key(*reopened, "Software\\Café"), &count, 0), 0);
  ASSERT_EQ(reopened->Commit(path, Replace::kYes, error), 0) << error.message;
  EXPECT_FALSE(file->SameFileAt(path));
  const std::vector<std::string> after = RegfExport(path);
  ASSERT_EQ(before.size(), after.size());
  std::vector<std::pair<std::string, std::string>> changed;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] != after[i]) changed.emplace_back(before[i], after[i]);
  }
  EXPECT_EQ(changed, (std::vector<std::pair<std::string, std::string>>{{"Data: 42", "Data: 7"}}));
}

}  // namespace
}  // namespace cregistry::hive::test
