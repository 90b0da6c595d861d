// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window_model.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/result_table.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

using jobs::FileCategory;

class Texts final : public jobs::ITextSource {
 public:
  std::string Text(std::string_view section, std::string_view key) const override {
    if (section == "Messages" && key == "MSG0201") return "Disk";
    if (section == "Messages" && key == "MSG0202") return "Removable disk";
    if (section == "Messages" && key == "MSG0216") return "Select a disk first.";
    if (section == "Messages" && key == "MSG0504") return "No file system.";
    if (section == "MainWnd" && key == "ImageFiles") return "Image files";
    if (section == "MainWnd" && key == "NothingChecked") return "Tick some files first.";
    return {};
  }
};

storage::VolumeEntry Volume(const std::string& disk, int number, char16_t letter, const std::string& description) {
  storage::VolumeEntry v;
  v.target.diskPath = disk;
  v.target.devicePath = disk + std::to_string(number);
  v.target.partitionNumber = number;
  v.target.driveLetter = letter;
  v.target.label = "partition " + std::to_string(number);
  v.description = description;
  v.fileSystem = "FAT32";
  v.byteSize = 1u << 20;
  return v;
}

storage::DiskEntry Disk(const std::string& path, int number, bool removable, int partitions) {
  storage::DiskEntry d;
  d.diskNumber = number;
  d.path = path;
  d.name = path.substr(path.rfind('/') + 1);
  d.removable = removable;
  d.byteLength = 8u << 20;
  for (int i = 1; i <= partitions; ++i) {
    d.volumes.push_back(Volume(path, i, static_cast<char16_t>(u'C' + number * 4 + i - 1), "Part" + std::to_string(i)));
  }
  return d;
}

storage::VolumeEntry Image(const std::string& path) {
  storage::VolumeEntry v;
  v.target.isImage = true;
  v.target.imagePath = path;
  v.target.label = path;
  v.byteSize = 4096;
  return v;
}

jobs::FoundItem Found(const char* name, int32_t id, bool folder = false, uint64_t size = 0, uint16_t letter = 'C') {
  jobs::FoundItem f;
  std::strncpy(f.item.name, name, sizeof f.item.name - 1);
  f.item.id = id;
  f.item.isFolder = folder ? 1 : 0;
  f.item.size = size;
  f.item.driveLetter = letter;
  return f;
}

TEST(MainWindowModel, ModeButtonsSetTheFlagsAndTheDiskPage) {
  Texts texts;
  CMainWindowModel m(&texts);
  EXPECT_EQ(m.Page(), WizardPage::kMode);
  EXPECT_EQ(m.OnButton("BtnPrev").action, WindowAction::kNone);  // already on the first page
  EXPECT_EQ(m.OnButton("BtnDeepRecovery").action, WindowAction::kShowPage);
  EXPECT_TRUE(m.Professional());
  EXPECT_EQ(m.Mode(), jobs::ScanMode::kDeep);
  EXPECT_EQ(m.Page(), WizardPage::kDisk);
  m.OnButton("BtnPrev");
  EXPECT_EQ(m.Page(), WizardPage::kMode);
  m.OnButton("BtnDeletedRecovery");
  EXPECT_FALSE(m.Professional());
  EXPECT_FALSE(m.CreateImageMode());
  m.OnButton("BtnPrev");
  m.OnButton("BtnCreateImageMode");
  EXPECT_TRUE(m.CreateImageMode());
  m.OnButton("BtnPrev");
  for (const char* name : {"BtnFormattedRecovery", "BtnStart"}) {
    m.OnButton("BtnDeletedRecovery");
    m.OnButton("BtnPrev");
    m.OnButton(name);
    EXPECT_TRUE(m.Professional()) << name;
    EXPECT_FALSE(m.CreateImageMode()) << name;
    m.OnButton("BtnPrev");
  }
  EXPECT_EQ(m.OnButton("BtnAdvanceScan").action, WindowAction::kNone);
  EXPECT_EQ(m.OnButton("BtnLoadImage").action, WindowAction::kChooseImageFile);
}

