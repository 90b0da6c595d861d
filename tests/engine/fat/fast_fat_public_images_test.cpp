// SPDX-License-Identifier: GPL-3.0-or-later
// The fast FAT engine on public test images with known answers: deleted and
// moved folders, long names, 2048- and 4096-byte sectors, and images built to
// make a walker loop or run away.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/fat_geometry.h"
#include "platform/folders.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;

const FoundItem* Find(const std::map<std::string, FoundItem>& all, const std::string& path) {
  auto it = all.find(path);
  return it == all.end() ? nullptr : &it->second;
}

size_t CountBelow(const std::map<std::string, FoundItem>& all, const std::string& folder) {
  size_t n = 0;
  for (const auto& [key, item] : all) {
    if (item.path.rfind(folder + "/", 0) == 0 && item.record.isFolder == 0) ++n;
  }
  return n;
}

std::string Recovered(fat::CFastFatRecovery& engine, const ItemRecord& item, Status* status = nullptr) {
  TempDir out;
  const std::string target = out.path() + "file";
  Status s = engine.RecoverItem(&item, target, 0);
  if (status != nullptr) *status = s;
  if (s != kStatusOk) return {};
  std::vector<uint8_t> bytes = ReadFileBytes(target);
  return std::string(bytes.begin(), bytes.end());
}

fat::FatGeometry GeometryOf(const std::vector<uint8_t>& bytes) {
  fat::FatGeometry g;
  EXPECT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  return g;
}

class PublicImageTest : public ::testing::Test {
 protected:
  ScanHome m_home;
};

TEST_F(PublicImageTest, DeletedFolderWithManyEntriesIsWalkedThroughItsFreedClusters) {
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat_deleted_dir.raw.gz");
  auto engine = ScanImage(path);
  auto all = CollectAll(*engine);
  const FoundItem* test = Find(all, "/test");
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(+test->record.isDeleted, 1);
  // 500 deleted entries over 32 one-sector clusters that are free in the FAT.
  EXPECT_EQ(CountBelow(all, "/test"), 500u);
  ASSERT_NE(Find(all, "/test_2"), nullptr);
  EXPECT_NE(Find(all, "/test_2/1.txt"), nullptr);
  EXPECT_NE(Find(all, "/test_2/2.txt"), nullptr);
  int32_t count = 0;
  ASSERT_EQ(engine->CountFiles(nullptr, 0, &count), kStatusOk);
  EXPECT_EQ(count, 502);
}

TEST_F(PublicImageTest, FreedClusterThatIsNotADirectoryEndsTheFolder) {
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat_deleted_dir.raw.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const fat::FatGeometry g = GeometryOf(bytes);
  // The second cluster of /test now holds text instead of entries.
  const size_t second = static_cast<size_t>(g.ClusterSector(4) * g.bytesPerSector);
  for (size_t i = 0; i < g.ClusterBytes(); ++i) bytes[second + i] = static_cast<uint8_t>('a' + i % 26);
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  EXPECT_EQ(CountBelow(all, "/test"), 14u);  // the first cluster: 16 entries less "." and ".."
  EXPECT_NE(Find(all, "/test_2/2.txt"), nullptr);
}

TEST_F(PublicImageTest, MovedFolderLeavesNoDeletedFiles) {
  // /test/1/_1 was moved to /test/2/11: the deleted entry and the live one
  // share the directory, which is live and is walked once.
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat16_moved.raw.gz");
  auto engine = ScanImage(path);
  EXPECT_EQ(engine->GetItemCount(), 0u);
  EXPECT_TRUE(CollectAll(*engine).empty());
}

TEST_F(PublicImageTest, LongNameWithAnotherEntrysChecksumIsNotTaken) {
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat_lfn_test.raw.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  {
    auto engine = ScanBytes(bytes);
    EXPECT_EQ(engine->GetItemCount(), 0u);  // nothing is deleted on this volume
  }
  // Put the root's first three entries (a long name "long_name_test.txt"
  // whose checksum is not that of SHORT.TXT, then SHORT.TXT itself) into the
  // empty folder /1 and delete /1, so that they are walked as its content.
  const fat::FatGeometry g = GeometryOf(bytes);
  const size_t root = static_cast<size_t>(g.ClusterSector(g.rootCluster) * g.bytesPerSector);
  const size_t one = static_cast<size_t>(g.ClusterSector(4) * g.bytesPerSector);
  std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(root), bytes.begin() + static_cast<std::ptrdiff_t>(root + 96),
            bytes.begin() + static_cast<std::ptrdiff_t>(one + 64));
  // SHORT.TXT has no creation or access date, which a live entry needs to be
  // believed: give it its write time for both.
  const size_t shortEntry = one + 128;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(shortEntry + 22), 4,
              bytes.begin() + static_cast<std::ptrdiff_t>(shortEntry + 14));
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(shortEntry + 24), 2,
              bytes.begin() + static_cast<std::ptrdiff_t>(shortEntry + 18));
  const size_t folder = FindShortEntry(bytes, "1          ", root);
  ASSERT_NE(folder, std::string::npos);
  bytes[folder] = 0xE5;
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  EXPECT_NE(Find(all, "/!/short.txt"), nullptr);
  EXPECT_EQ(CountBelow(all, "/!"), 1u);
}

