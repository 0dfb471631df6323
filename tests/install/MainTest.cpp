// Form1, the special folder look-up and Main's pass, in-process: the Documents folder and the
// executable's folder point into temporary trees through a wrapped seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

#include "Support.h"
#include "install/modGetDirs2.h"
#include "install/modMain.h"

namespace install::test {
namespace {

struct Sandbox : platform::ForwardingPlatform {
  Sandbox() : ForwardingPlatform(platform::Default()) {
    fs::create_directories(app / "content" / "Sub");
    WriteFile(app / "content" / "t.eml", "template");
    WriteFile(app / "content" / "Sub" / "s.eml", "sub");
  }
  TempDir app, docs;
  std::string documents = docs.str(), failPatternWith, failCopyOf;
  std::vector<std::string> patterns;
  std::function<void(const std::string&)> beforeMatch;
  int documentLookups = 0;
  int windows = 0, liveWindows = 0, windowsAtEnd = -1, exitStatus = -1;

  bool SpecialFolder(std::uintptr_t owner, std::int32_t id, std::string& path) override {
    if (id != 5) return inner_.SpecialFolder(owner, id, path);
    ++documentLookups;
    path = documents;
    return !path.empty();
  }
  std::string ExecutableFolder() override { return app.str(); }
  platform::MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    patterns.push_back(pattern);
    if (beforeMatch) beforeMatch(pattern);
    if (!failPatternWith.empty() && pattern.find(failPatternWith) != std::string::npos) {
      return platform::MatchResult::Failed;
    }
    return inner_.FirstMatch(pattern, name);
  }
  // The real window, wrapped so that its destruction is seen.
  struct Counted : platform::Window {
    Counted(std::unique_ptr<Window> w, int& counter) : real(std::move(w)), live(++counter) {}
    ~Counted() override { --live; }
    std::uintptr_t Handle() const override { return real ? real->Handle() : 0; }
    std::unique_ptr<Window> real;
    int& live;
  };
  std::unique_ptr<platform::Window> CreateHiddenWindow(const std::string& c, int w, int h) override {
    ++windows;
    return std::make_unique<Counted>(inner_.CreateHiddenWindow(c, w, h), liveWindows);
  }
  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    if (!failCopyOf.empty() && dest.ends_with(failCopyOf)) return false;
    return inner_.SafeCopyFile(source, dest, replace);
  }
  void EndProcess(int status) override {
    windowsAtEnd = liveWindows;
    exitStatus = status;
  }

  void Host(const char* name, const char* file) {
    fs::create_directories(docs / name / "template");
    if (file) WriteFile(docs / name / "template" / file, "mine");
  }
  bool Served(const char* name) const { return fs::exists(docs / name / "template" / "Sub" / "s.eml"); }
};

TEST(Main, ServesEachHostWhoseTemplateFolderHoldsAnOrdinaryEml) {
  Sandbox s;
  s.Host("Marrowquill2", "notes.txt");
  s.Host("Marrowquill3", "mine.eml");
  Main(s);
  EXPECT_FALSE(s.Served("Marrowquill2"));
  EXPECT_TRUE(s.Served("Marrowquill3"));
  EXPECT_EQ(ReadFile(s.docs / "Marrowquill3" / "template" / "t.eml"), "template");
  EXPECT_EQ(ReadFile(s.docs / "Marrowquill3" / "template" / "mine.eml"), "mine");
  EXPECT_EQ(s.windows, 1);       // one Form1 serves every look-up of the run
  EXPECT_EQ(s.windowsAtEnd, 0);  // and is destroyed before the process ends

  WriteFile(s.docs / "Marrowquill2" / "template" / "X.eml", "");
  const auto m3 = Snap(s.docs / "Marrowquill3");
  Main(s);
  EXPECT_TRUE(s.Served("Marrowquill2"));
  EXPECT_EQ(Snap(s.docs / "Marrowquill3"), m3);
}

TEST(Main, HiddenNestedOrFolderTemplatesDoNotCount) {
  Sandbox s;
  s.Host("Marrowquill2", ".hidden.eml");
  SetHidden(s.docs / "Marrowquill2" / "template" / ".hidden.eml");
  s.Host("Marrowquill3", nullptr);
  fs::create_directories(s.docs / "Marrowquill3" / "template" / "folder.eml");
  WriteFile(s.docs / "Marrowquill3" / "template" / "folder.eml" / "n.eml", "");
  const auto before = Snap(s.docs.path);
  Main(s);
  EXPECT_EQ(Snap(s.docs.path), before);
}

TEST(Main, NoDocumentsFolderMeansNoHostAnywhereAndFailedTestsCountAsInUse) {
  Sandbox none;
  none.documents.clear();
  Main(none);
  EXPECT_TRUE(none.patterns.empty());  // nothing looked for at the root
  EXPECT_EQ(none.windowsAtEnd, 0);
  EXPECT_EQ(none.exitStatus, 1);  // a deploying tool must not take it for success

  Sandbox s;
  s.Host("Marrowquill2", nullptr);
  s.failPatternWith = "Marrowquill2";
  Main(s);
  EXPECT_TRUE(s.Served("Marrowquill2"));
  EXPECT_FALSE(fs::exists(s.docs / "Marrowquill3"));  // the second host is still tested:
  const std::string m3 = s.docs.str() + R("\\Marrowquill3\\template\\*.eml");
  EXPECT_EQ(std::count(s.patterns.begin(), s.patterns.end(), m3), 1);
}

