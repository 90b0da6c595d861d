// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/main_wnd.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCommandLinkButton>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
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
#include <QTranslator>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/dialog_texts.h"
#include "app/preview_config.h"
#include "app/preview_pane.h"
#include "app/recovery_destination.h"
#include "app/thumbnail_source.h"
#include "app/window_settings.h"
#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_model.h"
#include "gui/icons.h"
#include "gui/job_process_wnd.h"
#include "gui/results_page.h"
#include "gui/thumbnail_model.h"
#include "gui/thumbnail_worker.h"
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
#include "platform/file_time.h"
#include "platform/folders.h"

namespace gui {
namespace {

constexpr int kRowRole = Qt::UserRole + 1;
constexpr int kMinimumWidth = 760;
constexpr int kMinimumHeight = 520;

// The mode cards, in order: the control's name, its icon, and the key of its one line.
struct ModeCard {
  const char* name;
  QIcon (*icon)();
  const char* infoKey;
};
constexpr ModeCard kModeCards[] = {
    {"BtnDeletedRecovery", DeletedModeIcon, "BtnDeletedRecoveryInfo"},
    {"BtnFormattedRecovery", FormattedModeIcon, "BtnFormattedRecoveryInfo"},
    {"BtnDeepRecovery", DeepModeIcon, "BtnDeepRecoveryInfo"},
    {"BtnCreateImageMode", ImageModeIcon, "BtnCreateImageModeInfo"},
};

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
      m_preview(app::LoadPreviewTools()),
      m_thumbnails(std::make_unique<CThumbnailWorker>(app::LoadThumbnailTools())) {
  setObjectName(QStringLiteral("MainWnd"));
  setWindowTitle(QStringLiteral("Quellmoor"));
  setWindowIcon(AppIcon());
  setMinimumSize(kMinimumWidth, kMinimumHeight);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(10, 8, 10, 8);
  auto* header = new QHBoxLayout;
  auto* product = new QLabel(central);
  product->setObjectName(QStringLiteral("LblProductName"));
  QFont title = product->font();
  title.setPointSizeF(title.pointSizeF() * 1.4);
  title.setBold(true);
  product->setFont(title);
  header->addWidget(product);
  header->addStretch(1);
  layout->addLayout(header);

  m_pages = new QStackedWidget(central);
  m_pages->setObjectName(QStringLiteral("TabPage"));
  m_pages->addWidget(BuildModePage());
  m_pages->addWidget(BuildDiskPage());
  m_results = new CResultsPage(
      m_model, &m_texts, *m_thumbnails, [this] { return m_busy; }, m_pages);
  connect(m_results, &CResultsPage::PreviewWanted, this, &CMainWnd::Preview);
  connect(m_results, &CResultsPage::ButtonClicked, this, &CMainWnd::OnButton);
  m_pages->addWidget(m_results);
  layout->addWidget(m_pages, 1);

  // One row at the bottom: the results' status line and Recover (results page), Back, Next.
  auto* nav = new QHBoxLayout;
  nav->addWidget(m_results->BottomBar(), 1);
  nav->addStretch(0);
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
  RestoreSettings();
  ShowPage();
}

CMainWnd::~CMainWnd() {
  Shutdown();
  // The pages use the thumbnail worker: they go before it (members go before the children).
  delete takeCentralWidget();
}

CFileListModel* CMainWnd::FileList() const {
  return m_results->FileList();
}

CFolderTreeModel* CMainWnd::FolderTree() const {
  return m_results->FolderTree();
}

CThumbnailModel* CMainWnd::Grid() const {
  return m_results->Grid();
}

void CMainWnd::RestoreSettings() {
  app::WindowSettings settings;
  settings.Load(m_languages.UserConfigPath());
  std::vector<app::ScreenRect> screens;
  size_t primary = 0;
  for (QScreen* screen : QApplication::screens()) {
    if (screen == QApplication::primaryScreen()) primary = screens.size();
    const QRect a = screen->availableGeometry();
    screens.push_back({a.x(), a.y(), a.width(), a.height()});
  }
  const app::ScreenRect r = app::RestoredWindowRect(settings.geometry, screens, primary, kMinimumWidth, kMinimumHeight);
  resize(r.width, r.height);
  move(r.x, r.y);
  if (settings.maximized) setWindowState(windowState() | Qt::WindowMaximized);
  m_results->RestoreSplitters(settings);
  if (settings.resultsView == "list") m_results->SetView(CFilterBar::View::kList);
  if (settings.resultsView == "grid") m_results->SetView(CFilterBar::View::kGrid);
}

void CMainWnd::SaveSettings() {
  app::WindowSettings settings;
  settings.Load(m_languages.UserConfigPath());
  const QRect g = isMaximized() ? normalGeometry() : geometry();
  if (g.isValid()) settings.geometry = app::ScreenRect{g.x(), g.y(), g.width(), g.height()};
  settings.maximized = isMaximized();
  m_results->SaveSplitters(&settings);
  settings.resultsView = m_results->View() == CFilterBar::View::kGrid ? "grid" : "list";
  if (settings.Save(m_languages.UserConfigPath()) != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor-gui: the window's settings could not be saved\n");
  }
}

void CMainWnd::closeEvent(QCloseEvent* event) {
  if (m_busy) {
    event->ignore();
    return;
  }
  SaveSettings();
  QMainWindow::closeEvent(event);
}

void CMainWnd::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  m_monitor.Stop();
  // Views, thumbnails and the session hold the sources; the preview's players and files go.
  m_results->ClearViews();  // the thumbnail worker holds no found item now; it ends with the window
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
  QFont larger = info->font();
  larger.setPointSizeF(larger.pointSizeF() * 1.25);
  info->setFont(larger);
  layout->addWidget(info);
  // One card per mode, with its icon and a line on when to use it; a click moves on.
  // A card is the style's own panel in the palette's base colour, holding a command link.
  auto* grid = new QGridLayout;
  grid->setSpacing(12);
  int i = 0;
  for (const ModeCard& card : kModeCards) {
    auto* frame = new QFrame(page);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setBackgroundRole(QPalette::Base);
    frame->setAutoFillBackground(true);
    auto* inside = new QVBoxLayout(frame);
    inside->setContentsMargins(4, 4, 4, 4);
    auto* b = new QCommandLinkButton(frame);
    b->setObjectName(QString::fromLatin1(card.name));
    b->setIcon(card.icon());
    b->setIconSize(QSize(48, 48));
    b->setMinimumHeight(92);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    const QString name = QString::fromLatin1(card.name);
    connect(b, &QCommandLinkButton::clicked, this, [this, name] { OnButton(name); });
    inside->addWidget(b);
    grid->addWidget(frame, i / 2, i % 2);
    ++i;
  }
  layout->addStretch(1);
  layout->addLayout(grid);
  layout->addStretch(2);
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
  connect(m_disks, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    m_model.SelectRow(item != nullptr ? item->data(0, kRowRole).toInt() : -1);
    UpdateDiskAction();
  });
  left->addWidget(m_disks, 1);
  m_rightsNote = new QLabel(page);
  // A note in the colours the desktop gives its tooltips (light and dark alike).
  m_rightsNote->setFrameShape(QFrame::StyledPanel);
  m_rightsNote->setBackgroundRole(QPalette::ToolTipBase);
  m_rightsNote->setForegroundRole(QPalette::ToolTipText);
  m_rightsNote->setAutoFillBackground(true);
  m_rightsNote->setMargin(6);
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
  // One action: the drive's scan, or its results when they are there (then "Scan again" beside it).
  diskButtons->addWidget(MakeButton("BtnRescan", page));
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
  m_languageMenu->menuAction()->setObjectName(QStringLiteral("MenuLanguageAction"));
  for (const ModeCard& card : kModeCards) {
    if (auto* b = findChild<QCommandLinkButton*>(QString::fromLatin1(card.name))) {
      b->setDescription(Text(card.infoKey));
      b->setAccessibleName(b->text());
      b->setAccessibleDescription(b->description());
    }
  }
  // Every button and box is named for a screen reader by its text.
  for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
    if (!button->text().isEmpty()) button->setAccessibleName(QString(button->text()).remove(QLatin1Char('&')));
  }
  m_disks->setAccessibleName(Or(Text("DiskListName"), "Disks, partitions and image files"));
  if (auto* group = findChild<QGroupBox*>(QStringLiteral("GrpTypes"))) group->setAccessibleName(group->title());
  m_results->Retranslate();
  UpdateRightsNote();
  UpdateDiskAction();
  UpdateQtTranslation();
}

