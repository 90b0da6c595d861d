// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/disk_table.h"
#include "platform/partitions.h"
#include "storage/container_backends.h"
#include "storage/disk_list.h"
#include "storage/disk_queries.h"
#include "storage/image_container.h"
#include "storage/media_digest.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

namespace fs = std::filesystem;
using testing_support::ContainerFixture;

// Start sector of the FAT16 volume in disk_split.vmdk: 64 KiB before the extents' 2 GiB boundary.
constexpr uint64_t kSplitVolumeStart = 4194176;
constexpr uint64_t kSplitVolumeSectors = 32768;

// count bytes of the media from byteOffset, read through ReadSectors in its 64 KiB pieces.
std::vector<uint8_t> ReadMedia(SectorSource& source, uint64_t byteOffset, uint64_t count) {
  std::vector<uint8_t> bytes(count);
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(static_cast<uint32_t>(count / 512), source, bytes.data(), byteOffset / 512, 512, &got), 0)
      << source.handle->LastErrorText();
  return bytes;
}

ContainerFixture FixtureNamed(const std::string& archive) {
  for (const auto& f : testing_support::ReadContainerFixtures()) {
    if (f.archive == archive) return f;
  }
  ADD_FAILURE() << "no container fixture " << archive;
  return {};
}

std::vector<uint8_t> RawFixture(const std::string& name) {
  return testing_support::ReadFileBytes(testing_support::UnpackedFixture(name + ".img.gz"));
}

class ContainerFixtureTest : public ::testing::TestWithParam<ContainerFixture> {};

TEST_P(ContainerFixtureTest, MediaReadsAsTheFormatsOwnToolsReadIt) {
  const ContainerFixture& f = GetParam();
  const std::string path = testing_support::ContainerFixturePath(f);
  ASSERT_FALSE(path.empty()) << f.archive;
  const std::string before = testing_support::Sha256OfFile(path);
  SectorSource source;
  std::string error;
  ASSERT_EQ(OpenImageSource(source, path, &error), 0) << error;
  EXPECT_EQ(source.totalSectors, f.mediaBytes / 512);
  if (f.holds == "disk_split") {
    // 2 GiB of mostly holes: compare the partition table and the volume across the extent boundary.
    std::vector<uint8_t> mbr = ReadMedia(source, 0, 512);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[450], 0x0e);
    EXPECT_EQ(ReadMedia(source, kSplitVolumeStart * 512, kSplitVolumeSectors * 512), RawFixture("fat16"));
  } else {
    std::vector<uint8_t> media = ReadMedia(source, 0, f.mediaBytes);
    EXPECT_EQ(testing_support::Sha256OfBytes(media), f.mediaSha256) << f.archive;
    std::vector<uint8_t> raw = RawFixture(f.holds);
    ASSERT_LE(raw.size(), media.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), media.begin())) << f.archive << " does not hold " << f.holds;
  }
  CloseSource(source);
  EXPECT_EQ(testing_support::Sha256OfFile(path), before) << "the container was changed";
}

