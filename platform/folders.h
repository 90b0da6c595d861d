// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// "$XDG_DATA_HOME/Quellmoor/" (default ~/.local/share), ending in "/"; or
// the folder set by SetDataFolderOverride.
std::string DataFolder();
// Moves the data folder (result store, preview files) for the rest of the
// process, for instance off a volume that is being recovered. The path must
// be absolute; "/" is appended when missing. An empty path removes the
// override. Thread-safe.
void SetDataFolderOverride(const std::string& folder);
// "$XDG_CONFIG_HOME/quellmoor/" (default ~/.config), ending in "/": the
// user's own settings, never the program folder.
std::string ConfigFolder();
// DataFolder() + "ScanLog/".
std::string ScanLogFolder();
// The temporary folder of this process (preview files):
// DataFolder() + "preview-<pid>-XXXXXX/", made by mkdtemp, so it is new and
// only its owner may use it (0700). Made on first use, and made again when
// it was removed or the data folder moved. When one is made, the folders of
// earlier runs whose process is gone (a crash) are removed. 0 with *path
// (ending in "/"), or why it cannot be made. Thread-safe.
[[nodiscard]] Status SessionFolder(std::string* path);
// Removes the session folder and everything in it (at exit). The next
// SessionFolder call makes a new one. Thread-safe.
void RemoveSessionFolder();
// Folder of the running executable, ending in "/".
std::string ProgramFolder();
// Where the program's shipped files (language files, config.ini) may lie, in
// the order to try: the executable's folder, then the installed share folder
// "<prefix>/share/quellmoor/" beside its bin folder. Each ends in "/".
std::vector<std::string> ProgramDataFolders();

// What a path names, following links.
enum class PathKind { kMissing, kRegularFile, kFolder, kBlockDevice, kCharDevice, kFifo, kSocket, kOther };
PathKind KindOfPath(const std::string& path);
// "file", "folder", "block device", "character device", "FIFO", "socket",
// "missing", "special file": for messages.
const char* PathKindWord(PathKind kind);
// True when both paths name the same existing file (device and inode).
bool SameFile(const std::string& a, const std::string& b);
// The absolute path with links and "." and ".." resolved; path itself when
// it cannot be resolved (a missing file: its folder is resolved).
std::string ResolvedPath(const std::string& path);

// Whether path is the data folder or lies in it. Everything made there is
// its user's alone: folders 0700, files 0600 (the names and records of
// deleted, possibly private files are kept there).
bool IsInDataFolder(const std::string& path);
// Creates path with all its parents. An existing folder is success. In the
// data folder, the data folder itself and each folder down to path are
// made private (0700) to their owner.
[[nodiscard]] Status CreateDirectories(const std::string& path);
// Creates the folder path (its parent must exist), never one that exists:
// 183 when anything is there already. Private (0700) in the data folder.
[[nodiscard]] Status CreateNewFolder(const std::string& path);
// Creates a folder only its owner may use (0700) in a shared place such as
// /tmp. An existing one is taken only when it is a real folder (not a
// link), owned by this user and writable by nobody else: kErrorAccessDenied
// otherwise.
[[nodiscard]] Status CreatePrivateFolder(const std::string& path);
// Deletes a folder and everything in it; a missing path is success.
Status RemoveTree(const std::string& path);
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
[[nodiscard]] Status RemoveFile(const std::string& path);
[[nodiscard]] Status RenameFile(const std::string& from, const std::string& to);
// Names in a folder (not "." or ".."), sorted.
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace platform
