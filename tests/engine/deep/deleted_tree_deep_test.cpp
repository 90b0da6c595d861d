// SPDX-License-Identifier: GPL-3.0-or-later
// A deep scan of an intact FAT32 volume whose deleted folders grew cluster by
// cluster between other folders' data: the fast engine lists the files of
// each deleted folder's first cluster, and the clusters that continue it,
// found in the free space, list under the same path, never in a lost folder.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/engine/deep/deep_scan_util.h"
#include "tests/support/test_support.h"

namespace engine::deep_testing {
namespace {

TEST(DeletedTreeDeepScan, EveryFileOfADeletedFolderListsUnderItsPath) {
  store::ScanIndex::Instance().Load();
  testing_support::ScopedDataHome home;
  const std::string image = testing_support::UnpackedFixture("fat32_tree.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture fat32_tree is not available";
  auto run = DeepScanBytes(testing_support::ReadFileBytes(image));
  ASSERT_EQ(run->status, kStatusOk);
  std::map<std::string, std::vector<std::string>> pathsOf;  // file name -> listed paths
  for (const Listed& item : ListEverything(*run->engine)) {
    if (item.record.isFolder == 0) pathsOf[item.path.substr(item.path.rfind('/') + 1)].push_back(item.path);
  }
  size_t deleted = 0;
  size_t inPlace = 0;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("fat32_tree.manifest.tsv"))) {
    if (row.size == "-" || row.state != "deleted") continue;
    ++deleted;
    const auto it = pathsOf.find(row.path.substr(row.path.rfind('/') + 1));
    if (it == pathsOf.end()) {
      ADD_FAILURE() << "not listed by its name: " << row.path;
      continue;
    }
    EXPECT_EQ(it->second, std::vector<std::string>{row.path});
    inPlace += it->second == std::vector<std::string>{row.path} ? 1 : 0;
  }
  std::printf("[ tree ] deep scan: %zu / %zu deleted files under their path\n", inPlace, deleted);
  EXPECT_GT(deleted, 400u);
}

}  // namespace
}  // namespace engine::deep_testing
