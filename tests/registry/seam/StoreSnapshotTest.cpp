// Read snapshots of the registry store on a real store file: one state for every read of the body while
// another connection commits, reads inside answering exactly what the same reads answer outside, writes
// refused, nesting, other threads, and no read transaction left once the call returns.
#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "SeamFixture.h"
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;

class StoreSnapshot : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    api_ = OpenTestStore(path_);
    ASSERT_EQ(PutText(*api_, "Software\\Snap", "v", "old"), 0);
    ASSERT_EQ(PutText(*api_, "Software\\Snap\\Child", "c", "child"), 0);
  }
  void TearDown() override {
    api_.reset();
    StoreDir::TearDown();
  }

  // Every read of a key: its longest value name, each value listed with its type and data (read with a
  // buffer of 8 bytes first, as a caller that learns the size does), then each sub-key, and the answers
  // to a value and a key that are not there.
  static std::string Read(RegistryApi& api, const std::string& path) {
    KeyHandle key(api);
    if (long rc = api.OpenKey(kHKCU, path.c_str(), kAll, key.out())) return "<open " + std::to_string(rc) + ">";
    std::uint32_t longest = 0;
    std::string out = "info " + std::to_string(api.QueryInfoKey(key.get(), longest)) + " " + std::to_string(longest);
    for (std::uint32_t i = 0;; ++i) {
      char name[300];
      std::uint32_t len = sizeof name;
      long rc = api.EnumValue(key.get(), i, name, len);
      out += "|value " + std::to_string(rc);
      if (rc != kSuccess) break;
      std::uint32_t type = 0, size = 8;
      std::string data(8, '\0');
      rc = api.QueryValue(key.get(), name, &type, reinterpret_cast<std::uint8_t*>(data.data()), &size);
      if (rc == kMoreData) {
        data.resize(size);
        rc = api.QueryValue(key.get(), name, &type, reinterpret_cast<std::uint8_t*>(data.data()), &size);
      }
      data.resize(size);
      out += " " + std::string(name, len) + " " + std::to_string(rc) + " " + std::to_string(type) + " " +
             std::to_string(size) + " " + std::to_string(std::hash<std::string>{}(data));
    }
    std::uint32_t size = 0;
    out += "|missing " + std::to_string(api.QueryValue(key.get(), "missing", nullptr, nullptr, &size));
    char name[300];
    std::vector<std::string> subKeys;
    for (std::uint32_t i = 0; api.EnumKey(key.get(), i, name, sizeof name) == kSuccess; ++i) subKeys.emplace_back(name);
    subKeys.push_back("NoSuchKey");
    // Each sub-key opened by its name and by its name in upper case, and what the handle reads.
    for (const auto& sub : subKeys) {
      std::string upper = sub;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      for (const auto& spelling : {sub, upper}) {
        KeyHandle child(api);
        long rc = api.OpenKey(key.get(), spelling.c_str(), kAll, child.out());
        std::uint32_t childLongest = 0;
        out += "|key " + spelling + " " + std::to_string(rc);
        if (rc == kSuccess) {
          const long info = api.QueryInfoKey(child.get(), childLongest);
          out += " " + std::to_string(info) + " " + std::to_string(childLongest);
        }
      }
    }
    return out;
  }

  std::shared_ptr<RegistryApi> api_;
};

TEST_F(StoreSnapshot, EveryReadSeesTheStateOfItsStartWhileAnotherConnectionCommits) {
  auto other = OpenTestStore(path_);
  const std::string before = Read(*api_, "Software\\Snap");
  std::string first, during, last;
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&]() -> long {
    // The other connection commits before the body's first read, and between its reads.
    if (long rc = PutText(*other, "Software\\Snap", "v", "new")) return rc;
    first = Read(*api_, "Software\\Snap");
    if (long rc = PutText(*other, "Software\\Snap", "added", "x")) return rc;
    if (long rc = PutText(*other, "Software\\Snap\\Second", "s", "x")) return rc;
    if (long rc = other->DeleteKey(kHKCU, "Software\\Snap\\Child")) return rc;
    during = FetchText(*api_, "Software\\Snap", "v") + "," + FetchText(*api_, "Software\\Snap\\Child", "c");
    last = Read(*api_, "Software\\Snap");
    return kSuccess;
  }), 0);
  EXPECT_EQ(first, before);
  EXPECT_EQ(last, before);
  EXPECT_EQ(during, "old,child");
  // Once the call returns, the connection reads the other's commits.
  EXPECT_EQ(FetchText(*api_, "Software\\Snap", "v"), "new");
  EXPECT_EQ(FetchText(*api_, "Software\\Snap", "added"), "x");
  EXPECT_EQ(SubKeyNames(*api_, "Software\\Snap"), std::vector<std::string>{"Second"});
}

