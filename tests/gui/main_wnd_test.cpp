// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/main_wnd.h"

#include "tests/gui/wizard_fixture.h"

namespace gui {
namespace {

using namespace testing_wizard;  // NOLINT: the fixture's helpers
namespace fs = std::filesystem;

TEST_F(Wizard, RecoversTheDeletedFilesOfAnImageByteForByte) {
  EXPECT_EQ(m_wnd->windowTitle(), QStringLiteral("Quellmoor"));
  // 1100 x 720 at first, or the screen when it is smaller.
  const QRect screen = QApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(m_wnd->size(), QSize(std::min(1100, screen.width()), std::min(720, screen.height())));
  EXPECT_EQ(Page(), 0);
  Click("BtnDeletedRecovery");
  EXPECT_EQ(Page(), 1);
  Click("BtnNext");
  EXPECT_TRUE(m_dialogs.Shown(QStringLiteral("Please select disk media for next step!")));
  // The fixture disk is listed with its partitions as child rows.
  QTreeWidget* list = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  ASSERT_GE(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("Disk 0"));
  EXPECT_GE(list->topLevelItem(0)->childCount(), 2);
  Click("BtnLoadImage");
  QTreeWidget* disks = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  ASSERT_NE(disks->currentItem(), nullptr);
  EXPECT_EQ(disks->currentItem()->text(0), QStringLiteral("card.img"));
  Click("BtnScan");
  ASSERT_EQ(Page(), 2);

  // The manifest's deleted files, by category.
  std::map<jobs::FileCategory, std::vector<testing_support::ManifestRow>> deleted;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("fat16.manifest.tsv"))) {
    if (row.state != "deleted" || row.size == "-") continue;
    deleted[jobs::CategoryOf(row.path)].push_back(row);
  }
  EXPECT_EQ(m_wnd->TypeNode("NodePhoto")->text(0),
            QStringLiteral("Photo Files (%1)").arg(deleted[jobs::FileCategory::kPhoto].size()));
  EXPECT_EQ(m_wnd->TypeNode("NodeOffice")->text(0),
            QStringLiteral("Document Files (%1)").arg(deleted[jobs::FileCategory::kDocument].size()));

  // The photo's preview is a picture.
  SelectNode("NodePhoto");
  ASSERT_GE(RowNamed("Deleted Photo.jpg"), 0);
  List()->setCurrentIndex(m_wnd->FileList()->index(RowNamed("Deleted Photo.jpg"), 1));
  EXPECT_EQ(PreviewPane()->property("productKind").toString(), QStringLiteral("picture"));
  // A document's preview shows its content (the PDF's first page, or its text).
  SelectNode("NodeOffice");
  ASSERT_GE(RowNamed("draft.txt"), 0);
  List()->setCurrentIndex(m_wnd->FileList()->index(RowNamed("draft.txt"), 1));
  EXPECT_NE(PreviewPane()->property("productKind").toString(), QStringLiteral("failed"));
  EXPECT_FALSE(PreviewPane()->toPlainText().isEmpty());
  ASSERT_GE(RowNamed("old_report.pdf"), 0);
  List()->setCurrentIndex(m_wnd->FileList()->index(RowNamed("old_report.pdf"), 1));
  EXPECT_NE(PreviewPane()->property("productKind").toString(), QStringLiteral("failed"));

