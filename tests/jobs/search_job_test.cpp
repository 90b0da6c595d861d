// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/categories.h"
#include "jobs/file_category.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/utf.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

using testing::MapTexts;
using testing::ScopedDisks;
using testing::ScriptedView;

TEST(SearchPattern, TheTypeSelectionBecomesAPatternInSetOrder) {
  EXPECT_EQ(PatternFromSelection({"jpg", "doc"}), "*.doc|*.jpg");
  EXPECT_EQ(PatternFromSelection({}), engine::EveryListPattern());
}

TEST(SearchPattern, CommandLineTypesAreCategoriesOrExtensions) {
  std::string pattern, error;
  ASSERT_TRUE(BuildSearchPattern({"jpg", "document"}, &pattern, &error));
  EXPECT_EQ(pattern.rfind("*.jpg|*.doc|*.xls", 0), 0u);
  ASSERT_TRUE(BuildSearchPattern({}, &pattern, &error));
  EXPECT_NE(pattern.find("*.bmp"), std::string::npos);
  EXPECT_NE(pattern.find(".other"), std::string::npos);
  ASSERT_TRUE(BuildSearchPattern({"OTHER", ".PNG"}, &pattern, &error));
  EXPECT_EQ(pattern, ".other|*.png");
  EXPECT_FALSE(BuildSearchPattern({"*.jpg|x"}, &pattern, &error));
  EXPECT_EQ(error, "*.jpg|x");
}

// One rule for what a file is shown as, which --types word selects it and
// where it is recovered to.
TEST(FileCategories, OneRuleForShowingSelectingAndRecovering) {
  EXPECT_EQ(CategoryOf("a.jpg"), FileCategory::kPhoto);
  EXPECT_EQ(CategoryOf("song.MP3"), FileCategory::kAudio);
  EXPECT_EQ(CategoryOf("x.tar.gz"), FileCategory::kArchive);
  EXPECT_EQ(CategoryOf("clip.mkv"), FileCategory::kVideo);
  EXPECT_EQ(CategoryOf("notes.txt"), FileCategory::kDocument);
  EXPECT_EQ(CategoryOf("track.ra"), FileCategory::kPhoto);  // ".ra" stands inside "*.raf"
  EXPECT_EQ(CategoryOf("movie.rm"), FileCategory::kAudio);
  EXPECT_EQ(CategoryOf("README"), FileCategory::kOther);
  EXPECT_EQ(CategoryOf("shot.HEIC"), FileCategory::kPhoto);  // newer photo kinds: whole entries
  EXPECT_EQ(CategoryOf("shot.avif"), FileCategory::kPhoto);
  EXPECT_EQ(CategoryOf("clip.avi"), FileCategory::kVideo);
  EXPECT_EQ(CategoryFolder(CategoryOf("shot.webp")), "photo");
  EXPECT_EQ(CategoryFolder(CategoryOf("main.c")), "document");  // no photo through "*.crw"
  EXPECT_EQ(CategoryOf("setup.exe"), FileCategory::kOther);
  EXPECT_EQ(CategoryFolder(CategoryOf("setup.exe")), "others");
  EXPECT_EQ(CategoryWord(CategoryOf("setup.exe")), "other");
  // Whatever a category's word selects in a search is in that category.
  // Whatever a category's word selects in a search is in that category; the
  // newer photo kinds and ".avi" beside "*.avif" are selected by no other word
  // (substrings of the old lists may be: ".ra" by audio and photo).
  struct Case {
    const char* name;
    bool onlyItsWord;
  };
  for (const Case& c : {Case{"a.jpg", false}, Case{"b.mp3", false}, Case{"c.avi", true}, Case{"d.pdf", false},
                        Case{"e.zip", false}, Case{"f.exe", false}, Case{"h.mp", false}, Case{"i.ra", false},
                        Case{"j.heic", true}, Case{"k.AVIF", true}, Case{"l.cr3", true}, Case{"m.rw2", true},
                        Case{"n.webp", true}, Case{"o.we", true}, Case{"p.c", true}, Case{"q.JSON", true},
                        Case{"r.h", true}}) {
    const std::string_view word = CategoryWord(CategoryOf(c.name));
    const std::string dotted = "." + platform::AsciiLower(engine::ExtensionOf(c.name));
    for (const char* other : {"photo", "audio", "video", "document", "archive", "other"}) {
      std::string pattern, error;
      ASSERT_TRUE(BuildSearchPattern({other}, &pattern, &error));
      const bool selected = engine::SearchPatternRule(pattern, pattern == ".other").Selects(dotted);
      if (word == other) {
        EXPECT_TRUE(selected) << c.name << " is " << word;
      } else if (c.onlyItsWord) {
        EXPECT_FALSE(selected) << c.name << " is not " << other;
      }
    }
  }
}

