// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStyledItemDelegate>

namespace gui {

// Draws a cell of the thumbnail grid with the desktop's style: the
// thumbnail centred in a square (a kind's icon smaller in its middle), the
// check box in the square's upper left corner, the name below, elided in
// the middle so the extension stays. A click on the box or Space ticks it.
// Window thread only.
class CThumbnailDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // side: the square's side in pixels.
  CThumbnailDelegate(int side, QObject* parent = nullptr) : QStyledItemDelegate(parent), m_side(side) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

 private:
  QRect SquareOf(const QRect& cell) const;
  QRect CheckOf(const QRect& cell, const QWidget* widget) const;

  int m_side;
};

}  // namespace gui
