// Commit's promises on a real file system: a refused or failed write leaves the target as it was (and no
// temporary file), a replaced file keeps its mode and owner, a writer killed at any moment leaves a
// target that opens whole, old or new; and the folder lock excludes a second holder.
#include <cregistry/Store.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "HiveTestSupport.h"
#include "registry/hive/Fd.h"

namespace cregistry::hive::test {
namespace {

// A hive whose value "marker" is marker, and whose values "0", "1"... hold parts of 200,000 bytes (marker's
// first byte) up to size bytes in all.
std::unique_ptr<HiveFile> Hive(const std::string& marker, std::size_t size = 0) {
  HiveError error;
  auto file = HiveFile::CreateEmpty(error);
  std::string part(200000, marker[0]);
  std::vector<std::string> names{"marker"};
  for (std::size_t i = 0; i * part.size() < size; ++i) names.push_back(std::to_string(i));
  std::vector<hive_set_value> values;
  for (std::string& name : names) values.push_back({name.data(), hive_t_REG_BINARY, part.size(), part.data()});
  values[0].len = 1;
  EXPECT_EQ(hivex_node_set_values(file->get(), file->Root(), values.size(), values.data(), 0), 0);
  return file;
}

using HiveCommit = HiveDir;

TEST_F(HiveCommit, RefusedOrFailedWritesLeaveTheTargetAlone) {
  // "ro" may not be written to (by nobody, when root runs the test); "small" is full (mounting it takes root).
  const bool root = geteuid() == 0;
  ASSERT_EQ(mkdir(Path("ro").c_str(), 0755) | mkdir(Path("small").c_str(), 0755) | chmod(dir_.c_str(), 0755), 0);
  const bool full = root && mount("tmpfs", Path("small").c_str(), "tmpfs", 0, "size=64k") == 0;
  for (const char* old : {"hive", "ro/hive", "small/hive"}) WriteAll(Path(old), "old");
  chmod(Path("ro").c_str(), 0555);
  auto file = Hive("new", 300000);
  const auto commitAsNobody = [&](const std::string& target) {  // the code Commit answers with, as nobody
    HiveError error;
    if (const pid_t child = fork(); child == 0) {
      _exit(setgid(65534) == 0 && setuid(65534) == 0 ? int(file->Commit(target, Replace::kYes, error)) : 99);
    } else {
      int status = 0;
      waitpid(child, &status, 0);
      return long{WEXITSTATUS(status)};
    }
  };
  const struct {
    std::string folder;
    Replace replace;
    long code;
  } kCases[] = {{"", Replace::kNo, kAlreadyExists}, {"missing/", Replace::kYes, win32::kFileNotFound},
                {"ro/", Replace::kYes, win32::kAccessDenied}, {"small/", Replace::kYes, win32::kDiskFull}};
  for (const auto& c : kCases) {
    if (c.folder == "small/" && !full) continue;
    const std::string target = Path(c.folder + "hive");
    HiveError error;
    EXPECT_EQ(root && c.folder == "ro/" ? commitAsNobody(target) : file->Commit(target, c.replace, error), c.code)
        << target << ": " << error.message;
    EXPECT_EQ(ReadAll(target), c.folder == "missing/" ? "" : "old") << target;
    EXPECT_EQ(c.folder == "missing/" ? 1u : Entries(c.folder), c.folder.empty() ? 3u : 1u) << target;  // no temporary
  }
  EXPECT_EQ(file->path(), "");
  chmod(Path("ro").c_str(), 0755);
  if (full) umount(Path("small").c_str());
}

TEST_F(HiveCommit, ReplacedFileKeepsModeAndOwnerNewFileGetsUmask) {
  HiveError error;
  auto file = Hive("x");
  const mode_t umasked = umask(027);
  ASSERT_EQ(file->Commit(Path("new"), Replace::kNo, error), 0) << error.message;
  umask(umasked);
  WriteAll(Path("hive"), "old");
  const bool root = geteuid() == 0;  // only root gives a file away
  ASSERT_EQ(chmod(Path("hive").c_str(), 0604) | (root ? chown(Path("hive").c_str(), 1234, 5678) : 0), 0);
  struct stat created, before, after;
  ASSERT_EQ(stat(Path("hive").c_str(), &before), 0);
  ASSERT_EQ(file->Commit(Path("hive"), Replace::kYes, error), 0) << error.message;
  ASSERT_EQ(stat(Path("hive").c_str(), &after) | stat(Path("new").c_str(), &created), 0);
  EXPECT_EQ(created.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  EXPECT_EQ(std::pair(after.st_uid, after.st_gid), std::pair(before.st_uid, before.st_gid));
}

// A child commits two hives in turn over one target until it is killed; the target always opens whole.
TEST_F(HiveCommit, KilledWriterLeavesOldOrNewHive) {
  auto first = Hive("A", 1500000), second = Hive("B", 1500000);
  HiveError error;
  const std::string target = Path("hive");
  ASSERT_EQ(first->Commit(target, Replace::kNo, error), 0) << error.message;
  std::set<std::string> seen;
  for (int round = 0; round < 16; ++round) {
    const pid_t child = fork();
    while (child == 0) second->Commit(target, Replace::kYes, error), first->Commit(target, Replace::kYes, error);
    usleep(1000 + round * 4000);  // each round kills later, across several commits
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    auto file = HiveFile::Open(target, Access::kRead, error);
    ASSERT_TRUE(file) << error.message;
    const std::string marker = ValueOf(*file, "", "marker").second;
    EXPECT_TRUE(marker == "A" || marker == "B") << marker;
    EXPECT_EQ(ValueOf(*file, "", "7").second, std::string(200000, marker[0]));
    seen.insert(marker);
  }
  EXPECT_EQ(seen.size(), 2u);  // the kills came at different moments
}

TEST_F(HiveCommit, FolderLockExcludesAnotherHolder) {
  HiveError error;
  HiveLock lock;
  ASSERT_EQ(HiveLock::Take(Path("hive"), lock, error), 0) << error.message;
  const UniqueFd other(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_NE(flock(other.get(), LOCK_EX | LOCK_NB), 0);
  lock = HiveLock();
  EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
}

}  // namespace
}  // namespace cregistry::hive::test
