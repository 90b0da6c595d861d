// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/icons.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>
#include <functional>
#include <map>

namespace gui {
namespace {

// Every painting below draws in a square of 32 x 32 units.
constexpr qreal kUnits = 32.0;
using PaintFn = std::function<void(QPainter*)>;

// An icon drawn as vectors at whatever size and scale it is asked for.
class CPaintedIconEngine final : public QIconEngine {
 public:
  explicit CPaintedIconEngine(PaintFn paint) : m_paint(std::move(paint)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    const qreal side = std::min(rect.width(), rect.height());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (mode == QIcon::Disabled) painter->setOpacity(0.4);
    painter->translate(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2);
    painter->scale(side / kUnits, side / kUnits);
    m_paint(painter);
    painter->restore();
  }
  // size is in device pixels (QIcon multiplies it by the screen's scale).
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    paint(&p, QRect(QPoint(0, 0), size), mode, state);
    return pix;
  }
  QIconEngine* clone() const override { return new CPaintedIconEngine(m_paint); }
  QString key() const override { return QStringLiteral("quellmoor-painted"); }

 private:
  PaintFn m_paint;
};

QIcon Painted(PaintFn paint) {
  return QIcon(new CPaintedIconEngine(std::move(paint)));
}

// An icon of the desktop's theme when it has one, else fallback.
QIcon Themed(const char* name, const QIcon& fallback) {
  QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
  return icon.isNull() ? fallback : icon;
}

QIcon Cached(const QString& key, const std::function<QIcon()>& make) {
  static std::map<QString, QIcon> cache;
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  QIcon icon = make();
  cache.emplace(key, icon);
  return icon;
}

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

const char* CategoryThemeName(jobs::FileCategory category) {
  switch (category) {
    case jobs::FileCategory::kPhoto: return "image-x-generic";
    case jobs::FileCategory::kAudio: return "audio-x-generic";
    case jobs::FileCategory::kVideo: return "video-x-generic";
    case jobs::FileCategory::kDocument: return "x-office-document";
    case jobs::FileCategory::kArchive: return "package-x-generic";
    case jobs::FileCategory::kOther: return "text-x-generic";
  }
  return "text-x-generic";
}

void PaintPage(QPainter* p, const QColor& colour) {
  QPainterPath page;
  page.moveTo(6, 2);
  page.lineTo(20, 2);
  page.lineTo(27, 9);
  page.lineTo(27, 30);
  page.lineTo(6, 30);
  page.closeSubpath();
  p->setPen(QPen(colour.darker(130), 1.5));
  p->setBrush(QColor(0xfb, 0xfc, 0xfd));
  p->drawPath(page);
  p->setPen(QPen(colour.darker(130), 1.0));
  p->drawLine(QPointF(20, 2), QPointF(20, 9));
  p->drawLine(QPointF(20, 9), QPointF(27, 9));
}

// The category's sign on a coloured plate in the middle of the page.
void PaintCategorySign(QPainter* p, jobs::FileCategory category) {
  const QColor colour = CategoryColour(category);
  p->setPen(Qt::NoPen);
  p->setBrush(colour);
  const QRectF plate(9, 12, 15, 15);
  p->drawRoundedRect(plate, 2.5, 2.5);
  p->setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p->setBrush(Qt::white);
  switch (category) {
    case jobs::FileCategory::kPhoto: {  // a sun over a mountain
      p->drawEllipse(QPointF(19.5, 16), 1.6, 1.6);
      QPainterPath m;
      m.moveTo(10.5, 25.5);
      m.lineTo(15, 18.5);
      m.lineTo(18, 22.5);
      m.lineTo(20, 20.5);
      m.lineTo(22.5, 25.5);
      m.closeSubpath();
      p->setPen(Qt::NoPen);
      p->drawPath(m);
      break;
    }
    case jobs::FileCategory::kAudio:  // a note
      p->drawLine(QPointF(18.5, 15), QPointF(18.5, 23));
      p->drawLine(QPointF(18.5, 15), QPointF(21.5, 16.5));
      p->drawEllipse(QPointF(16.5, 23.3), 2.0, 1.6);
      break;
    case jobs::FileCategory::kVideo: {  // play
      QPainterPath t;
      t.moveTo(14, 15.5);
      t.lineTo(21, 19.5);
      t.lineTo(14, 23.5);
      t.closeSubpath();
      p->drawPath(t);
      break;
    }
    case jobs::FileCategory::kDocument:  // lines
      p->setBrush(Qt::NoBrush);
      for (qreal y : {16.0, 19.5, 23.0}) p->drawLine(QPointF(12, y), QPointF(y == 23.0 ? 18 : 21, y));
      break;
    case jobs::FileCategory::kArchive:  // a zip
      p->setBrush(Qt::NoBrush);
      for (qreal y = 14.5; y < 25; y += 2.5) p->drawLine(QPointF(y == 14.5 ? 15.5 : 15, y), QPointF(18, y));
      break;
    case jobs::FileCategory::kOther:  // a dot
      p->drawEllipse(QPointF(16.5, 19.5), 2.0, 2.0);
      break;
  }
}

QIcon WithMark(const QIcon& base, const std::function<void(QPainter*, const QRectF&)>& mark) {
  return Painted([base, mark](QPainter* p) {
    // Drawn in units; the base icon is painted into the whole square.
    const QTransform t = p->worldTransform();
    const QRect device = t.mapRect(QRectF(0, 0, kUnits, kUnits)).toAlignedRect();
    p->save();
    p->resetTransform();
    base.paint(p, device);
    p->restore();
    mark(p, QRectF(0, 0, kUnits, kUnits));
  });
}

}  // namespace

