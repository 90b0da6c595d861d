// SPDX-License-Identifier: GPL-3.0-or-later
// The fast exFAT engine on damaged copies of a real volume: wrong
// checksums, impossible lengths and clusters, tables that point outside the
// volume, loops, unreadable sectors, a damaged boot region, overlapping
// deleted files; and a volume with a file of more than 4 GiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/exfat/exfat_data_copy.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/output_path.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

using testing_support::ManifestRow;

// exfat_512: 512-byte sectors, 4 KiB clusters, the heap at sector 4096, the FAT at 2048.
constexpr size_t kHeap = 4096 * 512;
constexpr size_t kCluster = 4096;
constexpr size_t kFat = 2048 * 512;

size_t ClusterOffset(uint32_t cluster) {
  return kHeap + (cluster - 2) * kCluster;
}

class ExFatDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
    if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
    m_bytes = testing_support::ReadFileBytes(image);
    m_rows = testing_support::ReadManifest(testing_support::FixturePath("exfat_512.manifest.tsv"));
    ASSERT_EQ(m_bytes[108], 9);  // 512-byte sectors
    ASSERT_EQ(m_bytes[109], 3);  // 8 sectors per cluster
    m_root = ClusterOffset(m_bytes[96] | m_bytes[97] << 8);
  }

  const ManifestRow& Row(const std::string& path) const {
    for (const ManifestRow& row : m_rows) {
      if (row.path == path) return row;
    }
    ADD_FAILURE() << "no manifest row " << path;
    return m_rows.front();
  }

  // The root directory's entry of the given type.
  size_t RootEntry(uint8_t type) const {
    for (size_t at = m_root; at < m_root + kCluster; at += 32) {
      if (m_bytes[at] == type) return at;
    }
    ADD_FAILURE() << "no root entry " << int{type};
    return m_root;
  }

  size_t Set(const std::vector<uint8_t>& bytes, const std::string& name) const {
    const size_t at = FindEntrySet(bytes, name);
    EXPECT_NE(at, std::string::npos) << name;
    return at;
  }

  std::vector<uint8_t> Recover(IFileRecoveryParse& engine, const ItemRecord& item, Status* status) {
    testing_support::TempDir out;
    const std::string target = out.path() + "out.bin";
    *status = engine.RecoverItem(&item, target, SeparatorCount(out.path()));
    return *status == kStatusOk ? testing_support::ReadFileBytes(target) : std::vector<uint8_t>{};
  }

  ScanHome m_home;
  std::vector<uint8_t> m_bytes;
  std::vector<ManifestRow> m_rows;
  size_t m_root = 0;
};

TEST_F(ExFatDamageTest, ASetWhoseChecksumFailsIsDamagedWhileItsNameHolds) {
  auto bytes = m_bytes;
  const size_t at = Set(bytes, "deleted_root.txt");
  bytes[at + 8] ^= 0x01;  // its creation time: covered by the checksum, not by the name hash
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/deleted_root.txt"), 1u);
  EXPECT_EQ(+found.at("/deleted_root.txt").record.isIntact, 0);
  EXPECT_EQ(+found.at("/Deleted Photo.jpg").record.isIntact, 1);

  // When the name does not match its own hash either, the set is not believed.
  bytes[at + 64 + 2] = 'X';
  auto garbled = ScanBytes(bytes);
  const auto after = CollectAll(*garbled);
  EXPECT_EQ(after.count("/deleted_root.txt"), 0u);
  EXPECT_EQ(after.count("/Xeleted_root.txt"), 0u);
  EXPECT_EQ(after.count("/Deleted Photo.jpg"), 1u);
}

TEST_F(ExFatDamageTest, AValidLengthAboveTheDataLengthIsDamagedAndCopiesItsSize) {
  auto bytes = m_bytes;
  const size_t at = Set(bytes, "deleted_root.txt");
  Put64(bytes, at + 32 + 8, 1ull << 40);
  FixSetChecksum(bytes, at);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  const ItemRecord& item = found.at("/deleted_root.txt").record;
  EXPECT_EQ(+item.isIntact, 0);
  EXPECT_EQ(+item.size, 5000u);
  Status s = kStatusOk;
  const auto copied = Recover(*engine, item, &s);
  ASSERT_EQ(s, kStatusOk);
  EXPECT_EQ(testing_support::Sha256OfBytes(copied), Row("/deleted_root.txt").sha256);
}

