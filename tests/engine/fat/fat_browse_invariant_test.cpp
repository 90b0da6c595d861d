// SPDX-License-Identifier: GPL-3.0-or-later
// Browsing reaches every file a search finds, and nothing else, on every FAT
// fixture and on damaged copies of it.
#include <gtest/gtest.h>

#include <random>

#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/fat/fat_test_util.h"

namespace engine::fat_testing {
namespace {

class FatBrowseInvariant : public ::testing::TestWithParam<const char*> {};

TEST_P(FatBrowseInvariant, HoldsOnTheFixtureAndOnDamagedCopies) {
  const std::string path = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
  const std::vector<uint8_t> clean = testing_support::ReadFileBytes(path);
  ScanHome home;
  fat::CFastFatRecovery probe;
  ASSERT_EQ(probe.OpenSource(MemorySource(clean), 0, 0, 'M'), kStatusOk);
  const fat::FatGeometry g = probe.Geometry();
  // The copies: bytes of the FAT, of the directories' first clusters and of
  // the data area overwritten at random, with a fixed seed per copy.
  const uint64_t fatStart = g.fatStartSector * g.bytesPerSector;
  const uint64_t dataStart = g.dataStartSector * g.bytesPerSector;
  const uint64_t used = std::min<uint64_t>(clean.size(), dataStart + 256 * uint64_t{g.ClusterBytes()});
  const uint32_t copies = clean.size() > (64u << 20) ? 3 : 12;  // large images cost more per copy
  for (uint32_t seed = 0; seed <= copies; ++seed) {
    std::vector<uint8_t> image = clean;
    std::mt19937 random(seed);
    if (seed != 0) {
      for (int k = 0; k < 40; ++k) {
        const uint64_t region = random() % 3;
        const uint64_t from = region == 0 ? fatStart : region == 1 ? g.rootDirSector * g.bytesPerSector : dataStart;
        const uint64_t span = region == 0 ? g.FatBytes() : std::max<uint64_t>(1, used - from);
        const uint64_t at = from + random() % span;
        if (at < image.size()) image[at] = static_cast<uint8_t>(random());
      }
    }
    fat::CFastFatRecovery engine;
    if (engine.OpenSource(MemorySource(image), 0, 0, 'M') != kStatusOk) continue;
    (void)engine.Scan(nullptr);  // damaged copies may fail part of the way: what was found must still agree
    testing_invariant::ExpectBrowsingFindsWhatSearchFinds(engine, std::string(GetParam()) + " seed " +
                                                                      std::to_string(seed));
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FatBrowseInvariant,
                         ::testing::Values("fat12", "fat16", "fat32_512", "fat32_4k", "fat_fragments", "fat_reuse"));

}  // namespace
}  // namespace engine::fat_testing
