// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of ext volumes made again with mkfs.ext4 in another
// geometry (another inode size, fewer blocks): the old inode tables are
// found where the new ones did not land or have not yet been zeroed,
// numbered from the folders whose first blocks name them, and the old files
// come back with their names, folders and bytes; and what lay under new
// inode tables that no inode has used yet comes back.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "engine/ext4/crc32c.h"
#include "tests/engine/deep/deep_scan_util.h"
#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Remade {
  const char* name;
  std::array<uint8_t, 16> oldUuid;  // what make_ext4_remade.sh gave the volume first
};

class Ext4Remade : public ::testing::TestWithParam<Remade> {};

TEST_P(Ext4Remade, OldFilesComeBackWithTheirNamesFoldersAndBytes) {
  const std::string name = GetParam().name;
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  const std::string image = testing_support::UnpackedFixture(name + ".img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture " << name << " is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath(name + ".manifest.tsv"));
  auto run = deep_testing::DeepScanBytes(testing_support::ReadFileBytes(image));
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_TRUE(run->engine->ScannedFreeSpaceOnly());
  // The inodes found tell the old volume's checksum seed: crc32c of its uuid.
  uint32_t seed = 0;
  ASSERT_TRUE(run->engine->ProfessionalExt4().OldSeed(&seed));
  EXPECT_EQ(seed, ext4::Crc32c(0xFFFFFFFFu, GetParam().oldUuid.data(), 16));
  const auto all = deep_testing::ListEverything(*run->engine);
  std::map<std::string, std::string> inodeOf;  // folder path -> old inode
  for (const auto& row : rows) inodeOf[row.path] = NoteValue(row.note, "inode");
  testing_support::TempDir out;
  int back = 0;
  for (const auto& row : rows) {
    if (row.size == "-") continue;
    const size_t slash = row.path.rfind('/');
    const std::string folder = row.path.substr(0, slash);
    const std::string file = row.path.substr(slash);
    // Its folder by name, or as the lost folder of its old inode when the old root block is gone.
    const std::string named = folder.substr(folder.rfind('/')) + file;
    const std::string lost = "/LostFolder" + inodeOf[folder] + file;
    const deep_testing::Listed* item = nullptr;
    for (const auto& l : all) {
      if (l.record.sourceKind == static_cast<int32_t>(SourceKind::kProfessionalExt4) &&
          (EndsWith(l.path, named) || EndsWith(l.path, lost))) {
        item = &l;
      }
    }
    const bool expected = NoteValue(row.note, "back") == "yes";
    if (item == nullptr) {
      EXPECT_FALSE(expected) << row.path << " is not listed";
      continue;
    }
    EXPECT_EQ(std::to_string(item->record.locator), NoteValue(row.note, "inode")) << row.path;
    const bool intact = StateOf(item->record) == ItemState::kIntact;
    EXPECT_TRUE(intact || !expected) << row.path << " is not intact";
    if (!intact) continue;
    // Intact is never claimed for bytes that are not the file's own.
    const std::string target = out.path() + "f" + std::to_string(back);
    ASSERT_EQ(run->engine->RecoverItem(&item->record, target, 0), kStatusOk) << row.path;
    EXPECT_EQ(testing_support::Sha256OfFile(target), row.sha256) << row.path;
    ++back;
  }
  EXPECT_GT(back, 0);
}

constexpr std::array<uint8_t, 16> OldUuid(uint8_t last) {
  return {0x51, 0x55, 0x4d, 0x00, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, last};
}

INSTANTIATE_TEST_SUITE_P(Geometries, Ext4Remade,
                         ::testing::Values(Remade{"ext4_remade_isize", OldUuid(0xfa)},
                                           Remade{"ext4_remade_blocks", OldUuid(0xfb)}),
                         [](const auto& info) { return std::string(info.param.name); });

// Made again with smaller blocks and many inodes: the new inode tables,
// never zeroed and holding no inode yet, lie over the old files' data. The
// deep scan reads them as free space: every file whose data lies there
// comes back (by content).
TEST(Ext4RemadeSmallerBlocks, FilesUnderTheNewTablesNoInodeUsedComeBack) {
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  const std::string image = testing_support::UnpackedFixture("ext4_remade_bsize.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture ext4_remade_bsize is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("ext4_remade_bsize.manifest.tsv"));
  auto run = deep_testing::DeepScanBytes(testing_support::ReadFileBytes(image));
  ASSERT_EQ(run->status, kStatusOk);
  testing_support::TempDir out;
  std::set<std::string> listed;
  for (const auto& [path, hash] :
       deep_testing::CopiedContents(*run->engine, deep_testing::ListEverything(*run->engine), out.path())) {
    listed.insert(hash);
  }
  int under = 0;
  for (const auto& row : rows) {
    if (NoteValue(row.note, "under") != "tables") continue;
    ++under;
    EXPECT_EQ(listed.count(row.sha256), 1u) << row.path;
  }
  EXPECT_GT(under, 0);
}

}  // namespace
}  // namespace engine::ext4_testing