TEST_P(ContainerFixtureTest, KindComesFromTheSignatureNotTheName) {
  const ContainerFixture& f = GetParam();
  const std::string path = testing_support::ContainerFixturePath(f);
  ASSERT_FALSE(path.empty());
  testing_support::TempDir dir;
  testing_support::CopyFolderFiles(fs::path(path).parent_path().string(), dir.path());
  const std::string renamed = dir.path() + "evidence.img";
  fs::rename(dir.path() + f.open, renamed);
  ContainerInfo info;
  std::string error;
  ASSERT_EQ(DescribeImage(renamed, &info, &error), 0) << error;
  EXPECT_EQ(ContainerKindName(info.kind), f.kind);
  EXPECT_EQ(info.mediaBytes, f.mediaBytes);
  EXPECT_EQ(info.files.front(), renamed);
  if (f.archive == "fat16_e01") {
    // Further segments are found by name: a renamed first segment opens alone, and says so.
    EXPECT_EQ(info.files.size(), 1u);
    EXPECT_NE(info.damage.find("evidence.img"), std::string::npos) << info.damage;
  } else {
    EXPECT_TRUE(info.damage.empty()) << info.damage;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ContainerFixtureTest, ::testing::ValuesIn(testing_support::ReadContainerFixtures()),
                         [](const auto& info) { return info.param.archive; });

TEST(ImageContainer, E01SetListsEverySegmentAndTheHashesOfTheMedia) {
  ContainerFixture f = FixtureNamed("fat16_e01");
  ContainerInfo info;
  std::string error;
  ASSERT_EQ(DescribeImage(testing_support::ContainerFixturePath(f), &info, &error), 0) << error;
  EXPECT_EQ(info.files.size(), 17u);
  EXPECT_EQ(fs::path(info.files.back()).filename(), "fat16.E17");
  std::vector<uint8_t> raw = RawFixture("fat16");
  MediaDigest md5(MediaDigest::Kind::kMd5);
  MediaDigest sha1(MediaDigest::Kind::kSha1);
  md5.Update(raw);
  sha1.Update(raw);
  EXPECT_EQ(info.storedMd5, md5.FinishHex());
  EXPECT_EQ(info.storedSha1, sha1.FinishHex());
  EXPECT_TRUE(info.damage.empty());
}

TEST(ImageContainer, QcowChainReadsZeroClustersAsZerosOverBackingData) {
  ContainerFixture f = FixtureNamed("fat16_qcow2_chain");
  const std::string top = testing_support::ContainerFixturePath(f);
  ASSERT_FALSE(top.empty());
  const std::string base = fs::path(top).parent_path().string() + "/fat16_base.qcow2";
  ContainerInfo info;
  std::string error;
  ASSERT_EQ(DescribeImage(top, &info, &error), 0) << error;
  ASSERT_EQ(info.files.size(), 2u);
  EXPECT_EQ(info.files[1], base);

  // The base holds filler at 1 MiB; the top's zero cluster there hides it.
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, base), 0);
  std::vector<uint8_t> filler = ReadMedia(source, 0x100000, 0x10000);
  EXPECT_NE(std::count(filler.begin(), filler.end(), 0), 0x10000);
  ASSERT_EQ(OpenImageSource(source, top), 0);
  std::vector<uint8_t> hidden = ReadMedia(source, 0x100000, 0x10000);
  EXPECT_EQ(std::count(hidden.begin(), hidden.end(), 0), 0x10000);
  // Cluster 1 is compressed in the top, cluster 0 only in the base; a read spans both.
  std::vector<uint8_t> raw = RawFixture("fat16");
  std::vector<uint8_t> span = ReadMedia(source, 0xF000, 0x12000);
  EXPECT_TRUE(std::equal(span.begin(), span.end(), raw.begin() + 0xF000));
}

TEST(ImageContainer, RawFilesAndDevicesStayRaw) {
  const std::string fat16 = testing_support::UnpackedFixture("fat16.img.gz");
  ContainerInfo info;
  std::string error;
  ASSERT_EQ(DescribeImage(fat16, &info, &error), 0);
  EXPECT_EQ(info.kind, ContainerKind::kRaw);
  EXPECT_EQ(info.mediaBytes, 16777216u);

  // A VHD footer whose checksum does not add up is just the last sector of a raw image.
  const std::string vhd = testing_support::ContainerFixturePath(FixtureNamed("fat16_fixed_vhd"));
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(vhd);
  ASSERT_EQ(DetectContainer({bytes.data(), 512}, {bytes.data() + bytes.size() - 512, 512}), ContainerKind::kVhd);
  bytes[bytes.size() - 512 + 70] ^= 0x01;  // a footer byte, not its checksum
  EXPECT_EQ(DetectContainer({bytes.data(), 512}, {bytes.data() + bytes.size() - 512, 512}), ContainerKind::kRaw);
}

