// The registry store as a file that other processes share: creation, durability, damaged and foreign
// files, read-only files, writers at the same time, and a writer killed in the middle of its work.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <thread>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "SeamFixture.h"
#include "StoreDir.h"
#include "registry/store/RegistryStore.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
namespace fs = std::filesystem;

class StoreFile : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    path_ = dir_ + "/nested/folder/registry.db";
  }

  // The exit status of body, run in a child process as a user who may not write what root made read-only
  // (as root, file modes do not stop writes: the child drops to the user nobody; 10 when it cannot).
  static int AsAnotherUser(const std::function<int()>& body) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
      _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  // Runs SQL on the file directly, as another tool would.
  static void Sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  static long Put(RegistryApi& api, const std::string& path, const std::string& name, const std::string& data) {
    KeyHandle key(api);
    if (long rc = api.CreateKey(kHKCU, path.c_str(), kAll, key.out())) return rc;
    return api.SetValue(key.get(), name.c_str(), 3, reinterpret_cast<const std::uint8_t*>(data.data()),
                        static_cast<std::uint32_t>(data.size()));
  }
  static long Fetch(RegistryApi& api, const std::string& path, const std::string& name, std::string& data) {
    KeyHandle key(api);
    if (long rc = api.OpenKey(kHKCU, path.c_str(), kKeyQueryValue, key.out())) return rc;
    std::uint32_t type = 0, size = 0;
    if (long rc = api.QueryValue(key.get(), name.c_str(), &type, nullptr, &size)) return rc;
    data.assign(size, '\0');
    return api.QueryValue(key.get(), name.c_str(), &type, reinterpret_cast<std::uint8_t*>(data.data()), &size);
  }

  // Reads, enumerations and a failed delete, none of which may create the store.
  static void ReadEverything(RegistryApi& api, long expected) {
    RegHandle out = 0;
    EXPECT_EQ(api.OpenKey(kHKCU, "Software\\x", kAll, out), expected == 0 ? kFileNotFound : expected);
    std::uint32_t size = 0;
    EXPECT_EQ(api.QueryValue(kHKCU, "v", nullptr, nullptr, &size), expected == 0 ? kFileNotFound : expected);
    char name[64];
    EXPECT_EQ(api.EnumKey(kHKCU, 0, name, sizeof name), expected == 0 ? kNoMoreItems : expected);
    std::uint32_t len = sizeof name;
    EXPECT_EQ(api.EnumValue(kHKCU, 0, name, len), expected == 0 ? kNoMoreItems : expected);
    EXPECT_EQ(api.DeleteKey(kHKCU, "Software\\x"), expected == 0 ? kFileNotFound : expected);
    EXPECT_EQ(api.DeleteValue(kHKCU, "v"), expected == 0 ? kFileNotFound : expected);
  }

};

