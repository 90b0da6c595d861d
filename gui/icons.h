// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

#include "jobs/file_category.h"

namespace gui {

// The program's icons, drawn at run time (no image files to ship or
// license): a coloured page with a mark per category, a folder, a damaged
// page (the category's page crossed out in red), disks and image files.
// Made once and cached; window thread only.
QIcon CategoryIcon(jobs::FileCategory category);
QIcon DamagedIcon(jobs::FileCategory category);
// A file whose clusters now hold a live file's data.
QIcon OverwrittenIcon(jobs::FileCategory category);
QIcon FolderIcon();
QIcon DiskIcon(bool removable);
QIcon ImageFileIcon();
QIcon AppIcon();

}  // namespace gui
