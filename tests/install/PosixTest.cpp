// Linux only: special files, symlinks, odd names and the XDG Documents folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "Support.h"
#include "install/Module1.h"
#include "install/modGetDirs2.h"
#include "install/platform/posix/Syscalls.h"
#include "install/platform/posix/UniqueFd.h"

#if defined(__SANITIZE_ADDRESS__)
#define IT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IT_ASAN 1
#endif
#endif

namespace install::test {
namespace {

using platform::UniqueFd;

TEST(PosixTree, SpecialFilesAndOddNamesAreNeverListedNorOpened) {
  TempDir src, dest;
  WriteFile(src / "a.eml", "a");
  ASSERT_EQ(::mkfifo((src / "pipe.eml").c_str(), 0600), 0);
  fs::create_symlink(src / "pipe.eml", src / "to-pipe.eml");
  fs::create_symlink(src / "gone", src / "dangling.eml");
  WriteFile(src / "line\r\nbreak", "x");
  EXPECT_EQ(ListTree(src.str(), ""), "/a.eml\r\n");
  CopyTree(src.str(), dest.str(), SkipExisting);  // would hang on opening the FIFO
  EXPECT_EQ(Snap(dest.path).size(), 1u);
  // Handed a FIFO directly, the copy refuses it at once.
  EXPECT_FALSE(platform::Default().SafeCopyFile((src / "pipe.eml").string(), (dest / "p").string(), false));
  EXPECT_FALSE(fs::exists(dest / "p"));
}

TEST(PosixTree, SymlinkedFoldersAreNotFollowedLinkedFilesAreCopied) {
  TempDir src, dest;
  fs::create_directories(src / "sub");
  WriteFile(src / "sub" / "real.eml", "real");
  fs::create_directory_symlink(src.path, src / "sub" / "loop");
  fs::create_directory_symlink("..", src / "sub" / "up");
  fs::create_symlink(src / "sub" / "real.eml", src / "linked.eml");
  const auto lines = Lines(ListTree(src.str(), ""));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "/sub/real.eml");
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest / "linked.eml")));
  EXPECT_EQ(ReadFile(dest / "linked.eml"), "real");
  EXPECT_EQ(Snap(dest.path).size(), 3u);
}

TEST(PosixTree, SymlinksAtTheDestinationAreNeverWrittenThrough) {
  TempDir src, dest, outside;
  WriteFile(src / "a.eml", "new a");
  WriteFile(src / "b.eml", "new b");
  WriteFile(outside / "target", "precious");
  fs::create_symlink(outside / "target", dest / "a.eml");   // to an existing file
  fs::create_symlink(outside / "created", dest / "b.eml");  // dangling
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_symlink(dest / "a.eml") && fs::is_symlink(dest / "b.eml"));
  CopyTree(src.str(), dest.str(), Overwrite);  // replaces the links themselves
  EXPECT_EQ(ReadFile(dest / "a.eml"), "new a");
  EXPECT_FALSE(fs::is_symlink(dest / "b.eml"));
  EXPECT_EQ(ReadFile(outside / "target"), "precious");
  EXPECT_EQ(Snap(outside.path).size(), 1u);  // nothing created through the dangling link
}

TEST(PosixTree, WildcardCharactersInNamesAreLiteral) {
  TempDir src, dest;
  WriteFile(src / "a*.eml", "star");
  WriteFile(dest / "ab.eml", "other");
  EXPECT_FALSE(FileExists((dest / "a*.eml").string()));
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(ReadFile(dest / "a*.eml"), "star");
}