TEST_F(StoreFile, ReadsCreateNothingAndTheFirstWriteCreatesTheFileWithMode0600) {
  auto api = OpenTestStore(path_);
  ReadEverything(*api, 0);
  RegHandle root = 0;
  EXPECT_EQ(api->OpenKey(kHKCU, "", kAll, root), 0);
  EXPECT_FALSE(fs::exists(dir_ + "/nested")) << "a read created the store or its folder";

  ::umask(0);  // the file's mode must not come from the umask
  EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
  ::umask(022);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((dir_ + "/nested/folder").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(StoreFile, WritesAreThereForTheNextConnection) {
  {
    auto api = OpenTestStore(path_);
    ASSERT_EQ(Put(*api, "Software\\Acme\\Viewer", "Size", std::string("\0\x01\x02", 3)), 0);
  }
  auto again = OpenTestStore(path_);
  std::string data;
  ASSERT_EQ(Fetch(*again, "software\\acme\\viewer", "size", data), 0);
  EXPECT_EQ(data, std::string("\0\x01\x02", 3));
}

TEST_F(StoreFile, AConnectionSeesWhatAnotherOneWroteAfterItsFirstRead) {
  auto reader = OpenTestStore(path_);
  std::string data;
  EXPECT_EQ(Fetch(*reader, "Software\\Acme", "v", data), kFileNotFound);
  auto writer = OpenTestStore(path_);
  ASSERT_EQ(Put(*writer, "Software\\Acme", "v", "new"), 0);
  ASSERT_EQ(Fetch(*reader, "Software\\Acme", "v", data), 0);
  EXPECT_EQ(data, "new");
}

// A listing continues from where its last step stood; a change in between, by this connection or
// another, must be seen at the next index as a listing from the start would see it.
TEST_F(StoreFile, ListingStepsFollowChangesMadeBetweenThem) {
  auto lister = OpenTestStore(path_);
  auto other = OpenTestStore(path_);
  for (const char* k : {"a", "c", "e", "g"}) ASSERT_EQ(Put(*lister, std::string("Software\\L\\") + k, "v", "1"), 0);
  KeyHandle key(*lister);
  ASSERT_EQ(lister->OpenKey(kHKCU, "Software\\L", kAll, key.out()), 0);
  auto nameAt = [&](std::uint32_t index) {
    char name[16] = {};
    long rc = lister->EnumKey(key.get(), index, name, sizeof name);
    return rc == 0 ? std::string(name) : "rc " + std::to_string(rc);
  };
  EXPECT_EQ(nameAt(0), "a");
  EXPECT_EQ(nameAt(1), "c");
  ASSERT_EQ(Put(*other, "Software\\L\\b", "v", "1"), 0);
  EXPECT_EQ(nameAt(2), "c") << "another connection's insert before the cursor";
  ASSERT_EQ(Put(*lister, "Software\\L\\d", "v", "1"), 0);
  EXPECT_EQ(nameAt(3), "d") << "this connection's own insert";
  EXPECT_EQ(nameAt(4), "e");
  EXPECT_EQ(nameAt(6), "rc 259");

  // Values: steps continue in creation order, also when another listing runs between them.
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Put(*lister, "Software\\V", "n" + std::to_string(i), "x"), 0);
  KeyHandle values(*lister);
  ASSERT_EQ(lister->OpenKey(kHKCU, "Software\\V", kAll, values.out()), 0);
  for (std::uint32_t i = 0; i < 50; ++i) {
    char name[16] = {};
    std::uint32_t len = sizeof name;
    ASSERT_EQ(lister->EnumValue(values.get(), i, name, len), 0);
    EXPECT_EQ(std::string(name, len), "n" + std::to_string(i));
    if (i == 20) {
      EXPECT_EQ(nameAt(0), "a");
    }
  }
  // Values changed between steps, by another connection and by this one.
  auto valueAt = [&](std::uint32_t index) {
    char name[16] = {};
    std::uint32_t len = sizeof name;
    long rc = lister->EnumValue(values.get(), index, name, len);
    return rc == 0 ? std::string(name, len) : "rc " + std::to_string(rc);
  };
  EXPECT_EQ(valueAt(0), "n0");
  EXPECT_EQ(valueAt(1), "n1");
  KeyHandle theirs(*other);
  ASSERT_EQ(other->OpenKey(kHKCU, "Software\\V", kAll, theirs.out()), 0);
  ASSERT_EQ(other->DeleteValue(theirs.get(), "n0"), 0);
  EXPECT_EQ(valueAt(2), "n3") << "another connection's delete before the step";
  ASSERT_EQ(lister->DeleteValue(values.get(), "n4"), 0);
  EXPECT_EQ(valueAt(3), "n5") << "this connection's own delete";
  EXPECT_EQ(valueAt(48), "rc 259");
}

// A value listing goes on from where it stood while each of its values is read, also once the reads
// have filled the read cache (which then starts over): its steps cost what a bare listing's do.
TEST_F(StoreFile, AValueListingOutlastsAFullReadCache) {
  auto api = OpenTestStore(path_);
  const int n = 10000;  // past the cache's 4,096 answers twice
  ASSERT_EQ(RunAsOneTransaction(*api, [&]() -> long {
    for (int i = 0; i < n; ++i) {
      if (long rc = Put(*api, "Software\\Many", "v" + std::to_string(i), "x")) return rc;
    }
    return 0;
  }), 0);
  KeyHandle key(*api);
  ASSERT_EQ(api->OpenKey(kHKCU, "Software\\Many", kAll, key.out()), 0);
  const auto listingSteps = [&](bool readEach) {
    const std::uint64_t before = store::ListingSteps();
    char name[16];
    std::uint32_t len = sizeof name;
    int listed = 0;
    for (std::uint32_t i = 0; api->EnumValue(key.get(), i, name, len) == 0; ++i, len = sizeof name) {
      ++listed;
      std::uint32_t size = 0;
      if (readEach && api->QueryValue(key.get(), name, nullptr, nullptr, &size) != 0) return -1.0;
    }
    return listed == n ? static_cast<double>(store::ListingSteps() - before) : -1.0;
  };
  const double bare = listingSteps(false), reading = listingSteps(true);
  ASSERT_GT(bare, 0);
  ASSERT_GT(reading, 0);
  EXPECT_LT(reading, 1.2 * bare) << "the listing started over when the read cache did";
}

// A connection answers repeated reads from memory while the database is unchanged; every change by
// another connection or process must show at its next read.
TEST_F(StoreFile, ReadsSeeEveryChangeMadeElsewhere) {
  auto reader = OpenTestStore(path_);
  auto writer = OpenTestStore(path_);
  ASSERT_EQ(Put(*reader, "Software\\Acme", "v", "mine"), 0);  // the reader's cache follows its own write
  std::string data;
  ASSERT_EQ(Fetch(*reader, "Software\\Acme", "v", data), 0);
  ASSERT_EQ(data, "mine");
  ASSERT_EQ(Put(*writer, "Software\\Acme", "v", "theirs"), 0);
  ASSERT_EQ(Fetch(*reader, "Software\\Acme", "v", data), 0);
  EXPECT_EQ(data, "theirs");

  // The same across processes, and for a deleted value and key.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(Fetch(*reader, "Software\\Acme", "v", data), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto other = OpenTestStore(path_);
      long rc = 0;
      if (round == 0) rc = Put(*other, "Software\\Acme", "v", "child");
      if (round == 1) rc = other->DeleteValue(kHKCU, "nothing") == kFileNotFound ? 0 : 1;
      if (round == 1) {
        KeyHandle key(*other);
        rc |= other->OpenKey(kHKCU, "Software\\Acme", kAll, key.out());
        rc |= other->DeleteValue(key.get(), "v");
      }
      if (round == 2) rc = other->DeleteKey(kHKCU, "Software\\Acme");
      _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
    long rc = Fetch(*reader, "Software\\Acme", "v", data);
    if (round == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(data, "child");
      ASSERT_EQ(Put(*reader, "Software\\Acme", "v", "again"), 0);
    } else {
      EXPECT_EQ(rc, kFileNotFound) << round;
      if (round == 1) {
        ASSERT_EQ(Put(*reader, "Software\\Acme", "v", "again"), 0);
      }
    }
  }
  // A handle held across the deletion answers 1018, not what it read before.
  KeyHandle held(*reader);
  ASSERT_EQ(reader->CreateKey(kHKCU, "Software\\Held", kAll, held.out()), 0);
  ASSERT_EQ(reader->SetValue(held.get(), "v", 3, reinterpret_cast<const std::uint8_t*>("x"), 1), 0);
  std::uint32_t size = 0;
  ASSERT_EQ(reader->QueryValue(held.get(), "v", nullptr, nullptr, &size), 0);
  ASSERT_EQ(writer->DeleteKey(kHKCU, "Software\\Held"), 0);
  EXPECT_EQ(reader->QueryValue(held.get(), "v", nullptr, nullptr, &size), kKeyDeleted);
}