TEST(MainWindowModel, NextScanAndImageNeedASelectedDisk) {
  Texts texts;
  CMainWindowModel m(&texts);
  m.OnButton("BtnDeletedRecovery");
  WindowReaction r = m.OnButton("BtnNext");
  EXPECT_EQ(r.action, WindowAction::kMessage);
  EXPECT_EQ(r.message, "Please select disk media for next step!");
  EXPECT_EQ(m.Page(), WizardPage::kDisk);
  EXPECT_EQ(m.OnButton("BtnScan").message, "Please select disk media for next step!");
  r = m.OnButton("BtnCreateImage");
  EXPECT_EQ(r.action, WindowAction::kMessage);
  EXPECT_EQ(r.message, "Select a disk first.");
  EXPECT_EQ(m.OnButton("BtnRecover").message, "Tick some files first.");

  m.SetDisks({Disk("/dev/sdb", 0, true, 1)}, {});
  m.SelectRow(0);
  EXPECT_EQ(m.OnButton("BtnScan").action, WindowAction::kStartScan);
  EXPECT_EQ(m.OnButton("BtnCreateImage").action, WindowAction::kStartImage);
  // Next without a scan runs the scan; the results page needs results.
  EXPECT_EQ(m.OnButton("BtnNext").action, WindowAction::kStartScan);
  EXPECT_EQ(m.Page(), WizardPage::kDisk);
}

TEST(MainWindowModel, DiskRowsShowDisksPartitionsAndImages) {
  Texts texts;
  CMainWindowModel m(&texts);
  m.SetDisks({Disk("/dev/sda", 0, false, 2), Disk("/dev/sdb", 1, true, 1)}, {Image("/tmp/a b.img")});
  const auto& rows = m.Rows();
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0].kind, DiskRow::Kind::kDisk);
  EXPECT_EQ(rows[0].text, "Disk 0");
  EXPECT_EQ(rows[1].text, "/dev/sda1  Part1 (FAT32)");
  EXPECT_EQ(rows[1].parent, 0);
  EXPECT_EQ(rows[2].text, "/dev/sda2  Part2 (FAT32)");
  EXPECT_EQ(rows[3].text, "Removable disk 1");
  EXPECT_EQ(rows[4].text, "/dev/sdb1  Part1 (FAT32)");
  EXPECT_EQ(rows[4].parent, 3);
  EXPECT_EQ(rows[5].kind, DiskRow::Kind::kImageGroup);
  EXPECT_EQ(rows[5].text, "Image files");
  EXPECT_EQ(rows[6].text, "a b.img");
  EXPECT_EQ(rows[6].parent, 5);
  EXPECT_NE(rows[1].detail.find("/dev/sda1"), std::string::npos);

  // A disk row stands for its partitions in list order; the group for nothing.
  m.SelectRow(0);
  auto volumes = m.SelectedVolumes();
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(volumes[0].target.partitionNumber, 1);
  EXPECT_EQ(volumes[1].target.partitionNumber, 2);
  EXPECT_EQ(m.SelectedDiskIndex(), 0);
  m.SelectRow(5);
  EXPECT_TRUE(m.SelectedVolumes().empty());
  m.SelectRow(6);
  ASSERT_EQ(m.SelectedVolumes().size(), 1u);
  EXPECT_TRUE(m.SelectedVolumes()[0].target.isImage);
  m.SelectRow(99);
  EXPECT_EQ(m.SelectedRow(), -1);
}

TEST(MainWindowModel, ADeviceChangeKeepsTheSelectionAndTheSession) {
  Texts texts;
  CMainWindowModel m(&texts);
  m.SetDisks({Disk("/dev/sda", 0, false, 1), Disk("/dev/sdb", 1, true, 2)}, {});
  m.SelectRow(4);  // sdb's second partition
  ASSERT_EQ(m.SelectedVolumes().size(), 1u);
  const jobs::ScanSourceList sources = m.NewSession();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0]->target.devicePath, "/dev/sdb2");

  // A stick is plugged in before sdb: the same partition stays selected.
  m.SetDisks({Disk("/dev/sda", 0, false, 1), Disk("/dev/sdc", 1, true, 1), Disk("/dev/sdb", 2, true, 2)}, {});
  ASSERT_GE(m.SelectedRow(), 0);
  EXPECT_EQ(m.SelectedVolumes().at(0).target.devicePath, "/dev/sdb2");
  ASSERT_EQ(m.Sources().size(), 1u);
  EXPECT_EQ(m.Sources()[0].get(), sources[0].get());

  // sdb is unplugged: nothing is selected, the session stays.
  m.SetDisks({Disk("/dev/sda", 0, false, 1)}, {});
  EXPECT_EQ(m.SelectedRow(), -1);
  EXPECT_EQ(m.Sources().size(), 1u);
  EXPECT_FALSE(m.NoDisksListed());
  m.SetDisks({}, {});
  EXPECT_TRUE(m.NoDisksListed());
}

TEST(MainWindowModel, AnUnreadableDiskIsMarkedAndReportedAsMissingRights) {
  Texts texts;
  CMainWindowModel m(&texts);
  storage::DiskEntry d = Disk("/dev/sda", 0, false, 0);
  d.status = platform::kErrorAccessDenied;
  m.SetDisks({d}, {});
  EXPECT_TRUE(m.AccessDenied());
  EXPECT_TRUE(m.Rows()[0].unreadable);
}

