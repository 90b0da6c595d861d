// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractItemModel>
#include <memory>
#include <string>
#include <vector>

#include "app/thumbnail_queue.h"
#include "jobs/scan_source.h"

namespace gui {

// The folder tree of a scan session: one top-level node per scanned source
// (its label), below it the found folders, listed lazily through
// ListChildren (jobs::ListFolderAt) the first time a node is expanded. Only
// folders are nodes; the file list shows a node's files. A source whose
// results cannot be listed shows no children. Window thread only; lists a
// source only while no job holds it.
class CFolderTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit CFolderTreeModel(QObject* parent = nullptr);
  ~CFolderTreeModel() override;

  // The worker to hold while a folder is listed (may be null).
  void SetThumbnailQueue(app::CThumbnailQueue* queue) { m_thumbnails = queue; }
  // Replaces the tree with the sources that hold an engine.
  void SetSources(const jobs::ScanSourceList& sources);
  void Clear() { SetSources({}); }

  // The source and folder path ("" for the root, "Docs/Archive") of a node.
  std::shared_ptr<jobs::ScanSource> SourceOf(const QModelIndex& index) const;
  std::string PathOf(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

 private:
  struct Node {
    Node* parent = nullptr;
    int row = 0;
    std::shared_ptr<jobs::ScanSource> source;
    std::string name;
    std::string path;  // inside the volume, "" for the source's root
    bool fetched = false;
    std::vector<std::unique_ptr<Node>> children;
  };
  Node* NodeOf(const QModelIndex& index) const;

  Node m_root;
  app::CThumbnailQueue* m_thumbnails = nullptr;
};

}  // namespace gui
