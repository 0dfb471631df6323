// The user's store and the machine store side by side: root records under HKEY_LOCAL_MACHINE and another
// user reads it and is refused every write there; HKEY_CLASSES_ROOT's merged view; transactions and
// imports that would write both files; and a store written when one file held every root.
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include <cregistry/RegistryTransaction.h>
#include "StoreDir.h"
#include "tools/cregistry/Tool.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

class MachineStore : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    machine_ = dir_ + "/lib/cregistry/machine.db";
    api_ = OpenRegistryStores(path_, machine_);
  }
  // The cregistry tool in this process, on api: its exit status, its standard error in err.
  static int Tool(std::shared_ptr<RegistryApi> api, std::vector<std::string> args, std::string* err = nullptr) {
    std::ostringstream out, errors;
    const int status = tool::RunTool(args, std::move(api), out, errors);
    if (err != nullptr) *err = errors.str();
    return status;
  }
  // The exit status of a child process that runs body as the user nobody.
  static int AsNobody(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 10 : body());
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string machine_;
  std::shared_ptr<RegistryApi> api_;
};

// The installer runs as root and records where it put the program; the program runs as the user nobody
// (the cregistry tool under setpriv, on a store of its own) and reads it, also while root's connection
// still has the commit in its log; every write of nobody's under the machine's roots answers 5.
TEST_F(MachineStore, RootRecordsAnotherUserReadsAndIsRefusedEveryWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to write the machine store and read it as the user nobody";
  const std::string home = dir_ + "/nobody", log = dir_ + "/out.txt";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  const mode_t umask = ::umask(077);  // root's umask may close everything to others: the store's modes hold
  ASSERT_EQ(PutText(*api_, "SOFTWARE\\Acme", "InstallDir", "/opt/acme", kHKLM), 0);
  ::umask(umask);
  ASSERT_EQ(PutText(*api_, "SOFTWARE\\Classes\\.acme", "", "Acme.Document", kHKLM), 0);
  for (const char* file : {"", "-wal", "-shm"}) EXPECT_EQ(fs::status(machine_ + file).permissions(), fs::perms(0644)) << file;
  EXPECT_EQ(fs::status(dir_ + "/lib/cregistry").permissions(), fs::perms(0755));
  std::ofstream(dir_ + "/in.reg") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme]\n\"x\"=\"y\"\n";
  auto tool = [&](std::vector<std::string> args, std::string& out) {  // as nobody, output in out
    std::string line = "CREGISTRY_STORE=" + home + "/registry.db CREGISTRY_MACHINE_STORE=" + machine_ +
                       " setpriv --reuid=65534 --regid=65534 --clear-groups " CREGISTRY_TOOL;
    for (const auto& a : args) line += " '" + a + "'";
    const int status = std::system((line + " >" + log + " 2>&1").c_str());
    std::ifstream in(log);
    out.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const std::tuple<std::vector<std::string>, int, const char*> steps[] = {
      {{"query", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir"}, 0, "/opt/acme"},
      {{"query", "HKCR\\.acme", "/ve"}, 0, "Acme.Document"},
      {{"add", "HKLM\\SOFTWARE\\Acme", "/v", "x", "/d", "y", "/f"}, 1, "(5)"},
      {{"add", "HKLM\\SOFTWARE\\Acme\\Sub", "/f"}, 1, "(5)"},
      {{"delete", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir", "/f"}, 1, "(5)"},
      {{"delete", "HKLM\\SOFTWARE\\Acme", "/f"}, 1, "(5)"},
      {{"import", dir_ + "/in.reg"}, 1, "(5)"},
      {{"add", "HKCR\\.acme", "/v", "x", "/d", "y", "/f"}, 1, "(5)"},
      // The user's own part of HKEY_CLASSES_ROOT: written, and from then on hiding the machine's key.
      {{"add", "HKCU\\Software\\Classes\\.acme", "/ve", "/d", "Mine.Document", "/f"}, 0, ""},
      {{"add", "HKCR\\.acme", "/v", "x", "/d", "y", "/f"}, 0, ""},
      {{"query", "HKCU\\Software\\Classes\\.acme"}, 0, "Mine.Document\n    x    REG_SZ    y"},
  };
  for (const auto& [args, status, shows] : steps) {
    std::string out;
    EXPECT_EQ(tool(args, out), status) << args[0] << " " << args[1] << ": " << out;
    EXPECT_NE(out.find(shows), std::string::npos) << args[0] << " " << args[1] << ": " << out;
  }
  EXPECT_EQ(FetchText(*api_, "SOFTWARE\\Acme", "x", kHKLM) + FetchText(*api_, "SOFTWARE\\Classes\\.acme", "x", kHKLM), "<2><2>");
  // Through the seam: a machine key that exists opens for reading, not for writing.
  EXPECT_EQ(AsNobody([&] {
    auto api = OpenRegistryStores(home + "/registry.db", machine_);
    RegHandle key = 0;
    if (api->CreateKey(kHKLM, "SOFTWARE\\Acme", kKeyQueryValue, key) != 0) return 11;
    return api->CreateKey(kHKLM, "SOFTWARE\\Acme", kAll, key) == kAccessDenied ? 0 : 12;
  }), 0);
  api_.reset();  // root's process ends its connection: the log empties into the file, nobody still reads
  std::string out;
  EXPECT_EQ(tool({"query", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir"}, out), 0) << out;
  EXPECT_NE(out.find("/opt/acme"), std::string::npos) << out;
}

// A machine store that another user could have planted or may change is refused, for reads and writes,
// with one line on standard error that says why; the planted file stays as it was.
TEST_F(MachineStore, RootRefusesAMachineStoreThatAnotherUserOwnsOrMayWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give files to the user nobody";
  struct Case {
    mode_t folderMode;
    uid_t fileOwner;  // of an empty file planted first (1: root's, mode 0666); 0: none
    long wrote;
    const char* read;
    const char* says;  // on standard error, after "the machine store PATH is not used: "
  };
  const Case cases[] = {
      {01777, 0, kAccessDenied, "<2>", "may be written by other users"},  // no file: nothing to read
      {0755, 65534, kAccessDenied, "<5>", "belongs to another user"},
      {0755, 1, kAccessDenied, "<5>", "other users may write the file"},
      {0755, 0, 0, "root", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const std::string folder = dir_ + "/m" + std::to_string(n++), machine = folder + "/machine.db";
    ASSERT_EQ(mkdir(folder.c_str(), 0700) + chmod(folder.c_str(), c.folderMode), 0);
    if (c.fileOwner != 0) {
      std::ofstream(machine).flush();
      ASSERT_EQ(chmod(machine.c_str(), c.fileOwner == 1 ? 0666 : 0644) + chown(machine.c_str(), c.fileOwner == 1 ? 0 : c.fileOwner, 0), 0);
    }
    auto api = OpenRegistryStores(path_, machine);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PutText(*api, "SOFTWARE\\Acme", "v", "root", kHKLM), c.wrote);
    EXPECT_EQ(FetchText(*api, "SOFTWARE\\Acme", "v", kHKLM), c.read);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string head = "cregistry: the machine store " + machine + " is not used: ";
    EXPECT_TRUE(*c.says ? err.rfind(head, 0) == 0 && err.find(c.says) != std::string::npos && err.find('\n') == err.size() - 1
                        : err.empty()) << err;
    EXPECT_TRUE(c.fileOwner == 0 || fs::file_size(machine) == 0) << "the planted file was laid out";
    EXPECT_EQ(PutText(*api_, "Software\\Mine", "v", "user"), 0) << "the user's own store still works";
  }
}

// HKEY_CLASSES_ROOT over two files and over one: what reads, listings and writes see and where writes land.
TEST_F(MachineStore, ClassesRootMergesTheUsersPartOverTheMachines) {
  for (bool split : {true, false}) {
    SCOPED_TRACE(split ? "two files" : "one file");
    auto api = split ? OpenRegistryStores(path_ + ".2", machine_ + ".2") : OpenRegistryStore(path_ + ".1");
    const std::string m = "SOFTWARE\\Classes\\", u = "Software\\Classes\\";
    for (const char* k : {".m", ".both", ".both\\Shell", ".both\\Shell\\open", "Machine.Only"}) ASSERT_EQ(PutText(*api, m + k, "", "machine", kHKLM), 0);
    ASSERT_EQ(PutText(*api, m + ".both", "onlyMachine", "1", kHKLM), 0);
    for (const char* k : {".u", ".both", ".both\\shell\\edit", ".both\\Zed"}) ASSERT_EQ(PutText(*api, u + k, "", "user"), 0);
    const std::tuple<const char*, const char*, const char*> reads[] = {
        {".m", "", "machine"}, {".u", "", "user"}, {".both", "", "user"}, {".both", "onlyMachine", "<2>"},
        {".both\\shell\\open", "", "machine"}, {"\\.both\\Shell", "", "<2>"}, {".none", "", "<2>"}};
    for (const auto& [path, name, value] : reads) EXPECT_EQ(FetchText(*api, path, name, kHKCR), value) << path << " " << name;
    EXPECT_EQ(SubKeyNames(*api, "", kHKCR), (Names{".both", ".m", ".u", "Machine.Only"}));
    EXPECT_EQ(SubKeyNames(*api, ".both", kHKCR), (Names{"shell", "Zed"}));
    EXPECT_EQ(SubKeyNames(*api, ".both\\shell", kHKCR), (Names{"edit", "open"}));
    const std::pair<const char*, bool> writes[] = {  // a value set there lands in the user's part (true)
        {".both", true}, {".m", false}, {".new", false}, {".u\\new", true},
        {".both\\shell\\open\\command", false}, {".both\\shell\\edit\\command", true}};
    for (const auto& [path, user] : writes) {
      EXPECT_EQ(PutText(*api, path, "w", "x", kHKCR), 0) << path;
      EXPECT_EQ(FetchText(*api, u + path, "w") + FetchText(*api, m + path, "w", kHKLM), user ? "x<2>" : "<2>x") << path;
    }
    EXPECT_EQ(api->DeleteKey(kHKCR, ".both\\Zed"), 0);
    EXPECT_EQ(SubKeyNames(*api, u + ".both"), (Names{"shell"}));
    EXPECT_EQ(api->DeleteKey(kHKCR, ".both"), kAccessDenied) << "the user's key has sub-keys";
    EXPECT_EQ(api->DeleteKey(kHKCR, ""), kAccessDenied);
  }
}

// A transaction or an import writes one of the two files, or nothing at all.
TEST_F(MachineStore, ATransactionOverBothStoresIsRefusedAndKeepsNothing) {
  using Write = long (*)(RegistryApi&);
  auto both = [&](Write first, Write second, bool ignoreFailure) {
    return RunAsOneTransaction(*api_, [&]() -> long {
      if (long rc = first(*api_)) return rc;
      long rc = second(*api_);
      return ignoreFailure ? 0 : rc;
    });
  };
  Write user = [](RegistryApi& api) { return PutText(api, "Software\\T", "v", "u"); };
  Write machine = [](RegistryApi& api) { return PutText(api, "SOFTWARE\\T", "v", "m", kHKLM); };
  Write classes = [](RegistryApi& api) { return PutText(api, ".t", "v", "c", kHKCR); };
  EXPECT_EQ(both(user, machine, false), kNotSameDevice);
  EXPECT_EQ(both(machine, user, true), kNotSameDevice) << "a body that ignores the refusal keeps nothing either";
  EXPECT_EQ(both(user, classes, false), kNotSameDevice) << "a new key of HKEY_CLASSES_ROOT is the machine's";
  EXPECT_EQ(FetchText(*api_, "Software\\T", "v") + FetchText(*api_, "SOFTWARE\\T", "v", kHKLM), "<2><2>");
  EXPECT_EQ(both(machine, classes, false), 0);
  EXPECT_EQ(both(user, user, false), 0);
  EXPECT_EQ(FetchText(*api_, ".t", "v", kHKCR), "c");
  std::ofstream(dir_ + "/both.reg") << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\I]\n\"v\"=\"u\"\n\n"
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\n\"v\"=\"m\"\n";
  std::string err;
  EXPECT_EQ(Tool(api_, {"import", dir_ + "/both.reg"}, &err), 1);
  EXPECT_NE(err.find("(17)"), std::string::npos) << err;
  EXPECT_EQ(FetchText(*api_, "Software\\I", "v") + FetchText(*api_, "SOFTWARE\\I", "v", kHKLM), "<2><2>");
}

// A store of the time when one file held every root keeps its machine keys: the split connection reads
// its HKEY_CURRENT_USER and leaves the rest untouched, and export from it and import move them over.
TEST_F(MachineStore, AStoreThatHeldEveryRootLosesNothingAndItsMachineKeysMoveOver) {
  api_.reset();
  auto old = OpenRegistryStore(path_);
  ASSERT_EQ(PutText(*old, "Software\\Acme", "v", "user"), 0);
  ASSERT_EQ(PutText(*old, "SOFTWARE\\Acme", "InstallDir", "/opt/acme", kHKLM), 0);
  ASSERT_EQ(PutText(*old, "SOFTWARE\\Classes\\.acme", "", "Acme.Document", kHKLM), 0);
  api_ = OpenRegistryStores(path_, machine_);
  EXPECT_EQ(FetchText(*api_, "Software\\Acme", "v"), "user");
  EXPECT_EQ(FetchText(*api_, "SOFTWARE\\Acme", "InstallDir", kHKLM), "<2>");
  ASSERT_EQ(PutText(*api_, "SOFTWARE\\Acme", "Version", "2", kHKLM), 0);
  EXPECT_EQ(FetchText(*old, "SOFTWARE\\Acme", "InstallDir", kHKLM) + FetchText(*old, "SOFTWARE\\Acme", "Version", kHKLM),
            "/opt/acme<2>");
  for (const char* key : {"HKLM\\SOFTWARE\\Acme", "HKLM\\SOFTWARE\\Classes\\.acme"}) {
    ASSERT_EQ(Tool(old, {"export", key, dir_ + "/machine.reg", "/y"}), 0);
    ASSERT_EQ(Tool(api_, {"import", dir_ + "/machine.reg"}), 0);
  }
  EXPECT_EQ(FetchText(*api_, "SOFTWARE\\Acme", "InstallDir", kHKLM) + FetchText(*api_, "SOFTWARE\\Acme", "Version", kHKLM),
            "/opt/acme2");
  EXPECT_EQ(FetchText(*api_, ".acme", "", kHKCR), "Acme.Document");
}

}  // namespace
}  // namespace cregistry::seamtest