  // Nothing checked: the recovery says so.
  Click("BtnRecover");
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("MainWnd", "NothingChecked"))));
  // Tick every file: the photos one by one in the list, the other types by their node's box.
  SelectNode("NodePhoto");
  for (int r = 0; r < m_wnd->FileList()->rowCount(); ++r) {
    ASSERT_TRUE(m_wnd->FileList()->setData(m_wnd->FileList()->index(r, 0), Qt::Checked, Qt::CheckStateRole));
  }
  for (const char* node : {"NodeAudio", "NodeVideo", "NodeOffice", "NodeZip", "NodeOther"}) {
    m_wnd->TypeNode(node)->setCheckState(0, Qt::Checked);
  }
  SelectNode("NodeOffice");
  ASSERT_GT(m_wnd->FileList()->rowCount(), 0);
  EXPECT_EQ(m_wnd->FileList()->data(m_wnd->FileList()->index(0, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  size_t expected = 0;
  for (const auto& [category, rows] : deleted) expected += rows.size();
  EXPECT_EQ(m_wnd->Model().CheckedCount(), expected);
  // Switching the language keeps what is checked.
  ASSERT_TRUE(m_wnd->SwitchLanguage("Deutsch"));
  ASSERT_TRUE(m_wnd->SwitchLanguage("English"));
  EXPECT_EQ(m_wnd->Model().CheckedCount(), expected);

  testing_support::TempDir out;
  m_dialogs.outputFolder = QString::fromStdString(out.path());
  {
    AutoClicker open(QStringLiteral("OpenBtn"));
    AutoClicker finish(QStringLiteral("FinishBtn"));
    Click("BtnRecover");
  }
  // Every deleted file is there, byte for byte, in its category's folder. Two
  // deleted short names may both read "!.txt": files are matched by content.
  for (const auto& [category, rows] : deleted) {
    const std::string folder = out.path() + std::string(jobs::CategoryFolder(category));
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    std::multiset<std::string> hashes;
    for (const auto& entry : fs::directory_iterator(folder)) hashes.insert(testing_support::Sha256OfFile(entry.path()));
    EXPECT_EQ(hashes.size(), rows.size()) << folder;
    for (const auto& row : rows) {
      auto it = hashes.find(row.sha256);
      EXPECT_NE(it, hashes.end()) << row.path;
      if (it != hashes.end()) hashes.erase(it);
    }
  }
  EXPECT_EQ(m_dialogs.opened.size(), 1u);
}

TEST_F(Wizard, ModelsPassTheModelTesterAndSortAndBrowse) {
  WarningCounter warnings;
  LoadAndScan("BtnDeletedRecovery");
  ASSERT_EQ(Page(), 2);
  QAbstractItemModelTester folderTester(m_wnd->FolderTree(), QAbstractItemModelTester::FailureReportingMode::Warning);
  QAbstractItemModelTester listTester(m_wnd->FileList(), QAbstractItemModelTester::FailureReportingMode::Warning);
  // Expand the whole folder tree (lazily listed) and open each folder.
  QTreeView* tree = m_wnd->findChild<QTreeView*>(QStringLiteral("FolderTree"));
  tree->expandAll();
  QTest::qWait(20);
  ASSERT_EQ(m_wnd->FolderTree()->rowCount(), 1);
  const QModelIndex root = m_wnd->FolderTree()->index(0, 0);
  if (m_wnd->FolderTree()->canFetchMore(root)) m_wnd->FolderTree()->fetchMore(root);
  QStringList folders;
  for (int r = 0; r < m_wnd->FolderTree()->rowCount(root); ++r) {
    folders << m_wnd->FolderTree()->index(r, 0, root).data().toString();
  }
  EXPECT_TRUE(folders.contains(QStringLiteral("Docs"))) << folders.join(',').toStdString();
  // Docs lists its deleted files.
  const int docs = static_cast<int>(folders.indexOf(QStringLiteral("Docs")));
  ASSERT_GE(docs, 0);
  tree->setCurrentIndex(m_wnd->FolderTree()->index(docs, 0, root));
  EXPECT_GE(RowNamed("draft.txt"), 0);
  EXPECT_GE(RowNamed("old_report.pdf"), 0);
  // Sorting by size, both ways; the path column does not sort.
  SelectNode("NodeOffice");
  m_wnd->FileList()->sort(2, Qt::DescendingOrder);
  uint64_t last = UINT64_MAX;
  for (int r = 0; r < m_wnd->FileList()->rowCount(); ++r) {
    const uint64_t size = m_wnd->FileList()->RowAt(m_wnd->FileList()->index(r, 0))->item.size;
    EXPECT_LE(size, last);
    last = size;
  }
  // Header clicks: "Size" sorts with its mark; "Path" leaves the mark on "Size".
  QHeaderView* header = List()->horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(2) + 5, 5));
  EXPECT_EQ(m_wnd->FileList()->Table().SortColumn(), app::ResultColumn::kSize);
  EXPECT_EQ(header->sortIndicatorSection(), 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(1) + 5, 5));
  EXPECT_EQ(m_wnd->FileList()->Table().SortColumn(), app::ResultColumn::kSize);
  EXPECT_EQ(header->sortIndicatorSection(), 2);
  m_wnd->FileList()->sort(0, Qt::AscendingOrder);
  m_wnd->FileList()->sort(1, Qt::AscendingOrder);
  EXPECT_EQ(m_wnd->FileList()->Table().SortColumn(), app::ResultColumn::kName);
  EXPECT_EQ(WarningCounter::Count(), 0);
}

