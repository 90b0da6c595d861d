// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/thumbnail_delegate.h"

#include <QApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

namespace gui {
namespace {

constexpr int kMargin = 6;
constexpr int kKindIconSide = 64;  // a kind's icon where no thumbnail is

const QStyle* StyleOf(const QWidget* widget) {
  return widget != nullptr ? widget->style() : QApplication::style();
}

}  // namespace

QRect CThumbnailDelegate::SquareOf(const QRect& cell) const {
  return {cell.x() + (cell.width() - m_side) / 2, cell.y() + kMargin, m_side, m_side};
}

QRect CThumbnailDelegate::CheckOf(const QRect& cell, const QWidget* widget) const {
  const QStyle* style = StyleOf(widget);
  const int w = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget);
  const int h = style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, widget);
  // Inside the picture's upper left corner: a landscape photo fills the square's width and a
  // quarter of its height less, a portrait one its height.
  const QRect square = SquareOf(cell);
  return {square.x() + 4, square.y() + square.height() / 8 + 4, w, h};
}

QSize CThumbnailDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {m_side + 2 * kMargin + 8, m_side + 2 * kMargin + option.fontMetrics.height() + 6};
}

void CThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QWidget* widget = opt.widget;
  const QStyle* style = StyleOf(widget);
  const QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
  const bool selected = opt.state & QStyle::State_Selected;
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  // The whole cell in the palette's selection colour (or a hint of it under the mouse).
  if (selected || (opt.state & QStyle::State_MouseOver)) {
    QColor fill = opt.palette.color(group, QPalette::Highlight);
    if (!selected) fill.setAlphaF(0.18);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(QRectF(opt.rect).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
  }

  const QRect square = SquareOf(opt.rect);
  QRect picture = square;
  const QVariant decoration = index.data(Qt::DecorationRole);
  if (decoration.typeId() == QMetaType::QPixmap) {
    const QPixmap pixmap = qvariant_cast<QPixmap>(decoration);
    const QSize logical = pixmap.deviceIndependentSize().toSize();
    const QSize fitted = logical.scaled(square.size(), Qt::KeepAspectRatio).boundedTo(logical);
    picture = QRect(square.x() + (square.width() - fitted.width()) / 2,
                    square.y() + (square.height() - fitted.height()) / 2, fitted.width(), fitted.height());
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawPixmap(picture, pixmap);
  } else {
    const QIcon icon = qvariant_cast<QIcon>(decoration);
    const int side = std::min(kKindIconSide, m_side);
    icon.paint(painter,
               QRect(square.x() + (square.width() - side) / 2, square.y() + (square.height() - side) / 2, side, side),
               Qt::AlignCenter, (opt.state & QStyle::State_Enabled) ? QIcon::Normal : QIcon::Disabled);
  }

  // The box in the picture's corner, where it shows on light and dark pictures alike.
  const QVariant check = index.data(Qt::CheckStateRole);
  if (check.isValid()) {
    QStyleOptionViewItem box(opt);
    box.rect = CheckOf(opt.rect, widget);
    box.state = box.state & ~(QStyle::State_HasFocus | QStyle::State_Selected);
    box.state |= static_cast<Qt::CheckState>(check.toInt()) == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, widget);
  }

  // The name below, elided in the middle.
  const QRect textRect(opt.rect.x() + 3, square.bottom() + 4, opt.rect.width() - 6, opt.fontMetrics.height());
  const QString text =
      opt.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textRect.width());
  painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  painter->setFont(opt.font);
  painter->drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, text);

  if (opt.state & QStyle::State_HasFocus) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(opt);
    focus.rect = opt.rect.adjusted(1, 1, -1, -1);
    focus.backgroundColor = opt.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
    style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
  }
  painter->restore();
}

bool CThumbnailDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) {
  const bool click = event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseButtonDblClick;
  if (!click) return QStyledItemDelegate::editorEvent(event, model, option, index);  // Space and Select
  if (!(model->flags(index) & Qt::ItemIsUserCheckable)) return false;
  const auto* mouse = static_cast<QMouseEvent*>(event);
  if (mouse->button() != Qt::LeftButton || !CheckOf(option.rect, option.widget).contains(mouse->position().toPoint())) {
    return false;
  }
  if (event->type() == QEvent::MouseButtonDblClick) return true;  // the release ticks; the double click is taken
  const bool checked = static_cast<Qt::CheckState>(index.data(Qt::CheckStateRole).toInt()) == Qt::Checked;
  return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

}  // namespace gui
