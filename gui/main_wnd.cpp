// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/main_wnd.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/preview_config.h"
#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_model.h"
#include "gui/icons.h"
#include "gui/job_process_wnd.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/folder_browser.h"
#include "jobs/image_job.h"
#include "jobs/message_keys.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "jobs/text_format.h"
#include "platform/error.h"

namespace gui {
namespace {

constexpr int kRowRole = Qt::UserRole + 1;
constexpr int kNodeNameRole = Qt::UserRole + 2;
constexpr int kCategoryRole = Qt::UserRole + 3;

// A fallback for a window text the language file does not have.
QString Or(const QString& text, const char* fallback) {
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

}  // namespace

CMainWnd::CMainWnd(app::CTextTable& texts, app::CLanguageConfig& languages, IDialogs* dialogs, QWidget* parent)
    : QMainWindow(parent),
      m_texts(texts),
      m_languages(languages),
      m_ownDialogs(dialogs == nullptr ? std::make_unique<CQtDialogs>(&texts) : nullptr),
      m_dialogs(dialogs != nullptr ? dialogs : m_ownDialogs.get()),
      m_model(&texts),
      m_preview(app::LoadPreviewTools()) {
  setObjectName(QStringLiteral("MainWnd"));
  setWindowTitle(QStringLiteral("Quellmoor"));
  setWindowIcon(AppIcon());
  resize(800, 500);
  setMinimumSize(640, 420);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(10, 8, 10, 8);
  auto* header = new QHBoxLayout;
  auto* product = new QLabel(central);
  product->setObjectName(QStringLiteral("LblProductName"));
  header->addWidget(product);
  header->addStretch(1);
  layout->addLayout(header);

  m_pages = new QStackedWidget(central);
  m_pages->setObjectName(QStringLiteral("TabPage"));
  m_pages->addWidget(BuildModePage());
  m_pages->addWidget(BuildDiskPage());
  m_pages->addWidget(BuildResultsPage());
  layout->addWidget(m_pages, 1);

  auto* nav = new QHBoxLayout;
  nav->addStretch(1);
  nav->addWidget(MakeButton("BtnPrev", central));
  nav->addWidget(MakeButton("BtnNext", central));
  // Back and next from anywhere in the window, as in a browser.
  auto* back = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Left), this);
  connect(back, &QShortcut::activated, this, [this] { OnButton(QStringLiteral("BtnPrev")); });
  auto* forward = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Right), this);
  connect(forward, &QShortcut::activated, this, [this] {
    if (m_model.Page() == app::WizardPage::kDisk && !m_model.CreateImageMode()) OnButton(QStringLiteral("BtnNext"));
  });
  layout->addLayout(nav);
  setCentralWidget(central);

  BuildMenu();
  Retranslate();
  RefreshDisks();
  WatchDevices();
  ShowPage();

  // Centred on the screen.
  if (QScreen* screen = QApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

CMainWnd::~CMainWnd() {
  Shutdown();
}

void CMainWnd::closeEvent(QCloseEvent* event) {
  if (m_busy) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void CMainWnd::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  m_monitor.Stop();
  // Views and the session hold the sources; the preview's players and files go.
  m_fileModel->Clear();
  m_folderModel->Clear();
  m_preview.Shutdown();
}

QString CMainWnd::Text(std::string_view key) const {
  return Q(m_texts.Text("MainWnd", key));
}

QString CMainWnd::Msg(std::string_view key) const {
  return Q(jobs::MessageText(&m_texts, key));
}

QAbstractButton* CMainWnd::MakeButton(const char* name, QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(true);
  const QString controlName = QString::fromLatin1(name);
  connect(button, &QPushButton::clicked, this, [this, controlName] { OnButton(controlName); });
  return button;
}

QWidget* CMainWnd::BuildModePage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("PageMode"));
  auto* layout = new QVBoxLayout(page);
  auto* info = new QLabel(page);
  info->setObjectName(QStringLiteral("TxtMainInfo"));
  layout->addWidget(info);
  auto* grid = new QGridLayout;
  const char* modes[] = {"BtnDeletedRecovery", "BtnFormattedRecovery", "BtnDeepRecovery", "BtnCreateImageMode"};
  int i = 0;
  for (const char* name : modes) {
    QAbstractButton* b = MakeButton(name, page);
    b->setProperty("modeButton", true);
    b->setMinimumHeight(64);
    grid->addWidget(b, i / 2, i % 2);
    ++i;
  }
  layout->addLayout(grid);
  auto* start = new QHBoxLayout;
  start->addStretch(1);
  start->addWidget(MakeButton("BtnStart", page));
  layout->addLayout(start);
  layout->addStretch(1);
  return page;
}

