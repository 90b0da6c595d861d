// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/result_filter.h"
#include "jobs/scan_source.h"
#include "jobs/text_source.h"

namespace app {

// The columns of the file list, in order: "FileName", "Path", "Size",
// "Type", "ModifiedTime", "CreatedTime".
enum class ResultColumn : int32_t { kName = 0, kPath, kSize, kType, kModified, kCreated };
inline constexpr int32_t kResultColumnCount = 6;
// The control name of a column ("FileName", ...).
std::string_view ResultColumnName(ResultColumn column);
// Whether a click on the column's header sorts (every column but "Path").
bool ResultColumnSorts(ResultColumn column);

// The mark a file's icon carries. A damaged or overwritten file shows its
// state; an intact file put together from pieces that lay apart shows that;
// folders and other intact files carry none.
enum class RowMark : int32_t { kNone = 0, kReassembled, kDamaged, kOverwritten };
RowMark MarkOf(const jobs::FoundItem& row);
// The tip a file put together from pieces adds to its name, from the
// window's section "MainWnd": "TipReassembled" ("Put together from %s
// pieces ..."); "" for every other row or when the key is missing.
std::string MarkTip(const jobs::FoundItem& row, const jobs::ITextSource* texts);

// The rows of the file list, filtered, sorted and cut into pages: the window
// shows one page at a time, so a million rows stay responsive. Rows are
// plain values handed over whole (a folder's children), or a subset of a
// shared result list (a category of the results: no row is copied); sorting
// and filtering reorder and thin an index, never the rows. Not thread-safe.
class CResultTable {
 public:
  static constexpr size_t kDefaultPageSize = 500;

  explicit CResultTable(size_t pageSize = kDefaultPageSize)
      : m_pageSize(pageSize == 0 ? 1 : pageSize), m_all(std::make_shared<const std::vector<jobs::FoundItem>>()) {}

  using SharedRows = std::shared_ptr<const std::vector<jobs::FoundItem>>;

  // Replaces the rows (unsorted, first page); folders come before files.
  void SetRows(std::vector<jobs::FoundItem> rows);
  // The same with the rows of all (shared, never copied) at the positions
  // of subset, in that order; positions past its end are left out.
  void SetRows(SharedRows all, std::vector<uint32_t> subset);
  void Clear() { SetRows({}); }
  // The rows the filter lets through (all of them without a filter).
  size_t RowCount() const { return m_order.size(); }
  // The rows handed over, before the filter.
  size_t AllRowCount() const { return m_subset.size(); }
  // The shared list the rows are taken from (never null).
  const SharedRows& AllRows() const { return m_all; }

  // Shows only the rows filter lets through, in the order of the sort; the
  // first page is shown. Kept across SetRows.
  void SetFilter(const ResultFilter& filter);
  const ResultFilter& Filter() const { return m_filter; }

  // Sorts by column (stable: equal keys keep their order; folders stay
  // first). "Path" does not sort: false and nothing changes.
  bool Sort(ResultColumn column, bool ascending);
  bool Sorted() const { return m_isSorted; }
  ResultColumn SortColumn() const { return m_sortColumn; }
  bool SortAscending() const { return m_ascending; }

  size_t PageSize() const { return m_pageSize; }
  size_t PageCount() const { return m_order.empty() ? 1 : (m_order.size() + m_pageSize - 1) / m_pageSize; }
  // Clamped to the pages there are.
  void SetPage(size_t page);
  size_t Page() const { return m_page; }
  // The rows of the current page.
  size_t PageRowCount() const;
  // Row i of the current page (i < PageRowCount()).
  const jobs::FoundItem& PageRow(size_t i) const { return (*m_all)[m_order[m_page * m_pageSize + i]]; }
  // Row i in sorted order over all pages (i < RowCount()).
  const jobs::FoundItem& Row(size_t i) const { return (*m_all)[m_order[i]]; }
  // The position in AllRows() of row i (i < RowCount()).
  uint32_t RowPosition(size_t i) const { return m_order[i]; }

  // The text a cell shows: name, folder path, size text, type word,
  // file-time texts. Names from disk are escaped for display.
  static std::string CellText(const jobs::FoundItem& row, ResultColumn column);

 private:
  void ApplyFilter();

  size_t m_pageSize;
  SharedRows m_all;                // never null
  std::vector<uint32_t> m_subset;  // positions in *m_all shown, folders first
  std::vector<uint32_t> m_sorted;  // m_subset in the order of the sort
  std::vector<uint32_t> m_order;   // m_sorted as filtered: the rows shown
  ResultFilter m_filter;
  size_t m_page = 0;
  bool m_isSorted = false;
  ResultColumn m_sortColumn = ResultColumn::kName;
  bool m_ascending = true;
};

}  // namespace app