TEST_F(ExFatDamageTest, BytesPastTheValidDataLengthCopyAsZeros) {
  auto bytes = m_bytes;
  const size_t at = Set(bytes, "deleted_root.txt");
  Put64(bytes, at + 32 + 8, 1000);  // 1000 of its 5000 bytes were written
  FixSetChecksum(bytes, at);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  const ItemRecord& item = found.at("/deleted_root.txt").record;
  EXPECT_EQ(+item.isIntact, 1);
  Status s = kStatusOk;
  const auto copied = Recover(*engine, item, &s);
  ASSERT_EQ(s, kStatusOk);
  ASSERT_EQ(copied.size(), 5000u);
  const size_t data = ClusterOffset(static_cast<uint32_t>(item.locator));
  EXPECT_TRUE(std::equal(copied.begin(), copied.begin() + 1000, bytes.begin() + static_cast<std::ptrdiff_t>(data)));
  EXPECT_TRUE(std::all_of(copied.begin() + 1000, copied.end(), [](uint8_t b) { return b == 0; }));

  // A valid length of 0: every byte is a zero, nothing is read.
  Put64(bytes, at + 32 + 8, 0);
  FixSetChecksum(bytes, at);
  auto zeros = ScanBytes(bytes);
  const auto again = CollectAll(*zeros);
  const auto none = Recover(*zeros, again.at("/deleted_root.txt").record, &s);
  ASSERT_EQ(s, kStatusOk);
  EXPECT_EQ(none, std::vector<uint8_t>(5000, 0));
}

// A data length no file of the volume can have (more than every cluster of
// its heap), with a checksum that holds or not: the file is damaged, keeps
// the size its entry gives, and its copy fails without writing a byte
// (zeros past its valid length would have filled the output drive).
TEST_F(ExFatDamageTest, ADataLengthPastWhatTheVolumeHoldsIsDamagedAndNeverCopied) {
  for (const uint64_t length : {uint64_t{12} << 30, ~uint64_t{0}, (uint64_t{1} << 62) + 1}) {
    for (const bool fixChecksum : {true, false}) {
      SCOPED_TRACE(std::to_string(length) + (fixChecksum ? " checksum fixed" : " checksum broken"));
      auto bytes = m_bytes;
      const size_t at = Set(bytes, "deleted_root.txt");
      Put64(bytes, at + 32 + 24, length);
      if (fixChecksum) FixSetChecksum(bytes, at);
      auto engine = ScanBytes(bytes);
      const auto found = CollectAll(*engine);
      ASSERT_EQ(found.count("/deleted_root.txt"), 1u);
      const ItemRecord& item = found.at("/deleted_root.txt").record;
      EXPECT_EQ(StateOf(item), ItemState::kDamaged);
      EXPECT_EQ(+item.size, length);
      Status s = kStatusOk;
      EXPECT_TRUE(Recover(*engine, item, &s).empty());
      EXPECT_EQ(s, kStatusInvalidParameter);
    }
  }
}

TEST_F(ExFatDamageTest, AFirstClusterPastTheHeapIsDamagedAndNeverRead) {
  auto bytes = m_bytes;
  const size_t at = Set(bytes, "clip.mov");
  Put32(bytes, at + 32 + 20, 0xFFFFFF00u);
  FixSetChecksum(bytes, at);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/clip.mov"), 1u);
  const ItemRecord& item = found.at("/clip.mov").record;
  EXPECT_EQ(+item.isIntact, 0);
  Status s = kStatusOk;
  EXPECT_TRUE(Recover(*engine, item, &s).empty());
  EXPECT_EQ(s, kStatusInvalidParameter);
}

