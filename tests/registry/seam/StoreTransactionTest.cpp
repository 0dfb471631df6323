// The registry store's transactions on a real store file: what lands and what is taken back, as this
// connection, a fresh one and a concurrent one see it; handles to keys that were taken back; other
// threads of the connection; a writer process killed in the middle of a long transaction.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "SeamFixture.h"
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class StoreTransaction : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    api_ = OpenTestStore(path_);
    // What every test starts from: a key with a value and a sub-key, all committed.
    ASSERT_EQ(PutText(*api_, "Software\\Old", "v", "old"), 0);
    ASSERT_EQ(PutText(*api_, "Software\\Old\\Child", "c", "child"), 0);
  }
  void TearDown() override {
    api_.reset();
    StoreDir::TearDown();
  }

  // Everything a transaction of Change() touches, as a connection sees it.
  static std::string State(RegistryApi& api) {
    std::string state = FetchText(api, "Software\\Old", "v") + "|" + FetchText(api, "Software\\Old\\Child", "c") + "|" +
                        FetchText(api, "Software\\New\\Deep", "n") + "|";
    for (const auto& n : SubKeyNames(api, "Software")) state += n + ",";
    state += "|";
    for (const auto& n : SubKeyNames(api, "Software\\Old")) state += n + ",";
    return state;
  }
  static constexpr const char* kBefore = "old|child|<2>|Old,|Child,";
  static constexpr const char* kAfter = "new|<2>|fresh|New,Old,|";

  // Changes every kind of thing (a value replaced, a key with its value deleted, keys and a value
  // created), reading each change back inside: the transaction's reads see its writes.
  long Change(RegistryApi& api) {
    if (long rc = PutText(api, "Software\\Old", "v", "new")) return rc;
    if (FetchText(api, "Software\\Old", "v") != "new") return kBadDb;
    {
      KeyHandle child(api);
      if (long rc = api.OpenKey(kHKCU, "Software\\Old\\Child", kAll, child.out())) return rc;
      if (long rc = api.DeleteValue(child.get(), "c")) return rc;
      if (FetchText(api, "Software\\Old\\Child", "c") != "<2>") return kBadDb;
    }
    if (long rc = api.DeleteKey(kHKCU, "Software\\Old\\Child")) return rc;
    if (long rc = PutText(api, "Software\\New\\Deep", "n", "fresh")) return rc;
    if (State(api) != kAfter) return kBadDb;
    return kSuccess;
  }

  std::shared_ptr<RegistryApi> api_;
};

TEST_F(StoreTransaction, ACommitLandsEverythingForThisAndAFreshConnection) {
  ASSERT_EQ(State(*api_), kBefore);  // fills this connection's read cache
  ASSERT_EQ(RunAsOneTransaction(*api_, [&] { return Change(*api_); }), 0);
  EXPECT_EQ(State(*api_), kAfter);
  EXPECT_EQ(State(*OpenTestStore(path_)), kAfter);
}

TEST_F(StoreTransaction, AFailureCodeTakesBackEverythingForThisAndAFreshConnection) {
  ASSERT_EQ(State(*api_), kBefore);
  long rc = RunAsOneTransaction(*api_, [&]() -> long {
    if (long r = Change(*api_)) return r;
    return kDiskFull;
  });
  EXPECT_EQ(rc, kDiskFull);
  EXPECT_EQ(State(*api_), kBefore);
  EXPECT_EQ(State(*OpenTestStore(path_)), kBefore);
  // The connection goes on writing normally.
  EXPECT_EQ(PutText(*api_, "Software\\After", "a", "after"), 0);
  EXPECT_EQ(FetchText(*OpenTestStore(path_), "Software\\After", "a"), "after");
}

TEST_F(StoreTransaction, AnExceptionTakesBackEverythingAndPassesOn) {
  ASSERT_EQ(State(*api_), kBefore);
  EXPECT_THROW(RunAsOneTransaction(*api_, [&]() -> long {
    if (long r = Change(*api_)) return r;
    throw std::runtime_error("body failed");
  }), std::runtime_error);
  EXPECT_EQ(State(*api_), kBefore);
  EXPECT_EQ(State(*OpenTestStore(path_)), kBefore);
}

