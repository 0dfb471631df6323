#include "registry/store/Wow64.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "registry/store/RegistryStore.h"

namespace cregistry::store {

namespace {

constexpr std::string_view kNode = "Wow6432Node";

bool Is(std::string_view part, std::string_view folded) { return Fold(part) == folded; }

// The keys below HKLM\SOFTWARE that 64-bit Windows (7 and later) shares between the views, folded,
// from "Registry Keys Affected by WOW64": their trees are one for both views.
constexpr std::string_view kShared[] = {
    "MICROSOFT\\COM3", "MICROSOFT\\CRYPTOGRAPHY\\CALAIS\\CURRENT", "MICROSOFT\\CRYPTOGRAPHY\\CALAIS\\READERS",
    "MICROSOFT\\CRYPTOGRAPHY\\SERVICES", "MICROSOFT\\CTF\\SYSTEMSHARED", "MICROSOFT\\CTF\\TIP", "MICROSOFT\\DFS",
    "MICROSOFT\\DRIVER SIGNING", "MICROSOFT\\ENTERPRISECERTIFICATES", "MICROSOFT\\EVENTSYSTEM", "MICROSOFT\\MSMQ",
    "MICROSOFT\\NON-DRIVER SIGNING", "MICROSOFT\\NOTEPAD\\DEFAULTFONTS", "MICROSOFT\\OLE", "MICROSOFT\\RAS",
    "MICROSOFT\\RPC", "MICROSOFT\\SHARED TOOLS\\MSINFO", "MICROSOFT\\SYSTEMCERTIFICATES",
    "MICROSOFT\\TERMSERVLICENSING", "MICROSOFT\\TRANSACTION SERVER",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\APP PATHS", "MICROSOFT\\WINDOWS\\CURRENTVERSION\\CONTROL PANEL\\CURSORS\\SCHEMES",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\AUTOPLAYHANDLERS",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\DRIVEICONS", "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\KINDMAP",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\GROUP POLICY", "MICROSOFT\\WINDOWS\\CURRENTVERSION\\POLICIES",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\PREVIEWHANDLERS", "MICROSOFT\\WINDOWS\\CURRENTVERSION\\SETUP",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\TELEPHONY\\LOCATIONS", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\CONSOLE",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTDPI", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTLINK",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTMAPPER", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTSUBSTITUTES", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\GRE_INITIALIZE",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\IMAGE FILE EXECUTION OPTIONS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\LANGUAGEPACK", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\NETWORKCARDS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PERFLIB", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PORTS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PRINT", "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PROFILELIST",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\TIME ZONES", "POLICIES", "REGISTEREDAPPLICATIONS"};

// Whether the components after SOFTWARE lie in a shared tree (a shared key or one below it).
bool InShared(const std::vector<std::string_view>& path) {
  std::string below;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (i > 1) below += '\\';
    below += Fold(path[i]);
    if (std::find(std::begin(kShared), std::end(kShared), below) != std::end(kShared)) return true;
  }
  return false;
}

// The sub-keys of Classes that the 32-bit view keeps apart (the COM registrations).
bool SplitClass(std::string_view part) {
  static constexpr std::array<std::string_view, 5> kSplit{"CLSID", "DIRECTSHOW", "INTERFACE", "MEDIA TYPE",
                                                          "MEDIAFOUNDATION"};
  const std::string folded = Fold(part);
  return std::find(kSplit.begin(), kSplit.end(), folded) != kSplit.end();
}

}  // namespace

void Redirect32(std::int64_t parent, std::vector<std::string_view>& parts) {
  // The path from the root, and how many of its components the parent already stands for.
  std::vector<std::string_view> path;
  std::size_t prefix = 0;
  bool machine = true;
  switch (parent) {
    case kMachineKey:
      break;
    case kSoftwareKey:
      path = {"SOFTWARE"};
      break;
    case kClassesKey:
      path = {"SOFTWARE", "Classes"};
      break;
    case kUserKey:
      machine = false;
      break;
    default:
      return;
  }
  prefix = path.size();
  path.insert(path.end(), parts.begin(), parts.end());
  if (path.empty() || !Is(path[0], "SOFTWARE")) return;
  std::size_t at = 0;  // where Wow6432Node goes in, 0: nowhere
  if (path.size() >= 2 && Is(path[1], "CLASSES")) {
    if (path.size() >= 3 && SplitClass(path[2])) at = 2;
  } else if (machine && (path.size() < 2 || !Is(path[1], "WOW6432NODE")) && !InShared(path)) {
    at = 1;
  }
  if (at == 0 || at < prefix) return;
  path.insert(path.begin() + static_cast<std::ptrdiff_t>(at), kNode);
  parts.assign(path.begin() + static_cast<std::ptrdiff_t>(prefix), path.end());
}

}  // namespace cregistry::store
