// SPDX-License-Identifier: GPL-3.0-or-later
// The fast NTFS engine on damaged copies of the fixture images: it skips what
// is bad, finishes, and never leaves a file that looks recovered but is not.
#include <gtest/gtest.h>

#include <random>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "platform/folders.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using ntfs_test::MftOf;
using testing_support::ReadFileBytes;

class FastNtfsRobustnessTest : public ntfs_test::NtfsFixtureTest {
 protected:
  void ScanDamaged(CFastNtfsRecovery& engine, const std::vector<uint8_t>& image,
                   storage::MemorySourceOptions options = {}) {
    storage::SectorSource source;
    storage::OpenMemorySource(source, image, std::move(options));
    ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
    (void)engine.Scan(nullptr);
    m_tree.clear();
    ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
  }

  // Recovers and previews every file found: each copy is complete or absent.
  void RecoverEverything(CFastNtfsRecovery& engine) {
    for (const auto& [path, item] : m_tree) {
      if (item.isFolder != 0) continue;
      const std::string out = m_out.path() + "r" + std::to_string(m_outputs++);
      Status s = engine.RecoverItem(&item, out, 0);
      if (s == kStatusOk) {
        EXPECT_EQ(testing_support::ReadFileBytes(out).size(), uint64_t{item.size}) << path;
      } else {
        EXPECT_FALSE(platform::PathExists(out)) << path;
      }
      std::vector<uint8_t> buffer(8192);
      uint32_t length = static_cast<uint32_t>(buffer.size());
      std::string temp;
      (void)engine.ExtractItem(&item, temp, buffer.data(), &length, nullptr, nullptr);
      EXPECT_LE(length, buffer.size());
    }
  }

  int m_outputs = 0;  // every copy gets a fresh name: nothing is ever overwritten
  uint32_t Records() const { return static_cast<uint32_t>(ntfs_test::ManifestValue(m_manifestPath, "mft_records")); }
};

TEST_P(FastNtfsRobustnessTest, RandomBytesInPlaceOfFileRecords) {
  auto clean = ReadFileBytes(m_imagePath);
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    auto image = clean;
    std::mt19937 random(seed);
    const size_t end = m_mftOffset + size_t{Records()} * 1024;
    for (size_t at = m_mftOffset + 12 * 1024; at < end; ++at) {
      image[at] = static_cast<uint8_t>(random());
    }
    CFastNtfsRecovery engine;
    ScanDamaged(engine, image);
    RecoverEverything(engine);
  }
}

TEST_P(FastNtfsRobustnessTest, RandomAttributesBehindAValidHeader) {
  auto clean = ReadFileBytes(m_imagePath);
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    auto image = clean;
    std::mt19937 random(seed);
    for (const auto& row : m_manifest) {
      if (row.state != "deleted") continue;
      EditRecord(image, MftOf(row), [&](std::vector<uint8_t>& rec) {
        // Keep the header; damage a random stretch of the attributes.
        const size_t from = 0x38 + random() % 0x200;
        const size_t to = std::min<size_t>(rec.size(), from + 1 + random() % 0x180);
        for (size_t i = from; i < to; ++i) rec[i] = static_cast<uint8_t>(random());
      });
    }
    CFastNtfsRecovery engine;
    ScanDamaged(engine, image);
    RecoverEverything(engine);
  }
}

TEST_P(FastNtfsRobustnessTest, AttributeLengthsOfZeroOrBeyondTheRecordEndTheWalk) {
  auto image = ReadFileBytes(m_imagePath);
  EditRecord(image, MftOf(*Row("/small_deleted.txt")),
             [](std::vector<uint8_t>& rec) { ntfs_test::Put32(rec, ntfs_test::Get16(rec, 0x14) + 4, 0); });
  EditRecord(image, MftOf(*Row("/Documents/tiny note.txt")),
             [](std::vector<uint8_t>& rec) { ntfs_test::Put32(rec, ntfs_test::FindAttribute(rec, 0x30) + 4, 0x7FF8); });
  EditRecord(image, MftOf(*Row("/big_log_deleted.txt")), [](std::vector<uint8_t>& rec) {
    ntfs_test::Put32(rec, ntfs_test::FindAttribute(rec, 0x80) + 4, 0xFFFFFF00u);
  });
  CFastNtfsRecovery engine;
  ScanDamaged(engine, image);
  EXPECT_EQ(m_tree.count("/small_deleted.txt"), 0u);
  EXPECT_EQ(m_tree.count("/Documents/tiny note.txt"), 0u);
  // The name comes before the broken $DATA: listed, with the size of its $FILE_NAME, and not recoverable.
  ASSERT_EQ(m_tree.count("/big_log_deleted.txt"), 1u);
  EXPECT_EQ(m_tree.count("/empty_deleted.txt"), 1u);
  RecoverEverything(engine);
}

