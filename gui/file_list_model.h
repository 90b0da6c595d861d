// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <vector>

#include "app/result_table.h"
#include "jobs/scan_source.h"
#include "jobs/text_source.h"

namespace gui {

// The file list: one page of an app::CResultTable as a table model with the
// columns "FileName", "Path", "Size", "Type", "ModifiedTime", "CreatedTime".
// The name cell is checkable (the checked-item set decides its state) and
// carries the category icon, or the damaged-file icon when the content no
// longer matches its kind. Sizes and times are shown in the user's locale.
// Window thread only.
// A FILETIME (as stored, no time-zone conversion) and a size in the user's locale.
QString LocaleTime(uint64_t fileTime);
QString LocaleSize(uint64_t bytes);

class CFileListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  using IsChecked = std::function<bool(const engine::ItemRecord&)>;
  using SetChecked = std::function<void(const jobs::FoundItem&, bool)>;

  CFileListModel(IsChecked isChecked, SetChecked setChecked, QObject* parent = nullptr);

  // Replaces the rows (first page, unsorted, or sorted as the header shows).
  void SetRows(std::vector<jobs::FoundItem> rows);
  // The same with the rows of all at the positions of subset (nothing copied).
  void SetRows(app::CResultTable::SharedRows all, std::vector<uint32_t> subset);
  void Clear() { SetRows({}); }
  // Shows only the rows filter lets through (first page).
  void SetFilter(const app::ResultFilter& filter);
  // Header texts (and the tips of the marks) from the window's language
  // section; texts outlives the model.
  void SetHeaderTexts(const jobs::ITextSource* texts);
  void SetPage(size_t page);
  const app::CResultTable& Table() const { return m_table; }
  // The row of index (on the current page).
  const jobs::FoundItem* RowAt(const QModelIndex& index) const;
  // The checked states changed outside (a new search): repaint them.
  void RefreshChecks();
  // The checked state of a row, and a tick given elsewhere (the grid).
  bool RowChecked(const engine::ItemRecord& item) const { return m_isChecked && m_isChecked(item); }
  void CheckRow(const jobs::FoundItem& item, bool checked);
  // The line a row's mark adds to its tip (app::MarkTip), empty for none.
  QString MarkTipOf(const jobs::FoundItem& row) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 signals:
  void PageChanged();
  // A tick was given or taken, here or through SetChecked or RefreshChecks.
  void ChecksChanged();

 private:
  app::CResultTable m_table;
  IsChecked m_isChecked;
  SetChecked m_setChecked;
  QStringList m_headers;
  const jobs::ITextSource* m_texts = nullptr;
};

}  // namespace gui
