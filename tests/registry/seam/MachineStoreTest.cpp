// The user's store and the machine store side by side: root records under HKEY_LOCAL_MACHINE and another
// user reads it and is refused every write there; HKEY_CLASSES_ROOT's merged view; transactions and
// imports that would write both files; and a store written when one file held every root.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "StoreDir.h"
#include "registry/RegistryTransaction.h"
#include "tools/cregistry/Tool.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
using Names = std::vector<std::string>;

class MachineStore : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    machine_ = dir_ + "/lib/cregistry/machine.db";
    api_ = OpenRegistryStores(path_, machine_);
  }
  static long Put(RegistryApi& api, RegHandle root, const std::string& path, const std::string& name, const std::string& text) {
    KeyHandle key(api);
    if (long rc = api.CreateKey(root, path.c_str(), kAll, key.out())) return rc;
    return api.SetValue(key.get(), name.c_str(), 1, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                        static_cast<std::uint32_t>(text.size() + 1));
  }
  static std::string Get(RegistryApi& api, RegHandle root, const std::string& path, const std::string& name) {
    KeyHandle key(api);
    char data[64] = {};
    std::uint32_t type = 0, size = sizeof data - 1;
    long rc = api.OpenKey(root, path.c_str(), kKeyQueryValue, key.out());
    if (rc == 0) rc = api.QueryValue(key.get(), name.c_str(), &type, reinterpret_cast<std::uint8_t*>(data), &size);
    return rc == 0 ? data : "<" + std::to_string(rc) + ">";
  }
  static Names SubKeys(RegistryApi& api, RegHandle root, const std::string& path) {
    KeyHandle key(api);
    Names names;
    char name[300];
    if (api.OpenKey(root, path.c_str(), win32::kKeyEnumerateSubKeys, key.out()) != 0) return {"<missing>"};
    for (std::uint32_t i = 0; api.EnumKey(key.get(), i, name, sizeof name) == 0; ++i) names.emplace_back(name);
    return names;
  }
  // The tool in this process, on api.
  static int Tool(std::shared_ptr<RegistryApi> api, std::vector<std::string> args, std::string* err = nullptr) {
    std::ostringstream out, errors;
    const int status = tool::RunTool(args, std::move(api), out, errors);
    if (err != nullptr) *err = errors.str();
    return status;
  }
  static int Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  }

  std::string machine_;
  std::shared_ptr<RegistryApi> api_;
};

