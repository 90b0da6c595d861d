// SPDX-License-Identifier: GPL-3.0-or-later
// The fast NTFS scan where the MFT is awkward: runs cut by the volume's end,
// a damaged record 0, unreadable records, a cancel, very deep folders.
#include <gtest/gtest.h>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/run_list.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using ntfs_test::ImageBuilder;
using ntfs_test::RecordBuilder;
using testing_support::ReadFileBytes;

std::vector<uint8_t> Text(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string RecoverText(CFastNtfsRecovery& engine, const ItemRecord& item, const std::string& path) {
  if (engine.RecoverItem(&item, path, 0) != kStatusOk) return "(failed)";
  auto bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class FastNtfsMendsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk); }

  Status Scan(CFastNtfsRecovery& engine, const std::vector<uint8_t>& image, storage::MemorySourceOptions options = {}) {
    storage::SectorSource source;
    storage::OpenMemorySource(source, image, std::move(options));
    EXPECT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
    const Status s = engine.Scan(nullptr);
    m_tree.clear();
    ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
    return s;
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::map<std::string, ItemRecord> m_tree;
};

// The MFT's first run is cut by the end of the volume: the records of the
// run after it keep their own numbers, so each item's data is its own.
TEST_F(FastNtfsMendsTest, ARunCutByTheVolumeEndDoesNotShiftLaterRecordNumbers) {
  ImageBuilder image;  // 8192 clusters of 512 bytes
  // Stream: 8 clusters at cluster 8190 (only 2 lie inside the volume: record
  // 0 of the stream), then the 128 clusters at cluster 64 (records 4..67).
  image.PutRecord(0, RecordBuilder(0, 1)
                         .FileName(5, u"$MFT")
                         .NonResident(0x80, {0x21, 0x08, 0xFE, 0x1F, 0x21, 0x80, 0x42, 0xE0}, 68 * 1024, 0, 135)
                         .Build());
  // Slot k of the second run holds stream record 4 + k.
  image.PutRecord(17, RecordBuilder(21).FileName(5, u"other.txt").Resident(0x80, Text("OTHER FILE")).Build());
  image.PutRecord(20, RecordBuilder(24).FileName(5, u"mine.txt").Resident(0x80, Text("MY OWN DATA")).Build());
  CFastNtfsRecovery engine;
  ASSERT_EQ(Scan(engine, image.Bytes()), kStatusOk);
  ASSERT_EQ(m_tree.count("/mine.txt"), 1u);
  EXPECT_EQ(+m_tree["/mine.txt"].locator, 24);
  EXPECT_EQ(RecoverText(engine, m_tree["/mine.txt"], m_out.path() + "mine"), "MY OWN DATA");
  EXPECT_EQ(RecoverText(engine, m_tree["/other.txt"], m_out.path() + "other"), "OTHER FILE");
}

class FastNtfsFixtureMendsTest : public ntfs_test::NtfsFixtureTest {
 protected:
  Status Scan(CFastNtfsRecovery& engine, const std::vector<uint8_t>& image, storage::MemorySourceOptions options = {}) {
    storage::SectorSource source;
    storage::OpenMemorySource(source, image, std::move(options));
    EXPECT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
    const Status s = engine.Scan(nullptr);
    m_tree.clear();
    ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
    return s;
  }
};

TEST_P(FastNtfsFixtureMendsTest, ADamagedRecordZeroIsReadFromTheMirror) {
  auto image = ReadFileBytes(m_imagePath);
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(m_mftOffset), 1024, 0);
  CFastNtfsRecovery engine;
  ASSERT_EQ(Scan(engine, image), kStatusOk);
  EXPECT_EQ(m_tree.count("/Projects/Sub/notes.txt"), 1u);
  EXPECT_EQ(m_tree.count("/big_log_deleted.txt"), 1u);
}

TEST_P(FastNtfsFixtureMendsTest, AnMftThatCannotBeFoundIsAFailureNotAnEmptyVolume) {
  auto image = ReadFileBytes(m_imagePath);
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(m_mftOffset), 1024, 0);
  const uint64_t mirror = ntfs_test::Get32(image, 0x38) * m_clusterBytes;
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(mirror), 1024, 0);
  CFastNtfsRecovery engine;
  storage::SectorSource source;
  storage::OpenMemorySource(source, image);
  ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
  EXPECT_NE(engine.Scan(nullptr), kStatusOk);
}

TEST_P(FastNtfsFixtureMendsTest, UnreadableRecordsCostOnlyThemselvesAndAreReported) {
  const auto* bad = Row("/Documents/tiny note.txt");
  storage::MemorySourceOptions options;
  options.faultSectors.insert(RecordOffset(ntfs_test::MftOf(*bad)) / 512);
  CFastNtfsRecovery engine;
  EXPECT_EQ(Scan(engine, ReadFileBytes(m_imagePath), options), kStatusReadFault);
  EXPECT_EQ(m_tree.count(bad->path), 0u);
  for (const char* found : {"/small_deleted.txt", "/big_log_deleted.txt", "/Projects/Sub/notes.txt"}) {
    EXPECT_EQ(m_tree.count(found), 1u) << found;
  }
}

