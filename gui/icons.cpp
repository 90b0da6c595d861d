// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <map>

namespace gui {
namespace {

constexpr int kSize = 32;

QColor CategoryColour(jobs::FileCategory category) {
  switch (category) {
    case jobs::FileCategory::kPhoto: return QColor(0x2e, 0x86, 0xc1);
    case jobs::FileCategory::kAudio: return QColor(0x8e, 0x44, 0xad);
    case jobs::FileCategory::kVideo: return QColor(0xd3, 0x54, 0x00);
    case jobs::FileCategory::kDocument: return QColor(0x27, 0xae, 0x60);
    case jobs::FileCategory::kArchive: return QColor(0xb7, 0x95, 0x0b);
    case jobs::FileCategory::kOther: return QColor(0x7f, 0x8c, 0x8d);
  }
  return Qt::gray;
}

const char* CategoryMark(jobs::FileCategory category) {
  switch (category) {
    case jobs::FileCategory::kPhoto: return "\u25B2";     // a mountain
    case jobs::FileCategory::kAudio: return "\u266B";     // notes
    case jobs::FileCategory::kVideo: return "\u25B6";     // play
    case jobs::FileCategory::kDocument: return "\u2261";  // lines
    case jobs::FileCategory::kArchive: return "\u25A4";   // a box
    case jobs::FileCategory::kOther: return "?";
  }
  return "?";
}

QPixmap Page(const QColor& colour, const QString& mark) {
  QPixmap pix(kSize, kSize);
  pix.fill(Qt::transparent);
  QPainter p(&pix);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath page;
  page.moveTo(6, 2);
  page.lineTo(20, 2);
  page.lineTo(27, 9);
  page.lineTo(27, 30);
  page.lineTo(6, 30);
  page.closeSubpath();
  p.setPen(QPen(colour.darker(130), 1.5));
  p.setBrush(Qt::white);
  p.drawPath(page);
  p.setBrush(colour);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(9, 13, 15, 14), 2, 2);
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setPixelSize(11);
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRectF(9, 13, 15, 14), Qt::AlignCenter, mark);
  return pix;
}

QIcon Cached(const QString& key, const std::function<QPixmap()>& make) {
  static std::map<QString, QIcon> cache;
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  QIcon icon(make());
  cache.emplace(key, icon);
  return icon;
}

}  // namespace

QIcon CategoryIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("c%1").arg(static_cast<int>(category)),
                [category] { return Page(CategoryColour(category), QString::fromUtf8(CategoryMark(category))); });
}

QIcon DamagedIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("d%1").arg(static_cast<int>(category)), [category] {
    QPixmap pix = Page(CategoryColour(category).lighter(150), QString::fromUtf8(CategoryMark(category)));
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xc0, 0x20, 0x20), 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(17, 19), QPointF(29, 31));
    p.drawLine(QPointF(29, 19), QPointF(17, 31));
    return pix;
  });
}

QIcon OverwrittenIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("o%1").arg(static_cast<int>(category)), [category] {
    QPixmap pix = Page(CategoryColour(category).lighter(150), QString::fromUtf8(CategoryMark(category)));
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    // A second page laid over the first: other data now lies where this file was.
    p.setPen(QPen(QColor(0xb0, 0x60, 0x00), 1.5));
    p.setBrush(QColor(0xff, 0xc8, 0x60));
    p.drawRect(QRectF(15.5, 17.5, 14, 13));
    return pix;
  });
}

QIcon FolderIcon() {
  return Cached(QStringLiteral("folder"), [] {
    QPixmap pix(kSize, kSize);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xb9, 0x77, 0x0e), 1.5));
    p.setBrush(QColor(0xf5, 0xb0, 0x41));
    QPainterPath path;
    path.moveTo(3, 8);
    path.lineTo(12, 8);
    path.lineTo(15, 11);
    path.lineTo(29, 11);
    path.lineTo(29, 27);
    path.lineTo(3, 27);
    path.closeSubpath();
    p.drawPath(path);
    return pix;
  });
}

QIcon DiskIcon(bool removable) {
  return Cached(removable ? QStringLiteral("removable") : QStringLiteral("disk"), [removable] {
    QPixmap pix(kSize, kSize);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.5));
    p.setBrush(removable ? QColor(0x5d, 0xad, 0xe2) : QColor(0xab, 0xb2, 0xb9));
    if (removable) {
      p.drawRoundedRect(QRectF(9, 4, 14, 24), 3, 3);
      p.setBrush(QColor(0x34, 0x49, 0x5e));
      p.drawRect(QRectF(12, 1, 8, 4));
    } else {
      p.drawRoundedRect(QRectF(3, 9, 26, 14), 3, 3);
      p.setBrush(QColor(0x2e, 0xcc, 0x71));
      p.drawEllipse(QPointF(24, 16), 2, 2);
    }
    return pix;
  });
}

QIcon ImageFileIcon() {
  return Cached(QStringLiteral("image"), [] {
    QPixmap pix(kSize, kSize);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.5));
    p.setBrush(QColor(0xd6, 0xea, 0xf8));
    p.drawEllipse(QPointF(16, 16), 13, 13);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 16), 4, 4);
    return pix;
  });
}

QIcon AppIcon() {
  return Cached(QStringLiteral("app"), [] {
    QPixmap pix(64, 64);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x6f, 0x8b));
    p.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);
    p.setBrush(QColor(0x99, 0xe1, 0xd9));
    p.drawEllipse(QPointF(30, 30), 15, 15);
    p.setPen(QPen(QColor(0x99, 0xe1, 0xd9), 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(41, 41), QPointF(52, 52));
    return pix;
  });
}

}  // namespace gui