// The reads of a snapshot answer what the same reads answer outside: every type and size of value, a
// key whose data is too large to read in one go (over 4 MiB: read value by value), an empty key, a key
// deleted after its handle was opened.
TEST_F(StoreSnapshot, ReadsInsideAnswerWhatTheSameReadsAnswerOutside) {
  for (int i = 0; i < 40; ++i) {
    std::string data(static_cast<std::size_t>(i * 7), static_cast<char>('a' + i % 26));
    KeyHandle key(*api_);
    ASSERT_EQ(api_->CreateKey(kHKCU, "Software\\Snap\\Many", kAll, key.out()), 0);
    ASSERT_EQ(api_->SetValue(key.get(), ("Name" + std::to_string(i)).c_str(), static_cast<std::uint32_t>(i % 12),
                             reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::uint32_t>(data.size())),
              0);
  }
  {
    KeyHandle key(*api_);
    ASSERT_EQ(api_->CreateKey(kHKCU, "Software\\Snap\\Large", kAll, key.out()), 0);
    for (int i = 0; i < 3; ++i) {
      std::string data(2 << 20, static_cast<char>('0' + i));
      ASSERT_EQ(api_->SetValue(key.get(), ("big" + std::to_string(i)).c_str(), 3,
                               reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::uint32_t>(data.size())),
                0);
    }
    KeyHandle empty(*api_);
    ASSERT_EQ(api_->CreateKey(kHKCU, "Software\\Snap\\Empty", kAll, empty.out()), 0);
  }
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(PutText(*api_, "Software\\Snap\\Many\\Sub" + std::to_string(i), "n" + std::string(static_cast<std::size_t>(i), 'x'), "v"), 0);
  }
  const std::vector<std::string> paths{"Software\\Snap", "Software\\Snap\\Many", "Software\\Snap\\Large",
                                       "Software\\Snap\\Empty", "Software\\Snap\\Nowhere"};
  std::vector<std::string> outside, inside;
  for (const auto& p : paths) outside.push_back(Read(*api_, p));
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&] {
    // Twice, and crosswise: the value list of one key must not answer for another.
    for (const auto& p : paths) inside.push_back(Read(*api_, p));
    for (const auto& p : paths) inside.push_back(Read(*api_, p));
    return kSuccess;
  }), 0);
  ASSERT_EQ(inside.size(), 2 * outside.size());
  for (std::size_t i = 0; i < inside.size(); ++i) EXPECT_EQ(inside[i], outside[i % outside.size()]) << paths[i % paths.size()];
  EXPECT_NE(outside[1].find("|value 259"), std::string::npos);
  EXPECT_NE(outside[2].find("big2 0 3 2097152"), std::string::npos) << outside[2];
  EXPECT_NE(outside[1].find("|key SUB29 0 0 30|"), std::string::npos) << outside[1];
  EXPECT_NE(outside[1].find("|key NOSUCHKEY 2"), std::string::npos) << outside[1];

  // A key deleted by another connection after this one opened it: the snapshot of after the deletion
  // answers kKeyDeleted to every read of the handle, as a read outside does.
  KeyHandle gone(*api_);
  ASSERT_EQ(api_->CreateKey(kHKCU, "Software\\Snap\\Gone", kAll, gone.out()), 0);
  ASSERT_EQ(PutText(*api_, "Software\\Snap\\Gone", "g", "x"), 0);
  auto other = OpenTestStore(path_);
  {
    KeyHandle k(*other);
    ASSERT_EQ(other->OpenKey(kHKCU, "Software\\Snap\\Gone", kAll, k.out()), 0);
    ASSERT_EQ(other->DeleteValue(k.get(), "g"), 0);
  }
  ASSERT_EQ(other->DeleteKey(kHKCU, "Software\\Snap\\Gone"), 0);
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&] {
    char name[64];
    std::uint32_t len = sizeof name, longest = 0, size = 0;
    EXPECT_EQ(api_->EnumValue(gone.get(), 0, name, len), kKeyDeleted);
    EXPECT_EQ(api_->QueryValue(gone.get(), "g", nullptr, nullptr, &size), kKeyDeleted);
    EXPECT_EQ(api_->QueryInfoKey(gone.get(), longest), kKeyDeleted);
    EXPECT_EQ(api_->EnumKey(gone.get(), 0, name, sizeof name), kKeyDeleted);
    return kSuccess;
  }), 0);
}

