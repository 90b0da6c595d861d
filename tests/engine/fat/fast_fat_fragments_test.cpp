// SPDX-License-Identifier: GPL-3.0-or-later
// Deleted files whose clusters lie in pieces: written in turns, around a
// deleted folder, in a folder whose directory grew between their data.
#include <gtest/gtest.h>

#include "engine/item_fragments.h"
#include "tests/engine/fat/fat_test_util.h"

namespace engine::fat_testing {
namespace {

using testing_support::ReadManifest;
using testing_support::Sha256OfFile;

class FastFatFragmentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture("fat_fragments.img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture fat_fragments is not available";
    m_manifest = ReadManifest(testing_support::FixturePath("fat_fragments.manifest.tsv"));
    m_engine = ScanImage(m_image);
    m_all = CollectAll(*m_engine);
  }

  ScanHome m_home;
  testing_support::TempDir m_out;
  std::string m_image;
  std::vector<testing_support::ManifestRow> m_manifest;
  std::unique_ptr<fat::CFastFatRecovery> m_engine;
  std::map<std::string, FoundItem> m_all;
};

TEST_F(FastFatFragmentsTest, EveryDeletedFileComesBackByteExactFromItsPieces) {
  int checked = 0;
  for (const auto& row : m_manifest) {
    if (row.state != "deleted") continue;
    auto found = m_all.find(row.path);
    ASSERT_NE(found, m_all.end()) << row.path;
    const ItemRecord& item = found->second.record;
    EXPECT_EQ(+item.isIntact, 1) << row.path;
    const std::string out = m_out.path() + std::to_string(checked);
    ASSERT_EQ(m_engine->RecoverItem(&item, out, 0), kStatusOk) << row.path;
    EXPECT_EQ(Sha256OfFile(out), row.sha256) << row.path;
    if (row.note.find("fragmented") != std::string::npos) {
      EXPECT_GT(m_engine->FragmentCount(item), 1) << row.path;
    } else {
      EXPECT_EQ(m_engine->FragmentCount(item), 1) << row.path;
    }
    ++checked;
  }
  EXPECT_GE(checked, 70);
}

TEST_F(FastFatFragmentsTest, LiveFilesAreNotListed) {
  EXPECT_EQ(m_all.count("/keep_before.txt"), 0u);
  EXPECT_EQ(m_all.count("/keep_after.txt"), 0u);
}

// A store reopened later copies the same pieces.
TEST_F(FastFatFragmentsTest, AReopenedStoreKeepsTheLayouts) {
  const std::string name = m_engine->StoreBaseName();
  fat::CFastFatRecovery reopened;
  ASSERT_EQ(reopened.OpenImage(m_image, 'E'), kStatusOk);
  ASSERT_EQ(reopened.Scan(name.c_str()), kStatusOk);
  const auto* row = &m_manifest[0];
  for (const auto& r : m_manifest) {
    if (r.path == "/DCIM/IMG_0001.JPG") row = &r;
  }
  const ItemRecord& item = m_all.at(row->path).record;
  const std::string out = m_out.path() + "again.jpg";
  ASSERT_EQ(reopened.RecoverItem(&item, out, 0), kStatusOk);
  EXPECT_EQ(Sha256OfFile(out), row->sha256);
}

}  // namespace
}  // namespace engine::fat_testing
