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
  const QRect square = SquareOf(cell);
  return {square.x() + 2, square.y() + 2, w, h};
}

QSize CThumbnailDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {m_side + 2 * kMargin + 8, m_side + 2 * kMargin + option.fontMetrics.height() + 6};
}

void CThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QWidget* widget = opt.widget;
  const QStyle* style = StyleOf(widget);
  painter->save();
  // The cell's background: selection and hover as the style draws them.
  QStyleOptionViewItem panel(opt);
  panel.text.clear();
  panel.icon = QIcon();
  panel.features &= ~QStyleOptionViewItem::HasCheckIndicator;
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

  const QRect square = SquareOf(opt.rect);
  const QVariant decoration = index.data(Qt::DecorationRole);
  if (decoration.canConvert<QPixmap>() && decoration.typeId() == QMetaType::QPixmap) {
    const QPixmap pixmap = qvariant_cast<QPixmap>(decoration);
    const QSizeF logical = pixmap.deviceIndependentSize();
    const QSize fitted = logical.toSize().scaled(square.size(), Qt::KeepAspectRatio).boundedTo(logical.toSize());
    const QRect target(square.x() + (square.width() - fitted.width()) / 2,
                       square.y() + (square.height() - fitted.height()) / 2, fitted.width(), fitted.height());
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawPixmap(target, pixmap);
  } else {
    const QIcon icon = qvariant_cast<QIcon>(decoration);
    const int side = std::min(kKindIconSide, m_side);
    icon.paint(painter,
               QRect(square.x() + (square.width() - side) / 2, square.y() + (square.height() - side) / 2, side, side),
               Qt::AlignCenter, (opt.state & QStyle::State_Enabled) ? QIcon::Normal : QIcon::Disabled);
  }

  // The box over the picture's corner.
  const QVariant check = index.data(Qt::CheckStateRole);
  if (check.isValid()) {
    QStyleOptionViewItem box(opt);
    box.rect = CheckOf(opt.rect, widget);
    box.state = box.state & ~QStyle::State_HasFocus;
    box.state |= static_cast<Qt::CheckState>(check.toInt()) == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, widget);
  }

  // The name below, elided in the middle.
  const QRect textRect(opt.rect.x() + 2, square.bottom() + 4, opt.rect.width() - 4, opt.fontMetrics.height());
  const QString text =
      opt.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textRect.width());
  const QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
  painter->setPen(
      opt.palette.color(group, (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text));
  painter->setFont(opt.font);
  painter->drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, text);

  if (opt.state & QStyle::State_HasFocus) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(opt);
    focus.rect = opt.rect.adjusted(1, 1, -1, -1);
    focus.backgroundColor =
        opt.palette.color(group, (opt.state & QStyle::State_Selected) ? QPalette::Highlight : QPalette::Base);
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
