// The store as many processes and threads use it at once, in real processes on real files.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/cRegistry.h>
#include "../support/TestStore.h"
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
using teststores::OpenTestStore;
namespace fs = std::filesystem;

class StoreConcurrency : public StoreDir {
 protected:
  // Starts body in a child process, which ends through exit() with body's answer, as a program does.
  static pid_t Start(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) std::exit(body());
    return child;
  }
  // A child's exit status, or 100 + the signal that killed it.
  static int Wait(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  }
  // Counters shared with child processes, all 0.
  static std::atomic<int>* Shared(int n) {
    void* at = mmap(nullptr, n * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : new (at) std::atomic<int>[n]{};
  }
  // The values of a key, -1 when it cannot be listed.
  static int ValueCount(RegistryApi& api, RegHandle root, const std::string& path) {
    KeyHandle key(api);
    if (api.OpenKey(root, path.c_str(), kKeyQueryValue, key.out()) != 0) return -1;
    char name[64];
    int n = 0;
    for (std::uint32_t len = sizeof name; api.EnumValue(key.get(), n, name, len) == 0; len = sizeof name) ++n;
    return n;
  }
};

// Eight processes write to a store that does not exist yet, each 200 values in one transaction, half under
// the user's root and half under the machine's (two files when split): nothing is lost, the file is sound.
TEST_F(StoreConcurrency, ProcessesMakingAStoreTogetherLoseNothing) {
  constexpr int kWriters = 8, kValues = 200, kRounds = 10;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string path = dir_ + "/r" + std::to_string(round) + "/registry.db";
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.push_back(Start([&, w] {
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) != 0) return 10;  // every writer starts when the pipe closes
        auto api = OpenTestStore(path);
        const RegHandle root = w % 2 == 0 ? kHKCU : kHKLM;
        return RunAsOneTransaction(*api, [&]() -> long {
          for (int i = 0; i < kValues; ++i) {
            if (long rc = PutText(*api, "Software\\W" + std::to_string(w), "v" + std::to_string(i), "x", root)) return rc;
          }
          return 0;
        }) == 0 ? 0 : 11;
      }));
    }
    close(go[0]);
    close(go[1]);
    for (pid_t w : writers) EXPECT_EQ(Wait(w), 0);
    auto api = OpenTestStore(path);
    for (int w = 0; w < kWriters; ++w) {
      EXPECT_EQ(ValueCount(*api, w % 2 == 0 ? kHKCU : kHKLM, "Software\\W" + std::to_string(w)), kValues) << "writer " << w;
    }
    for (const std::string& file : {path, teststores::MachineStoreBeside(path)}) {
      EXPECT_TRUE(!fs::exists(file) || IntegrityCheck(file) == "ok") << file;
    }
    if (HasFailure()) break;
  }
}

// Root gives 200 values a new generation in a loop, each time from a new process in one transaction, while
// the user nobody reads them, singly and all in one snapshot: no read fails or crashes, a snapshot sees one.
TEST_F(StoreConcurrency, AnotherUserReadsOneStateWhileRootWrites) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to write the machine store and read it as the user nobody";
  constexpr int kValues = 200, kReads = 300, kSnapshots = 60, kGenerations = 100;
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const std::string machine = dir_ + "/lib/machine.db", user = dir_ + "/nobody.db";
  const auto generation = [&](int g) {
    auto api = OpenRegistryStores(path_, machine);
    return RunAsOneTransaction(*api, [&]() -> long {
      for (int i = 0; i < kValues; ++i) {
        if (long rc = PutText(*api, "SOFTWARE\\Gen", "v" + std::to_string(i), "g" + std::to_string(g), kHKLM)) return rc;
      }
      return 0;
    });
  };
  ASSERT_EQ(generation(0), 0);
  std::atomic<int>* shared = Shared(2);  // the reader is done; the generations written so far
  ASSERT_NE(shared, nullptr);
  std::atomic<int>&stop = shared[0], &written = shared[1];
  const pid_t root = Start([&] {
    for (int g = 1; stop.load() == 0; ++g) {
      if (Wait(Start([&] { return generation(g) == 0 ? 0 : 1; })) != 0) return 20;
      written.store(g);
    }
    return 0;
  });
  const pid_t reader = Start([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    auto api = OpenRegistryStores(user, machine);
    int answer = 0;
    // Reads go on until root has written kGenerations times meanwhile.
    for (int n = 0; (n < kReads + kSnapshots || written.load() < kGenerations) && answer == 0; ++n) {
      if (n % 6 != 5) {
        if (FetchText(*api, "SOFTWARE\\Gen", "v" + std::to_string(n % kValues), kHKLM)[0] != 'g') answer = 11;
        continue;
      }
      answer = static_cast<int>(RunAsOneSnapshot(*api, [&]() -> long {
        const std::string first = FetchText(*api, "SOFTWARE\\Gen", "v0", kHKLM);
        for (int i = 0; i < kValues; ++i) {
          const std::string text = FetchText(*api, "SOFTWARE\\Gen", "v" + std::to_string(i), kHKLM);
          if (text[0] != 'g' || text != first) return text[0] != 'g' ? 13 : 12;
        }
        return 0;
      }));
    }
    return answer;
  });
  EXPECT_EQ(Wait(reader), 0) << "11: a read failed, 12: a snapshot saw two generations, 13: a snapshot failed, "
                                "100 + n: signal n";
  stop.store(1);
  EXPECT_EQ(Wait(root), 0);
  EXPECT_EQ(IntegrityCheck(machine), "ok");
}

// A program ends through exit() on main while a thread writes through a cRegistry, or on a thread while
// main writes: it ends with its status, every acknowledged write is in the store, the log is emptied.
TEST_F(StoreConcurrency, AProgramEndsCleanlyWhileAThreadWrites) {
  constexpr int kRuns = 20;
  std::atomic<int>* acknowledged = Shared(1);
  ASSERT_NE(acknowledged, nullptr);
  for (const bool mainExits : {true, false}) {
    for (int run = 0; run < kRuns; ++run) {
      SCOPED_TRACE(std::string(mainExits ? "main exits" : "a thread exits") + ", run " + std::to_string(run));
      const std::string path = dir_ + "/" + (mainExits ? "m" : "t") + std::to_string(run) + "/registry.db";
      acknowledged->store(0);
      const pid_t program = Start([&] {
        auto api = OpenTestStore(path);
        const auto write = [&] {
          cRegistry reg(api);
          reg.ClassKey(HKEY_CURRENT_USER);
          reg.SectionKey("Software\\Exit");
          reg.ValueType(REG_SZ);
          for (int n = 0;; acknowledged->store(++n)) {
            reg.ValueKey("v" + std::to_string(n));
            reg.Value(Variant(std::string("x")));
          }
        };
        const auto exitAfterSomeWrites = [&] {
          while (acknowledged->load() < 5 + run % 7) std::this_thread::yield();
          std::exit(0);
        };
        if (mainExits) {
          std::thread(write).detach();
          exitAfterSomeWrites();
        }
        std::thread(exitAfterSomeWrites).detach();
        write();
        return 1;
      });
      EXPECT_EQ(Wait(program), 0);
      EXPECT_EQ(FileSize(path + "-wal"), 0) << "a log stayed behind";
      auto api = OpenTestStore(path);
      EXPECT_GE(ValueCount(*api, kHKCU, "Software\\Exit"), acknowledged->load());
      EXPECT_EQ(IntegrityCheck(path), "ok");
      if (HasFailure()) break;
    }
  }
}

}  // namespace
}  // namespace cregistry::seamtest