void PaintDamagedMark(QPainter* p, const QRectF& area) {
  const qreal side = std::max<qreal>(8, std::min(area.width(), area.height()) * 0.42);
  const QRectF badge(area.right() - side, area.bottom() - side, side, side);
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  p->setPen(QPen(Qt::white, side * 0.08));
  p->setBrush(QColor(0xc6, 0x28, 0x28));
  p->drawEllipse(badge.adjusted(1, 1, -1, -1));
  p->setPen(QPen(Qt::white, side * 0.14, Qt::SolidLine, Qt::RoundCap));
  const qreal in = side * 0.32;
  p->drawLine(badge.topLeft() + QPointF(in, in), badge.bottomRight() - QPointF(in, in));
  p->drawLine(badge.topRight() + QPointF(-in, in), badge.bottomLeft() + QPointF(in, -in));
  p->restore();
}

void PaintOverwrittenMark(QPainter* p, const QRectF& area) {
  const qreal side = std::max<qreal>(8, std::min(area.width(), area.height()) * 0.42);
  const QRectF badge(area.right() - side, area.bottom() - side, side, side);
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  p->setPen(QPen(Qt::white, side * 0.08));
  p->setBrush(QColor(0xe6, 0x7e, 0x00));
  p->drawRoundedRect(badge.adjusted(1, 1, -1, -1), side * 0.2, side * 0.2);
  // Two pages, one laid over the other.
  p->setPen(QPen(Qt::white, side * 0.09));
  p->setBrush(Qt::NoBrush);
  const qreal u = side / 10;
  p->drawRect(QRectF(badge.x() + 2.5 * u, badge.y() + 2.2 * u, 3.6 * u, 4.4 * u));
  p->setBrush(Qt::white);
  p->drawRect(QRectF(badge.x() + 4.2 * u, badge.y() + 3.6 * u, 3.6 * u, 4.4 * u));
  p->restore();
}

void PaintReassembledMark(QPainter* p, const QRectF& area) {
  const qreal side = std::max<qreal>(8, std::min(area.width(), area.height()) * 0.42);
  const QRectF badge(area.right() - side, area.bottom() - side, side, side);
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  p->setPen(QPen(Qt::white, side * 0.08));
  p->setBrush(QColor(0x15, 0x65, 0xc0));
  p->drawEllipse(badge.adjusted(1, 1, -1, -1));
  // Two pieces, side by side, joined.
  const qreal u = side / 10;
  p->setPen(Qt::NoPen);
  p->setBrush(Qt::white);
  p->drawRect(QRectF(badge.x() + 2.4 * u, badge.y() + 3.2 * u, 2.4 * u, 3.6 * u));
  p->drawRect(QRectF(badge.x() + 5.2 * u, badge.y() + 3.2 * u, 2.4 * u, 3.6 * u));
  p->setPen(QPen(Qt::white, side * 0.09));
  p->drawLine(QPointF(badge.x() + 4.6 * u, badge.y() + 5 * u), QPointF(badge.x() + 5.4 * u, badge.y() + 5 * u));
  p->restore();
}

