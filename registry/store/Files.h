// The store's files as the file system sees them: folders, the store file's creation and mode, whether a
// machine store may be trusted, and the wal-index header read beside SQLite. Internal to the store.
//
// SQLite's locks on a file are POSIX advisory locks, which belong to the process: closing any descriptor
// of the database or its -shm file drops every lock the process holds on it, and another process may
// then take the file for unused (checkpoint and delete a log still in use, or initialise the -shm under
// a reader's mapping). So nothing here opens and closes those files by descriptor: modes change by
// path, the file is made with mknod(2), and the one descriptor of a -shm file (ShmHeader) stays open for
// the life of the process.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace cregistry::store::files {

// Creates every missing folder of the file's path, each with the given mode whatever the umask.
long MakeParentFolders(const std::string& path, mode_t mode);

// Creates the store file, empty, with the given mode whatever the umask, without opening it; kSuccess
// also when a file is there already. A symbolic link at path (to anything) is never followed.
long MakeStoreFile(const std::string& path, mode_t mode);

// Gives the (regular) file at path the rights of its readers: the owner's alone, or the owner's and
// every user's right to read (everyone).
long SetReaders(const std::string& path, bool everyone);

// Whether a machine store at path may be trusted by this process: the file (when it exists) and the
// folder holding it belong to root or to this process's user and no one else may write them, and every
// folder above belongs to root or that user and is either closed to other writers or sticky (so that no
// one else may move what it holds). Otherwise a message for standard error in why, and false.
bool Trusted(const std::string& path, std::string& why);

// Whether the file system holding path is mounted read-only (no process may change the file).
bool OnReadOnlyFileSystem(const std::string& path);

// The first size bytes of the -shm file at path, read through a descriptor that this process keeps
// open as long as it runs (one per file; a file that was removed and made again gets a new one, the
// old one staying open). False when there is no such file or it could not be read.
bool ShmHeader(const std::string& path, unsigned char* out, std::size_t size);

}  // namespace cregistry::store::files