TEST_F(ExFatDamageTest, TablesThatPointOutsideTheVolumeAreLeftOut) {
  auto bytes = m_bytes;
  Put32(bytes, RootEntry(0x81) + 20, 0xFFFFFFF0u);  // the allocation bitmap
  Put32(bytes, RootEntry(0x82) + 20, 0x7FFFFFFFu);  // the up-case table
  auto engine = ScanBytes(bytes);
  EXPECT_FALSE(engine->HasBitmap());
  EXPECT_FALSE(engine->HasUpcaseTable());
  const auto found = CollectAll(*engine);
  EXPECT_EQ(found.count("/DCIM/100CANON/IMG_0003.JPG"), 1u);
  Status s = kStatusOk;
  const auto copied = Recover(*engine, found.at("/clip.mov").record, &s);
  ASSERT_EQ(s, kStatusOk);
  EXPECT_EQ(testing_support::Sha256OfBytes(copied), Row("/clip.mov").sha256);
  // Without a free-space map, everything from the heap on may hold lost data.
  uint64_t sector = 0;
  uint64_t count = 0;
  ASSERT_EQ(engine->GetNextFreeExtent(&sector, &count), 1);
  EXPECT_EQ(sector + count, engine->Geometry().volumeSectors);

  // An up-case table whose checksum fails is not used either.
  auto badTable = m_bytes;
  badTable[RootEntry(0x82) + 4] ^= 0xFF;
  EXPECT_FALSE(ScanBytes(badTable)->HasUpcaseTable());
}

TEST_F(ExFatDamageTest, ChainsThatLoopAndSetsThatRunPastTheirDirectoryEndTheWalkCleanly) {
  auto bytes = m_bytes;
  const uint32_t root = bytes[96] | bytes[97] << 8;
  Put32(bytes, kFat + 4 * root, root);  // the root's chain loops on itself
  // A deleted set in the last slot of a directory that claims 18 secondaries.
  const size_t last = m_root + kCluster - 32;
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(last), bytes.begin() + static_cast<std::ptrdiff_t>(last + 32),
            0);
  bytes[last] = 0x05;
  bytes[last + 1] = 18;
  Status s = kStatusOk;
  auto engine = ScanBytes(bytes, &s);
  EXPECT_EQ(s, kStatusOk);
  EXPECT_EQ(CollectAll(*engine).count("/deleted_root.txt"), 1u);
}

TEST_F(ExFatDamageTest, AnUnreadableFolderEndsOnlyItselfAndAnUnreadableRootFailsTheScan) {
  const uint32_t camera = NoteCluster(Row("/DCIM/100CANON").note);
  storage::MemorySourceOptions folderFault;
  folderFault.faultSectors.insert(ClusterOffset(camera) / 512);
  Status s = kStatusOk;
  auto engine = ScanBytes(m_bytes, &s, folderFault);
  EXPECT_EQ(s, kStatusOk);
  const auto found = CollectAll(*engine);
  EXPECT_EQ(found.count("/DCIM/100CANON/IMG_0003.JPG"), 0u);
  EXPECT_EQ(found.count("/Trash Folder/Sub/d.png"), 1u);

  storage::MemorySourceOptions rootFault;
  rootFault.faultSectors.insert(m_root / 512);
  exfat::CFastExFatRecovery failed;
  // The root is read at open for the bitmap; the scan then fails on it rather than finding nothing.
  ASSERT_EQ(failed.OpenSource(MemorySource(m_bytes, rootFault), 0, 0, 'M'), kStatusOk);
  EXPECT_EQ(failed.Scan(nullptr), kStatusReadFault);
}

TEST_F(ExFatDamageTest, ADamagedMainBootRegionIsReadFromItsBackup) {
  auto bytes = m_bytes;
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  auto engine = ScanBytes(bytes);
  EXPECT_EQ(engine->Geometry().region, ExFatBootRegionUsed::kBackup);
  EXPECT_EQ(CollectAll(*engine).size(), CollectAll(*ScanBytes(m_bytes)).size());
  // Neither region: not an exFAT volume.
  std::fill(bytes.begin(), bytes.begin() + 24 * 512, 0);
  exfat::CFastExFatRecovery none;
  EXPECT_EQ(none.OpenSource(MemorySource(bytes), 0, 0, 'M'), kStatusInvalidParameter);
}

