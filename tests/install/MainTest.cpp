// Form1, the special folder look-up and Main's pass, in-process, with the Documents folder and the
// executable's folder pointed into a temporary tree by wrapping the seam.
#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

#include "Support.h"
#include "install/Form1.h"
#include "install/modGetDirs2.h"
#include "install/modMain.h"
#include "install/platform/Platform.h"

namespace install::test {
namespace {

class Sandbox : public platform::ForwardingPlatform {
 public:
  Sandbox() : ForwardingPlatform(platform::Default()) {
    fs::create_directories(app / "content" / "Sub");
    WriteFile(app / "content" / "t.eml", "template");
    WriteFile(app / "content" / "Sub" / "s.eml", "sub");
    fs::create_directories(docs.path());
  }
  TempDir app, docs;
  std::string documents = docs.str();
  int windows = 0, lookups = 0;
  std::vector<std::string> patterns;
  std::string failPatternWith;
  bool ended = false, windowAliveAtEnd = true;

  bool SpecialFolder(std::uintptr_t owner, std::int32_t id, std::string& path) override {
    ++lookups;
    if (id != 5) return inner_.SpecialFolder(owner, id, path);
    path = documents;
    return !path.empty();
  }
  std::string ExecutableFolder() override { return app.str(); }
  platform::MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    patterns.push_back(pattern);
    if (!failPatternWith.empty() && pattern.find(failPatternWith) != std::string::npos) {
      return platform::MatchResult::Failed;
    }
    return inner_.FirstMatch(pattern, name);
  }
  std::unique_ptr<platform::Window> CreateHiddenWindow(const std::string& caption, int w,
                                                       int h) override {
    ++windows;
    live_ = inner_.CreateHiddenWindow(caption, w, h);
    return std::make_unique<Tracked>(*this);
  }
  void EndProcess() override {
    ended = true;
    windowAliveAtEnd = alive_;
  }

  void Host(const char* name, const char* templateFile) {
    fs::create_directories(docs / name / "template");
    if (templateFile) WriteFile(docs / name / "template" / templateFile, "mine");
  }
  bool Served(const char* name) const { return fs::exists(docs / name / "template" / "Sub" / "s.eml"); }

 private:
  // Forwards to the real window and tells the sandbox when it is destroyed.
  class Tracked : public platform::Window {
   public:
    explicit Tracked(Sandbox& s) : s_(s) { s_.alive_ = true; }
    ~Tracked() override {
      s_.live_.reset();
      s_.alive_ = false;
    }
    std::uintptr_t Handle() const override { return s_.live_ ? s_.live_->Handle() : 0; }

   private:
    Sandbox& s_;
  };
  std::unique_ptr<platform::Window> live_;
  bool alive_ = false;
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
  EXPECT_EQ(s.windows, 1);  // one Form1 for every look-up of the run
  EXPECT_GE(s.lookups, 3);
  EXPECT_TRUE(s.ended);
  EXPECT_FALSE(s.windowAliveAtEnd);  // destroyed before the process ends

  WriteFile(s.docs / "Marrowquill2" / "template" / "X.eml", "");
  const auto m3 = Snap(s.docs / "Marrowquill3");
  Main(s);
  EXPECT_TRUE(s.Served("Marrowquill2"));
  EXPECT_EQ(Snap(s.docs / "Marrowquill3"), m3);
}

TEST(Main, HiddenOrNestedTemplatesDoNotCount) {
  Sandbox s;
  s.Host("Marrowquill2", ".hidden.eml");
  SetHidden(s.docs / "Marrowquill2" / "template" / ".hidden.eml");
  s.Host("Marrowquill3", nullptr);
  fs::create_directories(s.docs / "Marrowquill3" / "template" / "deeper");
  WriteFile(s.docs / "Marrowquill3" / "template" / "deeper" / "n.eml", "");
  fs::create_directories(s.docs / "Marrowquill3" / "template" / "folder.eml");
  const auto before = Snap(s.docs.path());
  Main(s);
  EXPECT_EQ(Snap(s.docs.path()), before);
}

TEST(Main, WithoutDocumentsFolderNoHostIsServedAnywhere) {
  Sandbox s;
  s.documents.clear();
  Main(s);
  EXPECT_TRUE(s.patterns.empty());  // nothing looked for at the root
  EXPECT_TRUE(s.ended);
}

TEST(Main, FailingTemplateTestCountsAsInUse) {
  Sandbox s;
  s.Host("Marrowquill2", nullptr);
  s.failPatternWith = "Marrowquill2";
  Main(s);
  EXPECT_TRUE(s.Served("Marrowquill2"));
  EXPECT_FALSE(fs::exists(s.docs / "Marrowquill3"));  // the second host is still tested
  const std::string m3 = s.docs.str() + R("\\Marrowquill3\\template\\*.eml");
  EXPECT_NE(std::find(s.patterns.begin(), s.patterns.end(), m3), s.patterns.end());
}

TEST(Form1, IsMadeOnceOnFirstUseAndUnloaded) {
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
#else
  form.Unload();
#endif
  EXPECT_FALSE(form.Loaded());
}

#ifdef _WIN32
TEST(Form1, TheRealLookUpGivesTheShellsDocumentsFolder) {
  char expected[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, expected), S_OK);
  Form1 form;
  std::string documents = GetDocumentsFolder(form);
  // Wine's path call ends this folder with a separator where Windows does not; either joins alike.
  if (documents.size() > 3 && documents.back() == '\\') documents.pop_back();
  EXPECT_EQ(documents, expected);
  EXPECT_EQ(GetSpecialFolder(0x7ffe, form), "");
}
#endif

}  // namespace
}  // namespace install::test
