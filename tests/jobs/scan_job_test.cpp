// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <future>
#include <set>
#include <thread>

#include "engine/store/scan_index.h"
#include "jobs/folder_browser.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "storage/source_resolver.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

using testing::MapTexts;
using testing::ScopedDisks;
using testing::ScriptedView;

ScanSourceList SourcesOfDisk(int32_t disk) {
  std::vector<storage::VolumeEntry> volumes;
  std::string table;
  EXPECT_EQ(storage::ListDiskVolumes(disk, &volumes, &table), 0);
  return MakeScanSources(volumes);
}

ScanSourceList SourcesOfImage(const std::string& path) {
  storage::VolumeEntry v;
  EXPECT_EQ(storage::DescribeImageVolume(path, &v), 0);
  return MakeScanSources({v});
}

JobResult RunScan(ScanSourceList sources, ScriptedView& view, ReusePolicy reuse = ReusePolicy::kFresh,
                  ScanMode mode = ScanMode::kFast) {
  MapTexts texts;
  CScanJob job({std::move(sources), mode, reuse}, view, &texts);
  EXPECT_EQ(job.Start(), 0);
  return job.Wait();
}

std::vector<std::string> FoundNames(const ScanSourceList& sources, std::vector<FoundItem>* items = nullptr) {
  ScriptedView view;
  MapTexts texts;
  std::string pattern, error;
  EXPECT_TRUE(BuildSearchPattern({}, &pattern, &error));
  CSearchJob search({sources, pattern, true}, view, &texts);
  EXPECT_EQ(search.Start(), 0);
  EXPECT_EQ(search.Wait(), JobResult::kFinished);
  std::vector<std::string> names;
  for (const auto& f : search.Results())
    names.push_back(f.source->target.label + ":/" + f.folderPath + std::string(f.item.Name()));
  if (items != nullptr) *items = search.Results();
  return names;
}

class ScanJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_disk3 = testing_support::UnpackedFixture("disk3_mbr.img.gz");
    ASSERT_FALSE(m_disk3.empty());
  }
  testing_support::ScopedDataHome m_data;
  std::string m_disk3;
};

TEST_F(ScanJobTest, ThreePartitionsAreScannedInOrderEachWithItsOwnEngine) {
  ScopedDisks disks(m_disk3);
  ScanSourceList sources = SourcesOfDisk(0);
  ASSERT_EQ(sources.size(), 3u);
  ScriptedView view;
  EXPECT_EQ(RunScan(sources, view), JobResult::kFinished);
  for (const auto& s : sources) {
    EXPECT_EQ(s->outcome, SourceOutcome::kScanned) << s->target.label;
    EXPECT_NE(s->engine, nullptr);
  }
  EXPECT_NE(sources[0]->engine.get(), sources[1]->engine.get());
  auto names = view.LinesOf(ViewLine::kSourceName);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "disk 0 partition 1");
  EXPECT_EQ(names[2], "disk 0 partition 3");
  // Each partition's stage line names its own letter.
  auto stages = view.LinesOf(ViewLine::kStage);
  ASSERT_EQ(stages.size(), 3u);
  std::set<std::string> distinct(stages.begin(), stages.end());
  EXPECT_EQ(distinct.size(), 3u);
  EXPECT_EQ(stages[0].rfind("Scanning drive ", 0), 0u);
  EXPECT_EQ(view.events, std::vector<JobEvent>{JobEvent::kScanFinished});
  EXPECT_EQ(view.ended, std::vector<JobResult>{JobResult::kFinished});

  auto found = FoundNames(sources);
  // The first partition's files come first, the third's last.
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.front().rfind("disk 0 partition 1:", 0), 0u);
  EXPECT_EQ(found.back().rfind("disk 0 partition 3:", 0), 0u);
  EXPECT_NE(std::find(found.begin(), found.end(), "disk 0 partition 2:/!otes.txt"), found.end());
}

TEST_F(ScanJobTest, ProgressLinesFollowTheEngineReports) {
  ScanSourceList sources = SourcesOfImage(testing_support::UnpackedFixture("fat16.img.gz"));
  ScriptedView view;
  EXPECT_EQ(RunScan(sources, view), JobResult::kFinished);
  auto percents = view.LinesOf(ViewLine::kPercent);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), "Current progress: 100%");
  auto times = view.LinesOf(ViewLine::kTime);
  ASSERT_FALSE(times.empty());
  EXPECT_EQ(times.front(), "Estimating time left...");  // the first report knows no time yet
  EXPECT_EQ(times.back(), "Time left: 0 Sec");
  EXPECT_EQ(view.LinesOf(ViewLine::kStage).front(), "Scanning image fixture_fat16.img");
  // The fast FAT engine counts no sectors: the sector and files lines stay hidden.
  ASSERT_FALSE(view.controls.empty());
  for (const auto& [control, visible] : view.controls) EXPECT_FALSE(visible);
  EXPECT_TRUE(view.LinesOf(ViewLine::kSector).empty());
}

