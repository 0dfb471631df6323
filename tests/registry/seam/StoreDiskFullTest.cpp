// The registry store when the disk fills up inside a transaction: a shim under SQLite's default VFS
// (the store's own platform seam) answers "disk full" to every write while a test asks it to. And a
// store on a real file system that is full, or has no free inode: it is read all the same.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include <cregistry/RegistryTransaction.h>
#include "StoreDir.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;

std::atomic<bool> diskFull{false};
sqlite3_vfs* realVfs = nullptr;

// A file of the shim: the real file's object follows this header in the same allocation.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real(); }

int ShimWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  if (diskFull) return SQLITE_FULL;
  return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}
int ShimTruncate(sqlite3_file* f, sqlite3_int64 size) {
  if (diskFull) return SQLITE_FULL;
  return Real(f)->pMethods->xTruncate(Real(f), size);
}

// Every other method passes straight on to the real file.
int ShimClose(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int ShimRead(sqlite3_file* f, void* d, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), d, n, o); }
int ShimSync(sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); }
int ShimFileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int ShimLock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int ShimUnlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int ShimCheckReserved(sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int ShimFileControl(sqlite3_file* f, int op, void* arg) {
  // SQLITE_FCNTL_FILE_POINTER answers the shim's own object, which the read cache then maps through.
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int ShimSectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int ShimDeviceCharacteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShimShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShimShmLock(sqlite3_file* f, int offset, int n, int flags) { return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags); }
void ShimShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShimShmUnmap(sqlite3_file* f, int deleteFlag) { return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag); }

const sqlite3_io_methods kShimMethods = {
    2,          ShimClose,     ShimRead,        ShimWrite,        ShimTruncate,    ShimSync,
    ShimFileSize, ShimLock,    ShimUnlock,      ShimCheckReserved, ShimFileControl, ShimSectorSize,
    ShimDeviceCharacteristics, ShimShmMap,      ShimShmLock,      ShimShmBarrier,  ShimShmUnmap,
    nullptr,    nullptr};

int ShimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  auto* shim = reinterpret_cast<ShimFile*>(f);
  std::memset(shim, 0, sizeof *shim);
  int rc = realVfs->xOpen(realVfs, name, shim->real(), flags, outFlags);
  if (rc == SQLITE_OK && shim->real()->pMethods != nullptr) {
    shim->base.pMethods = &kShimMethods;
  }
  return rc;
}

sqlite3_vfs* ShimVfs() {
  static sqlite3_vfs vfs = [] {
    realVfs = sqlite3_vfs_find(nullptr);
    sqlite3_vfs v = *realVfs;
    v.szOsFile = static_cast<int>(sizeof(ShimFile)) + realVfs->szOsFile;
    v.zName = "cregistry-disk-full";
    v.pNext = nullptr;
    v.xOpen = ShimOpen;
    return v;
  }();
  return &vfs;
}

class StoreDiskFull : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    ASSERT_EQ(sqlite3_vfs_register(ShimVfs(), 1), SQLITE_OK);  // the default for the store's connections
  }
  void TearDown() override {
    diskFull = false;
    sqlite3_vfs_register(realVfs, 1);
    sqlite3_vfs_unregister(ShimVfs());
    StoreDir::TearDown();
  }
};

TEST_F(StoreDiskFull, ADiskThatFillsUpInsideATransactionKeepsNothingOfItAndTheConnectionGoesOn) {
  auto api = OpenTestStore(path_);
  ASSERT_EQ(PutText(*api, "Software\\Before", "v", "kept"), 0);
  const std::string big(1000, 'b');
  long failedWith = 0;
  long rc = RunAsOneTransaction(*api, [&]() -> long {
    KeyHandle key(*api);
    if (long r = api->CreateKey(kHKCU, "Software\\Full", kAll, key.out())) return r;
    for (int i = 0; i < 200; ++i) {
      if (long r = PutText(*api, "Software\\Full", "a" + std::to_string(i), big)) return r;
    }
    // The disk fills up; enough is written for SQLite's page cache (32 MiB inside a transaction) to
    // spill into the log.
    diskFull = true;
    for (int i = 0; i < 100000 && failedWith == 0; ++i) {
      failedWith = PutText(*api, "Software\\Full", "b" + std::to_string(i), big);
    }
    diskFull = false;
    // The body goes on as if nothing happened: none of this may land on its own either.
    for (int i = 0; i < 20; ++i) PutText(*api, "Software\\After", "c" + std::to_string(i), "late");
    return kSuccess;
  });
  EXPECT_EQ(failedWith, kDiskFull);
  EXPECT_EQ(rc, kDiskFull);
  auto fresh = OpenTestStore(path_);
  for (RegistryApi* a : {api.get(), fresh.get()}) {
    EXPECT_EQ(FetchText(*a, "Software\\Full", "a0"), "<2>");
    EXPECT_EQ(FetchText(*a, "Software\\After", "c0"), "<2>");
    EXPECT_EQ(FetchText(*a, "Software\\Before", "v"), "kept");
  }
  EXPECT_EQ(IntegrityCheck(path_), "ok");
  // The connection works afterwards.
  EXPECT_EQ(PutText(*api, "Software\\Later", "v", "fine"), 0);
  EXPECT_EQ(FetchText(*fresh, "Software\\Later", "v"), "fine");
}

// A store that its owner wrote and closed, on a file system that then fills up (no free space, or no free
// inode): a new connection reads it, as Windows reads its registry on a full disk.
using FullFileSystem = StoreDir;
TEST_F(FullFileSystem, AStoreIsReadWithNoFreeSpaceAndNoFreeInode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
  const std::string mnt = dir_ + "/mnt", path = mnt + "/registry.db";
  for (const bool inodes : {false, true}) {  // fill the inodes, else the space
    SCOPED_TRACE(inodes ? "no free inode" : "no free space");
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, inodes ? "size=4m,nr_inodes=12" : "size=1m,nr_inodes=100") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    {
      auto api = OpenTestStore(path);
      for (int i = 0; i < 20; ++i) ASSERT_EQ(PutText(*api, "Software\\K" + std::to_string(i), "v", "data"), 0);
    }
    int fd = ::open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    for (const std::string block(4096, 'f'); !inodes && fd >= 0 && write(fd, block.data(), block.size()) > 0;) {
    }
    close(fd);
    for (int i = 0; inodes && (fd = ::open((mnt + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0600)) >= 0; ++i) close(fd);
    // Full: a new file cannot be made, or cannot take a byte.
    fd = ::open((mnt + "/probe").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(fd < 0 ? errno == ENOSPC : write(fd, "x", 1) < 0 && errno == ENOSPC);
    close(fd);
    {
      auto api = OpenTestStore(path);
      EXPECT_EQ(FetchText(*api, "Software\\K19", "v"), "data");
      EXPECT_EQ(SubKeyNames(*api, "Software").size(), 20u);
    }
    EXPECT_EQ(umount2(mnt.c_str(), MNT_DETACH), 0);
    ASSERT_EQ(rmdir(mnt.c_str()), 0);
  }
}

}  // namespace
}  // namespace cregistry::seamtest
