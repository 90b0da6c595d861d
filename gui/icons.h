// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

#include "jobs/file_category.h"

class QPainter;
class QRectF;

namespace gui {

// The program's icons. Where the desktop's icon theme or Qt's style has an
// icon for a thing (folders, drives, the views), that one is used; the rest
// are drawn at run time as vectors (no image files to ship or license), so
// every icon is sharp at any size and screen scale. Made once and cached;
// window thread only.
QIcon CategoryIcon(jobs::FileCategory category);
// The category's icon with the mark of a damaged file (a red cross).
QIcon DamagedIcon(jobs::FileCategory category);
// The category's icon with the mark of a file whose clusters now hold a
// live file's data (an orange page laid over it).
QIcon OverwrittenIcon(jobs::FileCategory category);
// The category's icon with the mark of a file put together from pieces
// that lay apart (a blue badge with two joined pieces).
QIcon ReassembledIcon(jobs::FileCategory category);
QIcon FolderIcon();
QIcon DiskIcon(bool removable);
QIcon ImageFileIcon();
QIcon AppIcon();
QIcon ListViewIcon();
QIcon GridViewIcon();
// The icons of the mode cards.
QIcon DeletedModeIcon();
QIcon FormattedModeIcon();
QIcon DeepModeIcon();
QIcon ImageModeIcon();

// Draws the damaged, overwritten or reassembled mark into the lower right
// corner of area (a thumbnail's).
void PaintDamagedMark(QPainter* painter, const QRectF& area);
void PaintOverwrittenMark(QPainter* painter, const QRectF& area);
void PaintReassembledMark(QPainter* painter, const QRectF& area);

}  // namespace gui
