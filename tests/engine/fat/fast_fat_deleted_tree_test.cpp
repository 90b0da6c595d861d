// SPDX-License-Identifier: GPL-3.0-or-later
// Deleted trees whose folders grew cluster by cluster between other folders'
// data (written in turns, then removed with mdeltree): the fast scan follows
// a folder's listing into the free clusters where its entries show it goes
// on, never files a file under another folder, and says when a listing is
// cut off.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/engine/fat/fat_test_util.h"

namespace engine::fat_testing {
namespace {

using testing_support::ReadManifest;
using testing_support::Sha256OfFile;

struct TreeCase {
  const char* name;
  size_t deletedFound;     // deleted files listed under their own path (at least)
  uint64_t foldersCutOff;  // listings the scan could not follow to their end
};

class FastFatDeletedTreeTest : public ::testing::TestWithParam<TreeCase> {
 protected:
  ScanHome m_home;
  testing_support::TempDir m_out;
};

TEST_P(FastFatDeletedTreeTest, ListedFilesAreTheirFoldersOwnAndCutListingsAreTold) {
  const TreeCase& c = GetParam();
  QM_FIXTURE_OR_SKIP(image, std::string(c.name) + ".img.gz");
  const auto manifest = ReadManifest(testing_support::FixturePath(std::string(c.name) + ".manifest.tsv"));
  auto engine = ScanImage(image);
  const auto all = CollectAll(*engine);
  std::map<std::string, const testing_support::ManifestRow*> byPath;
  for (const auto& row : manifest) {
    byPath[row.path] = &row;
    // A deleted 8.3 name lost its first letter: "/Letters/Red/!corn.txt" for ACORN.TXT.
    const size_t slash = row.path.rfind('/');
    std::string shortForm = row.path.substr(0, slash + 1) + "!";
    for (char ch : row.path.substr(slash + 2)) shortForm += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    byPath.emplace(shortForm, &row);
  }

  size_t found = 0;
  for (const auto& [path, item] : all) {
    if (item.record.isFolder != 0) continue;
    // Every file listed is one of the deleted files, in its own folder, with its own bytes.
    auto row = byPath.find(path);
    ASSERT_NE(row, byPath.end()) << path;
    EXPECT_EQ(row->second->state, "deleted") << path;
    EXPECT_EQ(+item.record.isIntact, 1) << path;
    EXPECT_EQ(std::to_string(item.record.size), row->second->size) << path;
    // The bytes of one file in six (each copy is synced: all of them would be slow).
    if (found++ % 6 == 0) {
      const std::string out = m_out.path() + std::to_string(found);
      ASSERT_EQ(engine->RecoverItem(&item.record, out, 0), kStatusOk) << path;
      EXPECT_EQ(Sha256OfFile(out), row->second->sha256) << path;
    }
  }
  EXPECT_GE(found, c.deletedFound);
  EXPECT_EQ(engine->FoldersCutOff(), c.foldersCutOff);
}

// 834 files in 30 folders whose numbered names and cut long-name sets tie
// every later cluster to its folder; 80 plain 8.3 names in two folders,
// where only each folder's first cluster (14 names) can be told.
INSTANTIATE_TEST_SUITE_P(Trees, FastFatDeletedTreeTest,
                         ::testing::Values(TreeCase{"deleted_tree_fat", 834, 0},
                                           TreeCase{"deleted_tree_plain_fat", 28, 2}),
                         [](const ::testing::TestParamInfo<TreeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace engine::fat_testing
