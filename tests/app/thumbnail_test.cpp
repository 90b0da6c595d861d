// SPDX-License-Identifier: GPL-3.0-or-later
// What the thumbnail grid is made from, without widgets: the queue between
// the window and its worker, and the bytes of a found picture or a video's
// frame read through the engine into the private work folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "app/thumbnail_queue.h"
#include "app/thumbnail_source.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/jobs/preview_test_util.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

ThumbnailRequest Request(uint64_t key) {
  ThumbnailRequest r;
  r.key = key;
  r.session = 1;
  return r;
}

TEST(ThumbnailQueue, TheWorkerGetsWhatIsWantedNowInOrder) {
  CThumbnailQueue queue;
  queue.Want({Request(1), Request(2), Request(2), Request(3)});
  EXPECT_EQ(queue.Pending(), 3u);
  ThumbnailRequest r;
  ASSERT_TRUE(queue.Take(&r));
  EXPECT_EQ(r.key, 1u);
  EXPECT_TRUE(queue.StillWanted(1));
  // The view scrolled: 1 (in hand) and 2 are no longer wanted; 3 is, and 4.
  queue.Want({Request(4), Request(3)});
  EXPECT_FALSE(queue.StillWanted(1));
  queue.Done(false);
  ASSERT_TRUE(queue.Take(&r));
  EXPECT_EQ(r.key, 4u);
  // Asking again for the item in hand keeps it wanted without queueing it twice.
  queue.Want({Request(4), Request(3)});
  EXPECT_TRUE(queue.StillWanted(4));
  EXPECT_EQ(queue.Pending(), 1u);
  queue.Done(true);
  EXPECT_EQ(queue.Pending(), 1u);
  // Given up (the view moved away), then asked for again before the worker let go: it comes again, first.
  ASSERT_TRUE(queue.Take(&r));
  EXPECT_EQ(r.key, 3u);
  queue.Want({Request(5)});
  EXPECT_FALSE(queue.StillWanted(3));
  queue.Want({Request(3), Request(5)});
  queue.Done(false);
  ASSERT_TRUE(queue.Take(&r));
  EXPECT_EQ(r.key, 3u);
  queue.Done(true);
  queue.Clear();
  EXPECT_EQ(queue.Pending(), 0u);
  queue.Stop();
  EXPECT_FALSE(queue.Take(&r));
}

// A hold waits until the worker gave up the item in its hands, and the
// worker takes nothing while held.
TEST(ThumbnailQueue, AHoldWaitsForTheWorkerToLetGo) {
  CThumbnailQueue queue;
  std::promise<void> took;
  std::atomic<bool> gaveUp{false};
  std::atomic<int> taken{0};
  std::thread worker([&] {
    ThumbnailRequest r;
    while (queue.Take(&r)) {
      if (taken++ == 0) {
        took.set_value();
        while (queue.StillWanted(r.key)) std::this_thread::sleep_for(1ms);  // a long copy, polled
        gaveUp = true;
      }
      queue.Done(true);
    }
  });
  queue.Want({Request(7), Request(8)});
  took.get_future().wait();
  {
    CThumbnailHold hold(queue);
    EXPECT_TRUE(gaveUp.load());
    const int before = taken.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(taken.load(), before);  // held: nothing new is taken
  }
  for (int i = 0; i < 2000 && taken.load() < 2; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(taken.load(), 2);
  queue.Stop();
  worker.join();
}

// The fast scan of the preview fixture: its found files with their source.
class ThumbnailSource : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = testing_support::UnpackedFixture("preview_fat.img.gz");
    ASSERT_FALSE(image.empty());
    storage::CDiskList list;
    storage::VolumeEntry added;
    ASSERT_EQ(list.AddImage(image, &added), platform::kStatusOk);
    m_sources = jobs::MakeScanSources({added});
    jobs::testing::MapTexts texts;
    jobs::testing::ScriptedView scanView;
    jobs::CScanJob scan({m_sources, jobs::ScanMode::kFast, jobs::ReusePolicy::kFresh}, scanView, &texts);
    ASSERT_EQ(scan.Start(), platform::kStatusOk);
    ASSERT_EQ(scan.Wait(), jobs::JobResult::kFinished);
    jobs::testing::ScriptedView searchView;
    jobs::CSearchJob search({m_sources, jobs::PatternFromSelection({}) + "|.other", true}, searchView, &texts);
    ASSERT_EQ(search.Start(), platform::kStatusOk);
    ASSERT_EQ(search.Wait(), jobs::JobResult::kFinished);
    m_found = std::move(search.Results());
    ASSERT_EQ(platform::SessionFolder(&m_work), platform::kStatusOk);
    m_work += "thumbnails";
  }
  const jobs::FoundItem& Found(const std::string& name) {
    for (const auto& f : m_found) {
      if (f.item.Name() == name) return f;
    }
    ADD_FAILURE() << name << " was not found";
    static const jobs::FoundItem none;
    return none;
  }
  std::string Sha(const std::string& bytes) {
    const std::string path = m_scratch.path() + "bytes";
    testing_support::WriteFileBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return testing_support::Sha256OfFile(path);
  }
  bool WorkFolderEmpty() const { return !fs::exists(m_work) || fs::is_empty(m_work); }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_scratch;
  jobs::ScanSourceList m_sources;
  std::vector<jobs::FoundItem> m_found;
  std::string m_work;
};