class SearchJobTest : public ::testing::Test {
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
  }
  testing_support::ScopedDataHome m_data;
  std::unique_ptr<ScopedDisks> m_disks;
  ScanSourceList m_sources;
};

TEST_F(SearchJobTest, WithNoTypeSelectedEveryListedKindIsCollectedAndNoOther) {
  ScriptedView view;
  MapTexts texts;
  CSearchJob job({m_sources, PatternFromSelection({}), true}, view, &texts);
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kFinished);
  std::vector<std::string> names;
  for (const auto& f : job.Results()) names.push_back(f.source->target.label + ":" + std::string(f.item.Name()));
  // "!ata" has no extension: it is in no list.
  EXPECT_EQ(std::count(names.begin(), names.end(), "disk 0 partition 1:!ata"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "disk 0 partition 1:!at.jpg"), 4);  // two in the root, two in TRIP
  EXPECT_EQ(names.back(), "disk 0 partition 3:!oc.txt");
  EXPECT_EQ(view.events, std::vector<JobEvent>{JobEvent::kSearchFinished});
  auto stages = view.LinesOf(ViewLine::kStage);
  ASSERT_EQ(stages.size(), 3u);
  EXPECT_EQ(stages[0].rfind("Searching drive ", 0), 0u);
}

TEST_F(SearchJobTest, ACancelInTheSecondSourceKeepsTheFirstsMatchesAndStillPosts) {
  ScriptedView view;
  MapTexts texts;
  CSearchJob job({m_sources, PatternFromSelection({"jpg", "txt"}), false}, view, &texts);
  view.onLine = [&](ViewLine line, const std::string& text) {
    if (line == ViewLine::kSourceName && text == "disk 0 partition 2") job.Cancel();
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kCancelled);
  ASSERT_FALSE(job.Results().empty());
  EXPECT_EQ(job.Results().front().source, m_sources[0]);
  for (const auto& f : job.Results()) EXPECT_NE(f.source, m_sources[2]);
  EXPECT_EQ(view.events, std::vector<JobEvent>{JobEvent::kSearchFinished});
}

TEST_F(SearchJobTest, AStoreThatCannotBeReadIsReportedNotTakenForEmpty) {
  // The record file of the second source loses its records under its engine.
  for (const auto& entry : std::filesystem::directory_iterator(m_sources[1]->scanFolder)) {
    if (entry.path().filename().string().rfind("Fast_", 0) == 0) std::filesystem::resize_file(entry.path(), 0);
  }
  ScriptedView view;
  MapTexts texts(std::map<std::string, std::string>{{"MSG1310", "The results of %s could not be read: %s"}});
  CSearchJob job({m_sources, PatternFromSelection({}), false}, view, &texts);
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kFinished);
  EXPECT_EQ(m_sources[0]->searchStatus, 0);
  EXPECT_NE(m_sources[1]->searchStatus, 0);
  EXPECT_EQ(m_sources[2]->searchStatus, 0);
  EXPECT_TRUE(view.Noted("The results of disk 0 partition 2 could not be read"));
  bool third = false;
  for (const auto& f : job.Results()) third = third || f.source == m_sources[2];
  EXPECT_TRUE(third);
}

}  // namespace
}  // namespace jobs
