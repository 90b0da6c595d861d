// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

#include "jobs/preview_tools.h"

namespace app {

// The helper programs of the preview, from the section "Preview" of
// config.ini: the shipped file beside the program (or in its share folder)
// names them, and the user's $XDG_CONFIG_HOME/quellmoor/config.ini may name
// others, key by key. A key missing from both, or empty, keeps the built-in
// default (jobs::DefaultPreviewTools). Keys and their defaults:
//   VideoPlayer = mpv --no-terminal --force-window=yes -- %f | xdg-open %f
//   AudioPlayer = mpv --no-terminal --force-window=yes -- %f | xdg-open %f
//   PdfRenderer = pdftoppm
//   ArchiveTool = 7z | 7zz
//   WordText    = catdoc -w -d utf-8
//   SheetText   = xls2csv -d utf-8
//   SlideText   = catppt -d utf-8
//   WatchdogMs  = 6000     (100 to 600000; a value outside that, or no number, is passed over)
// Each value is a command as jobs::ParseToolChoices reads it: words, never a
// shell line; "|" between alternatives; "%f" for the file of a player.
jobs::PreviewTools LoadPreviewTools();
// The same with explicit places (tests): folders to search for config.ini,
// and the user's config file.
jobs::PreviewTools LoadPreviewTools(const std::vector<std::string>& programFolders, const std::string& userConfigPath);

}  // namespace app