TEST_F(ThumbnailSource, APictureIsItsOwnBytesAndLeavesNothingBehind) {
  ThumbnailTools tools = DefaultThumbnailTools();
  auto readable = [](std::string_view e) { return e == "png" || e == "jpg"; };
  const jobs::FoundItem& shot = Found("Shot.png");
  ASSERT_EQ(ThumbnailKindOf(shot.item, tools, readable), ThumbnailKind::kPicture);
  EXPECT_EQ(ThumbnailKindOf(Found("Clip.avi").item, tools, readable), ThumbnailKind::kVideo);
  EXPECT_EQ(ThumbnailKindOf(Found("Notes.txt").item, tools, readable), ThumbnailKind::kNone);
  engine::ItemRecord heic = shot.item;
  engine::SetItemName(heic, "IMG_0001.HEIC");  // the preview's decoders turn it into a picture
  EXPECT_EQ(ThumbnailKindOf(heic, tools, readable), ThumbnailKind::kConverted);
  tools.maxPictureBytes = 1000;  // larger pictures get the kind's icon
  EXPECT_EQ(ThumbnailKindOf(shot.item, tools, readable), ThumbnailKind::kNone);
  tools = DefaultThumbnailTools();

  std::string bytes, problem;
  std::lock_guard busy(shot.source->inUse);
  ASSERT_EQ(ThumbnailBytes(shot, ThumbnailKind::kPicture, tools, m_work, {}, &bytes, &problem), platform::kStatusOk);
  std::string expected;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("preview_fat.manifest.tsv"))) {
    if (row.path == "/Pictures/Shot.png") expected = row.sha256;
  }
  EXPECT_EQ(Sha(bytes), expected);
  EXPECT_TRUE(WorkFolderEmpty());
  // Given up at once when no longer wanted: nothing read, nothing left.
  EXPECT_EQ(ThumbnailBytes(
                shot, ThumbnailKind::kPicture, tools, m_work, [] { return true; }, &bytes, &problem),
            platform::kStatusCancelled);
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(WorkFolderEmpty());
}

TEST_F(ThumbnailSource, AVideoFrameComesFromTheHelperUnderItsWatchdog) {
  const jobs::FoundItem& clip = Found("Clip.avi");
  std::lock_guard busy(clip.source->inUse);
  std::string bytes, problem;
  ThumbnailTools tools = DefaultThumbnailTools();
  const platform::Status s = ThumbnailBytes(clip, ThumbnailKind::kVideo, tools, m_work, {}, &bytes, &problem);
  if (!jobs::testing::HaveProgram("ffmpeg")) {
    // Without the helper the grid shows the video's icon, and says why.
    EXPECT_EQ(s, platform::kErrorFileNotFound);
    EXPECT_NE(problem.find("not installed"), std::string::npos) << problem;
  } else {
    ASSERT_EQ(s, platform::kStatusOk) << problem;
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  }
  EXPECT_TRUE(WorkFolderEmpty());
  // A helper that hangs is ended by the watchdog.
  tools.videoFrame = jobs::ParseToolChoices("sh -c 'sleep 30' %f");
  tools.watchdog = 300ms;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ThumbnailBytes(clip, ThumbnailKind::kVideo, tools, m_work, {}, &bytes, &problem),
            platform::kErrorInvalidData);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_NE(problem.find("watchdog"), std::string::npos) << problem;
  EXPECT_TRUE(WorkFolderEmpty());
}

}  // namespace
}  // namespace app
