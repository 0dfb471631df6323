// The platform seam of the install run: every file-system, shell, window and process service that
// modMain, Module1, modGetDirs2 and Form1 need, and nothing more. The logic is written once against
// this interface; install/platform/posix and install/platform/win32 each implement it, and the build
// picks one. Tests wrap an instance (see ForwardingPlatform) to inject faults.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace install::platform {

// The path separator of the install run on this platform.
#ifdef _WIN32
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// Attribute bits as the attribute query reports them (the Windows values on both platforms).
inline constexpr std::uint32_t kAttrHidden = 0x2;
inline constexpr std::uint32_t kAttrSystem = 0x4;
inline constexpr std::uint32_t kAttrDirectory = 0x10;

// What a folder enumeration knows about an entry without asking again.
enum class EntryKind {
  File,     // an ordinary file
  Folder,   // a folder to list and descend into
  Unknown,  // the enumeration cannot tell: the caller asks QueryAttributes
};

// Answer of FirstMatch.
enum class MatchResult { Found, None, Failed };

// A window that only supplies a handle. Destroying the object destroys the window.
class Window {
 public:
  virtual ~Window() = default;
  virtual std::uintptr_t Handle() const = 0;
};

// A copy from one folder tree into another in progress; see Platform::BeginCopy.
class CopyScope {
 public:
  virtual ~CopyScope() = default;
  // The copy's last step: makes every name it gave (folders made, files placed) durable, so that
  // after a power cut each is there with its whole content. False when the system reports that it
  // could not.
  virtual bool Commit() { return true; }
};

// One file of Platform::SafeCopyFiles.
struct FileCopy {
  std::string source, dest;
  bool replace = false;
  bool copied = false;  // set by SafeCopyFiles: the copy has its name
};

class Platform {
 public:
  using EntryVisitor = std::function<void(std::string_view name, EntryKind kind)>;

  virtual ~Platform() = default;

  // Marks a walk of the folder tree below `root` for the life of the returned object: within it a
  // folder is reached from its parent's open folder (Linux), so that no path length limits the
  // depth, and folders opened below `root` may be kept open for the life of the object, never
  // longer. Null when nothing needs marking.
  virtual std::unique_ptr<CopyScope> BeginWalk(const std::string& root) = 0;

