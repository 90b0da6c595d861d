// SPDX-License-Identifier: GPL-3.0-or-later
// The promise of a recovery to a stick that may be pulled: no name ever
// points at data that is not on the medium. A child process recovers in
// small batches and is killed at a step of a batch's naming (the plug
// pulled); every file that has a name then is whole, and the files of the
// batch being named are found nowhere, or only under temporary names where
// the file system cannot make files without names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "engine/commit_batch.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using engine::CommitBatch;

std::atomic<int> g_killAtBatch{0};
std::atomic<CommitBatch::Step> g_killAtStep{CommitBatch::Step::kBeforeRenames};

void PullThePlug(CommitBatch::Step step) {
  if (step == g_killAtStep.load() && --g_killAtBatch == 0) ::kill(::getpid(), SIGKILL);
}

// In the child: scans the image, then recovers everything, three files to a batch.
[[noreturn]] void RecoverInChild(const std::string& image, const std::string& out) {
  storage::VolumeEntry volume;
  if (storage::DescribeImageVolume(image, &volume) != 0) ::_exit(10);
  jobs::ScanSourceList sources = jobs::MakeScanSources({volume});
  jobs::testing::ScriptedView view;
  jobs::testing::MapTexts texts;
  jobs::CScanJob scan({sources, jobs::ScanMode::kFast, jobs::ReusePolicy::kFresh}, view, &texts);
  if (scan.Start() != 0 || scan.Wait() != jobs::JobResult::kFinished) ::_exit(11);
  std::string pattern, bad;
  (void)jobs::BuildSearchPattern({}, &pattern, &bad);
  jobs::CSearchJob search({sources, pattern, true}, view, &texts);
  if (search.Start() != 0 || search.Wait() != jobs::JobResult::kFinished) ::_exit(12);
  CommitBatch::SetStepHookForTesting(PullThePlug);
  jobs::RecoveryJobInput input{search.Results(), out, jobs::RecoveryLayout::kByCategory};
  input.batchFiles = 3;
  jobs::CRecoveryJob recover(std::move(input), view, &texts);
  if (recover.Start() != 0) ::_exit(13);
  recover.Wait();
  ::_exit(0);  // the plug was not pulled
}

TEST(DurableRecovery, APulledPlugLeavesNoNameOnDataThatIsNotThere) {
  const std::string image = testing_support::UnpackedFixture("fat16.img.gz");
  ASSERT_FALSE(image.empty());
  std::set<std::string> wholeFiles;  // sha256 of every file the volume had
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("fat16.manifest.tsv"))) {
    if (row.sha256 != "-") wholeFiles.insert(row.sha256);
  }
  struct Case {
    const char* what;
    CommitBatch::Step step;
    int batch;
  };
  for (const Case& c : {Case{"before the second batch's renames", CommitBatch::Step::kBeforeRenames, 2},
                        Case{"after the second batch's renames", CommitBatch::Step::kBeforeFolderSync, 2}}) {
    SCOPED_TRACE(c.what);
    testing_support::ScopedDataHome data;
    testing_support::TempDir dir;
    const std::string out = dir.path() + "out";
    g_killAtBatch = c.batch;
    g_killAtStep = c.step;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) RecoverInChild(image, out);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended by itself: " << status;

    size_t named = 0, waiting = 0;
    for (const auto& e : fs::recursive_directory_iterator(out)) {
      if (!e.is_regular_file()) continue;
      if (e.path().filename().string().rfind(".quellmoor-", 0) == 0) {
        ++waiting;  // written, never named
        continue;
      }
      ++named;
      EXPECT_EQ(wholeFiles.count(testing_support::Sha256OfFile(e.path().string())), 1u) << e.path();
    }
    // The first batch is named; the second one was being named.
    if (c.step == CommitBatch::Step::kBeforeRenames) {
      EXPECT_EQ(named, 3u);
      EXPECT_TRUE(waiting == 0 || waiting == 3) << waiting;
    } else {
      EXPECT_GE(named, 6u);
    }
  }
}

}  // namespace