// The installer runs as root and records where it put the program; the program runs as the user nobody
// (the cregistry tool under setpriv, on a store of its own) and reads it, also while root's connection
// still has the commit in its log; every write of nobody's under the machine's roots answers 5.
TEST_F(MachineStore, RootRecordsAnotherUserReadsAndIsRefusedEveryWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to write the machine store and read it as the user nobody";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const std::string home = dir_ + "/nobody";
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  ASSERT_EQ(Put(*api_, kHKLM, "SOFTWARE\\Acme", "InstallDir", "/opt/acme"), 0);
  ASSERT_EQ(Put(*api_, kHKLM, "SOFTWARE\\Classes\\.acme", "", "Acme.Document"), 0);
  EXPECT_EQ(Mode(machine_), 0644);
  EXPECT_EQ(Mode(machine_ + "-wal"), 0644);
  EXPECT_EQ(Mode(machine_ + "-shm"), 0644);
  EXPECT_EQ(Mode(dir_ + "/lib/cregistry"), 0755);
  { std::ofstream(dir_ + "/in.reg") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme]\n\"x\"=\"y\"\n"; }

  // One command line as nobody: its exit status, with standard output and error in out.
  auto asNobody = [&](const std::vector<std::string>& args, std::string& out) {
    const std::string log = dir_ + "/out.txt";
    pid_t child = fork();
    if (child == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("CREGISTRY_STORE", (home + "/registry.db").c_str(), 1);
      setenv("CREGISTRY_MACHINE_STORE", machine_.c_str(), 1);
      std::vector<const char*> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", CREGISTRY_TOOL};
      for (const auto& a : args) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      execvp("setpriv", const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    std::ifstream in(log);
    out.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  struct Step {
    std::vector<std::string> args;
    int status;
    const char* shows;
  };
  const Step steps[] = {
      {{"query", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir"}, 0, "/opt/acme"},
      {{"query", "HKCR\\.acme", "/ve"}, 0, "Acme.Document"},
      {{"add", "HKLM\\SOFTWARE\\Acme", "/v", "x", "/d", "y", "/f"}, 1, "(5)"},
      {{"add", "HKLM\\SOFTWARE\\Acme", "/f"}, 1, "(5)"},
      {{"add", "HKLM\\SOFTWARE\\Acme\\Sub", "/f"}, 1, "(5)"},
      {{"delete", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir", "/f"}, 1, "(5)"},
      {{"delete", "HKLM\\SOFTWARE\\Acme", "/f"}, 1, "(5)"},
      {{"import", dir_ + "/in.reg"}, 1, "(5)"},
      {{"add", "HKCR\\.acme", "/v", "x", "/d", "y", "/f"}, 1, "(5)"},
      // The user's own part of HKEY_CLASSES_ROOT: written, and from then on hiding the machine's key.
      {{"add", "HKCU\\Software\\Classes\\.acme", "/ve", "/d", "Mine.Document", "/f"}, 0, ""},
      {{"add", "HKCR\\.acme", "/v", "x", "/d", "y", "/f"}, 0, ""},
      {{"query", "HKCR\\.acme"}, 0, "Mine.Document"},
      {{"query", "HKCU\\Software\\Classes\\.acme", "/v", "x"}, 0, "REG_SZ"},
  };
  for (const Step& step : steps) {
    std::string out;
    EXPECT_EQ(asNobody(step.args, out), step.status) << step.args[0] << " " << step.args[1] << ": " << out;
    EXPECT_NE(out.find(step.shows), std::string::npos) << step.args[0] << " " << step.args[1] << ": " << out;
  }
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\Acme", "x"), "<2>");
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\Classes\\.acme", "x"), "<2>");
  // Through the seam as nobody: a machine key that exists opens for reading, not for writing.
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    auto api = OpenRegistryStores(home + "/registry.db", machine_);
    RegHandle key = 0;
    if (api->CreateKey(kHKLM, "SOFTWARE\\Acme", kKeyQueryValue, key) != 0) _exit(11);
    _exit(api->CreateKey(kHKLM, "SOFTWARE\\Acme", kAll, key) == kAccessDenied ? 0 : 12);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "the step of the child that failed (10 + n)";
  // Root's process ends its connection (the log empties into the file): nobody still reads.
  api_.reset();
  std::string out;
  EXPECT_EQ(asNobody({"query", "HKLM\\SOFTWARE\\Acme", "/v", "InstallDir"}, out), 0) << out;
  EXPECT_NE(out.find("/opt/acme"), std::string::npos) << out;
}

// HKEY_CLASSES_ROOT over two files and over one: what reads, listings and writes see and where writes land.
TEST_F(MachineStore, ClassesRootMergesTheUsersPartOverTheMachines) {
  for (bool split : {true, false}) {
    SCOPED_TRACE(split ? "two files" : "one file");
    auto api = split ? OpenRegistryStores(path_ + ".2", machine_ + ".2") : OpenRegistryStore(path_ + ".1");
    const std::string m = "SOFTWARE\\Classes\\", u = "Software\\Classes\\";
    for (const char* k : {".m", ".both", ".both\\Shell", ".both\\Shell\\open", "Machine.Only"}) ASSERT_EQ(Put(*api, kHKLM, m + k, "", "machine"), 0);
    ASSERT_EQ(Put(*api, kHKLM, m + ".both", "onlyMachine", "1"), 0);
    for (const char* k : {".u", ".both", ".both\\shell\\edit", ".both\\Zed"}) ASSERT_EQ(Put(*api, kHKCU, u + k, "", "user"), 0);
    struct Read {
      const char* path;
      const char* name;
      const char* value;
    };
    for (const Read& r : {Read{".m", "", "machine"}, Read{".u", "", "user"}, Read{".both", "", "user"},
                          Read{".both", "onlyMachine", "<2>"}, Read{".both\\shell\\open", "", "machine"},
                          Read{"\\.both\\Shell", "", "<2>"}, Read{".none", "", "<2>"}}) {
      EXPECT_EQ(Get(*api, kHKCR, r.path, r.name), r.value) << r.path << " " << r.name;
    }
    EXPECT_EQ(SubKeys(*api, kHKCR, ""), (Names{".both", ".m", ".u", "Machine.Only"}));
    EXPECT_EQ(SubKeys(*api, kHKCR, ".both"), (Names{"shell", "Zed"}));
    EXPECT_EQ(SubKeys(*api, kHKCR, ".both\\shell"), (Names{"edit", "open"}));
    struct Write {
      const char* path;  // a value "w" is set there, creating the key when needed
      RegHandle lands;
    };
    for (const Write& w : {Write{".both", kHKCU}, Write{".m", kHKLM}, Write{".new", kHKLM}, Write{".u\\new", kHKCU},
                           Write{".both\\shell\\open\\command", kHKLM}, Write{".both\\shell\\edit\\command", kHKCU}}) {
      EXPECT_EQ(Put(*api, kHKCR, w.path, "w", "x"), 0) << w.path;
      EXPECT_EQ(Get(*api, w.lands, (w.lands == kHKCU ? u : m) + w.path, "w"), "x") << w.path;
      EXPECT_EQ(Get(*api, w.lands == kHKCU ? kHKLM : kHKCU, (w.lands == kHKCU ? m : u) + w.path, "w"), "<2>") << w.path;
    }
    EXPECT_EQ(api->DeleteKey(kHKCR, ".both\\Zed"), 0);
    EXPECT_EQ(SubKeys(*api, kHKCU, u + ".both"), (Names{"shell"}));
    EXPECT_EQ(api->DeleteKey(kHKCR, ".both"), kAccessDenied) << "the user's key has sub-keys";
    EXPECT_EQ(api->DeleteKey(kHKCR, ""), kAccessDenied);
  }
}

// A transaction or an import writes one of the two files, or nothing at all.
TEST_F(MachineStore, ATransactionOverBothStoresIsRefusedAndKeepsNothing) {
  auto both = [&](long (*first)(RegistryApi&), long (*second)(RegistryApi&), bool ignoreFailure) {
    return RunAsOneTransaction(*api_, [&]() -> long {
      if (long rc = first(*api_)) return rc;
      long rc = second(*api_);
      return ignoreFailure ? 0 : rc;
    });
  };
  auto user = [](RegistryApi& api) { return Put(api, kHKCU, "Software\\T", "v", "u"); };
  auto machine = [](RegistryApi& api) { return Put(api, kHKLM, "SOFTWARE\\T", "v", "m"); };
  auto classes = [](RegistryApi& api) { return Put(api, kHKCR, ".t", "v", "c"); };
  EXPECT_EQ(both(user, machine, false), kNotSameDevice);
  EXPECT_EQ(both(machine, user, true), kNotSameDevice) << "a body that ignores the refusal keeps nothing either";
  EXPECT_EQ(both(user, classes, false), kNotSameDevice) << "a new key of HKEY_CLASSES_ROOT is the machine's";
  EXPECT_EQ(Get(*api_, kHKCU, "Software\\T", "v"), "<2>");
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\T", "v"), "<2>");
  EXPECT_EQ(both(machine, classes, false), 0);
  EXPECT_EQ(both(user, user, false), 0);
  EXPECT_EQ(Get(*api_, kHKCR, ".t", "v"), "c");

  const std::string file = dir_ + "/both.reg";
  { std::ofstream(file) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\I]\n\"v\"=\"u\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\n\"v\"=\"m\"\n"; }
  std::string err;
  EXPECT_EQ(Tool(api_, {"import", file}, &err), 1);
  EXPECT_NE(err.find("error 17"), std::string::npos) << err;
  EXPECT_EQ(Get(*api_, kHKCU, "Software\\I", "v"), "<2>");
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\I", "v"), "<2>");
  std::string read;
  EXPECT_EQ(RunAsOneSnapshot(*api_, [&] {
    read = Get(*api_, kHKCU, "Software\\T", "v") + Get(*api_, kHKLM, "SOFTWARE\\T", "v");
    return kSuccess;
  }), 0);
  EXPECT_EQ(read, "um");
}

// A store of the time when one file held every root keeps its machine keys: the split connection reads
// its HKEY_CURRENT_USER and leaves the rest untouched, and export from it and import move them over.
TEST_F(MachineStore, AStoreThatHeldEveryRootLosesNothingAndItsMachineKeysMoveOver) {
  api_.reset();
  {
    auto old = OpenRegistryStore(path_);
    ASSERT_EQ(Put(*old, kHKCU, "Software\\Acme", "v", "user"), 0);
    ASSERT_EQ(Put(*old, kHKLM, "SOFTWARE\\Acme", "InstallDir", "/opt/acme"), 0);
    ASSERT_EQ(Put(*old, kHKLM, "SOFTWARE\\Classes\\.acme", "", "Acme.Document"), 0);
  }
  api_ = OpenRegistryStores(path_, machine_);
  EXPECT_EQ(Get(*api_, kHKCU, "Software\\Acme", "v"), "user");
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\Acme", "InstallDir"), "<2>");
  ASSERT_EQ(Put(*api_, kHKLM, "SOFTWARE\\Acme", "Version", "2"), 0);
  EXPECT_EQ(Get(*OpenRegistryStore(path_), kHKLM, "SOFTWARE\\Acme", "InstallDir"), "/opt/acme");
  EXPECT_EQ(Get(*OpenRegistryStore(path_), kHKLM, "SOFTWARE\\Acme", "Version"), "<2>");

  const std::string file = dir_ + "/machine.reg";
  for (const char* key : {"HKLM\\SOFTWARE\\Acme", "HKLM\\SOFTWARE\\Classes\\.acme"}) {
    ASSERT_EQ(Tool(OpenRegistryStore(path_), {"export", key, file, "/y"}), 0);
    ASSERT_EQ(Tool(api_, {"import", file}), 0);
  }
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\Acme", "InstallDir"), "/opt/acme");
  EXPECT_EQ(Get(*api_, kHKLM, "SOFTWARE\\Acme", "Version"), "2");
  EXPECT_EQ(Get(*api_, kHKCR, ".acme", ""), "Acme.Document");
}

}  // namespace
}  // namespace cregistry::seamtest
