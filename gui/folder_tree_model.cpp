// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/folder_tree_model.h"

#include <mutex>
#include <optional>

#include "gui/dialogs.h"
#include "gui/icons.h"
#include "jobs/display_text.h"
#include "jobs/folder_browser.h"

namespace gui {

CFolderTreeModel::CFolderTreeModel(QObject* parent) : QAbstractItemModel(parent) {
  m_root.fetched = true;
}

CFolderTreeModel::~CFolderTreeModel() = default;

void CFolderTreeModel::SetSources(const jobs::ScanSourceList& sources) {
  beginResetModel();
  m_root.children.clear();
  for (const auto& source : sources) {
    if (!source || !source->engine) continue;
    auto node = std::make_unique<Node>();
    node->parent = &m_root;
    node->row = static_cast<int>(m_root.children.size());
    node->source = source;
    // An image by its file name; a partition by its label ("disk 0 partition 1").
    node->name =
        source->target.isImage ? std::string(jobs::FileNameOfPath(source->target.imagePath)) : source->target.label;
    m_root.children.push_back(std::move(node));
  }
  endResetModel();
}

CFolderTreeModel::Node* CFolderTreeModel::NodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return const_cast<Node*>(&m_root);
  return static_cast<Node*>(index.internalPointer());
}

std::shared_ptr<jobs::ScanSource> CFolderTreeModel::SourceOf(const QModelIndex& index) const {
  const Node* node = NodeOf(index);
  return node == &m_root ? nullptr : node->source;
}

std::string CFolderTreeModel::PathOf(const QModelIndex& index) const {
  return NodeOf(index)->path;
}

QModelIndex CFolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0 || (parent.isValid() && parent.column() != 0)) return {};
  const Node* p = NodeOf(parent);
  if (static_cast<size_t>(row) >= p->children.size()) return {};
  return createIndex(row, 0, p->children[static_cast<size_t>(row)].get());
}

QModelIndex CFolderTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const Node* node = NodeOf(child);
  Node* p = node->parent;
  if (p == nullptr || p == &m_root) return {};
  return createIndex(p->row, 0, p);
}

int CFolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return 0;
  return static_cast<int>(NodeOf(parent)->children.size());
}

int CFolderTreeModel::columnCount(const QModelIndex&) const {
  return 1;
}

QVariant CFolderTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Node* node = NodeOf(index);
  if (role == Qt::DisplayRole) return Q(jobs::EscapeForDisplay(node->name));
  if (role == Qt::DecorationRole) return node->parent == &m_root ? ImageFileIcon() : FolderIcon();
  return {};
}

bool CFolderTreeModel::hasChildren(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return false;
  const Node* node = NodeOf(parent);
  return node->fetched ? !node->children.empty() : true;
}

bool CFolderTreeModel::canFetchMore(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return false;
  return !NodeOf(parent)->fetched;
}

void CFolderTreeModel::fetchMore(const QModelIndex& parent) {
  Node* node = NodeOf(parent);
  if (node->fetched || !node->source) return;
  std::vector<jobs::FoundItem> items;
  {
    std::optional<app::CThumbnailHold> hold;
    if (m_thumbnails != nullptr) hold.emplace(*m_thumbnails);
    std::unique_lock lock(node->source->inUse, std::try_to_lock);
    if (!lock.owns_lock()) return;  // a job uses the source: listed when it is free
    node->fetched = true;
    if (jobs::ListFolderAt(node->source, node->path, &items) != platform::kStatusOk) items.clear();
  }
  std::vector<std::unique_ptr<Node>> folders;
  std::string lastName;
  for (const auto& f : items) {
    if (f.item.isFolder == 0) continue;
    std::string name(f.item.Name());
    // Several found folders of one name are listed together: one node.
    if (!folders.empty() && name == lastName) continue;
    lastName = name;
    auto child = std::make_unique<Node>();
    child->parent = node;
    child->source = node->source;
    child->name = name;
    child->path = node->path.empty() ? name : node->path + "/" + name;
    folders.push_back(std::move(child));
  }
  if (folders.empty()) {
    // Nothing to insert; the node now says it has no children.
    emit dataChanged(parent, parent);
    return;
  }
  beginInsertRows(parent, 0, static_cast<int>(folders.size()) - 1);
  for (auto& child : folders) {
    child->row = static_cast<int>(node->children.size());
    node->children.push_back(std::move(child));
  }
  endInsertRows();
}

}  // namespace gui