TEST(Main, TheFirstHostIsServedCompletelyBeforeTheSecondIsTested) {
  Sandbox s;
  s.Host("Marrowquill2", "a.eml");
  s.Host("Marrowquill3", "b.eml");
  Snapshot m2WhenM3Tested;
  s.beforeMatch = [&](const std::string& pattern) {
    if (pattern.find("Marrowquill3") != std::string::npos) m2WhenM3Tested = Snap(s.docs / "Marrowquill2");
  };
  Main(s);
  EXPECT_EQ(m2WhenM3Tested.size(), 5u);  // template, a.eml, t.eml, Sub, Sub/s.eml
  EXPECT_EQ(m2WhenM3Tested, Snap(s.docs / "Marrowquill2"));
  EXPECT_TRUE(s.Served("Marrowquill3"));
}

TEST(Main, EachTestAndEachCopyLooksTheDocumentsFolderUpAfresh) {
  Sandbox none, both;
  Main(none);
  EXPECT_EQ(none.documentLookups, 2);
  both.Host("Marrowquill2", "a.eml");
  both.Host("Marrowquill3", "b.eml");
  Main(both);
  EXPECT_EQ(both.documentLookups, 4);
}

TEST(Main, ExitStatusIsOneOnlyWhenACopyOrFolderCreationFailed) {
  Sandbox s;
  s.Host("Marrowquill3", "b.eml");
  Main(s);
  EXPECT_EQ(s.exitStatus, 0);
  Main(s);  // everything skipped because it is there: no failure
  EXPECT_EQ(s.exitStatus, 0);
  s.Host("Marrowquill2", "a.eml");
  s.failCopyOf = "s.eml";
  Main(s);
  EXPECT_EQ(s.exitStatus, 1);
  EXPECT_EQ(ReadFile(s.docs / "Marrowquill2" / "template" / "t.eml"), "template");  // the rest went on
  EXPECT_FALSE(fs::exists(s.docs / "Marrowquill2" / "template" / "Sub" / "s.eml"));

  Sandbox folder;
  folder.Host("Marrowquill2", "a.eml");
  WriteFile(folder.docs / "Marrowquill2" / "template" / "Sub", "a file holds the folder's name");
  Main(folder);
  EXPECT_EQ(folder.exitStatus, 1);
  EXPECT_EQ(ReadFile(folder.docs / "Marrowquill2" / "template" / "t.eml"), "template");
}

// UTF-8 text of a path (the narrow calls take and give UTF-8 under the program's manifest).
std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

TEST(Main, NamesOutsideTheAnsiCodePageAreServed) {
  for (const char8_t* folder : {u8"文档", u8"Έγγραφα", u8"Zoë"}) {
    Sandbox s;
    const fs::path documents = s.docs / fs::path(std::u8string(folder)) / "Documents";
    s.documents = Utf8(documents);
    fs::create_directories(documents / "Marrowquill3" / "template");
    WriteFile(documents / "Marrowquill3" / "template" / fs::path(u8"Πρότυπο.eml"), "mine");
    fs::create_directories(s.app / "content" / fs::path(u8"Zoë"));
    WriteFile(s.app / "content" / fs::path(u8"Zoë") / fs::path(u8"模板.eml"), "zh");
    WriteFile(s.app / "content" / fs::path(u8"Ελληνικά.eml"), "el");
    Main(s);
    const fs::path installed = documents / "Marrowquill3" / "template";
    EXPECT_EQ(ReadFile(installed / fs::path(u8"Zoë") / fs::path(u8"模板.eml")), "zh") << Utf8(documents);
    EXPECT_EQ(ReadFile(installed / fs::path(u8"Ελληνικά.eml")), "el");
    EXPECT_EQ(ReadFile(installed / "Sub" / "s.eml"), "sub");
    EXPECT_EQ(s.exitStatus, 0);
  }
}

TEST(Form1, IsMadeOnceOnFirstUseAndDestroyedOnUnload) {
  Sandbox s;
  Form1 form(s);
  EXPECT_FALSE(form.Loaded());
  EXPECT_EQ(GetDocumentsFolder(form, s), s.docs.str());
  EXPECT_EQ(GetDocumentsFolder(form, s), s.docs.str());
  EXPECT_EQ(GetSpecialFolder(0x7ffe, form, s), "");  // a number the shell does not know
  EXPECT_EQ(s.windows, 1);
#ifdef _WIN32
  HWND hwnd = reinterpret_cast<HWND>(form.hWnd());
  ASSERT_TRUE(::IsWindow(hwnd));
  char caption[32] = {};
  ::GetWindowTextA(hwnd, caption, sizeof caption);
  EXPECT_STREQ(caption, "Form1");
  RECT client{};
  ASSERT_TRUE(::GetClientRect(hwnd, &client));
  EXPECT_EQ(client.right - client.left, 312);
  EXPECT_EQ(client.bottom - client.top, 206);
  EXPECT_FALSE(::IsWindowVisible(hwnd));
  EXPECT_EQ(::GetAncestor(hwnd, GA_PARENT), ::GetDesktopWindow());
  form.Unload();
  EXPECT_FALSE(::IsWindow(hwnd));

  char expected[MAX_PATH] = {};  // the real look-up agrees with the shell
  ASSERT_EQ(::SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, expected), S_OK);
  std::string documents = GetDocumentsFolder(form);
  // Wine's path call ends this folder with a separator where Windows does not; both join alike.
  if (documents.size() > 3 && documents.back() == '\\') documents.pop_back();
  EXPECT_EQ(documents, expected);
#endif
  form.Unload();
  EXPECT_FALSE(form.Loaded());
  EXPECT_EQ(s.liveWindows, 0);
}

}  // namespace
}  // namespace install::test