TEST_F(ExFatDamageTest, AFileInAFolderDeletedWholeIsCopiedAlongItsChain) {
  // A folder whose entry alone was deleted (as a tool that drops a tree at once does):
  // its files keep their in-use sets and their FAT chains.
  auto bytes = m_bytes;
  const size_t keep = Set(bytes, "Keep");
  SetInUse(bytes, keep, false);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/Keep/frag_keep.tif"), 1u);
  const ItemRecord& item = found.at("/Keep/frag_keep.tif").record;
  EXPECT_EQ(+item.isDeleted, 1);
  EXPECT_EQ(engine->FragmentCount(item), 3);
  Status s = kStatusOk;
  const auto copied = Recover(*engine, item, &s);
  ASSERT_EQ(s, kStatusOk);
  EXPECT_EQ(testing_support::Sha256OfBytes(copied), Row("/Keep/frag_keep.tif").sha256);
}

TEST_F(ExFatDamageTest, ClustersTakenAgainMakeADeletedFileOverwritten) {
  // The deleted clip's first cluster is allocated again: another file holds it now.
  auto bytes = m_bytes;
  const uint32_t clip = NoteCluster(Row("/clip.mov").note);
  const size_t bitmap = ClusterOffset(bytes[RootEntry(0x81) + 20]);
  bytes[bitmap + (clip - 2) / 8] |= static_cast<uint8_t>(1u << ((clip - 2) % 8));
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/clip.mov"), 1u);
  EXPECT_EQ(StateOf(found.at("/clip.mov").record), ItemState::kOverwritten);
  EXPECT_EQ(StateOf(found.at("/DCIM/100CANON/IMG_0003.JPG").record), ItemState::kIntact);
  // An overwritten photo is listed, marked so, unlike a damaged one.
  const uint32_t photo = NoteCluster(Row("/Deleted Photo.jpg").note);
  bytes[bitmap + (photo - 2) / 8] |= static_cast<uint8_t>(1u << ((photo - 2) % 8));
  const auto again = CollectAll(*ScanBytes(bytes));
  ASSERT_EQ(again.count("/Deleted Photo.jpg"), 1u);
  EXPECT_EQ(StateOf(again.at("/Deleted Photo.jpg").record), ItemState::kOverwritten);
}

TEST_F(ExFatDamageTest, OfTwoDeletedFilesOverOneRunTheOneWhoseStructureHoldsKeepsIt) {
  // "Deleted Photo.jpg" is made to claim the clusters of IMG_0003.JPG, and to
  // have been created later: both begin as a JPEG there, but only IMG_0003's
  // structure ends where its size does.
  auto bytes = m_bytes;
  const size_t victim = Set(bytes, "Deleted Photo.jpg");
  const size_t owner = Set(bytes, "IMG_0003.JPG");
  Put32(bytes, victim + 32 + 20, Get32(bytes, owner + 32 + 20));
  Put32(bytes, victim + 8, Get32(bytes, owner + 8) + (1u << 25));  // a year later
  FixSetChecksum(bytes, victim);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  EXPECT_EQ(+found.at("/DCIM/100CANON/IMG_0003.JPG").record.isIntact, 1);
  EXPECT_EQ(found.count("/Deleted Photo.jpg"), 0u);  // damaged, so hidden as every damaged photo is
}

TEST_F(ExFatDamageTest, OfTwoDeletedFilesOverOneRunWithoutStructureTheLaterKeepsIt) {
  // a.txt is made to start where deleted_root.txt did, created later: it overwrote it.
  auto bytes = m_bytes;
  const size_t later = Set(bytes, "a.txt");
  const size_t earlier = Set(bytes, "deleted_root.txt");
  Put32(bytes, later + 32 + 20, Get32(bytes, earlier + 32 + 20));
  Put32(bytes, later + 8, Get32(bytes, earlier + 8) + (1u << 25));
  FixSetChecksum(bytes, later);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  EXPECT_EQ(+found.at("/Trash Folder/a.txt").record.isIntact, 1);
  EXPECT_EQ(+found.at("/deleted_root.txt").record.isIntact, 0);
}