TEST_F(StoreFile, ACorruptFileAnswersBadDbAndIsNeverRewritten) {
  std::mt19937 random(7);
  std::string garbage(8192, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  WriteFile(path_, garbage);
  auto api = OpenTestStore(path_);
  ReadEverything(*api, kBadDb);
  EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), kBadDb);
  RegHandle out = 0;
  EXPECT_EQ(api->CreateKey(kHKCU, "Software\\Acme", kAll, out), kBadDb);
  EXPECT_EQ(ReadFile(path_), garbage);
}

TEST_F(StoreFile, AFileWithAValidHeaderAndDamagedPagesAnswersBadDb) {
  {
    auto api = OpenTestStore(path_);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Put(*api, "Software\\k" + std::to_string(i), "v", std::string(500, 'x')), 0);
  }
  Sql(path_, "PRAGMA wal_checkpoint(TRUNCATE)");
  std::string bytes = ReadFile(path_);
  ASSERT_GT(bytes.size(), 3 * 4096u);
  for (std::size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
  WriteFile(path_, bytes);
  auto api = OpenTestStore(path_);
  std::string data;
  long rc = Fetch(*api, "Software\\k3", "v", data);
  EXPECT_EQ(rc, kBadDb);
  EXPECT_EQ(Put(*api, "Software\\k3", "w", "x"), kBadDb);
  EXPECT_EQ(ReadFile(path_), bytes);
}

