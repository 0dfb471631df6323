// The tool's copy, and what an export meets while it reads: run in-process on a real registry.
#include <functional>
#include <thread>
#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cregistry/RegistryTransaction.h>
#ifndef _WIN32
#include <cregistry/Store.h>
#endif
#include "registry/TransactionalApi.h"
#include "support/ForwardingApi.h"
#include "ToolFixture.h"

namespace cregistry::tool {
namespace {

// A suite of its own (gtest ties each suite name to one fixture class, and this file's fixture is its own).
class CopyExportTest : public ToolTest {};

// copy without /f asks before it overwrites a value of the destination: Yes, No or All (a first letter,
// any case; anything else asks again), and the end of the input answers No to every question left.
// What the destination lacks is copied whatever the answers.
TEST_F(CopyExportTest, CopyAsksBeforeItOverwritesAValue) {
  struct Case {
    const char* answers;
    std::vector<std::string> switches;
    int questions;
    const char* x;  // the destination's x and y afterwards
    const char* y;
  };
  const Case cases[] = {
      {"y\nn\n", {"/s"}, 2, "1", "old"},        {"No\nYES\n", {"/s"}, 2, "old", "2"},
      {"a\n", {"/s"}, 1, "1", "2"},              {"", {"/s"}, 1, "old", "old"},
      {"maybe\ny\nn\n", {"/s"}, 3, "1", "old"}, {"", {"/s", "/f"}, 0, "1", "2"},
      {"n\n", {}, 2, "old", "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("answers ") + c.answers);
    Tool({"delete", key, "/f"});
    ASSERT_EQ(Tool({"add", key + "\\src", "/v", "x", "/d", "1", "/f"}).status +
                  Tool({"add", key + "\\src", "/v", "y", "/d", "2", "/f"}).status +
                  Tool({"add", key + "\\src\\sub", "/v", "z", "/d", "3", "/f"}).status +
                  Tool({"add", key + "\\dst", "/v", "x", "/d", "old", "/f"}).status +
                  Tool({"add", key + "\\dst", "/v", "y", "/d", "old", "/f"}).status,
              0);
    std::vector<std::string> args{"copy", key + "\\src", key + "\\dst"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    const Outcome run = Tool(args, c.answers);
    EXPECT_EQ(run.status, 0) << run.err;
    std::size_t questions = 0;
    for (std::size_t at = 0; (at = run.out.find("Do you want to overwrite it?", at)) != std::string::npos; ++at) ++questions;
    EXPECT_EQ(questions, static_cast<std::size_t>(c.questions)) << run.out;
    EXPECT_EQ(Tool({"query", key + "\\dst", "/v", "x"}).out.find(std::string("REG_SZ    ") + c.x + "\n") != std::string::npos, true);
    EXPECT_EQ(Tool({"query", key + "\\dst", "/v", "y"}).out.find(std::string("REG_SZ    ") + c.y + "\n") != std::string::npos, true);
    EXPECT_EQ(Tool({"query", key + "\\dst\\sub", "/v", "z"}).status, c.switches.empty() ? 1 : 0) << "sub-keys with /s only";
  }
}

// What copy refuses, with one line and nothing changed: a missing source, the source as destination
// (in any letter case), and with /s a destination inside the source.
TEST_F(CopyExportTest, CopyRefusesAMissingSourceItselfAndWithSAKeyInsideIt) {
  ASSERT_EQ(Tool({"add", key + "\\src\\sub", "/v", "z", "/d", "3", "/f"}).status, 0);
  const std::vector<std::string> before = Dump(box.base);
  const std::vector<std::vector<std::string>> refused{
      {"copy", key + "\\nope", key + "\\dst"},
      {"copy", key + "\\src", key + "\\SRC", "/f"},
      {"copy", key + "\\src", key + "\\src\\sub\\in", "/s", "/f"},
  };
  for (const auto& args : refused) {
    ExpectOneErrorLine(Tool(args), args[2]);
    EXPECT_EQ(Dump(box.base), before) << args[2];
  }
  EXPECT_EQ(Tool({"copy", key + "\\src", key + "\\src\\sub\\in", "/f"}).status, 0) << "values only: no loop";
}

#ifndef _WIN32
// On the store a copy is one transaction: a copy killed part-way leaves the destination as it was.
TEST_F(CopyExportTest, ACopyKilledPartWayLeavesNothingOrEverything) {
  std::string file = "REGEDIT4\n";
  for (int k = 0; k < 2000; ++k) {
    file += "\n[" + full + "\\src\\k" + std::to_string(k) + "]\n";
    for (int v = 0; v < 10; ++v) file += "\"v" + std::to_string(v) + "\"=\"data\"\n";
  }
  WriteFile(dir / "big.reg", file);
  ASSERT_EQ(Tool({"import", File("big.reg")}).status, 0);
  int whole = 0, none = 0;
  // Killed at moments across the copy (about half a second here), the last one let finish.
  for (int delay : {20, 80, 160, 240, 320, 400, 480, 560, -1}) {
    pid_t child = fork();
    if (child == 0) {
      Outcome run = Tool({"copy", key + "\\src", key + "\\dst", "/s", "/f"});
      _exit(run.status);
    }
    if (delay >= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::size_t lines = Dump(box.base + "\\dst").size();
    EXPECT_TRUE(lines == 0 || lines == 2001 + 20000) << "after " << delay << " ms: " << lines << " lines";
    (lines == 0 ? none : whole) += 1;
    ASSERT_EQ(Tool({"delete", key + "\\dst", "/f"}).status, lines == 0 ? 1 : 0);
  }
  EXPECT_GE(whole, 1) << "the copy that was let finish";
  RecordProperty("killed copies: none/whole", std::to_string(none) + "/" + std::to_string(whole));
}
#endif

// Runs hook before the Nth value read of the registry it wraps (counting from 0), then reads on; its
// snapshots and transactions are the wrapped registry's.
class HookApi : public cregistry::testing::ForwardingApi, public TransactionalApi {
 public:
  HookApi(std::shared_ptr<RegistryApi> inner, int at, std::function<void()> hook)
      : ForwardingApi(inner), inner_(dynamic_cast<TransactionalApi*>(inner.get())), at_(at), hook_(std::move(hook)) {}
  long BeginTransaction() override { return inner_ ? inner_->BeginTransaction() : 0; }
  long EndTransaction(bool commit) override { return inner_ ? inner_->EndTransaction(commit) : 0; }
  long BeginSnapshot() override { return inner_ ? inner_->BeginSnapshot() : 0; }
  void EndSnapshot() override {
    if (inner_) inner_->EndSnapshot();
  }
  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    if (calls_++ == at_) hook_();
    return ForwardingApi::QueryValue(key, name, type, data, size);
  }

 private:
  TransactionalApi* inner_;
  int at_, calls_ = 0;
  std::function<void()> hook_;
};

// What happens to an export while it reads: a name that no .reg reader could read back is refused; a
// file that appears at the target meanwhile is kept (without /y) and the export fails; another
// connection's commit between two reads does not show in the file (the store exports one state).
TEST_F(CopyExportTest, AnExportMeetsWhatHappensWhileItReads) {
  struct Case {
    const char* what;
    const char* badKey;    // a key or a value name of a carriage return alone, else nullptr
    const char* badValue;
    bool plant;            // a file appears at the target during the export
    bool commit;           // another connection changes every value during the export (the store only)
    int status;
    const char* file;      // what the target holds afterwards: "" none, "planted", or "x" (the values as before)
  };
  const Case cases[] = {
      {"a key named CR", "\r", nullptr, false, false, 1, ""},
      {"a value named CR", nullptr, "\r", false, false, 1, ""},
      {"a file appears", nullptr, nullptr, true, false, 1, "planted"},
      {"a commit between reads", nullptr, nullptr, false, true, 0, "x"},
  };
  const std::string file = File("during.reg");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.commit && box.storePath.empty()) continue;  // advapi32 has no snapshot
    Tool({"delete", key, "/f"});
    fs::remove(file);
    for (int i = 0; i < 20; ++i) box.PutRaw(kHKCU, box.base + "\\k", "v" + std::to_string(i), 1, std::string("x\0", 2));
    if (c.badKey) box.PutRaw(kHKCU, box.base + "\\k\\" + c.badKey, "v", 1, std::string("x\0", 2));
    if (c.badValue) box.PutRaw(kHKCU, box.base + "\\k", c.badValue, 1, std::string("x\0", 2));
    auto hooked = std::make_shared<HookApi>(box.api, 10, [&] {
      if (c.plant) WriteFile(file, "planted");
      if (!c.commit) return;
#ifndef _WIN32
      auto other = OpenRegistryStore(box.storePath);  // a connection of its own, as another process has
      ASSERT_EQ(RunAsOneTransaction(*other, [&]() -> long {
        KeyHandle k(*other);
        if (long rc = other->OpenKey(RootHandle(kHKCU), (box.base + "\\k").c_str(), 0xF003F, k.out())) return rc;
        for (int i = 0; i < 20; ++i) {
          if (long rc = other->SetValue(k.get(), ("v" + std::to_string(i)).c_str(), 1,
                                        reinterpret_cast<const std::uint8_t*>("y"), 2)) return rc;
        }
        return 0;
      }), 0);
#endif
    });
    Outcome run = Tool({"export", key, file}, hooked);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (std::string(c.file).empty()) {
      EXPECT_FALSE(fs::exists(file));
    } else if (std::string(c.file) == "planted") {
      EXPECT_EQ(ReadFile(file), "planted");
    } else {
      const std::string text = ReadFile(file);
      std::string ascii;
      for (std::size_t i = 2; i < text.size(); i += 2) ascii += text[i];  // UTF-16LE, ASCII here
      EXPECT_EQ(std::count(ascii.begin(), ascii.end(), '='), 20) << ascii;
      EXPECT_EQ(ascii.find("\"y\""), std::string::npos) << "the other connection's commit shows: " << ascii;
    }
    std::size_t entries = static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    EXPECT_EQ(entries, std::string(c.file).empty() ? 0u : 1u) << "no temporary file may stay behind";
  }
}

}  // namespace
}  // namespace cregistry::tool
