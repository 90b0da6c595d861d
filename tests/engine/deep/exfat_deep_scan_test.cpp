// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of exFAT volumes: an intact card, whose deleted files the
// fast engine lists and nothing lists again, and a quick-formatted one,
// whose folders come back from the directory entry sets in its free space.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/deep/deep_scan_util.h"

namespace engine::deep_testing {
namespace {

using testing_support::ManifestRow;

class ExFatDeepScanTest : public ::testing::Test {
 protected:
  void SetUp() override { store::ScanIndex::Instance().Load(); }

  // Scans the fixture; false (the test skips) when it is not available.
  bool Scan(const std::string& name) {
    const std::string path = testing_support::UnpackedFixture(name + ".img.gz");
    if (path.empty()) return false;
    m_rows = testing_support::ReadManifest(testing_support::FixturePath(name + ".manifest.tsv"));
    m_run = DeepScanBytes(testing_support::ReadFileBytes(path));
    EXPECT_EQ(m_run->status, kStatusOk);
    m_all = ListEverything(*m_run->engine);
    m_copied = CopiedContents(*m_run->engine, m_all, m_out.path());
    for (const auto& [listedPath, hash] : m_copied) ++m_listed[hash];
    return true;
  }

  // No content is listed more often than the volume held it.
  void ExpectNothingListedTwice() {
    std::map<std::string, int> held;
    for (const ManifestRow& row : m_rows) {
      if (row.size != "-" && row.size != "0") ++held[row.sha256];
    }
    for (const auto& [hash, count] : m_listed) {
      auto it = held.find(hash);
      if (it != held.end()) {
        EXPECT_LE(count, it->second) << "content " << hash << " listed more than once";
      }
    }
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::vector<ManifestRow> m_rows;
  std::unique_ptr<DeepRun> m_run;
  std::vector<Listed> m_all;
  std::map<std::string, std::string> m_copied;
  std::map<std::string, int> m_listed;
};

// The fast engine lists the card's files, deleted ones included, and the
// raw scan of its free space (deleted folders among it) adds none of them again.
TEST_F(ExFatDeepScanTest, AnIntactCardsFilesAreListedOnceUnderTheirNames) {
  if (!Scan("exfat_512")) GTEST_SKIP() << "fixture exfat_512 is not available";
  EXPECT_TRUE(m_run->engine->HasFastEngine());
  EXPECT_TRUE(m_run->engine->ScannedFreeSpaceOnly());
  int checked = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.size == "-" || row.size == "0" || row.state != "deleted") continue;
    if (row.note.find("written in turns") != std::string::npos) continue;  // its chain is gone
    auto it = m_copied.find(row.path);
    ASSERT_NE(it, m_copied.end()) << row.path << " is not listed under its name";
    EXPECT_EQ(it->second, row.sha256) << row.path;
    EXPECT_EQ(+std::find_if(m_all.begin(), m_all.end(), [&](const Listed& l) { return l.path == row.path; })
                   ->record.sourceKind,
              static_cast<int32_t>(SourceKind::kFastExFat));
    ++checked;
  }
  EXPECT_GE(checked, 10);
  ExpectNothingListedTwice();
  // The deleted folders the fast engine walked are not rebuilt a second time.
  for (const Listed& l : m_all) {
    EXPECT_NE(+l.record.sourceKind, static_cast<int32_t>(SourceKind::kProfessionalExFat)) << l.path;
  }
}

// After a quick format the old folders' entry sets lie in the new volume's
// free space: their files come back byte-exact through the professional
// exFAT engine, each once.
TEST_F(ExFatDeepScanTest, AQuickFormattedCardsFoldersComeBack) {
  if (!Scan("exfat_formatted")) GTEST_SKIP() << "fixture exfat_formatted is not available";
  int checked = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.size == "-" || row.size == "0" || row.path.find('/', 1) == std::string::npos) continue;
    if (row.note.find("written in turns") != std::string::npos) continue;  // a format leaves no chain
    EXPECT_GE(m_listed[row.sha256], 1) << row.path;
    ++checked;
  }
  EXPECT_GE(checked, 8);
  size_t fromDirectories = 0;
  for (const Listed& l : m_all) {
    if (l.record.isFolder == 0 && +l.record.sourceKind == static_cast<int32_t>(SourceKind::kProfessionalExFat)) {
      ++fromDirectories;
    }
  }
  EXPECT_GE(fromDirectories, 8u);
  ExpectNothingListedTwice();
}

}  // namespace
}  // namespace engine::deep_testing
