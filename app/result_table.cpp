// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/result_table.h"

#include <algorithm>
#include <numeric>
#include <string_view>

#include "engine/categories.h"
#include "jobs/display_text.h"

namespace app {
namespace {

// Names compared as a person reads a list: ASCII letters without case, then
// byte order (UTF-8 keeps code-point order).
int CompareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string TypeText(const engine::ItemRecord& item) {
  if (item.isFolder != 0) return "Folder";
  std::string ext(engine::ExtensionOf(item.Name()));
  for (char& c : ext) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return ext;
}

}  // namespace

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
  // Folders first, files after, each in the order given.
  std::stable_partition(rows.begin(), rows.end(), [](const jobs::FoundItem& f) { return f.item.isFolder != 0; });
  m_rows = std::move(rows);
  m_order.resize(m_rows.size());
  std::iota(m_order.begin(), m_order.end(), 0u);
  m_page = 0;
  m_sorted = false;
}

bool CResultTable::Sort(ResultColumn column, bool ascending) {
  if (!ResultColumnSorts(column)) return false;
  const size_t n = m_rows.size();
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  // Keys are taken once: the records' fields are packed and not aligned.
  std::vector<uint8_t> folder(n);
  for (size_t i = 0; i < n; ++i) folder[i] = m_rows[i].item.isFolder != 0 ? 0 : 1;
  auto sortBy = [&](const auto& less) {
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      if (folder[a] != folder[b]) return folder[a] < folder[b];
      return ascending ? less(a, b) : less(b, a);
    });
  };
  switch (column) {
    case ResultColumn::kName: {
      std::vector<std::string_view> names(n);
      for (size_t i = 0; i < n; ++i) names[i] = m_rows[i].item.Name();
      sortBy([&](uint32_t a, uint32_t b) { return CompareNames(names[a], names[b]) < 0; });
      break;
    }
    case ResultColumn::kType: {
      std::vector<std::string> types(n);
      for (size_t i = 0; i < n; ++i) types[i] = TypeText(m_rows[i].item);
      sortBy([&](uint32_t a, uint32_t b) { return types[a] < types[b]; });
      break;
    }
    case ResultColumn::kSize:
    case ResultColumn::kModified:
    case ResultColumn::kCreated: {
      std::vector<uint64_t> keys(n);
      for (size_t i = 0; i < n; ++i) {
        const engine::ItemRecord& r = m_rows[i].item;
        keys[i] = column == ResultColumn::kSize       ? uint64_t{r.size}
                  : column == ResultColumn::kModified ? uint64_t{r.modified}
                                                      : uint64_t{r.created};
      }
      sortBy([&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
      break;
    }
    case ResultColumn::kPath: return false;
  }
  m_order = std::move(order);
  m_sorted = true;
  m_sortColumn = column;
  m_ascending = ascending;
  return true;
}

void CResultTable::SetPage(size_t page) {
  m_page = std::min(page, PageCount() - 1);
}

size_t CResultTable::PageRowCount() const {
  const size_t first = m_page * m_pageSize;
  if (first >= m_rows.size()) return 0;
  return std::min(m_pageSize, m_rows.size() - first);
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