void CMainWnd::UpdateQtTranslation() {
  // Qt's own dialogs (the file choosers' buttons and labels) in the chosen language.
  const QString code = Q(app::DialogText(&m_texts, "QtLanguage", ""));
  if (code == m_qtLanguage) return;
  m_qtLanguage = code;
  if (m_qtTranslator) {
    QCoreApplication::removeTranslator(m_qtTranslator.get());
    m_qtTranslator.reset();
  }
  if (code.isEmpty()) return;
  auto translator = std::make_unique<QTranslator>();
  if (translator->load(QLocale(code), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(translator.get());
    m_qtTranslator = std::move(translator);
  }
}

QTreeWidgetItem* CMainWnd::TypeNode(std::string_view nodeName) const {
  return m_results->TypeNode(nodeName);
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
  m_results->BottomBar()->setVisible(page == 2);
  findChild<QWidget*>(QStringLiteral("BtnNext"))->setVisible(false);  // the disk page's one action moves on
  findChild<QWidget*>(QStringLiteral("BtnScan"))->setVisible(!imageMode);
  UpdateDiskAction();
  // The results always name their drive: in the status line and the title.
  const std::string& drive = m_model.SessionName();
  setWindowTitle(page == 2 && !drive.empty() ? Q(drive) + QStringLiteral(" \u2013 Quellmoor")
                                             : QStringLiteral("Quellmoor"));
  findChild<QWidget*>(QStringLiteral("BtnCreateImage"))->setVisible(imageMode);
  findChild<QWidget*>(QStringLiteral("BtnAdvanceScan"))->setVisible(false);  // no action of its own
  findChild<QWidget*>(QStringLiteral("GrpTypes"))->setVisible(!imageMode);
  if (page == 0) {
    if (auto* first = findChild<QWidget*>(QString::fromLatin1(kModeCards[0].name))) first->setFocus();
  }
  findChild<QWidget*>(QStringLiteral("ChkKeepGoing"))->setVisible(imageMode);
  if (page == 1) m_disks->setFocus();
  if (page == 2) {
    if (auto* tree = m_results->findChild<QWidget*>(QStringLiteral("TypeTree"))) tree->setFocus();
  }
}

void CMainWnd::UpdateDiskAction() {
  auto* scan = findChild<QPushButton*>(QStringLiteral("BtnScan"));
  auto* rescan = findChild<QPushButton*>(QStringLiteral("BtnRescan"));
  if (scan == nullptr || rescan == nullptr) return;
  const bool results = m_model.SelectionHasResults() && !m_model.CreateImageMode();
  scan->setText(results ? Or(Text("BtnShowResults"), "Show the results") : Or(Text("BtnScan"), "Scan"));
  scan->setAccessibleName(scan->text());
  scan->setDefault(!m_model.CreateImageMode());
  rescan->setVisible(results);
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
    if (row.unreadable) item->setForeground(0, m_disks->palette().brush(QPalette::Disabled, QPalette::Text));
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
  // The views and the thumbnails hold the previous session's items: they go before its engines.
  m_results->ClearViews();
  const jobs::ScanSourceList sources = m_model.NewSession();
  if (sources.empty()) return;
  m_busy = true;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    app::CThumbnailHold hold(m_thumbnails->Queue());
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
    app::CThumbnailHold hold(m_thumbnails->Queue());
    CSearchProcessWnd wnd(this, &m_texts, *m_dialogs);
    jobs::CSearchJob job({m_model.Sources(), m_model.SearchPattern(), true}, wnd, &m_texts);
    wnd.Run(job);
    results = std::move(job.Results());
    notes = wnd.Notes();
  }
  m_busy = false;
  ShowNotes(notes);
  m_model.OnSearchEnded(std::move(results));
  m_results->FillResults();
  ShowPage();
}