TEST(PosixTree, FoldersNestedPastThePathLimitAreListedAndCopied) {
  TempDir src, dest;
  // 120 folders of 40-character names: about 4,900 bytes of path, past PATH_MAX (4,096).
  fs::path rel;  // made by descriptor: a path this long is refused by the kernel
  UniqueFd at(::open(src.str().c_str(), O_PATH | O_DIRECTORY));
  for (int level = 0; level < 120; ++level) {
    const std::string name = std::to_string(1000 + level) + std::string(36, 'n');
    ASSERT_EQ(::mkdirat(at.get(), name.c_str(), 0755), 0);
    at = UniqueFd(::openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY));
    rel /= name;
    if (level % 40 == 39 || level == 119) {
      const std::string file = "at" + std::to_string(level) + ".eml";
      UniqueFd out(::openat(at.get(), file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
      ASSERT_TRUE(out && ::write(out.get(), file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    }
  }
  ASSERT_GT(rel.string().size(), 4096u);
  const auto lines = Lines(ListTree(src.str(), ""));
  EXPECT_EQ(lines.size(), 120u + 3u);
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  // Read back one level at a time from descriptors.
  UniqueFd back(::open(dest.str().c_str(), O_PATH | O_DIRECTORY));
  int found = 0;
  for (int level = 0; level < 120 && back; ++level) {
    back = UniqueFd(::openat(back.get(), (std::to_string(1000 + level) + std::string(36, 'n')).c_str(), O_PATH | O_DIRECTORY));
    const std::string file = "at" + std::to_string(level) + ".eml";
    struct stat st;
    if (back && ::fstatat(back.get(), file.c_str(), &st, 0) == 0 && st.st_size == static_cast<off_t>(file.size())) ++found;
  }
  EXPECT_TRUE(back);
  EXPECT_EQ(found, 3);
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));  // the second run finds them there
}

TEST(PosixShell, DocumentsFolderComesFromTheXdgUserDirs) {
  TempDir home;
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
  const std::string savedConfig = oldConfig ? oldConfig : "";
  ::setenv("HOME", home.str().c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  Form1 form;
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/Documents");  // no user-dirs.dirs
  fs::create_directories(home / ".config");
  WriteFile(home / ".config" / "user-dirs.dirs",
            "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\nXDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/My \"Docs\"");
  EXPECT_EQ(GetSpecialFolder(0x10, form), home.str() + "/Desk");
  EXPECT_EQ(GetSpecialFolder(0x7ffe, form), "");

  ::setenv("XDG_CONFIG_HOME", (home / "cfg").c_str(), 1);
  fs::create_directories(home / "cfg");
  const std::string longPath = "/" + std::string(290, 'd') + "/docs";
  const std::pair<std::string, std::string> cases[] = {
      {longPath + "/", longPath}, {"/", "/"}, {"relative/docs", home.str() + "/Documents"}};
  for (const auto& [value, expected] : cases) {
    WriteFile(home / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + value + "\"\n");
    EXPECT_EQ(GetDocumentsFolder(form), expected) << value;
  }
  EXPECT_EQ(form.hWnd(), 0u);  // Linux's stand-in window
  ::setenv("HOME", oldHome.c_str(), 1);
  if (oldConfig) ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
}


// The Documents folder as a child process finds it with HOME=home and no XDG_CONFIG_HOME, within
// 10 seconds and 512 MiB: "hung" or "out of memory" otherwise.
std::string DocumentsInChild(const TempDir& home) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    ::alarm(10);
#ifndef IT_ASAN  // AddressSanitizer cannot map its shadow memory under the cap
    const rlimit memory{512u << 20, 512u << 20};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
    ::setenv("HOME", home.str().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    std::string path;
    try {
      Form1 form;
      path = GetDocumentsFolder(form);
    } catch (...) {
      path = "out of memory";
    }
    (void)!::write(pipeFds[1], path.data(), path.size());
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGALRM ? "hung" : "killed";
  return out;
}

TEST(PosixShell, AUserDirsFileThatIsNotASmallRegularFileCountsAsAbsent) {
  TempDir home;
  fs::create_directories(home / ".config");
  const fs::path file = home / ".config" / "user-dirs.dirs";
  const std::string fallback = home.str() + "/Documents";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(DocumentsInChild(home), fallback) << "a FIFO";
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    fs::remove(file);
    fs::create_symlink(device, file);
    EXPECT_EQ(DocumentsInChild(home), fallback) << device;
  }
  // A regular file is read up to 64 KiB: a line in that reach counts, one beyond it does not.
  fs::remove(file);
  const std::string padding = "# " + std::string(65536, 'x') + "\n";
  WriteFile(file, "XDG_DOCUMENTS_DIR=\"$HOME/Near\"\n" + padding + "XDG_DOCUMENTS_DIR=\"$HOME/Far\"\n");
  EXPECT_EQ(DocumentsInChild(home), home.str() + "/Near");
}

// The system calls made to fail for one test, put back after it.
struct ForcedSyscalls {
  ForcedSyscalls() : saved(platform::Sys()) {}
  ~ForcedSyscalls() { platform::Sys() = saved; }
  platform::Syscalls saved;
};

// What the destination root held while the copy wrote its data (seen from copy_file_range).
std::vector<std::string> seenDuringCopy;
std::string watchedRoot;

TEST(PosixFallbacks, WithoutAnonymousFilesTheTemporaryIsHiddenInTheRootAndNamedForThisProgram) {
  TempDir src, dest;
  fs::create_directories(src / "sub");
  WriteFile(src / "sub" / "a.eml", std::string(5000, 'a'));
  ForcedSyscalls forced;
  platform::Sys().openat = [](int dir, const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
      errno = EOPNOTSUPP;
      return -1;
    }
    return ::openat(dir, path, flags, mode);
  };
  platform::Sys().copyFileRange = [](int in, int out, size_t length) -> ssize_t {
    for (const auto& e : fs::directory_iterator(watchedRoot)) seenDuringCopy.push_back(e.path().filename().string());
    errno = ENOSYS;  // the read and write fallback then copies
    (void)in, (void)out, (void)length;
    return -1;
  };
  watchedRoot = dest.str();
  seenDuringCopy.clear();
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  const std::string prefix = ".install-templates." + std::to_string(::getpid()) + ".";
  ASSERT_EQ(seenDuringCopy.size(), 2u);  // "sub" and the temporary file
  const std::string temp = seenDuringCopy[0] == "sub" ? seenDuringCopy[1] : seenDuringCopy[0];
  EXPECT_TRUE(temp.starts_with(prefix) && temp.ends_with(".tmp")) << temp;
  EXPECT_EQ(ReadFile(dest / "sub" / "a.eml"), std::string(5000, 'a'));
  EXPECT_EQ(Snap(dest.path).size(), 2u);  // nothing left in the root
}

