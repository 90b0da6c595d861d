// SPDX-License-Identifier: GPL-3.0-or-later
// Both raw engines opened on one shared source and fed together, as the
// deep-scan coordinator will: directory sectors to the professional FAT
// engine, everything else to the signature scanner. On a quick-formatted
// volume every picture, document and archive of a found folder is carved too,
// at its first sector and with its size.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "tests/engine/deep/deep_test_util.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/engine/fat/professional_fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::deep_testing {
namespace {

TEST(SharedSource, BothRawEnginesFedTogetherAgree) {
  const std::string image = testing_support::UnpackedFixture("fat32_quick.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture fat32_quick is not available";
  const std::vector<uint8_t> bytes = testing_support::ReadFileBytes(image);
  fat_testing::ScanHome home;
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  fat::CProfessionalFatRecovery fat;
  deep::CFileTypeRecovery carver;
  ASSERT_EQ(fat.OpenSharedSource(source, 512, 0, 0, 'S'), kStatusOk);
  ASSERT_EQ(carver.OpenSharedSource(source, 512, 0, 0, 'S'), kStatusOk);
  ASSERT_EQ(fat.BeginFatScan(nullptr), kStatusOk);
  (void)fat.PrepareFatGeometry();
  carver.ClearStreamExtents();
  const FeedResult fed = FeedExtents(source, 0, fat_testing::FreeExtentsOf(bytes), &fat, &carver);
  EXPECT_EQ(fed.status, kStatusOk);
  ASSERT_EQ(fat.FinishFatScan(), kStatusOk);

  std::vector<ItemRecord> carved;
  ASSERT_EQ(carver.ListChildren(nullptr, 0, carved), kStatusOk);
  std::map<uint64_t, const ItemRecord*> bySector;
  for (const ItemRecord& item : carved) bySector[+item.entrySector] = &item;
  int checked = 0;
  for (const auto& [path, found] : fat_testing::CollectAll(fat)) {
    const ItemRecord& r = found.record;
    if (r.isFolder != 0 || r.isIntact == 0 || r.size == 0) continue;
    const std::string extension(ExtensionOf(r.Name()));
    if (extension != "jpg" && extension != "png" && extension != "pdf" && extension != "zip") continue;
    const uint64_t first =
        r.volumeStartSector + r.dataStartSector +
        uint64_t{static_cast<uint32_t>(r.locator) - 2} * (static_cast<uint32_t>(r.clusterBytes) / 512);
    auto it = bySector.find(first);
    ASSERT_NE(it, bySector.end()) << path;
    EXPECT_EQ(+it->second->size, +r.size) << path;
    EXPECT_EQ(Extract(carver, *it->second), Extract(fat, r)) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 40 + 3);  // the pictures, report.pdf, backup.zip, image.png
}

}  // namespace
}  // namespace engine::deep_testing
