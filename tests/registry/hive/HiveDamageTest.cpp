// Hives damaged on purpose, each made from a good one: Open refuses them (kBadDb, one line, nothing
// written), and mutants at random positions either open, and then stand every later call, or are refused.
#include <cregistry/RegistryApi.h>

#include <functional>
#include <random>

#include "HiveTestSupport.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive::test {
namespace {

using regf::Get32;
using regf::Put32;

// Offsets (in the file) of cells of the good hive: the root, its sub-key A, A's value v, and the value of
// A's sub-key B of 20,000 bytes, held in a big-data record.
struct Cells {
  std::size_t root, a, value, bigValue;
};

std::uint8_t* At(std::string& bytes, std::size_t offset) { return reinterpret_cast<std::uint8_t*>(&bytes[offset]); }
std::size_t Target(std::string& bytes, std::size_t field) { return regf::kBaseBlockSize + Get32(At(bytes, field)); }
void Resum(std::string& bytes) { Put32(At(bytes, regf::base::kChecksum), regf::Checksum(At(bytes, 0))); }

class HiveDamage : public HiveDir {
 protected:
  void SetUp() override {
    HiveDir::SetUp();
    HiveError error;
    auto file = HiveFile::CreateEmpty(error);
    ASSERT_TRUE(file);
    hive_h* h = file->get();
    const hive_node_h a = hivex_node_add_child(h, file->Root(), "A");
    const hive_node_h b = hivex_node_add_child(h, a, "B");
    const hive_node_h c = hivex_node_add_child(h, a, "C");
    std::string big(20000, 'b'), text("t\0x\0t\0\0\0", 8);
    for (int i = 0; i < 20; ++i) {  // more structure than data, for the mutants
      const hive_set_value value{const_cast<char*>("n"), hive_t_REG_SZ, text.size(), text.data()};
      hivex_node_set_value(h, hivex_node_add_child(h, c, ("K" + std::to_string(i)).c_str()), &value, 0);
    }
    const hive_set_value bigValue{const_cast<char*>("big"), hive_t_REG_BINARY, big.size(), big.data()};
    const hive_set_value values[] = {{const_cast<char*>("v"), hive_t_REG_DWORD, 4, const_cast<char*>("\1\0\0\0")},
                                     {const_cast<char*>("s"), hive_t_REG_SZ, text.size(), text.data()}};
    ASSERT_EQ(hivex_node_set_value(h, b, &bigValue, 0) | hivex_node_set_values(h, a, 2, values, 0), 0);
    ASSERT_EQ(file->Commit(Path("good"), Replace::kNo, error), 0) << error.message;
    auto good = HiveFile::Open(Path("good"), Access::kRead, error);
    ASSERT_TRUE(good);
    cells_ = {good->Root(), Key(*good, "A"), hivex_node_get_value(good->get(), Key(*good, "A"), "v"),
              hivex_node_get_value(good->get(), Key(*good, "A\\B"), "big")};
    good_ = ReadAll(Path("good"));
  }
  std::string good_;
  Cells cells_{};
};

struct Damage {
  const char* what;
  std::function<void(std::string&, const Cells&)> mutate;
  const char* why;  // in the message
};

const Damage kDamages[] = {
    {"truncated", [](std::string& f, const Cells&) { f.resize(f.size() - 4096); }, "truncated"},
    {"bad checksum", [](std::string& f, const Cells&) { f[0x30] ^= 1; }, "checksum"},
    {"bad signature", [](std::string& f, const Cells&) { f[3] = 'x', Resum(f); }, "signature"},
    {"newer format", [](std::string& f, const Cells&) { f[regf::base::kMinor] = 7, Resum(f); }, "version 1.7"},
    {"loop", [](std::string& f, const Cells& c) {  // A lists the root as its sub-key, the root names A as parent
       Put32(At(f, Target(f, c.a + regf::nk::kSubkeyList) + 8), static_cast<std::uint32_t>(c.root - 0x1000));
       Put32(At(f, c.root + regf::nk::kParent), static_cast<std::uint32_t>(c.a - 0x1000));
     }, "reached twice"},
    {"index of itself", [](std::string& f, const Cells& c) {
       const std::size_t list = Target(f, c.a + regf::nk::kSubkeyList);
       f.replace(list + 4, 4, std::string("ri\1\0", 4));
       Put32(At(f, list + 8), static_cast<std::uint32_t>(list - 0x1000));
     }, "not a list of keys"},
    {"offset outside", [](std::string& f, const Cells& c) { Put32(At(f, c.a + regf::nk::kValueList), 0x7FFFFFF0); },
     "values of the key"},
    {"huge count", [](std::string& f, const Cells& c) { Put32(At(f, c.a + regf::nk::kSubkeyCount), 0xFFFFFFFF); },
     "sub-keys of the key"},
    {"security link outside", [](std::string& f, const Cells& c) {
       Put32(At(f, Target(f, c.root + regf::nk::kSecurity) + regf::sk::kNext), 0x7FFFFFF0);
     }, "security cell"},
    // What would make libhivex stop halfway through deleting A, or free a cell still in use.
    {"security count", [](std::string& f, const Cells& c) {
       Put32(At(f, Target(f, c.root + regf::nk::kSecurity) + regf::sk::kReferences), 1);
     }, "counts fewer keys"},
    {"undecodable name", [](std::string& f, const Cells& c) { f[c.value + regf::vk::kFlags] = 0; },
     "name of the value"},
    {"another parent", [](std::string& f, const Cells& c) {
       Put32(At(f, Target(f, Target(f, c.a + regf::nk::kSubkeyList) + 8) + regf::nk::kParent), 0x20);
     }, "as its parent"},
    {"shared cell", [](std::string& f, const Cells& c) {
       Put32(At(f, c.a + regf::nk::kClass), static_cast<std::uint32_t>(c.value - 0x1000));
     }, "used twice"},
    {"big-data list", [](std::string& f, const Cells& c) {
       f.replace(Target(f, c.bigValue + regf::vk::kDataCell) + regf::db::kSegmentCount, 2, "\xff\xff");
     }, "big-data"},
};

TEST_F(HiveDamage, EachDamageIsRefusedAndNothingWritten) {
  for (const Damage& damage : kDamages) {
    std::string bytes = good_;
    damage.mutate(bytes, cells_);
    const std::string path = Path("damaged");
    WriteAll(path, bytes);
    HiveError error;
    EXPECT_FALSE(HiveFile::Open(path, Access::kRead, error)) << damage.what;
    EXPECT_EQ(error.code, win32::kBadDb) << damage.what;
    EXPECT_EQ(error.message.rfind(path + ": not a hive file or a damaged one: ", 0), 0u) << error.message;
    EXPECT_NE(error.message.find(damage.why), std::string::npos) << error.message;
    EXPECT_EQ(error.message.find('\n'), std::string::npos) << error.message;
    EXPECT_EQ(ReadAll(path), bytes) << damage.what;
    EXPECT_EQ(Names(), (std::vector<std::string>{"damaged", "good"})) << damage.what;
  }
  HiveError error;
  EXPECT_FALSE(HiveFile::Open(Path("missing"), Access::kRead, error));
  EXPECT_EQ(error.code, win32::kFileNotFound);
  EXPECT_FALSE(HiveFile::Open(dir_, Access::kRead, error));
  EXPECT_EQ(error.code, win32::kBadDb);
}

// Sequence numbers that differ: Windows' last changes are still in the logs.
TEST_F(HiveDamage, UncleanHiveOpensOnlyForReading) {
  Put32(At(good_, regf::base::kSecondarySequence), Get32(At(good_, regf::base::kPrimarySequence)) + 1);
  Resum(good_);
  WriteAll(Path("unclean"), good_);
  HiveError error;
  std::string warning;
  EXPECT_FALSE(HiveFile::Open(Path("unclean"), Access::kWrite, error, &warning));
  EXPECT_EQ(error.code, win32::kBadDb);
  EXPECT_NE(error.message.find(".LOG1"), std::string::npos) << error.message;
  auto file = HiveFile::Open(Path("unclean"), Access::kRead, error, &warning);
  ASSERT_TRUE(file) << error.message;
  EXPECT_NE(warning.find("not written out cleanly"), std::string::npos) << warning;
  EXPECT_EQ(ValueOf(*file, "A", "v").second, std::string("\1\0\0\0", 4));
}

// Every call a caller may make on an open hive: a walk reading every name and value, then changes, and (when
// copy is not empty) a commit whose file opens again.
void UseEverything(HiveFile& file, const std::string& copy) {
  hive_h* h = file.get();
  std::vector<hive_node_h> pending{file.Root()};
  while (!pending.empty()) {
    const hive_node_h node = pending.back();
    pending.pop_back();
    free(hivex_node_name(h, node));
    hive_node_h* children = hivex_node_children(h, node);
    for (std::size_t i = 0; children && children[i]; ++i) pending.push_back(children[i]);
    free(children);
    hive_value_h* values = hivex_node_values(h, node);
    for (std::size_t i = 0; values && values[i]; ++i) {
      hive_type type{};
      std::size_t length = 0;
      free(hivex_value_key(h, values[i]));
      free(hivex_value_value(h, values[i], &type, &length));
      if (type == hive_t_REG_SZ) free(hivex_value_string(h, values[i]));
    }
    free(values);
  }
  const hive_set_value value{const_cast<char*>("added"), hive_t_REG_BINARY, 3, const_cast<char*>("abc")};
  hivex_node_set_value(h, file.Root(), &value, 0);
  hivex_node_add_child(h, file.Root(), "Added");
  if (const hive_node_h a = Key(file, "A")) hivex_node_delete_child(h, a);
  HiveError error;
  if (!copy.empty() && file.Commit(copy, Replace::kYes, error) == 0) {
    EXPECT_TRUE(HiveFile::Open(copy, Access::kRead, error)) << error.message;
  }
}

TEST_F(HiveDamage, MutantsOpenAndServeOrAreRefused) {
  int opened = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    std::mt19937 random(seed);
    std::string bytes = good_;
    for (unsigned i = 0, n = 1 + random() % 4; i < n; ++i) {
      // A byte or an aligned word anywhere (rarely in the base block), set to a value that tends to matter.
      const std::size_t at =
          (random() % 8 == 0 ? random() % 0x80 : 0x1000 + random() % (bytes.size() - 0x1000)) & ~std::size_t{3};
      const auto word = static_cast<std::uint32_t>(random());
      const std::uint32_t words[] = {0, 0xFFFFFFFF, 0x7FFFFFF0, 0x20, word % std::uint32_t(bytes.size()) & ~7u, word};
      if (random() % 2) Put32(At(bytes, at), words[random() % 6]);
      else bytes[at + random() % 4] = static_cast<char>(random());
    }
    if (seed % 8 != 0) Resum(bytes);
    WriteAll(Path("mutant"), bytes);
    HiveError error;
    std::string warning;
    auto file = HiveFile::Open(Path("mutant"), Access::kRead, error, &warning);
    if (!file) {
      EXPECT_EQ(error.code, win32::kBadDb) << "seed " << seed << ": " << error.message;
      continue;
    }
    UseEverything(*file, ++opened % 4 == 0 ? Path("copy") : "");  // a commit syncs: one mutant in four
  }
  EXPECT_GT(opened, 40);        // enough mutants reach the later calls
  EXPECT_GT(400 - opened, 40);  // and enough are refused
}

}  // namespace
}  // namespace cregistry::hive::test
