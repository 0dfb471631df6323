// The hive verbs end to end: the real cregistry.exe, started as a user starts it, on the registry of the
// system it runs on (Wine's under the test runner).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/cregistry/regdiff/Spawn.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class Hives : public ::testing::Test {
 protected:
  Hives() {
    fs::create_directories(dir);
    fs::current_path(dir);  // the tool's current directory too
  }
  ~Hives() override {
    Tool({"unload", mount});
    Tool({"delete", key, "/f"});
    fs::current_path(previous);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static Output Tool(const std::vector<std::string>& args) {
    std::string program = CREGISTRY_TOOL;  // Wine maps Z:\ to the Unix root
    if (program.starts_with("/")) program = "Z:" + program;
    std::replace(program.begin(), program.end(), '/', '\\');
    Output run = RunProgram(program, args, "");
    for (std::string* text : {&run.out, &run.err}) std::erase(*text, '\r');
    return run;
  }

  const std::string name = "cregistry-hive-" + std::to_string(std::random_device{}());
  const std::string key = "HKCU\\Software\\" + name;
  const std::string mountName = name + "-\xC3\xA9t\xC3\xA9";  // "-été": a name beyond ASCII
  const std::string mount = "HKU\\" + mountName;
  const fs::path previous = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / name;
};

// A tree saved to a file relative to the current directory, refused over an existing file without /y,
// loaded under HKU, the same there, and unloaded.
TEST_F(Hives, SaveRefuseReplaceLoadUnload) {
  const std::u8string file8 = u8"b\u00e4ume.hiv";
  const std::string file(file8.begin(), file8.end());
  const fs::path path = dir / file8;
  ASSERT_EQ(Tool({"add", key + "\\Sub", "/v", "a", "/d", "hello", "/f"}).status, 0);
  ASSERT_EQ(Tool({"save", key, file}).status, 0);
  const std::string first = ReadFile(path);
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(Tool({"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "7", "/f"}).status, 0);
  const Output refused = Tool({"save", key, file});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "cregistry: " + file + ": the file exists: add /y to replace it\n");
  EXPECT_EQ(ReadFile(path), first);
  ASSERT_EQ(Tool({"save", key, file, "/y"}).status, 0);
  EXPECT_NE(ReadFile(path), first);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1) << "no temporary file left beside it";

  ASSERT_EQ(Tool({"load", mount, file}).status, 0);
  const Output saved = Tool({"query", key, "/s"}), loaded = Tool({"query", mount, "/s"});
  EXPECT_EQ(loaded.status, 0);
  EXPECT_NE(saved.out.find("0x7"), std::string::npos);
  EXPECT_EQ(Replace(loaded.out, "HKEY_USERS\\" + mountName, "HKEY_CURRENT_USER\\Software\\" + name), saved.out);
  ASSERT_EQ(Tool({"unload", mount}).status, 0);
  EXPECT_EQ(Tool({"query", mount}).err, "cregistry: " + mount + ": the key does not exist\n");

  // Wine's RegRestoreKeyW answers success and leaves the key as it was: only the tool's part is checked.
  EXPECT_EQ(Tool({"restore", key, file}).status, 0);
  EXPECT_EQ(Tool({"restore", key, "none.hiv"}).err,
            "cregistry: none.hiv: cannot restore the key: the file does not exist\n");
}

}  // namespace