void CMainWnd::Preview(const jobs::FoundItem& item) {
  // The source and the session folder's preview files are the preview's alone until it is shown.
  app::CThumbnailHold hold(m_thumbnails->Queue());
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
  QTextEdit* pane = m_results->PreviewPane();
  pane->clear();
  pane->setProperty("productKind", QString::fromUtf8(jobs::ProductKindWord(product.kind).data()));
  switch (product.kind) {
    case jobs::PreviewProductKind::kPicture: {
      QImageReader reader(Q(product.filePath));
      reader.setAutoTransform(true);  // a camera's orientation
      QImage image = reader.read();
      if (image.isNull()) {
        pane->setPlainText(Q(product.fallbackText));
        return;
      }
      const qreal scale = pane->devicePixelRatioF();
      const int width = std::max(120, pane->viewport()->width() - 16);
      if (image.width() > width * scale) image = image.scaledToWidth(int(width * scale), Qt::SmoothTransformation);
      image.setDevicePixelRatio(scale);
      const QUrl url(QStringLiteral("preview://picture"));
      pane->document()->addResource(QTextDocument::ImageResource, url, image);
      pane->setHtml(QStringLiteral("<img src=\"preview://picture\">"));
      return;
    }
    case jobs::PreviewProductKind::kMedia:
      if (m_preview.Play(product) != platform::kStatusOk) {
        pane->setPlainText(Msg("MSG1207"));
      } else {
        pane->setPlainText(QFileInfo(Q(product.filePath)).fileName());
      }
      return;
    case jobs::PreviewProductKind::kText:
    case jobs::PreviewProductKind::kListing:
    case jobs::PreviewProductKind::kFolder:
    case jobs::PreviewProductKind::kDump:
    case jobs::PreviewProductKind::kFailed: pane->setPlainText(Q(app::PreviewPaneText(product, &m_texts))); return;
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
  // A new folder is offered, never the home folder itself (Enter, Enter must not
  // spill category folders among the user's own).
  const std::string home = QDir::homePath().toStdString();
  const std::string proposed = app::DefaultRecoveryFolder(
      home, &m_texts, platform::LocalNow(),
      [](const std::string& p) { return platform::KindOfPath(p) != platform::PathKind::kMissing; });
  const QString chosen = m_dialogs->ChooseOutputFolder(this, Q(proposed));
  if (chosen.isEmpty()) return;
  const QString folder = Q(app::RecoveryFolderFor(chosen.toStdString(), home, proposed));
  // Writing onto a medium being recovered could overwrite what is sought.
  if (!jobs::SourcesHoldingFolder(m_model.Sources(), folder.toStdString()).empty()) {
    m_dialogs->MessageBox(this, jobs::MessageKind::kWarning, Msg("MSG0805"));
    return;
  }
  m_model.SetOutputFolder(folder.toStdString());
  m_busy = true;
  std::vector<std::pair<jobs::MessageKind, std::string>> notes;
  {
    app::CThumbnailHold hold(m_thumbnails->Queue());
    CRecoverProcessWnd wnd(this, &m_texts, *m_dialogs, folder);
    jobs::CRecoveryJob job({m_model.CheckedItems(), folder.toStdString(), jobs::RecoveryLayout::kByCategory}, wnd,
                           &m_texts);
    wnd.Watch(&job);
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
    app::CThumbnailHold hold(m_thumbnails->Queue());
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
