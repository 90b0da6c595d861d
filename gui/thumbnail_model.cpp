// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/thumbnail_model.h"

#include "app/main_window_model.h"
#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/icons.h"
#include "gui/thumbnail_worker.h"
#include "jobs/display_text.h"
#include "jobs/file_category.h"

namespace gui {

CThumbnailModel::CThumbnailModel(CFileListModel& list, CThumbnailWorker& worker, QObject* parent)
    : QAbstractListModel(parent), m_list(list), m_worker(worker) {
  connect(&m_list, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
  connect(&m_list, &QAbstractItemModel::modelReset, this, [this] {
    Rebuild();
    endResetModel();
  });
  connect(&m_list, &CFileListModel::ChecksChanged, this, [this] {
    if (rowCount() > 0) emit dataChanged(index(0), index(rowCount() - 1), {Qt::CheckStateRole});
  });
  connect(&m_worker, &CThumbnailWorker::Ready, this, &CThumbnailModel::OnReady);
  Rebuild();
}

void CThumbnailModel::Rebuild() {
  m_rowOfKey.clear();
  const app::CResultTable& table = m_list.Table();
  m_rowOfKey.reserve(table.RowCount());
  for (size_t i = 0; i < table.RowCount(); ++i) m_rowOfKey.emplace(app::CheckedKey(table.Row(i).item), int(i));
}

void CThumbnailModel::OnReady(quint64 key) {
  auto it = m_rowOfKey.find(key);
  if (it == m_rowOfKey.end()) return;
  const QModelIndex cell = index(it->second);
  emit dataChanged(cell, cell, {Qt::DecorationRole});
}

std::vector<jobs::FoundItem> CThumbnailModel::ItemsOfRows(int first, int last) const {
  std::vector<jobs::FoundItem> out;
  const int count = rowCount();
  first = std::max(first, 0);
  last = std::min(last, count - 1);
  for (int r = first; r <= last; ++r) out.push_back(m_list.Table().Row(static_cast<size_t>(r)));
  return out;
}

const jobs::FoundItem* CThumbnailModel::RowAt(const QModelIndex& index) const {
  if (!index.isValid() || index.parent().isValid() || index.column() != 0) return nullptr;
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= m_list.Table().RowCount()) return nullptr;
  return &m_list.Table().Row(static_cast<size_t>(index.row()));
}

int CThumbnailModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(m_list.Table().RowCount(), INT32_MAX));
}

QVariant CThumbnailModel::data(const QModelIndex& index, int role) const {
  const jobs::FoundItem* row = RowAt(index);
  if (row == nullptr) return {};
  const engine::ItemRecord& r = row->item;
  switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: return Q(jobs::EscapeForDisplay(r.Name()));
    case Qt::ToolTipRole: {
      QString tip = Q(jobs::EscapeForDisplay(r.Name()));
      if (r.isFolder == 0) tip += QStringLiteral("\n") + LocaleSize(r.size);
      if (const QString when = LocaleTime(r.modified); !when.isEmpty()) tip += QStringLiteral("\n") + when;
      if (const QString mark = m_list.MarkTipOf(*row); !mark.isEmpty()) tip += QStringLiteral("\n") + mark;
      return tip;
    }
    case Qt::DecorationRole: {
      if (r.isFolder != 0) return FolderIcon();
      if (QPixmap thumbnail = m_worker.Thumbnail(r); !thumbnail.isNull()) return thumbnail;
      const jobs::FileCategory category = jobs::CategoryOf(r.Name());
      switch (app::MarkOf(*row)) {
        case app::RowMark::kNone: return CategoryIcon(category);
        case app::RowMark::kReassembled: return ReassembledIcon(category);
        case app::RowMark::kDamaged: return DamagedIcon(category);
        case app::RowMark::kOverwritten: return OverwrittenIcon(category);
      }
      return CategoryIcon(category);
    }
    case Qt::CheckStateRole: return m_list.RowChecked(r) ? Qt::Checked : Qt::Unchecked;
    default: return {};
  }
}

bool CThumbnailModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const jobs::FoundItem* row = RowAt(index);
  if (row == nullptr || role != Qt::CheckStateRole) return false;
  const jobs::FoundItem item = *row;
  m_list.CheckRow(item, value.toInt() == Qt::Checked);  // repaints both views
  return true;
}

Qt::ItemFlags CThumbnailModel::flags(const QModelIndex& index) const {
  if (RowAt(index) == nullptr) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

}  // namespace gui