TEST_F(StoreFile, AnotherProgramsDatabaseIsLeftAlone) {
  WriteFile(path_, "");
  Sql(path_, "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine')");
  std::string before = ReadFile(path_);
  auto api = OpenTestStore(path_);
  ReadEverything(*api, kBadDb);
  EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), kBadDb);
  EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(StoreFile, AStoreOfANewerSchemaAnswersBadDbAndIsLeftAlone) {
  {
    auto api = OpenTestStore(path_);
    ASSERT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
  }
  Sql(path_, "PRAGMA user_version = 3");
  Sql(path_, "PRAGMA wal_checkpoint(TRUNCATE)");
  std::string before = ReadFile(path_);
  auto api = OpenTestStore(path_);
  std::string data;
  EXPECT_EQ(Fetch(*api, "Software\\Acme", "v", data), kBadDb);
  EXPECT_EQ(Put(*api, "Software\\Acme", "w", "data"), kBadDb);
  EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(StoreFile, AnEmptyFileIsLaidOutByTheFirstWrite) {
  WriteFile(path_, "");
  auto api = OpenTestStore(path_);
  ReadEverything(*api, 0);
  EXPECT_EQ(ReadFile(path_), "");
  EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
  std::string data;
  EXPECT_EQ(Fetch(*OpenTestStore(path_), "Software\\Acme", "v", data), 0);
}

// Writes fail with a code and reads still answer, when the file may not be written. As root, file
// modes do not stop writes, so the check runs in a child process that drops to the user nobody.
TEST_F(StoreFile, AReadOnlyStoreAnswersReadsAndRefusesWrites) {
  {
    auto api = OpenTestStore(path_);
    ASSERT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
  }
  const bool root = geteuid() == 0;
  for (const fs::path& p : {fs::path(dir_), fs::path(dir_) / "nested", fs::path(dir_) / "nested/folder"})
    fs::permissions(p, fs::perms(0755));
  for (const auto& entry : fs::directory_iterator(fs::path(path_).parent_path()))
    fs::permissions(entry.path(), root ? fs::perms(0644) : fs::perms(0444));
  std::string before = ReadFile(path_);

  const int step = AsAnotherUser([&] {
    auto api = OpenTestStore(path_);
    std::string data;
    if (Fetch(*api, "Software\\Acme", "v", data) != 0 || data != "data") return 11;
    if (Put(*api, "Software\\Acme", "v", "changed") != kAccessDenied) return 12;
    if (Put(*api, "Software\\Other", "v", "new") != kAccessDenied) return 13;
    if (api->DeleteValue(kHKCU, "v") != kFileNotFound) return 14;
    KeyHandle key(*api);
    if (api->OpenKey(kHKCU, "Software\\Acme", kAll, key.out()) != 0) return 15;
    if (api->DeleteValue(key.get(), "v") != kAccessDenied) return 16;
    if (api->DeleteKey(kHKCU, "Software\\Acme") != kAccessDenied) return 17;
    if (Fetch(*api, "Software\\Acme", "v", data) != 0 || data != "data") return 18;
    // A read snapshot needs no write lock.
    if (RunAsOneSnapshot(*api, [&] { return Fetch(*api, "Software\\Acme", "v", data); }) != 0 || data != "data") return 19;
    return 0;
  });
  EXPECT_EQ(step, 0) << "the step of the child that failed (10 + n)";
  EXPECT_EQ(ReadFile(path_), before);
}

// A store in a folder the process may not write to. With the -wal and -shm files that its owner's
// connections keep, it is read (through SQLite's read-only WAL access) and every write is refused; a copy
// of the file alone cannot be read there (reading a WAL database takes both files, and it is not read as
// read-only media, which another process could change under the reader): reads answer kAccessDenied.
// Either way nothing changes.
TEST_F(StoreFile, AStoreInAReadOnlyFolderAnswersReadsAndRefusesWrites) {
  for (const bool logsKept : {true, false}) {
    SCOPED_TRACE(logsKept ? "the -wal and -shm kept" : "the file alone");
    fs::remove_all(dir_);
    {
      auto api = OpenTestStore(path_);
      ASSERT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
      ASSERT_EQ(Put(*api, "Software\\Acme\\Sub", "w", "more"), 0);
    }
    EXPECT_EQ(FileSize(path_ + "-wal"), 0) << "the last connection empties the log";
    if (!logsKept) {
      fs::remove(path_ + "-wal");
      fs::remove(path_ + "-shm");
    }
    const bool root = geteuid() == 0;
    const fs::path folder = fs::path(path_).parent_path();
    for (const fs::path& p : {fs::path(dir_), fs::path(dir_) / "nested"}) fs::permissions(p, fs::perms(0755));
    for (const char* part : {"", "-wal", "-shm"}) {
      if (fs::exists(path_ + part)) fs::permissions(path_ + part, root ? fs::perms(0644) : fs::perms(0444));
    }
    fs::permissions(folder, root ? fs::perms(0755) : fs::perms(0555));
    std::string before = ReadFile(path_);

    const int step = AsAnotherUser([&] {
      auto api = OpenTestStore(path_);
      std::string data;
      if (!logsKept) return Fetch(*api, "Software\\Acme", "v", data) == kAccessDenied ? 0 : 20;
      if (Fetch(*api, "Software\\Acme", "v", data) != 0 || data != "data") return 11;
      if (Fetch(*api, "software\\acme\\SUB", "W", data) != 0 || data != "more") return 12;
      char name[64];
      KeyHandle key(*api);
      if (api->OpenKey(kHKCU, "Software\\Acme", kAll, key.out()) != 0) return 13;
      if (api->EnumKey(key.get(), 0, name, sizeof name) != 0 || std::string(name) != "Sub") return 14;
      if (Put(*api, "Software\\Acme", "v", "changed") != kAccessDenied) return 15;
      if (Put(*api, "Software\\New", "v", "new") != kAccessDenied) return 16;
      if (api->DeleteKey(kHKCU, "Software\\Acme\\Sub") != kAccessDenied) return 17;
      if (Fetch(*api, "Software\\Acme", "v", data) != 0 || data != "data") return 18;
      if (RunAsOneSnapshot(*api, [&] { return Fetch(*api, "software\\acme\\SUB", "W", data); }) != 0 || data != "more")
        return 19;
      return 0;
    });
    fs::permissions(folder, fs::perms(0755));
    EXPECT_EQ(step, 0) << "the step of the child that failed (10 + n)";
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_EQ(fs::exists(path_ + "-wal"), logsKept);
  }
}

// Another user who may only read the store: its listings cost steps in proportion to their length (no
// read cache, but cursors all the same; twice the entries, twice the steps, counted by SQLite rather
// than timed), whether the store's writer has ended (a process that ends normally closes its connections,
// emptying the log and keeping the -wal and -shm files) or still runs with commits in the log. The store
// is read through a -shm file the reader may read; when it may not, reads answer kAccessDenied.
TEST_F(StoreFile, AnotherUserReadsTheStoreAndListsItInLinearSteps) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to read the store as the user nobody";
  struct Case {
    const char* what;
    bool writerRuns;
    fs::perms logMode;  // of the -wal and -shm files while the writer runs
    long expected;
  };
  const Case cases[] = {
      {"its writer ended", false, fs::perms(0644), 0},
      {"its writer ended, -shm unreadable", false, fs::perms(0600), kAccessDenied},
      {"its writer runs", true, fs::perms(0644), 0},
      {"its writer runs, -shm unreadable", true, fs::perms(0600), kAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_);
    // The writer: a process that ends through exit(), where its owner of the store is never destroyed.
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      auto api = OpenTestStore(path_);
      long rc = RunAsOneTransaction(*api, [&]() -> long {
        for (int n : {1000, 2000}) {
          const std::string base = "Software\\L" + std::to_string(n);
          for (int i = 0; i < n; ++i) {
            if (long prc = Put(*api, base + "\\k" + std::to_string(i), "", "")) return prc;
            if (long prc = Put(*api, base, "v" + std::to_string(i), "")) return prc;
          }
        }
        return 0;
      });
      if (rc == 0) rc = Put(*api, "Software\\Acme", "v", "data");  // a commit in the log
      char byte = 0;
      if (write(ready[1], &byte, 1) != 1 || (c.writerRuns && read(done[0], &byte, 1) != 1)) rc = 1;
      std::exit(rc == 0 ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    int status = -1;
    if (!c.writerRuns) {
      ASSERT_EQ(waitpid(writer, &status, 0), writer);
      ASSERT_EQ(status, 0);
      EXPECT_EQ(FileSize(path_ + "-wal"), 0) << "the log outlived the writer";
    }
    for (const fs::path& p : {fs::path(dir_), fs::path(dir_) / "nested", fs::path(dir_) / "nested/folder"})
      fs::permissions(p, fs::perms(0755));
    fs::permissions(path_, fs::perms(0644));
    for (const char* log : {"-wal", "-shm"}) fs::permissions(path_ + log, c.logMode);

    const int step = AsAnotherUser([&] {
      auto api = OpenTestStore(path_);
      std::string data;
      if (long rc = Fetch(*api, "Software\\Acme", "v", data); rc != c.expected) return 11;
      if (c.expected != 0) return 0;
      if (data != "data") return 12;
      if (Put(*api, "Software\\X", "v", "") != kAccessDenied) return 13;
      // The steps of listing every sub-key and value of a key, -1 when the listing is not whole.
      auto listingSteps = [&](int n) -> double {
        KeyHandle key(*api);
        if (api->OpenKey(kHKCU, ("Software\\L" + std::to_string(n)).c_str(), kAll, key.out()) != 0) return -1;
        const std::uint64_t before = store::ListingSteps();
        char name[32];
        std::uint32_t i = 0;
        while (api->EnumKey(key.get(), i, name, sizeof name) == 0) ++i;
        std::uint32_t len = sizeof name, j = 0;
        while (api->EnumValue(key.get(), j, name, len) == 0) len = sizeof name, ++j;
        if (i != static_cast<std::uint32_t>(n) || j != static_cast<std::uint32_t>(n)) return -1;
        return static_cast<double>(store::ListingSteps() - before);
      };
      const double small = listingSteps(1000), large = listingSteps(2000);
      if (small <= 0 || large <= 0) return 14;
      // Counted from the start each time, 2000 entries would take about four times the steps of 1000.
      return large < 2.2 * small ? 0 : 15;
    });
    EXPECT_EQ(step, 0) << "the step of the child that failed (10 + n)";
    if (c.writerRuns) {
      ASSERT_EQ(write(done[1], &byte, 1), 1);
      ASSERT_EQ(waitpid(writer, &status, 0), writer);
      EXPECT_EQ(status, 0);
    }
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  }
}

// The store file, its -wal and its -shm are its owner's alone, whatever the umask; an empty file or
// nothing at the end of a symbolic link never becomes the store, and a store that exists behind a link
// that its user made keeps working.
TEST_F(StoreFile, TheStoreIsItsOwnersAloneAndNeverMadeThroughALink) {
  auto modeOf = [](const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  {
    ::umask(0);
    auto api = OpenTestStore(path_);
    EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), 0);
    ::umask(022);
    for (const char* part : {"", "-wal", "-shm"}) EXPECT_EQ(modeOf(path_ + part), 0600) << part;
  }
  const std::string elsewhere = dir_ + "/elsewhere.db", link = dir_ + "/link.db";
  struct Case {
    const char* what;
    bool emptyTarget;  // an empty file at the link's end (else nothing)
    long expected;
  };
  for (const Case& c : {Case{"an empty file at its end", true, kAccessDenied},
                        Case{"nothing at its end", false, kAccessDenied}}) {
    SCOPED_TRACE(c.what);
    fs::remove(elsewhere);
    fs::remove(link);
    if (c.emptyTarget) {
      WriteFile(elsewhere, "");
      fs::permissions(elsewhere, fs::perms(0644));
    }
    fs::create_symlink(elsewhere, link);
    auto api = OpenTestStore(link);
    EXPECT_EQ(Put(*api, "Software\\Acme", "v", "data"), c.expected);
    EXPECT_EQ(fs::exists(elsewhere), c.emptyTarget);
    if (c.emptyTarget) {
      EXPECT_EQ(ReadFile(elsewhere), "");
      EXPECT_EQ(modeOf(elsewhere), 0644);
    }
    for (const char* log : {"-wal", "-shm"}) {
      EXPECT_FALSE(fs::exists(link + log));
      EXPECT_FALSE(fs::exists(elsewhere + log));
    }
  }
  // A store behind a link of its user's.
  fs::remove(link);
  fs::create_symlink(path_, link);
  std::string data;
  EXPECT_EQ(Put(*OpenTestStore(link), "Software\\Acme", "w", "more"), 0);
  EXPECT_EQ(Fetch(*OpenTestStore(path_), "Software\\Acme", "w", data), 0);
  EXPECT_EQ(data, "more");
  // An empty file of its own that others may read is narrowed to its owner as it becomes the store.
  const std::string loose = dir_ + "/loose.db";
  WriteFile(loose, "");
  fs::permissions(loose, fs::perms(0644));
  EXPECT_EQ(Put(*OpenTestStore(loose), "Software\\Acme", "v", "data"), 0);
  EXPECT_EQ(modeOf(loose), 0600);
}

