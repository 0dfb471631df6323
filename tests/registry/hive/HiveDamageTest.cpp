// Hives damaged on purpose, each made from a good one: Open refuses them (kBadDb, one line, nothing
// written; an unclean one opens to be read), and mutants at random positions either open, and then stand
// every later call, or are refused.
#include <cregistry/RegistryApi.h>

#include <random>

#include "HiveTestSupport.h"
#include "registry/hive/Regf.h"

namespace cregistry::hive::test {
namespace {

using namespace regf;

// A file's bytes, with the dword fields of its cells (file offsets) to read and set.
struct Bytes {
  std::string f;
  std::uint32_t Get(std::size_t at) { return Get32(reinterpret_cast<std::uint8_t*>(&f[at])); }
  void Set(std::size_t at, std::size_t value) { Put32(reinterpret_cast<std::uint8_t*>(&f[at]), std::uint32_t(value)); }
  std::size_t Cell(std::size_t field) { return kBaseBlockSize + Get(field); }  // the cell a field names
  void Resum() { Set(base::kChecksum, Checksum(reinterpret_cast<std::uint8_t*>(f.data()))); }
};

// Cells of the good hive (file offsets): the root, its sub-key A, A's value v, and the value of A's
// sub-key B of 20,000 bytes, held in a big-data record.
struct Cells {
  std::size_t root, a, value, bigValue;
};

class HiveDamage : public HiveDir {
 protected:
  void SetUp() override {
    HiveDir::SetUp();
    HiveError error;
    auto file = HiveFile::CreateEmpty(error);
    hive_h* h = file->get();
    const hive_node_h a = hivex_node_add_child(h, file->Root(), "A"), b = hivex_node_add_child(h, a, "B");
    const hive_node_h c = hivex_node_add_child(h, a, "C");
    std::string big(20000, 'b'), text("t\0x\0t\0\0\0", 8);
    hive_set_value values[] = {{const_cast<char*>("v"), hive_t_REG_DWORD, 4, const_cast<char*>("\1\0\0\0")},
                               {const_cast<char*>("s"), hive_t_REG_SZ, text.size(), text.data()},
                               {const_cast<char*>("big"), hive_t_REG_BINARY, big.size(), big.data()}};
    for (int i = 0; i < 20; ++i) {  // more structure than data, for the mutants
      hivex_node_set_values(h, hivex_node_add_child(h, c, ("K" + std::to_string(i)).c_str()), 1, &values[1], 0);
    }
    ASSERT_EQ(hivex_node_set_values(h, b, 1, &values[2], 0) | hivex_node_set_values(h, a, 2, values, 0), 0);
    ASSERT_EQ(file->Commit(Path("good"), Replace::kNo, error), 0) << error.message;
    good_.f = ReadAll(Path("good"));  // libhivex's handles are offsets into the file it writes
    cells_ = {file->Root(), a, hivex_node_get_value(h, a, "v"), hivex_node_get_value(h, b, "big")};
  }
  Bytes good_;
  Cells cells_{};
};

struct Damage {
  const char* what;
  void (*mutate)(Bytes&, const Cells&);
  const char* why;  // in the message
};

const Damage kDamages[] = {
    {"truncated", [](Bytes& b, const Cells&) { b.f.resize(b.f.size() - 4096); }, "a damaged one: truncated"},
    {"unclean", [](Bytes& b, const Cells&) {  // Windows' last changes are still in the logs
       b.Set(base::kSecondarySequence, b.Get(base::kPrimarySequence) + 1), b.Resum();
     }, ".LOG1"},
    {"bad checksum", [](Bytes& b, const Cells&) { b.f[0x30] ^= 1; }, "checksum"},
    {"bad signature", [](Bytes& b, const Cells&) { b.f[3] = 'x', b.Resum(); }, "signature"},
    {"newer format", [](Bytes& b, const Cells&) { b.f[base::kMinor] = 7, b.Resum(); }, "version 1.7"},
    {"loop", [](Bytes& b, const Cells& c) {  // A lists the root as a sub-key, the root names A as its parent
       b.Set(b.Cell(c.a + nk::kSubkeyList) + 8, c.root - 0x1000), b.Set(c.root + nk::kParent, c.a - 0x1000);
     }, "reached twice"},
    {"index of itself", [](Bytes& b, const Cells& c) {
       const std::size_t list = b.Cell(c.a + nk::kSubkeyList);
       b.f.replace(list + 4, 4, std::string("ri\1\0", 4)), b.Set(list + 8, list - 0x1000);
     }, "not a list of keys"},
    {"offset outside", [](Bytes& b, const Cells& c) { b.Set(c.a + nk::kValueList, 0x7FFFFFF0); }, "values of the key"},
    {"huge count", [](Bytes& b, const Cells& c) { b.Set(c.a + nk::kSubkeyCount, 0xFFFFFFFF); }, "sub-keys of the key"},
    {"security link astray", [](Bytes& b, const Cells& c) {  // to a key's cell
       b.Set(b.Cell(c.root + nk::kSecurity) + sk::kNext, c.a - 0x1000);
     }, "security cell"},
    {"big-data list", [](Bytes& b, const Cells& c) {
       b.f.replace(b.Cell(c.bigValue + vk::kDataCell) + db::kSegmentCount, 2, "\xff\xff");
     }, "big-data"},
    // What would make libhivex stop halfway through deleting A, or free a cell still in use.
    {"security count", [](Bytes& b, const Cells& c) { b.Set(b.Cell(c.root + nk::kSecurity) + sk::kReferences, 1); },
     "counts fewer keys"},
    {"undecodable name", [](Bytes& b, const Cells& c) { b.f[c.value + vk::kFlags] = 0; }, "name of the value"},
    {"another parent", [](Bytes& b, const Cells& c) {
       b.Set(b.Cell(b.Cell(c.a + nk::kSubkeyList) + 8) + nk::kParent, 0x20);
     }, "as its parent"},
    {"shared cell", [](Bytes& b, const Cells& c) { b.Set(c.a + nk::kClass, c.value - 0x1000); }, "used twice"},
};

TEST_F(HiveDamage, EachDamageIsRefusedAndNothingWritten) {
  const std::string path = Path("damaged");
  int opened = 0;
  for (const Damage& damage : kDamages) {
    Bytes bytes = good_;
    damage.mutate(bytes, cells_);
    WriteAll(path, bytes.f);
    for (Access access : {Access::kWrite, Access::kRead}) {
      HiveError error;
      std::string warning;
      if (auto file = HiveFile::Open(path, access, error, &warning)) {  // only an unclean hive, only to be read
        EXPECT_TRUE(access == Access::kRead && warning.find("not written out cleanly") != std::string::npos);
        EXPECT_EQ(file->Commit(path, Replace::kYes, error), win32::kBadDb);  // its logs' changes would be lost
        ++opened;
        continue;
      }
      EXPECT_EQ(error.code, win32::kBadDb) << damage.what;
      EXPECT_EQ(error.message.rfind(path + ": ", 0), 0u) << error.message;
      EXPECT_NE(error.message.find(damage.why), std::string::npos) << error.message;
      EXPECT_EQ(error.message.find('\n'), std::string::npos) << error.message;
    }
    EXPECT_EQ(ReadAll(path), bytes.f) << damage.what;
    EXPECT_EQ(Entries(""), 2u) << damage.what;
  }
  EXPECT_EQ(opened, 1);
  HiveError error;
  EXPECT_FALSE(HiveFile::Open(Path("missing"), Access::kRead, error));
  EXPECT_EQ(error.code, win32::kFileNotFound);
  EXPECT_FALSE(HiveFile::Open(dir_, Access::kRead, error));
  EXPECT_EQ(error.code, win32::kBadDb);
}

// What a caller may do with an open hive: read every key and value (libhivex's own walk), change it, and
// (when copy is not empty) commit it to a file that opens again.
void UseEverything(HiveFile& file, const std::string& copy) {
  hivex_visitor visitor{};
  visitor.value_any = [](hive_h*, void*, hive_node_h, hive_value_h, hive_type, size_t, const char*, const char*) {
    return 0;
  };
  hivex_visit(file.get(), &visitor, sizeof visitor, nullptr, HIVEX_VISIT_SKIP_BAD);
  const hive_set_value value{const_cast<char*>("added"), hive_t_REG_BINARY, 3, const_cast<char*>("abc")};
  hivex_node_set_value(file.get(), file.Root(), &value, 0);
  hivex_node_add_child(file.get(), file.Root(), "Added");
  if (const hive_node_h a = Key(file, "A")) hivex_node_delete_child(file.get(), a);
  HiveError error;
  if (!copy.empty() && file.Commit(copy, Replace::kYes, error) == 0) {
    EXPECT_TRUE(HiveFile::Open(copy, Access::kRead, error)) << error.message;
  }
}

TEST_F(HiveDamage, MutantsOpenAndServeOrAreRefused) {
  int opened = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    std::mt19937 random(seed);
    Bytes bytes = good_;
    for (unsigned i = 0, n = 1 + random() % 4; i < n; ++i) {
      // A byte or an aligned dword anywhere (rarely in the base block), the dword set to a value that tends
      // to matter.
      const auto size = static_cast<std::uint32_t>(bytes.f.size()), word = static_cast<std::uint32_t>(random());
      const std::size_t at = (random() % 8 == 0 ? random() % 0x80 : 0x1000 + random() % (size - 0x1000)) & ~3u;
      const std::uint32_t words[] = {0, 0xFFFFFFFF, 0x7FFFFFF0, 0x20, word % size & ~7u, word};
      if (random() % 2) bytes.Set(at, words[random() % 6]);
      else bytes.f[at + random() % 4] = static_cast<char>(random());
    }
    if (seed % 8 != 0) bytes.Resum();
    WriteAll(Path("mutant"), bytes.f);
    HiveError error;
    auto file = HiveFile::Open(Path("mutant"), Access::kRead, error);
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
