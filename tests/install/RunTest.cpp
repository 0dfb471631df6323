// The built program as a process: a copy of it with a package beside it, run against a sandbox
// Documents folder (natively a sandbox HOME and XDG config; under Wine the prefix's own Documents).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

#include "Support.h"

namespace install::test {
namespace {

// The build's own program (with the repo's package beside it); Wine maps Z:\ to the Unix root.
fs::path BuiltProgram() {
  std::string path = IT_PROGRAM;
#ifdef _WIN32
  if (path.starts_with("/")) path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    ASSERT_EQ(::SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, path), S_OK);
    docs = path;
#else
    docs = box / "My Documents";
    fs::create_directories(box / "config");
    WriteFile(box / "config" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/My Documents\"\n");
#endif
    TearDown();
    fs::create_directories(docs);
    fs::copy_file(BuiltProgram(), program);
    fs::create_directories(box / "content" / "Business");
    WriteFile(box / "content" / "Business" / "Invoice.eml", "Subject: Invoice\r\n\r\n");
    WriteFile(box / "content" / "Hello.eml", "Subject: Hello\r\n\r\n");
  }
  void TearDown() override {
    std::error_code ec;
    for (const char* host : {"Marrowquill2", "Marrowquill3"}) fs::remove_all(docs / host, ec);
  }
  fs::path Host(const char* host, const char* file) {
    fs::create_directories(docs / host / "template");
    if (file) WriteFile(docs / host / "template" / file, "user's own");
    return docs / host / "template";
  }

  // Runs the program to its end; false when it did not end within a minute.
  bool Start(const std::string& argument = "", fs::path exe = {}) {
    if (exe.empty()) exe = program;
#ifdef _WIN32
    std::string line = "\"" + exe.string() + "\" " + argument;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    const bool ended = ::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(pi.hProcess, 1);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return ended;
#else
    std::string path = exe.string(), arg = argument, home = "HOME=" + box.str(),
                config = "XDG_CONFIG_HOME=" + (box / "config").string();
    char* argv[] = {path.data(), arg.empty() ? nullptr : arg.data(), nullptr};
    char* envp[] = {home.data(), config.data(), nullptr};
    pid_t pid;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp) != 0) return false;
    int status = 0;
    for (int i = 0; i < 6000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
#endif
  }

  TempDir box;
  fs::path docs, program = box / BuiltProgram().filename();
};

TEST_F(Run, NoHostInUseGetsAnything) {
  Host("Marrowquill2", ".hidden.eml");
  SetHidden(docs / "Marrowquill2" / "template" / ".hidden.eml");
  WriteFile(docs / "Marrowquill2" / "template" / "notes.txt", "");
  fs::create_directories(Host("Marrowquill3", nullptr) / "old");
  WriteFile(docs / "Marrowquill3" / "template" / "old" / "nested.eml", "");
  const auto before = Snap(docs);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs), before);
}

TEST_F(Run, OnlyTheHostInUseIsServedAndExistingFilesStay) {
  const fs::path m3 = Host("Marrowquill3", "Hello.eml");
  ASSERT_TRUE(Start("install"));
  EXPECT_FALSE(fs::exists(docs / "Marrowquill2"));
  EXPECT_EQ(ReadFile(m3 / "Hello.eml"), "user's own");
  EXPECT_EQ(ReadFile(m3 / "Business" / "Invoice.eml"), "Subject: Invoice\r\n\r\n");
  EXPECT_EQ(Snap(m3).size(), 3u);
}

TEST_F(Run, BothHostsServedAndASecondRunChangesNothing) {
#ifdef _WIN32
  Host("Marrowquill2", "a.EML");  // Windows names match without regard to case
#else
  Host("Marrowquill2", "a.eml");
#endif
  Host("Marrowquill3", "b.eml");
  ASSERT_TRUE(Start());
  const auto first = Snap(docs);
  EXPECT_EQ(first.size(), 2u * 6);  // per host: its folder, template, own file, 2 files, 1 folder
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs), first);
}

TEST_F(Run, CommandLineDoesNotChangeTheRun) {
  std::vector<Snapshot> results;
  for (const char* argument : {"install", "INSTALL", ""}) {
    TearDown();
    Host("Marrowquill2", "t.eml");
    ASSERT_TRUE(Start(argument)) << argument;
    Snapshot kinds;
    for (auto& [path, entry] : Snap(docs)) kinds[path] = {entry.first, 0};
    results.push_back(kinds);
  }
  EXPECT_EQ(results[0].size(), 6u);
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[2], results[0]);
}

TEST_F(Run, WithoutContentFolderNothingIsCreated) {
  fs::remove_all(box / "content");
  Host("Marrowquill3", "t.eml");
  const auto before = Snap(docs);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs), before);
}

TEST_F(Run, TheBuiltProgramInstallsItsOwnPackage) {
  const fs::path m3 = Host("Marrowquill3", "t.eml"), package = BuiltProgram().parent_path() / "content";
  ASSERT_TRUE(Start("", BuiltProgram()));
  const auto expected = Snap(package);
  ASSERT_GE(expected.size(), 4u);
  auto installed = Snap(m3);
  installed.erase("t.eml");
  EXPECT_EQ(installed, expected);
  for (auto& [path, entry] : expected) {
    if (entry.first >= 0) {
      EXPECT_TRUE(ReadFile(m3 / path) == ReadFile(package / path)) << path;
    }
  }
}

}  // namespace
}  // namespace install::test