TEST_F(StoreTransaction, ListingStepsAreRightAfterARollback) {
  for (const char* name : {"Software\\L\\b", "Software\\L\\d"}) ASSERT_EQ(PutText(*api_, name, "v", "x"), 0);
  KeyHandle list(*api_);
  ASSERT_EQ(api_->OpenKey(kHKCU, "Software\\L", kAll, list.out()), 0);
  char name[64];
  long rc = RunAsOneTransaction(*api_, [&]() -> long {
    for (const char* n : {"Software\\L\\a", "Software\\L\\c"}) PutText(*api_, n, "v", "x");
    // Listing inside sees the new keys, and leaves the cursor standing on one of them.
    for (std::uint32_t i = 0; i < 3; ++i) api_->EnumKey(list.get(), i, name, sizeof name);
    return std::string(name) == "c" ? kInvalidData : kBadDb;
  });
  ASSERT_EQ(rc, kInvalidData);
  // The step after the one the transaction made last, first: the cursor must not go on from there.
  EXPECT_EQ(api_->EnumKey(list.get(), 3, name, sizeof name), kNoMoreItems);
  EXPECT_EQ(api_->EnumKey(list.get(), 2, name, sizeof name), kNoMoreItems);
  ASSERT_EQ(api_->EnumKey(list.get(), 0, name, sizeof name), 0);
  EXPECT_STREQ(name, "b");
  ASSERT_EQ(api_->EnumKey(list.get(), 1, name, sizeof name), 0);
  EXPECT_STREQ(name, "d");
  EXPECT_EQ(api_->EnumKey(list.get(), 2, name, sizeof name), kNoMoreItems);
}

TEST_F(StoreTransaction, HandlesToKeysTakenBackAnswerKeyDeletedEvenWhenTheirIdsComeBack) {
  RegHandle made = 0, madeDeep = 0, old = 0;
  long rc = RunAsOneTransaction(*api_, [&]() -> long {
    if (long r = api_->CreateKey(kHKCU, "Software\\Gone", kAll, made)) return r;
    if (long r = api_->CreateKey(made, "Deeper", kAll, madeDeep)) return r;
    if (long r = api_->OpenKey(kHKCU, "Software\\Old", kAll, old)) return r;
    return kInvalidData;
  });
  ASSERT_EQ(rc, kInvalidData);
  // New keys, here and from another connection, now take the ids the taken-back keys had.
  ASSERT_EQ(PutText(*OpenTestStore(path_), "Software\\Other", "o", "other"), 0);
  ASSERT_EQ(PutText(*api_, "Software\\Gone", "g", "recreated"), 0);
  ASSERT_EQ(PutText(*api_, "Software\\Third", "t", "third"), 0);
  for (RegHandle h : {made, madeDeep}) {
    std::uint32_t size = 0, len = 0, type = 4, v = 1;
    char name[64];
    RegHandle sub = 0;
    EXPECT_EQ(api_->QueryValue(h, "g", nullptr, nullptr, &size), kKeyDeleted);
    EXPECT_EQ(api_->QueryValue(h, "o", nullptr, nullptr, &size), kKeyDeleted);
    EXPECT_EQ(api_->SetValue(h, "x", type, reinterpret_cast<const std::uint8_t*>(&v), 4), kKeyDeleted);
    EXPECT_EQ(api_->EnumValue(h, 0, name, len = sizeof name), kKeyDeleted);
    EXPECT_EQ(api_->EnumKey(h, 0, name, sizeof name), kKeyDeleted);
    EXPECT_EQ(api_->QueryInfoKey(h, len), kKeyDeleted);
    EXPECT_EQ(api_->OpenKey(h, "", kAll, sub), kKeyDeleted);
    EXPECT_EQ(api_->CreateKey(h, "x", kAll, sub), kKeyDeleted);
    EXPECT_EQ(api_->DeleteKey(h, ""), kKeyDeleted);
    EXPECT_EQ(api_->CloseKey(h), 0);
  }
  // A key that existed before stays reachable through the handle the transaction opened.
  std::uint32_t size = 0;
  EXPECT_EQ(api_->QueryValue(old, "v", nullptr, nullptr, &size), 0);
  EXPECT_EQ(api_->CloseKey(old), 0);
  EXPECT_EQ(FetchText(*api_, "Software\\Gone", "g"), "recreated");
  EXPECT_EQ(FetchText(*api_, "Software\\Other", "o"), "other");
}

