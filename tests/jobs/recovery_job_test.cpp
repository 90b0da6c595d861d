// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>

#include "jobs/folder_browser.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "platform/file_time.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

namespace fs = std::filesystem;
using testing::MapTexts;
using testing::ScopedDisks;
using testing::ScriptedView;

// disk3_mbr.img scanned once per test: three FAT12 partitions.
class RecoveryJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string disk = testing_support::UnpackedFixture("disk3_mbr.img.gz");
    ASSERT_FALSE(disk.empty());
    m_disks = std::make_unique<ScopedDisks>(disk);
    std::vector<storage::VolumeEntry> volumes;
    std::string table;
    ASSERT_EQ(storage::ListDiskVolumes(0, &volumes, &table), 0);
    m_sources = MakeScanSources(volumes);
    ScriptedView view;
    MapTexts texts;
    CScanJob scan({m_sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
    ASSERT_EQ(scan.Start(), 0);
    ASSERT_EQ(scan.Wait(), JobResult::kFinished);
    for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("disk3_mbr.manifest.tsv"))) {
      m_sha[row.path] = row.sha256;
    }
    m_out = m_dir.path() + "out";
  }

  // The items of a folder of partition n (1-based), by path.
  std::vector<FoundItem> Items(size_t partition, const std::string& folder) {
    std::vector<FoundItem> items;
    EXPECT_EQ(ListFolderAt(m_sources[partition - 1], folder, &items), 0);
    return items;
  }
  FoundItem Item(size_t partition, const std::string& folder, const std::string& name, size_t nth = 0) {
    for (const auto& f : Items(partition, folder)) {
      if (f.item.Name() == name && nth-- == 0) return f;
    }
    ADD_FAILURE() << "no " << name << " in " << folder;
    return {};
  }

  JobResult Recover(std::vector<FoundItem> items, ScriptedView& view,
                    RecoveryLayout layout = RecoveryLayout::kByCategory,
                    std::unique_ptr<CRecoveryJob>* keep = nullptr, size_t batchFiles = 0) {
    MapTexts texts;
    auto job = std::make_unique<CRecoveryJob>(RecoveryJobInput{std::move(items), m_out, layout, batchFiles}, view,
                                              &texts);
    EXPECT_EQ(job->Start(), 0);
    const JobResult r = job->Wait();
    if (keep != nullptr) *keep = std::move(job);
    return r;
  }

  std::string Sha(const std::string& relative) { return testing_support::Sha256OfFile(m_out + "/" + relative); }

  // Every file below the output folder, relative, sorted.
  std::set<std::string> Written() {
    std::set<std::string> files;
    if (!fs::exists(m_out)) return files;
    for (const auto& e : fs::recursive_directory_iterator(m_out)) {
      if (!e.is_directory()) files.insert(fs::relative(e.path(), m_out).string());
    }
    return files;
  }

  testing_support::ScopedDataHome m_data;
  testing_support::TempDir m_dir;
  std::unique_ptr<ScopedDisks> m_disks;
  ScanSourceList m_sources;
  std::map<std::string, std::string> m_sha;
  std::string m_out;
};

// CAT.JPG and BAT.JPG both show as "!at.jpg" once deleted: each keeps its own bytes.
TEST_F(RecoveryJobTest, DeletedFilesThatLookAlikeBothComeBackWhole) {
  ScriptedView view;
  std::unique_ptr<CRecoveryJob> job;
  EXPECT_EQ(Recover({Item(1, "", "!at.jpg", 0), Item(1, "", "!at.jpg", 1)}, view, RecoveryLayout::kByCategory, &job),
            JobResult::kFinished);
  EXPECT_EQ(Written(), (std::set<std::string>{"photo/!at.jpg", "photo/!at(1).jpg"}));
  EXPECT_EQ((std::set<std::string>{Sha("photo/!at.jpg"), Sha("photo/!at(1).jpg")}),
            (std::set<std::string>{m_sha["p1:/CAT.JPG"], m_sha["p1:/BAT.JPG"]}));
  ASSERT_EQ(job->Rows().size(), 2u);
  for (const auto& row : job->Rows()) EXPECT_EQ(row.status, "Success");
  EXPECT_EQ(view.shownRows.size(), 2u);
  EXPECT_EQ(job->Processed(), 2);
  EXPECT_EQ(job->Failed(), 0);
  // Finish shows at the end, Cancel goes.
  ASSERT_GE(view.controls.size(), 2u);
  EXPECT_EQ(view.controls[view.controls.size() - 2], std::make_pair(ViewControl::kFinishButton, true));
  EXPECT_EQ(view.controls.back(), std::make_pair(ViewControl::kCancelButton, false));
}