TEST_F(StoreSnapshot, WritesInsideAreRefusedAndNestingIsRefused) {
  long nested = -1, nestedTransaction = -1;
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&]() -> long {
    EXPECT_EQ(PutText(*api_, "Software\\Snap", "v", "changed"), kAccessDenied);
    EXPECT_EQ(PutText(*api_, "Software\\Snap\\New", "n", "x"), kAccessDenied);
    KeyHandle key(*api_);
    EXPECT_EQ(api_->OpenKey(kHKCU, "Software\\Snap", kAll, key.out()), 0);
    EXPECT_EQ(api_->DeleteValue(key.get(), "v"), kAccessDenied);
    EXPECT_EQ(api_->DeleteKey(kHKCU, "Software\\Snap\\Child"), kAccessDenied);
    nested = RunAsOneSnapshot(*api_, [] { return kSuccess; });
    nestedTransaction = RunAsOneTransaction(*api_, [] { return kSuccess; });
    return kInvalidData;
  }), kInvalidData) << "body's answer passes on";
  EXPECT_EQ(nested, kInvalidParameter);
  EXPECT_EQ(nestedTransaction, kInvalidParameter);
  EXPECT_EQ(RunAsOneTransaction(*api_, [&] { return RunAsOneSnapshot(*api_, [] { return kSuccess; }); }),
            kInvalidParameter);
  EXPECT_EQ(Read(*api_, "Software\\Snap"), Read(*OpenTestStore(path_), "Software\\Snap"));
  EXPECT_EQ(FetchText(*api_, "Software\\Snap", "v"), "old");
  EXPECT_EQ(FetchText(*api_, "Software\\Snap\\Child", "c"), "child");
  EXPECT_EQ(PutText(*api_, "Software\\Snap", "v", "after"), 0) << "writes work again after the call";
}

TEST_F(StoreSnapshot, NoReadTransactionOutlivesTheCallSoTheLogCanStartOver) {
  int busy = -1;
  int busyInside = -1;
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&]() -> long {
    Read(*api_, "Software\\Snap");
    TruncateNow(busyInside);
    return kSuccess;
  }), 0);
  EXPECT_EQ(busyInside, 1) << "the snapshot holds no read transaction";
  EXPECT_THROW(RunAsOneSnapshot(*api_, [&]() -> long {
    Read(*api_, "Software\\Snap");
    throw std::runtime_error("body failed");
  }), std::runtime_error);
  EXPECT_EQ(RunAsOneSnapshot(*api_, [&] { return Read(*api_, "Software\\Snap").empty() ? kSuccess : kInvalidData; }),
            kInvalidData);
  ASSERT_EQ(TruncateNow(busy), SQLITE_OK);
  EXPECT_EQ(busy, 0) << "a read transaction of a snapshot is still open";
  EXPECT_EQ(FileSize(path_ + "-wal"), 0);
}

TEST_F(StoreSnapshot, OtherThreadsWaitForTheSnapshotAndAreNotPartOfIt) {
  std::atomic<bool> done{false};
  std::atomic<long> answer{-1};
  std::thread writer;
  ASSERT_EQ(RunAsOneSnapshot(*api_, [&]() -> long {
    writer = std::thread([&] {
      answer = PutText(*api_, "Software\\Snap", "v", "from the thread");
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done) << "another thread's call ran inside the snapshot";
    return FetchText(*api_, "Software\\Snap", "v") == "old" ? kSuccess : kInvalidData;
  }), 0);
  writer.join();
  EXPECT_EQ(answer, 0) << "the thread's write is not refused as the snapshot's own would be";
  EXPECT_EQ(FetchText(*api_, "Software\\Snap", "v"), "from the thread");
}

TEST_F(StoreSnapshot, WorksWithoutAStoreFileAndCreatesNone) {
  auto none = OpenTestStore(dir_ + "/none/registry.db");
  std::string read;
  ASSERT_EQ(RunAsOneSnapshot(*none, [&] {
    read = FetchText(*none, "Software\\Snap", "v");
    return kSuccess;
  }), 0);
  EXPECT_EQ(read, "<2>");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none"));
}

}  // namespace
}  // namespace cregistry::seamtest