TEST(MainWindowModel, TypeSelectionMakesTheSearchPattern) {
  Texts texts;
  CMainWindowModel m(&texts);
  // Nothing ticked: every kind, other files included.
  const std::string all = m.SearchPattern();
  EXPECT_NE(all.find("*.jpg"), std::string::npos);
  EXPECT_NE(all.find("*.mp3"), std::string::npos);
  EXPECT_NE(all.find(".other"), std::string::npos);

  m.SetTypeChecked(FileCategory::kPhoto, true);
  const std::string photos = m.SearchPattern();
  EXPECT_NE(photos.find("*.jpg"), std::string::npos);
  EXPECT_EQ(photos.find("*.mp3"), std::string::npos);
  EXPECT_EQ(photos.find(".other"), std::string::npos);
  EXPECT_EQ(photos.find("||"), std::string::npos);

  m.SetTypeChecked(FileCategory::kPhoto, false);
  m.SetTypeChecked(FileCategory::kOther, true);
  EXPECT_EQ(m.SearchPattern(), ".other");
}

TEST(MainWindowModel, SearchResultsAreCountedByTypeAndCheckedByKey) {
  Texts texts;
  CMainWindowModel m(&texts);
  m.OnButton("BtnDeletedRecovery");
  std::vector<jobs::FoundItem> results = {Found("a.jpg", 1),       Found("b.JPG", 2), Found("c.mp3", 3),
                                          Found("d.pdf", 4),       Found("e.zip", 5), Found("noext", 6),
                                          Found("Folder", 7, true)};
  EXPECT_EQ(m.OnSearchEnded(results).action, WindowAction::kShowPage);
  EXPECT_EQ(m.Page(), WizardPage::kResults);
  EXPECT_EQ(m.CountOf(FileCategory::kPhoto), 2u);
  EXPECT_EQ(m.CountOf(FileCategory::kAudio), 1u);
  EXPECT_EQ(m.CountOf(FileCategory::kVideo), 0u);
  EXPECT_EQ(m.CountOf(FileCategory::kDocument), 1u);
  EXPECT_EQ(m.CountOf(FileCategory::kArchive), 1u);
  EXPECT_EQ(m.CountOf(FileCategory::kOther), 1u);  // the folder is not a file
  EXPECT_EQ(m.ResultsOf(FileCategory::kPhoto).size(), 2u);
  EXPECT_EQ(TypeNodeLabel("Photo Files (%d)", 2), "Photo Files (2)");
  EXPECT_EQ(TypeNodeLabel("Fotodateien (%d)", 4), "Fotodateien (4)");  // worded whole, never half-translated
  EXPECT_EQ(TypeNodeLabel("Photo", 2), "Photo (2)");

  m.SetChecked(results[0], true);
  m.SetChecked(results[0], true);  // once only
  m.SetChecked(results[2], true);
  // Same id on another source letter: another item.
  m.SetChecked(Found("a.jpg", 1, false, 0, 'D'), true);
  EXPECT_EQ(m.CheckedCount(), 3u);
  EXPECT_TRUE(m.IsChecked(results[0].item));
  m.SetChecked(results[2], false);
  EXPECT_EQ(m.CheckedCount(), 2u);
  EXPECT_EQ(m.OnButton("BtnRecover").action, WindowAction::kStartRecovery);
  m.SetCategoryChecked(FileCategory::kPhoto, true);  // both photos
  EXPECT_EQ(m.CheckedCount(), 3u);
  m.SetCategoryChecked(FileCategory::kPhoto, false);
  EXPECT_EQ(m.CheckedCount(), 1u);  // the photo of the other letter stays
  EXPECT_FALSE(m.IsChecked(results[0].item));
  // A scan's end starts a new search and forgets what was checked only when there is an engine.
  EXPECT_EQ(m.OnScanEnded().action, WindowAction::kMessage);
  EXPECT_EQ(m.OnScanEnded().message, "No file system.");
}

