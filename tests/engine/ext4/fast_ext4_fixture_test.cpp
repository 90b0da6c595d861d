// SPDX-License-Identifier: GPL-3.0-or-later
// The fast ext engine against volumes made by mkfs.ext4 / mkfs.ext3 and
// written and deleted through the kernel's driver: every deleted file comes
// back under its own name and folder, byte-exact; what cannot be had is
// said so (overwritten, damaged), never passed off as intact.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

using testing_support::ManifestRow;

class Ext4FixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_rows = testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
    ASSERT_FALSE(m_rows.empty());
    m_home = std::make_unique<ScanHome>();
    m_engine = ScanImage(m_image);
    m_found = CollectAll(*m_engine);
  }

  const FoundItem* Find(const std::string& path) const {
    const auto it = m_found.find(path);
    return it == m_found.end() ? nullptr : &it->second;
  }

  std::vector<uint8_t> Copy(const ItemRecord& item) {
    testing_support::TempDir out;
    const std::string target = out.path() + "copy";
    EXPECT_EQ(m_engine->RecoverItem(&item, target, 0), kStatusOk) << item.Name();
    return testing_support::ReadFileBytes(target);
  }

  std::string m_image;
  std::vector<ManifestRow> m_rows;
  std::unique_ptr<ScanHome> m_home;
  std::unique_ptr<ext4::CFastExt4Recovery> m_engine;
  std::map<std::string, FoundItem> m_found;
};

bool Expected(const ManifestRow& row) {
  return row.state == "deleted" && row.note.find("journal wrapped") == std::string::npos &&
         row.note.find("overwritten") == std::string::npos;
}

TEST_P(Ext4FixtureTest, EveryDeletedFileComesBackByteExactUnderItsOwnName) {
  int files = 0;
  int expected = 0;
  for (const ManifestRow& row : m_rows) {
    if (!Expected(row)) continue;
    expected += row.size != "-" ? 1 : 0;
    const FoundItem* found = Find(row.path);
    ASSERT_NE(found, nullptr) << row.path << " (" << row.note << ") not found";
    EXPECT_NE(+found->record.isDeleted, 0) << row.path;
    if (row.size == "-") {
      EXPECT_NE(+found->record.isFolder, 0) << row.path;
      continue;
    }
    ++files;
    EXPECT_EQ(+found->record.isFolder, 0) << row.path;
    EXPECT_EQ(std::to_string(found->record.size), row.size) << row.path;
    EXPECT_EQ(StateOf(found->record), ItemState::kIntact) << row.path;
    EXPECT_EQ(std::to_string(found->record.locator), NoteValue(row.note, "inode")) << row.path;
    EXPECT_EQ(testing_support::Sha256OfBytes(Copy(found->record)), row.sha256) << row.path;
  }
  EXPECT_EQ(files, expected);
}

TEST_P(Ext4FixtureTest, LiveFilesAreNotListedAndLostOnesAreNeverIntact) {
  for (const ManifestRow& row : m_rows) {
    const FoundItem* found = Find(row.path);
    if (row.state == "live" && row.size != "-") {
      EXPECT_EQ(found, nullptr) << row.path << " is live";
    }
    if (row.note.find("overwritten") != std::string::npos) {
      ASSERT_NE(found, nullptr) << row.path;
      EXPECT_EQ(StateOf(found->record), ItemState::kOverwritten) << row.path;
    }
    if (row.note.find("journal wrapped") != std::string::npos && found != nullptr) {
      EXPECT_NE(StateOf(found->record), ItemState::kIntact) << row.path;
    }
  }
}

TEST_P(Ext4FixtureTest, EveryFolderOfTheseSoundVolumesIsRead) {
  EXPECT_EQ(m_engine->UnreadableParts(), 0u) << "a folder block was taken for unreadable";
}

TEST_P(Ext4FixtureTest, BrowsingAndSearchAgree) {
  testing_invariant::ExpectBrowsingFindsWhatSearchFinds(*m_engine, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Volumes, Ext4FixtureTest,
                         ::testing::Values("ext4_home", "ext4_mounted", "ext4_inline", "ext3_deleted", "ext4_reuse",
                                           "ext4_wrapped"));

}  // namespace
}  // namespace engine::ext4_testing
