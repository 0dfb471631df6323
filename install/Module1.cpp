#include "install/Module1.h"

#include "install/PathJoin.h"

namespace install {

using platform::EntryKind;
using platform::kSep;

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Appends the listing of root + relPath to `out`. The own block is written first; then its folder
// lines are walked by offset (the output grows behind them, so no copy of the block is needed), and
// each sub-folder's listing is appended in turn. Every line is written once: linear in the listing.
void AppendListing(platform::Platform& p, std::string_view root, std::string_view relPath,
                   std::string& out) {
  std::string folder = Join(root, relPath);
  if (folder.back() != kSep) folder.push_back(kSep);

  const std::size_t blockStart = out.size();
  std::string probe;
  p.EnumerateFolder(folder, [&](std::string_view name, EntryKind kind) {
    if (name == "." || name == "..") return;
    bool isFolder = kind == EntryKind::Folder;
    if (kind == EntryKind::Unknown) {
      // The enumeration could not tell the kind: ask. An entry whose attributes cannot be read is
      // taken for a folder; its own listing then simply comes out empty if it is not one.
      std::uint32_t attributes = 0;
      probe.assign(folder).append(name);
      if (!p.QueryAttributes(probe, attributes)) {
        isFolder = true;
      } else if (attributes & platform::kAttrDirectory) {
        isFolder = true;
      } else if (attributes & (platform::kAttrHidden | platform::kAttrSystem)) {
        return;  // not an ordinary file after all
      }
    }
    if (isFolder) out.push_back('>');
    out.append(relPath);
    out.push_back(kSep);
    out.append(name);
    out.append(kLineEnd);
  });
  const std::size_t blockEnd = out.size();

  std::string sub;
  for (std::size_t pos = blockStart; pos < blockEnd;) {
    const std::size_t eol = out.find(kLineEnd, pos);
    if (eol == std::string::npos || eol >= blockEnd) break;
    if (out[pos] == '>' && eol > pos + 1) {
      sub.assign(out, pos + 1, eol - pos - 1);
      AppendListing(p, root, sub, out);
    }
    pos = eol + kLineEnd.size();
  }
}

// `root` joined with `part` into `out`, reusing its storage.
void JoinInto(std::string& out, std::string_view root, std::string_view part) {
  out.assign(root);
  const bool rootEnds = !out.empty() && out.back() == kSep;
  const bool partBegins = !part.empty() && part.front() == kSep;
  if (rootEnds && partBegins) {
    part.remove_prefix(1);
  } else if (!rootEnds && !partBegins) {
    out.push_back(kSep);
  }
  out.append(part);
}

// Copies one file by mode. False when a copy was attempted and failed; a file skipped because one
// of its name is there (also one that arrived after the existence test) is no failure.
bool CopyOne(const std::string& source, const std::string& dest, std::int16_t iMode,
             platform::Platform& p) {
  if (iMode == Overwrite) return p.SafeCopyFile(source, dest, true);
  if (iMode != SkipExisting || FileExists(dest, p)) return true;
  // Naming the copy fails should a file take the name after this test: it is never replaced.
  return p.SafeCopyFile(source, dest, false) || FileExists(dest, p);
}

}  // namespace

std::string ListTree(std::string_view sRoot, std::string_view sRelPath, platform::Platform& p) {
  std::string out;
  AppendListing(p, sRoot, sRelPath, out);
  return out;
}

bool CopyTree(std::string_view sSource, std::string_view sDest, std::int16_t iMode,
              platform::Platform& p) {
  const std::string listing = ListTree(sSource, {}, p);
  if (listing.empty()) return true;
  const auto scope = p.BeginCopy(std::string(sSource), std::string(sDest));
  bool ok = true;
  std::string source, dest;  // reused for every line
  std::size_t pos = 0;
  for (;;) {
    const std::size_t eol = listing.find(kLineEnd, pos);
    if (eol == std::string::npos) break;
    std::string_view line(listing.data() + pos, eol - pos);
    pos = eol + kLineEnd.size();

    if (!line.empty() && line.front() == '>') {
      line.remove_prefix(1);
      if (!line.empty() && line.front() == kSep) line.remove_prefix(1);
      if (line.empty()) continue;
      JoinInto(dest, sDest, line);
      // A folder that is there already is passed over, and is no failure.
      const std::error_code made = p.CreateFolder(dest);
      if (made && made != std::errc::file_exists) ok = false;
    } else if (!line.empty()) {
      if (line.front() == kSep) line.remove_prefix(1);
      JoinInto(source, sSource, line);
      JoinInto(dest, sDest, line);
      if (!CopyOne(source, dest, iMode, p)) ok = false;
    }
  }
  return ok;
}

bool CopyFileByMode(std::string_view sSourceFile, std::string_view sDestFile, std::int16_t iMode,
                    platform::Platform& p) {
  return CopyOne(std::string(sSourceFile), std::string(sDestFile), iMode, p);
}

bool FileExists(std::string_view sPath, platform::Platform& p) {
  thread_local std::string pattern, name;
  platform::LiteralPattern(sPath, pattern);
  return p.FirstMatch(pattern, name) == platform::MatchResult::Found;
}

}  // namespace install