TEST(ResultTable, SortsByEveryColumnButPathWithFoldersFirst) {
  CResultTable t(2);
  jobs::FoundItem big = Found("b.txt", 1, false, 300);
  big.item.modified = 30;
  jobs::FoundItem small = Found("A.txt", 2, false, 100);
  small.item.modified = 10;
  jobs::FoundItem mid = Found("c.JPG", 3, false, 200);
  mid.item.modified = 20;
  t.SetRows({big, small, Found("zdir", 4, true), mid});
  ASSERT_EQ(t.RowCount(), 4u);
  EXPECT_EQ(t.Row(0).item.Name(), "zdir");  // folders first
  EXPECT_EQ(t.PageCount(), 2u);
  EXPECT_EQ(t.PageRowCount(), 2u);

  ASSERT_TRUE(t.Sort(ResultColumn::kName, true));
  EXPECT_EQ(t.Row(0).item.Name(), "zdir");
  EXPECT_EQ(t.Row(1).item.Name(), "A.txt");  // case does not count
  EXPECT_EQ(t.Row(3).item.Name(), "c.JPG");
  ASSERT_TRUE(t.Sort(ResultColumn::kSize, false));
  EXPECT_EQ(t.Row(1).item.Name(), "b.txt");
  EXPECT_EQ(t.Row(3).item.Name(), "A.txt");
  ASSERT_TRUE(t.Sort(ResultColumn::kModified, true));
  EXPECT_EQ(t.Row(1).item.Name(), "A.txt");
  ASSERT_TRUE(t.Sort(ResultColumn::kType, true));
  EXPECT_EQ(t.Row(1).item.Name(), "c.JPG");  // JPG before TXT
  EXPECT_FALSE(t.Sort(ResultColumn::kPath, true));
  EXPECT_EQ(t.SortColumn(), ResultColumn::kType);

  // Equal keys keep their order both ways.
  CResultTable same;
  same.SetRows({Found("one", 1, false, 5), Found("two", 2, false, 5), Found("three", 3, false, 9)});
  ASSERT_TRUE(same.Sort(ResultColumn::kSize, false));
  EXPECT_EQ(same.Row(0).item.Name(), "three");
  EXPECT_EQ(same.Row(1).item.Name(), "one");
  EXPECT_EQ(same.Row(2).item.Name(), "two");
  ASSERT_TRUE(same.Sort(ResultColumn::kName, true));
  EXPECT_EQ(same.Row(0).item.Name(), "one");
  EXPECT_EQ(same.Row(2).item.Name(), "two");

  t.SetPage(7);
  EXPECT_EQ(t.Page(), 1u);
  EXPECT_EQ(t.PageRowCount(), 2u);
  EXPECT_EQ(&t.PageRow(1), &t.Row(3));
  t.Clear();
  EXPECT_EQ(t.PageCount(), 1u);
  EXPECT_EQ(t.PageRowCount(), 0u);
}

TEST(ResultTable, ShowsASubsetOfSharedRowsWithoutCopies) {
  auto all = std::make_shared<const std::vector<jobs::FoundItem>>(
      std::vector<jobs::FoundItem>{Found("a.jpg", 1), Found("dir", 2, true), Found("b.jpg", 3), Found("c.jpg", 4)});
  CResultTable t;
  t.SetRows(all, {3, 1, 0, 99});  // 99 is past the end: left out
  ASSERT_EQ(t.RowCount(), 3u);
  EXPECT_EQ(&t.Row(0), &(*all)[1]);  // the folder first, the row itself
  EXPECT_EQ(&t.Row(1), &(*all)[3]);
  EXPECT_EQ(&t.Row(2), &(*all)[0]);
  ASSERT_TRUE(t.Sort(ResultColumn::kName, false));
  EXPECT_EQ(t.Row(1).item.Name(), "c.jpg");
  EXPECT_EQ(t.Row(2).item.Name(), "a.jpg");
  t.SetRows(nullptr, {0});
  EXPECT_EQ(t.RowCount(), 0u);
}

TEST(ResultTable, CellsEscapeNamesFromDisk) {
  jobs::FoundItem f = Found("bad\x1b[2Jname.txt", 1, false, 2048);
  f.folderPath = "Docs/";
  EXPECT_EQ(CResultTable::CellText(f, ResultColumn::kName).find('\x1b'), std::string::npos);
  EXPECT_EQ(CResultTable::CellText(f, ResultColumn::kPath), "/Docs/");
  EXPECT_EQ(CResultTable::CellText(f, ResultColumn::kSize), "2.00 KiB");
  EXPECT_EQ(CResultTable::CellText(f, ResultColumn::kType), "TXT");
  EXPECT_EQ(CResultTable::CellText(f, ResultColumn::kModified), "");
  EXPECT_EQ(ResultColumnName(ResultColumn::kCreated), "CreatedTime");
}