TEST_F(StoreFile, ThreadsWithTheirOwnConnectionsAllLand) {
  constexpr int kThreads = 4, kWrites = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto api = OpenTestStore(path_);
      for (int i = 0; i < kWrites; ++i) {
        // Every thread writes in one shared key and in its own.
        if (Put(*api, "Software\\Shared", "t" + std::to_string(t) + "-" + std::to_string(i), "x") != 0) ++failures;
        if (Put(*api, "Software\\T" + std::to_string(t), std::to_string(i), std::to_string(i)) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  auto api = OpenTestStore(path_);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) {
      std::string data;
      EXPECT_EQ(Fetch(*api, "Software\\Shared", "t" + std::to_string(t) + "-" + std::to_string(i), data), 0);
      ASSERT_EQ(Fetch(*api, "Software\\T" + std::to_string(t), std::to_string(i), data), 0);
      EXPECT_EQ(data, std::to_string(i));
    }
  }
}

TEST_F(StoreFile, ProcessesWritingAtTheSameTimeAllLand) {
  constexpr int kProcesses = 4, kWrites = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto api = OpenTestStore(path_);
      int failed = 0;
      for (int i = 0; i < kWrites; ++i) {
        long rc = Put(*api, "Software\\Shared\\Sub" + std::to_string(i % 7), "p" + std::to_string(p) + "-" + std::to_string(i),
                      std::to_string(i));
        if (rc != 0) {
          std::fprintf(stderr, "writer %d, write %d: code %ld\n", p, i, rc);
          ++failed;
        }
      }
      _exit(failed == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw an error";
  }
  auto api = OpenTestStore(path_);
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      std::string data;
      ASSERT_EQ(Fetch(*api, "Software\\Shared\\Sub" + std::to_string(i % 7), "p" + std::to_string(p) + "-" + std::to_string(i), data), 0);
      EXPECT_EQ(data, std::to_string(i));
    }
  }
}