TEST_F(RecoveryJobTest, ASecondCopyOfANameGetsTheNextNumberBeforeItsExtension) {
  FoundItem photo = Item(2, "", "!ic.jpg");
  engine::SetItemName(photo.item, "a.jpg");
  FoundItem archive = Item(2, "", "!otes.txt");
  engine::SetItemName(archive.item, "x.tar.gz");
  ScriptedView view;
  EXPECT_EQ(Recover({photo, photo, archive, archive}, view), JobResult::kFinished);
  EXPECT_EQ(Written(),
            (std::set<std::string>{"photo/a.jpg", "photo/a(1).jpg", "archive/x.tar.gz", "archive/x.tar(1).gz"}));
  EXPECT_EQ(Sha("photo/a(1).jpg"), m_sha["p2:/PIC.JPG"]);
  EXPECT_EQ(Sha("archive/x.tar(1).gz"), m_sha["p2:/NOTES.TXT"]);
  // And again into the same folder: nothing is overwritten.
  ScriptedView again;
  EXPECT_EQ(Recover({photo}, again), JobResult::kFinished);
  EXPECT_TRUE(Written().count("photo/a(2).jpg"));
}

// Batches are named on a thread of their own while the next is written:
// the names being given still count as taken, and every file gets its
// number, its row and its bytes.
TEST_F(RecoveryJobTest, FilesNamedWhileTheNextBatchIsWrittenKeepTheirNumbersAndRows) {
  FoundItem photo = Item(2, "", "!ic.jpg");
  engine::SetItemName(photo.item, "a.jpg");
  ScriptedView view;
  std::unique_ptr<CRecoveryJob> job;
  EXPECT_EQ(Recover(std::vector<FoundItem>(40, photo), view, RecoveryLayout::kByCategory, &job, 3),
            JobResult::kFinished);
  std::set<std::string> expected{"photo/a.jpg"};
  for (int i = 1; i < 40; ++i) expected.insert("photo/a(" + std::to_string(i) + ").jpg");
  EXPECT_EQ(Written(), expected);
  for (const std::string& name : expected) EXPECT_EQ(Sha(name), m_sha["p2:/PIC.JPG"]) << name;
  ASSERT_EQ(job->Rows().size(), 40u);
  for (const auto& row : job->Rows()) EXPECT_EQ(row.status, "Success");
  EXPECT_EQ(job->Failed(), 0);
}

// A checked folder comes back with its whole subtree at the path it was
// found at, however deep it lies (the depth rule once emptied it); one
// checked inside another gets a copy of its own beside the first.
TEST_F(RecoveryJobTest, CheckedFoldersComeBackWithTheirWholeTreeAtTheirPath) {
  ScriptedView view;
  std::unique_ptr<CRecoveryJob> job;
  FoundItem trip = Item(1, "", "!rip");
  FoundItem deep = Item(1, "!rip/!ay1", "!eep");
  EXPECT_EQ(deep.folderDepth, 3);
  EXPECT_EQ(Recover({trip, deep}, view, RecoveryLayout::kByCategory, &job), JobResult::kFinished);
  EXPECT_EQ(Written(), (std::set<std::string>{"!rip/!at.jpg", "!rip/!at(1).jpg", "!rip/!ay1/!.txt",
                                              "!rip/!ay1/!eep/!.txt", "!rip/!ay1/!eep(1)/!.txt"}));
  EXPECT_EQ(Sha("!rip/!ay1/!.txt"), m_sha["p1:/TRIP/DAY1/X.TXT"]);
  EXPECT_EQ(Sha("!rip/!ay1/!eep/!.txt"), m_sha["p1:/TRIP/DAY1/DEEP/Y.TXT"]);
  EXPECT_EQ(Sha("!rip/!ay1/!eep(1)/!.txt"), m_sha["p1:/TRIP/DAY1/DEEP/Y.TXT"]);
  EXPECT_EQ((std::set<std::string>{Sha("!rip/!at.jpg"), Sha("!rip/!at(1).jpg")}),
            (std::set<std::string>{m_sha["p1:/TRIP/CAT.JPG"], m_sha["p1:/TRIP/BAT.JPG"]}));
  EXPECT_EQ(job->Total(), 5);
  EXPECT_EQ(job->Processed(), 5);
  EXPECT_EQ(job->Rows().size(), 5u);  // a row for every file inside the folders
  auto counts = view.LinesOf(ViewLine::kCount);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.back(), "5/5 file(s) processed, 5 recovered, 0 failed");
}

