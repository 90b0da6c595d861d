// SPDX-License-Identifier: GPL-3.0-or-later
// The fast FAT scan where a volume's history misleads it: a deleted
// folder's cluster now holds a live folder, a deleted FAT32 entry lost its
// cluster's high word.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/byte_view.h"
#include "tests/engine/fat/fat_test_util.h"

namespace engine::fat_testing {
namespace {

std::vector<uint8_t> FixtureBytes(const std::string& gzName) {
  const std::string path = testing_support::UnpackedFixture(gzName);
  return path.empty() ? std::vector<uint8_t>() : testing_support::ReadFileBytes(path);
}

// A live folder made deeper in the tree took the cluster of a deleted
// folder: the walk meets the deleted claim first, yet the live files in that
// cluster are never reported as deleted.
TEST(FastFatMendsTest, ALiveFolderInADeletedFoldersClusterStaysLive) {
  const std::string image = testing_support::UnpackedFixture("fat_reuse.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture fat_reuse is not available";
  ScanHome home;
  auto engine = ScanImage(image);
  auto all = CollectAll(*engine);
  for (const auto& [path, item] : all) {
    EXPECT_NE(item.record.Name(), "live.txt") << path;
  }
  ASSERT_EQ(all.count("/a/b/!one.txt"), 1u);
  std::string path;
  ASSERT_EQ(engine->GetItemPath(&all["/a/b/!one.txt"].record, path), kStatusOk);
  EXPECT_EQ(path, "a\\b\\");
}

// Offset of the 32-byte short entry whose name bytes 1..10 are name10, in bytes.
size_t FindShortEntry(const std::vector<uint8_t>& image, size_t from, size_t to, const char* name10) {
  for (size_t at = from; at + 32 <= to; at += 32) {
    if (std::memcmp(image.data() + at + 1, name10, 10) == 0) return at;
  }
  return 0;
}

// A deleted FAT32 entry whose high cluster word is 0 keeps its stored
// cluster when nothing proves another: a text file has no signature to
// prove one, so no free cluster 65,536 further is taken for it. Its stored
// cluster is a live file's now: it is damaged.
TEST(FastFatMendsTest, ALostHighWordIsNeverGuessedWithoutEvidence) {
  std::vector<uint8_t> image = FixtureBytes("fat32_512.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture fat32_512 is not available";
  ScanHome home;
  fat::CFastFatRecovery probe;
  ASSERT_EQ(probe.OpenSource(MemorySource(image), 0, 0, 'M'), kStatusOk);
  const fat::FatGeometry g = probe.Geometry();
  const size_t root = static_cast<size_t>(g.ClusterSector(g.rootCluster) * g.bytesPerSector);
  const size_t entry = FindShortEntry(image, root, root + g.ClusterBytes(), "ELETE~1TXT");
  ASSERT_NE(entry, 0u) << "deleted_root.txt's short entry";
  const size_t readme = FindShortEntry(image, root, root + g.ClusterBytes(), "EADME  TXT");
  ASSERT_NE(readme, 0u);
  const uint16_t liveCluster = ByteView(image.data() + readme, 32).U16(26);
  ASSERT_LE(uint32_t{liveCluster} + 65536, g.maxCluster);  // a free candidate lies 65,536 further
  image[entry + 20] = 0;
  image[entry + 21] = 0;
  image[entry + 26] = static_cast<uint8_t>(liveCluster);
  image[entry + 27] = static_cast<uint8_t>(liveCluster >> 8);

  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(MemorySource(image), 0, 0, 'M'), kStatusOk);
  ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
  std::vector<ItemRecord> found;
  ASSERT_EQ(engine.Search("*.txt", found), 1);
  const auto it =
      std::find_if(found.begin(), found.end(), [](const ItemRecord& r) { return r.Name() == "deleted_root.txt"; });
  ASSERT_NE(it, found.end());
  EXPECT_EQ(+it->locator, liveCluster);
  EXPECT_EQ(StateOf(*it), ItemState::kOverwritten);
}

}  // namespace
}  // namespace engine::fat_testing
