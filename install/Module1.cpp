#include "install/Module1.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "install/PathJoin.h"

namespace install {

using platform::EntryKind;
using platform::kSep;

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Appends the listing of root + relPath to `out`. The own block is written first; then its folder
// lines are walked by offset (the output grows behind them, so no copy of the block is needed), and
// each sub-folder's listing is appended in turn. Every line is written once: linear in the listing.
// False when a folder in it could not be read (the others are listed all the same).
bool AppendListing(platform::Platform& p, std::string_view root, std::string_view relPath,
                   std::string& out) {
  std::string folder = Join(root, relPath);
  if (folder.back() != kSep) folder.push_back(kSep);

  const std::size_t blockStart = out.size();
  std::string probe;
  bool complete = p.EnumerateFolder(folder, [&](std::string_view name, EntryKind kind) {
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
      complete = AppendListing(p, root, sub, out) && complete;
    }
    pos = eol + kLineEnd.size();
  }
  return complete;
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
  bool complete = true;
  return ListTree(sRoot, sRelPath, complete, p);
}

std::string ListTree(std::string_view sRoot, std::string_view sRelPath, bool& complete, platform::Platform& p) {
  std::string out;
  std::string root(sRoot);
  const auto walk = p.BeginWalk(root);
  complete = AppendListing(p, sRoot, sRelPath, out);
  return out;
}

unsigned CopyWorkers() {
  return std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
}

bool CopyTree(std::string_view sSource, std::string_view sDest, std::int16_t iMode,
              platform::Platform& p) {
  bool listed = true;  // a package folder that cannot be read counts as a failed copy
  const std::string listing = ListTree(sSource, {}, listed, p);
  if (listing.empty()) return listed;
  const auto scope = p.BeginCopy(std::string(sSource), std::string(sDest));

  // Folder step, first and in the listing's order: each folder is made before anything goes into
  // it. The file lines are gathered meanwhile (views into the listing).
  bool foldersMade = true;
  std::vector<std::string_view> files;
  std::string dest;
  for (std::size_t pos = 0;;) {
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
      if (made && made != std::errc::file_exists) foldersMade = false;
    } else if (!line.empty()) {
      if (line.front() == kSep) line.remove_prefix(1);
      files.push_back(line);
    }
  }
  // The last step: every name given made durable (data is made durable before each file's name).
  const auto commit = [&] { return !scope || scope->Commit(); };
  if (iMode != SkipExisting && iMode != Overwrite) return commit() && listed && foldersMade;  // no files

  // File step: the files go to a few workers, each taking the next run not yet taken. A run is
  // copied as one batch (SafeCopyFiles: all written, made durable together, then named). Each file
  // is still placed atomically and never replaces one that appeared meanwhile; failures are passed
  // over one by one. Only the order in which files appear changes.
  // The files go out in runs of one folder (at most kRun files each), so that the workers mostly
  // place files in different folders: the file system serialises the entries of one folder.
  constexpr std::size_t kRun = 64;
  std::vector<std::size_t> runs;  // the first file of each run, then files.size()
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto folderOf = [&](std::size_t k) {
      const std::size_t sep = files[k].rfind(kSep);
      return sep == std::string_view::npos ? std::string_view() : files[k].substr(0, sep);
    };
    if (runs.empty() || i - runs.back() >= kRun || folderOf(i) != folderOf(i - 1)) runs.push_back(i);
  }
  runs.push_back(files.size());

  std::atomic<std::size_t> next{0};
  std::atomic<bool> filesCopied{true};
  // Each worker gathers the runs it takes into batches of about kBatch files for SafeCopyFiles.
  constexpr std::size_t kBatch = 256;
  const auto work = [&] {
    std::vector<platform::FileCopy> batch;  // reused for every batch of this worker
    std::size_t n = 0;
    const auto copyBatch = [&] {
      try {
        p.SafeCopyFiles({batch.data(), n});
        for (std::size_t k = 0; k < n; ++k) {
          // Naming the copy fails should a file take the name after the existence test: it is
          // never replaced, and that is no failure.
          if (!batch[k].copied && (iMode != SkipExisting || !FileExists(batch[k].dest, p))) {
            filesCopied.store(false, std::memory_order_relaxed);
          }
        }
      } catch (...) {  // this batch fails; the others go on
        filesCopied.store(false, std::memory_order_relaxed);
      }
      n = 0;
    };
    for (std::size_t r; (r = next.fetch_add(1, std::memory_order_relaxed)) + 1 < runs.size();) {
      try {
        for (std::size_t i = runs[r]; i < runs[r + 1]; ++i) {
          if (n == batch.size()) batch.emplace_back();
          platform::FileCopy& copy = batch[n];
          JoinInto(copy.dest, sDest, files[i]);
          if (iMode == SkipExisting && FileExists(copy.dest, p)) continue;  // there already
          JoinInto(copy.source, sSource, files[i]);
          copy.replace = iMode == Overwrite;
          copy.copied = false;
          ++n;
        }
      } catch (...) {  // this run's files not gathered fail; the others go on
        filesCopied.store(false, std::memory_order_relaxed);
      }
      if (n >= kBatch) copyBatch();
    }
    copyBatch();
  };
  const unsigned workers = files.size() < kParallelFrom ? 1 : CopyWorkers();
  {
    std::vector<std::jthread> helpers;
    for (unsigned w = 1; w < workers; ++w) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // no more threads to be had: the ones there (and this one) do the work
      }
    }
    work();
  }  // joins the helpers
  return commit() && listed && foldersMade && filesCopied.load();
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
