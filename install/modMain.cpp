#include "install/modMain.h"

#include <string>

#include "install/Module1.h"
#include "install/PathJoin.h"
#include "install/modGetDirs2.h"

namespace install {

namespace {

constexpr char kTemplatePart[] = {'t', 'e', 'm', 'p', 'l', 'a', 't', 'e', platform::kSep, '\0'};
constexpr char kContentPart[] = {platform::kSep, 'c', 'o', 'n', 't', 'e', 'n', 't', platform::kSep,
                                 '\0'};

// Runs one step of the pass; a step that fails is abandoned and the pass goes on. False when it
// was abandoned.
template <typename Step>
bool Guarded(Step&& step) {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

// A condition that fails counts as holding.
template <typename Condition>
bool GuardedCondition(Condition&& condition) {
  try {
    return condition();
  } catch (...) {
    return true;
  }
}

// True when the template folder of `host` under `documents` directly holds an ordinary "*.eml"
// file; throws TemplatesLookupFailed when it cannot be read.
bool HasTemplatesIn(const std::string& documents, std::string_view host, platform::Platform& p) {
  const std::string pattern = Join(Join(documents, host), kTemplatePart) + "*.eml";
  std::string name;
  switch (p.FirstMatch(pattern, name)) {
    case platform::MatchResult::Found:
      return true;
    case platform::MatchResult::None:
      return false;
    case platform::MatchResult::Failed:
      break;
  }
  throw TemplatesLookupFailed();
}

// Serves one host version; false when the Documents folder is unknown, or a folder creation or
// file copy failed on the way.
bool ServeHost(std::string_view host, Form1& form, platform::Platform& p) {
  std::string documents;
  if (!Guarded([&] { documents = GetDocumentsFolder(form, p); }) || documents.empty()) return false;
  if (!GuardedCondition([&] { return HasTemplatesIn(documents, host, p); })) return true;
  bool copied = true;
  const bool ran = Guarded([&] {
    const std::string documents = GetDocumentsFolder(form, p);
    const std::string program = p.ExecutableFolder();
    // Without either folder there is nothing to copy from or to: never fall back to a root.
    if (documents.empty() || program.empty()) return;
    copied = CopyTree(Join(program, kContentPart), Join(Join(documents, host), kTemplatePart),
                      SkipExisting, p);
  });
  return ran && copied;
}

}  // namespace

bool HasTemplates(std::string_view sHostFolder, Form1& form, platform::Platform& p) {
  const std::string documents = GetDocumentsFolder(form, p);
  return !documents.empty() && HasTemplatesIn(documents, sHostFolder, p);
}

void Main(platform::Platform& p) {
  Form1 form(p);
  // The command line is read and searched for "install"; the pass is the same whatever it holds.
  Guarded([&] { [[maybe_unused]] const bool install = p.CommandLine().starts_with("install"); });
  // Silent all the same; only the exit status tells a deploying tool that something failed.
  bool ok = true;
  for (std::string_view host : kHostFolders) ok = ServeHost(host, form, p) && ok;
  form.Unload();
  p.EndProcess(ok ? 0 : 1);
}

}  // namespace install
