// The file step of CopyTree on several threads: failures among many files, files appearing at many
// places at once, a destination folder removed while its files are being copied.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <functional>
#include <thread>

#include "Support.h"
#include "install/Module1.h"
#include "install/platform/Platform.h"

namespace install::test {
namespace {

// `count` files in each of `folders` (f0.eml ...), content "<folder>/<n>".
void MakeMany(const TempDir& src, std::initializer_list<const char*> folders, int count) {
  for (const char* folder : folders) {
    fs::create_directories(src / folder);
    for (int i = 0; i < count; ++i) WriteFile(src / folder / ("f" + std::to_string(i) + ".eml"), std::string(folder) + "/" + std::to_string(i));
  }
}

// Wraps the seam from several threads at once: counters are atomic, hooks are the test's own.
struct ThreadSafeSpy : platform::ForwardingPlatform {
  ThreadSafeSpy() : ForwardingPlatform(platform::Default()) {}
  std::atomic<int> copies{0};
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::function<bool(const std::string& dest)> failCopy;       // true: this copy fails
  std::function<void(const std::string& pattern)> afterMatch;  // after each existence test
  std::function<void(const std::string& dest)> beforeCopy;

  platform::MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    const platform::MatchResult result = inner_.FirstMatch(pattern, name);
    if (afterMatch) afterMatch(pattern);
    return result;
  }
  bool SafeCopyFile(const std::string& s, const std::string& d, bool replace) override {
    ++copies;
    {
      std::lock_guard lock(mutex);
      threads.insert(std::this_thread::get_id());
    }
    if (beforeCopy) beforeCopy(d);
    if (failCopy && failCopy(d)) return false;
    return inner_.SafeCopyFile(s, d, replace);
  }
};

TEST(ParallelCopy, FilesAreCopiedOnSeveralThreadsAndFailuresArePassedOverOneByOne) {
  TempDir src, dest;
  MakeMany(src, {"a", "b", "c"}, 100);
  ThreadSafeSpy spy;
  // Slow enough that every worker has started before the files run out, however loaded the machine.
  spy.beforeCopy = [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
  spy.failCopy = [](const std::string& d) {
    return d.ends_with(R("a\\f7.eml")) || d.ends_with(R("b\\f50.eml")) || d.ends_with(R("c\\f99.eml"));
  };
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting, spy));
  EXPECT_EQ(spy.copies.load(), 300);
  EXPECT_GE(spy.threads.size(), 2u);
  auto expected = Snap(src.path);
  for (const char* failed : {"a/f7.eml", "b/f50.eml", "c/f99.eml"}) expected.erase(failed);
  EXPECT_EQ(Snap(dest.path), expected);  // every other file, with its size and time; nothing left over
  EXPECT_EQ(ReadFile(dest / "c" / "f98.eml"), "c/98");

  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));  // the re-run fills the gaps
  EXPECT_EQ(Snap(dest.path), Snap(src.path));
}

TEST(ParallelCopy, FilesAppearingDuringTheCopyAtManyPlacesAreNeverReplaced) {
  TempDir src, dest;
  MakeMany(src, {"a", "b"}, 150);
  ThreadSafeSpy spy;
  std::atomic<int> arrived{0};
  spy.afterMatch = [&](const std::string& pattern) {
    const fs::path path(pattern);
    if (pattern.ends_with("0.eml") && !fs::exists(path)) {  // f0, f10, f20 ... in both folders
      WriteFile(path, "arrived meanwhile");
      ++arrived;
    }
  };
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting, spy));  // skipped: no failure
  EXPECT_EQ(arrived.load(), 30);
  for (const char* folder : {"a", "b"}) {
    for (int i = 0; i < 150; ++i) {
      const std::string content = ReadFile(dest / folder / ("f" + std::to_string(i) + ".eml"));
      EXPECT_EQ(content, i % 10 == 0 ? "arrived meanwhile" : std::string(folder) + "/" + std::to_string(i)) << folder << i;
    }
  }
  EXPECT_EQ(Snap(dest.path).size(), Snap(src.path).size());
}

TEST(ParallelCopy, ADestinationFolderRemovedMidCopyFailsItsFilesAndNothingElse) {
  TempDir src, dest;
  MakeMany(src, {"gone", "stay"}, 120);
  ThreadSafeSpy spy;
  std::once_flag once;
  spy.beforeCopy = [&](const std::string& d) {
    if (d.find(R("\\gone\\f30.eml")) == std::string::npos) return;
    std::call_once(once, [&] {
      std::error_code ec;
      for (int attempt = 0; attempt < 100 && fs::exists(dest / "gone"); ++attempt) fs::remove_all(dest / "gone", ec);
    });
  };
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting, spy));
  EXPECT_EQ(spy.copies.load(), 240);
  EXPECT_FALSE(fs::exists(dest / "gone" / "f30.eml"));
  for (int i = 0; i < 120; ++i) EXPECT_EQ(ReadFile(dest / "stay" / ("f" + std::to_string(i) + ".eml")), "stay/" + std::to_string(i));
  for (const auto& e : fs::directory_iterator(dest.path)) {  // no temporary file left in the root
    EXPECT_FALSE(e.path().filename().string().starts_with(".install-templates")) << e.path();
  }
}

TEST(ParallelCopy, OverwriteAndOtherModesBehaveAsOnOneThread) {
  TempDir src, dest, other;
  MakeMany(src, {"a"}, 80);
  fs::create_directories(dest / "a");
  for (int i = 0; i < 80; i += 2) WriteFile(dest / "a" / ("f" + std::to_string(i) + ".eml"), "old");
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), Overwrite));
  EXPECT_EQ(Snap(dest.path), Snap(src.path));
  EXPECT_TRUE(CopyTree(src.str(), other.str(), 1));
  EXPECT_EQ(Snap(other.path), (Snapshot{{"a", {-1, 0}}}));
}

}  // namespace
}  // namespace install::test