TEST_F(RecoveryJobTest, TreeLayoutGivesAFolderBesideAFileOfTheSameNameAFreeName) {
  std::vector<FoundItem> items;
  for (const auto& f : Items(1, "")) {
    if (f.item.isFolder == 0) items.push_back(f);  // the file "!ata" first
  }
  FoundItem inFolder = Item(1, "!ata", "!.txt");
  items.push_back(inFolder);
  items.push_back(inFolder);
  ScriptedView view;
  EXPECT_EQ(Recover(items, view, RecoveryLayout::kTree), JobResult::kFinished);
  EXPECT_EQ(Written(), (std::set<std::string>{"!at.jpg", "!at(1).jpg", "!ata", "!ata(1)/!.txt", "!ata(1)/!(1).txt"}));
  EXPECT_EQ(Sha("!ata"), m_sha["p1:/DATA"]);
  EXPECT_EQ(Sha("!ata(1)/!.txt"), m_sha["p1:/BATA/F.TXT"]);
}

// With the tree layout a carved photo dated by its own metadata goes into a
// year/month folder; one without a date stays where it is.
TEST_F(RecoveryJobTest, TreeLayoutPutsDatedCarvedPhotosIntoYearAndMonthFolders) {
  FoundItem dated = Item(2, "", "!ic.jpg");
  dated.item.sourceKind = static_cast<int32_t>(engine::SourceKind::kSignature);
  platform::SystemTime date;
  date.year = 2025;
  date.month = 7;
  date.day = 14;
  uint64_t modified = 0;  // the record is packed: no pointer to its field
  ASSERT_TRUE(platform::SystemTimeToFileTime(date, &modified));
  dated.item.modified = modified;
  FoundItem undated = dated;
  undated.item.modified = 0;
  ScriptedView view;
  EXPECT_EQ(Recover({dated, undated}, view, RecoveryLayout::kTree), JobResult::kFinished);
  EXPECT_EQ(Written(), (std::set<std::string>{"2025/07/!ic.jpg", "!ic.jpg"}));
  EXPECT_EQ(Sha("2025/07/!ic.jpg"), m_sha["p2:/PIC.JPG"]);
}

// With three items of which the second fails, the count line ends with 3 of
// 3, 2 recovered and 1 failed, and every file has one row: the failed one
// says why.
TEST_F(RecoveryJobTest, EveryFileGetsOneRowAndTheCountsAddUp) {
  FoundItem bad = Item(2, "", "!otes.txt");
  bad.item.clusterBytes = 0x7000000;  // beyond what any engine copies: a write fault (29)
  ScriptedView view;
  std::unique_ptr<CRecoveryJob> job;
  EXPECT_EQ(Recover({Item(2, "", "!ic.jpg"), bad, Item(3, "", "!oc.txt")}, view, RecoveryLayout::kByCategory, &job),
            JobResult::kFinished);
  EXPECT_EQ(job->Processed(), 3);
  EXPECT_EQ(job->Total(), 3);
  EXPECT_EQ(job->Failed(), 1);
  std::multiset<std::string> statuses;
  for (const DetailRow& row : job->Rows()) statuses.insert((row.failed ? "failed: " : "") + row.status);
  EXPECT_EQ(statuses, (std::multiset<std::string>{"failed: The cluster size of the item is too large to copy",
                                                  "Success", "Success"}));
  ASSERT_EQ(view.shownRows.size(), 3u);
  EXPECT_EQ(view.LinesOf(ViewLine::kCount).back(), "3/3 file(s) processed, 2 recovered, 1 failed");
  EXPECT_EQ(Written(), (std::set<std::string>{"photo/!ic.jpg", "document/!oc.txt"}));
}