// Data of value i: 20,000 bytes, all derived from i, so that a torn value would show.
std::string Pattern(int i) {
  std::string data(20000, '\0');
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>((i * 31 + static_cast<int>(k)) & 0xff);
  return data;
}

TEST_F(StoreFile, AWriterKilledMidWayLeavesAConsistentStore) {
  {
    auto api = OpenTestStore(path_);
    ASSERT_EQ(Put(*api, "Software\\Before", "v", "kept"), 0);
  }
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipefd[0]);
    auto api = OpenTestStore(path_);
    for (int i = 0;; ++i) {
      if (Put(*api, "Software\\Killed\\K" + std::to_string(i % 13), "v" + std::to_string(i), Pattern(i)) != 0) _exit(1);
      // Tell the parent that value i was answered with success.
      if (write(pipefd[1], &i, sizeof i) != sizeof i) _exit(2);
    }
  }
  close(pipefd[1]);
  int last = -1, got = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(400) && read(pipefd[0], &got, sizeof got) == sizeof got) {
    last = got;
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipefd[0]);
  ASSERT_GT(last, 10) << "the writer made too little progress to test anything";

  EXPECT_EQ(IntegrityCheck(path_), "ok");

  auto api = OpenTestStore(path_);
  std::string data;
  ASSERT_EQ(Fetch(*api, "Software\\Before", "v", data), 0);
  EXPECT_EQ(data, "kept");
  // Every value reported written is there whole; the one being written at the kill is whole or absent.
  for (int i = 0; i <= last + 1; ++i) {
    long rc = Fetch(*api, "Software\\Killed\\K" + std::to_string(i % 13), "v" + std::to_string(i), data);
    if (i <= last) {
      ASSERT_EQ(rc, 0) << i;
    }
    if (rc == 0) {
      EXPECT_TRUE(data == Pattern(i)) << "value " << i << " is torn";
    }
  }
  EXPECT_EQ(Put(*api, "Software\\After", "v", "fine"), 0);
}

