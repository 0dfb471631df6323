#include "tools/cregistry/Tool.h"

#include <array>
#include <optional>

#include "registry/Ascii.h"
#include "tools/cregistry/Verbs.h"
#include "tools/cregistry/ViewApi.h"

namespace cregistry::tool {

using namespace win32;

namespace {

constexpr std::array<const VerbSpec*, 11> kVerbs{&kQuery,  &kAdd,  &kDelete,  &kCopy, &kCompare, &kExport,
                                                  &kImport, &kSave, &kRestore, &kLoad, &kUnload};

constexpr const char* kViewNote =
    "\nEvery verb also takes /reg:32 (the 32-bit registry view, where 64-bit Windows keeps HKLM\\SOFTWARE\n"
    "and the other keys it redirects under Wow6432Node) or /reg:64 (the 64-bit view, the default).\n";

std::string MainUsage() {
  std::string text =
      "usage: cregistry [--store PATH] VERB ARGUMENTS...\n\n"
      "Verbs (cregistry VERB /? shows each one's switches):\n";
  for (const VerbSpec* verb : kVerbs) {
    std::string left = "  " + std::string(verb->name) + " " + std::string(verb->positionals);
    left.resize(22, ' ');
    text += left + std::string(verb->summary) + "\n";
  }
  text +=
      "\nKEY is ROOT\\path, ROOT one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,\n"
      "HKEY_USERS, HKEY_CURRENT_CONFIG or HKCR, HKCU, HKLM, HKU, HKCC, in any letter case. Switches are\n"
      "written /v or -v. Exit status: 0 on success, 1 on failure (with one line on standard error).\n\n";
  text += std::string(kViewNote + 1) + "\n";
  text += platform::kPlatformNotes;
  text += "\n";
  return text;
}

int Fail(std::ostream& err, const ToolError& error) {
  err << error.ToString() << "\n";
  return 1;
}

}  // namespace

std::optional<std::string> ValueNameOf(const ParsedArgs& args) {
  if (const std::string* v = args.Get("v")) return *v;
  if (args.Has("ve")) return std::string();
  return std::nullopt;
}

long OpenUserKey(Context& c, const KeyName& key, std::uint32_t access, KeyHandle& handle) {
  long rc = c.api.OpenKey(RootHandle(key.root), key.subPath.c_str(), access, handle.out());
  if (rc != kSuccess) {
    c.error.code = rc;
    c.error.keyPath = key.asGiven;
    if (rc != kFileNotFound) c.error.operation = "cannot open the key";
  }
  return rc;
}

namespace {
int Run(std::span<const std::string> args, std::shared_ptr<RegistryApi> api, std::istream* in, std::ostream& out,
        std::ostream& err);
}  // namespace

int RunTool(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return RunTool(args, nullptr, out, err);
}

int RunTool(std::span<const std::string> args, std::shared_ptr<RegistryApi> api, std::ostream& out,
            std::ostream& err) {
  return Run(args, std::move(api), nullptr, out, err);
}

int RunTool(std::span<const std::string> args, std::shared_ptr<RegistryApi> api, std::istream& in,
            std::ostream& out, std::ostream& err) {
  return Run(args, std::move(api), &in, out, err);
}

namespace {

int Run(std::span<const std::string> argsIn, std::shared_ptr<RegistryApi> api, std::istream* in, std::ostream& out,
        std::ostream& err) {
  std::vector<std::string> args(argsIn.begin(), argsIn.end());
  ToolError error;
  // --store PATH before the verb, or wherever a switch may stand after it (never as a switch's argument).
  std::optional<std::string> storePath;
  if (args.size() >= 2 && args[0] == "--store") {
    storePath = args[1];
    args.erase(args.begin(), args.begin() + 2);
  } else if (args.size() == 1 && args[0] == "--store") {
    error.detail = "--store needs PATH";
    return Fail(err, error);
  }
  if (args.empty()) {
    error.detail = "no verb given (see cregistry --help)";
    return Fail(err, error);
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "/?" || args[0] == "-?") {
    out << MainUsage();
    return 0;
  }
  const VerbSpec* verb = nullptr;
  for (const VerbSpec* v : kVerbs)
    if (ascii::EqualsNoCase(args[0], v->name)) verb = v;
  if (verb == nullptr) {
    error.detail = "unknown verb " + args[0] + " (see cregistry --help)";
    return Fail(err, error);
  }
  ParsedArgs parsed;
  std::string why;
  if (!ParseArgs(*verb, std::span(args).subspan(1), parsed, why)) {
    error.detail = why + " (see cregistry " + std::string(verb->name) + " /?)";
    return Fail(err, error);
  }
  if (parsed.help) {
    out << Usage(*verb) << kViewNote;
    if (verb == &kImport || verb == &kSave || verb == &kRestore || verb == &kLoad || verb == &kUnload) {
      out << "\n" << platform::kPlatformNotes << "\n";
    }
    return 0;
  }
  if ((parsed.Has("v") ? 1 : 0) + (parsed.Has("ve") ? 1 : 0) + (parsed.Has("va") ? 1 : 0) > 1) {
    error.detail = "/v, /ve and /va exclude each other";
    return Fail(err, error);
  }
  if (parsed.storePath) {
    if (storePath) {
      error.detail = "--store given twice";
      return Fail(err, error);
    }
    storePath = parsed.storePath;
  }

  if (api && storePath) {
    error.detail = "--store cannot be given here";
    return Fail(err, error);
  }
  if (!api) api = platform::OpenRegistry(storePath ? &*storePath : nullptr, error);
  if (!api) return Fail(err, error);
  if (parsed.view != 0) api = WithView(std::move(api), parsed.view == 32 ? kKeyWow64_32Key : kKeyWow64_64Key);
  Context c{*api, out, error, in};
  bool ok;
  if (verb == &kImport) {
    ok = Import(c, parsed.positionals[0], parsed);
  } else if (verb == &kCopy || verb == &kCompare) {
    std::optional<KeyName> first = ParseKey(parsed.positionals[0], error);
    if (!first) return Fail(err, error);
    std::optional<KeyName> second = ParseKey(parsed.positionals[1], error);
    if (!second) return Fail(err, error);
    if (verb == &kCompare) {
      const int status = Compare(c, *first, *second, parsed);
      out.flush();
      return status == 1 ? Fail(err, error) : status;
    }
    ok = Copy(c, *first, *second, parsed);
  } else {
    std::optional<KeyName> key = ParseKey(parsed.positionals[0], error);
    if (!key) return Fail(err, error);
    if (verb == &kQuery) ok = Query(c, *key, parsed);
    else if (verb == &kAdd) ok = Add(c, *key, parsed);
    else if (verb == &kDelete) ok = Delete(c, *key, parsed);
    else if (verb == &kExport) ok = Export(c, *key, parsed.positionals[1], parsed);
    else if (verb == &kSave) ok = Save(c, *key, parsed.positionals[1], parsed);
    else if (verb == &kRestore) ok = Restore(c, *key, parsed.positionals[1], parsed);
    else if (verb == &kLoad) ok = Load(c, *key, parsed.positionals[1], parsed);
    else ok = Unload(c, *key, parsed);
  }
  // reg says so after every verb that changes something or writes a file.
  if (ok && verb != &kQuery) out << "The operation completed successfully.\n";
  out.flush();
  return ok ? 0 : Fail(err, error);
}

}  // namespace

}  // namespace cregistry::tool