TEST_F(StoreTransaction, AFailedCallInsideDoesNotEndTheTransaction) {
  long rc = RunAsOneTransaction(*api_, [&]() -> long {
    if (long r = PutText(*api_, "Elsewhere\\A", "a", "1")) return r;
    // A refused write (a key with sub-keys) is answered and changes nothing; the body goes on.
    if (api_->DeleteKey(kHKCU, "Software\\Old") != kAccessDenied) return kBadDb;
    return PutText(*api_, "Elsewhere\\B", "b", "2");
  });
  ASSERT_EQ(rc, 0);
  auto fresh = OpenTestStore(path_);
  EXPECT_EQ(FetchText(*fresh, "Elsewhere\\A", "a"), "1");
  EXPECT_EQ(FetchText(*fresh, "Elsewhere\\B", "b"), "2");
  EXPECT_EQ(State(*fresh), kBefore);
}

// Inside a transaction, values are set without asking again whether a key known to exist still does:
// deleting a key (this one or another) must end that knowledge, or a value would land in no key.
TEST_F(StoreTransaction, AValueSetThroughAHandleOfAKeyDeletedInsideAnswersKeyDeleted) {
  long afterDelete = -1, afterOtherDelete = -1;
  ASSERT_EQ(RunAsOneTransaction(*api_, [&]() -> long {
    KeyHandle key(*api_), other(*api_);
    if (long r = api_->CreateKey(kHKCU, "Software\\Doomed", kAll, key.out())) return r;
    if (long r = api_->CreateKey(kHKCU, "Software\\Doomed2", kAll, other.out())) return r;
    for (RegHandle h : {key.get(), other.get(), key.get()}) {
      if (long r = api_->SetValue(h, "v", 4, reinterpret_cast<const std::uint8_t*>("abcd"), 4)) return r;
    }
    if (long r = api_->DeleteKey(kHKCU, "Software\\Doomed")) return r;
    afterDelete = api_->SetValue(key.get(), "w", 4, reinterpret_cast<const std::uint8_t*>("abcd"), 4);
    if (long r = api_->SetValue(other.get(), "v", 4, reinterpret_cast<const std::uint8_t*>("abcd"), 4)) return r;
    if (long r = api_->DeleteKey(kHKCU, "Software\\Doomed2")) return r;
    afterOtherDelete = api_->SetValue(other.get(), "w", 4, reinterpret_cast<const std::uint8_t*>("abcd"), 4);
    return kSuccess;
  }), 0);
  EXPECT_EQ(afterDelete, kKeyDeleted);
  EXPECT_EQ(afterOtherDelete, kKeyDeleted);
  EXPECT_EQ(SqlAnswer(path_, "SELECT count(*) FROM vals WHERE key NOT IN (SELECT id FROM keys)"), "0");
  EXPECT_EQ(SubKeyNames(*api_, "Software"), Names{"Old"});
}

TEST_F(StoreTransaction, AnotherConnectionSeesNothingUntilTheCommit) {
  auto other = OpenTestStore(path_);
  ASSERT_EQ(State(*other), kBefore);
  std::string seenInside;
  ASSERT_EQ(RunAsOneTransaction(*api_, [&]() -> long {
    long r = Change(*api_);
    seenInside = State(*other);  // reads never wait for the writer
    return r;
  }), 0);
  EXPECT_EQ(seenInside, kBefore);
  EXPECT_EQ(State(*other), kAfter);
}

