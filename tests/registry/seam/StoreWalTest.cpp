// The registry store's write-ahead log: no call leaves a statement or a read snapshot behind that would
// keep a checkpoint from finishing, and the log is cut back once it passes its bound even while readers
// keep coming.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "SeamFixture.h"
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
namespace fs = std::filesystem;

class StoreWal : public StoreDir {
 protected:
  long WalSize() const { return FileSize(path_ + "-wal"); }
  static long SetText(RegistryApi& api, RegHandle key, const std::string& name, const std::string& text) {
    return api.SetValue(key, name.c_str(), 1, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                        static_cast<std::uint32_t>(text.size() + 1));
  }
};

TEST_F(StoreWal, NoCallLeavesAReadSnapshotOrStatementBehind) {
  auto api = OpenTestStore(path_);
  KeyHandle key(*api);
  ASSERT_EQ(api->CreateKey(kHKCU, "Software\\Wal", kAll, key.out()), 0);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(SetText(*api, key.get(), "v" + std::to_string(i), std::string(500, 'x')), 0);
    KeyHandle sub(*api);
    ASSERT_EQ(api->CreateKey(key.get(), ("k" + std::to_string(i)).c_str(), kAll, sub.out()), 0);
  }
  // Calls of every kind, listings stopped halfway, failures, a transaction that lands and one that
  // does not.
  char name[64];
  std::uint32_t len = sizeof name, size = 0, longest = 0;
  EXPECT_EQ(api->EnumKey(key.get(), 0, name, sizeof name), 0);
  EXPECT_EQ(api->EnumKey(key.get(), 1, name, sizeof name), 0);
  EXPECT_EQ(api->EnumValue(key.get(), 0, name, len), 0);
  EXPECT_EQ(api->QueryValue(key.get(), "v3", nullptr, nullptr, &size), 0);
  EXPECT_EQ(api->QueryValue(key.get(), "missing", nullptr, nullptr, &size), kFileNotFound);
  EXPECT_EQ(api->QueryInfoKey(key.get(), longest), 0);
  EXPECT_EQ(api->DeleteKey(kHKCU, "Software\\Wal"), kAccessDenied);
  EXPECT_EQ(RunAsOneTransaction(*api, [&] { return SetText(*api, key.get(), "t", "landed"); }), 0);
  EXPECT_EQ(RunAsOneTransaction(*api, [&]() -> long {
    SetText(*api, key.get(), "u", "taken back");
    return kInvalidData;
  }), kInvalidData);
  EXPECT_EQ(api->EnumKey(key.get(), 2, name, sizeof name), 0);

  int busy = -1;
  EXPECT_EQ(TruncateNow(busy), SQLITE_OK);
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(WalSize(), 0) << "the log was not cut back: something still holds it";
  // And the connection goes on as before.
  EXPECT_EQ(api->EnumKey(key.get(), 3, name, sizeof name), 0);
  EXPECT_EQ(SetText(*api, key.get(), "after", "x"), 0);
}

// Several connections writing and reading at once, as several processes do: there is nearly always a
// reader in the log, so without the truncating checkpoint it would never start over.
TEST_F(StoreWal, TheLogIsCutBackWhileReadersKeepComing) {
  {
    auto api = OpenTestStore(path_);
    KeyHandle key(*api);
    ASSERT_EQ(api->CreateKey(kHKCU, "Software\\Wal", kAll, key.out()), 0);
  }
  constexpr int kThreads = 4, kWrites = 4000;
  std::atomic<long> largest{0}, failures{0}, reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto api = OpenTestStore(path_);
      KeyHandle key(*api);
      if (api->OpenKey(kHKCU, "Software\\Wal", kAll, key.out()) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kWrites; ++i) {
        // About 2 KiB a write: some 35 MiB of log frames in all, four times the bound.
        if (SetText(*api, key.get(), "v" + std::to_string(t) + "-" + std::to_string(i % 100), std::string(2000, 'a' + i % 26)) != 0) ++failures;
        for (int r = 0; r < 3; ++r) {
          std::uint32_t size = 0;
          api->QueryValue(key.get(), ("v" + std::to_string((t + r + 1) % kThreads) + "-1").c_str(), nullptr, nullptr, &size);
          ++reads;
        }
        if (i % 50 == 0) {
          long now = WalSize();
          long seen = largest;
          while (now > seen && !largest.compare_exchange_weak(seen, now)) {
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(reads.load(), 1000);
  EXPECT_LT(largest.load(), 32L << 20) << "the log grew past its bound and was not cut back";
  EXPECT_LT(WalSize(), 32L << 20);
}

}  // namespace
}  // namespace cregistry::seamtest
