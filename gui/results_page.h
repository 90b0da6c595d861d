// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <functional>
#include <string_view>

#include "app/main_window_model.h"
#include "app/window_settings.h"
#include "gui/filter_bar.h"
#include "jobs/text_source.h"

class QLabel;
class QListView;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTableView;
class QTextEdit;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace gui {

class CFileListModel;
class CFolderTreeModel;
class CThumbnailModel;
class CThumbnailWorker;

// The results page: the type tree ("TypeTree") and the folder tree
// ("FolderTree") on the left; the filter bar, the file list ("FileList",
// paged, its name elided in the middle so the extension stays) or the
// thumbnail grid ("ThumbnailGrid", photos by date) in the middle; the
// preview pane ("PreviewEdit") on the right; the status line ("LblStatus":
// found, shown, checked and their size, the drive) and "BtnRecover" below.
// What is found and checked lives in app::CMainWindowModel; the page shows
// it. Window thread only.
class CResultsPage final : public QWidget {
  Q_OBJECT

 public:
  // model, texts and thumbnails must outlive the page; busy says whether a
  // job window is open (a selection then starts no preview).
  CResultsPage(app::CMainWindowModel& model, const jobs::ITextSource* texts, CThumbnailWorker& thumbnails,
               std::function<bool()> busy, QWidget* parent = nullptr);
  ~CResultsPage() override;

  void Retranslate();
  // Empties every view before a new scan (they hold the old session's items).
  void ClearViews();
  // Shows the results of a new search: nothing filtered or checked, the
  // first kind with files.
  void FillResults();
  // The status line again (checks changed).
  void UpdateStatus();

  // The status line and "BtnRecover", for the window's bottom row.
  QWidget* BottomBar() const { return m_bottomBar; }
  CFileListModel* FileList() const { return m_fileModel; }
  CFolderTreeModel* FolderTree() const { return m_folderModel; }
  CThumbnailModel* Grid() const { return m_gridModel; }
  QTextEdit* PreviewPane() const { return m_previewPane; }
  // The type tree's node of a name ("NodePhoto"); null when unknown.
  QTreeWidgetItem* TypeNode(std::string_view nodeName) const;
  CFilterBar::View View() const { return m_filterBar->CurrentView(); }
  void SetView(CFilterBar::View view);

  // The splitters' sizes, by name, to remember and restore.
  void SaveSplitters(app::WindowSettings* settings) const;
  void RestoreSplitters(const app::WindowSettings& settings);

 signals:
  // A file or folder was selected: show its preview.
  void PreviewWanted(const jobs::FoundItem& item);
  // A click on a named button of the page ("BtnRecover").
  void ButtonClicked(const QString& name);

 protected:
  // Resizes of the list's and the grid's viewports (the window, a splitter).
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The first time: the splitters get their default sizes for the page's width.
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* BuildList(QWidget* parent);
  void ShowCategory(jobs::FileCategory category);
  void ShowFolder(const QModelIndex& index);
  void OnFilterChanged(const app::ResultFilter& filter);
  void OnViewChanged(CFilterBar::View view);
  void UpdatePager();
  void FitColumns();
  void RequestVisibleThumbnails();
  void ClearPreview();
  QString Text(std::string_view key) const;

  app::CMainWindowModel& m_model;
  const jobs::ITextSource* m_texts;
  CThumbnailWorker& m_thumbnails;
  std::function<bool()> m_busy;
  QSplitter* m_split = nullptr;
  QSplitter* m_side = nullptr;
  QTreeWidget* m_typeTree = nullptr;
  QTreeView* m_folderView = nullptr;
  CFilterBar* m_filterBar = nullptr;
  QStackedWidget* m_views = nullptr;
  QTableView* m_fileView = nullptr;
  QListView* m_gridView = nullptr;
  QLabel* m_pageLabel = nullptr;
  QTextEdit* m_previewPane = nullptr;
  QLabel* m_status = nullptr;
  QWidget* m_bottomBar = nullptr;
  QPushButton* m_recover = nullptr;
  bool m_splittersSet = false;
  CFileListModel* m_fileModel = nullptr;
  CFolderTreeModel* m_folderModel = nullptr;
  CThumbnailModel* m_gridModel = nullptr;
  bool m_fitting = false;
};

}  // namespace gui