TEST_F(StoreFile, HandlesAreUniqueAcrossStoresAndKeepTheirStore) {
  auto first = OpenTestStore(path_);
  auto second = OpenTestStore(dir_ + "/second.db");
  ASSERT_EQ(Put(*first, "Software\\A", "v", "first"), 0);
  ASSERT_EQ(Put(*second, "Software\\A", "v", "second"), 0);
  RegHandle a = 0, b = 0;
  ASSERT_EQ(first->OpenKey(kHKCU, "Software\\A", kAll, a), 0);
  ASSERT_EQ(second->OpenKey(kHKCU, "Software\\A", kAll, b), 0);
  EXPECT_NE(a, b);
  second.reset();
  std::uint8_t buffer[16];
  std::uint32_t size = sizeof buffer;
  ASSERT_EQ(first->QueryValue(b, "v", nullptr, buffer, &size), 0) << "a handle answers from its own store";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "second");
  EXPECT_EQ(first->CloseKey(a), 0);
  EXPECT_EQ(first->CloseKey(b), 0);
}

TEST_F(StoreFile, ARegisteredMachineIsReachedThroughItsOwnStore) {
  const std::string remotePath = dir_ + "/remote.db";
  {
    auto remote = OpenRegistryStore(remotePath);  // another machine's registry: one file
    KeyHandle key(*remote);
    ASSERT_EQ(remote->CreateKey(kHKLM, "SOFTWARE\\Acme", kAll, key.out()), 0);
    ASSERT_EQ(remote->SetValue(key.get(), "where", 3, reinterpret_cast<const std::uint8_t*>("remote"), 6), 0);
  }
  auto api = OpenTestStore(path_);
  RegHandle root = 0;
  EXPECT_EQ(api->ConnectRegistry("\\\\seam-test-box", kHKLM, root), kBadNetPath);
  RegisterMachineStore("\\\\Seam-Test-Box", remotePath);
  ASSERT_EQ(api->ConnectRegistry("\\\\SEAM-TEST-BOX", kHKLM, root), 0);
  {
    KeyHandle key(*api);
    ASSERT_EQ(api->OpenKey(root, "SOFTWARE\\Acme", kKeyQueryValue, key.out()), 0);
    std::uint8_t buffer[16];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(api->QueryValue(key.get(), "where", nullptr, buffer, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "remote");
  }
  EXPECT_EQ(api->CloseKey(root), 0);
  RegHandle user = 0;
  EXPECT_EQ(api->ConnectRegistry("\\\\seam-test-box", kHKCU, user), kInvalidHandle)
      << "a remote registry offers HKEY_LOCAL_MACHINE and HKEY_USERS only";
  RegisterMachineStore("\\\\seam-test-box", "");
  EXPECT_EQ(api->ConnectRegistry("\\\\seam-test-box", kHKLM, root), kBadNetPath);
  RegHandle local = 0;
  EXPECT_EQ(api->ConnectRegistry("", kHKCU, local), 0);
  EXPECT_EQ(local, kHKCU);
}

TEST(StorePath, FollowsTheEnvironment) {
  auto keep = [](const char* name) {
    const char* v = std::getenv(name);
    return std::pair<std::string, bool>(v ? v : "", v != nullptr);
  };
  auto restore = [](const char* name, const std::pair<std::string, bool>& v) {
    if (v.second) setenv(name, v.first.c_str(), 1); else unsetenv(name);
  };
  auto store = keep("CREGISTRY_STORE"), xdg = keep("XDG_DATA_HOME"), home = keep("HOME");
  setenv("CREGISTRY_STORE", "/somewhere/my.db", 1);
  EXPECT_EQ(DefaultStorePath(), "/somewhere/my.db");
  unsetenv("CREGISTRY_STORE");
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(DefaultStorePath(), "/data/cregistry/registry.db");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(DefaultStorePath(), "/home/someone/.local/share/cregistry/registry.db");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(DefaultStorePath(), "/home/someone/.local/share/cregistry/registry.db");
  restore("CREGISTRY_STORE", store);
  restore("XDG_DATA_HOME", xdg);
  restore("HOME", home);
}

}  // namespace
}  // namespace cregistry::seamtest