QWidget* CMainWnd::BuildDiskPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("PageDisk"));
  auto* layout = new QHBoxLayout(page);
  auto* left = new QVBoxLayout;
  m_disks = new QTreeWidget(page);
  m_disks->setObjectName(QStringLiteral("DiskList"));
  m_disks->setHeaderHidden(true);
  m_disks->setColumnCount(2);
  m_disks->setIconSize(QSize(20, 20));
  m_disks->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  connect(m_disks, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { m_model.SelectRow(item != nullptr ? item->data(0, kRowRole).toInt() : -1); });
  left->addWidget(m_disks, 1);
  m_rightsNote = new QLabel(page);
  m_rightsNote->setObjectName(QStringLiteral("LblRights"));
  m_rightsNote->setWordWrap(true);
  m_rightsNote->setTextFormat(Qt::PlainText);
  left->addWidget(m_rightsNote);
  // Imaging a failing card: read past what cannot be read, as the command line's --keep-going.
  auto* keepGoing = new QCheckBox(page);
  keepGoing->setObjectName(QStringLiteral("ChkKeepGoing"));
  connect(keepGoing, &QCheckBox::toggled, this, [this](bool on) { m_model.SetKeepGoing(on); });
  left->addWidget(keepGoing);
  auto* diskButtons = new QHBoxLayout;
  diskButtons->addWidget(MakeButton("BtnLoadImage", page));
  diskButtons->addStretch(1);
  diskButtons->addWidget(MakeButton("BtnAdvanceScan", page));
  diskButtons->addWidget(MakeButton("BtnCreateImage", page));
  diskButtons->addWidget(MakeButton("BtnScan", page));
  left->addLayout(diskButtons);
  layout->addLayout(left, 3);

  auto* types = new QGroupBox(page);
  types->setObjectName(QStringLiteral("GrpTypes"));
  auto* typeLayout = new QVBoxLayout(types);
  for (const app::TypeNode& node : app::TypeNodes()) {
    auto* check = new QCheckBox(types);
    check->setObjectName(Q(std::string(node.checkName)));
    check->setIcon(CategoryIcon(node.category));
    const jobs::FileCategory category = node.category;
    connect(check, &QCheckBox::toggled, this, [this, category](bool on) { m_model.SetTypeChecked(category, on); });
    typeLayout->addWidget(check);
    m_typeChecks[node.category] = check;
  }
  typeLayout->addStretch(1);
  layout->addWidget(types, 1);
  return page;
}