TEST_F(RecoveryJobTest, LinksPlantedInTheOutputFolderAreNeverWrittenThrough) {
  testing_support::TempDir elsewhere;
  fs::create_directories(m_out + "/document");
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), (m_out + "/photo").c_str()), 0);
  ASSERT_EQ(::symlink((elsewhere.path() + "target.txt").c_str(), (m_out + "/document/!otes.txt").c_str()), 0);
  ScriptedView view;
  std::unique_ptr<CRecoveryJob> job;
  EXPECT_EQ(Recover({Item(2, "", "!ic.jpg"), Item(2, "", "!otes.txt")}, view, RecoveryLayout::kByCategory, &job),
            JobResult::kFinished);
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_EQ(Sha("photo(1)/!ic.jpg"), m_sha["p2:/PIC.JPG"]);
  EXPECT_EQ(Sha("document/!otes(1).txt"), m_sha["p2:/NOTES.TXT"]);
  ASSERT_EQ(job->Outcomes().size(), 2u);
  EXPECT_NE(job->Outcomes()[1].note.find("!otes.txt is a link; written as !otes(1).txt"), std::string::npos);
  EXPECT_NE(job->Rows()[1].status.find("written as !otes(1).txt"), std::string::npos);
}

// Items reach the engine of the source object that found them, whatever
// letter their records carry: two sources with one letter, and records with
// a letter from another run, still copy the right bytes.
TEST_F(RecoveryJobTest, ItemsReachTheEngineThatFoundThemWhateverTheirLetters) {
  m_sources[2]->target.driveLetter = m_sources[1]->target.driveLetter;
  FoundItem notes = Item(2, "", "!otes.txt");
  FoundItem doc = Item(3, "", "!oc.txt");
  notes.item.driveLetter = u'Q';
  doc.item.driveLetter = notes.item.driveLetter;
  ScriptedView view;
  EXPECT_EQ(Recover({notes, doc}, view), JobResult::kFinished);
  EXPECT_EQ(Sha("document/!otes.txt"), m_sha["p2:/NOTES.TXT"]);
  EXPECT_EQ(Sha("document/!oc.txt"), m_sha["p3:/DOC.TXT"]);
}

// The cancel comes in the middle of a 33 MiB file (fat32_512's deleted
// filler): the file before it stays whole, nothing of the one being copied
// is left, and the cancelled file still gets its row.
// A deleted FAT file whose first cluster lies past the end of its volume
// (here in the next partition) is damaged when listed, by the fast engine
// and by the raw one of a deep scan (the boot sector wiped), and its copy
// says why it fails.
TEST(RecoveryOutsideTheVolume, AFileWhoseDataWouldLieOutsideItsVolumeSaysSo) {
  for (const ScanMode mode : {ScanMode::kFast, ScanMode::kDeep}) {
    SCOPED_TRACE(mode == ScanMode::kFast ? "fast" : "deep");
    testing_support::ScopedDataHome home;
    testing_support::TempDir dir;
    std::vector<uint8_t> disk = testing_support::ReadFileBytes(testing_support::UnpackedFixture("disk3_mbr.img.gz"));
    ASSERT_FALSE(disk.empty());
    // p1 (FAT12 at sector 2048, 1014 clusters of 4 sectors, data at sector 39): the deleted
    // file DATA (cluster 9) is moved to cluster 1020, sector 6159 of the disk, in p2.
    const size_t root = (2048 + 7) * 512;
    bool moved = false;
    for (size_t at = root; at < root + 512 * 32 && !moved; at += 32) {
      if (disk[at] == 0xE5 && std::string(disk.begin() + at + 1, disk.begin() + at + 11) == "ATA       " &&
          disk[at + 11] != 0x10) {
        disk[at + 26] = 1020 & 0xFF;
        disk[at + 27] = 1020 >> 8;
        moved = true;
      }
    }
    ASSERT_TRUE(moved);
    if (mode == ScanMode::kDeep) std::fill(disk.begin() + 2048 * 512, disk.begin() + 2049 * 512, uint8_t{0});
    testing_support::WriteFileBytes(dir.path() + "disk.img", disk);
    ScopedDisks disks(dir.path() + "disk.img");
    std::vector<storage::VolumeEntry> volumes;
    std::string table;
    ASSERT_EQ(storage::ListDiskVolumes(0, &volumes, &table), 0);
    volumes.resize(1);
    ScanSourceList sources = MakeScanSources(volumes);
    ScriptedView view;
    MapTexts texts(std::map<std::string, std::string>{{"MSG1359", "its data would lie outside the volume"}});
    CScanJob scan({sources, mode, ReusePolicy::kFresh}, view, &texts);
    ASSERT_EQ(scan.Start(), 0);
    ASSERT_EQ(scan.Wait(), JobResult::kFinished);
    std::vector<FoundItem> items;
    ASSERT_EQ(ListFolderAt(sources[0], "", &items), 0);
    std::vector<FoundItem> data;
    for (const auto& f : items) {
      if (f.item.Name() == "!ata" && f.item.isFolder == 0) data.push_back(f);
    }
    ASSERT_EQ(data.size(), 1u);
    const int32_t kind = data[0].item.sourceKind;  // a copy: the record's fields are not aligned
    EXPECT_EQ(kind,
              static_cast<int32_t>(mode == ScanMode::kFast ? engine::SourceKind::kFastFat
                                                           : engine::SourceKind::kProfessionalFat));
    EXPECT_EQ(engine::StateOf(data[0].item), engine::ItemState::kDamaged);

    CRecoveryJob job(RecoveryJobInput{data, dir.path() + "out", RecoveryLayout::kByCategory}, view, &texts);
    ASSERT_EQ(job.Start(), 0);
    EXPECT_EQ(job.Wait(), JobResult::kFinished);
    ASSERT_EQ(job.Rows().size(), 1u);
    EXPECT_TRUE(job.Rows()[0].failed);
    // The engines refuse it each in its own words (87, or 30: nothing of it can be read), and the row says why.
    EXPECT_EQ(job.Rows()[0].status, mode == ScanMode::kFast
                                        ? "Invalid argument (its data would lie outside the volume)"
                                        : "The device returned no data where it should (its data would lie "
                                          "outside the volume)");
  }
}