TEST(ImageContainer, LogicalEvidenceFilesAreRefusedWithAReason) {
  testing_support::TempDir dir;
  std::vector<uint8_t> l01(4096, 0);
  const uint8_t signature[] = {'L', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
  std::copy(std::begin(signature), std::end(signature), l01.begin());
  testing_support::WriteFileBytes(dir.path() + "files.L01", l01);
  SectorSource source;
  std::string error;
  EXPECT_EQ(OpenImageSource(source, dir.path() + "files.L01", &error), platform::kErrorGenFailure);
  EXPECT_NE(error.find("logical evidence"), std::string::npos) << error;
  EXPECT_FALSE(source.IsOpen());
}

TEST(ImageContainer, AContainerInTheDiskTableIsADiskOfItsMedia) {
  ContainerFixture f = FixtureNamed("disk_mbr_vhd");
  const std::string vhd = testing_support::ContainerFixturePath(f);
  ASSERT_FALSE(vhd.empty());
  platform::SetDiskTableOverride({vhd});
  SectorSource source;
  EXPECT_EQ(OpenDiskSource(source, 0), 0);
  EXPECT_EQ(source.totalSectors, f.mediaBytes / 512);
  uint64_t length = 0;
  EXPECT_EQ(DiskLength(0, &length), 0);
  EXPECT_EQ(length, f.mediaBytes);
  std::vector<VolumeEntry> volumes;
  std::string table;
  EXPECT_EQ(ListDiskVolumes(0, &volumes, &table), 0);
  platform::SetDiskTableOverride({});

  std::vector<platform::PartitionInfo> expected;
  std::string expectedTable;
  ASSERT_EQ(
      platform::ListPartitions(testing_support::UnpackedFixture("disk_mbr.img.gz"), 512, &expected, &expectedTable), 0);
  EXPECT_EQ(table, expectedTable);
  ASSERT_EQ(volumes.size(), expected.size());
  for (size_t i = 0; i < volumes.size(); ++i) {
    EXPECT_EQ(volumes[i].target.partitionNumber, expected[i].number);
    EXPECT_EQ(volumes[i].target.startSector, expected[i].startSector);
    EXPECT_EQ(volumes[i].target.sectorCount, expected[i].sectorCount);
    EXPECT_EQ(volumes[i].target.partitionType, expected[i].type);
  }
}

TEST(ImageContainer, SegmentNamesFollowTheEvidenceFileScheme) {
  EXPECT_EQ(NextSegmentName("case/disk.E01"), "case/disk.E02");
  EXPECT_EQ(NextSegmentName("disk.E09"), "disk.E10");
  EXPECT_EQ(NextSegmentName("disk.E99"), "disk.EAA");
  EXPECT_EQ(NextSegmentName("disk.EAZ"), "disk.EBA");
  EXPECT_EQ(NextSegmentName("disk.EZZ"), "disk.FAA");
  EXPECT_EQ(NextSegmentName("disk.s01"), "disk.s02");
  EXPECT_EQ(NextSegmentName("disk.e99"), "disk.eaa");
  EXPECT_EQ(NextSegmentName("disk.ZZZ"), "");
  EXPECT_EQ(NextSegmentName("disk.EA1"), "");
  EXPECT_EQ(NextSegmentName("disk.E1"), "");
  EXPECT_EQ(NextSegmentName("E01"), "");
}

TEST(ImageContainer, ParentNamesFromOtherMachinesAreLookedForBesideTheImage) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "base.vhd", {1});
  const std::string child = dir.path() + "child.vhd";
  EXPECT_EQ(ResolveChainPath(child, "base.vhd"), dir.path() + "base.vhd");
  EXPECT_EQ(ResolveChainPath(child, "C:\\VMs\\Disks\\base.vhd"), dir.path() + "base.vhd");
  EXPECT_EQ(ResolveChainPath(child, "/elsewhere/base.vhd"), dir.path() + "base.vhd");
  EXPECT_EQ(ResolveChainPath(child, dir.path() + "base.vhd"), dir.path() + "base.vhd");
}

}  // namespace
}  // namespace storage
