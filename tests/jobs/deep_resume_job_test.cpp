// SPDX-License-Identifier: GPL-3.0-or-later
// A deep scan stopped half-way is kept and continued by a later scan job,
// or started again when the user says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/deep/deep_scan_state.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

using testing::MapTexts;
using testing::ScriptedView;

ScanSourceList SourcesOfImage(const std::string& path) {
  storage::VolumeEntry v;
  EXPECT_EQ(storage::DescribeImageVolume(path, &v), 0);
  return MakeScanSources({v});
}

std::vector<std::string> FoundNames(const ScanSourceList& sources) {
  ScriptedView view;
  MapTexts texts;
  std::string pattern, error;
  EXPECT_TRUE(BuildSearchPattern({}, &pattern, &error));
  CSearchJob search({sources, pattern, true}, view, &texts);
  EXPECT_EQ(search.Start(), 0);
  EXPECT_EQ(search.Wait(), JobResult::kFinished);
  std::vector<std::string> names;
  for (const auto& f : search.Results()) {
    names.push_back(f.folderPath + std::string(f.item.Name()) + " " + std::to_string(+f.item.size));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The percentage a progress line shows ("... 45%"), or -1.
int PercentOf(const std::string& line) {
  const size_t end = line.rfind('%');
  if (end == std::string::npos) return -1;
  size_t begin = end;
  while (begin > 0 && line[begin - 1] >= '0' && line[begin - 1] <= '9') --begin;
  return begin == end ? -1 : std::atoi(line.substr(begin, end - begin).c_str());
}

MapTexts Texts() {
  return MapTexts(std::map<std::string, std::string>{
      {"MSG1326", "Continue on %s?"}, {"MSG1327", "%s starts again"}, {"MSG1328", "%s kept"}, {"MSG0205", "%s"}});
}

class DeepResumeJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string fixture = testing_support::UnpackedFixture("fat32_quick.img.gz");
    if (fixture.empty()) GTEST_SKIP() << "fixture fat32_quick is not available";
    m_image = m_dir.path() + "card.img";
    testing_support::WriteFileBytes(m_image, testing_support::ReadFileBytes(fixture));
  }

  // Runs a deep scan; cancelled once the raw scan passes half-way when cancelAtHalf.
  JobResult Run(ScanSourceList& sources, ScriptedView& view, ResumePolicy resume, bool cancelAtHalf) {
    MapTexts texts = Texts();
    CScanJob job({sources, ScanMode::kDeep, ReusePolicy::kFresh, resume}, view, &texts);
    if (cancelAtHalf) {
      view.onLine = [&job](ViewLine line, const std::string& text) {
        if (line == ViewLine::kPercent && PercentOf(text) >= 50 && PercentOf(text) < 100) job.Cancel();
      };
    }
    EXPECT_EQ(job.Start(), 0);
    return job.Wait();
  }

  testing_support::ScopedDataHome m_data;
  testing_support::TempDir m_dir;
  std::string m_image;
};

TEST_F(DeepResumeJobTest, AStoppedScanIsKeptAndContinuedToTheSameResult) {
  ScanSourceList whole = SourcesOfImage(m_image);
  ScriptedView wholeView;
  ASSERT_EQ(Run(whole, wholeView, ResumePolicy::kRestart, false), JobResult::kFinished);
  const auto expected = FoundNames(whole);
  ASSERT_FALSE(expected.empty());
  whole.clear();

  ScanSourceList stopped = SourcesOfImage(m_image);
  ScriptedView stoppedView;
  ASSERT_EQ(Run(stopped, stoppedView, ResumePolicy::kRestart, true), JobResult::kCancelled);
  EXPECT_EQ(stopped[0]->outcome, SourceOutcome::kCancelled);
  EXPECT_TRUE(stopped[0]->storeKept);
  EXPECT_TRUE(stoppedView.Noted("card.img kept"));
  const std::string folder = stopped[0]->scanFolder;
  stopped.clear();  // the session ends: a kept scan outlives it
  ASSERT_TRUE(platform::PathExists(folder + engine::deep::kDeepStateName));

  // Looked at as it is (as `ls` does): what it found so far, nothing more read.
  {
    ScanSourceList looked = SourcesOfImage(m_image);
    ScriptedView lookView;
    MapTexts texts = Texts();
    CScanJob look({looked, ScanMode::kDeep, ReusePolicy::kStoredOnly, ResumePolicy::kAsk}, lookView, &texts);
    ASSERT_EQ(look.Start(), 0);
    EXPECT_EQ(look.Wait(), JobResult::kFinished);
    EXPECT_TRUE(lookView.questions.empty());
    EXPECT_EQ(looked[0]->outcome, SourceOutcome::kReused);
    const auto part = FoundNames(looked);
    EXPECT_FALSE(part.empty());
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(), part.begin(), part.end()));
  }

  // Asked, and continued where it stopped.
  ScanSourceList continued = SourcesOfImage(m_image);
  ScriptedView view;
  view.answers = {Answer::kOk};
  ASSERT_EQ(Run(continued, view, ResumePolicy::kAsk, false), JobResult::kFinished);
  EXPECT_EQ(view.questions, std::vector<std::string>{"Continue on " + m_image + "?"});
  EXPECT_EQ(continued[0]->outcome, SourceOutcome::kScanned);
  EXPECT_EQ(continued[0]->scanFolder, folder);
  EXPECT_EQ(FoundNames(continued), expected);
}

TEST_F(DeepResumeJobTest, AStoppedScanStartsAgainWhenAskedToAndClosingTheQuestionLeavesIt) {
  ScanSourceList stopped = SourcesOfImage(m_image);
  ScriptedView stoppedView;
  ASSERT_EQ(Run(stopped, stoppedView, ResumePolicy::kRestart, true), JobResult::kCancelled);
  const std::string folder = stopped[0]->scanFolder;
  stopped.clear();

  ScanSourceList later = SourcesOfImage(m_image);
  ScriptedView closedView;
  Run(later, closedView, ResumePolicy::kAsk, false);
  EXPECT_EQ(later[0]->outcome, SourceOutcome::kSkipped);
  EXPECT_TRUE(platform::IsDirectory(folder));
  later.clear();

  ScanSourceList again = SourcesOfImage(m_image);
  ScriptedView view;
  ASSERT_EQ(Run(again, view, ResumePolicy::kRestart, false), JobResult::kFinished);
  EXPECT_TRUE(view.Noted("card.img starts again"));
  EXPECT_EQ(again[0]->outcome, SourceOutcome::kScanned);
  EXPECT_NE(again[0]->scanFolder, folder);
  EXPECT_FALSE(platform::IsDirectory(folder));
}

}  // namespace
}  // namespace jobs