  // Folder enumeration. `folder` ends with the separator. Calls `visit` once per entry, in the file
  // system's order, with the bare name; "." and ".." may come too. Hidden and system entries (on
  // Linux: dot-names, FIFOs, sockets, devices, symlinks to folders, dangling symlinks, names with CR
  // or LF; Windows: folders that are name-surrogate reparse points, such as junctions) are left
  // out. The enumeration is finished and closed before this returns. Returns false when the folder
  // cannot be read.
  virtual bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) = 0;

  // First ordinary file (not a folder, not hidden, not system) matching `pattern`, whose last
  // component may hold the file system's wildcards. Found: `name` holds the bare name.
  // None: nothing matches (a missing folder included). Failed: the path cannot be read.
  virtual MatchResult FirstMatch(const std::string& pattern, std::string& name) = 0;

  // Attribute bits of an entry (kAttr*). Linux reports kAttrSystem for entries that are not
  // ordinary files or folders. Returns false when they cannot be read.
  virtual bool QueryAttributes(const std::string& path, std::uint32_t& attributes) = 0;

  // Marks a copy from `sourceRoot` into `destRoot` (both folders) for the life of the returned
  // object. Below `destRoot` no link is followed for a folder or a file (Linux: a symlink; Windows:
  // a name-surrogate reparse point such as a junction): such an entry counts as an existing
  // non-folder, so nothing is created, copied or tested beneath it. `destRoot` itself and the
  // folders above it are followed. Folders opened for paths below either root may be kept open for
  // the life of the object, never longer. Temporary files that a run which is no longer alive left
  // in `destRoot` are removed here. Null when nothing needs marking.
  virtual std::unique_ptr<CopyScope> BeginCopy(const std::string& sourceRoot,
                                               const std::string& destRoot) = 0;

  // Creates one folder level. No error: made. std::errc::file_exists: a folder (not a link) of
  // that name is there already. Any other error: it cannot be made, or the name is held by
  // something that is not a folder (std::errc::not_a_directory).
  virtual std::error_code CreateFolder(const std::string& path) = 0;

  // Copies the content, permission bits (Linux: less the process's umask, as `cp` without -p; Windows:
  // the read-only and archive attributes) and modification time of `source` to `dest`, never
  // leaving a partial file under `dest`'s name: the data goes to a hidden temporary file first
  // (in `dest`'s folder, or in the destination root during a BeginCopy), which then gets its name. With `replace` false the naming fails when anything
  // holds the name by then; with `replace` true an existing file is replaced. A symlink at `dest`
  // is never written through. The data is durable (on the disk) before the file gets its name.
  // Returns false on any failure, with the temporary file removed.
  virtual bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) = 0;

  // SafeCopyFile for each of `copies` (sources and destinations all different), setting each one's
  // `copied`. The platforms write every file first, make their data durable together (far cheaper
  // than one file at a time), and only then give them their names. By default SafeCopyFile is
  // called for each in turn.
  virtual void SafeCopyFiles(std::span<FileCopy> copies) {
    for (FileCopy& c : copies) c.copied = SafeCopyFile(c.source, c.dest, c.replace);
  }

  // The path of a shell special folder (a CSIDL number), with `owner` as the window handle that the
  // shell call takes. False when the folder has no path.
  virtual bool SpecialFolder(std::uintptr_t owner, std::int32_t folderId, std::string& path) = 0;

  // A top-level window that is never shown: caption, client area in pixels. Linux has no window
  // system and returns a stand-in whose handle is 0. Null when the window cannot be made.
  virtual std::unique_ptr<Window> CreateHiddenWindow(const std::string& caption, int clientWidth,
                                                     int clientHeight) = 0;

  // The folder that holds the running executable (empty when unknown).
  virtual std::string ExecutableFolder() = 0;

  // The program's arguments as one text, without the program's own name.
  virtual std::string CommandLine() = 0;

  // Ends the process at once with the given exit status.
  virtual void EndProcess(int status) = 0;
};

// Writes into `pattern` a FirstMatch pattern that matches the one name `path` only.
void LiteralPattern(std::string_view path, std::string& pattern);

// The platform this program was built for.
Platform& Default();

// Passes every call to another platform; tests derive from it and override what they break.
// SafeCopyFiles is the one call not passed on as it is: it goes to this object's SafeCopyFile one
// file at a time, so that a test overriding SafeCopyFile sees every copy.
class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& inner) : inner_(inner) {}

  std::unique_ptr<CopyScope> BeginWalk(const std::string& root) override { return inner_.BeginWalk(root); }
  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    return inner_.EnumerateFolder(folder, visit);
  }
  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    return inner_.FirstMatch(pattern, name);
  }
  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    return inner_.QueryAttributes(path, attributes);
  }
  std::unique_ptr<CopyScope> BeginCopy(const std::string& sourceRoot,
                                       const std::string& destRoot) override {
    return inner_.BeginCopy(sourceRoot, destRoot);
  }
  std::error_code CreateFolder(const std::string& path) override { return inner_.CreateFolder(path); }
  bool SafeCopyFile(const std::string& source, const std::string& dest, bool replace) override {
    return inner_.SafeCopyFile(source, dest, replace);
  }
  bool SpecialFolder(std::uintptr_t owner, std::int32_t folderId, std::string& path) override {
    return inner_.SpecialFolder(owner, folderId, path);
  }
  std::unique_ptr<Window> CreateHiddenWindow(const std::string& caption, int clientWidth,
                                             int clientHeight) override {
    return inner_.CreateHiddenWindow(caption, clientWidth, clientHeight);
  }
  std::string ExecutableFolder() override { return inner_.ExecutableFolder(); }
  std::string CommandLine() override { return inner_.CommandLine(); }
  void EndProcess(int status) override { inner_.EndProcess(status); }

 protected:
  Platform& inner_;
};

}  // namespace install::platform
