// The cregistry tool run in-process on a real registry: a store file natively, Wine's registry in the
// Windows build. Command lines as a user types them; the registry checked through the seam.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include <cregistry/RegistryTransaction.h>
#ifndef _WIN32
#include <cregistry/Store.h>
#endif
#include "registry/ForwardingRegistryApi.h"
#include "registry/TransactionalApi.h"
#include "registry/regfile/RegFile.h"
#include "support/RegistrySandbox.h"
#include "tools/cregistry/Tool.h"

namespace cregistry::tool {
namespace {

namespace fs = std::filesystem;
using cregistry::testing::kHKCU;
using cregistry::testing::RegistrySandbox;

struct Outcome {
  int status;
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() {
    dir = fs::temp_directory_path() / ("cregistry-tool-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    key = "HKCU\\" + box.base;
    full = "HKEY_CURRENT_USER\\" + box.base;
  }
  ~ToolTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Runs a command line; the store (natively) is the sandbox's.
  Outcome Tool(std::vector<std::string> args, std::shared_ptr<RegistryApi> api = nullptr) {
    if (!box.storePath.empty() && !api) args.insert(args.begin(), {"--store", box.storePath});
    std::ostringstream out, err;
    int status = api ? RunTool(args, api, out, err) : RunTool(args, out, err);
    return {status, out.str(), err.str()};
  }
  // The same with the answers to the tool's questions.
  Outcome Tool(std::vector<std::string> args, const std::string& answers) {
    if (!box.storePath.empty()) args.insert(args.begin(), {"--store", box.storePath});
    std::istringstream in(answers);
    std::ostringstream out, err;
    int status = RunTool(args, nullptr, in, out, err);
    return {status, out.str(), err.str()};
  }
  std::string File(const std::string& name) const { return (dir / name).string(); }

  // Every key below path (itself included) with its values, as lines "path|name|type|data-hex"; values
  // sorted by name (Wine's registry lists them sorted, the store in creation order).
  std::vector<std::string> Dump(const std::string& path) {
    std::vector<std::string> lines;
    KeyHandle k(*box.api);
    if (box.api->OpenKey(RootHandle(kHKCU), path.c_str(), 0x20019, k.out()) != 0) return lines;
    lines.push_back(path);
    std::vector<std::string> values;
    char name[70000];
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t len = sizeof name;
      if (box.api->EnumValue(k.get(), i, name, len) != 0) break;
      std::uint32_t type;
      std::string data;
      EXPECT_TRUE(box.GetRaw(kHKCU, path, std::string(name, len), type, data));
      std::string hex;
      for (unsigned char c : data) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
      values.push_back(path + "|" + std::string(name, len) + "|" + std::to_string(type) + "|" + hex);
    }
    std::sort(values.begin(), values.end());
    lines.insert(lines.end(), values.begin(), values.end());
    std::vector<std::string> children;
    for (std::uint32_t i = 0;; ++i) {
      char child[1100];
      if (box.api->EnumKey(k.get(), i, child, sizeof child) != 0) break;
      children.emplace_back(child);
    }
    for (const auto& child : children) {
      auto sub = Dump(path + "\\" + child);
      lines.insert(lines.end(), sub.begin(), sub.end());
    }
    return lines;
  }

  static void ExpectOneErrorLine(const Outcome& run, const std::string& what) {
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_EQ(run.err.rfind("cregistry: ", 0), 0u) << what << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
  }

