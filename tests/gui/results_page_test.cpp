// SPDX-License-Identifier: GPL-3.0-or-later
// The results page as a person uses it: it fits the window, the views
// switch, the filters thin the list, the grid shows thumbnails and ticks,
// and a recovery lands in a new folder and says where.
#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QToolButton>

#include "app/dialog_texts.h"
#include "gui/results_page.h"
#include "gui/thumbnail_model.h"
#include "gui/thumbnail_worker.h"
#include "tests/gui/wizard_fixture.h"

namespace gui {
namespace {

using namespace testing_wizard;  // NOLINT: the fixture's helpers
namespace fs = std::filesystem;

class ResultsPage : public Wizard {
 protected:
  void SetUp() override {
    Wizard::SetUp();
    LoadAndScan("BtnDeletedRecovery");
    ASSERT_EQ(Page(), 2);
  }
  void ShowView(const char* button) {
    auto* b = m_wnd->findChild<QToolButton*>(QString::fromLatin1(button));
    ASSERT_NE(b, nullptr);
    b->click();
  }
  QListView* Grid() const { return m_wnd->findChild<QListView*>(QStringLiteral("ThumbnailGrid")); }
  QString Status() const { return m_wnd->findChild<QLabel*>(QStringLiteral("LblStatus"))->text(); }
  // Waits until the grid's worker made n thumbnails.
  bool WaitForThumbnails(size_t n) {
    for (int i = 0; i < 400 && m_wnd->Thumbnails().MadeCount() < n; ++i) QTest::qWait(25);
    return m_wnd->Thumbnails().MadeCount() >= n;
  }
};

// At 1024 and 1280 pixels nothing of the list is cut: the columns of sizes,
// kinds and dates are as wide as their texts, the name takes the rest and
// is elided in the middle, no scroll bar runs sideways, the status line fits.
TEST_F(ResultsPage, FitsTheWindowAt1024And1280Pixels) {
  ShowView("ViewList");
  SelectNode("NodeOffice");
  ASSERT_GT(m_wnd->FileList()->rowCount(), 0);
  for (const QSize size : {QSize(1024, 700), QSize(1280, 800)}) {
    m_wnd->resize(size);
    QTest::qWait(60);
    QTableView* list = List();
    EXPECT_EQ(list->textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0) << size.width();
    const QFontMetrics metrics(list->font());
    for (app::ResultColumn c : {app::ResultColumn::kSize, app::ResultColumn::kType, app::ResultColumn::kModified,
                                app::ResultColumn::kCreated}) {
      const int column = static_cast<int>(c);
      for (int r = 0; r < m_wnd->FileList()->rowCount(); ++r) {
        const QString text = m_wnd->FileList()->index(r, column).data().toString();
        EXPECT_GE(list->columnWidth(column), metrics.horizontalAdvance(text))
            << text.toStdString() << " " << size.width();
      }
    }
    EXPECT_GE(list->columnWidth(static_cast<int>(app::ResultColumn::kName)), 150) << size.width();
    auto* status = m_wnd->findChild<QLabel*>(QStringLiteral("LblStatus"));
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()), status->width()) << size.width();
  }
}

