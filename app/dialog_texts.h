// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "jobs/text_source.h"

namespace app {

// The file kinds the image chooser offers, as file-name patterns: raw
// copies (.img, .dd, .raw, .bin, .ima, .iso), evidence files (E01, Ex01)
// and virtual disks (VHD, VHDX, VMDK, QCOW, QCOW2), in both letter cases.
// The content decides how a file is read; the patterns only help finding it.
const std::vector<std::string>& ImageFilePatterns();

// The chooser's filters: "Disk images (*.img *.dd ...)" and "All files (*)",
// their names from the texts "ImageFilter" and "AllFiles" (section "Dialogs").
std::vector<std::string> ImageFileFilters(const jobs::ITextSource* texts);

// A text of the section "Dialogs" (titles and labels of the wizard's
// choosers and boxes), or fallback when the language has none.
std::string DialogText(const jobs::ITextSource* texts, std::string_view key, std::string_view fallback);

}  // namespace app
