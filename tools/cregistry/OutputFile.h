// A file written beside its target under a temporary name and given the target's name only when it is
// complete: an interrupted export leaves no partial file, and an existing file is replaced only when the
// caller says so (and then in one step).
//
//   OutputFile file;
//   if (auto ec = file.Open("acme.reg")) ...;
//   file.stream() << ...;
//   if (auto ec = file.Commit(/*replace=*/false)) ...;   // without Commit, the temporary file is removed
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <system_error>

namespace cregistry::tool {

class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file (exclusively, in target's folder).
  [[nodiscard]] std::error_code Open(const std::string& target);
  std::ostream& stream();
  // Flushes, syncs and closes the temporary file, then gives it the target's name. Without replace an
  // existing target (even one that appeared after Open) is left alone: the answer is file_exists.
  [[nodiscard]] std::error_code Commit(bool replace);

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<std::ostream> stream_;
  std::string target_;
  std::string temp_;
  bool committed_ = false;
};

// Whether something exists at path (a file, a folder, a dangling link).
bool PathExists(const std::string& path);

// The platform's part (OutputFilePosix.cpp, OutputFileWin32.cpp): plain file-descriptor calls.
namespace platform {
// Opens path for writing, creating it; fails when it exists. Answers the descriptor or -1 (ec set).
int CreateExclusive(const std::string& path, std::error_code& ec);
std::error_code WriteAll(int fd, const char* data, std::size_t size);
// Makes the data durable and closes fd (also on failure).
std::error_code SyncAndClose(int fd);
void Close(int fd);
// Gives from the name to; with replace false, fails (file_exists) when to exists.
std::error_code Place(const std::string& from, const std::string& to, bool replace);
void Remove(const std::string& path);
bool Exists(const std::string& path);
}  // namespace platform

}  // namespace cregistry::tool
