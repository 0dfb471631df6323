// Store files of the first schema (names folded by ASCII letters only), written by the store's earlier
// code and kept under tests/registry/data: opening one converts it in one transaction to the current
// rule, unless two of its names now fold together; then it keeps working as before. And the current
// rule at its edges: bytes that are not UTF-8, characters beyond the BMP, title case.
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "SeamFixture.h"
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class StoreSchema : public StoreDir {
 protected:
  void CopyData(const char* name) {
    fs::copy_file(fs::path(CREGISTRY_TEST_DATA) / name, path_);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  }
  std::int64_t UserVersion() const {
    sqlite3* db = nullptr;
    std::int64_t version = -1;
    if (sqlite3_open(path_.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* q = nullptr;
      if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW) {
        version = sqlite3_column_int64(q, 0);
      }
      sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return version;
  }
  static std::string Fetch(RegistryApi& api, const std::string& path, const std::string& name) {
    return FetchText(api, path, name);
  }
  static long Put(RegistryApi& api, const std::string& path, const std::string& name, const std::string& text) {
    return PutText(api, path, name, text);
  }
  static Names SubKeys(RegistryApi& api, const std::string& path) { return SubKeyNames(api, path); }
};

TEST_F(StoreSchema, AFirstSchemaStoreIsConvertedOnOpeningAndKeepsEverything) {
  CopyData("schema1.db");
  ASSERT_EQ(UserVersion(), 1);
  auto api = OpenTestStore(path_);
  // Every name now compares by the full rule; every value is there.
  EXPECT_EQ(Fetch(*api, "Software\\Old\\K\xC3\x84SE", "GR\xC3\x9C\xC3\x9F" "E"), "greeting");
  EXPECT_EQ(Fetch(*api, "software\\old\\k\xC3\xA4se", "NAME"), "cheese");
  EXPECT_EQ(Fetch(*api, "SOFTWARE\\OLD\\STRA\xC3\x9F" "E\\\xC3\xB6LFASS", ""), "barrel");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\\xC3\xA4PFEL", "\xC3\x89T\xC3\x89"), "summer");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\\xCE\x91\xCE\x92\xCE\x93", "\xCE\xA9"), "greek");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\BAD\xFF", "\xFE"), "not utf-8");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\zebra", "z"), "last");
  EXPECT_EQ(UserVersion(), 2);
  // The sub-keys keep their names and list in the order of the new rule.
  EXPECT_EQ(SubKeys(*api, "Software\\Old"),
            (Names{"apple", "bad\xFF", "K\xC3\xA4se", "Stra\xC3\x9F" "e", "zebra", "\xC3\x84pfel", "\xCE\xB1\xCE\xB2\xCE\xB3"}));
  // Writes by the new rule find what was there.
  ASSERT_EQ(Put(*api, "Software\\Old\\K\xC3\x84SE", "name", "new"), 0);
  EXPECT_EQ(Fetch(*OpenTestStore(path_), "Software\\Old\\K\xC3\xA4se", "name"), "new");
  EXPECT_EQ(SubKeys(*api, "Software\\Old").size(), 7u);
}

