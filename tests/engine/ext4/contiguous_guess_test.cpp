// SPDX-License-Identifier: GPL-3.0-or-later
// Deleted ext4 files no copy of whose inode keeps a map: the run their
// neighbours' layout gives them is kept intact only when the content checks
// out. The volume: ext4_wrapped (mkfs.ext4, the kernel's driver, the journal
// wrapped over the files' inodes); here one byte of a file's run is changed
// so that its content no longer checks: the file is then damaged (a
// damaged photo is not listed at all), never intact.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

struct Spoiled {
  const char* path;
  uint64_t offset;  // in the file's run
  uint8_t byte;
  const char* why;
  bool hiddenWhenDamaged = false;
};

class ContiguousGuessTest : public ::testing::TestWithParam<Spoiled> {};

TEST_P(ContiguousGuessTest, ARunWhoseContentDoesNotCheckIsDamagedButKept) {
  const Spoiled& spoiled = GetParam();
  const std::string image = testing_support::UnpackedFixture("ext4_wrapped.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture ext4_wrapped is not available";
  ScanHome home;
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(image);
  uint64_t start = 0;
  {
    Status opened = 0;
    Status scanned = 0;
    auto engine = ScanBytes(bytes, &opened, &scanned);
    ASSERT_EQ(opened, kStatusOk);
    ASSERT_EQ(scanned, kStatusOk);
    const auto found = CollectAll(*engine);
    const auto it = found.find(spoiled.path);
    ASSERT_NE(it, found.end()) << spoiled.path;
    ASSERT_EQ(StateOf(it->second.record), ItemState::kIntact) << spoiled.path;
    start = it->second.record.dataStartSector * 512;
  }
  ASSERT_LT(start + spoiled.offset, bytes.size());
  bytes[static_cast<size_t>(start + spoiled.offset)] = spoiled.byte;
  Status opened = 0;
  Status scanned = 0;
  auto engine = ScanBytes(bytes, &opened, &scanned);
  ASSERT_EQ(scanned, kStatusOk);
  const auto found = CollectAll(*engine);
  const auto it = found.find(spoiled.path);
  if (it == found.end()) {
    // Damaged photos are not listed (the store's rule for every engine).
    EXPECT_TRUE(spoiled.hiddenWhenDamaged) << spoiled.path << " not found";
    return;
  }
  EXPECT_EQ(StateOf(it->second.record), ItemState::kDamaged) << spoiled.why;
  const uint64_t size = it->second.record.size;  // a copy: the record's fields are not aligned
  EXPECT_NE(size, 0u) << "the run is still offered";
}

INSTANTIATE_TEST_SUITE_P(
    Spoiled, ContiguousGuessTest,
    ::testing::Values(Spoiled{"/docs/photo.jpg", 0, 0x00, "a JPEG that does not begin as one", true},
                      Spoiled{"/docs/bundle.zip", 0, 'Q', "a ZIP whose first header is broken"},
                      Spoiled{"/docs/notes.txt", 9500, 0x01, "text not followed by the zeros of its last block"}));

}  // namespace
}  // namespace engine::ext4_testing
