// SPDX-License-Identifier: GPL-3.0-or-later
// The fast exFAT engine on the public exFAT images of ../shared/testdata
// (written by Windows 10, Windows 7 and Linux): what each holds deleted,
// and that nothing their listings give as live is reported.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "engine/exfat/fast_exfat_recovery.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

#define QM_SHARED_EXFAT_OR_SKIP(var, name)                                            \
  const std::string var = testing_support::UnpackedSharedTestData("dfir_ntfs/" name); \
  if (var.empty()) GTEST_SKIP() << "../shared/testdata is not available"

TEST(ExFatPublicImages, WindowsTenDeletedFilesAndNoLiveOne) {
  QM_SHARED_EXFAT_OR_SKIP(image, "exfat_win.raw.gz");
  ScanHome home;
  auto engine = ScanImage(image);
  const auto found = CollectAll(*engine);
  // Three files whose clusters live files took since, and an empty text file.
  for (const char* path : {"/1.bin", "/333.bin", "/555.bin", "/Текстовый документ.txt"}) {
    ASSERT_EQ(found.count(path), 1u) << path;
    EXPECT_EQ(+found.at(path).record.isDeleted, 1);
  }
  EXPECT_EQ(StateOf(found.at("/1.bin").record), ItemState::kOverwritten);
  EXPECT_EQ(+found.at("/Текстовый документ.txt").record.isIntact, 1);
  EXPECT_EQ(found.size(), 4u);
  // Nothing the listing of the live volume names is reported.
  std::ifstream listing(testing_support::SharedTestData("dfir_ntfs/exfat_win_stat.txt"));
  std::set<std::string> live;
  for (std::string line; std::getline(listing, line);) live.insert(line.substr(0, line.find('\t')));
  ASSERT_GT(live.size(), 600u);
  for (const auto& [path, item] : found) EXPECT_EQ(live.count(path), 0u) << path;
}

TEST(ExFatPublicImages, AFolderDeletedWithItsFortyTwoFiles) {
  QM_SHARED_EXFAT_OR_SKIP(image, "exfat_orphan.raw.gz");
  ScanHome home;
  auto engine = ScanImage(image);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/test"), 1u);
  EXPECT_EQ(+found.at("/test").record.isDeleted, 1);
  for (int i = 1; i <= 42; ++i) {
    const std::string path = "/test/" + std::to_string(i) + ".txt";
    ASSERT_EQ(found.count(path), 1u) << path;
  }
  int32_t files = 0;
  ASSERT_EQ(engine->CountFiles(nullptr, 0, &files), kStatusOk);
  EXPECT_EQ(files, 42);
}

TEST(ExFatPublicImages, WindowsSevenIsReadThroughItsBackupBootRegion) {
  QM_SHARED_EXFAT_OR_SKIP(image, "win_exfat_7.raw.gz");
  ScanHome home;
  auto engine = ScanImage(image);
  EXPECT_EQ(engine->Geometry().region, ExFatBootRegionUsed::kBackup);
  const auto found = CollectAll(*engine);
  ASSERT_EQ(found.count("/Новый текстовый документ.txt"), 1u);
  EXPECT_EQ(found.size(), 1u);
}

TEST(ExFatPublicImages, ALinuxPartitionWithNothingDeleted) {
  QM_SHARED_EXFAT_OR_SKIP(image, "exfat_lin_part.raw.gz");
  ScanHome home;
  storage::SectorSource source;
  ASSERT_EQ(storage::OpenImageSource(source, image), kStatusOk);
  exfat::CFastExFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(std::move(source), 2048, 129024, 'L'), kStatusOk);  // the MBR's partition
  ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
  EXPECT_EQ(engine.GetItemCount(), 0u);
  EXPECT_TRUE(engine.HasBitmap());
  EXPECT_TRUE(engine.HasUpcaseTable());
}

}  // namespace
}  // namespace engine::exfat_testing