TEST_F(ExFatDamageTest, ADirectoryThatALiveAndADeletedFolderNameBelongsToTheLiveOne) {
  // The deleted "Trash Folder" is made to name the directory of the live "Docs":
  // Docs's deleted files stay in Docs, whichever entry the walk meets first.
  auto bytes = m_bytes;
  const size_t trash = Set(bytes, "Trash Folder");
  const size_t docs = Set(bytes, "Docs");
  Put32(bytes, trash + 32 + 20, Get32(bytes, docs + 32 + 20));
  FixSetChecksum(bytes, trash);
  auto engine = ScanBytes(bytes);
  const auto found = CollectAll(*engine);
  EXPECT_EQ(found.count("/Docs/old_report.pdf"), 1u);
  EXPECT_EQ(found.count("/Trash Folder/old_report.pdf"), 0u);
  ASSERT_EQ(found.count("/Docs"), 1u);
  EXPECT_EQ(+found.at("/Docs").record.isDeleted, 0);
}

int32_t CancelAtOnce(void*, int32_t percent, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  return percent > 1 ? kStatusCancelled : 0;
}

TEST_F(ExFatDamageTest, ACancelStopsTheWalkAndKeepsWhatWasFound) {
  exfat::CFastExFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(MemorySource(m_bytes), 0, 0, 'M'), kStatusOk);
  engine.SetReportIntervalMs(0);
  ASSERT_EQ(engine.SetProgressCallbacks(CancelAtOnce, nullptr, nullptr, 100), kStatusOk);
  EXPECT_EQ(engine.Scan(nullptr), kStatusCancelled);
  // What the root held was recorded before the cancel and stays reachable.
  EXPECT_EQ(CollectAll(engine).count("/deleted_root.txt"), 1u);
}

TEST(ExFatBigVolume, AFileOfMoreThan4GiBKeepsItsSizeAndItsClusters) {
  const std::string folder = testing_support::UnpackedFixtureArchive("exfat_big.tar.gz");
  if (folder.empty()) GTEST_SKIP() << "fixture exfat_big is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("exfat_big.manifest.tsv"));
  ScanHome home;
  const std::string image = folder + "exfat_big.img";
  auto engine = ScanImage(image);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/Video/huge.bin"), 1u);
  const ItemRecord& huge = found.at("/Video/huge.bin").record;
  uint64_t size = 0;
  for (const ManifestRow& row : rows) {
    if (row.path == "/Video/huge.bin") size = std::stoull(row.size);
  }
  EXPECT_GT(size, 1ull << 32);
  EXPECT_EQ(+huge.size, size);
  EXPECT_EQ(+huge.locator, 7);
  EXPECT_EQ(engine->FragmentCount(huge), 1);

  // Its first bytes, through the preview path.
  std::vector<uint8_t> head(4096);
  uint32_t length = static_cast<uint32_t>(head.size());
  std::string temp;
  ASSERT_EQ(engine->ExtractItem(&huge, temp, head.data(), &length, nullptr, nullptr), kStatusOk);
  ASSERT_EQ(length, head.size());
  EXPECT_EQ(std::string(head.begin(), head.begin() + 19), "QM-EXFAT-HUGE-HEAD ");

  // Its last cluster lies past 5 GiB of the volume: read it as the copy does.
  const exfat::ExFatGeometry& g = engine->Geometry();
  exfat::ExFatVolume volume;
  storage::SectorSource source;
  ASSERT_EQ(storage::OpenImageSource(source, image), kStatusOk);
  volume.Own(std::move(source), 512, 0, 0);
  const uint64_t lastIndex = (size - 1) / g.ClusterBytes();
  exfat::ItemData tail;
  tail.validBytes = size - lastIndex * g.ClusterBytes();
  tail.runs.push_back({7 + lastIndex, 1});
  CollectSink sink;
  ASSERT_EQ(exfat::CopyItemBytes(volume, g, nullptr, 0, tail.validBytes, tail, tail.validBytes, sink, {}), kStatusOk);
  ASSERT_EQ(sink.bytes.size(), 1900u);
  EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.begin() + 19), "QM-EXFAT-HUGE-TAIL ");
}

}  // namespace
}  // namespace engine::exfat_testing