TEST(PosixFallbacks, WithoutOpenat2FoldersAreWalkedOneComponentAtATime) {
  TempDir src, dest, outside;
  fs::create_directories(src / "a" / "b" / "c");
  WriteFile(src / "a" / "b" / "c" / "f.eml", "f");
  WriteFile(src / "a" / "g.eml", "g");
  fs::create_directories(dest / "a");
  fs::create_directories(outside / "c");
  fs::create_directory_symlink(outside.path, dest / "a" / "b");
  ForcedSyscalls forced;
  platform::Sys().openFolderBeneath = [](int, const char*) {
    errno = ENOSYS;
    return -1;
  };
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_EQ(ReadFile(dest / "a" / "g.eml"), "g");
  EXPECT_TRUE(fs::is_empty(outside / "c"));
  fs::remove(dest / "a" / "b");
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_EQ(ReadFile(dest / "a" / "b" / "c" / "f.eml"), "f");
}

TEST(PosixFallbacks, WithoutRenameNoReplaceALinkPlacesTheFileAndNeverReplaces) {
  TempDir src, dest;
  WriteFile(src / "a.eml", "new");
  WriteFile(src / "b.eml", "new b");
  WriteFile(dest / "b.eml", "mine");
  ForcedSyscalls forced;
  platform::Sys().openat = [](int dir, const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
      errno = EISDIR;
      return -1;
    }
    return ::openat(dir, path, flags, mode);
  };
  platform::Sys().renameat2 = [](int, const char*, int, const char*, unsigned flags) {
    errno = flags ? EINVAL : EPERM;
    return -1;
  };
  EXPECT_TRUE(platform::Default().SafeCopyFile((src / "a.eml").string(), (dest / "a.eml").string(), false));
  EXPECT_FALSE(platform::Default().SafeCopyFile((src / "b.eml").string(), (dest / "b.eml").string(), false));
  EXPECT_EQ(ReadFile(dest / "a.eml"), "new");
  EXPECT_EQ(ReadFile(dest / "b.eml"), "mine");
  EXPECT_EQ(Snap(dest.path).size(), 2u);  // no temporary file left
}

// The calls that write, make durable and name copies, in the order they returned (a name: in the
// order made), with the file (inode) or file system (device) each concerns.
enum class Step { Write, DataSync, FsSync, Name };
struct Event {
  Step step;
  dev_t dev;
  ino_t ino;
};
std::mutex eventsMutex;
std::vector<Event> events;