// Cancelling in the second partition stops its engine, keeps what the first
// two found, leaves the third alone, and still tells the main window.
TEST_F(ScanJobTest, ACancelInTheSecondSourceKeepsTheFirstAndStillReports) {
  ScopedDisks disks(m_disk3);
  ScanSourceList sources = SourcesOfDisk(0);
  ASSERT_EQ(sources.size(), 3u);
  ScriptedView view;
  MapTexts texts;
  CScanJob job({sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
  view.onLine = [&](ViewLine line, const std::string& text) {
    if (line == ViewLine::kSourceName && text == "disk 0 partition 2") job.Cancel();
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kCancelled);
  EXPECT_EQ(sources[0]->outcome, SourceOutcome::kScanned);
  EXPECT_EQ(sources[1]->outcome, SourceOutcome::kCancelled);
  EXPECT_NE(sources[1]->engine, nullptr);  // what it found so far stays
  EXPECT_EQ(sources[2]->outcome, SourceOutcome::kNotScanned);
  EXPECT_EQ(sources[2]->engine, nullptr);
  EXPECT_EQ(view.events, std::vector<JobEvent>{JobEvent::kScanFinished});
  EXPECT_EQ(view.LinesOf(ViewLine::kSourceName).size(), 2u);
  auto found = FoundNames(sources);
  EXPECT_NE(std::find(found.begin(), found.end(), "disk 0 partition 1:/!at.jpg"), found.end());
  // An unfinished scan is not offered to later runs.
  EXPECT_FALSE(sources[1]->storeKept);
}

TEST_F(ScanJobTest, ACancelAnsweredNoChangesNothing) {
  ScopedDisks disks(m_disk3);
  ScriptedView reference;
  ScanSourceList plain = SourcesOfDisk(0);
  EXPECT_EQ(RunScan(plain, reference), JobResult::kFinished);
  const auto expected = FoundNames(plain);

  ScanSourceList sources = SourcesOfDisk(0);
  ScriptedView view;
  MapTexts texts;
  CScanJob job({sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
  std::thread answer;
  view.onLine = [&](ViewLine line, const std::string& text) {
    if (line == ViewLine::kSourceName && text == "disk 0 partition 2") {
      job.BeginCancel();  // the worker now waits at its next report
      answer = std::thread([&] { job.EndCancel(false); });
    }
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kFinished);
  answer.join();
  for (const auto& s : sources) EXPECT_EQ(s->outcome, SourceOutcome::kScanned);
  EXPECT_EQ(FoundNames(sources), expected);
}

// A source without an engine (here encrypted) is skipped with a note that
// says what it is; the others are scanned and reported as usual.
TEST_F(ScanJobTest, ASourceWithoutAnEngineIsSkippedWithANote) {
  ScanSourceList sources = SourcesOfImage(testing_support::UnpackedFixture("luks_like.img.gz"));
  ScanSourceList fat = SourcesOfImage(testing_support::UnpackedFixture("fat12.img.gz"));
  sources.push_back(fat[0]);
  ScriptedView view;
  EXPECT_EQ(RunScan(sources, view), JobResult::kFinished);
  EXPECT_EQ(sources[0]->outcome, SourceOutcome::kNoEngine);
  EXPECT_EQ(sources[0]->engine, nullptr);
  EXPECT_EQ(sources[1]->outcome, SourceOutcome::kScanned);
  EXPECT_TRUE(view.Noted("luks_like.img: encrypted with LUKS")) << view.notes.front().second;
  EXPECT_EQ(view.events.size(), 1u);
}

TEST_F(ScanJobTest, NoEngineAnywhereFailsWithoutTheEndMessage) {
  testing_support::TempDir dir;
  ScanSourceList sources = SourcesOfImage(testing_support::UnpackedFixture("zero_1m.img.gz"));
  ScanSourceList missing = MakeScanSources({storage::VolumeEntry{}});
  missing[0]->target.isImage = true;
  missing[0]->target.imagePath = dir.path() + "gone.img";
  missing[0]->target.label = "gone.img";
  sources.push_back(missing[0]);
  ScriptedView view;
  EXPECT_EQ(RunScan(sources, view), JobResult::kFailed);
  EXPECT_EQ(sources[0]->outcome, SourceOutcome::kNoEngine);
  EXPECT_EQ(sources[1]->outcome, SourceOutcome::kUnreadable);
  EXPECT_EQ(sources[1]->status, platform::kErrorFileNotFound);
  EXPECT_TRUE(view.events.empty());
  EXPECT_TRUE(view.Noted("gone.img unreadable"));
}

TEST_F(ScanJobTest, DuplicateLettersAreGivenNewOnes) {
  std::string fat12 = testing_support::UnpackedFixture("fat12.img.gz");
  std::string fat16 = testing_support::UnpackedFixture("fat16.img.gz");
  ScanSourceList sources = SourcesOfImage(fat12);
  sources.push_back(SourcesOfImage(fat16)[0]);
  sources[1]->target.driveLetter = sources[0]->target.driveLetter;
  ScriptedView view;
  EXPECT_EQ(RunScan(sources, view), JobResult::kFinished);
  EXPECT_NE(sources[0]->target.driveLetter, sources[1]->target.driveLetter);
  std::vector<FoundItem> items;
  FoundNames(sources, &items);
  for (const auto& f : items) EXPECT_EQ(f.item.driveLetter, f.source->target.driveLetter);
}

class ReuseTest : public ScanJobTest {
 protected:
  void SetUp() override {
    ScanJobTest::SetUp();
    m_image = m_dir.path() + "card.img";
    testing_support::WriteFileBytes(m_image,
                                    testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat16.img.gz")));
    ScanSourceList first = SourcesOfImage(m_image);
    ScriptedView view;
    ASSERT_EQ(RunScan(first, view), JobResult::kFinished);
    ASSERT_TRUE(first[0]->storeKept);
    m_folder = first[0]->scanFolder;
    m_expected = FoundNames(first);
    ASSERT_FALSE(m_expected.empty());
  }
  testing_support::TempDir m_dir;
  std::string m_image, m_folder;
  std::vector<std::string> m_expected;
};

// The stored results come back without reading the volume's data again: the
// data area is wiped (its time kept, so it is the same image to the index),
// and the reused results still list every file.
TEST_F(ReuseTest, StoredResultsListTheSameFilesWithoutReadingTheDataArea) {
  // fat16.img: 512-byte sectors, 4 reserved, 2 FATs of 32 sectors: the root folder starts at sector 68.
  auto bytes = testing_support::ReadFileBytes(m_image);
  std::fill(bytes.begin() + 68 * 512, bytes.end(), uint8_t{0});
  struct stat st {};
  ASSERT_EQ(::stat(m_image.c_str(), &st), 0);
  testing_support::WriteFileBytes(m_image, bytes);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, m_image.c_str(), times, 0), 0);

  ScanSourceList again = SourcesOfImage(m_image);
  ScriptedView view;
  EXPECT_EQ(RunScan(again, view, ReusePolicy::kReuse), JobResult::kFinished);
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kReused);
  EXPECT_EQ(again[0]->scanFolder, m_folder);
  EXPECT_EQ(FoundNames(again), m_expected);

  // A fresh scan of the wiped image finds nothing: the data really is gone.
  ScanSourceList fresh = SourcesOfImage(m_image);
  ScriptedView freshView;
  EXPECT_EQ(RunScan(fresh, freshView, ReusePolicy::kFresh), JobResult::kFinished);
  EXPECT_EQ(fresh[0]->outcome, SourceOutcome::kScanned);
  EXPECT_NE(FoundNames(fresh), m_expected);
}

TEST_F(ReuseTest, ClosingTheQuestionKeepsTheStoredResults) {
  ScanSourceList again = SourcesOfImage(m_image);
  ScriptedView view;
  view.answers = {Answer::kClosed};
  RunScan(again, view, ReusePolicy::kAsk);
  EXPECT_EQ(view.questions, std::vector<std::string>{"Use the stored results?"});
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kSkipped);
  EXPECT_TRUE(platform::IsDirectory(m_folder));
  // Still there for the next run.
  ScanSourceList later = SourcesOfImage(m_image);
  ScriptedView laterView;
  laterView.answers = {Answer::kOk};
  EXPECT_EQ(RunScan(later, laterView, ReusePolicy::kAsk), JobResult::kFinished);
  EXPECT_EQ(later[0]->outcome, SourceOutcome::kReused);
  EXPECT_EQ(FoundNames(later), m_expected);
}

TEST_F(ReuseTest, AnsweringNoScansAgainAndDropsTheStoredResults) {
  ScanSourceList again = SourcesOfImage(m_image);
  ScriptedView view;
  view.answers = {Answer::kNo};
  EXPECT_EQ(RunScan(again, view, ReusePolicy::kAsk), JobResult::kFinished);
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kScanned);
  EXPECT_NE(again[0]->scanFolder, m_folder);
  EXPECT_FALSE(platform::IsDirectory(m_folder));
  EXPECT_EQ(FoundNames(again), m_expected);
}

