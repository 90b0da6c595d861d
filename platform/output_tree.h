// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <string>
#include <unordered_map>

#include "platform/raw_file.h"
#include "platform/status.h"

namespace platform {

// Writing below an output folder (recovered files, copies of a tree).
//
// The root is the folder the user chose and is taken as it is (it is created
// with its parents when missing). Below it nothing is ever followed: every
// component of a relative path is opened relative to its parent with
// O_NOFOLLOW, so a symbolic link, a device node or a FIFO planted inside the
// output folder (the tool often runs as root to read raw disks) is never
// written through. Such a name counts as taken, and the caller writes beside
// it under another name. Files are only ever created new (O_EXCL): nothing
// that exists is overwritten.
//
// relative is "/"-separated without a leading "/"; its components must be
// plain names (not empty, ".", ".." or containing NUL): 87 otherwise.
// Statuses: 0; 183 when a component or the target exists but is not usable
// (a file where a folder is needed, a link, an existing target); otherwise
// the system's error. Thread-safe (no shared state).

// While one is open on a thread, the folders below an output root that the
// calls above open on that thread are kept open (at most 64), and later
// calls start from the deepest kept folder of their path instead of walking
// from the root: what a file costs no longer grows with its folder's depth.
// A folder is kept as it was opened (never through a link), so every rule
// above holds. Closed with the scope; for one job that writes many files.
// Scopes nest; one thread; not copyable.
class FolderCacheScope {
 public:
  FolderCacheScope();
  ~FolderCacheScope();
  FolderCacheScope(const FolderCacheScope&) = delete;
  FolderCacheScope& operator=(const FolderCacheScope&) = delete;

 private:
  std::unordered_map<std::string, int> m_folders;  // "root\0a/b" -> descriptor
  std::unordered_map<std::string, int>* m_outer;
};

// Creates root when missing, then every folder of relative below it.
[[nodiscard]] Status CreateFoldersBelow(const std::string& root, const std::string& relative);

// Creates the file relative below root, new and empty, opened for writing;
// its parent folders must exist (see CreateFoldersBelow).
[[nodiscard]] Status CreateNewFileBelow(const std::string& root, const std::string& relative, OutputFile* out);

// Creates a file without a name in the folder folderRelative below root
// ("" is the root), opened for writing: until LinkFileBelow names it, no
// one sees it, and it is gone with its last descriptor (also when the
// process dies). kErrorNotSupported when the file system cannot (FAT,
// exFAT, NFS) or the file could not be named later; use CreateNewFileBelow.
[[nodiscard]] Status CreateUnnamedFileBelow(const std::string& root, const std::string& folderRelative,
                                            OutputFile* out);

// Gives the open file made by CreateUnnamedFileBelow the name relative
// below root (in the folder it was made in), never replacing anything: 183
// when the name exists.
[[nodiscard]] Status LinkFileBelow(const OutputFile& file, const std::string& root, const std::string& relative);

// Renames fromRelative to toRelative (both below root) without replacing
// anything: 183 when toRelative exists.
[[nodiscard]] Status RenameBelow(const std::string& root, const std::string& fromRelative,
                                 const std::string& toRelative);

// Whether anything (a link included) exists at relative below root.
bool ExistsBelow(const std::string& root, const std::string& relative);
// Whether a plain folder (not a link) exists at relative below root.
bool IsFolderBelow(const std::string& root, const std::string& relative);
// Whether a symbolic link sits at relative below root (its parents are
// opened without following links).
bool IsLinkBelow(const std::string& root, const std::string& relative);

// Removes the file (or link) at relative below root; a missing one is success.
Status RemoveFileBelow(const std::string& root, const std::string& relative);

// Sets the modification and access times (FILETIMEs read with basis; 0
// leaves a time as it is) of the folder at relative below root.
[[nodiscard]] Status SetFolderTimesBelow(const std::string& root, const std::string& relative, uint64_t modified,
                                         uint64_t accessed, TimeBasis basis);

// Whether names in the folder at relative below root ("" is the root) are
// told apart exactly, byte for byte (ext4, XFS, Btrfs, tmpfs without case
// folding): only there does a name that differs from every name in a
// folder never meet one of them. False when unsure.
bool FolderNamesAreExact(const std::string& root, const std::string& relative);

// How many written files one batch may keep open until they are named: a
// quarter of what the process may open, at most 1024, so the sources and
// folders being read always have descriptors left.
size_t FilesABatchMayHoldOpen();

// Writes everything of the file system that holds root to its medium
// (syncfs): the data of many files at the cost of one flush.
[[nodiscard]] Status SyncFileSystemBelow(const std::string& root);

// Flushes the folder at relative below root ("" is the root itself) to its
// medium, so renames and new names inside it survive a pulled stick.
Status SyncFolderBelow(const std::string& root, const std::string& relative);

}  // namespace platform