TEST_F(StoreSchema, AStoreWhoseNamesWouldFoldTogetherStaysAsItIsAndWorks) {
  CopyData("schema1-collision.db");
  auto api = OpenTestStore(path_);
  EXPECT_EQ(Fetch(*api, "Software\\Old\\K\xC3\xA4se", "v"), "lower");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\K\xC3\x84SE", "v"), "upper");
  EXPECT_EQ(Fetch(*api, "Software\\Old\\PLAIN", "V"), "ascii");
  EXPECT_EQ(UserVersion(), 1);
  // Written by the old rule, as before: the two keys stay two.
  ASSERT_EQ(Put(*api, "Software\\Old\\K\xC3\xA4se", "w", "written"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\Old\\K\xC3\x84SE", "w"), "<2>");
  auto again = OpenTestStore(path_);
  EXPECT_EQ(Fetch(*again, "Software\\Old\\k\xC3\xA4SE", "W"), "written");
  EXPECT_EQ(UserVersion(), 1);
  EXPECT_EQ(SubKeys(*again, "Software\\Old"), (Names{"K\xC3\x84SE", "K\xC3\xA4se", "plain"}));
}

TEST_F(StoreSchema, AConnectionOpenedBeforeAnotherConvertedTheStoreFollowsTheNewRule) {
  CopyData("schema1-collision.db");
  auto early = OpenTestStore(path_);  // stays at the first schema: two names collide
  ASSERT_EQ(Fetch(*early, "Software\\Old\\K\xC3\xA4se", "v"), "lower");
  // In a transaction, which holds the schema it found only while it runs.
  ASSERT_EQ(RunAsOneTransaction(*early, [&] { return early->DeleteKey(kHKCU, "Software\\Old\\K\xC3\x84SE"); }), 0);
  auto late = OpenTestStore(path_);  // no collision left: converts
  ASSERT_EQ(Fetch(*late, "Software\\Old\\K\xC3\x84SE", "v"), "lower");
  ASSERT_EQ(UserVersion(), 2);
  // The early connection writes by the new rule now: "käse" is the existing key, not a new one.
  ASSERT_EQ(Put(*early, "Software\\Old\\k\xC3\xA4se", "v", "updated"), 0);
  EXPECT_EQ(Fetch(*late, "Software\\Old\\K\xC3\xA4se", "v"), "updated");
  EXPECT_EQ(Fetch(*early, "Software\\Old\\K\xC3\x84SE", "v"), "updated");
  EXPECT_EQ(SubKeys(*late, "Software\\Old"), (Names{"K\xC3\xA4se", "plain"}));
}

// Stores of both schemas written by earlier code kept an index of each key's values in creation order;
// a writer's opening drops it, and the values still list in creation order (a value set again keeps its
// place, a deleted one leaves none), a new one last.
TEST_F(StoreSchema, StoresOfEarlierLayoutsLoseTheOrderIndexAndKeepTheOrder) {
  struct Case {
    const char* file;
    const char* key;
    Names before;
  };
  const Case cases[] = {
      {"schema1.db", "Software\\Old\\K\xC3\xA4se", {"Gr\xC3\xBC\xC3\x9F" "e", "name"}},
      {"schema1-collision.db", "Software\\Old\\PLAIN", {"v"}},  // keeps schema 1, loses the index all the same
      {"schema2.db", "Software\\Old\\Ordered", {"zulu", "alpha", "Mike", ""}},
  };
  const auto valueNames = [](RegistryApi& api, const char* path) {
    KeyHandle key(api);
    Names names;
    if (api.OpenKey(kHKCU, path, kAll, key.out()) != 0) return Names{"<missing>"};
    char name[64];
    std::uint32_t len = sizeof name;
    for (std::uint32_t i = 0; api.EnumValue(key.get(), i, name, len) == 0; ++i, len = sizeof name) {
      names.emplace_back(name, len);
    }
    return names;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    fs::remove(path_);
    CopyData(c.file);
    ASSERT_EQ(SqlAnswer(path_, "SELECT count(*) FROM sqlite_master WHERE name = 'vals_by_key'"), "1");
    auto api = OpenTestStore(path_);
    EXPECT_EQ(valueNames(*api, c.key), c.before);
    EXPECT_EQ(SqlAnswer(path_, "SELECT count(*) FROM sqlite_master WHERE name = 'vals_by_key'"), "0");
    EXPECT_EQ(IntegrityCheck(path_), "ok");
    ASSERT_EQ(Put(*api, c.key, "new", "x"), 0);
    Names after = c.before;
    after.push_back("new");
    EXPECT_EQ(valueNames(*OpenTestStore(path_), c.key), after);
  }
}

TEST_F(StoreSchema, BytesThatAreNotUtf8AndCharactersBeyondTheBmpCompareAsTheyAre) {
  auto api = OpenTestStore(path_);
  ASSERT_EQ(Put(*api, "Software\\\xE4", "v", "latin-1 a-umlaut"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\\xC4", "v"), "<2>") << "not UTF-8: no letter to fold";
  EXPECT_EQ(Fetch(*api, "Software\\\xE4", "V"), "latin-1 a-umlaut");
  // A truncated sequence, and an overlong form of "a", are bytes as well.
  ASSERT_EQ(Put(*api, "Software\\x\xC3", "v", "cut"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\X\xC3", "v"), "cut");
  ASSERT_EQ(Put(*api, "Software\\\xC1\xA1", "v", "overlong"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\A", "v"), "<2>");
  // Beyond the BMP nothing folds (Windows folds UTF-16 code units): Deseret U+10428 and U+10400 differ.
  ASSERT_EQ(Put(*api, "Software\\\xF0\x90\x90\xA8", "v", "deseret"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\\xF0\x90\x90\x80", "v"), "<2>");
  EXPECT_EQ(Fetch(*api, "Software\\\xF0\x90\x90\xA8", "V"), "deseret");
  // Title case: U+01C5 folds to U+01C4.
  ASSERT_EQ(Put(*api, "Software\\\xC7\x85", "v", "dz"), 0);
  EXPECT_EQ(Fetch(*api, "Software\\\xC7\x84", "v"), "dz");
}

}  // namespace
}  // namespace cregistry::seamtest
