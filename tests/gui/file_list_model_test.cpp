// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/file_list_model.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QIcon>
#include <cstring>
#include <set>

#include "app/main_window_model.h"
#include "gui/icons.h"

namespace gui {
namespace {

jobs::FoundItem Row(int32_t id, const std::string& name, uint64_t size, bool intact = true) {
  jobs::FoundItem f;
  std::strncpy(f.item.name, name.c_str(), sizeof f.item.name - 1);
  f.item.id = id;
  f.item.size = size;
  f.item.isIntact = intact ? 1 : 0;
  f.item.driveLetter = 'C';
  return f;
}

TEST(FileListModel, PagesSortsChecksAndMarksDamagedFiles) {
  std::set<uint64_t> checked;
  CFileListModel model([&](const engine::ItemRecord& r) { return checked.count(app::CheckedKey(r)) != 0; },
                       [&](const jobs::FoundItem& f, bool on) {
                         if (on) {
                           checked.insert(app::CheckedKey(f.item));
                         } else {
                           checked.erase(app::CheckedKey(f.item));
                         }
                       });
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  std::vector<jobs::FoundItem> rows;
  for (int i = 0; i < 1200; ++i) rows.push_back(Row(i + 1, "f" + std::to_string(i) + ".jpg", 1200 - i, i != 7));
  model.SetRows(rows);
  EXPECT_EQ(model.columnCount(), 6);
  EXPECT_EQ(model.rowCount(), 500);
  EXPECT_EQ(model.Table().PageCount(), 3u);
  model.SetPage(2);
  EXPECT_EQ(model.rowCount(), 200);
  model.SetPage(9);  // clamped
  EXPECT_EQ(model.Table().Page(), 2u);
  model.SetPage(0);

  // The damaged file has the damaged icon; the others their category's.
  const QIcon damaged = model.data(model.index(7, 0), Qt::DecorationRole).value<QIcon>();
  const QIcon intact = model.data(model.index(6, 0), Qt::DecorationRole).value<QIcon>();
  EXPECT_EQ(damaged.cacheKey(), DamagedIcon(jobs::FileCategory::kPhoto).cacheKey());
  EXPECT_EQ(intact.cacheKey(), CategoryIcon(jobs::FileCategory::kPhoto).cacheKey());

  // Checking goes to the checked-item set and back.
  EXPECT_EQ(model.data(model.index(3, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_TRUE(model.setData(model.index(3, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(checked.size(), 1u);
  EXPECT_EQ(model.data(model.index(3, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_FALSE(model.setData(model.index(3, 2), Qt::Checked, Qt::CheckStateRole));  // only the name is checkable
  EXPECT_TRUE(model.flags(model.index(3, 0)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(model.flags(model.index(3, 2)) & Qt::ItemIsUserCheckable);

  // Sorting by size ascending puts the smallest first, across the pages.
  model.sort(2, Qt::AscendingOrder);
  EXPECT_EQ(model.RowAt(model.index(0, 0))->item.Name(), "f1199.jpg");
  model.SetPage(2);
  EXPECT_EQ(model.RowAt(model.index(199, 0))->item.Name(), "f0.jpg");
  // The check stays with its item, wherever it went.
  model.sort(0, Qt::AscendingOrder);
  int checkedRows = 0;
  for (size_t page = 0; page < model.Table().PageCount(); ++page) {
    model.SetPage(page);
    for (int r = 0; r < model.rowCount(); ++r) {
      if (model.data(model.index(r, 0), Qt::CheckStateRole).toInt() == Qt::Checked) ++checkedRows;
    }
  }
  EXPECT_EQ(checkedRows, 1);
  // A file put together from pieces wears its own mark and says so in its tip.
  jobs::FoundItem pieces = Row(1, "p.png", 3);
  pieces.reassembledPieces = 4;
  model.SetRows({pieces});
  EXPECT_EQ(model.data(model.index(0, 0), Qt::DecorationRole).value<QIcon>().cacheKey(),
            ReassembledIcon(jobs::FileCategory::kPhoto).cacheKey());
  EXPECT_TRUE(model.data(model.index(0, 0), Qt::ToolTipRole).toString().startsWith(QStringLiteral("p.png")));

  // A new set of rows keeps the sort the header shows.
  model.SetRows({Row(1, "b.jpg", 1), Row(2, "a.jpg", 2)});
  EXPECT_EQ(model.RowAt(model.index(0, 0))->item.Name(), "a.jpg");
  EXPECT_EQ(model.data(model.index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("/"));
  model.Clear();
  EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
}  // namespace gui