// The wizard's road on a real FAT16 image: load it, scan, search, counts.
TEST(MainWindowModel, ScansAndCollectsARealImage) {
  const std::string image = testing_support::UnpackedFixture("fat16.img.gz");
  ASSERT_FALSE(image.empty());
  testing_support::ScopedDataHome home;
  Texts texts;
  CMainWindowModel m(&texts);
  storage::CDiskList list;
  storage::VolumeEntry added;
  ASSERT_EQ(list.AddImage(image, &added), platform::kStatusOk);
  m.SetDisks({}, list.Images());
  m.OnButton("BtnDeletedRecovery");
  m.SelectRow(1);
  ASSERT_EQ(m.OnButton("BtnScan").action, WindowAction::kStartScan);
  const jobs::ScanSourceList sources = m.NewSession();
  ASSERT_EQ(sources.size(), 1u);
  jobs::testing::ScriptedView scanView;
  jobs::CScanJob scan({sources, m.Mode(), jobs::ReusePolicy::kFresh}, scanView, &texts);
  ASSERT_EQ(scan.Start(), platform::kStatusOk);
  EXPECT_EQ(scan.Wait(), jobs::JobResult::kFinished);
  ASSERT_EQ(m.OnScanEnded().action, WindowAction::kStartSearch);
  jobs::testing::ScriptedView searchView;
  jobs::CSearchJob search({m.Sources(), m.SearchPattern(), true}, searchView, &texts);
  ASSERT_EQ(search.Start(), platform::kStatusOk);
  EXPECT_EQ(search.Wait(), jobs::JobResult::kFinished);
  m.OnSearchEnded(std::move(search.Results()));
  // Every deleted file of the manifest, counted by type.
  std::map<FileCategory, uint64_t> expected;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("fat16.manifest.tsv"))) {
    if (row.state == "deleted" && row.size != "-") ++expected[jobs::CategoryOf(row.path)];
  }
  for (const TypeNode& node : TypeNodes()) {
    EXPECT_EQ(m.CountOf(node.category), expected[node.category]) << node.nodeName;
  }
  EXPECT_EQ(m.Page(), WizardPage::kResults);
}

}  // namespace
}  // namespace app

namespace app {
namespace {

// The disk page's one action shows the results of the drive they are of,
// in the mode they were made in, and scans any other drive.
TEST(MainWindowModel, TheOneActionShowsOnlyTheChosenDrivesResults) {
  testing_support::ScopedDataHome home;
  Texts texts;
  CMainWindowModel m(&texts);
  storage::CDiskList list;
  storage::VolumeEntry card, other;
  ASSERT_EQ(list.AddImage(testing_support::UnpackedFixture("fat16.img.gz"), &card), platform::kStatusOk);
  ASSERT_EQ(list.AddImage(testing_support::UnpackedFixture("fat12.img.gz"), &other), platform::kStatusOk);
  m.SetDisks({}, list.Images());
  m.OnButton("BtnDeletedRecovery");
  m.SelectRow(1);  // the card (row 0 is the group of image files)
  EXPECT_FALSE(m.SelectionHasResults());
  ASSERT_EQ(m.OnButton("BtnScan").action, WindowAction::kStartScan);
  const jobs::ScanSourceList sources = m.NewSession();
  jobs::testing::ScriptedView view;
  jobs::CScanJob scan({sources, m.Mode(), jobs::ReusePolicy::kFresh}, view, &texts);
  ASSERT_EQ(scan.Start(), platform::kStatusOk);
  ASSERT_EQ(scan.Wait(), jobs::JobResult::kFinished);
  EXPECT_EQ(m.SessionName(), "fixture_fat16.img");
  EXPECT_TRUE(m.SelectionHasResults());
  EXPECT_EQ(m.OnButton("BtnScan").action, WindowAction::kShowPage);
  EXPECT_EQ(m.Page(), WizardPage::kResults);
  m.OnButton("BtnPrev");
  EXPECT_EQ(m.OnButton("BtnNext").action, WindowAction::kShowPage);  // Next is the same one action
  m.OnButton("BtnPrev");
  EXPECT_EQ(m.OnButton("BtnRescan").action, WindowAction::kStartScan);
  // Another drive, or the same one in another mode: a scan, never the card's results.
  m.SelectRow(2);
  EXPECT_FALSE(m.SelectionHasResults());
  EXPECT_EQ(m.OnButton("BtnScan").action, WindowAction::kStartScan);
  EXPECT_EQ(m.OnButton("BtnNext").action, WindowAction::kStartScan);
  m.SelectRow(1);
  // A device change rebuilds the rows; the card keeps its results.
  m.SetDisks({}, list.Images());
  EXPECT_TRUE(m.SelectionHasResults());
  m.OnButton("BtnPrev");
  m.OnButton("BtnDeepRecovery");
  EXPECT_FALSE(m.SelectionHasResults());
}

}  // namespace
}  // namespace app