// The grid shows every photo with a thumbnail made off the window thread,
// checks like the list, and follows the filter box.
TEST_F(ResultsPage, SwitchesViewsFiltersAndChecksInTheGrid) {
  WarningCounter warnings;
  QAbstractItemModelTester tester(m_wnd->Grid(), QAbstractItemModelTester::FailureReportingMode::Warning);
  SelectNode("NodePhoto");
  ShowView("ViewGrid");
  EXPECT_TRUE(Grid()->isVisible());
  EXPECT_FALSE(List()->isVisible());
  const int photos = m_wnd->Grid()->rowCount();
  ASSERT_EQ(static_cast<uint64_t>(photos), m_wnd->Model().CountOf(jobs::FileCategory::kPhoto));
  // Photos by date in the grid.
  EXPECT_EQ(m_wnd->FileList()->Table().SortColumn(), app::ResultColumn::kModified);
  ASSERT_TRUE(WaitForThumbnails(static_cast<size_t>(photos)));
  for (int r = 0; r < photos; ++r) {
    const QVariant decoration = m_wnd->Grid()->index(r).data(Qt::DecorationRole);
    EXPECT_EQ(decoration.typeId(), QMetaType::QPixmap) << r;
  }
  // The filter box thins the grid; a tick in the grid is a tick in the list.
  auto* filter = m_wnd->findChild<QLineEdit*>(QStringLiteral("FilterName"));
  QTest::keyClicks(filter, QStringLiteral("VACATION"));
  ASSERT_EQ(m_wnd->Grid()->rowCount(), 1);
  EXPECT_TRUE(Status().contains(QStringLiteral("1 shown"))) << Status().toStdString();
  // Space ticks the cell that has the focus.
  Grid()->setFocus();
  Grid()->setCurrentIndex(m_wnd->Grid()->index(0));
  QTest::keyClick(Grid(), Qt::Key_Space);
  EXPECT_EQ(m_wnd->FileList()->index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(m_wnd->Model().CheckedCount(), 1u);
  EXPECT_TRUE(Status().contains(QStringLiteral("1 checked"))) << Status().toStdString();
  filter->clear();
  EXPECT_EQ(m_wnd->Grid()->rowCount(), photos);
  // Back to the list: nothing more is made for the grid no one sees.
  ShowView("ViewList");
  EXPECT_TRUE(List()->isVisible());
  EXPECT_EQ(m_wnd->Thumbnails().Queue().Pending(), 0u);
  // The quick filters: only the damaged ones (none on this card), then all again.
  m_wnd->findChild<QCheckBox*>(QStringLiteral("FilterDamaged"))->setChecked(true);
  EXPECT_EQ(m_wnd->FileList()->rowCount(), 0);
  m_wnd->findChild<QCheckBox*>(QStringLiteral("FilterDamaged"))->setChecked(false);
  EXPECT_EQ(m_wnd->FileList()->rowCount(), photos);
  EXPECT_EQ(WarningCounter::Count(), 0);
}

// A picture stays in the preview only while its file is shown.
TEST_F(ResultsPage, ThePreviewGoesWithTheViewItWasOf) {
  ShowView("ViewList");
  SelectNode("NodePhoto");
  ASSERT_GE(RowNamed("Deleted Photo.jpg"), 0);
  List()->setCurrentIndex(m_wnd->FileList()->index(RowNamed("Deleted Photo.jpg"), 1));
  EXPECT_EQ(PreviewPane()->property("productKind").toString(), QStringLiteral("picture"));
  SelectNode("NodeOffice");
  EXPECT_TRUE(PreviewPane()->toPlainText().isEmpty());
  EXPECT_TRUE(PreviewPane()->property("productKind").toString().isEmpty());
}

// Enter, Enter: the files go into a new dated folder, never into the home
// folder itself; a checked folder keeps its path; the window ends saying
// how many files went where.
TEST_F(ResultsPage, RecoversIntoANewFolderAndSaysWhere) {
  testing_support::TempDir home;
  const QByteArray oldHome = qgetenv("HOME");
  qputenv("HOME", QByteArray::fromStdString(home.path()));
  SelectNode("NodePhoto");
  for (int r = 0; r < m_wnd->FileList()->rowCount(); ++r) {
    ASSERT_TRUE(m_wnd->FileList()->setData(m_wnd->FileList()->index(r, 0), Qt::Checked, Qt::CheckStateRole));
  }
  const int photos = m_wnd->FileList()->rowCount();
  // The folder Docs/Archive, checked in the folder tree's listing of Docs.
  QTreeView* tree = m_wnd->findChild<QTreeView*>(QStringLiteral("FolderTree"));
  const QModelIndex root = m_wnd->FolderTree()->index(0, 0);
  if (m_wnd->FolderTree()->canFetchMore(root)) m_wnd->FolderTree()->fetchMore(root);
  QModelIndex docs;
  for (int r = 0; r < m_wnd->FolderTree()->rowCount(root); ++r) {
    if (m_wnd->FolderTree()->index(r, 0, root).data().toString() == QStringLiteral("Docs")) {
      docs = m_wnd->FolderTree()->index(r, 0, root);
    }
  }
  ASSERT_TRUE(docs.isValid());
  tree->setCurrentIndex(docs);
  ASSERT_GE(RowNamed("Archive"), 0);
  ASSERT_TRUE(
      m_wnd->FileList()->setData(m_wnd->FileList()->index(RowNamed("Archive"), 0), Qt::Checked, Qt::CheckStateRole));
  m_dialogs.outputFolder = QString::fromStdString(home.path());  // the home folder itself
  QString endText;
  {
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* wnd = qobject_cast<CRecoverProcessWnd*>(top);
        auto* finish = wnd != nullptr ? wnd->findChild<QPushButton*>(QStringLiteral("FinishBtn")) : nullptr;
        if (finish == nullptr || !finish->isVisible()) continue;
        endText = wnd->EndText();
        EXPECT_EQ(finish->text(), QStringLiteral("Close"));
        finish->click();
        watch.stop();
      }
    });
    watch.start();
    Click("BtnRecover");
  }
  qputenv("HOME", oldHome);
  const QString proposed = m_dialogs.proposedFolder;
  EXPECT_TRUE(proposed.startsWith(QString::fromStdString(home.path()) + QStringLiteral("Recovered files ")))
      << proposed.toStdString();
  EXPECT_TRUE(fs::is_directory(proposed.toStdString() + "/photo"));
  EXPECT_TRUE(fs::is_regular_file(proposed.toStdString() + "/Docs/Archive/old_backup.zip"));
  for (const auto& entry : fs::directory_iterator(home.path())) {
    EXPECT_EQ(entry.path().string(), proposed.toStdString()) << "written into the home folder itself";
  }
  EXPECT_EQ(endText, QStringLiteral("%1 files recovered to %2").arg(photos + 1).arg(proposed));
}

