// The built program as a process: a copy of it with a package beside it, run against a sandbox
// Documents folder (natively a sandbox HOME and XDG config; under Wine the prefix's own Documents).
#include <gtest/gtest.h>

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

// The build's own program (with the repo's package beside it), as a path of this platform.
fs::path BuiltProgram() {
  std::string path = IT_PROGRAM;
#ifdef _WIN32
  if (path.starts_with("/")) path = "Z:" + path;  // Wine maps Z:\ to the Unix root
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return fs::path(path);
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    ASSERT_EQ(::SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, path), S_OK);
    docs_ = path;
#else
    docs_ = sandbox_ / "My Documents";
    fs::create_directories(sandbox_ / "config");
    WriteFile(sandbox_ / "config" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/My Documents\"\n");
#endif
    Clean();
    fs::create_directories(docs_);
    program_ = sandbox_ / BuiltProgram().filename();
    fs::copy_file(BuiltProgram(), program_);
    fs::create_directories(sandbox_ / "content" / "Business");
    WriteFile(sandbox_ / "content" / "Business" / "Invoice.eml", "Subject: Invoice\r\n\r\n");
    WriteFile(sandbox_ / "content" / "Hello.eml", "Subject: Hello\r\n\r\n");
  }
  void TearDown() override { Clean(); }

  void Clean() {
    std::error_code ec;
    for (const char* host : {"Marrowquill2", "Marrowquill3"}) fs::remove_all(docs_ / host, ec);
  }

  fs::path Host(const char* host, const char* templateFile) {
    fs::create_directories(docs_ / host / "template");
    if (templateFile) WriteFile(docs_ / host / "template" / templateFile, "user's own");
    return docs_ / host / "template";
  }

  // Runs a program to its end (at most a minute); false when it did not end.
  bool StartProgram(const fs::path& program, const std::string& argument) {
#ifdef _WIN32
    std::string line = "\"" + program.string() + "\"" + (argument.empty() ? "" : " " + argument);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi)) {
      return false;
    }
    const bool ended = ::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(pi.hProcess, 1);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return ended;
#else
    const std::string exe = program.string();
    std::vector<std::string> env = {"HOME=" + sandbox_.str(),
                                    "XDG_CONFIG_HOME=" + (sandbox_ / "config").string(),
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> envp, argv = {const_cast<char*>(exe.c_str())};
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg = argument;
    if (!arg.empty()) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
      return false;
    }
    for (int waited = 0; waited < 6000; ++waited) {
      int status;
      if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
#endif
  }

  bool Start(const std::string& argument = "") { return StartProgram(program_, argument); }

  TempDir sandbox_;
  fs::path docs_, program_;
};

TEST_F(Run, NoHostInUseGetsAnything) {
  Host("Marrowquill2", ".hidden.eml");
  SetHidden(docs_ / "Marrowquill2" / "template" / ".hidden.eml");
  WriteFile(docs_ / "Marrowquill2" / "template" / "notes.txt", "");
  fs::create_directories(Host("Marrowquill3", nullptr) / "old");
  WriteFile(docs_ / "Marrowquill3" / "template" / "old" / "nested.eml", "");
  const auto before = Snap(docs_);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs_), before);
}

TEST_F(Run, OnlyTheHostInUseIsServedAndExistingFilesStay) {
  const fs::path m3 = Host("Marrowquill3", "Hello.eml");
  ASSERT_TRUE(Start("install"));
  EXPECT_FALSE(fs::exists(docs_ / "Marrowquill2"));
  EXPECT_EQ(ReadFile(m3 / "Hello.eml"), "user's own");
  EXPECT_EQ(ReadFile(m3 / "Business" / "Invoice.eml"), "Subject: Invoice\r\n\r\n");
  EXPECT_EQ(Snap(m3).size(), 3u);
}

TEST_F(Run, BothHostsServedAndASecondRunChangesNothing) {
#ifdef _WIN32
  const fs::path m2 = Host("Marrowquill2", "a.EML");  // Windows names match without regard to case
#else
  const fs::path m2 = Host("Marrowquill2", "a.eml");
#endif
  const fs::path m3 = Host("Marrowquill3", "b.eml");
  ASSERT_TRUE(Start());
  const auto first = Snap(docs_);
  EXPECT_TRUE(fs::exists(m2 / "Business" / "Invoice.eml"));
  EXPECT_TRUE(fs::exists(m3 / "Hello.eml"));
  EXPECT_EQ(first.size(), 2u * 6);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs_), first);
}

TEST_F(Run, CommandLineDoesNotChangeTheRun) {
  std::vector<Snapshot> results;
  for (const char* argument : {"install", "INSTALL", ""}) {
    Clean();
    Host("Marrowquill2", "t.eml");
    ASSERT_TRUE(Start(argument)) << argument;
    Snapshot names;
    for (auto& [path, entry] : Snap(docs_)) names[path] = {entry.first, 0};
    results.push_back(names);
  }
  EXPECT_EQ(results[0].size(), 6u);
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[2], results[0]);
}

TEST_F(Run, WithoutContentFolderNothingIsCreated) {
  fs::remove_all(sandbox_ / "content");
  Host("Marrowquill3", "t.eml");
  const auto before = Snap(docs_);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Snap(docs_), before);
}

TEST_F(Run, TheBuiltProgramInstallsItsOwnPackage) {
  const fs::path m3 = Host("Marrowquill3", "t.eml");
  ASSERT_TRUE(StartProgram(BuiltProgram(), ""));
  const fs::path package = BuiltProgram().parent_path() / "content";
  const auto expected = Snap(package);
  ASSERT_GE(expected.size(), 4u);
  auto installed = Snap(m3);
  installed.erase("t.eml");
  EXPECT_EQ(installed, expected);
  for (auto& [path, entry] : expected) {
    if (entry.first >= 0) {
      EXPECT_EQ(ReadFile(m3 / path), ReadFile(package / path)) << path;
    }
  }
}

}  // namespace
}  // namespace install::test
