// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/file_list_model.h"

#include <QDateTime>
#include <QLocale>

#include "gui/dialogs.h"
#include "gui/icons.h"
#include "jobs/file_category.h"
#include "platform/file_time.h"

namespace gui {
QString LocaleTime(uint64_t fileTime) {
  platform::SystemTime t;
  if (fileTime == 0 || !platform::FileTimeToSystemTime(fileTime, &t)) return {};
  const QDateTime when(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second));
  // Without a locale of its own ("C", "8 Dec 2026 15:04:05") the short ISO form: the same facts, narrower.
  if (QLocale().language() == QLocale::C) return when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
  return QLocale().toString(when, QLocale::ShortFormat);
}

QString LocaleSize(uint64_t bytes) {
  return QLocale().formattedDataSize(static_cast<qint64>(std::min<uint64_t>(bytes, INT64_MAX)));
}

CFileListModel::CFileListModel(IsChecked isChecked, SetChecked setChecked, QObject* parent)
    : QAbstractTableModel(parent), m_isChecked(std::move(isChecked)), m_setChecked(std::move(setChecked)) {
  for (int c = 0; c < app::kResultColumnCount; ++c) {
    m_headers << Q(std::string(app::ResultColumnName(static_cast<app::ResultColumn>(c))));
  }
}

void CFileListModel::SetRows(std::vector<jobs::FoundItem> rows) {
  std::vector<uint32_t> all(rows.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint32_t>(i);
  SetRows(std::make_shared<const std::vector<jobs::FoundItem>>(std::move(rows)), std::move(all));
}

void CFileListModel::SetRows(app::CResultTable::SharedRows all, std::vector<uint32_t> subset) {
  beginResetModel();
  const bool sorted = m_table.Sorted();
  const app::ResultColumn column = m_table.SortColumn();
  const bool ascending = m_table.SortAscending();
  m_table.SetRows(std::move(all), std::move(subset));
  if (sorted) m_table.Sort(column, ascending);
  endResetModel();
  emit PageChanged();
}

void CFileListModel::SetHeaderTexts(const jobs::ITextSource* texts) {
  m_texts = texts;
  for (int c = 0; c < app::kResultColumnCount; ++c) {
    const std::string_view key = app::ResultColumnName(static_cast<app::ResultColumn>(c));
    QString text = texts != nullptr ? Q(texts->Text("MainWnd", key)) : QString();
    m_headers[c] = text.isEmpty() ? Q(std::string(key)) : text;
  }
  emit headerDataChanged(Qt::Horizontal, 0, app::kResultColumnCount - 1);
}

void CFileListModel::SetFilter(const app::ResultFilter& filter) {
  if (filter == m_table.Filter()) return;
  beginResetModel();
  m_table.SetFilter(filter);
  endResetModel();
  emit PageChanged();
}

void CFileListModel::SetPage(size_t page) {
  beginResetModel();
  m_table.SetPage(page);
  endResetModel();
  emit PageChanged();
}

const jobs::FoundItem* CFileListModel::RowAt(const QModelIndex& index) const {
  if (!index.isValid() || index.parent().isValid()) return nullptr;
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= m_table.PageRowCount()) return nullptr;
  return &m_table.PageRow(static_cast<size_t>(index.row()));
}

QString CFileListModel::MarkTipOf(const jobs::FoundItem& row) const {
  return Q(app::MarkTip(row, m_texts));
}

void CFileListModel::RefreshChecks() {
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
  emit ChecksChanged();
}

void CFileListModel::CheckRow(const jobs::FoundItem& item, bool checked) {
  if (m_setChecked) m_setChecked(item, checked);
  RefreshChecks();
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_table.PageRowCount());
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : app::kResultColumnCount;
}

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
  const jobs::FoundItem* row = RowAt(index);
  if (row == nullptr || index.column() < 0 || index.column() >= app::kResultColumnCount) return {};
  const auto column = static_cast<app::ResultColumn>(index.column());
  const engine::ItemRecord& r = row->item;
  const bool folder = r.isFolder != 0;
  switch (role) {
    case Qt::ToolTipRole:
      if (column == app::ResultColumn::kName) {
        const QString name = Q(app::CResultTable::CellText(*row, column));
        const QString tip = MarkTipOf(*row);
        return tip.isEmpty() ? name : name + QStringLiteral("\n") + tip;
      }
      [[fallthrough]];
    case Qt::DisplayRole:
      if (column == app::ResultColumn::kSize) return folder ? QString() : LocaleSize(r.size);
      if (column == app::ResultColumn::kModified) return LocaleTime(r.modified);
      if (column == app::ResultColumn::kCreated) return LocaleTime(r.created);
      return Q(app::CResultTable::CellText(*row, column));
    case Qt::DecorationRole:
      if (column != app::ResultColumn::kName) return {};
      if (folder) return FolderIcon();
      {
        const jobs::FileCategory category = jobs::CategoryOf(r.Name());
        switch (app::MarkOf(*row)) {
          case app::RowMark::kNone: return CategoryIcon(category);
          case app::RowMark::kReassembled: return ReassembledIcon(category);
          case app::RowMark::kOverwritten: return OverwrittenIcon(category);
          case app::RowMark::kDamaged: break;
        }
        return DamagedIcon(category);
      }
    case Qt::CheckStateRole:
      if (column != app::ResultColumn::kName) return {};
      return m_isChecked && m_isChecked(r) ? Qt::Checked : Qt::Unchecked;
    case Qt::TextAlignmentRole:
      if (column == app::ResultColumn::kSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default: return {};
  }
}

bool CFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const jobs::FoundItem* row = RowAt(index);
  if (row == nullptr || role != Qt::CheckStateRole || index.column() != 0) return false;
  if (m_setChecked) m_setChecked(*row, value.toInt() == Qt::Checked);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  emit ChecksChanged();
  return true;
}

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant CFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (section < 0 || section >= m_headers.size()) return {};
  return m_headers[section];
}

void CFileListModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= app::kResultColumnCount) return;
  if (!app::ResultColumnSorts(static_cast<app::ResultColumn>(column))) return;
  beginResetModel();
  m_table.Sort(static_cast<app::ResultColumn>(column), order == Qt::AscendingOrder);
  m_table.SetPage(0);
  endResetModel();
  emit PageChanged();
}

}  // namespace gui