  RegistrySandbox box;
  fs::path dir;
  std::string key, full;
};

TEST_F(ToolTest, TheReadmeExamples) {
  ASSERT_EQ(Tool({"add", key, "/v", "Size", "/t", "REG_DWORD", "/d", "42", "/f"}).status, 0);
  Outcome q = Tool({"query", key, "/v", "Size"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out, "\n" + full + "\n    Size    REG_DWORD    0x2a\n\n");
  EXPECT_EQ(q.err, "");
  ASSERT_EQ(Tool({"add", key + "\\Sub", "/ve", "/d", "text"}).status, 0);
  q = Tool({"query", key, "/s"});
  EXPECT_EQ(q.out, "\n" + full + "\n    Size    REG_DWORD    0x2a\n\n" + full + "\\Sub\n    (Default)    REG_SZ    text\n\n");
  q = Tool({"query", key});
  EXPECT_EQ(q.out, "\n" + full + "\n    Size    REG_DWORD    0x2a\n\n" + full + "\\Sub\n");

  ASSERT_EQ(Tool({"export", key, File("acme.reg")}).status, 0);
  EXPECT_EQ(ReadFile(File("acme.reg")).substr(0, 4), std::string("\xFF\xFE" "W\0", 4));
  EXPECT_EQ(Tool({"export", key, File("acme.reg")}).status, 1) << "no /y: the file stays";
  EXPECT_EQ(Tool({"export", key, File("acme.reg"), "/y"}).status, 0);

  ASSERT_EQ(Tool({"delete", key, "/v", "Size", "/f"}).status, 0);
  std::uint32_t type;
  std::string data;
  EXPECT_FALSE(box.GetRaw(kHKCU, box.base, "Size", type, data));
  ASSERT_EQ(Tool({"delete", key, "/f"}).status, 0);
  EXPECT_FALSE(box.Exists(kHKCU, box.base));

  ASSERT_EQ(Tool({"import", File("acme.reg")}).status, 0);
  ASSERT_TRUE(box.GetRaw(kHKCU, box.base, "Size", type, data));
  EXPECT_EQ(type, 4u);
  EXPECT_EQ(data, std::string("\x2a\0\0\0", 4));
  ASSERT_TRUE(box.GetRaw(kHKCU, box.base + "\\Sub", "", type, data));
  EXPECT_EQ(data, std::string("text\0", 5));

  Outcome help = Tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("import FILE"), std::string::npos);
  EXPECT_NE(help.out.find(box.storePath.empty() ? "An import reads and checks the whole file first"
                                                : "An import reads the file once and applies it as one transaction"),
            std::string::npos);
  Outcome verbHelp = Tool({"query", "/?"});
  EXPECT_EQ(verbHelp.status, 0);
  EXPECT_EQ(verbHelp.out.rfind("usage: cregistry query KEY [/v NAME] [/ve] [/s] [/se SEP]\n", 0), 0u) << verbHelp.out;
}

TEST_F(ToolTest, SwitchesAndRootsInEveryForm) {
  ASSERT_EQ(Tool({"ADD", "hkey_current_user\\" + box.base, "-V", "a", "/D", "1", "-F"}).status, 0);
  ASSERT_EQ(Tool({"add", "HkCu\\" + box.base, "--v", "b", "/t", "reg_dword", "/d", "0x10", "/f"}).status, 0);
  Outcome q = Tool({"query", "HKEY_CURRENT_USER\\" + box.base + "\\"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out, "\n" + full + "\n    a    REG_SZ    1\n    b    REG_DWORD    0x10\n\n");
}

TEST_F(ToolTest, AddStoresEachTypeAsReg) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t type;
    std::string data;
    std::string shown;
  };
  const std::vector<Case> cases{
      {{"/t", "REG_SZ", "/d", "x y"}, 1, std::string("x y\0", 4), "x y"},
      {{"/t", "REG_EXPAND_SZ", "/d", "%PATH%"}, 2, std::string("%PATH%\0", 7), "%PATH%"},
      {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, 7, std::string("a\0bc\0\0", 6), "a\\0bc"},
      {{"/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b"}, 7, std::string("a\0b\0\0", 5), "a\\0b"},
      {{"/t", "REG_DWORD", "/d", "4294967295"}, 4, "\xFF\xFF\xFF\xFF", "0xffffffff"},
      {{"/t", "REG_DWORD", "/d", "0x2A"}, 4, std::string("\x2a\0\0\0", 4), "0x2a"},
      {{"/t", "REG_QWORD", "/d", "0x123456789"}, 11, std::string("\x89\x67\x45\x23\x01\0\0\0", 8), "0x123456789"},
      {{"/t", "REG_BINARY", "/d", "00ff10"}, 3, std::string("\0\xff\x10", 3), "00FF10"},
      {{"/t", "REG_BINARY", "/d", "123"}, 3, std::string("\x01\x23", 2), "0123"},
      {{"/t", "REG_NONE", "/d", "01"}, 0, std::string("0\0" "1\0\0\0", 6), "300031000000"},
      {{"/t", "REG_DWORD_BIG_ENDIAN", "/d", "0x01020304"}, 5, "\x04\x03\x02\x01", "0x1020304"},
      {{"/t", "REG_SZ"}, 1, std::string("\0", 1), ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "v" + std::to_string(n++);
    std::vector<std::string> args{"add", key, "/v", name};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(Tool(args).status, 0) << name;
    std::uint32_t type;
    std::string data;
    ASSERT_TRUE(box.GetRaw(kHKCU, box.base, name, type, data)) << name;
    EXPECT_EQ(type, c.type) << name;
    EXPECT_EQ(data, c.data) << name;
    Outcome q = Tool({"query", key, "/v", name});
    EXPECT_NE(q.out.find("    " + c.shown + "\n"), std::string::npos) << name << ": " << q.out;
  }
  // An existing value is replaced only with /f.
  Outcome again = Tool({"add", key, "/v", "v0", "/d", "new"});
  ExpectOneErrorLine(again, "no /f");
  EXPECT_NE(again.err.find("the value exists: add /f to replace it"), std::string::npos);
}

TEST_F(ToolTest, FailuresAreOneLineWithStatusOne) {
  Outcome missing = Tool({"query", "HKCU\\Software\\cregistry-tests\\Nope-" + box.base.substr(box.base.rfind('t'))});
  ExpectOneErrorLine(missing, "missing key");
  EXPECT_EQ(missing.err, "cregistry: HKCU\\Software\\cregistry-tests\\Nope-" + box.base.substr(box.base.rfind('t')) +
                             ": the key does not exist\n");
  ASSERT_EQ(Tool({"add", key, "/f"}).status, 0);
  const std::vector<std::vector<std::string>> bad{
      {},
      {"frobnicate"},
      {"query"},
      {"query", key, "extra"},
      {"query", "HKXX\\Software"},
      {"query", "\\\\machine\\HKLM\\Software"},
      {"query", key, "/v", "missing"},
      {"query", key, "-x"},
      {"query", key, "/v"},
      {"query", key, "/v", "a", "/ve"},
      {"add", key, "/v", "n", "/t", "REG_WHATEVER"},
      {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", key, "/v", "n", "/t", "REG_DWORD"},
      {"add", key, "/v", "n", "/t", "REG_QWORD", "/d", "0x1ffffffffffffffff"},
      {"add", key, "/v", "n", "/t", "REG_BINARY", "/d", "zz"},
      {"add", key, "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
      {"add", "HKCU\\"},
      {"delete", key},
      {"delete", "HKCU", "/f"},
      {"delete", key + "\\nope", "/f"},
      {"delete", key, "/v", "nope", "/f"},
      {"export", key},
      {"export", key + "\\nope", File("x.reg")},
      {"import", File("does-not-exist.reg")},
  };
  for (const auto& args : bad) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    ExpectOneErrorLine(Tool(args), line);
  }
  EXPECT_FALSE(fs::exists(File("x.reg")));
}

TEST_F(ToolTest, ImportChecksTheWholeFileBeforeWritingAnything) {
  const std::string file = File("bad.reg");
  WriteFile(file, "REGEDIT4\r\n\r\n[" + full + "]\r\n\"a\"=\"1\"\r\n\r\n[" + full +
                      "\\Sub]\r\n\"b\"=hex:01,0203\r\n");
  Outcome run = Tool({"import", file});
  ExpectOneErrorLine(run, "bad file");
  EXPECT_EQ(run.err, "cregistry: " + file + ":7:14: expected a comma between hex bytes\n");
  EXPECT_FALSE(box.Exists(kHKCU, box.base)) << "nothing of the file may be written";
}

// An error at the very end of a long file, after thousands of keys and values (and a deleted key and
// value) the reader accepted: the store takes the whole transaction back, Windows never starts applying.
TEST_F(ToolTest, AnImportWithAnErrorAtItsEndLeavesTheRegistryAsItWas) {
  ASSERT_EQ(Tool({"add", key + "\\Old", "/v", "kept", "/d", "1"}).status, 0);
  ASSERT_EQ(Tool({"add", key, "/v", "old", "/d", "2"}).status, 0);
  const auto before = Dump(box.base);
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[-" + full + "\\Old]\r\n[" + full + "]\r\n\"old\"=-\r\n";
  const int keys = 1500;
  for (int k = 0; k < keys; ++k) {
    text += "[" + full + "\\Many\\k" + std::to_string(k) + "]\r\n\"a\"=\"" + std::to_string(k) +
            "\"\r\n\"b\"=dword:0000002a\r\n";
  }
  text += "\"c\"=hex:01,0g\r\n";
  const std::string file = File("late.reg");
  WriteFile(file, text);
  Outcome run = Tool({"import", file});
  ExpectOneErrorLine(run, "error at the end");
  EXPECT_EQ(run.err, "cregistry: " + file + ":" + std::to_string(5 + 3 * keys + 1) + ":13: expected a comma or the end of the hex data\n");
  EXPECT_EQ(Dump(box.base), before) << "nothing of the file may be kept";
}

TEST_F(ToolTest, ImportDeletesKeysAndValues) {
  ASSERT_EQ(Tool({"add", key + "\\Old\\Deep", "/v", "x", "/d", "1"}).status, 0);
  ASSERT_EQ(Tool({"add", key, "/v", "gone", "/d", "1"}).status, 0);
  ASSERT_EQ(Tool({"add", key, "/v", "kept", "/d", "1"}).status, 0);
  const std::string file = File("del.reg");
  WriteFile(file, "Windows Registry Editor Version 5.00\n[-" + full + "\\Old]\n[-" + full +
                      "\\NeverThere]\n[" + full + "]\n\"gone\"=-\n\"never\"=-\n\"new\"=\"\xC3\xA9\"\n");
  ASSERT_EQ(Tool({"import", file}).status, 0);
  EXPECT_FALSE(box.Exists(kHKCU, box.base + "\\Old"));
  EXPECT_EQ(Dump(box.base), (std::vector<std::string>{
                                box.base, box.base + "|kept|1|3100", box.base + "|new|1|c3a900"}));
}

// A file the reader accepts but the registry refuses halfway (the store has no HKEY_DYN_DATA): on the
// store nothing of it lands, not even the keys before the failure.
TEST_F(ToolTest, AnImportThatFailsHalfwayLeavesTheStoreAsItWas) {
  if (box.storePath.empty()) GTEST_SKIP() << "Windows applies key by key; Wine's registry has HKEY_DYN_DATA";
  ASSERT_EQ(Tool({"add", key, "/v", "old", "/d", "1"}).status, 0);
  const std::string file = File("half.reg");
  WriteFile(file, "REGEDIT4\n[" + full + "]\n\"old\"=-\n\"new\"=\"2\"\n[" + full + "\\Sub]\n[HKEY_DYN_DATA\\x]\n");
  Outcome run = Tool({"import", file});
  ExpectOneErrorLine(run, "refused halfway");
  EXPECT_EQ(run.err, "cregistry: " + file + ":6:1: cannot create HKEY_DYN_DATA\\x: invalid handle (6)\n");
  EXPECT_EQ(Dump(box.base), (std::vector<std::string>{box.base, box.base + "|old|1|3100"}));
}

// Random trees: export, delete, import gives the same tree; and the export of the import is the same
// file again.
TEST_F(ToolTest, RandomTreesRoundTrip) {
  const std::vector<std::string> pieces{"a", "Z", " ", "\"", "\\", "[", "]", ";", "=", "\xC3\xA9", "\xE2\x82\xAC",
                                        "\xD0\x96", "x", "7"};
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const auto text = [&](int max, bool keyName) {
      std::string s;
      for (int n = pick(max) + (keyName ? 1 : 0); n > 0; --n) {
        std::string p = pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
        if (keyName && p == "\\") p = "_";
        s += p;
      }
      return s;
    };
    const std::string root = box.base + "\\r" + std::to_string(seed);
    std::vector<std::string> keys{root};
    for (int k = 0; k < 12; ++k) {
      std::string path = keys[static_cast<std::size_t>(pick(static_cast<int>(keys.size())))] + "\\" + text(6, true);
      keys.push_back(path);
      KeyHandle h(*box.api);
      ASSERT_EQ(box.api->CreateKey(RootHandle(kHKCU), path.c_str(), 0xF003F, h.out()), 0) << path;
      for (int v = pick(6); v > 0; --v) {
        std::uint32_t type;
        std::string data;
        switch (pick(8)) {
          case 0: type = 1; data = text(10, false) + '\0'; break;
          case 1: type = 2; data = text(40, false) + '\0'; break;
          case 2: type = 7; data = "a" + text(5, false) + '\0' + "b" + text(5, false) + '\0' + '\0'; break;
          case 3: type = 4; data = std::string(4, static_cast<char>(pick(256))); break;
          case 4: type = 11; data = std::string(8, static_cast<char>(pick(256))); break;
          case 5: type = 5; data = std::string(4, static_cast<char>(pick(256))); break;
          case 6: type = 0; data = std::string(static_cast<std::size_t>(pick(4)), '\x01'); break;
          default: type = 3; for (int b = pick(2) ? 300 : pick(20); b > 0; --b) data += static_cast<char>(pick(256));
        }
        box.PutRaw(kHKCU, path, pick(5) == 0 ? "" : text(8, false), type, data);
      }
      if (k == 0) {
        // A name longer than the room a listing of values starts with (1,024 bytes).
        std::string longName;
        while (longName.size() < 1000 + 400 * seed) longName += text(8, false) + "n";
        box.PutRaw(kHKCU, path, longName, 1, text(10, false) + '\0');
      }
    }
    const std::vector<std::string> before = Dump(root);
    for (const char* ansi : {"", "/a"}) {
      const std::string file = File("r" + std::to_string(seed) + (*ansi ? "a" : "") + ".reg");
      std::vector<std::string> args{"export", "HKCU\\" + root, file};
      if (*ansi) args.push_back(ansi);
      Outcome exported = Tool(args);
      ASSERT_EQ(exported.status, 0) << "seed " << seed << ": " << exported.err;
      ASSERT_EQ(Tool({"delete", "HKCU\\" + root, "/f"}).status, 0);
      ASSERT_FALSE(box.Exists(kHKCU, root));
      Outcome imported = Tool({"import", file});
      ASSERT_EQ(imported.status, 0) << imported.err;
      EXPECT_EQ(Dump(root), before) << "seed " << seed << ansi;
      args[2] = file + ".again";
      ASSERT_EQ(Tool(args).status, 0);
      EXPECT_EQ(ReadFile(file + ".again"), ReadFile(file)) << "seed " << seed << ansi;
    }
  }
}

// copy without /f asks before it overwrites (Yes, No or All by first letter, anything else asks again, the
// end of input answers No to what is left) and copies the rest; it refuses, changing nothing, a missing
// source, the source itself (in any case) and with /s a key inside the source.
TEST_F(ToolTest, CopyAsksBeforeItOverwritesAndRefusesWhatWouldLoop) {
  struct Case {  // args: KEY1 and KEY2 below the test's key, then switches; xy: dst's x, y and "z" if copied
    const char* answers;
    std::vector<std::string> args;
    int status, questions;
    const char* xy;
  };
  const Case cases[] = {
      {"y\nn\n", {"src", "dst", "/s"}, 0, 2, "1 old z"},   {"No\nYES\n", {"src", "dst", "/s"}, 0, 2, "old 2 z"},
      {"a\n", {"src", "dst", "/s"}, 0, 1, "1 2 z"},         {"", {"src", "dst", "/s"}, 0, 1, "old old z"},
      {"maybe\ny\nn\n", {"src", "dst", "/s"}, 0, 3, "1 old z"}, {"", {"src", "dst", "/s", "/f"}, 0, 0, "1 2 z"},
      {"n\n", {"src", "dst"}, 0, 2, "old old"},             {"", {"nope", "dst"}, 1, 0, "old old"},
      {"", {"src", "SRC", "/f"}, 1, 0, "old old"},          {"", {"src", "src\\sub\\in", "/s", "/f"}, 1, 0, "old old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " answers " + c.answers);
    Tool({"delete", key, "/f"});  // each row from the same start
    for (const char* add : {"src x 1", "src y 2", "src\\sub z 3", "dst x old", "dst y old"}) {
      std::string sub, name, data;
      std::istringstream(add) >> sub >> name >> data;
      box.PutRaw(kHKCU, box.base + "\\" + sub, name, 1, data + '\0');
    }
    const std::vector<std::string> before = Dump(box.base);
    std::vector<std::string> args{"copy", key + "\\" + c.args[0], key + "\\" + c.args[1]};
    args.insert(args.end(), c.args.begin() + 2, c.args.end());
    const Outcome run = Tool(args, c.answers);
    EXPECT_EQ(run.status, c.status) << run.err;
    int questions = 0;
    for (std::size_t at = 0; (at = run.out.find("overwrite it?", at)) != std::string::npos; ++at) ++questions;
    EXPECT_EQ(questions, c.questions) << run.out;
    std::string seen, data;
    std::uint32_t type;
    for (const char* v : {"x", "y"}) seen += (box.GetRaw(kHKCU, box.base + "\\dst", v, type, data) ? data.c_str() : "-") + std::string(" ");
    if (box.GetRaw(kHKCU, box.base + "\\dst\\sub", "z", type, data)) seen += "z ";
    EXPECT_EQ(seen, std::string(c.xy) + " ");
    EXPECT_TRUE(c.status == 0 || Dump(box.base) == before) << "a refused copy changed something";
  }
}

// Asks hook before each value read (counted from 0): a code other than 0 answers it. Transactions pass on.
class HookApi : public ForwardingRegistryApi, public TransactionalApi {
 public:
  HookApi(std::shared_ptr<RegistryApi> inner, std::function<long(int)> hook)
      : ForwardingRegistryApi(inner), tx_(dynamic_cast<TransactionalApi*>(inner.get())), hook_(std::move(hook)) {}
  long BeginTransaction() override { return tx_ ? tx_->BeginTransaction() : 0; }
  long EndTransaction(bool commit) override { return tx_ ? tx_->EndTransaction(commit) : 0; }
  long BeginSnapshot() override { return tx_ ? tx_->BeginSnapshot() : 0; }
  void EndSnapshot() override { return tx_ ? tx_->EndSnapshot() : void(); }
  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    if (long rc = hook_(calls_++)) return rc;
    return ForwardingRegistryApi::QueryValue(key, name, type, data, size);
  }

 private:
  TransactionalApi* tx_;
  std::function<long(int)> hook_;
  int calls_ = 0;
};

// An export refuses a key or value named by a CR alone (no file), fails keeping a file that appears at its
// target meanwhile, and does not show another connection's commit between its reads (one state).
TEST_F(ToolTest, AnExportMeetsWhatHappensWhileItReads) {
  const std::string file = File("during.reg");
  for (const std::string what : {"key", "value", "planted", "commit"}) {
    if (what == "commit" && box.storePath.empty()) continue;  // advapi32 has no snapshot
    Tool({"delete", key, "/f"});
    for (int i = 0; i < 20; ++i) box.PutRaw(kHKCU, box.base + "\\k", "v" + std::to_string(i), 1, std::string("x\0", 2));
    if (what == "key") box.PutRaw(kHKCU, box.base + "\\k\\\r", "v", 1, std::string("x\0", 2));
    if (what == "value") box.PutRaw(kHKCU, box.base + "\\k", "\r", 1, std::string("x\0", 2));
    auto hooked = std::make_shared<HookApi>(box.api, [&](int read) -> long {
      if (read != 10) return 0;
      if (what == "planted") WriteFile(file, "planted");
#ifndef _WIN32
      if (what == "commit") {
        auto other = OpenRegistryStore(box.storePath);  // a connection of its own, as another process has
        KeyHandle k(*other);
        EXPECT_EQ(other->OpenKey(RootHandle(kHKCU), (box.base + "\\k").c_str(), 0xF003F, k.out()), 0);
        EXPECT_EQ(RunAsOneTransaction(*other, [&]() -> long {
          for (int i = 0; i < 20; ++i) other->SetValue(k.get(), ("v" + std::to_string(i)).c_str(), 1, reinterpret_cast<const std::uint8_t*>("y"), 2);
          return 0;
        }), 0);
      }
#endif
      return 0;
    });
    Outcome run = Tool({"export", key, file}, hooked);
    EXPECT_EQ(run.status, what == "commit" ? 0 : 1) << what << ": " << run.err;
    std::string text = fs::exists(file) ? ReadFile(file) : "";
    std::erase(text, '\0');  // UTF-16LE of ASCII
    EXPECT_EQ(what == "commit" ? std::count(text.begin(), text.end(), '=') : 20, 20) << text;
    EXPECT_EQ(what == "commit" ? text.find("\"y\"") != std::string::npos : text != (what == "planted" ? "planted" : ""), false)
        << what << ": the file after the export: " << text;
    fs::remove(file);
    EXPECT_TRUE(fs::is_empty(dir)) << "no temporary file may stay behind";
  }
}

TEST_F(ToolTest, AnExportThatFailsLeavesNoFileAndKeepsTheOldOne) {
  for (int i = 0; i < 50; ++i) box.PutRaw(kHKCU, box.base + "\\k" + std::to_string(i % 5), "v" + std::to_string(i), 1, "x");
  const std::string file = File("out.reg");
  for (bool existing : {false, true}) {
    if (existing) WriteFile(file, "precious");
    for (const char* y : {"", "/y"}) {
      if (!existing && *y) continue;
      std::vector<std::string> args{"export", key, file};
      if (*y) args.push_back(y);
      Outcome run = Tool(args, std::make_shared<HookApi>(box.api, [](int read) { return read >= 30 ? 1016L : 0L; }));
      ExpectOneErrorLine(run, "failing export");
      const char* expected = existing && !*y ? "the file exists: add /y to replace it" : "a registry I/O operation failed (1016)";
      EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
      EXPECT_EQ(fs::exists(file), existing);
      if (existing) {
        EXPECT_EQ(ReadFile(file), "precious");
      }
      std::size_t entries = static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
      EXPECT_EQ(entries, existing ? 1u : 0u) << "no temporary file may stay behind";
    }
  }
  // The same export without the fault works, and replaces the file with /y.
  ASSERT_EQ(Tool({"export", key, file, "/y"}).status, 0);
  EXPECT_EQ(ReadFile(file).substr(0, 2), "\xFF\xFE");
}

}  // namespace
}  // namespace cregistry::tool