void Record(Step step, const struct stat& st) {
  std::lock_guard lock(eventsMutex);
  events.push_back({step, st.st_dev, st.st_ino});
}
void RecordFd(Step step, int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0) Record(step, st);
}
// A name given: recorded before the call, taken back when it fails.
int Named(int fromDir, const char* from, int flags, const std::function<int()>& call) {
  struct stat st{};
  if (flags & AT_EMPTY_PATH) {
    ::fstat(fromDir, &st);
  } else if (std::string_view(from).starts_with("/proc/self/fd/")) {
    ::fstat(std::atoi(from + 14), &st);
  } else {
    ::fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW);
  }
  Record(Step::Name, st);
  const int result = call();
  if (result != 0) {
    std::lock_guard lock(eventsMutex);
    events.pop_back();
  }
  return result;
}

TEST(PosixDurability, NoFileIsNamedBeforeItsDataIsDurableAndTheLastStepSyncsTheNames) {
  struct Case {
    const char* what;
    bool noAnonymous, noRenameNoReplace;
    std::int16_t mode;
  } cases[] = {{"anonymous files, linked", false, false, SkipExisting},
               {"named temporary files, renamed", true, false, SkipExisting},
               {"named temporary files, linked", true, true, SkipExisting},
               {"replacements", true, false, Overwrite}};
  for (const Case& c : cases) {
    TempDir src, dest;
    for (const char* folder : {"a", "b"}) {
      fs::create_directories(src / folder);
      for (int i = 0; i < 20; ++i) WriteFile(src / folder / (std::to_string(i) + ".eml"), std::string(1000 + i, 'x'));
    }
    if (c.mode == Overwrite) CopyTree(src.str(), dest.str(), SkipExisting);
    ForcedSyscalls forced;
    static bool noAnonymous, noRenameNoReplace;
    noAnonymous = c.noAnonymous;
    noRenameNoReplace = c.noRenameNoReplace;
    platform::Sys().openat = [](int dir, const char* path, int flags, mode_t mode) {
      if (noAnonymous && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
      }
      return ::openat(dir, path, flags, mode);
    };
    platform::Sys().copyFileRange = [](int in, int out, size_t length) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, length, 0);
      RecordFd(Step::Write, out);
      return n;
    };
    platform::Sys().fdatasync = [](int fd) {
      const int result = ::fdatasync(fd);
      if (result == 0) RecordFd(Step::DataSync, fd);
      return result;
    };
    platform::Sys().syncfs = [](int fd) {
      const int result = ::syncfs(fd);
      if (result == 0) RecordFd(Step::FsSync, fd);
      return result;
    };
    platform::Sys().linkat = [](int fromDir, const char* from, int toDir, const char* to, int flags) {
      return Named(fromDir, from, flags, [&] { return ::linkat(fromDir, from, toDir, to, flags); });
    };
    platform::Sys().renameat2 = [](int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
      if (noRenameNoReplace && flags) {
        errno = EINVAL;
        return -1;
      }
      return Named(fromDir, from, 0, [&] { return ::renameat2(fromDir, from, toDir, to, flags); });
    };
    events.clear();
    EXPECT_TRUE(CopyTree(src.str(), dest.str(), c.mode)) << c.what;
    EXPECT_EQ(Snap(dest.path), Snap(src.path)) << c.what;

    struct stat destStat;
    ASSERT_EQ(::stat(dest.str().c_str(), &destStat), 0);
    int names = 0;
    std::size_t lastName = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].step != Step::Name) continue;
      ++names;
      lastName = i;
      // The file's last write, then a durable step for it (its own, or its file system's).
      std::size_t written = events.size(), durable = events.size();
      for (std::size_t k = i; k-- > 0;) {
        const Event& e = events[k];
        if (e.step == Step::Write && e.ino == events[i].ino && e.dev == events[i].dev) written = k;
        const bool covers = (e.step == Step::DataSync && e.ino == events[i].ino) ||
                            (e.step == Step::FsSync && e.dev == events[i].dev);
        if (covers && written == events.size()) durable = k;  // a sync after the last write
        if (written != events.size()) break;
      }
      EXPECT_LT(written, i) << c.what << ": a file named that was never written";
      EXPECT_TRUE(durable < i && durable > written) << c.what << ": a file named before its data was durable";
    }
    EXPECT_EQ(names, 40) << c.what;
    bool synced = false;
    for (std::size_t k = lastName + 1; k < events.size(); ++k) {
      synced = synced || (events[k].step == Step::FsSync && events[k].dev == destStat.st_dev);
    }
    EXPECT_TRUE(synced) << c.what << ": the names were not made durable at the end";
  }
}

}  // namespace
}  // namespace install::test
