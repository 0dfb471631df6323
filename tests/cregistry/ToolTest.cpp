// The cregistry tool run in-process on a real registry: a store file natively, Wine's registry in the
// Windows build. Command lines as a user types them; the registry checked through the seam.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "registry/regfile/RegFile.h"
#include "support/ForwardingApi.h"
#include "support/RegistrySandbox.h"
#include "tools/cregistry/Tool.h"
#include "ToolFixture.h"

namespace cregistry::tool {
namespace {

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

// Fails QueryValue after a number of calls, as a registry that breaks down halfway would.
class FailingApi : public cregistry::testing::ForwardingApi {
 public:
  FailingApi(std::shared_ptr<RegistryApi> inner, int okCalls) : ForwardingApi(std::move(inner)), left_(okCalls) {}
  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    if (left_-- <= 0) return 1016;
    return ForwardingApi::QueryValue(key, name, type, data, size);
  }

 private:
  int left_;
};

TEST_F(ToolTest, AnExportThatFailsLeavesNoFileAndKeepsTheOldOne) {
  for (int i = 0; i < 50; ++i) box.PutRaw(kHKCU, box.base + "\\k" + std::to_string(i % 5), "v" + std::to_string(i), 1, "x");
  const std::string file = File("out.reg");
  for (bool existing : {false, true}) {
    if (existing) WriteFile(file, "precious");
    for (const char* y : {"", "/y"}) {
      if (!existing && *y) continue;
      std::vector<std::string> args{"export", key, file};
      if (*y) args.push_back(y);
      Outcome run = Tool(args, std::make_shared<FailingApi>(box.api, 30));
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
