// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractListModel>
#include <unordered_map>
#include <vector>

#include "jobs/scan_source.h"

namespace gui {

class CFileListModel;
class CThumbnailWorker;

// The thumbnail grid: every row of the file list's table (all pages, in
// its filter and order) as one cell with the file's thumbnail (or its
// kind's icon until one is made, or when none can be), its name and its
// check box. It follows the file list: a reset there is a reset here, and
// a tick in either shows in both. Window thread only.
class CThumbnailModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // list and worker must outlive the model.
  CThumbnailModel(CFileListModel& list, CThumbnailWorker& worker, QObject* parent = nullptr);

  // The found items of rows first..last (clamped), for the worker.
  std::vector<jobs::FoundItem> ItemsOfRows(int first, int last) const;
  const jobs::FoundItem* RowAt(const QModelIndex& index) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  void Rebuild();
  void OnReady(quint64 key);

  CFileListModel& m_list;
  CThumbnailWorker& m_worker;
  std::unordered_map<uint64_t, int> m_rowOfKey;
};

}  // namespace gui