QWidget* CMainWnd::BuildResultsPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("PageResults"));
  auto* layout = new QVBoxLayout(page);
  auto* split = new QSplitter(Qt::Horizontal, page);

  auto* left = new QSplitter(Qt::Vertical, split);
  m_typeTree = new QTreeWidget(left);
  m_typeTree->setObjectName(QStringLiteral("TypeTree"));
  m_typeTree->setHeaderHidden(true);
  m_typeTree->setRootIsDecorated(false);
  for (const app::TypeNode& node : app::TypeNodes()) {
    auto* item = new QTreeWidgetItem(m_typeTree);
    item->setData(0, kNodeNameRole, Q(std::string(node.nodeName)));
    item->setData(0, kCategoryRole, static_cast<int>(node.category));
    item->setIcon(0, CategoryIcon(node.category));
    // The node's box checks every file of its type.
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
  }
  connect(m_typeTree, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (column != 0) return;
    const auto category = static_cast<jobs::FileCategory>(item->data(0, kCategoryRole).toInt());
    m_model.SetCategoryChecked(category, item->checkState(0) == Qt::Checked);
    m_fileModel->RefreshChecks();
  });
  connect(m_typeTree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (item != nullptr) ShowCategory(static_cast<jobs::FileCategory>(item->data(0, kCategoryRole).toInt()));
  });
  m_folderModel = new CFolderTreeModel(this);
  m_folderView = new QTreeView(left);
  m_folderView->setObjectName(QStringLiteral("FolderTree"));
  m_folderView->setHeaderHidden(true);
  m_folderView->setModel(m_folderModel);
  connect(m_folderView->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& index) { ShowFolder(index); });

  auto* middle = new QWidget(split);
  auto* middleLayout = new QVBoxLayout(middle);
  middleLayout->setContentsMargins(0, 0, 0, 0);
  m_fileModel = new CFileListModel([this](const engine::ItemRecord& r) { return m_model.IsChecked(r); },
                                   [this](const jobs::FoundItem& f, bool on) { m_model.SetChecked(f, on); }, this);
  m_fileView = new QTableView(middle);
  m_fileView->setObjectName(QStringLiteral("FileList"));
  m_fileView->setModel(m_fileModel);
  m_fileView->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_fileView->setSelectionMode(QAbstractItemView::SingleSelection);
  m_fileView->setSortingEnabled(true);
  m_fileView->horizontalHeader()->setSortIndicatorShown(true);
  m_fileView->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  // "Path" does not sort: its header keeps the mark where the sort is.
  connect(m_fileView->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this, [this](int column, Qt::SortOrder) {
    if (column < 0 || app::ResultColumnSorts(static_cast<app::ResultColumn>(column))) return;
    const app::CResultTable& t = m_fileModel->Table();
    QSignalBlocker block(m_fileView->horizontalHeader());
    m_fileView->horizontalHeader()->setSortIndicator(t.Sorted() ? static_cast<int>(t.SortColumn()) : -1,
                                                     t.SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
  });
  m_fileView->horizontalHeader()->setStretchLastSection(true);
  m_fileView->verticalHeader()->hide();
  m_fileView->setWordWrap(false);
  m_fileView->setTabKeyNavigation(false);
  connect(m_fileView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& index) {
            if (const jobs::FoundItem* row = m_fileModel->RowAt(index); row != nullptr && !m_busy) {
              const jobs::FoundItem item = *row;
              Preview(item);
            }
          });
  connect(m_fileModel, &CFileListModel::PageChanged, this, &CMainWnd::UpdatePager);
  middleLayout->addWidget(m_fileView, 1);
  auto* pager = new QHBoxLayout;
  pager->addStretch(1);
  auto* prevPage = new QPushButton(QStringLiteral("\u25C0"), middle);
  prevPage->setObjectName(QStringLiteral("BtnPagePrev"));
  auto* nextPage = new QPushButton(QStringLiteral("\u25B6"), middle);
  nextPage->setObjectName(QStringLiteral("BtnPageNext"));
  m_pageLabel = new QLabel(middle);
  m_pageLabel->setObjectName(QStringLiteral("LblPage"));
  connect(prevPage, &QPushButton::clicked, this, [this] {
    if (m_fileModel->Table().Page() > 0) m_fileModel->SetPage(m_fileModel->Table().Page() - 1);
  });
  connect(nextPage, &QPushButton::clicked, this, [this] { m_fileModel->SetPage(m_fileModel->Table().Page() + 1); });
  pager->addWidget(prevPage);
  pager->addWidget(m_pageLabel);
  pager->addWidget(nextPage);
  middleLayout->addLayout(pager);

  m_previewPane = new QTextEdit(split);
  m_previewPane->setObjectName(QStringLiteral("PreviewEdit"));
  m_previewPane->setReadOnly(true);
  m_previewPane->setLineWrapMode(QTextEdit::WidgetWidth);

  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 3);
  split->setStretchFactor(2, 2);
  split->setSizes({170, 370, 240});
  m_fileView->setColumnWidth(0, 170);
  m_fileView->setColumnWidth(1, 90);
  m_fileView->setColumnWidth(2, 80);
  m_fileView->setColumnWidth(3, 50);
  layout->addWidget(split, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(MakeButton("BtnRecover", page));
  layout->addLayout(bottom);
  return page;
}

void CMainWnd::BuildMenu() {
  m_languageMenu = menuBar()->addMenu(QString());
  m_languageMenu->setObjectName(QStringLiteral("MenuLanguage"));
  m_languageGroup = new QActionGroup(this);
  m_languageGroup->setExclusive(true);
  for (const app::LanguageChoice& choice : m_languages.Languages()) {
    QAction* action = m_languageMenu->addAction(Q(choice.display));
    action->setObjectName(Q("Lang" + choice.name));
    action->setCheckable(true);
    action->setChecked(choice.name == m_languages.CurrentLanguage());
    m_languageGroup->addAction(action);
    const std::string name = choice.name;
    connect(action, &QAction::triggered, this, [this, name] { SwitchLanguage(name); });
  }
}

