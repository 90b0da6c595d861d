// SPDX-License-Identifier: GPL-3.0-or-later
// Browsing reaches every file a search finds, and nothing else, on every
// NTFS fixture and on damaged copies of it.
#include <gtest/gtest.h>

#include <random>

#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

class NtfsBrowseInvariant : public ntfs_test::NtfsFixtureTest {};

TEST_P(NtfsBrowseInvariant, HoldsOnTheFixtureAndOnDamagedCopies) {
  const std::vector<uint8_t> clean = testing_support::ReadFileBytes(m_imagePath);
  const uint64_t records = ntfs_test::ManifestValue(m_manifestPath, "mft_records");
  for (uint32_t seed = 0; seed <= 12; ++seed) {
    std::vector<uint8_t> image = clean;
    std::mt19937 random(seed);
    if (seed != 0) {
      // Bytes of the records' attributes and headers, the parent references among them.
      for (int k = 0; k < 60; ++k) {
        const uint64_t at = m_mftOffset + 16 * 1024 + random() % ((records - 16) * 1024);
        if (at < image.size()) image[at] = static_cast<uint8_t>(random());
      }
    }
    CFastNtfsRecovery engine;
    storage::SectorSource source;
    storage::OpenMemorySource(source, image);
    if (engine.OpenSource(std::move(source), 0, 0, 'E') != kStatusOk) continue;
    (void)engine.Scan(nullptr);  // damaged copies may fail part of the way: what was found must still agree
    testing_invariant::ExpectBrowsingFindsWhatSearchFinds(engine, std::string(GetParam()) + " seed " +
                                                                      std::to_string(seed));
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsBrowseInvariant, ::testing::Values("ntfs_512", "ntfs_4k"));

}  // namespace
}  // namespace engine::ntfs