TEST_F(Wizard, CancellingADeepScanKeepsWhatWasFound) {
  // A volume of 258 MiB: its deep scan runs long enough to be cancelled.
  const std::string big = testing_support::UnpackedFixture("fat32_4k.img.gz");
  ASSERT_FALSE(big.empty());
  m_dialogs.imageFile = QString::fromStdString(big);
  Click("BtnDeepRecovery");
  Click("BtnLoadImage");
  {
    AutoClicker cancel(QStringLiteral("cancelbtn"));
    Click("BtnScan");
  }
  ASSERT_FALSE(m_wnd->Model().Sources().empty());
  const std::string question = m_texts.Text("Messages", "MSG0709");
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(question)));
  // Stopped while scanning, or before the volume was reached.
  const jobs::SourceOutcome outcome = m_wnd->Model().Sources()[0]->outcome;
  EXPECT_TRUE(outcome == jobs::SourceOutcome::kCancelled || outcome == jobs::SourceOutcome::kNotScanned)
      << static_cast<int>(outcome);
}

TEST_F(Wizard, DeepScanFindsTheFiles) {
  LoadAndScan("BtnDeepRecovery");
  ASSERT_EQ(Page(), 2);
  EXPECT_TRUE(m_wnd->Model().Professional());
  EXPECT_GE(m_wnd->Model().CountOf(jobs::FileCategory::kPhoto), 1u);
  EXPECT_GE(m_wnd->Model().CountOf(jobs::FileCategory::kDocument), 1u);
}

// The disk's partition table was wiped: deep recovery of the disk row finds
// its volumes and their files, as the intact disk's partitions give them.
TEST_F(Wizard, DeepRecoveryOfADiskWithoutItsPartitionTableFindsItsVolumes) {
  auto bytes = testing_support::ReadFileBytes(m_disk);
  std::fill(bytes.begin(), bytes.begin() + 512, uint8_t{0});
  const std::string zeroed = m_work.path() + "zeroed.img";
  testing_support::WriteFileBytes(zeroed, bytes);
  platform::SetDiskTableOverride({zeroed});
  m_wnd->RefreshDisks();
  Click("BtnDeepRecovery");
  QTreeWidget* list = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  ASSERT_GE(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->childCount(), 0);  // no partition is listed
  list->setCurrentItem(list->topLevelItem(0));
  Click("BtnScan");
  EXPECT_FALSE(m_dialogs.Shown(QStringLiteral("Please select disk media")));
  ASSERT_EQ(Page(), 2);
  std::set<std::string> sources;
  for (const auto& s : m_wnd->Model().Sources()) {
    if (s->engine) sources.insert(s->target.label);
  }
  EXPECT_EQ(sources, (std::set<std::string>{"disk 0 volume at sector 2048", "disk 0 volume at sector 34816"}));
  EXPECT_GE(m_wnd->Model().CountOf(jobs::FileCategory::kPhoto), 2u);
  EXPECT_EQ(testing_support::Sha256OfFile(zeroed), testing_support::Sha256OfBytes(bytes));
}

// Imaging a failing card reads past what it cannot read, as the command
// line's --keep-going; a stopped copy's partial file is offered for deletion.
TEST_F(Wizard, ImagingOffersKeepGoingAndDeletesTheStoppedCopy) {
  const std::string big = testing_support::UnpackedFixture("fat32_4k.img.gz");
  ASSERT_FALSE(big.empty());
  m_dialogs.imageFile = QString::fromStdString(big);
  Click("BtnDeletedRecovery");
  EXPECT_FALSE(m_wnd->findChild<QWidget*>(QStringLiteral("ChkKeepGoing"))->isVisibleTo(m_wnd.get()));
  Click("BtnCreateImageMode");
  auto* keepGoing = m_wnd->findChild<QCheckBox*>(QStringLiteral("ChkKeepGoing"));
  ASSERT_TRUE(keepGoing->isVisibleTo(m_wnd.get()));
  EXPECT_FALSE(keepGoing->text().isEmpty());
  keepGoing->setChecked(true);
  EXPECT_TRUE(m_wnd->Model().KeepGoing());
  Click("BtnLoadImage");
  testing_support::TempDir out;
  m_dialogs.imageTarget = QString::fromStdString(out.path() + "stopped.img");
  m_dialogs.answers = {jobs::Answer::kOk, jobs::Answer::kOk};  // stop the copy; delete its partial file
  {
    AutoClicker cancel(QStringLiteral("cancelbtn"));
    Click("BtnCreateImage");
  }
  const std::string question = m_texts.Text("Messages", "MSG1339");
  ASSERT_FALSE(question.empty());
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(question.substr(0, question.find('%')))));
  EXPECT_FALSE(fs::exists(out.path() + "stopped.img.partial"));
  EXPECT_FALSE(fs::exists(out.path() + "stopped.img"));
}

