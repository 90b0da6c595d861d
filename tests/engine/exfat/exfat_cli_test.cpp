// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT volumes through the quellmoor command: probe names them, scan and
// recover bring every deleted file back, a 4096-byte-sector volume with a
// damaged main boot region is found through its backup region.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "engine/engine_factory.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

namespace fs = std::filesystem;

struct CliResult {
  int status = 0;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::string& dataHome, const std::string& args) {
  CliResult r;
  r.status = testing_support::RunCommand(
      "QUELLMOOR_DISKS= XDG_DATA_HOME='" + dataHome + "' '" + testing_support::CliPath() + "' " + args, &r.out, &r.err);
  return r;
}

TEST(ExFatCommand, ProbeNamesExFatVolumesAndPartitions) {
  const std::string image = testing_support::UnpackedFixture("exfat_4k.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_4k is not available";
  testing_support::TempDir work;
  CliResult r = RunCli(work.path(), "probe '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file system: exFAT"), std::string::npos) << r.out;
  const std::string disk = testing_support::UnpackedSharedTestData("dfir_ntfs/exfat_lin_part.raw.gz");
  if (disk.empty()) return;
  r = RunCli(work.path(), "probe '" + disk + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("exFAT"), std::string::npos) << r.out;
}

TEST(ExFatCommand, RecoverBringsBackEveryDeletedFileByteExactInItsFolder) {
  const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("exfat_512.manifest.tsv"));
  const std::string before = testing_support::Sha256OfFile(image);
  testing_support::TempDir work;
  CliResult r =
      RunCli(work.path() + "data", "recover --mode fast --tree --out '" + work.path() + "out' '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  int files = 0;
  for (const auto& row : rows) {
    if (row.state != "deleted" || row.size == "-") continue;
    ++files;
    const std::string path = work.path() + "out" + row.path;
    ASSERT_TRUE(fs::exists(path)) << row.path;
    EXPECT_EQ(testing_support::Sha256OfFile(path), row.sha256) << row.path;
  }
  EXPECT_NE(r.out.find(std::to_string(files) + " recovered, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(testing_support::Sha256OfFile(image), before);
}

TEST(ExFatCommand, AFourKSectorVolumeWithADamagedMainBootRegionStillGetsItsEngine) {
  const std::string image = testing_support::UnpackedFixture("exfat_4k.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_4k is not available";
  auto bytes = testing_support::ReadFileBytes(image);
  std::fill(bytes.begin(), bytes.begin() + 512, 0);  // the main boot sector is gone; the backup is at 48 KiB
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "damaged.img", bytes);
  testing_support::ScopedDataHome home;
  auto engine = CreateEngineForImage(dir.path() + "damaged.img", 'D', 0);
  ASSERT_NE(engine, nullptr);
  auto* exfat = dynamic_cast<exfat::CFastExFatRecovery*>(engine.get());
  ASSERT_NE(exfat, nullptr);
  EXPECT_EQ(exfat->Geometry().region, ExFatBootRegionUsed::kBackup);
  EXPECT_EQ(exfat->Geometry().bytesPerSector, 4096u);
}

}  // namespace
}  // namespace engine::exfat_testing