QIcon CategoryIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("c%1").arg(static_cast<int>(category)), [category] {
    return Themed(CategoryThemeName(category), Painted([category](QPainter* p) {
                    PaintPage(p, CategoryColour(category));
                    PaintCategorySign(p, category);
                  }));
  });
}

QIcon DamagedIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("d%1").arg(static_cast<int>(category)),
                [category] { return WithMark(CategoryIcon(category), PaintDamagedMark); });
}

QIcon OverwrittenIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("o%1").arg(static_cast<int>(category)),
                [category] { return WithMark(CategoryIcon(category), PaintOverwrittenMark); });
}

QIcon ReassembledIcon(jobs::FileCategory category) {
  return Cached(QStringLiteral("r%1").arg(static_cast<int>(category)),
                [category] { return WithMark(CategoryIcon(category), PaintReassembledMark); });
}

QIcon FolderIcon() {
  return Cached(QStringLiteral("folder"),
                [] { return Themed("folder", QApplication::style()->standardIcon(QStyle::SP_DirIcon)); });
}

QIcon DiskIcon(bool removable) {
  return Cached(removable ? QStringLiteral("removable") : QStringLiteral("disk"), [removable] {
    const QIcon painted = Painted([removable](QPainter* p) {
      p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.5));
      if (removable) {  // a memory card
        QPainterPath card;
        card.moveTo(9, 3);
        card.lineTo(20, 3);
        card.lineTo(24, 7);
        card.lineTo(24, 29);
        card.lineTo(9, 29);
        card.closeSubpath();
        p->setBrush(QColor(0x5d, 0xad, 0xe2));
        p->drawPath(card);
        p->setBrush(QColor(0xf4, 0xd0, 0x3f));
        p->setPen(Qt::NoPen);
        for (qreal x : {11.5, 14.5, 17.5}) p->drawRect(QRectF(x, 5, 2, 5));
      } else {  // a disk drive
        p->setBrush(QColor(0xab, 0xb2, 0xb9));
        p->drawRoundedRect(QRectF(3, 9, 26, 14), 3, 3);
        p->setBrush(QColor(0x2e, 0xcc, 0x71));
        p->setPen(Qt::NoPen);
        p->drawEllipse(QPointF(24, 16), 2, 2);
      }
    });
    return Themed(removable ? "media-flash" : "drive-harddisk", painted);
  });
}

QIcon ImageFileIcon() {
  return Cached(QStringLiteral("image"), [] {
    return Themed("media-optical", Painted([](QPainter* p) {
                    p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.5));
                    p->setBrush(QColor(0xd6, 0xea, 0xf8));
                    p->drawEllipse(QPointF(16, 16), 13, 13);
                    p->setBrush(Qt::white);
                    p->drawEllipse(QPointF(16, 16), 4, 4);
                  }));
  });
}

QIcon ListViewIcon() {
  return Cached(QStringLiteral("list"), [] {
    return Themed("view-list-details", Painted([](QPainter* p) {
                    const QColor ink = QApplication::palette().color(QPalette::WindowText);
                    p->setPen(Qt::NoPen);
                    p->setBrush(ink);
                    for (qreal y : {7.0, 14.0, 21.0}) {
                      p->drawRect(QRectF(5, y, 4, 4));
                      p->drawRect(QRectF(12, y + 0.5, 15, 3));
                    }
                  }));
  });
}

QIcon GridViewIcon() {
  return Cached(QStringLiteral("grid"), [] {
    return Themed("view-grid", Painted([](QPainter* p) {
                    const QColor ink = QApplication::palette().color(QPalette::WindowText);
                    p->setPen(Qt::NoPen);
                    p->setBrush(ink);
                    for (qreal x : {6.0, 17.0}) {
                      for (qreal y : {6.0, 17.0}) p->drawRoundedRect(QRectF(x, y, 9, 9), 1.5, 1.5);
                    }
                  }));
  });
}