TEST_F(Wizard, CreatesAnImageOfALoadedImage) {
  Click("BtnCreateImageMode");
  EXPECT_FALSE(m_wnd->findChild<QWidget*>(QStringLiteral("BtnScan"))->isVisibleTo(m_wnd.get()));
  Click("BtnCreateImage");
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("Messages", "MSG0216"))));
  Click("BtnLoadImage");
  testing_support::TempDir out;
  m_dialogs.imageTarget = QString::fromStdString(out.path() + "copy");  // ".img" is added
  m_dialogs.answers = {jobs::Answer::kNo};                              // not scanned now
  Click("BtnCreateImage");
  const std::string written = out.path() + "copy.img";
  ASSERT_TRUE(fs::exists(written));
  EXPECT_EQ(testing_support::Sha256OfFile(written), m_imageHash);
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("Messages", "MSG0214"))));
  // The new image joins the disk list.
  EXPECT_EQ(m_wnd->Model().Images().size(), 2u);

  // The new image is selected: it cannot be written onto itself.
  EXPECT_EQ(Page(), 1);
  m_dialogs.shown.clear();
  Click("BtnCreateImage");
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("Messages", "MSG0218"))));

  // The card again onto the same file: replacing it is asked first; then the new image is scanned at once.
  QTreeWidget* list = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  const QList<QTreeWidgetItem*> cards =
      list->findItems(QStringLiteral("card.img"), Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_EQ(cards.size(), 1);
  list->setCurrentItem(cards.front());
  m_dialogs.shown.clear();
  m_dialogs.answers = {jobs::Answer::kOk, jobs::Answer::kOk};
  Click("BtnCreateImage");
  EXPECT_TRUE(m_dialogs.Shown(QStringLiteral("copy.img")));  // the replace question names it
  EXPECT_EQ(testing_support::Sha256OfFile(written), m_imageHash);
  EXPECT_EQ(Page(), 2);
  EXPECT_FALSE(m_wnd->Model().Professional());
  EXPECT_GE(m_wnd->Model().CountOf(jobs::FileCategory::kPhoto), 1u);
}

TEST_F(Wizard, SwitchesLanguageAndBack) {
  auto* scan = m_wnd->findChild<QPushButton*>(QStringLiteral("BtnScan"));
  EXPECT_EQ(scan->text(), QStringLiteral("Scan"));
  ASSERT_TRUE(m_wnd->SwitchLanguage("Deutsch"));
  EXPECT_EQ(scan->text(), QStringLiteral("Durchsuchen"));
  EXPECT_EQ(m_wnd->TypeNode("NodePhoto")->text(0), QStringLiteral("Fotodateien (0)"));
  EXPECT_EQ(m_wnd->findChild<QCheckBox*>(QStringLiteral("ChkMusic"))->text(), QStringLiteral("Musik"));
  EXPECT_EQ(m_wnd->FileList()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
  EXPECT_EQ(m_wnd->FileList()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Größe"));
  ASSERT_TRUE(m_wnd->SwitchLanguage("English"));
  EXPECT_EQ(scan->text(), QStringLiteral("Scan"));
  EXPECT_FALSE(m_wnd->SwitchLanguage("../etc/passwd"));
}

}  // namespace
}  // namespace gui