// The disk page has one action: the scan of the chosen drive, or its results
// when they are there; another drive is scanned, never shown the first one's
// results; the results name their drive.
TEST_F(Wizard, TheDiskPageHasOneActionAndTheResultsNameTheirDrive) {
  LoadAndScan("BtnDeletedRecovery");
  ASSERT_EQ(Page(), 2);
  EXPECT_TRUE(m_wnd->windowTitle().startsWith(QStringLiteral("card.img"))) << m_wnd->windowTitle().toStdString();
  EXPECT_TRUE(m_wnd->findChild<QLabel*>(QStringLiteral("LblStatus"))->text().contains(QStringLiteral("on card.img")));
  Click("BtnPrev");
  auto* scan = m_wnd->findChild<QPushButton*>(QStringLiteral("BtnScan"));
  EXPECT_EQ(scan->text(), QStringLiteral("Show the results"));
  EXPECT_TRUE(m_wnd->findChild<QPushButton*>(QStringLiteral("BtnRescan"))->isVisible());
  EXPECT_FALSE(m_wnd->findChild<QPushButton*>(QStringLiteral("BtnNext"))->isVisible());
  const jobs::ScanSource* session = m_wnd->Model().Sources().at(0).get();
  Click("BtnScan");  // shown again, not scanned again
  EXPECT_EQ(Page(), 2);
  EXPECT_EQ(m_wnd->Model().Sources().at(0).get(), session);
  // Another drive: its own scan.
  Click("BtnPrev");
  QTreeWidget* list = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  list->setCurrentItem(list->topLevelItem(0)->child(0));
  EXPECT_EQ(scan->text(), QStringLiteral("Scan"));
  EXPECT_FALSE(m_wnd->findChild<QPushButton*>(QStringLiteral("BtnRescan"))->isVisible());
  Click("BtnScan");
  EXPECT_EQ(m_wnd->Model().SessionName().find("card.img"), std::string::npos) << m_wnd->Model().SessionName();
  EXPECT_FALSE(m_wnd->Model().SessionName().empty());
}

