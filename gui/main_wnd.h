// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMainWindow>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "app/language_config.h"
#include "app/main_window_model.h"
#include "app/text_table.h"
#include "jobs/preview_job.h"
#include "platform/device_monitor.h"
#include "storage/disk_list.h"

class QAbstractButton;
class QActionGroup;
class QCheckBox;
class QLabel;
class QMenu;
class QSocketNotifier;
class QStackedWidget;
class QTableView;
class QTextEdit;
class QTimer;
class QTranslator;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace gui {

class CFileListModel;
class CFolderTreeModel;
class CResultsPage;
class CThumbnailModel;
class CThumbnailWorker;
class IDialogs;

// The main window: title "Quellmoor", 1100 x 720 (or the screen when
// smaller) at first, then the size, place and splitters the user left it
// with; three pages ("TabPage"): the mode cards, the disk list with the file
// types and the scan, and the results (CResultsPage). Its state and event
// logic are app::CMainWindowModel; this class shows them and runs the jobs
// in their modal progress windows, which never block the window thread.
// Controls carry their names as Qt object names ("BtnScan", "ChkPhoto",
// ...) and accessible names from the language file. The disk list is
// refreshed on a device change (libudev, through a socket notifier); scan
// results are never touched by it. The window follows the desktop's palette
// and Qt's style. Window thread only.
class CMainWnd final : public QMainWindow {
  Q_OBJECT

 public:
  // texts and languages must outlive the window; dialogs too when given
  // (tests), else the window uses the real dialogs. The window's size,
  // place, splitters and results view are kept in the user's config.ini
  // (languages.UserConfigPath()).
  CMainWnd(app::CTextTable& texts, app::CLanguageConfig& languages, IDialogs* dialogs = nullptr,
           QWidget* parent = nullptr);
  ~CMainWnd() override;

  app::CMainWindowModel& Model() { return m_model; }
  CFileListModel* FileList() const;
  CFolderTreeModel* FolderTree() const;
  CThumbnailModel* Grid() const;
  CResultsPage* Results() const { return m_results; }
  CThumbnailWorker& Thumbnails() { return *m_thumbnails; }
  // Saves the window's size, place and splitters (also done when it closes).
  void SaveSettings();
  // The type tree's node of a name ("NodePhoto"); null when unknown.
  QTreeWidgetItem* TypeNode(std::string_view nodeName) const;
  // Rebuilds the disk list from the disk table (a device change).
  void RefreshDisks();
  // Switches the language (a name of config.ini's "Languages").
  bool SwitchLanguage(const std::string& name);
  // Ends the players and removes the preview's temporary files (at exit).
  void Shutdown();
  // Whether a job window is open (the window does not close then).
  bool IsBusy() const { return m_busy; }

 public slots:
  // A click on the control of this name.
  void OnButton(const QString& name);

 protected:
  // Refused while a job window is open: the job ends first (it can be cancelled).
  void closeEvent(QCloseEvent* event) override;

 private:
  QAbstractButton* MakeButton(const char* name, QWidget* parent);
  QWidget* BuildModePage();
  QWidget* BuildDiskPage();
  void BuildMenu();
  void RestoreSettings();
  void Retranslate();
  void Apply(const app::WindowReaction& reaction);
  void ShowPage();
  void RebuildDiskList();
  void UpdateRightsNote();
  // The disk page's one action: "Scan", or "Show the results" (and "Scan again") for the drive that has them.
  void UpdateDiskAction();
  void RunScan();
  void RunSearch();
  void RunRecovery();
  void RunImage();
  void LoadImage();
  void Preview(const jobs::FoundItem& item);
  void ShowProduct(const jobs::PreviewProduct& product);
  void ShowNotes(const std::vector<std::pair<jobs::MessageKind, std::string>>& notes);
  void WatchDevices();
  void UpdateQtTranslation();
  QString Text(std::string_view key) const;
  QString Msg(std::string_view key) const;

  app::CTextTable& m_texts;
  app::CLanguageConfig& m_languages;
  std::unique_ptr<IDialogs> m_ownDialogs;
  IDialogs* m_dialogs;
  app::CMainWindowModel m_model;
  storage::CDiskList m_diskList;
  jobs::CPreviewSession m_preview;
  QStackedWidget* m_pages = nullptr;
  QTreeWidget* m_disks = nullptr;
  QLabel* m_rightsNote = nullptr;
  std::map<jobs::FileCategory, QCheckBox*> m_typeChecks;
  std::unique_ptr<CThumbnailWorker> m_thumbnails;
  CResultsPage* m_results = nullptr;
  QMenu* m_languageMenu = nullptr;
  std::unique_ptr<QTranslator> m_qtTranslator;
  QString m_qtLanguage;
  QActionGroup* m_languageGroup = nullptr;
  platform::CDeviceMonitor m_monitor;
  QSocketNotifier* m_deviceNotifier = nullptr;
  QTimer* m_refreshTimer = nullptr;
  bool m_busy = false;  // a job window is open: selections do not start another job
  bool m_shutDown = false;
};

}  // namespace gui