bool CMainWnd::SwitchLanguage(const std::string& name) {
  const platform::Status s = m_languages.SetLanguage(name, m_texts);
  if (s != platform::kStatusOk) {
    m_dialogs->MessageBox(this, jobs::MessageKind::kError, Q(jobs::ErrorText(&m_texts, s)));
    return false;
  }
  for (QAction* action : m_languageGroup->actions()) {
    action->setChecked(action->objectName() == Q("Lang" + name));
  }
  Retranslate();
  RebuildDiskList();  // the disk rows carry texts of the language
  return true;
}

void CMainWnd::Retranslate() {
  // Every key of the window's section names a control.
  for (const auto& [key, text] : m_texts.Section("MainWnd")) {
    QWidget* w = findChild<QWidget*>(Q(key));
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      button->setText(Q(text));
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      label->setText(Q(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      group->setTitle(Q(text));
    }
  }
  m_languageMenu->setTitle(Or(Text("MenuLanguage"), "&Language"));
  m_fileModel->SetHeaderTexts(&m_texts);
  QSignalBlocker block(m_typeTree);  // a new label is no change of the node's box
  for (int i = 0; i < m_typeTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_typeTree->topLevelItem(i);
    const auto category = static_cast<jobs::FileCategory>(item->data(0, kCategoryRole).toInt());
    const std::string nodeName = item->data(0, kNodeNameRole).toString().toStdString();
    item->setText(0, Q(app::TypeNodeLabel(m_texts.Text("MainWnd", nodeName), m_model.CountOf(category))));
  }
  UpdateRightsNote();
  UpdatePager();
}

QTreeWidgetItem* CMainWnd::TypeNode(std::string_view nodeName) const {
  for (int i = 0; i < m_typeTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_typeTree->topLevelItem(i);
    if (item->data(0, kNodeNameRole).toString() == Q(std::string(nodeName))) return item;
  }
  return nullptr;
}

void CMainWnd::OnButton(const QString& name) {
  if (m_busy) return;
  Apply(m_model.OnButton(name.toStdString()));
}

void CMainWnd::Apply(const app::WindowReaction& reaction) {
  switch (reaction.action) {
    case app::WindowAction::kNone: return;
    case app::WindowAction::kShowPage: ShowPage(); return;
    case app::WindowAction::kMessage:
      m_dialogs->MessageBox(this, static_cast<jobs::MessageKind>(reaction.messageKind), Q(reaction.message));
      return;
    case app::WindowAction::kStartScan: RunScan(); return;
    case app::WindowAction::kStartSearch: RunSearch(); return;
    case app::WindowAction::kStartRecovery: RunRecovery(); return;
    case app::WindowAction::kChooseImageFile: LoadImage(); return;
    case app::WindowAction::kStartImage: RunImage(); return;
  }
}

void CMainWnd::ShowPage() {
  const int page = static_cast<int>(m_model.Page());
  m_pages->setCurrentIndex(page);
  m_pages->setProperty("page", page);
  const bool imageMode = m_model.CreateImageMode();
  findChild<QWidget*>(QStringLiteral("BtnPrev"))->setEnabled(page > 0);
  findChild<QWidget*>(QStringLiteral("BtnNext"))->setVisible(page == 1 && !imageMode);
  findChild<QWidget*>(QStringLiteral("BtnScan"))->setVisible(!imageMode);
  findChild<QWidget*>(QStringLiteral("BtnCreateImage"))->setVisible(imageMode);
  findChild<QWidget*>(QStringLiteral("BtnAdvanceScan"))->setVisible(false);  // no action of its own
  findChild<QWidget*>(QStringLiteral("GrpTypes"))->setVisible(!imageMode);
  findChild<QWidget*>(QStringLiteral("ChkKeepGoing"))->setVisible(imageMode);
  if (page == 1) m_disks->setFocus();
  if (page == 2) m_typeTree->setFocus();
}

void CMainWnd::RefreshDisks() {
  m_diskList.Refresh();
  m_model.SetDisks(m_diskList.Disks(), m_diskList.Images());
  RebuildDiskList();
}

void CMainWnd::RebuildDiskList() {
  QSignalBlocker block(m_disks);
  m_disks->clear();
  std::vector<QTreeWidgetItem*> items;
  const auto& rows = m_model.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const app::DiskRow& row = rows[i];
    QTreeWidgetItem* item =
        row.parent >= 0 ? new QTreeWidgetItem(items[static_cast<size_t>(row.parent)]) : new QTreeWidgetItem(m_disks);
    item->setText(0, Q(row.text));
    item->setText(1, Q(row.detail));
    item->setToolTip(0, Q(row.detail));
    item->setData(0, kRowRole, static_cast<int>(i));
    switch (row.kind) {
      case app::DiskRow::Kind::kDisk: item->setIcon(0, DiskIcon(row.removable)); break;
      case app::DiskRow::Kind::kImageGroup: item->setIcon(0, ImageFileIcon()); break;
      case app::DiskRow::Kind::kPartition:
      case app::DiskRow::Kind::kImage: break;
    }
    if (row.unreadable) item->setForeground(0, QColor(0x99, 0x99, 0x99));
    items.push_back(item);
  }
  m_disks->expandAll();
  if (m_model.SelectedRow() >= 0) m_disks->setCurrentItem(items[static_cast<size_t>(m_model.SelectedRow())]);
  UpdateRightsNote();
}