TEST_F(PublicImageTest, Fat12WithFourKilobyteSectorsAndHugeClusters) {
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat_unusual_cluster.raw.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const fat::FatGeometry g = GeometryOf(bytes);
  ASSERT_EQ(g.bytesPerSector, 4096u);
  size_t file = std::string::npos;
  const size_t root = static_cast<size_t>(g.rootDirSector * g.bytesPerSector);
  for (size_t at = root; at < root + g.rootDirSectors * g.bytesPerSector; at += 32) {
    if (bytes[at + 11] == 0x20) {
      file = at;
      break;
    }
  }
  ASSERT_NE(file, std::string::npos);
  MarkDeleted(bytes, file);
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/test_test_test_123_123_123.txt");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(+item->record.clusterBytes, 512 * 1024);
  EXPECT_EQ(Recovered(*engine, item->record), "456\n");
}

TEST_F(PublicImageTest, Fat32WithTwoKilobyteSectors) {
  QM_SHARED_OR_SKIP(path, "dfir_ntfs/fat32_small.raw.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const size_t one = FindShortEntry(bytes, "1       TXT");
  ASSERT_NE(one, std::string::npos);
  MarkDeleted(bytes, one);
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/test/!.txt");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(Recovered(*engine, item->record), "test1\n");
  EXPECT_EQ(Find(all, "/test/2.TXT"), nullptr);  // live
}

TEST_F(PublicImageTest, DirectoryLoopsEndTheWalk) {
  QM_SHARED_OR_SKIP(loop, "fatcat/directory-loop.img.gz");
  QM_SHARED_OR_SKIP(chainLoop, "dfir_ntfs/fat32_loop.raw.gz");
  for (const std::string& path : {loop, chainLoop}) {
    auto engine = ScanImage(path);
    EXPECT_EQ(engine->GetItemCount(), 0u) << path;
  }
}

TEST_F(PublicImageTest, FolderPointingBackToItsAncestorIsNotWalkedAgain) {
  // /A/B/C holds an entry "A" that points back to /A. Put a deleted file in C.
  QM_SHARED_OR_SKIP(path, "fatcat/directory-loop.img.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const fat::FatGeometry g = GeometryOf(bytes);
  const size_t c = static_cast<size_t>(g.ClusterSector(5) * g.bytesPerSector);
  ASSERT_EQ(bytes[c + 64], 'A');
  std::memcpy(&bytes[c + 96],
              "\xE5"
              "OOPED  TXT",
              11);
  bytes[c + 96 + 11] = 0x20;
  bytes[c + 96 + 26] = 40;  // start cluster 40, 10 bytes
  bytes[c + 96 + 28] = 10;
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  EXPECT_NE(Find(all, "/a/b/c/!ooped.txt"), nullptr);
  EXPECT_EQ(all.size(), 4u);  // a, b, c and the file: no second round through the loop
  EXPECT_EQ(engine->GetItemCount(), 4u);
}

TEST_F(PublicImageTest, LoopingFileChainNeverRunsAway) {
  QM_SHARED_OR_SKIP(path, "fatcat/infinite-file.img.gz");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  // BIGMAMMA claims 4 GiB over a five-cluster chain that loops; delete it.
  const size_t big = FindShortEntry(bytes, "BIGMAMMA   ");
  ASSERT_NE(big, std::string::npos);
  MarkDeleted(bytes, big);
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  const FoundItem* swap = Find(all, "/.BigMamma.swp");
  ASSERT_NE(swap, nullptr);
  Status status = kStatusOk;
  EXPECT_EQ(Recovered(*engine, swap->record, &status).size(), 16384u);
  const FoundItem* looping = Find(all, "/BigMamma");
  ASSERT_NE(looping, nullptr);
  EXPECT_EQ(+looping->record.size, 0xFFFFFFFFu);
  TempDir out;
  EXPECT_EQ(engine->RecoverItem(&looping->record, out.path() + "big", 0), kStatusReadFault);
  EXPECT_FALSE(platform::PathExists(out.path() + "big"));
  std::vector<uint8_t> buffer(65536);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  std::string temp;
  EXPECT_EQ(engine->ExtractItem(&looping->record, temp, buffer.data(), &length, nullptr, nullptr), kStatusReadFault);
  EXPECT_LE(length, 65536u);
}

TEST_F(PublicImageTest, DeletedFolderOfAnotherTool) {
  QM_SHARED_OR_SKIP(path, "fatcat/deleted.img.gz");
  auto engine = ScanImage(path);
  auto all = CollectAll(*engine);
  const FoundItem* folder = Find(all, "/deleted");
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(+folder->record.isDeleted, 1);
  const FoundItem* file = Find(all, "/deleted/file.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Recovered(*engine, file->record).size(), 23u);
  EXPECT_NE(Find(all, "/deleted/.file.txt.swp"), nullptr);
}

}  // namespace
}  // namespace engine::fat_testing