namespace gui {
namespace {

// A second fast scan of the same image offers the stored results: the job
// asks on its worker while the window answers; OK reopens them.
TEST_F(Wizard, OffersTheStoredResultsOfAnEarlierScan) {
  LoadAndScan("BtnDeletedRecovery");
  ASSERT_EQ(Page(), 2);
  const uint64_t photos = m_wnd->Model().CountOf(jobs::FileCategory::kPhoto);
  Click("BtnPrev");
  m_dialogs.answers = {jobs::Answer::kOk};
  Click("BtnRescan");
  EXPECT_TRUE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("Messages", "MSG1206"))));
  ASSERT_EQ(m_wnd->Model().Sources().size(), 1u);
  EXPECT_EQ(m_wnd->Model().Sources()[0]->outcome, jobs::SourceOutcome::kReused);
  EXPECT_EQ(m_wnd->Model().CountOf(jobs::FileCategory::kPhoto), photos);
  // Closing the question means "not now": the source is left alone and nothing is deleted.
  Click("BtnPrev");
  m_dialogs.answers = {jobs::Answer::kClosed};
  Click("BtnRescan");
  ASSERT_EQ(m_wnd->Model().Sources().size(), 1u);
  EXPECT_EQ(m_wnd->Model().Sources()[0]->outcome, jobs::SourceOutcome::kSkipped);
  // ... and is not reported as a volume without a file system.
  EXPECT_FALSE(m_dialogs.Shown(QString::fromStdString(m_texts.Text("Messages", "MSG0504"))));
  EXPECT_EQ(Page(), 1);
}

// A device change rebuilds the disk list and never touches the results.
TEST_F(Wizard, ADeviceChangeRefreshesTheListNotTheResults) {
  LoadAndScan("BtnDeletedRecovery");
  ASSERT_EQ(Page(), 2);
  const jobs::ScanSource* source = m_wnd->Model().Sources().at(0).get();
  const size_t results = m_wnd->Model().Results().size();
  // The disk goes away, then comes back.
  platform::SetDiskTableOverride({m_image});
  m_wnd->RefreshDisks();
  platform::SetDiskTableOverride({m_disk});
  m_wnd->RefreshDisks();
  QTreeWidget* list = m_wnd->findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  ASSERT_GE(list->topLevelItemCount(), 2);  // the disk, then the loaded images
  EXPECT_GE(list->topLevelItem(0)->childCount(), 1);
  EXPECT_FALSE(m_wnd->findChild<QWidget*>(QStringLiteral("LblRights"))->isVisibleTo(m_wnd.get()));
  EXPECT_EQ(m_wnd->Model().Sources().at(0).get(), source);
  EXPECT_EQ(m_wnd->Model().Results().size(), results);
  EXPECT_EQ(m_wnd->FolderTree()->rowCount(), 1);
  // The loaded image is still selected.
  ASSERT_NE(list->currentItem(), nullptr);
  EXPECT_EQ(list->currentItem()->text(0), QStringLiteral("card.img"));
}

// The ticked file types choose what the search collects.
TEST_F(Wizard, TheTickedTypesChooseWhatIsCollected) {
  Click("BtnDeletedRecovery");
  m_wnd->findChild<QCheckBox*>(QStringLiteral("ChkPhoto"))->setChecked(true);
  Click("BtnLoadImage");
  Click("BtnScan");
  ASSERT_EQ(Page(), 2);
  EXPECT_GE(m_wnd->Model().CountOf(jobs::FileCategory::kPhoto), 1u);
  EXPECT_EQ(m_wnd->Model().CountOf(jobs::FileCategory::kDocument), 0u);
  EXPECT_EQ(m_wnd->Model().CountOf(jobs::FileCategory::kArchive), 0u);
  EXPECT_EQ(m_wnd->TypeNode("NodeOffice")->text(0), QStringLiteral("Document Files (0)"));
}

// Keyboard: the pages are reached without a mouse.
TEST_F(Wizard, KeyboardReachesEveryPage) {
  auto* deleted = m_wnd->findChild<QPushButton*>(QStringLiteral("BtnDeletedRecovery"));
  deleted->setFocus();
  QTest::keyClick(deleted, Qt::Key_Space);
  EXPECT_EQ(Page(), 1);
  m_wnd->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(m_wnd.get()));
  QTest::keyClick(m_wnd.get(), Qt::Key_Left, Qt::AltModifier);
  EXPECT_EQ(Page(), 0);
}

}  // namespace
}  // namespace gui
