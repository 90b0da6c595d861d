// SPDX-License-Identifier: GPL-3.0-or-later
// A folder whose directory cannot be read ends only itself, and the scan
// says how many it passed over, so that its missing files are not taken
// for a complete list; a later run showing the kept result says it too.
#include <gtest/gtest.h>

#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/store/scan_store.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

// The fixture as a memory source whose sector `bad` cannot be read.
void OpenWithFault(storage::SectorSource& source, const std::string& fixture, uint64_t bad) {
  const std::string path = testing_support::UnpackedFixture(fixture + ".img.gz");
  ASSERT_FALSE(path.empty());
  storage::MemorySourceOptions options;
  if (bad != 0) options.faultSectors.insert(bad);
  storage::OpenMemorySource(source, testing_support::ReadFileBytes(path), options);
}

class ScanGapsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store::ScanIndex::Instance().Load();
    ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  }
  testing_support::ScopedDataHome m_home;
};

TEST_F(ScanGapsTest, AnUnreadableFatFolderIsCountedAndTheRestIsScanned) {
  // fat16: /Photos is cluster 4.
  uint64_t bad = 0;
  {
    storage::SectorSource probe;
    OpenWithFault(probe, "fat16", 0);
    fat::CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenSource(storage::ShareSource(probe), 0, 0, 'G'), kStatusOk);
    bad = engine.Geometry().ClusterSector(4);
    ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
    EXPECT_EQ(engine.UnreadableParts(), 0u);
  }
  storage::SectorSource source;
  OpenWithFault(source, "fat16", bad);
  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  EXPECT_EQ(engine.Scan(nullptr), kStatusOk);
  EXPECT_EQ(engine.UnreadableParts(), 1u);
  EXPECT_GT(engine.GetItemCount(), 0u);  // the other folders' files are there
  fat::CFastFatRecovery reused;
  ASSERT_EQ(reused.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  ASSERT_EQ(reused.Scan(store::MakeLogBaseName(store::kFastLogPrefix, 0).c_str()), kStatusOk);
  EXPECT_EQ(reused.UnreadableParts(), 1u);
}

TEST_F(ScanGapsTest, AnUnreadableExFatFolderIsCountedAndTheRestIsScanned) {
  // exfat_512: /DCIM/100CANON is cluster 7.
  uint64_t bad = 0;
  {
    storage::SectorSource probe;
    OpenWithFault(probe, "exfat_512", 0);
    exfat::CFastExFatRecovery engine;
    ASSERT_EQ(engine.OpenSource(storage::ShareSource(probe), 0, 0, 'G'), kStatusOk);
    bad = engine.Geometry().ClusterSector(7);
    ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
    EXPECT_EQ(engine.UnreadableParts(), 0u);
  }
  storage::SectorSource source;
  OpenWithFault(source, "exfat_512", bad);
  exfat::CFastExFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  EXPECT_EQ(engine.Scan(nullptr), kStatusOk);
  EXPECT_EQ(engine.UnreadableParts(), 1u);
  EXPECT_GT(engine.GetItemCount(), 0u);
  exfat::CFastExFatRecovery reused;
  ASSERT_EQ(reused.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  ASSERT_EQ(reused.Scan(store::MakeLogBaseName(store::kFastLogPrefix, 0).c_str()), kStatusOk);
  EXPECT_EQ(reused.UnreadableParts(), 1u);
}

TEST_F(ScanGapsTest, AnUnreadableExtFolderIsCountedAndTheRestIsScanned) {
  // The first block of a deleted folder the scan reads.
  uint64_t bad = 0;
  {
    storage::SectorSource probe;
    OpenWithFault(probe, "ext4_home", 0);
    ext4::CFastExt4Recovery engine;
    ASSERT_EQ(engine.OpenSource(storage::ShareSource(probe), 0, 0, 'G'), kStatusOk);
    ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
    EXPECT_EQ(engine.UnreadableParts(), 0u);
    ASSERT_FALSE(engine.MetadataRuns().empty());
    bad = engine.MetadataRuns().front().offset / engine.SectorBytes();
  }
  storage::SectorSource source;
  OpenWithFault(source, "ext4_home", bad);
  ext4::CFastExt4Recovery engine;
  ASSERT_EQ(engine.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  EXPECT_EQ(engine.Scan(nullptr), kStatusOk);
  EXPECT_EQ(engine.UnreadableParts(), 1u);
  EXPECT_GT(engine.GetItemCount(), 0u);
  ext4::CFastExt4Recovery reused;
  ASSERT_EQ(reused.OpenSource(storage::ShareSource(source), 0, 0, 'G'), kStatusOk);
  ASSERT_EQ(reused.Scan(store::MakeLogBaseName(store::kFastLogPrefix, 0).c_str()), kStatusOk);
  EXPECT_EQ(reused.UnreadableParts(), 1u);
}

}  // namespace
}  // namespace engine
