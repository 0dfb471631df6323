// The placement of copies on Linux: each file's data is written into a temporary file in its
// destination's folder (or the destination root), the data of a whole batch is made durable, and
// only then does each file get its name, never replacing anything (unless asked to).
//
// WHY IN BATCHES. A name given before the data is on the disk can survive a power cut that the
// data does not (ext4 and XFS allocate late): the file would stay empty under its final name, and
// every later run would skip it as there already. Making each file durable on its own (fdatasync)
// costs a journal commit or a flush of the disk's cache per file; a batch starts the write-back of
// each file as soon as it is written, then makes all of them durable with one syncfs (one commit,
// one flush). The EXDEV retry of a single file, rare, uses fdatasync.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <span>

#include "install/platform/posix/FolderWalk.h"
#include "install/platform/posix/UniqueFd.h"

namespace install::platform {

class TempFile;

// One file of a batch: the open source and where its copy goes, in; whether it got its name, out.
struct CopyJob {
  CopyJob();
  CopyJob(CopyJob&&) noexcept;
  CopyJob& operator=(CopyJob&&) noexcept;
  ~CopyJob();

  UniqueFd in;  // not open: this job has failed already
  struct stat st {};
  Place to;
  bool replace = false;
  bool placed = false;

  // The placement's own state.
  UniqueFd out;
  std::unique_ptr<TempFile> temp;  // the named kind; none for an anonymous (O_TMPFILE) file
};

// Copies each job's source to its name, as SafeCopyFile promises: first every file's data into a
// temporary file, then all of it made durable, then the names. A copy's permission bits are the
// source's less the process's umask.
void PlaceCopies(std::span<CopyJob> jobs);

}  // namespace install::platform