TEST(RecoveryCancel, KeepsTheWholeFilesAndLeavesNothingOfTheOneBeingCopied) {
  testing_support::ScopedDataHome data;
  testing_support::TempDir dir;
  storage::VolumeEntry volume;
  ASSERT_EQ(storage::DescribeImageVolume(testing_support::UnpackedFixture("fat32_512.img.gz"), &volume), 0);
  ScanSourceList sources = MakeScanSources({volume});
  {
    ScriptedView view;
    MapTexts texts;
    CScanJob scan({sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
    ASSERT_EQ(scan.Start(), 0);
    ASSERT_EQ(scan.Wait(), JobResult::kFinished);
  }
  std::vector<FoundItem> root, dataFolder;
  ASSERT_EQ(ListFolderAt(sources[0], "", &root), 0);
  ASSERT_EQ(ListFolderAt(sources[0], "Data", &dataFolder), 0);
  FoundItem first, filler;
  for (const auto& f : root) {
    if (f.item.Name() == "deleted_root.txt") first = f;
  }
  for (const auto& f : dataFolder) {
    if (f.item.Name() == "!iller.bin") filler = f;  // a short name: its first letter is gone
  }
  ASSERT_TRUE(first.source && filler.source);
  ScriptedView view;
  MapTexts texts;
  const std::string out = dir.path() + "out";
  CRecoveryJob job({{first, filler}, out, RecoveryLayout::kByCategory}, view, &texts);
  std::atomic<bool> cancelled{false};
  view.onLine = [&](ViewLine line, const std::string& text) {
    if (line == ViewLine::kCurrent && text.find("!iller.bin") != std::string::npos && !cancelled.exchange(true)) {
      job.Cancel();
    }
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kCancelled);
  std::set<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (!e.is_directory()) written.insert(fs::relative(e.path(), out).string());
  }
  EXPECT_EQ(written, std::set<std::string>{"document/deleted_root.txt"});  // no temporary file, no short filler
  EXPECT_EQ(testing_support::Sha256OfFile(out + "/document/deleted_root.txt"),
            "2604fdc45b70b0c6fc18ec3c2b949c64633ef9034efe3181c227888ec4908540");
  ASSERT_EQ(job.Rows().size(), 2u);
  EXPECT_TRUE(job.Rows()[0].failed);
  EXPECT_EQ(job.Rows()[0].status, "Cancelled by the user");
  EXPECT_EQ(job.Processed(), 2);
}

TEST_F(RecoveryJobTest, AnOutputFolderThatIsAFileIsRefusedWithAReason) {
  testing_support::WriteFileBytes(m_out, {1, 2, 3});
  ScriptedView view;
  MapTexts texts(std::map<std::string, std::string>{{"MSG1313", "%s cannot be used: %s"}});
  CRecoveryJob job({{Item(2, "", "!ic.jpg")}, m_out, RecoveryLayout::kByCategory}, view, &texts);
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kFailed);
  EXPECT_TRUE(view.Noted("cannot be used: it is a file, not a folder"));
}

TEST_F(RecoveryJobTest, ImageFilesAreNeverTheDriveOfTheOutputFolder) {
  EXPECT_TRUE(SourcesHoldingFolder(m_sources, m_out).empty());
}

}  // namespace
}  // namespace jobs
