// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace app {

// The message and caption when the program's own resource folder
// (config.ini and Languages/) is missing: the wizard cannot start.
inline constexpr const char* kResourcesMissingText =
    "The program's resource folder (config.ini and Languages) was not found, the application can not complete "
    "initialization!";
inline constexpr const char* kResourcesMissingCaption = "Information";
// Shown when a second start finds the first but cannot reach its window.
inline constexpr const char* kAlreadyRunningText = "Quellmoor is running.";

// The first of folders (each ending in "/") that holds config.ini and a
// Languages folder; empty when none does.
std::string FindResourceFolder(const std::vector<std::string>& folders);

// What is wrong with the data folder for a user who is not root: a folder
// (the data folder itself, or ScanLog, D-Error or a preview folder in it)
// owned by another user, typically root after an earlier "sudo" run. Empty
// when all is well or nothing exists yet; else the first such path.
std::string ForeignOwnedDataPath(const std::string& dataFolder, unsigned uid);

// The explanation of a data folder with a path left owned by root, with the
// command that gives the data folder back to the user.
std::string ForeignOwnedDataText(const std::string& dataFolder, const std::string& path);

// Cleans up after the window at exit: deletes "tmp.avi" of an older run
// from the ScanLog folder. True when it is gone (or was never there). The
// preview session removes its own folder and ends its players itself.
bool DeleteLeftoverPreviewVideo();

}  // namespace app