TEST_P(FastNtfsRobustnessTest, RunPastTheVolumeFailsTheCopyAndLeavesNoFile) {
  auto image = ReadFileBytes(m_imagePath);
  EditRecord(image, MftOf(*Row("/big_log_deleted.txt")), [](std::vector<uint8_t>& rec) {
    const size_t data = ntfs_test::FindAttribute(rec, 0x80);
    const size_t runs = data + ntfs_test::Get16(rec, data + 0x20);
    // One run of its length, at cluster 0x40000000 (far past a 24 MiB volume).
    const uint8_t lengthBytes = rec[runs] & 0x0F;
    rec[runs] = static_cast<uint8_t>(0x40 | lengthBytes);
    const size_t offset = runs + 1 + lengthBytes;
    rec[offset] = 0x00;
    rec[offset + 1] = 0x00;
    rec[offset + 2] = 0x00;
    rec[offset + 3] = 0x40;
    rec[offset + 4] = 0x00;
  });
  CFastNtfsRecovery engine;
  ScanDamaged(engine, image);
  ASSERT_EQ(m_tree.count("/big_log_deleted.txt"), 1u);
  const std::string out = m_out.path() + "past";
  EXPECT_EQ(engine.RecoverItem(&m_tree["/big_log_deleted.txt"], out, 0), kStatusInvalidParameter);
  EXPECT_FALSE(platform::PathExists(out));
  std::string temp;
  std::vector<uint8_t> buffer(1024);
  uint32_t length = 1024;
  EXPECT_NE(engine.ExtractItem(&m_tree["/big_log_deleted.txt"], temp, buffer.data(), &length, nullptr, nullptr),
            kStatusOk);
  EXPECT_TRUE(temp.empty());
}

TEST_P(FastNtfsRobustnessTest, ParentChainThatLoopsIsWalkedOnce) {
  auto image = ReadFileBytes(m_imagePath);
  const uint32_t projects = MftOf(*Row("/Projects"));
  const uint32_t sub = MftOf(*Row("/Projects/Sub"));
  EditRecord(image, projects, [&](std::vector<uint8_t>& rec) {
    const size_t fn = ntfs_test::FindAttribute(rec, 0x30);
    const size_t value = fn + ntfs_test::Get16(rec, fn + 0x14);
    ntfs_test::Put32(rec, value, sub);  // Projects now says it lies in Sub, which lies in Projects
  });
  CFastNtfsRecovery engine;
  ScanDamaged(engine, image);
  EXPECT_GT(engine.GetItemCount(), 10u);
  EXPECT_EQ(m_tree.count("/small_deleted.txt"), 1u);
}

TEST_P(FastNtfsRobustnessTest, UnreadableSectors) {
  auto image = ReadFileBytes(m_imagePath);
  {
    // In the MFT: the scan stops with a read fault.
    storage::MemorySourceOptions options;
    options.faultSectors.insert(m_mftOffset / 512 + 100);
    CFastNtfsRecovery engine;
    storage::SectorSource source;
    storage::OpenMemorySource(source, image, options);
    ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
    EXPECT_EQ(engine.Scan(nullptr), kStatusReadFault);
  }
  {
    // In a file's data: that copy fails and leaves nothing.
    storage::MemorySourceOptions options;
    const auto* row = Row("/big_log_deleted.txt");
    options.faultSectors.insert(ntfs_test::LcnOf(*row) * m_clusterBytes / 512 + 20);
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine::store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
    ScanDamaged(engine, image, options);
    const std::string out = m_out.path() + "bad";
    EXPECT_EQ(engine.RecoverItem(&m_tree[row->path], out, 0), kStatusReadFault);
    EXPECT_FALSE(platform::PathExists(out));
  }
}

TEST(FastNtfsOpen, VolumesThatAreNotNtfsAreRefused) {
  CFastNtfsRecovery engine;
  storage::SectorSource zeros;
  storage::OpenMemorySource(zeros, std::vector<uint8_t>(1 << 20, 0));
  EXPECT_EQ(engine.OpenSource(std::move(zeros), 0, 0, 'E'), kStatusInvalidParameter);
  storage::SectorSource tiny;
  storage::OpenMemorySource(tiny, std::vector<uint8_t>(100, 0));
  EXPECT_NE(engine.OpenSource(std::move(tiny), 0, 0, 'E'), kStatusOk);
  auto boot = ntfs_test::BootSector(512, 0x80, 2048, 4);  // 64 KiB clusters
  boot.resize(1 << 20);
  storage::SectorSource big;
  storage::OpenMemorySource(big, boot);
  EXPECT_EQ(engine.OpenSource(std::move(big), 0, 0, 'E'), kStatusInvalidParameter);
  EXPECT_EQ(engine.OpenImage("/nonexistent/quellmoor.img", 'E'), platform::kErrorFileNotFound);
  EXPECT_EQ(engine.Scan(nullptr), platform::kErrorInvalidHandle);
  EXPECT_EQ(engine.GetItemCount(), 0u);
  uint64_t sector = 5;
  uint64_t count = 9;
  EXPECT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FastNtfsRobustnessTest, ::testing::Values("ntfs_512", "ntfs_4k"));

}  // namespace
}  // namespace engine::ntfs
