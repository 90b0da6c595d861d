// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of ext volumes: an intact one, whose deleted files the fast
// ext engine lists (the raw scan reads only its free space and lists none of
// them again), and one made again with mkfs.ext4, whose old folders and
// files come back from the directory blocks in its free space, each once.
#include <gtest/gtest.h>

#include "tests/engine/deep/deep_scan_util.h"
#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

using deep_testing::CopiedContents;
using deep_testing::DeepScanBytes;
using deep_testing::ListEverything;

struct DeepResult {
  std::map<std::string, int> listed;  // content hash -> times listed
  std::map<std::string, int32_t> kinds;  // path -> source kind
};

DeepResult DeepScan(const std::string& name, testing_support::TempDir& out, bool* freeSpaceOnly) {
  DeepResult r;
  const std::string path = testing_support::UnpackedFixture(name + ".img.gz");
  if (path.empty()) return r;
  auto run = DeepScanBytes(testing_support::ReadFileBytes(path));
  EXPECT_EQ(run->status, kStatusOk);
  *freeSpaceOnly = run->engine->ScannedFreeSpaceOnly();
  const auto all = ListEverything(*run->engine);
  for (const auto& l : all) r.kinds[l.path] = l.record.sourceKind;
  for (const auto& [listed, hash] : CopiedContents(*run->engine, all, out.path())) ++r.listed[hash];
  return r;
}

TEST(Ext4DeepScan, AnIntactVolumesDeletedFilesAreListedOnceByTheFastEngine) {
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  testing_support::TempDir out;
  bool freeOnly = false;
  const DeepResult r = DeepScan("ext4_home", out, &freeOnly);
  if (r.kinds.empty()) GTEST_SKIP() << "fixture ext4_home is not available";
  EXPECT_TRUE(freeOnly);
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("ext4_home.manifest.tsv"));
  std::map<std::string, int> held;  // files of one content (the zero-filled holes are several)
  for (const auto& row : rows) held[row.sha256] += row.size != "-" ? 1 : 0;
  for (const auto& row : rows) {
    if (row.state != "deleted" || row.size == "-" || row.size == "0" || row.note.find("in deleted folder") == 0) continue;
    if (row.note.find("journal wrapped") != std::string::npos || row.note.find("overwritten") != std::string::npos) continue;
    const auto kind = r.kinds.find(row.path);
    ASSERT_NE(kind, r.kinds.end()) << row.path;
    EXPECT_EQ(kind->second, static_cast<int32_t>(SourceKind::kFastExt4)) << row.path;
    const auto n = r.listed.find(row.sha256);
    ASSERT_NE(n, r.listed.end()) << row.path;
    EXPECT_LE(n->second, held[row.sha256]) << row.path << " is listed more than once";
  }
}

TEST(Ext4DeepScan, ARemadeVolumesOldFilesComeBackOnceWithTheirNames) {
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  testing_support::TempDir out;
  bool freeOnly = false;
  const DeepResult r = DeepScan("ext4_reformatted", out, &freeOnly);
  if (r.kinds.empty()) GTEST_SKIP() << "fixture ext4_reformatted is not available";
  EXPECT_TRUE(freeOnly);
  int named = 0;
  for (const auto& [path, kind] : r.kinds) named += kind == static_cast<int32_t>(SourceKind::kProfessionalExt4) ? 1 : 0;
  EXPECT_GT(named, 0);
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("ext4_reformatted.manifest.tsv"));
  int back = 0;
  for (const auto& row : rows) {
    if (row.size == "-") continue;
    const auto n = r.listed.find(row.sha256);
    if (n == r.listed.end()) continue;
    ++back;
    EXPECT_EQ(n->second, 1) << row.path << " is listed more than once";
  }
  EXPECT_GT(back, 0);
}

}  // namespace
}  // namespace engine::ext4_testing
