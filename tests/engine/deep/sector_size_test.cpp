// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of a disk with 4096-byte sectors ("4Kn"): 64 KiB pieces of
// 16 sectors, every NTFS file record one sector long. What it finds is what
// the same bytes give when counted in 512-byte sectors.
#include <gtest/gtest.h>

#include "tests/engine/deep/deep_scan_util.h"

namespace engine::deep_testing {
namespace {

using testing_support::ManifestRow;

class FourKnTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    store::ScanIndex::Instance().Load();
    const std::string path = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (path.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_bytes = testing_support::ReadFileBytes(path);
    m_rows = testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
  }

  // Path → content of every file a deep scan in sectors of sectorBytes copies out.
  std::map<std::string, std::string> Found(uint32_t sectorBytes) {
    auto run = DeepScanBytes(m_bytes, sectorBytes);
    EXPECT_EQ(run->status, kStatusOk);
    EXPECT_TRUE(run->engine->Finished());
    testing_support::TempDir out;
    return CopiedContents(*run->engine, ListEverything(*run->engine), out.path());
  }

  testing_support::ScopedDataHome m_home;
  std::vector<uint8_t> m_bytes;
  std::vector<ManifestRow> m_rows;
};

TEST_P(FourKnTest, FilesComeBackAsWithSmallSectors) {
  const auto large = Found(4096);
  const bool reformatted = std::string(GetParam()).find("reformat") != std::string::npos;
  std::map<std::string, int> listed;
  for (const auto& [path, hash] : large) ++listed[hash];
  int checked = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.size == "-" || row.size == "0") continue;
    if (reformatted) {
      // The new file system's own files now lie where the old root's were; files of
      // folders come back under their folders.
      if (row.path.find('/', 1) == std::string::npos) continue;
      EXPECT_GE(listed[row.sha256], 1) << row.path;
    } else {
      if (row.state != "deleted") continue;  // the file system still shows it
      auto it = large.find(row.path);
      ASSERT_NE(it, large.end()) << row.path << " is not listed";
      EXPECT_EQ(it->second, row.sha256) << row.path;
    }
    ++checked;
  }
  EXPECT_GE(checked, 7);
  for (const ManifestRow& row : m_rows) {
    if (row.size == "-" || row.size == "0") continue;
    EXPECT_LE(listed[row.sha256], 1) << row.path << " listed twice";
  }
  EXPECT_EQ(Found(512), large);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FourKnTest, ::testing::Values("ntfs_4kn", "ntfs_4kn_reformat"));

}  // namespace
}  // namespace engine::deep_testing
