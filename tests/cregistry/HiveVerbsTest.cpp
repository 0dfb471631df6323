// save, load, unload and restore end to end, in-process on a real store file and real hive files, each
// hive read back by an independent reader, libregf's regfexport (the Windows build calls the system
// instead: HivesWin32Test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/cregistry/Tool.h"

namespace cregistry::tool {
namespace {

namespace fs = std::filesystem;

struct Ran {
  int status;
  std::string out, err;
};

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What regfexport reads from a hive, as a set of entries: "key PATH" for each key and "PATH | value block"
// for each value, the block without the value's number (which moves when a value before it goes).
// Empty when regfexport fails: it refuses a file it cannot read whole.
std::set<std::string> Regf(const fs::path& hive) {
  std::set<std::string> entries;
  std::FILE* pipe = popen(("regfexport '" + hive.string() + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return entries;
  std::string text;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  if (pclose(pipe) != 0) return {};
  std::istringstream lines(text);
  std::string line, path, block;
  const auto flush = [&] {
    if (!block.empty()) entries.insert(path + " | " + block);
    block.clear();
  };
  while (std::getline(lines, line)) {
    if (line.starts_with("Key path: ")) {
      flush();
      path = line.substr(10);
      entries.insert("key " + path);
    } else if (line.starts_with("Value: ")) {
      flush();
      block = line.substr(line.find(' ', 7) + 1);
    } else if (line.empty()) {
      flush();
    } else if (!block.empty()) {
      block += "\n" + line;
    }
  }
  flush();
  return entries;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  for (const auto& e : a) if (!b.count(e)) out.insert(e);
  return out;
}

class HiveVerbs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cregistry-hive-verbs-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::string big = "hex:";
    for (int i = 0; i < 20000; ++i) big += (i ? "," : "") + std::string(i % 2 ? "5a" : "a5");
    std::ofstream(P("tree.reg"), std::ios::binary)
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\T]\n@=\"default\"\n\"Name\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\n"
           "\"\xCE\xA9mega\"=dword:00000005\n\"Multi\"=hex(7):61,00,62,00,00\n\"Q\"=hex(b):01,02,03,04,05,06,07,08\n"
           "\"Empty\"=hex:\n\"Big\"=" << big << "\n\n[HKEY_CURRENT_USER\\Software\\T\\Sub\\Deeper]\n\"x\"=\"y\"\n";
    ASSERT_EQ(Tool({"import", P("tree.reg")}).status, 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Ran Tool(std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", P("store.db")});
    std::ostringstream out, err;
    const int status = RunTool(args, out, err);
    return {status, out.str(), err.str()};
  }
  // The key's tree as export /a writes it, its own path written as PATH.
  std::string Tree(const std::string& key) {
    if (Tool({"export", key, P("tree-out.reg"), "/a", "/y"}).status != 0) return "export failed";
    std::string text = Slurp(P("tree-out.reg"));
    const std::size_t slash = key.find('\\');
    const std::string root = key.substr(0, slash);
    const std::string full = (root == "HKLM" ? "HKEY_LOCAL_MACHINE" : root == "HKU" ? "HKEY_USERS" : "HKEY_CURRENT_USER") +
                             key.substr(slash);
    for (std::size_t at; (at = text.find(full)) != std::string::npos;) text.replace(at, full.size(), "PATH");
    return text;
  }
  std::string P(const char* name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(HiveVerbs, SavedHiveLoadsAsTheSameTreeAndChangesAsAsked) {
  const std::string original = Tree("HKCU\\Software\\T");
  ASSERT_EQ(Tool({"save", "HKCU\\Software\\T", P("t.hiv")}).status, 0);
  const std::set<std::string> saved = Regf(P("t.hiv"));
  ASSERT_FALSE(saved.empty()) << "regfexport cannot read the saved hive";
  EXPECT_TRUE(saved.count("key ROOT\\Sub\\Deeper"));
  // The 20,000-byte value is in big-data records, which regfexport reads (it refuses the whole file else).
  EXPECT_TRUE(std::any_of(saved.begin(), saved.end(), [](const std::string& e) { return e.find("Data size: 20000") != std::string::npos; }));

  const std::string bytes = Slurp(P("t.hiv"));
  Ran again = Tool({"save", "HKCU\\Software\\T", P("t.hiv")});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "cregistry: " + P("t.hiv") + ": the file exists: add /y to replace it\n");
  EXPECT_EQ(Slurp(P("t.hiv")), bytes);

  ASSERT_EQ(Tool({"load", "HKLM\\T", P("t.hiv")}).status, 0);
  EXPECT_EQ(Tree("HKLM\\T"), original);
  EXPECT_NE(Tool({"query", "HKLM"}).out.find("HKEY_LOCAL_MACHINE\\T\n"), std::string::npos);
  ASSERT_EQ(Tool({"add", "HKLM\\T\\Sub", "/v", "New", "/d", "x", "/f"}).status, 0);
  ASSERT_EQ(Tool({"delete", "HKLM\\T", "/v", "Multi", "/f"}).status, 0);
  ASSERT_EQ(Tool({"add", "HKLM\\T", "/v", "NAME", "/d", "neu", "/f"}).status, 0);  // set again: keeps its name
  ASSERT_EQ(Tool({"unload", "HKLM\\T"}).status, 0);
  EXPECT_EQ(Tool({"query", "HKLM\\T"}).err, "cregistry: HKLM\\T: the key does not exist\n");

  // Exactly the three changes, and nothing else of the file.
  const std::set<std::string> changed = Regf(P("t.hiv"));
  ASSERT_FALSE(changed.empty()) << "regfexport cannot read the changed hive";
  EXPECT_EQ(Minus(changed, saved),
            (std::set<std::string>{"ROOT\\Sub | New\nType: string (REG_SZ)\nData size: 4\nData: x",
                                   "ROOT | Name\nType: string (REG_SZ)\nData size: 8\nData: neu"}));
  const std::set<std::string> gone = Minus(saved, changed);
  ASSERT_EQ(gone.size(), 2u);
  EXPECT_TRUE(gone.begin()->starts_with("ROOT | Multi\n")) << *gone.begin();
  EXPECT_TRUE(std::next(gone.begin())->starts_with("ROOT | Name\n")) << *std::next(gone.begin());

  // restore replaces a key's tree with the hive's: what the key held before is gone.
  ASSERT_EQ(Tool({"add", "HKCU\\Software\\R\\Old", "/v", "old", "/d", "1", "/f"}).status, 0);
  ASSERT_EQ(Tool({"restore", "HKCU\\Software\\R", P("t.hiv")}).status, 0);
  ASSERT_EQ(Tool({"load", "HKU\\T", P("t.hiv")}).status, 0);
  const std::string restored = Tree("HKCU\\Software\\R");
  EXPECT_EQ(restored.find("Old"), std::string::npos);
  EXPECT_EQ(restored, Tree("HKU\\T"));
  EXPECT_EQ(Tool({"unload", "HKU\\T"}).status, 0);
}

TEST_F(HiveVerbs, RefusalsSayWhyAndChangeNothing) {
  ASSERT_EQ(Tool({"save", "HKCU\\Software\\T", P("t.hiv")}).status, 0);
  std::ofstream(P("text.hiv")) << "not a hive\n";
  ASSERT_EQ(Tool({"add", "HKLM\\Taken", "/f"}).status, 0);
  struct Row {
    std::vector<std::string> args;
    std::string err;  // what the one line on standard error holds
  };
  const std::vector<Row> rows{
      {{"load", "HKCU\\X", P("t.hiv")}, "HKCU\\X: a hive is loaded as a key right below HKLM or HKU"},
      {{"load", "HKLM\\A\\B", P("t.hiv")}, "a hive is loaded as a key right below HKLM or HKU"},
      {{"load", "HKLM\\Taken", P("t.hiv")}, "a key of that name exists already"},
      {{"load", "HKLM\\X", P("missing.hiv")}, "missing.hiv: cannot load the hive: the file does not exist"},
      {{"load", "HKLM\\X", P("text.hiv")}, "not a hive file"},
      {{"unload", "HKLM\\Taken"}, "no hive is loaded there"},
      {{"restore", "HKCU\\Software\\Missing", P("t.hiv")}, "HKCU\\Software\\Missing: the key does not exist"},
      {{"restore", "HKCU\\Software\\T", P("text.hiv")}, "not a hive file"},
      {{"save", "HKCU\\Software\\Missing", P("new.hiv")}, "the key does not exist"},
  };
  const std::string tree = Tree("HKCU\\Software\\T");
  for (const Row& row : rows) {
    const Ran ran = Tool(row.args);
    EXPECT_EQ(ran.status, 1) << row.args[0] << " " << row.args[1];
    EXPECT_NE(ran.err.find(row.err), std::string::npos) << ran.err;
    EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
  }
  EXPECT_EQ(Tree("HKCU\\Software\\T"), tree);
  EXPECT_FALSE(fs::exists(P("new.hiv")));
  EXPECT_EQ(Tool({"query", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\hivelist"}).out.find("REG_SZ"), std::string::npos);
}

}  // namespace
}  // namespace cregistry::tool
