// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/partitions.h"
#include "storage/partition_table.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

namespace fs = std::filesystem;
using platform::PartitionInfo;

struct Table {
  Status status = 0;
  std::string type;
  std::vector<PartitionInfo> partitions;
};

// The table our reader finds in bytes, read as a disk of sectorSize sectors.
Table ReadOurs(std::vector<uint8_t> bytes, uint32_t sectorSize, MemorySourceOptions options = {}) {
  SectorSource source;
  const uint64_t sectors = bytes.size() / sectorSize;
  OpenMemorySource(source, std::move(bytes), std::move(options));
  source.totalSectors = sectors;
  Table t;
  t.status = ReadPartitionTable(source, sectorSize, &t.partitions, &t.type);
  return t;
}

Table ReadLibblkid(const std::string& path, uint32_t sectorSize) {
  Table t;
  t.status = platform::ListPartitions(path, sectorSize, &t.partitions, &t.type);
  return t;
}

void ExpectSameTable(const Table& ours, const Table& blkid, const std::string& what) {
  EXPECT_EQ(ours.status, 0) << what;
  EXPECT_EQ(ours.type, blkid.type) << what;
  ASSERT_EQ(ours.partitions.size(), blkid.partitions.size()) << what;
  for (size_t i = 0; i < ours.partitions.size(); ++i) {
    const PartitionInfo& a = ours.partitions[i];
    const PartitionInfo& b = blkid.partitions[i];
    EXPECT_EQ(a.number, b.number) << what << " #" << i;
    EXPECT_EQ(a.startSector, b.startSector) << what << " #" << i;
    EXPECT_EQ(a.sectorCount, b.sectorCount) << what << " #" << i;
    EXPECT_EQ(a.type, b.type) << what << " #" << i;
  }
}

void ExpectAgreesWithLibblkid(const std::string& path, uint32_t sectorSize) {
  ExpectSameTable(ReadOurs(testing_support::ReadFileBytes(path), sectorSize), ReadLibblkid(path, sectorSize),
                  path + " at " + std::to_string(sectorSize));
}

// A disk image with a GPT written by sfdisk: three partitions, the second left out of the numbering.
std::string MakeGptDisk(const std::string& folder) {
  const std::string path = folder + "gpt.img";
  std::string out, err;
  EXPECT_EQ(testing_support::RunCommand("truncate -s 8M '" + path + "'", &out, &err), 0) << err;
  const std::string script =
      "label: gpt\\n"
      "1: start=2048, size=4096, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
      "3: start=6144, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n"
      "4: start=8192, size=4096, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n";
  EXPECT_EQ(testing_support::RunCommand("printf '" + script + "' | sfdisk -q '" + path + "'", &out, &err), 0) << err;
  return path;
}

TEST(PartitionTable, AgreesWithLibblkidOnTheFixtureDisk) {
  ExpectAgreesWithLibblkid(testing_support::UnpackedFixture("disk_mbr.img.gz"), 512);
  Table t = ReadOurs(testing_support::ReadFileBytes(testing_support::UnpackedFixture("disk_mbr.img.gz")), 512);
  ASSERT_EQ(t.partitions.size(), 2u);
  EXPECT_EQ(t.partitions[1].startSector, 34816u);
  EXPECT_EQ(t.partitions[1].type, "0x07");
}

TEST(PartitionTable, AgreesWithLibblkidOnPublicMbrAndGptImages) {
  const std::string folder = testing_support::SharedTestData("dfir_ntfs");
  if (folder.empty()) GTEST_SKIP() << "../shared/testdata/dfir_ntfs is absent";
  int checked = 0, logicals = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("mbr-", 0) != 0 && name.rfind("gpt-", 0) != 0) continue;
    const uint32_t sectorSize = name.find("4096") != std::string::npos ? 4096 : 512;
    testing_support::TempDir dir;
    std::vector<std::string> images;
    if (name.ends_with(".tgz") || name.ends_with(".tar") || name.ends_with(".tar.gz")) {
      std::string out, err;
      ASSERT_EQ(
          testing_support::RunCommand("tar -xf '" + entry.path().string() + "' -C '" + dir.path() + "'", &out, &err), 0)
          << err;
      for (const auto& unpacked : fs::directory_iterator(dir.path())) images.push_back(unpacked.path().string());
    } else if (name.ends_with(".gz")) {
      images.push_back(testing_support::UnpackedSharedTestData("dfir_ntfs/" + name));
    } else {
      images.push_back(entry.path().string());
    }
    for (const std::string& image : images) {
      ExpectAgreesWithLibblkid(image, sectorSize);
      for (const auto& p : ReadLibblkid(image, sectorSize).partitions) logicals += p.number > 4 ? 1 : 0;
      ++checked;
    }
  }
  EXPECT_GE(checked, 1);
  EXPECT_GE(logicals, 1) << "no EBR chain among the images";
}