// A deleted file whose clusters the volume's $Bitmap gives to a file again
// holds that file's data now: overwritten, listed; the others stay intact.
TEST_P(FastNtfsFixtureMendsTest, ADeletedFileWhoseClustersAreInUseAgainIsOverwritten) {
  std::vector<uint8_t> image = ReadFileBytes(m_imagePath);
  const auto* taken = Row("/big_log_deleted.txt");
  ASSERT_NE(taken, nullptr);
  // Where $Bitmap (record 6) keeps its bits.
  std::vector<uint8_t> rec(image.begin() + static_cast<std::ptrdiff_t>(RecordOffset(6)),
                           image.begin() + static_cast<std::ptrdiff_t>(RecordOffset(6) + 1024));
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  const size_t data = ntfs_test::FindAttribute(rec, 0x80);
  ASSERT_NE(data, 0u);
  std::vector<MftRun> runs;
  DecodeRunList(ByteView(rec.data() + data, ntfs_test::Get32(rec, data + 4)), runs);
  ASSERT_FALSE(runs.empty());
  const uint64_t bitmapByte = PlaceRuns(runs).front().startCluster * m_clusterBytes;
  const uint64_t first = ntfs_test::LcnOf(*taken);
  const uint64_t count = (std::stoull(taken->size) + m_clusterBytes - 1) / m_clusterBytes;
  for (uint64_t c = first; c < first + count; ++c) image[bitmapByte + c / 8] |= static_cast<uint8_t>(1u << (c % 8));
  CFastNtfsRecovery engine;
  ASSERT_EQ(Scan(engine, image), kStatusOk);
  ASSERT_EQ(m_tree.count(taken->path), 1u);
  EXPECT_EQ(StateOf(m_tree[taken->path]), ItemState::kOverwritten);
  EXPECT_EQ(StateOf(m_tree["/Pictures/deleted_photo.jpg"]), ItemState::kIntact);
}

int32_t CancelAtOnce(void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  return kStatusCancelled;
}

TEST_P(FastNtfsFixtureMendsTest, ACancelledScanKeepsTheFoldersOfWhatItFound) {
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(m_imagePath, 'E'), kStatusOk);
  (void)engine.SetProgressCallbacks(CancelAtOnce, nullptr, nullptr, 100);
  EXPECT_EQ(engine.Scan(nullptr), kStatusCancelled);
  m_tree.clear();
  ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
  EXPECT_EQ(m_tree.count("/Projects/Sub/notes.txt"), 1u);
  std::string path;
  ASSERT_EQ(engine.GetItemPath(&m_tree["/Projects/Sub/notes.txt"], path), kStatusOk);
  EXPECT_EQ(path, "Projects\\Sub\\");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FastNtfsFixtureMendsTest, ::testing::Values("ntfs_512", "ntfs_4k"));

// A chain of 3,000 deleted folders, each inside the one before: the file at
// the bottom is found with its whole path (settled once per folder).
TEST_F(FastNtfsMendsTest, AVeryDeepFolderChainIsSettledWhole) {
  constexpr uint32_t kDepth = 3000;
  constexpr uint32_t kFirst = 16;
  constexpr uint32_t kRecords = kFirst + kDepth + 1;
  constexpr uint64_t kMftCluster = 64;
  std::vector<uint8_t> image((kMftCluster + uint64_t{kRecords} * 2 + 64) * 512, 0);
  auto boot = ntfs_test::BootSector(512, 1, image.size() / 512, kMftCluster);
  std::copy(boot.begin(), boot.end(), image.begin());
  auto put = [&](uint32_t n, const std::vector<uint8_t>& rec) {
    std::copy(rec.begin(), rec.end(), image.begin() + static_cast<std::ptrdiff_t>(kMftCluster * 512 + n * 1024));
  };
  const uint32_t clusters = kRecords * 2;
  put(0,
      RecordBuilder(0, 1)
          .FileName(5, u"$MFT")
          .NonResident(0x80, {0x12, static_cast<uint8_t>(clusters), static_cast<uint8_t>(clusters >> 8), kMftCluster},
                       int64_t{kRecords} * 1024, 0, clusters - 1)
          .Build());
  for (uint32_t i = 0; i < kDepth; ++i) {
    const uint32_t n = kFirst + i;
    auto folder = RecordBuilder(n, 0x0002).FileName(i == 0 ? 5 : n - 1, u"d").Build();
    ntfs_test::Put16(folder, 0x10, 2);  // deleted: its sequence went one past the references' 1
    put(n, folder);
  }
  put(kFirst + kDepth,
      RecordBuilder(kFirst + kDepth).FileName(kFirst + kDepth - 1, u"bottom.txt").Resident(0x80, Text("deep")).Build());
  CFastNtfsRecovery engine;
  ASSERT_EQ(Scan(engine, image), kStatusOk);
  std::vector<ItemRecord> found;
  ASSERT_EQ(engine.Search("*.txt", found), 1);
  ASSERT_EQ(found.size(), 1u);
  std::string path;
  ASSERT_EQ(engine.GetItemPath(&found[0], path), kStatusOk);
  EXPECT_EQ(path.size(), size_t{kDepth} * 2);  // "d\" per folder
  int32_t files = 0;
  ASSERT_EQ(engine.CountFiles(nullptr, 0, &files), kStatusOk);
  EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace engine::ntfs
