// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// "$XDG_DATA_HOME/Quellmoor/" (default ~/.local/share), ending in "/".
std::string DataFolder();
// DataFolder() + "ScanLog/".
std::string ScanLogFolder();
// Folder of the running executable, ending in "/".
std::string ProgramFolder();

// Creates path with all its parents. An existing folder is success.
[[nodiscard]] Status CreateDirectories(const std::string& path);
// Creates the folder path (its parent must exist), never one that exists:
// 183 when anything is there already.
[[nodiscard]] Status CreateNewFolder(const std::string& path);
// Deletes a folder and everything in it; a missing path is success.
Status RemoveTree(const std::string& path);
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
[[nodiscard]] Status RemoveFile(const std::string& path);
[[nodiscard]] Status RenameFile(const std::string& from, const std::string& to);
// Names in a folder (not "." or ".."), sorted.
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace platform