TEST(PartitionTable, GptFallsBackToItsBackupAndFailsClosed) {
  testing_support::TempDir dir;
  const std::string path = MakeGptDisk(dir.path());
  const Table blkid = ReadLibblkid(path, 512);
  ASSERT_EQ(blkid.type, "gpt");
  ASSERT_EQ(blkid.partitions.size(), 3u);
  EXPECT_EQ(blkid.partitions[1].number, 3);
  std::vector<uint8_t> disk = testing_support::ReadFileBytes(path);
  ExpectSameTable(ReadOurs(disk, 512), blkid, "sfdisk GPT");
  EXPECT_EQ(ReadOurs(disk, 512).partitions[0].type, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b");

  std::vector<uint8_t> primaryGone = disk;
  primaryGone[512 + 20] ^= 0x01;  // the primary header no longer matches its checksum
  ExpectSameTable(ReadOurs(primaryGone, 512), blkid, "primary header damaged");
  std::vector<uint8_t> entriesGone = disk;
  entriesGone[1024 + 40] ^= 0x01;  // the primary entry array no longer matches its checksum
  ExpectSameTable(ReadOurs(entriesGone, 512), blkid, "primary entries damaged");

  std::vector<uint8_t> bothGone = primaryGone;
  bothGone[bothGone.size() - 512 + 20] ^= 0x01;
  Table none = ReadOurs(bothGone, 512);
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.type, "");
  EXPECT_TRUE(none.partitions.empty());
}

TEST(PartitionTable, BareVolumesHaveNoTable) {
  for (const char* name : {"fat16.img.gz", "ntfs_512.img.gz", "fat12.img.gz"}) {
    const std::string path = testing_support::UnpackedFixture(name);
    Table ours = ReadOurs(testing_support::ReadFileBytes(path), 512);
    EXPECT_EQ(ours.type, "") << name;
    EXPECT_TRUE(ours.partitions.empty()) << name;
    EXPECT_TRUE(ReadLibblkid(path, 512).partitions.empty()) << name;
  }
}

// An MBR with one extended partition at sector 100 whose EBRs are written by the test.
std::vector<uint8_t> DiskWithExtended(uint32_t sectors) {
  std::vector<uint8_t> disk(static_cast<size_t>(sectors) * 512, 0);
  auto entry = [&](size_t sector, int slot, uint8_t type, uint32_t start, uint32_t count) {
    uint8_t* e = disk.data() + sector * 512 + 446 + slot * 16;
    e[4] = type;
    for (int i = 0; i < 4; ++i) e[8 + i] = static_cast<uint8_t>(start >> (8 * i));
    for (int i = 0; i < 4; ++i) e[12 + i] = static_cast<uint8_t>(count >> (8 * i));
    disk[sector * 512 + 510] = 0x55;
    disk[sector * 512 + 511] = 0xAA;
  };
  entry(0, 0, 0x0c, 1, 99);
  entry(0, 1, 0x05, 100, sectors - 100);
  entry(100, 0, 0x83, 1, 9);        // logical 5 at 101
  entry(100, 1, 0x05, 10, 10);      // next EBR at 110
  entry(110, 0, 0x83, 1, 9);        // logical 6 at 111
  entry(110, 1, 0x05, 0 + 10, 10);  // links back to 110: a loop
  return disk;
}

TEST(PartitionTable, HostileExtendedChainsEnd) {
  std::vector<uint8_t> disk = DiskWithExtended(200);
  Table t = ReadOurs(disk, 512);
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.type, "dos");
  ASSERT_EQ(t.partitions.size(), 3u);
  EXPECT_EQ(t.partitions[1].number, 5);
  EXPECT_EQ(t.partitions[1].startSector, 101u);
  EXPECT_EQ(t.partitions[2].number, 6);
  EXPECT_EQ(t.partitions[2].startSector, 111u);

  // A link past the end of the media ends the chain.
  disk[110 * 512 + 446 + 16 + 8] = 0xF0;
  disk[110 * 512 + 446 + 16 + 11] = 0x7F;
  EXPECT_EQ(ReadOurs(disk, 512).partitions.size(), 3u);
}

TEST(PartitionTable, AnUnreadableFirstSectorIsAFailureNotAnEmptyTable) {
  std::vector<uint8_t> disk = testing_support::ReadFileBytes(testing_support::UnpackedFixture("disk_mbr.img.gz"));
  Table t = ReadOurs(disk, 512, {{0}, nullptr});
  EXPECT_EQ(t.status, platform::kStatusReadFault);
  EXPECT_TRUE(t.partitions.empty());
}

TEST(PartitionTable, ContainerImagesAreReadThroughTheirMedia) {
  for (const auto& f : testing_support::ReadContainerFixtures()) {
    if (f.archive != "disk_mbr_vhd") continue;
    std::vector<PartitionInfo> parts;
    std::string type, error;
    ASSERT_EQ(ListImagePartitions(testing_support::ContainerFixturePath(f), 512, &parts, &type, &error), 0) << error;
    Table blkid = ReadLibblkid(testing_support::UnpackedFixture("disk_mbr.img.gz"), 512);
    ExpectSameTable({0, type, parts}, blkid, "disk_mbr.vhd");
    // libblkid on the container's own bytes sees no partition table at all.
    EXPECT_TRUE(ReadLibblkid(testing_support::ContainerFixturePath(f), 512).partitions.empty());
  }
}

}  // namespace
}  // namespace storage
