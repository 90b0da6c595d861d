// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/results_page.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/result_summary.h"
#include "app/thumbnail_queue.h"
#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_model.h"
#include "gui/icons.h"
#include "gui/thumbnail_delegate.h"
#include "gui/thumbnail_model.h"
#include "gui/thumbnail_worker.h"
#include "jobs/folder_browser.h"
#include "jobs/error_text.h"
#include "platform/error.h"

namespace gui {
namespace {

constexpr int kNodeNameRole = Qt::UserRole + 2;
constexpr int kCategoryRole = Qt::UserRole + 3;
constexpr std::string_view kSection = "MainWnd";

// The accessible names of the page's controls without a text of their own.
struct AccessibleName {
  const char* control;
  const char* key;
  const char* fallback;
};
constexpr AccessibleName kAccessibleNames[] = {
    {"TypeTree", "TypeTreeName", "File types"},   {"FolderTree", "FolderTreeName", "Folders"},
    {"FileList", "FileListName", "Found files"},  {"ThumbnailGrid", "GridName", "Found files as thumbnails"},
    {"PreviewEdit", "PreviewName", "Preview"},    {"BtnPagePrev", "PagePrevName", "Previous page"},
    {"BtnPageNext", "PageNextName", "Next page"}, {"LblStatus", "StatusName", "Status"},
};

}  // namespace

CResultsPage::CResultsPage(app::CMainWindowModel& model, const jobs::ITextSource* texts, CThumbnailWorker& thumbnails,
                           std::function<bool()> busy, QWidget* parent)
    : QWidget(parent), m_model(model), m_texts(texts), m_thumbnails(thumbnails), m_busy(std::move(busy)) {
  setObjectName(QStringLiteral("PageResults"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  // The filter bar spans the page: it needs the room more than any one column.
  m_filterBar = new CFilterBar(this);
  connect(m_filterBar, &CFilterBar::FilterChanged, this, &CResultsPage::OnFilterChanged);
  connect(m_filterBar, &CFilterBar::ViewChanged, this, &CResultsPage::OnViewChanged);
  layout->addWidget(m_filterBar);
  m_split = new QSplitter(Qt::Horizontal, this);
  m_split->setObjectName(QStringLiteral("SplitResults"));
  m_split->setChildrenCollapsible(false);

  m_side = new QSplitter(Qt::Vertical, m_split);
  m_side->setObjectName(QStringLiteral("SplitSide"));
  m_typeTree = new QTreeWidget(m_side);
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
  m_folderModel->SetThumbnailQueue(&m_thumbnails.Queue());
  m_folderView = new QTreeView(m_side);
  m_folderView->setObjectName(QStringLiteral("FolderTree"));
  m_folderView->setHeaderHidden(true);
  m_folderView->setModel(m_folderModel);
  m_folderView->setTextElideMode(Qt::ElideMiddle);
  connect(m_folderView->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& index) { ShowFolder(index); });

  auto* middle = new QWidget(m_split);
  auto* middleLayout = new QVBoxLayout(middle);
  middleLayout->setContentsMargins(0, 0, 0, 0);
  m_views = new QStackedWidget(middle);
  m_views->setObjectName(QStringLiteral("ResultViews"));
  m_views->addWidget(BuildList(m_views));

  m_gridModel = new CThumbnailModel(*m_fileModel, m_thumbnails, this);
  m_gridView = new QListView(m_views);
  m_gridView->setObjectName(QStringLiteral("ThumbnailGrid"));
  m_gridView->setViewMode(QListView::IconMode);
  m_gridView->setMovement(QListView::Static);
  m_gridView->setResizeMode(QListView::Adjust);
  m_gridView->setUniformItemSizes(true);
  m_gridView->setLayoutMode(QListView::Batched);
  m_gridView->setBatchSize(500);
  m_gridView->setIconSize(QSize(CThumbnailWorker::kThumbnailSide, CThumbnailWorker::kThumbnailSide));
  m_gridView->setItemDelegate(new CThumbnailDelegate(CThumbnailWorker::kThumbnailSide, m_gridView));
  m_gridView->setSpacing(4);
  m_gridView->setWordWrap(false);
  m_gridView->setSelectionMode(QAbstractItemView::SingleSelection);
  m_gridView->setModel(m_gridModel);
  m_views->addWidget(m_gridView);
  connect(m_gridView->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& index) {
    if (const jobs::FoundItem* row = m_gridModel->RowAt(index); row != nullptr && !m_busy()) {
      const jobs::FoundItem item = *row;
      emit PreviewWanted(item);
    }
  });
  // The thumbnails of what is on screen (and the next screen) are asked for
  // once scrolling rests a moment; what scrolled away is dropped.
  auto* wantTimer = new QTimer(this);
  wantTimer->setSingleShot(true);
  wantTimer->setInterval(40);
  connect(wantTimer, &QTimer::timeout, this, &CResultsPage::RequestVisibleThumbnails);
  connect(m_gridView->verticalScrollBar(), &QScrollBar::valueChanged, wantTimer, qOverload<>(&QTimer::start));
  connect(m_gridModel, &QAbstractItemModel::modelReset, wantTimer, qOverload<>(&QTimer::start));
  connect(m_gridModel, &QAbstractItemModel::layoutChanged, wantTimer, qOverload<>(&QTimer::start));
  m_gridView->viewport()->installEventFilter(this);
  middleLayout->addWidget(m_views, 1);

  m_previewPane = new QTextEdit(m_split);
  m_previewPane->setObjectName(QStringLiteral("PreviewEdit"));
  m_previewPane->setReadOnly(true);
  m_previewPane->setLineWrapMode(QTextEdit::WidgetWidth);

  m_split->setStretchFactor(0, 0);
  m_split->setStretchFactor(1, 1);
  m_split->setStretchFactor(2, 0);
  layout->addWidget(m_split, 1);

  m_bottomBar = new QWidget(this);
  auto* bottom = new QHBoxLayout(m_bottomBar);
  bottom->setContentsMargins(0, 0, 0, 0);
  m_status = new QLabel(m_bottomBar);
  m_status->setObjectName(QStringLiteral("LblStatus"));
  m_status->setTextFormat(Qt::PlainText);
  m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_status->setMinimumWidth(1);
  bottom->addWidget(m_status, 1);
  m_recover = new QPushButton(m_bottomBar);
  m_recover->setObjectName(QStringLiteral("BtnRecover"));
  m_recover->setAutoDefault(true);
  connect(m_recover, &QPushButton::clicked, this, [this] { emit ButtonClicked(QStringLiteral("BtnRecover")); });
  bottom->addWidget(m_recover);

  connect(m_fileModel, &CFileListModel::ChecksChanged, this, &CResultsPage::UpdateStatus);
  OnViewChanged(m_filterBar->CurrentView());
}

CResultsPage::~CResultsPage() = default;

QWidget* CResultsPage::BuildList(QWidget* parent) {
  auto* list = new QWidget(parent);
  auto* layout = new QVBoxLayout(list);
  layout->setContentsMargins(0, 0, 0, 0);
  m_fileModel = new CFileListModel([this](const engine::ItemRecord& r) { return m_model.IsChecked(r); },
                                   [this](const jobs::FoundItem& f, bool on) { m_model.SetChecked(f, on); }, this);
  m_fileView = new QTableView(list);
  m_fileView->setObjectName(QStringLiteral("FileList"));
  m_fileView->setModel(m_fileModel);
  m_fileView->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_fileView->setSelectionMode(QAbstractItemView::SingleSelection);
  m_fileView->setSortingEnabled(true);
  m_fileView->setTextElideMode(Qt::ElideMiddle);  // "Vacation Pi…ure.jpg": the extension stays
  m_fileView->setWordWrap(false);
  m_fileView->setTabKeyNavigation(false);
  m_fileView->setShowGrid(false);
  m_fileView->setAlternatingRowColors(true);
  m_fileView->verticalHeader()->hide();
  QHeaderView* header = m_fileView->horizontalHeader();
  header->setSortIndicatorShown(true);
  header->setSortIndicator(-1, Qt::AscendingOrder);
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(40);
  header->setSectionResizeMode(static_cast<int>(app::ResultColumn::kName), QHeaderView::Stretch);
  header->setSectionResizeMode(static_cast<int>(app::ResultColumn::kPath), QHeaderView::Interactive);
  for (app::ResultColumn c : {app::ResultColumn::kSize, app::ResultColumn::kType, app::ResultColumn::kModified,
                              app::ResultColumn::kCreated}) {
    header->setSectionResizeMode(static_cast<int>(c), QHeaderView::ResizeToContents);
  }
  // "Path" does not sort: its header keeps the mark where the sort is.
  connect(header, &QHeaderView::sortIndicatorChanged, this, [this](int column, Qt::SortOrder) {
    if (column < 0 || app::ResultColumnSorts(static_cast<app::ResultColumn>(column))) return;
    const app::CResultTable& t = m_fileModel->Table();
    QSignalBlocker block(m_fileView->horizontalHeader());
    m_fileView->horizontalHeader()->setSortIndicator(t.Sorted() ? static_cast<int>(t.SortColumn()) : -1,
                                                     t.SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
  });
  connect(m_fileView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& index) {
            if (const jobs::FoundItem* row = m_fileModel->RowAt(index); row != nullptr && !m_busy()) {
              const jobs::FoundItem item = *row;
              emit PreviewWanted(item);
            }
          });
  connect(m_fileModel, &CFileListModel::PageChanged, this, &CResultsPage::UpdatePager);
  connect(m_fileModel, &CFileListModel::PageChanged, this, &CResultsPage::FitColumns);
  m_fileView->viewport()->installEventFilter(this);
  layout->addWidget(m_fileView, 1);

  auto* pager = new QHBoxLayout;
  pager->addStretch(1);
  auto* prevPage = new QPushButton(list);
  prevPage->setObjectName(QStringLiteral("BtnPagePrev"));
  prevPage->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
  auto* nextPage = new QPushButton(list);
  nextPage->setObjectName(QStringLiteral("BtnPageNext"));
  nextPage->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
  m_pageLabel = new QLabel(list);
  m_pageLabel->setObjectName(QStringLiteral("LblPage"));
  connect(prevPage, &QPushButton::clicked, this, [this] {
    if (m_fileModel->Table().Page() > 0) m_fileModel->SetPage(m_fileModel->Table().Page() - 1);
  });
  connect(nextPage, &QPushButton::clicked, this, [this] { m_fileModel->SetPage(m_fileModel->Table().Page() + 1); });
  pager->addWidget(prevPage);
  pager->addWidget(m_pageLabel);
  pager->addWidget(nextPage);
  layout->addLayout(pager);
  return list;
}

QString CResultsPage::Text(std::string_view key) const {
  return m_texts != nullptr ? Q(m_texts->Text(kSection, key)) : QString();
}

void CResultsPage::Retranslate() {
  for (const AccessibleName& a : kAccessibleNames) {
    QWidget* w = findChild<QWidget*>(QString::fromLatin1(a.control));
    if (w == nullptr) w = m_bottomBar->findChild<QWidget*>(QString::fromLatin1(a.control));
    if (w != nullptr) {
      const QString text = Text(a.key);
      w->setAccessibleName(text.isEmpty() ? QString::fromUtf8(a.fallback) : text);
    }
  }
  m_recover->setText(Text("BtnRecover"));
  m_recover->setAccessibleName(m_recover->text());
  findChild<QWidget*>(QStringLiteral("BtnPagePrev"))
      ->setToolTip(findChild<QWidget*>(QStringLiteral("BtnPagePrev"))->accessibleName());
  findChild<QWidget*>(QStringLiteral("BtnPageNext"))
      ->setToolTip(findChild<QWidget*>(QStringLiteral("BtnPageNext"))->accessibleName());
  m_filterBar->Retranslate(m_texts);
  m_fileModel->SetHeaderTexts(m_texts);
  {
    QSignalBlocker block(m_typeTree);  // a new label is no change of the node's box
    for (int i = 0; i < m_typeTree->topLevelItemCount(); ++i) {
      QTreeWidgetItem* item = m_typeTree->topLevelItem(i);
      const auto category = static_cast<jobs::FileCategory>(item->data(0, kCategoryRole).toInt());
      const std::string nodeName = item->data(0, kNodeNameRole).toString().toStdString();
      const std::string label = m_texts != nullptr ? m_texts->Text(kSection, nodeName) : nodeName;
      item->setText(0, Q(app::TypeNodeLabel(label, m_model.CountOf(category))));
    }
  }
  UpdatePager();
  UpdateStatus();
  FitColumns();
}

QTreeWidgetItem* CResultsPage::TypeNode(std::string_view nodeName) const {
  for (int i = 0; i < m_typeTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_typeTree->topLevelItem(i);
    if (item->data(0, kNodeNameRole).toString() == Q(std::string(nodeName))) return item;
  }
  return nullptr;
}

void CResultsPage::ClearViews() {
  m_thumbnails.NewSession();
  m_fileModel->Clear();
  m_folderModel->Clear();
  ClearPreview();
}

void CResultsPage::FillResults() {
  ClearPreview();
  m_filterBar->Reset();
  m_fileModel->SetFilter({});
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
  UpdateStatus();
}

void CResultsPage::ClearPreview() {
  m_previewPane->clear();
  m_previewPane->setProperty("productKind", QString());
}

void CResultsPage::ShowCategory(jobs::FileCategory category) {
  ClearPreview();
  m_fileModel->SetRows(m_model.SharedResults(), m_model.ResultIndicesOf(category));
  UpdateStatus();
}

void CResultsPage::ShowFolder(const QModelIndex& index) {
  const std::shared_ptr<jobs::ScanSource> source = m_folderModel->SourceOf(index);
  if (!source || m_busy()) return;
  ClearPreview();
  std::vector<jobs::FoundItem> items;
  platform::Status s = platform::kStatusOk;
  {
    app::CThumbnailHold hold(m_thumbnails.Queue());
    std::unique_lock lock(source->inUse, std::try_to_lock);
    if (!lock.owns_lock()) return;
    s = jobs::ListFolderAt(source, m_folderModel->PathOf(index), &items);
  }
  if (s != platform::kStatusOk) {
    m_fileModel->Clear();
    m_previewPane->setPlainText(Q(jobs::ErrorText(m_texts, s)));
    UpdateStatus();
    return;
  }
  m_fileModel->SetRows(std::move(items));
  UpdateStatus();
}

void CResultsPage::OnFilterChanged(const app::ResultFilter& filter) {
  ClearPreview();
  m_fileModel->SetFilter(filter);
  UpdateStatus();
}

void CResultsPage::SetView(CFilterBar::View view) {
  m_filterBar->SetView(view);
  OnViewChanged(view);
}

void CResultsPage::OnViewChanged(CFilterBar::View view) {
  if (view == CFilterBar::View::kGrid) {
    // Photos by the date they were taken (modified), oldest first, as a film roll.
    const app::CResultTable& t = m_fileModel->Table();
    if (!t.Sorted() || t.SortColumn() != app::ResultColumn::kModified || !t.SortAscending()) {
      m_fileView->horizontalHeader()->setSortIndicator(static_cast<int>(app::ResultColumn::kModified),
                                                       Qt::AscendingOrder);
    }
    m_views->setCurrentWidget(m_gridView);
    RequestVisibleThumbnails();
  } else {
    m_thumbnails.Want({});  // nothing is made for a view no one sees
    m_views->setCurrentWidget(m_views->widget(0));
    FitColumns();
  }
}

void CResultsPage::RequestVisibleThumbnails() {
  if (m_views->currentWidget() != m_gridView || !m_gridView->isVisible() || m_gridModel->rowCount() == 0) {
    m_thumbnails.Want({});
    return;
  }
  const QRect area = m_gridView->viewport()->rect();
  // The first cell on screen, and how many fit: the cells are all alike.
  const QSize cell = m_gridView->visualRect(m_gridModel->index(0)).size() +
                     QSize(2 * m_gridView->spacing(), 2 * m_gridView->spacing());
  if (cell.width() <= 0 || cell.height() <= 0) return;
  // The first cell whose top or bottom shows: the first point of the top line that is a cell.
  QModelIndex first;
  for (int y = 0; y < cell.height() && !first.isValid(); y += 4) {
    first = m_gridView->indexAt(QPoint(area.left() + cell.width() / 2, area.top() + y));
  }
  if (!first.isValid()) first = m_gridModel->index(0);
  const int perRow = std::max(1, area.width() / cell.width());
  const int rowsOnScreen = area.height() / cell.height() + 2;
  const int last = first.row() + perRow * rowsOnScreen - 1;
  // The screen first, then the next screen (scrolling on).
  m_thumbnails.Want(m_gridModel->ItemsOfRows(first.row(), last + perRow * rowsOnScreen));
}

void CResultsPage::UpdatePager() {
  const app::CResultTable& t = m_fileModel->Table();
  m_pageLabel->setText(QStringLiteral("%1 / %2").arg(t.Page() + 1).arg(t.PageCount()));
  m_pageLabel->setAccessibleName(m_pageLabel->text());
  findChild<QWidget*>(QStringLiteral("BtnPagePrev"))->setEnabled(t.Page() > 0);
  findChild<QWidget*>(QStringLiteral("BtnPageNext"))->setEnabled(t.Page() + 1 < t.PageCount());
}

void CResultsPage::UpdateStatus() {
  app::ResultSummary summary;
  summary.found = m_model.FoundCount();
  summary.shown = m_fileModel->Table().RowCount();
  summary.filtered = m_fileModel->Table().Filter().Active();
  summary.checkedFolders = m_model.CheckedFolderCount();
  summary.checkedFiles = m_model.CheckedCount() - summary.checkedFolders;
  summary.checkedBytes = m_model.CheckedBytes();
  summary.drive = m_model.SessionName();
  const app::NumberTexts numbers{[](uint64_t n) { return QLocale().toString(qulonglong(n)).toStdString(); },
                                 [](uint64_t n) { return LocaleSize(n).toStdString(); }};
  m_status->setText(Q(app::StatusLineText(summary, m_texts, numbers)));
}

void CResultsPage::FitColumns() {
  if (m_fitting || m_fileView == nullptr) return;
  m_fitting = true;
  QHeaderView* header = m_fileView->horizontalHeader();
  const int path = static_cast<int>(app::ResultColumn::kPath);
  int fixed = 0;
  for (int c = 0; c < app::kResultColumnCount; ++c) {
    if (c != path && c != static_cast<int>(app::ResultColumn::kName)) fixed += header->sectionSize(c);
  }
  const int room = std::max(0, m_fileView->viewport()->width() - fixed);
  // The folder gets what it needs, up to two fifths of the room; the name the rest.
  int wanted = header->sectionSizeHint(path);
  const QFontMetrics metrics(m_fileView->font());
  const int rows = std::min(m_fileModel->rowCount(), 300);
  for (int r = 0; r < rows; ++r) {
    const QString text = m_fileModel->index(r, path).data().toString();
    wanted =
        std::max(wanted, metrics.horizontalAdvance(text) + 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 8);
  }
  header->resizeSection(
      path, std::clamp(wanted, header->minimumSectionSize(), std::max(header->minimumSectionSize(), room * 2 / 5)));
  m_fitting = false;
}

void CResultsPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_splittersSet) return;
  m_splittersSet = true;
  // Once the page is laid out at its size: the trees as wide as their labels
  // need, the preview a quarter, the files the rest.
  QTimer::singleShot(0, this, [this] {
    const int width = std::max(m_split->width(), 600);
    const int side = std::clamp(width / 6, 180, 260);
    const int preview = std::clamp(width / 4 - 60, 200, 360);
    m_split->setSizes({side, width - side - preview, preview});
    const int height = std::max(m_side->height(), 300);
    m_side->setSizes({height * 2 / 5, height - height * 2 / 5});
  });
}

bool CResultsPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Resize) {
    if (watched == m_fileView->viewport()) QTimer::singleShot(0, this, &CResultsPage::FitColumns);
    if (watched == m_gridView->viewport()) QTimer::singleShot(0, this, &CResultsPage::RequestVisibleThumbnails);
  }
  return QWidget::eventFilter(watched, event);
}

void CResultsPage::SaveSplitters(app::WindowSettings* settings) const {
  if (!m_splittersSet) return;  // never shown: nothing the user chose
  for (const QSplitter* s : {m_split, m_side}) {
    std::vector<int32_t> sizes;
    for (int v : s->sizes()) sizes.push_back(v);
    settings->splitters[s->objectName().toStdString()] = sizes;
  }
}

void CResultsPage::RestoreSplitters(const app::WindowSettings& settings) {
  for (QSplitter* s : {m_split, m_side}) {
    auto it = settings.splitters.find(s->objectName().toStdString());
    if (it == settings.splitters.end() || static_cast<int>(it->second.size()) != s->count()) continue;
    QList<int> sizes;
    for (int32_t v : it->second) sizes << v;
    s->setSizes(sizes);
    m_splittersSet = true;  // the user's sizes, not the defaults
  }
}

}  // namespace gui
