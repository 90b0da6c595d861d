// SPDX-License-Identifier: GPL-3.0-or-later
// The professional ext engine on its own, handed every block of a volume
// that was made again with mkfs.ext4: the old folders and files come back
// with their names, byte-exact.
#include <gtest/gtest.h>

#include "engine/ext4/professional_ext4_recovery.h"
#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

TEST(ProfessionalExt4, ARemadeVolumeGivesBackItsOldTreeFromTheBlocksHandedOver) {
  const std::string image = testing_support::UnpackedFixture("ext4_reformatted.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture ext4_reformatted is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("ext4_reformatted.manifest.tsv"));
  ScanHome home;
  const std::vector<uint8_t> bytes = testing_support::ReadFileBytes(image);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  ext4::CProfessionalExt4Recovery engine;
  ASSERT_EQ(engine.OpenSharedSource(source, 512, 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.BeginExt4Scan(nullptr), kStatusOk);
  ASSERT_TRUE(engine.PrepareExt4Geometry());
  for (uint64_t sector = 0; sector * 512 < bytes.size(); ++sector) {
    if (engine.WantsSector(sector)) (void)engine.HandleExt4Block(&bytes[sector * 512], bytes.size() - sector * 512, sector);
  }
  ASSERT_EQ(engine.FinishExt4Scan(), kStatusOk);
  // mkfs wrote the new root over the old one: top-level names are lost (the
  // folders come back as LostFolder<inode>); everything below keeps its name.
  // A file whose inode mkfs zeroed is listed by name, damaged; any other
  // comes back byte-exact.
  const auto found = CollectAll(engine);
  int intact = 0;
  for (const auto& row : rows) {
    const std::string name = row.path.substr(row.path.rfind('/') + 1);
    const std::string inode = NoteValue(row.note, "inode");
    const FoundItem* item = nullptr;
    for (const auto& [path, f] : found) {
      if (std::string(f.record.Name()) == name && std::to_string(f.record.locator) == inode) item = &f;
      if (row.size == "-" && std::string(f.record.Name()) == "LostFolder" + inode) item = &f;
    }
    ASSERT_NE(item, nullptr) << row.path;
    if (row.size == "-") {
      EXPECT_NE(+item->record.isFolder, 0) << row.path;
      continue;
    }
    if (StateOf(item->record) != ItemState::kIntact) continue;
    ++intact;
    testing_support::TempDir out;
    ASSERT_EQ(engine.RecoverItem(&item->record, out.path() + "copy", 0), kStatusOk) << row.path;
    EXPECT_EQ(testing_support::Sha256OfFile(out.path() + "copy"), row.sha256) << row.path;
  }
  EXPECT_GT(intact, 0);
}

}  // namespace
}  // namespace engine::ext4_testing
