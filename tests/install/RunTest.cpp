// The built program as a process: a copy of it with a package beside it, run against a sandbox
// Documents folder (natively a sandbox HOME and XDG config; under Wine the prefix's own Documents).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
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
    DWORD code = 0;
    exitCode = ended && ::GetExitCodeProcess(pi.hProcess, &code) ? static_cast<int>(code) : -1;
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
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return WIFEXITED(status);
      }
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
#endif
  }

  TempDir box;
  fs::path docs, program = box / BuiltProgram().filename();
  int exitCode = -1;
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


TEST_F(Run, ExitStatusIsZeroWhenEverythingIsInstalledOrThereAlready) {
  Host("Marrowquill3", "Hello.eml");  // skipped because it is there: no failure
  ASSERT_TRUE(Start());
  EXPECT_EQ(exitCode, 0);
  ASSERT_TRUE(Start());
  EXPECT_EQ(exitCode, 0);
}

TEST_F(Run, ExitStatusIsOneWhenAFolderCannotBeCreated) {
  const fs::path m3 = Host("Marrowquill3", "t.eml");
  WriteFile(m3 / "Business", "a file holds the folder's name");
  ASSERT_TRUE(Start());
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(ReadFile(m3 / "Hello.eml"), "Subject: Hello\r\n\r\n");  // the rest is installed, silently
}

TEST_F(Run, ExitStatusIsOneWhenAPackageFileCannotBeRead) {
  const fs::path m3 = Host("Marrowquill3", "t.eml");
  const fs::path unreadable = box / "content" / "Business" / "Invoice.eml";
#ifdef _WIN32
  // Held open without sharing while the program runs.
  HANDLE h = ::CreateFileW(unreadable.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Start());
  ::CloseHandle(h);
#else
  // Readable by name and kind, failing on read (EIO) whoever runs the test, root included.
  fs::remove(unreadable);
  fs::create_symlink("/proc/self/mem", unreadable);
  ASSERT_TRUE(Start());
#endif
  EXPECT_EQ(exitCode, 1);
  EXPECT_FALSE(fs::exists(m3 / "Business" / "Invoice.eml"));
  EXPECT_EQ(ReadFile(m3 / "Hello.eml"), "Subject: Hello\r\n\r\n");
}

#ifndef _WIN32
// A small file system of its own at the template folder (root only), unmounted at the end.
struct SmallMount {
  explicit SmallMount(const fs::path& at, const char* options) : at(at) {
    mounted = std::system(("mount -t tmpfs -o " + std::string(options) + " tmpfs '" + at.string() + "'").c_str()) == 0;
  }
  ~SmallMount() {
    if (mounted) (void)!std::system(("umount '" + at.string() + "'").c_str());
  }
  fs::path at;
  bool mounted = false;
};

TEST_F(Run, ExitStatusIsOneOnAFullDisk) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs to fill needs root";
  const fs::path m3 = Host("Marrowquill3", nullptr);
  SmallMount mount(m3, "size=64k");
  ASSERT_TRUE(mount.mounted) << "mount refused";
  WriteFile(m3 / "t.eml", "user's own");
  WriteFile(box / "content" / "Big.eml", std::string(200000, 'b'));
  ASSERT_TRUE(Start());
  EXPECT_EQ(exitCode, 1);
  EXPECT_FALSE(fs::exists(m3 / "Big.eml"));
  EXPECT_EQ(ReadFile(m3 / "Hello.eml"), "Subject: Hello\r\n\r\n");
  for (const auto& e : fs::directory_iterator(m3)) {
    EXPECT_FALSE(e.path().filename().string().starts_with(".install-templates")) << e.path();
  }
}

TEST_F(Run, ExitStatusIsOneWhenTheDestinationIsReadOnly) {
  const fs::path m3 = Host("Marrowquill3", "t.eml");
  std::unique_ptr<SmallMount> mount;
  if (::geteuid() == 0) {  // root writes through permission bits: a read-only file system instead
    fs::remove(m3 / "t.eml");
    mount = std::make_unique<SmallMount>(m3, "size=64k");
    ASSERT_TRUE(mount->mounted) << "mount refused";
    WriteFile(m3 / "t.eml", "user's own");
    ASSERT_EQ(std::system(("mount -o remount,ro '" + m3.string() + "'").c_str()), 0);
  } else {
    fs::permissions(m3, fs::perms::owner_read | fs::perms::owner_exec);
  }
  ASSERT_TRUE(Start());
  EXPECT_EQ(exitCode, 1);
  EXPECT_FALSE(fs::exists(m3 / "Hello.eml"));
  if (!mount) fs::permissions(m3, fs::perms::owner_all);
}
#endif

// Documents under a name outside any ANSI code page: the program finds and serves it.
TEST_F(Run, DocumentsFolderWithAChineseNameIsServed) {
  const fs::path chinese = box / fs::path(u8"文档") / "Documents";
  fs::create_directories(chinese / "Marrowquill2" / "template");
  WriteFile(chinese / "Marrowquill2" / "template" / fs::path(u8"Ζωή.eml"), "user's own");
#ifdef _WIN32
  HKEY key;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                            0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key), ERROR_SUCCESS);
  std::wstring old(1024, L'\0');
  DWORD type = 0, size = static_cast<DWORD>(old.size() * sizeof(wchar_t));
  const bool hadOld = ::RegQueryValueExW(key, L"Personal", nullptr, &type, reinterpret_cast<BYTE*>(old.data()), &size) == ERROR_SUCCESS;
  const std::wstring value = chinese.wstring();
  ::RegSetValueExW(key, L"Personal", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  const bool ran = Start();
  if (hadOld) {
    ::RegSetValueExW(key, L"Personal", 0, type, reinterpret_cast<const BYTE*>(old.data()), size);
  } else {
    ::RegDeleteValueW(key, L"Personal");
  }
  ::RegCloseKey(key);
  ASSERT_TRUE(ran);
#else
  const std::u8string config = u8"XDG_DOCUMENTS_DIR=\"$HOME/文档/Documents\"\n";
  WriteFile(box / "config" / "user-dirs.dirs", std::string(config.begin(), config.end()));
  ASSERT_TRUE(Start());
#endif
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(ReadFile(chinese / "Marrowquill2" / "template" / "Business" / "Invoice.eml"), "Subject: Invoice\r\n\r\n");
  EXPECT_EQ(ReadFile(chinese / "Marrowquill2" / "template" / fs::path(u8"Ζωή.eml")), "user's own");
}

}  // namespace
}  // namespace install::test
