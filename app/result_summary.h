// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "jobs/text_source.h"

namespace app {

// What the status line of the results page says: how many files were
// found, how many the page shows (when a filter hides some), what is
// checked and how big it is, and the drive the results are of.
struct ResultSummary {
  uint64_t found = 0;  // files found on the drive (every kind)
  uint64_t shown = 0;  // rows the page shows
  bool filtered = false;
  uint64_t checkedFiles = 0;
  uint64_t checkedFolders = 0;
  uint64_t checkedBytes = 0;  // of the checked files (a folder's files are counted when copied)
  std::string drive;          // what the results are of: "card.img", "/dev/sdb1 (FAT32)", ...
};

// How numbers and sizes are written (the window's locale).
struct NumberTexts {
  std::function<std::string(uint64_t)> count;
  std::function<std::string(uint64_t)> size;
};

// The status line, its parts joined by "  ·  ", each from the window's
// section "MainWnd": "StatusFound" ("%s files found", "StatusFoundOne" for
// one), "StatusShown" ("%s shown"), "StatusChecked" ("%s checked, %s") or
// "StatusNoneChecked", "StatusCheckedFolders" ("and %s folders") and
// "StatusDrive" ("on %s"). A part whose key is missing is left out.
std::string StatusLineText(const ResultSummary& summary, const jobs::ITextSource* texts, const NumberTexts& numbers);

}  // namespace app