TEST_F(ReuseTest, AnotherVolumeAtTheSamePlaceIsNeverTakenForThisOne) {
  // A rewritten image (new time) is another volume: its old results are dropped, not reused.
  ScanSourceList again = SourcesOfImage(m_image);
  timeval times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(::utimes(m_image.c_str(), times), 0);
  ScriptedView view;
  EXPECT_EQ(RunScan(again, view, ReusePolicy::kReuse), JobResult::kFinished);
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kScanned);
}

TEST_F(ReuseTest, FoldersAreBrowsedByPath) {
  ScanSourceList again = SourcesOfImage(m_image);
  ScriptedView view;
  ASSERT_EQ(RunScan(again, view, ReusePolicy::kReuse), JobResult::kFinished);
  std::vector<FoundItem> root, sub;
  ASSERT_EQ(ListFolderAt(again[0], "/", &root), 0);
  bool sawTrash = false;
  for (const auto& f : root) sawTrash = sawTrash || (f.item.isFolder != 0 && f.folderDepth == 1);
  EXPECT_TRUE(sawTrash);
  EXPECT_EQ(ListFolderAt(again[0], "no/such", &sub), platform::kErrorFileNotFound);
}

// A device change rebuilds the disk list; the scan session keeps its own
// sources and engines, so nothing found is lost and no engine is freed.
TEST_F(ScanJobTest, ADiskListRefreshLeavesTheSessionAlone) {
  ScopedDisks disks(m_disk3);
  auto list = std::make_unique<storage::CDiskList>();
  list->Refresh();
  ScanSourceList sources = MakeScanSources(list->Disks()[0].volumes);
  ScriptedView view;
  MapTexts texts;
  CScanJob job({sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
  view.onLine = [&](ViewLine line, const std::string&) {
    if (line == ViewLine::kStage) list->Refresh();  // a stick plugged in during the scan
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kFinished);
  const auto before = FoundNames(sources);
  list.reset();  // the list goes away entirely
  EXPECT_EQ(FoundNames(sources), before);
  EXPECT_FALSE(before.empty());
}

// The worker waits for the answer to its question; the window thread stays
// free meanwhile and can start a cancel without waiting for the worker.
TEST_F(ScanJobTest, AQuestionNeverBlocksTheWindowThread) {
  const std::string image = testing_support::UnpackedFixture("fat12.img.gz");
  ScanSourceList first = SourcesOfImage(image);
  ScriptedView firstView;
  ASSERT_EQ(RunScan(first, firstView), JobResult::kFinished);

  class WaitingView final : public IJobView {
   public:
    void SetLine(ViewLine, const std::string&) override {}
    void SetBar(int32_t) override {}
    void ShowControl(ViewControl, bool) override {}
    void AddDetailRow(const DetailRow&, size_t) override {}
    void Notify(MessageKind, const std::string&) override {}
    Answer Ask(MessageKind, const std::string&) override {
      asked.set_value();
      return answer.get_future().get();  // the worker waits here; the window thread does not
    }
    void Post(JobEvent) override {}
    void End(JobResult) override {}
    std::promise<void> asked;
    std::promise<Answer> answer;
  } view;
  ScanSourceList again = SourcesOfImage(image);
  MapTexts texts;
  CScanJob job({again, ScanMode::kFast, ReusePolicy::kAsk}, view, &texts);
  ASSERT_EQ(job.Start(), 0);
  view.asked.get_future().wait();
  job.BeginCancel();  // returns at once although the worker is inside Ask
  job.EndCancel(true);
  EXPECT_FALSE(job.IsDone());
  view.answer.set_value(Answer::kOk);
  EXPECT_EQ(job.Wait(), JobResult::kCancelled);
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kNotScanned);  // cancelled while asked: nothing more was done
}

TEST(ScanJobLock, OnlyOneScanRunsAtATime) {
  testing_support::ScopedDataHome data;
  ScanSourceList sources = SourcesOfImage(testing_support::UnpackedFixture("fat12.img.gz"));
  ScriptedView view1, view2;
  MapTexts texts;
  CScanJob first({sources, ScanMode::kFast, ReusePolicy::kFresh}, view1, &texts);
  CScanJob second({sources, ScanMode::kFast, ReusePolicy::kFresh}, view2, &texts);
  std::thread paused;
  view1.onLine = [&](ViewLine line, const std::string&) {
    if (line != ViewLine::kStage) return;
    EXPECT_EQ(second.Start(), platform::kErrorBusy);  // the first still holds the scan lock
  };
  ASSERT_EQ(first.Start(), 0);
  EXPECT_EQ(first.Wait(), JobResult::kFinished);
  ASSERT_EQ(second.Start(), 0);  // free again
  EXPECT_EQ(second.Wait(), JobResult::kFinished);
}

}  // namespace
}  // namespace jobs