QIcon DeletedModeIcon() {
  return Cached(QStringLiteral("mode-deleted"), [] {
    return Painted([](QPainter* p) {  // a bin with a page coming back out of it
      p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.4));
      p->setBrush(QColor(0xd5, 0xdb, 0xdf));
      QPainterPath bin;
      bin.moveTo(7, 12);
      bin.lineTo(25, 12);
      bin.lineTo(23, 30);
      bin.lineTo(9, 30);
      bin.closeSubpath();
      p->setBrush(QColor(0xfb, 0xfc, 0xfd));
      p->drawRect(QRectF(11, 2, 10, 13));
      p->setBrush(QColor(0xd5, 0xdb, 0xdf));
      p->drawPath(bin);
      p->setPen(QPen(QColor(0x2e, 0x86, 0xc1), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p->drawLine(QPointF(16, 26), QPointF(16, 17));
      p->drawLine(QPointF(12.5, 20.5), QPointF(16, 17));
      p->drawLine(QPointF(19.5, 20.5), QPointF(16, 17));
    });
  });
}

QIcon FormattedModeIcon() {
  return Cached(QStringLiteral("mode-formatted"), [] {
    return Painted([](QPainter* p) {  // a drive with a circular arrow
      p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.4));
      p->setBrush(QColor(0xab, 0xb2, 0xb9));
      p->drawRoundedRect(QRectF(3, 17, 26, 12), 3, 3);
      p->setBrush(QColor(0x2e, 0xcc, 0x71));
      p->setPen(Qt::NoPen);
      p->drawEllipse(QPointF(24, 23), 1.8, 1.8);
      p->setPen(QPen(QColor(0x2e, 0x86, 0xc1), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p->setBrush(Qt::NoBrush);
      p->drawArc(QRectF(9, 1, 14, 14), 30 * 16, 280 * 16);
      p->drawLine(QPointF(22, 4), QPointF(22.5, 8.5));
      p->drawLine(QPointF(22.5, 8.5), QPointF(18, 8));
    });
  });
}

QIcon DeepModeIcon() {
  return Cached(QStringLiteral("mode-deep"), [] {
    return Painted([](QPainter* p) {  // a magnifier over the rows of a disk's sectors
      p->setPen(Qt::NoPen);
      p->setBrush(QColor(0xab, 0xb2, 0xb9));
      for (qreal y = 4; y < 30; y += 5) {
        for (qreal x = 3; x < 29; x += 5) p->drawRect(QRectF(x, y, 3.6, 3.6));
      }
      p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 2.4, Qt::SolidLine, Qt::RoundCap));
      p->setBrush(QColor(255, 255, 255, 200));
      p->drawEllipse(QPointF(14, 14), 7.5, 7.5);
      p->setPen(QPen(QColor(0x2e, 0x86, 0xc1), 4, Qt::SolidLine, Qt::RoundCap));
      p->drawLine(QPointF(20, 20), QPointF(27, 27));
    });
  });
}

QIcon ImageModeIcon() {
  return Cached(QStringLiteral("mode-image"), [] {
    return Painted([](QPainter* p) {  // a card copied into a file
      p->setPen(QPen(QColor(0x34, 0x49, 0x5e), 1.4));
      p->setBrush(QColor(0x5d, 0xad, 0xe2));
      QPainterPath card;
      card.moveTo(2, 6);
      card.lineTo(9, 6);
      card.lineTo(12, 9);
      card.lineTo(12, 24);
      card.lineTo(2, 24);
      card.closeSubpath();
      p->drawPath(card);
      PaintPage(p, QColor(0x34, 0x49, 0x5e));
      p->setPen(QPen(QColor(0x2e, 0x86, 0xc1), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p->drawLine(QPointF(12, 17), QPointF(22, 17));
      p->drawLine(QPointF(18.5, 13.5), QPointF(22, 17));
      p->drawLine(QPointF(18.5, 20.5), QPointF(22, 17));
    });
  });
}

QIcon AppIcon() {
  return Cached(QStringLiteral("app"), [] {
    return Painted([](QPainter* p) {
      p->setPen(Qt::NoPen);
      p->setBrush(QColor(0x1f, 0x6f, 0x8b));
      p->drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
      p->setBrush(QColor(0x99, 0xe1, 0xd9));
      p->drawEllipse(QPointF(15, 15), 7.5, 7.5);
      p->setPen(QPen(QColor(0x99, 0xe1, 0xd9), 3.5, Qt::SolidLine, Qt::RoundCap));
      p->drawLine(QPointF(20.5, 20.5), QPointF(26, 26));
    });
  });
}

}  // namespace gui
