// SPDX-License-Identifier: GPL-3.0-or-later
// A home folder of text (source code, scripts, configuration, JSON, CSV,
// XML, notes) on an ext4 volume made again with mkfs.ext4: the deep scan
// carves every file back byte-exact, intact, named by what its content is.
#include <gtest/gtest.h>

#include <map>

#include "tests/engine/deep/deep_scan_util.h"

namespace engine::deep_testing {
namespace {

TEST(TextVolume, AFormattedHomeFolderGivesBackItsTextFiles) {
  const std::string path = testing_support::UnpackedFixture("text_ext4.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture text_ext4 is not available";
  store::ScanIndex::Instance().Load();
  testing_support::ScopedDataHome home;
  testing_support::TempDir out;
  // What the volume held: content hash -> the kind its content shows.
  std::map<std::string, std::string> kindOf;
  std::map<std::string, std::string> nameOf;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("text_ext4.manifest.tsv"))) {
    kindOf[row.sha256] = row.note.substr(5, row.note.find(';') - 5);  // "kind=c; bytes=..."
    nameOf[row.sha256] = row.path.substr(row.path.rfind('/') + 1);
  }
  ASSERT_EQ(kindOf.size(), 58u);
  auto run = DeepScanBytes(testing_support::ReadFileBytes(path));
  ASSERT_EQ(run->status, kStatusOk);
  const auto all = ListEverything(*run->engine);
  const auto copied = CopiedContents(*run->engine, all, out.path());
  std::map<std::string, const Listed*> byPath;
  for (const Listed& item : all) byPath[item.path] = &item;
  size_t back = 0;
  for (const auto& [listed, hash] : copied) {
    const auto kind = kindOf.find(hash);
    if (kind == kindOf.end()) continue;
    ++back;
    // A file the old folders still name keeps its name; carved text is
    // named by what its content shows.
    if (byPath.at(listed)->record.sourceKind == static_cast<int32_t>(SourceKind::kSignature)) {
      EXPECT_EQ(listed.substr(listed.rfind('.') + 1), kind->second) << listed;
    } else {
      EXPECT_EQ(listed.substr(listed.rfind('/') + 1), nameOf.at(hash)) << listed;
    }
    EXPECT_EQ(StateOf(byPath.at(listed)->record), ItemState::kIntact) << listed;
  }
  std::printf("text files back byte-exact: %zu of %zu\n", back, kindOf.size());
  EXPECT_EQ(back, kindOf.size());
}

}  // namespace
}  // namespace engine::deep_testing
