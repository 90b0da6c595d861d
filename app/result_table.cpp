// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/result_table.h"

#include <algorithm>
#include <numeric>
#include <string_view>

#include "engine/categories.h"
#include "jobs/display_text.h"
#include "jobs/text_format.h"

namespace app {
namespace {

std::string TypeText(const engine::ItemRecord& item) {
  if (item.isFolder != 0) return "Folder";
  std::string ext(engine::ExtensionOf(item.Name()));
  for (char& c : ext) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return ext;
}

}  // namespace

RowMark MarkOf(const jobs::FoundItem& row) {
  if (row.item.isFolder != 0) return RowMark::kNone;
  switch (engine::StateOf(row.item)) {
    case engine::ItemState::kIntact: break;
    case engine::ItemState::kDamaged: return RowMark::kDamaged;
    case engine::ItemState::kOverwritten: return RowMark::kOverwritten;
  }
  return row.reassembledPieces != 0 ? RowMark::kReassembled : RowMark::kNone;
}

std::string MarkTip(const jobs::FoundItem& row, const jobs::ITextSource* texts) {
  if (row.item.isFolder != 0 || row.reassembledPieces == 0 || texts == nullptr) return {};
  return jobs::FormatText(texts->Text("MainWnd", "TipReassembled"), {std::to_string(row.reassembledPieces)});
}

std::string_view ResultColumnName(ResultColumn column) {
  switch (column) {
    case ResultColumn::kName: return "FileName";
    case ResultColumn::kPath: return "Path";
    case ResultColumn::kSize: return "Size";
    case ResultColumn::kType: return "Type";
    case ResultColumn::kModified: return "ModifiedTime";
    case ResultColumn::kCreated: return "CreatedTime";
  }
  return {};
}

bool ResultColumnSorts(ResultColumn column) {
  return column != ResultColumn::kPath;
}

void CResultTable::SetRows(std::vector<jobs::FoundItem> rows) {
  std::vector<uint32_t> all(rows.size());
  std::iota(all.begin(), all.end(), 0u);
  SetRows(std::make_shared<const std::vector<jobs::FoundItem>>(std::move(rows)), std::move(all));
}

void CResultTable::SetRows(SharedRows all, std::vector<uint32_t> subset) {
  if (!all) all = std::make_shared<const std::vector<jobs::FoundItem>>();
  const size_t n = all->size();
  subset.erase(std::remove_if(subset.begin(), subset.end(), [n](uint32_t i) { return i >= n; }), subset.end());
  // Folders first, files after, each in the order given.
  std::stable_partition(subset.begin(), subset.end(), [&all](uint32_t i) { return (*all)[i].item.isFolder != 0; });
  m_all = std::move(all);
  m_subset = std::move(subset);
  m_sorted = m_subset;
  m_page = 0;
  m_isSorted = false;
  ApplyFilter();
}

void CResultTable::SetFilter(const ResultFilter& filter) {
  m_filter = filter;
  m_page = 0;
  ApplyFilter();
}

void CResultTable::ApplyFilter() {
  if (!m_filter.Active()) {
    m_order = m_sorted;
    return;
  }
  m_order.clear();
  const std::string folded = m_filter.FoldedName();
  for (uint32_t i : m_sorted) {
    if (m_filter.Matches((*m_all)[i].item, folded)) m_order.push_back(i);
  }
}

bool CResultTable::Sort(ResultColumn column, bool ascending) {
  if (!ResultColumnSorts(column)) return false;
  const size_t n = m_subset.size();
  // One contiguous entry per row: folders first, then the key, then the row's
  // place (so equal keys keep their order either way). Text keys compare by
  // their first 8 lower-cased bytes before the whole text is looked at.
  struct Entry {
    uint8_t rank;  // 0 folder, 1 file
    uint64_t key;
    uint32_t row;  // position in m_subset
  };
  std::vector<Entry> entries(n);
  std::vector<std::string> texts;
  const bool textKey = column == ResultColumn::kName || column == ResultColumn::kType;
  if (textKey) texts.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const engine::ItemRecord& r = (*m_all)[m_subset[i]].item;
    Entry& e = entries[i];
    e.rank = r.isFolder != 0 ? 0 : 1;
    e.row = static_cast<uint32_t>(i);
    switch (column) {
      case ResultColumn::kName:
      case ResultColumn::kType: {
        std::string text = column == ResultColumn::kName ? std::string(r.Name()) : TypeText(r);
        for (char& c : text) {
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        }
        uint64_t prefix = 0;
        for (size_t b = 0; b < 8; ++b) {
          prefix = (prefix << 8) | (b < text.size() ? static_cast<unsigned char>(text[b]) : 0u);
        }
        e.key = prefix;
        texts[i] = std::move(text);
        break;
      }
      case ResultColumn::kSize: e.key = r.size; break;
      case ResultColumn::kModified: e.key = r.modified; break;
      case ResultColumn::kCreated: e.key = r.created; break;
      case ResultColumn::kPath: return false;
    }
  }
  std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.key != b.key) return ascending ? a.key < b.key : b.key < a.key;
    if (textKey) {
      const int c = texts[a.row].compare(texts[b.row]);
      if (c != 0) return ascending ? c < 0 : c > 0;
    }
    return a.row < b.row;
  });
  for (size_t i = 0; i < n; ++i) m_sorted[i] = m_subset[entries[i].row];
  m_isSorted = true;
  ApplyFilter();
  m_sortColumn = column;
  m_ascending = ascending;
  return true;
}

void CResultTable::SetPage(size_t page) {
  m_page = std::min(page, PageCount() - 1);
}

size_t CResultTable::PageRowCount() const {
  const size_t first = m_page * m_pageSize;
  if (first >= m_order.size()) return 0;
  return std::min(m_pageSize, m_order.size() - first);
}

std::string CResultTable::CellText(const jobs::FoundItem& row, ResultColumn column) {
  const engine::ItemRecord& r = row.item;
  switch (column) {
    case ResultColumn::kName: return jobs::EscapeForDisplay(r.Name());
    case ResultColumn::kPath: return jobs::EscapeForDisplay("/" + row.folderPath);
    case ResultColumn::kSize: return r.isFolder != 0 ? std::string() : jobs::SizeText(r.size);
    case ResultColumn::kType: return TypeText(r);
    case ResultColumn::kModified: return r.modified == 0 ? std::string() : jobs::FileTimeText(r.modified);
    case ResultColumn::kCreated: return r.created == 0 ? std::string() : jobs::FileTimeText(r.created);
  }
  return {};
}

}  // namespace app