void CMainWnd::UpdateRightsNote() {
  QString note;
  if (m_model.NoDisksListed()) {
    note = Or(Text("NoDisks"),
              "No disks are listed. Reading disks needs administrator rights: start \"Quellmoor (read disks as "
              "administrator)\" from the menu, or open an image file.");
  } else if (m_model.AccessDenied()) {
    note = Or(Text("NoRights"),
              "Some disks cannot be read with your rights. Start \"Quellmoor (read disks as administrator)\" from "
              "the menu, or open an image file.");
  }
  m_rightsNote->setText(note);
  m_rightsNote->setVisible(!note.isEmpty());
}

void CMainWnd::WatchDevices() {
  m_refreshTimer = new QTimer(this);
  m_refreshTimer->setSingleShot(true);
  m_refreshTimer->setInterval(700);  // a stick brings several events: one refresh
  connect(m_refreshTimer, &QTimer::timeout, this, [this] {
    if (m_busy) {
      m_refreshTimer->start();  // the scan's session is not touched; the list waits for the job
      return;
    }
    RefreshDisks();
  });
  if (m_monitor.Open() != platform::kStatusOk || m_monitor.Descriptor() < 0) return;  // no hot-plug: list at start
  m_deviceNotifier = new QSocketNotifier(m_monitor.Descriptor(), QSocketNotifier::Read, this);
  connect(m_deviceNotifier, &QSocketNotifier::activated, this, [this] {
    platform::DeviceEvent event;
    bool any = false;
    while (m_monitor.Receive(&event)) any = true;
    if (any) m_refreshTimer->start();
  });
}

void CMainWnd::LoadImage() {
  const QString path = m_dialogs->ChooseImageFile(this);
  if (path.isEmpty()) return;
  storage::VolumeEntry added;
  const platform::Status s = m_diskList.AddImage(path.toStdString(), &added);
  if (s != platform::kStatusOk) {
    m_dialogs->MessageBox(this, jobs::MessageKind::kError,
                          path + QStringLiteral("\n") + Q(jobs::ErrorText(&m_texts, s)));
    return;
  }
  m_model.SetDisks(m_diskList.Disks(), m_diskList.Images());
  // Select the image just loaded.
  const auto& rows = m_model.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == app::DiskRow::Kind::kImage &&
        m_diskList.Images()[static_cast<size_t>(rows[i].volumeIndex)].target.imagePath == added.target.imagePath) {
      m_model.SelectRow(static_cast<int32_t>(i));
    }
  }
  RebuildDiskList();
}

