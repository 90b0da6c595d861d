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

// File records of 4 KiB on a volume of 512-byte sectors, as its boot sector
// says: an MFT of such a volume (from the public NTFS test data) laid into
// a volume whose boot sector names that record size is rebuilt whole.
TEST(RecordSizeTest, FourKiBRecordsOnSmallSectorsAreFoundWhenTheBootSectorNamesThem) {
  const std::string mft = testing_support::SharedTestData("dfir_ntfs/4k-large.mft");
  if (mft.empty()) GTEST_SKIP() << "../shared/testdata is not available";
  const std::string base = testing_support::UnpackedFixture("ntfs_512.img.gz");
  ASSERT_FALSE(base.empty());
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(base);
  bytes[0x40] = 0xF4;  // clusters per record: 2^12 bytes
  const std::vector<uint8_t> records = testing_support::ReadFileBytes(mft);
  ASSERT_LT(records.size() + (8u << 20), bytes.size());
  std::copy(records.begin(), records.end(), bytes.begin() + (8 << 20));
  auto run = DeepScanBytes(bytes);
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_EQ(run->engine->ProfessionalNtfs().RecordBytes(), 4096u);
  std::set<std::string> paths;
  for (const Listed& l : ListEverything(*run->engine)) {
    if (+l.record.sourceKind == static_cast<int32_t>(SourceKind::kProfessionalNtfs)) paths.insert(l.path);
  }
  for (const char* expected : {"/1.txt", "/2.txt", "/System Volume Information/WPSettings.dat"}) {
    EXPECT_EQ(paths.count(expected), 1u) << expected;
  }
}

}  // namespace
}  // namespace engine::deep_testing