// Every control a person can reach with the keyboard has a name a screen
// reader says, in each language; Tab walks the mode cards.
TEST_F(Wizard, EveryControlHasAnAccessibleNameInEveryLanguage) {
  Click("BtnDeletedRecovery");
  Click("BtnLoadImage");
  Click("BtnScan");
  ASSERT_EQ(Page(), 2);
  for (const char* language : {"English", "Deutsch"}) {
    ASSERT_TRUE(m_wnd->SwitchLanguage(language));
    for (int page = 0; page < 3; ++page) {
      m_wnd->findChild<QStackedWidget*>(QStringLiteral("TabPage"))->setCurrentIndex(page);
      for (QWidget* w : m_wnd->findChildren<QWidget*>()) {
        if (!w->isVisible() || !(w->focusPolicy() & Qt::TabFocus)) continue;
        if (w->parentWidget() != nullptr && qobject_cast<QAbstractScrollArea*>(w->parentWidget()) &&
            w != qobject_cast<QAbstractScrollArea*>(w->parentWidget())->viewport()) {
          continue;
        }
        EXPECT_FALSE(w->accessibleName().isEmpty() &&
                     QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty())
            << language << " page " << page << ": " << w->metaObject()->className() << " "
            << w->objectName().toStdString();
      }
    }
  }
}

TEST_F(Wizard, ModeCardsSayWhenToUseThemAndAClickMovesOn) {
  for (const char* card : {"BtnDeletedRecovery", "BtnFormattedRecovery", "BtnDeepRecovery", "BtnCreateImageMode"}) {
    auto* button = m_wnd->findChild<QCommandLinkButton*>(QString::fromLatin1(card));
    ASSERT_NE(button, nullptr) << card;
    EXPECT_FALSE(button->description().isEmpty()) << card;
    EXPECT_FALSE(button->icon().isNull()) << card;
  }
  EXPECT_EQ(m_wnd->findChild<QWidget*>(QStringLiteral("BtnStart")), nullptr);  // a click on a card is the start
  auto* deep = m_wnd->findChild<QCommandLinkButton*>(QStringLiteral("BtnDeepRecovery"));
  deep->setFocus();
  QTest::keyClick(deep, Qt::Key_Space);
  EXPECT_EQ(Page(), 1);
  EXPECT_TRUE(m_wnd->Model().Professional());
}

// The image chooser offers every container the program reads, and its
// dialogs speak the chosen language.
TEST_F(Wizard, TheDialogsSpeakTheChosenLanguage) {
  const std::vector<std::string> filters = app::ImageFileFilters(&m_texts);
  ASSERT_EQ(filters.size(), 2u);
  for (const char* pattern : {"*.img", "*.dd", "*.raw", "*.E01", "*.vhd", "*.vhdx", "*.vmdk", "*.qcow2"}) {
    EXPECT_NE(filters[0].find(pattern), std::string::npos) << pattern;
  }
  EXPECT_EQ(filters[1], "All files (*)");
  ASSERT_TRUE(m_wnd->SwitchLanguage("Deutsch"));
  CDestinationDialog dialog(m_wnd.get(), &m_texts, QStringLiteral("~/Wiederhergestellt"));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Angekreuzte Dateien wiederherstellen"));
  EXPECT_EQ(dialog.Folder(), QDir::homePath() + QStringLiteral("/Wiederhergestellt"));
  EXPECT_EQ(app::ImageFileFilters(&m_texts)[1], "Alle Dateien (*)");
  // Qt's own texts of its file chooser, from Qt's translations (qt6-translations-l10n).
  const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (QFile::exists(translations + QStringLiteral("/qtbase_de.qm"))) {
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Suchen in:"));
  } else {
    ADD_FAILURE() << "qtbase_de.qm is missing from " << translations.toStdString()
                  << ": scripts/install-deps.sh installs qt6-translations-l10n";
  }
  ASSERT_TRUE(m_wnd->SwitchLanguage("English"));
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Look in:"));
}

}  // namespace
}  // namespace gui