void CMainWnd::RunScan() {
  // The views hold the previous session's items: they go before its engines.
  m_fileModel->Clear();
  m_folderModel->Clear();
  m_previewPane->clear();
  const jobs::ScanSourceList sources = m_model.NewSession();
  if (sources.empty()) return;
  m_busy = true;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    CScanProcessWnd wnd(this, &m_texts, *m_dialogs);
    jobs::CScanJob job({sources, m_model.Mode(), jobs::ReusePolicy::kAsk, jobs::ResumePolicy::kAsk}, wnd, &m_texts);
    wnd.Run(job);
    notes = wnd.Notes();
    m_model.SetScannedSources(job.Sources());
  }
  for (const auto& s : m_model.Sources()) {
    if (s->foldersCutOff == 0) continue;
    notes.emplace_back(jobs::MessageKind::kInformation,
                       jobs::FormatText(m_texts.Text("Messages", jobs::keys::kFoldersCutOff),
                                        {s->target.label, static_cast<unsigned long long>(s->foldersCutOff)}));
  }
  m_busy = false;
  ShowNotes(notes);
  // A device that could not be opened for lack of rights: say how to get them.
  for (const auto& s : m_model.Sources()) {
    if (s->outcome == jobs::SourceOutcome::kUnreadable && s->status == platform::kErrorAccessDenied) {
      m_dialogs->MessageBox(
          this, jobs::MessageKind::kWarning,
          Or(Text("DeviceNoRights"),
             "This device cannot be read with your rights. Start \"Quellmoor (read disks as administrator)\" "
             "from the menu, or make an image of it with administrator rights and open the image."));
      break;
    }
  }
  Apply(m_model.OnScanEnded());
}

void CMainWnd::RunSearch() {
  m_busy = true;
  std::vector<jobs::FoundItem> results;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    CSearchProcessWnd wnd(this, &m_texts, *m_dialogs);
    jobs::CSearchJob job({m_model.Sources(), m_model.SearchPattern(), true}, wnd, &m_texts);
    wnd.Run(job);
    results = std::move(job.Results());
    notes = wnd.Notes();
  }
  m_busy = false;
  ShowNotes(notes);
  m_model.OnSearchEnded(std::move(results));
  FillResults();
  ShowPage();
}

void CMainWnd::FillResults() {
  m_previewPane->clear();
  {
    // A new search starts with nothing checked.
    QSignalBlocker block(m_typeTree);
    for (int i = 0; i < m_typeTree->topLevelItemCount(); ++i)
      m_typeTree->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
  }
  m_folderModel->SetSources(m_model.Sources());
  Retranslate();  // the node labels with their counts
  // The first type with files is shown.
  for (const app::TypeNode& node : app::TypeNodes()) {
    if (m_model.CountOf(node.category) == 0) continue;
    QSignalBlocker block(m_typeTree);
    m_typeTree->setCurrentItem(TypeNode(node.nodeName));
    ShowCategory(node.category);
    return;
  }
  m_fileModel->Clear();
}

void CMainWnd::ShowCategory(jobs::FileCategory category) {
  m_fileModel->SetRows(m_model.SharedResults(), m_model.ResultIndicesOf(category));
}

void CMainWnd::ShowFolder(const QModelIndex& index) {
  const std::shared_ptr<jobs::ScanSource> source = m_folderModel->SourceOf(index);
  if (!source || m_busy) return;
  std::vector<jobs::FoundItem> items;
  platform::Status s = platform::kStatusOk;
  {
    std::unique_lock lock(source->inUse, std::try_to_lock);
    if (!lock.owns_lock()) return;
    s = jobs::ListFolderAt(source, m_folderModel->PathOf(index), &items);
  }
  if (s != platform::kStatusOk) {
    m_fileModel->Clear();
    m_previewPane->setPlainText(Q(jobs::ErrorText(&m_texts, s)));
    return;
  }
  m_fileModel->SetRows(std::move(items));
}

void CMainWnd::UpdatePager() {
  if (m_pageLabel == nullptr || m_fileModel == nullptr) return;
  const app::CResultTable& t = m_fileModel->Table();
  m_pageLabel->setText(QStringLiteral("%1 / %2").arg(t.Page() + 1).arg(t.PageCount()));
  findChild<QWidget*>(QStringLiteral("BtnPagePrev"))->setEnabled(t.Page() > 0);
  findChild<QWidget*>(QStringLiteral("BtnPageNext"))->setEnabled(t.Page() + 1 < t.PageCount());
}

void CMainWnd::Preview(const jobs::FoundItem& item) {
  jobs::PreviewProduct shown;
  m_busy = true;
  {
    CPreviewProcessWnd wnd(this, &m_texts, *m_dialogs);
    std::unique_ptr<jobs::CPreviewJob> job = m_preview.Select(item, wnd, &m_texts, &shown);
    if (job) {
      const jobs::JobResult result = wnd.Run(*job);
      if (result == jobs::JobResult::kFinished) {
        shown = job->Product();
      } else {
        shown = {};
        shown.kind = jobs::PreviewProductKind::kFailed;
        shown.status = result == jobs::JobResult::kCancelled ? platform::kStatusCancelled : platform::kErrorBusy;
      }
    }
  }
  m_busy = false;
  ShowProduct(shown);
}