// A reader on its own connection, reading Y and then X while transactions set Y and then X to the same
// number: a reader that could see one write of a transaction without the other would find Y > X.
TEST_F(StoreTransaction, AConcurrentReaderNeverSeesAPartialTransaction) {
  ASSERT_EQ(PutText(*api_, "Software\\Pair\\Y", "n", "0"), 0);
  ASSERT_EQ(PutText(*api_, "Software\\Pair\\X", "n", "0"), 0);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    auto mine = OpenTestStore(path_);
    while (!done) {
      int y = std::atoi(FetchText(*mine, "Software\\Pair\\Y", "n").c_str());
      int x = std::atoi(FetchText(*mine, "Software\\Pair\\X", "n").c_str());
      if (y > x) ++torn;
      ++reads;
    }
  });
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(RunAsOneTransaction(*api_, [&]() -> long {
      if (long r = PutText(*api_, "Software\\Pair\\Y", "n", std::to_string(i))) return r;
      std::this_thread::yield();
      return PutText(*api_, "Software\\Pair\\X", "n", std::to_string(i));
    }), 0);
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 10) << "the reader hardly ran";
  EXPECT_EQ(torn.load(), 0);
}

TEST_F(StoreTransaction, OtherThreadsOfTheConnectionWaitAndAreNotPartOfIt) {
  std::atomic<bool> started{false}, finished{false};
  std::thread other;
  long rc = RunAsOneTransaction(*api_, [&]() -> long {
    PutText(*api_, "Software\\Mine", "m", "mine");
    other = std::thread([&] {
      started = true;
      PutText(*api_, "Software\\Theirs", "t", "theirs");
      finished = true;
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return finished ? kBadDb : kInvalidData;
  });
  other.join();
  EXPECT_EQ(rc, kInvalidData) << "the other thread's call ran inside the transaction";
  EXPECT_EQ(FetchText(*api_, "Software\\Mine", "m"), "<2>");
  EXPECT_EQ(FetchText(*OpenTestStore(path_), "Software\\Theirs", "t"), "theirs");
}

TEST_F(StoreTransaction, AWriterKilledInALongTransactionLeavesNoneOfItAndKeepsWhatCommitted) {
  api_.reset();
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipefd[0]);
    auto api = OpenTestStore(path_);
    auto tell = [&](int n) {
      if (write(pipefd[1], &n, sizeof n) != sizeof n) _exit(2);
    };
    long rc = RunAsOneTransaction(*api, [&]() -> long {
      for (int i = 0; i < 500; ++i) {
        if (long r = PutText(*api, "Software\\Landed\\K" + std::to_string(i % 17), "v" + std::to_string(i), "landed")) return r;
      }
      return kSuccess;
    });
    if (rc != 0) _exit(1);
    tell(-1);  // the first transaction committed
    RunAsOneTransaction(*api, [&]() -> long {
      for (int i = 0;; ++i) {
        if (long r = PutText(*api, "Software\\Killed\\K" + std::to_string(i % 17), "v" + std::to_string(i), std::string(300, 'k'))) return r;
        if (i % 100 == 0) tell(i);
      }
    });
    _exit(3);
  }
  close(pipefd[1]);
  int got = 0;
  bool committed = false;
  int progress = 0;
  while (read(pipefd[0], &got, sizeof got) == sizeof got) {
    if (got == -1) committed = true;
    // Killed once the transaction is deep enough for SQLite to have spilled pages to the WAL.
    if (got >= 20000) break;
    progress = got;
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipefd[0]);
  ASSERT_TRUE(committed);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status << ", at " << progress;

  EXPECT_EQ(IntegrityCheck(path_), "ok");

  auto api = OpenTestStore(path_);
  EXPECT_EQ(SubKeyNames(*api, "Software\\Killed"), Names{"<missing>"});
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(FetchText(*api, "Software\\Landed\\K" + std::to_string(i % 17), "v" + std::to_string(i)), "landed") << i;
  }
  EXPECT_EQ(PutText(*api, "Software\\After", "v", "fine"), 0);
}

}  // namespace
}  // namespace cregistry::seamtest
