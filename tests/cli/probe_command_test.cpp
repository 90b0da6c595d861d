// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using testing_support::CliPath;
using testing_support::RunCommand;
using testing_support::UnpackedFixture;

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::string& args) {
  CliResult r;
  r.status = RunCommand("QUELLMOOR_DISKS= '" + CliPath() + "' " + args, &r.out, &r.err);
  return r;
}

TEST(ProbeCommand, ClassifiesEveryFixtureVolume) {
  struct {
    const char* fixture;
    const char* kind;
  } cases[] = {{"fat12.img.gz", "FAT12"},     {"fat16.img.gz", "FAT16"},
               {"fat32_512.img.gz", "FAT32"}, {"fat32_4k.img.gz", "FAT32"},
               {"ntfs_512.img.gz", "NTFS"},   {"ntfs_4k.img.gz", "NTFS"},
               {"ext4.img.gz", "ext"},        {"bitlocker_like.img.gz", "encrypted"},
               {"zero_1m.img.gz", "unknown"}, {"truncated_8k.img.gz", "unknown (shorter than 16 KiB)"}};
  for (const auto& c : cases) {
    std::string image = UnpackedFixture(c.fixture);
    ASSERT_FALSE(image.empty()) << c.fixture;
    std::string before = testing_support::Sha256OfFile(image);
    CliResult r = RunCli("probe '" + image + "'");
    EXPECT_EQ(r.status, 0) << c.fixture << r.err;
    EXPECT_NE(r.out.find(std::string("engines see ") + c.kind + ")"), std::string::npos) << c.fixture << "\n" << r.out;
    EXPECT_EQ(testing_support::Sha256OfFile(image), before) << c.fixture;
  }
}

TEST(ProbeCommand, WholeDiskImageListsItsPartitions) {
  std::string image = UnpackedFixture("disk_mbr.img.gz");
  ASSERT_FALSE(image.empty());
  CliResult r = RunCli("probe '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("partition table: MBR"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2048"), std::string::npos);
  EXPECT_NE(r.out.find("FAT16"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("34816"), std::string::npos);
  EXPECT_NE(r.out.find("NTFS"), std::string::npos) << r.out;

  // The same disk through the disk table.
  r.status = RunCommand("QUELLMOOR_DISKS='" + image + "' '" + CliPath() + "' probe disk:0:2", &r.out, &r.err);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("NTFS"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("FAT16"), std::string::npos) << r.out;
  r.status = RunCommand("QUELLMOOR_DISKS='" + image + "' '" + CliPath() + "' disks", &r.out, &r.err);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(image), std::string::npos) << r.out;
}

TEST(ProbeCommand, BadSourcesGiveAOneLineMessage) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "empty.img", {});
  testing_support::WriteFileBytes(dir.path() + "odd.img", std::vector<uint8_t>(1'000'000, 0x5A));
  struct {
    std::string args;
    int status;
    const char* message;
  } cases[] = {{"probe '" + dir.path() + "missing.img'", 1, "No such file or directory"},
               {"probe '" + dir.path() + "'", 1, "folder"},
               {"probe '" + dir.path() + "empty.img'", 1, "empty"},
               {"probe disk:x", 2, "malformed"},
               {"probe disk:99", 1, "no disk 99"},
               {"probe", 2, "SOURCE"},
               {"frobnicate", 2, ""}};
  for (const auto& c : cases) {
    CliResult r = RunCli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
  }
  CliResult odd = RunCli("probe '" + dir.path() + "odd.img'");
  EXPECT_EQ(odd.status, 0) << odd.err;
  EXPECT_NE(odd.out.find("1953 sectors"), std::string::npos) << odd.out;
  EXPECT_NE(odd.out.find("unknown"), std::string::npos) << odd.out;
}

TEST(ProbeCommand, VersionAndUsage) {
  CliResult r = RunCli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("quellmoor "), std::string::npos);
  r = RunCli("scan --mode fast");
  EXPECT_EQ(r.status, 2);
}

}  // namespace