void CMainWnd::ShowProduct(const jobs::PreviewProduct& product) {
  m_previewPane->clear();
  m_previewPane->setProperty("productKind", QString::fromUtf8(jobs::ProductKindWord(product.kind).data()));
  switch (product.kind) {
    case jobs::PreviewProductKind::kPicture: {
      QImage image(Q(product.filePath));
      if (image.isNull()) {
        m_previewPane->setPlainText(Q(product.fallbackText));
        return;
      }
      const int width = std::max(120, m_previewPane->viewport()->width() - 16);
      if (image.width() > width) image = image.scaledToWidth(width, Qt::SmoothTransformation);
      const QUrl url(QStringLiteral("preview://picture"));
      m_previewPane->document()->addResource(QTextDocument::ImageResource, url, image);
      m_previewPane->setHtml(QStringLiteral("<img src=\"preview://picture\">"));
      return;
    }
    case jobs::PreviewProductKind::kText:
    case jobs::PreviewProductKind::kListing:
    case jobs::PreviewProductKind::kFolder: m_previewPane->setPlainText(Q(product.text)); return;
    case jobs::PreviewProductKind::kDump:
      m_previewPane->setPlainText(product.note.empty() ? Q(product.text) : Q(product.note + "\n\n" + product.text));
      return;
    case jobs::PreviewProductKind::kMedia:
      if (m_preview.Play(product) != platform::kStatusOk) {
        m_previewPane->setPlainText(Msg("MSG1207"));
      } else {
        m_previewPane->setPlainText(QFileInfo(Q(product.filePath)).fileName());
      }
      return;
    case jobs::PreviewProductKind::kFailed:
      m_previewPane->setPlainText(product.text.empty() ? Q(jobs::ErrorText(&m_texts, product.status))
                                                       : Q(product.text));
      return;
  }
}

void CMainWnd::ShowNotes(const std::vector<std::pair<jobs::MessageKind, std::string>>& notes) {
  if (notes.empty()) return;
  jobs::MessageKind kind = jobs::MessageKind::kInformation;
  QString text;
  for (const auto& [k, t] : notes) {
    if (k == jobs::MessageKind::kError) kind = k;
    if (k == jobs::MessageKind::kWarning && kind != jobs::MessageKind::kError) kind = k;
    if (!text.isEmpty()) text += QStringLiteral("\n");
    text += Q(t);
  }
  m_dialogs->MessageBox(this, kind, text);
}

void CMainWnd::RunRecovery() {
  const QString folder = m_dialogs->ChooseOutputFolder(this);
  if (folder.isEmpty()) return;
  // Writing onto a medium being recovered could overwrite what is sought.
  if (!jobs::SourcesHoldingFolder(m_model.Sources(), folder.toStdString()).empty()) {
    m_dialogs->MessageBox(this, jobs::MessageKind::kWarning, Msg("MSG0805"));
    return;
  }
  m_model.SetOutputFolder(folder.toStdString());
  m_busy = true;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    CRecoverProcessWnd wnd(this, &m_texts, *m_dialogs, folder);
    jobs::CRecoveryJob job({m_model.CheckedItems(), folder.toStdString(), jobs::RecoveryLayout::kByCategory}, wnd,
                           &m_texts);
    wnd.Run(job);
    notes = wnd.Notes();
  }
  m_busy = false;
  ShowNotes(notes);
}

void CMainWnd::RunImage() {
  jobs::ImageSource source;
  std::string description;
  const int32_t diskIndex = m_model.SelectedDiskIndex();
  if (diskIndex >= 0) {
    const storage::DiskEntry& disk = m_model.Disks()[static_cast<size_t>(diskIndex)];
    source.wholeDisk = true;
    source.volume.diskNumber = disk.diskNumber;
    source.volume.diskPath = disk.path;
    source.volume.sectorSize = disk.sectorSize;
    source.volume.label = disk.name;
    source.byteLength = disk.byteLength;
  } else {
    const std::vector<storage::VolumeEntry> volumes = m_model.SelectedVolumes();
    if (volumes.empty()) {
      m_dialogs->MessageBox(this, jobs::MessageKind::kWarning, Msg("MSG0216"));
      return;
    }
    source.volume = volumes.front().target;
    source.byteLength = volumes.front().byteSize != 0 ? volumes.front().byteSize : source.volume.ByteLength();
    description = volumes.front().description;
  }
  const QString suggested = Q(jobs::SuggestedImageName(source, description)) + QStringLiteral(".img");
  QString target = m_dialogs->ChooseImageTarget(this, suggested);
  if (target.isEmpty()) return;
  if (!target.endsWith(QStringLiteral(".img"), Qt::CaseInsensitive)) target += QStringLiteral(".img");
  const std::string targetPath = target.toStdString();
  bool replace = false;
  jobs::ImageCheck check = jobs::CheckImageTarget(source, targetPath, replace);
  if (check == jobs::ImageCheck::kTargetExists) {
    const QString question = Q(jobs::FormatText(m_texts.Text("Messages", "MSG1318"), {targetPath}));
    if (m_dialogs->MessageBox(this, jobs::MessageKind::kConfirm, question) != 1) return;
    replace = true;
    check = jobs::CheckImageTarget(source, targetPath, replace);
  }
  if (check != jobs::ImageCheck::kOk) {
    const std::string format = m_texts.Text("Messages", jobs::ImageCheckKey(check));
    m_dialogs->MessageBox(this, jobs::MessageKind::kWarning, Q(jobs::FormatText(format, {targetPath})));
    return;
  }
  m_busy = true;
  jobs::JobResult result = jobs::JobResult::kNone;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    CCreateImageProcessWnd wnd(this, &m_texts, *m_dialogs);
    jobs::ImageJobInput input;
    input.source = source;
    input.targetPath = targetPath;
    input.keepGoing = m_model.KeepGoing();
    jobs::CImageJob job(std::move(input), wnd, &m_texts);
    result = wnd.Run(job);
    notes = wnd.Notes();
  }
  m_busy = false;
  if (result != jobs::JobResult::kFinished) {
    ShowNotes(notes);
    if (result == jobs::JobResult::kFailed && notes.empty()) {
      m_dialogs->MessageBox(this, jobs::MessageKind::kError, Msg("MSG0217"));
    }
    // A stopped copy is no image: offer to delete what was written of it.
    if (result == jobs::JobResult::kCancelled && jobs::PartialImageExists(targetPath)) {
      const QString question = Q(jobs::FormatText(m_texts.Text("Messages", jobs::keys::kImageDeletePartial),
                                                  {jobs::CImageJob::PartialPath(targetPath)}));
      if (m_dialogs->MessageBox(this, jobs::MessageKind::kQuestion, question) == 1) {
        const platform::Status removed = jobs::DeletePartialImage(targetPath);
        if (removed != platform::kStatusOk) {
          m_dialogs->MessageBox(this, jobs::MessageKind::kWarning, Q(jobs::ErrorText(&m_texts, removed)));
        }
      }
    }
    return;
  }
  // The new image joins the disk list; it can be scanned now.
  storage::VolumeEntry added;
  const platform::Status addStatus = m_diskList.AddImage(targetPath, &added);
  if (addStatus != platform::kStatusOk) {
    ShowNotes(notes);  // the image is there; it only cannot be listed
    m_dialogs->MessageBox(this, jobs::MessageKind::kWarning,
                          target + QStringLiteral("\n") + Q(jobs::ErrorText(&m_texts, addStatus)));
    return;
  }
  m_model.SetDisks(m_diskList.Disks(), m_diskList.Images());
  const auto& rows = m_model.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == app::DiskRow::Kind::kImage &&
        m_diskList.Images()[static_cast<size_t>(rows[i].volumeIndex)].target.imagePath == added.target.imagePath) {
      m_model.SelectRow(static_cast<int32_t>(i));
    }
  }
  RebuildDiskList();
  // What the job said ("the image is complete", bad sectors) goes with the question: one box.
  QString question;
  for (const auto& [kind, text] : notes) question += Q(text) + QStringLiteral("\n");
  if (!question.isEmpty()) question += QStringLiteral("\n");
  question += Msg("MSG0214");
  if (m_dialogs->MessageBox(this, jobs::MessageKind::kQuestion, question) == 1) {
    m_model.OnButton("BtnDeletedRecovery");  // a fast scan of the new image
    ShowPage();
    RunScan();
  }
}

}  // namespace gui
