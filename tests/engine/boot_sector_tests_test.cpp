// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/boot_sector_tests.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

using testing_support::ReadFileBytes;

// A volume made by mkfs.fat in a temporary folder; its first 16 KiB.
std::vector<uint8_t> MakeFatHead(const std::string& options, int sizeKiB) {
  testing_support::TempDir dir;
  std::string path = dir.path() + "v.img";
  std::string out;
  int rc = testing_support::RunCommand(
      "mkfs.fat -C " + options + " '" + path + "' " + std::to_string(sizeKiB) + " >/dev/null 2>&1 && echo ok", &out);
  if (rc != 0 || out.find("ok") == std::string::npos) return {};
  auto bytes = ReadFileBytes(path);
  bytes.resize(kClassifyBytes);
  return bytes;
}

VolumeKind Classify(const std::vector<uint8_t>& bytes) {
  return ClassifyVolume(bytes.data(), bytes.size());
}

std::vector<uint8_t> SharedBoot(const std::string& name) {
  std::string path = testing_support::SharedTestData("dfir_ntfs/" + name);
  if (path.empty()) return {};
  auto bytes = ReadFileBytes(path);
  bytes.resize(kClassifyBytes, 0);
  return bytes;
}

TEST(FatBootSector, VolumesMadeByMkfsFatAreRecognisedByKind) {
  struct {
    const char* options;
    int kib;
    VolumeKind kind;
  } cases[] = {{"-F 12", 1440, VolumeKind::kFat12},
               {"-F 16", 16384, VolumeKind::kFat16},
               {"-F 32 -s 1", 40960, VolumeKind::kFat32},
               {"-F 32 -s 1 -S 4096", 262144, VolumeKind::kFat32},
               // FAT32 with fewer than 65,525 clusters is still accepted through the FAT32 check.
               {"-F 32 -s 64", 40960, VolumeKind::kFat32}};
  for (const auto& c : cases) {
    auto head = MakeFatHead(c.options, c.kib);
    ASSERT_FALSE(head.empty()) << "mkfs.fat " << c.options;
    EXPECT_EQ(Classify(head), c.kind) << c.options;
  }
}

TEST(FatBootSector, BrokenFieldsAreRefused) {
  auto head = MakeFatHead("-F 16", 16384);
  ASSERT_FALSE(head.empty());
  auto zeroSpc = head;
  zeroSpc[13] = 0;
  EXPECT_EQ(Classify(zeroSpc), VolumeKind::kUnknown);
  auto oddSector = head;
  oddSector[11] = 0x01;  // 513 bytes per sector
  oddSector[12] = 0x02;
  EXPECT_EQ(Classify(oddSector), VolumeKind::kUnknown);
  auto noSignature = head;
  noSignature[510] = 0;
  EXPECT_EQ(Classify(noSignature), VolumeKind::kUnknown);
  auto hugeFat = head;  // a FAT larger than the volume wraps the cluster count
  hugeFat[22] = 0xFF;
  hugeFat[23] = 0xFF;
  EXPECT_EQ(Classify(hugeFat), VolumeKind::kUnknown);
}

TEST(EncryptedVolume, SignaturesAreNeverTakenForFat) {
  auto head = MakeFatHead("-F 32 -s 1", 40960);
  ASSERT_FALSE(head.empty());
  auto fve = head;
  std::memcpy(fve.data() + 3, "-FVE-FS-", 8);
  EXPECT_TRUE(IsEncryptedVolume(fve.data(), fve.size()));
  EXPECT_EQ(Classify(fve), VolumeKind::kEncrypted);
  auto togo = head;
  std::memset(togo.data() + 0x1E0, 'x', 8);
  std::memset(togo.data() + 0x1E8, 0xFF, 19);
  togo[0x1E0 + 27] = 0x00;
  togo[0x1E0 + 28] = 0x1F;
  togo[0x1E0 + 29] = 0x2C;
  EXPECT_EQ(Classify(togo), VolumeKind::kEncrypted);
  togo[0x1E0 + 29] = 0x2D;
  EXPECT_EQ(Classify(togo), VolumeKind::kFat32);
}

TEST(NtfsBootSector, RealBootSectorsPassAndBrokenOnesFail) {
  auto boot = SharedBoot("4k.boot");
  if (boot.empty()) GTEST_SKIP() << "../shared/testdata is not available";
  for (const char* name : {"512.boot", "4k.boot", "4kn.boot", "64k.boot"}) {
    auto b = SharedBoot(name);
    EXPECT_EQ(Classify(b), VolumeKind::kNtfs) << name;
  }
  EXPECT_FALSE(IsNtfsBootSector(SharedBoot("nobootcode.boot").data(), 512));  // no 55 AA
  EXPECT_FALSE(IsNtfsBootSector(SharedBoot("128k.boot").data(), 512));        // 256 sectors per cluster
  auto b128 = SharedBoot("4k.boot");
  b128[13] = 128;
  EXPECT_TRUE(IsNtfsBootSector(b128.data(), b128.size()));
  auto byte16 = boot;
  byte16[16] = 1;
  EXPECT_FALSE(IsNtfsBootSector(byte16.data(), byte16.size()));
  auto noSectors = boot;
  std::memset(noSectors.data() + 40, 0, 8);
  EXPECT_FALSE(IsNtfsBootSector(noSectors.data(), noSectors.size()));
  auto spc3 = boot;
  spc3[13] = 3;
  EXPECT_FALSE(IsNtfsBootSector(spc3.data(), spc3.size()));
}

TEST(NtfsBootSector, SharedFatBootSectorsAreFat) {
  auto fat12 = SharedBoot("fat12_bs.bin");
  if (fat12.empty()) GTEST_SKIP() << "../shared/testdata is not available";
  EXPECT_EQ(Classify(fat12), VolumeKind::kFat12);
  EXPECT_EQ(Classify(SharedBoot("fat32_bs.bin")), VolumeKind::kFat32);
}

TEST(ExtSuperblock, Mke2fsVolumesAreExt) {
  testing_support::TempDir dir;
  for (const char* type : {"ext2", "ext4"}) {
    std::string path = dir.path() + type + ".img";
    std::string out;
    ASSERT_EQ(testing_support::RunCommand("mke2fs -q -F -t " + std::string(type) + " '" + path + "' 4M 2>&1", &out), 0)
        << out;
    auto head = ReadFileBytes(path);
    head.resize(kClassifyBytes);
    EXPECT_EQ(Classify(head), VolumeKind::kExt) << type;
    auto badMagic = head;
    badMagic[1024 + 0x38] = 0;
    EXPECT_EQ(Classify(badMagic), VolumeKind::kUnknown);
    auto badGroups = head;
    badGroups[1024 + 32] = 0;  // 1024 blocks per group: the block groups no longer match the inode groups
    badGroups[1024 + 33] = 0x04;
    badGroups[1024 + 34] = 0;
    badGroups[1024 + 35] = 0;
    EXPECT_EQ(Classify(badGroups), VolumeKind::kUnknown);
  }
}

// The first bytes (both boot regions at any sector size) of an exFAT fixture
// made by mkfs.exfat; empty when the fixture is missing.
std::vector<uint8_t> ExFatHead(const std::string& fixture, size_t bytes = kExFatBootRegionsBytes) {
  const std::string path = testing_support::UnpackedFixture(fixture + ".img.gz");
  if (path.empty()) return {};
  auto head = ReadFileBytes(path);
  head.resize(bytes);
  return head;
}

// Rewrites the checksum sector of the region at `offset` to match its sectors.
void ResealExFatRegion(std::vector<uint8_t>& head, size_t offset, uint32_t sector) {
  const uint32_t sum = ExFatBootChecksum(head.data() + offset, sector);
  for (size_t at = offset + 11 * size_t{sector}; at < offset + 12 * size_t{sector}; at += 4) {
    std::memcpy(head.data() + at, &sum, 4);
  }
}

TEST(ExFatBootRegion, VolumesMadeByMkfsExfatAreExFat) {
  for (const char* name : {"exfat_512", "exfat_32k", "exfat_4k"}) {
    auto head = ExFatHead(name);
    if (head.empty()) GTEST_SKIP() << "exFAT fixtures are not available";
    ExFatBootSector boot;
    EXPECT_EQ(FindExFatBootRegion(head.data(), head.size(), &boot), ExFatBootRegionUsed::kMain) << name;
    EXPECT_EQ(boot.rootCluster >= 2, true);
    head.resize(kClassifyBytes);
    EXPECT_EQ(Classify(head), VolumeKind::kExFat) << name;
    EXPECT_EQ(VolumeKindName(VolumeKind::kExFat), "exFAT");
  }
  // 4096-byte sectors: the first 16 KiB hold the boot sector but not the
  // checksum sector, which is not needed to recognise the volume.
  auto head4k = ExFatHead("exfat_4k", kClassifyBytes);
  ExFatBootSector boot;
  EXPECT_EQ(FindExFatBootRegion(head4k.data(), head4k.size(), &boot), ExFatBootRegionUsed::kMainUnchecked);
  EXPECT_EQ(boot.BytesPerSector(), 4096u);
  EXPECT_EQ(boot.SectorsPerCluster(), 32u);
}

TEST(ExFatBootRegion, ADamagedMainRegionFallsBackToTheBackupAfterItsChecksum) {
  for (const char* name : {"exfat_512", "exfat_4k"}) {
    const auto head = ExFatHead(name);
    if (head.empty()) GTEST_SKIP() << "exFAT fixtures are not available";
    ExFatBootSector main;
    ASSERT_TRUE(ParseExFatBootSector(head.data(), head.size(), &main));
    const size_t sector = main.BytesPerSector();
    const size_t backup = 12 * sector;

    auto badField = head;
    badField[20] = 1;  // a byte that must be zero
    ExFatBootSector found;
    EXPECT_EQ(FindExFatBootRegion(badField.data(), badField.size(), &found), ExFatBootRegionUsed::kBackup) << name;
    EXPECT_EQ(found.clusterHeapOffset, main.clusterHeapOffset);
    EXPECT_EQ(found.rootCluster, main.rootCluster);

    auto badExtended = head;
    badExtended[3 * sector + 7] ^= 0x5A;  // an extended boot sector: only the checksum tells
    EXPECT_EQ(FindExFatBootRegion(badExtended.data(), badExtended.size(), nullptr), ExFatBootRegionUsed::kBackup);

    // The flags and the percent in use change while mounted and are left out of the checksum.
    auto flags = head;
    flags[106] ^= 0x02;
    flags[112] = 77;
    EXPECT_EQ(FindExFatBootRegion(flags.data(), flags.size(), nullptr), ExFatBootRegionUsed::kMain);

    // A backup whose checksum fails is not used; the main fields still are.
    auto bothChecksums = badExtended;
    bothChecksums[backup + 3 * sector + 7] ^= 0x5A;
    EXPECT_EQ(FindExFatBootRegion(bothChecksums.data(), bothChecksums.size(), nullptr),
              ExFatBootRegionUsed::kMainUnchecked);
    auto nothing = badField;
    nothing[backup + 11 * sector] ^= 1;
    EXPECT_EQ(FindExFatBootRegion(nothing.data(), nothing.size(), nullptr), ExFatBootRegionUsed::kNone);
    nothing.resize(kClassifyBytes);
    EXPECT_EQ(Classify(nothing), VolumeKind::kUnknown);
  }
}

TEST(ExFatBootRegion, FieldsThatCannotDescribeAVolumeAreRefused) {
  const auto head = ExFatHead("exfat_512");
  if (head.empty()) GTEST_SKIP() << "exFAT fixtures are not available";
  auto put32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
  } cases[] = {
      {"name", [](auto& b) { b[3] = 'F'; }},
      {"no signature", [](auto& b) { b[511] = 0; }},
      {"sector shift 8", [](auto& b) { b[108] = 8; }},
      {"sector shift 13", [](auto& b) { b[108] = 13; }},
      {"cluster above 32 MiB", [](auto& b) { b[109] = 17; }},
      {"three FATs", [](auto& b) { b[110] = 3; }},
      {"revision 2.0", [](auto& b) { b[105] = 2; }},
      {"FAT inside the boot regions", [&](auto& b) { put32(b, 80, 23); }},
      {"FAT too short for the clusters", [&](auto& b) { put32(b, 84, 1); }},
      {"heap before the FAT's end", [&](auto& b) { put32(b, 88, 2048); }},
      {"no cluster", [&](auto& b) { put32(b, 92, 0); }},
      {"heap past the volume", [&](auto& b) { put32(b, 92, 0xFFFFFFF0u); }},
      {"root cluster 1", [&](auto& b) { put32(b, 96, 1); }},
      {"root cluster past the heap", [&](auto& b) { put32(b, 96, 1536 + 2); }},
  };
  for (const Case& c : cases) {
    auto damaged = head;
    c.change(damaged);
    EXPECT_FALSE(ParseExFatBootSector(damaged.data(), damaged.size(), nullptr)) << c.what;
    // With the backup region gone as well, nothing describes the volume.
    std::memset(damaged.data() + 12 * 512, 0, 12 * 512);
    EXPECT_EQ(FindExFatBootRegion(damaged.data(), damaged.size(), nullptr), ExFatBootRegionUsed::kNone) << c.what;
    // Sealed with a matching checksum, the fields are still refused.
    ResealExFatRegion(damaged, 0, 512);
    EXPECT_EQ(FindExFatBootRegion(damaged.data(), damaged.size(), nullptr), ExFatBootRegionUsed::kNone) << c.what;
  }
  EXPECT_FALSE(ParseExFatBootSector(head.data(), 511, nullptr));
  EXPECT_EQ(FindExFatBootRegion(head.data(), 100, nullptr), ExFatBootRegionUsed::kNone);
}

TEST(ExFatBootRegion, PublicExFatImagesAreExFat) {
  struct {
    const char* file;
    size_t offset;
    ExFatBootRegionUsed region;
  } cases[] = {{"dfir_ntfs/exfat_win.raw.gz", 0, ExFatBootRegionUsed::kMain},
               {"dfir_ntfs/exfat_orphan.raw.gz", 0, ExFatBootRegionUsed::kMain},
               // Made by Windows 7; its main region's boot code no longer matches its checksum.
               {"dfir_ntfs/win_exfat_7.raw.gz", 0, ExFatBootRegionUsed::kBackup},
               // A partition at 1 MiB of an MBR disk.
               {"dfir_ntfs/exfat_lin_part.raw.gz", 1u << 20, ExFatBootRegionUsed::kMain}};
  for (const auto& c : cases) {
    const std::string path = testing_support::UnpackedSharedTestData(c.file);
    if (path.empty()) GTEST_SKIP() << "../shared/testdata is not available";
    auto bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), c.offset + kExFatBootRegionsBytes);
    std::vector<uint8_t> head(bytes.begin() + static_cast<std::ptrdiff_t>(c.offset),
                              bytes.begin() + static_cast<std::ptrdiff_t>(c.offset + kExFatBootRegionsBytes));
    EXPECT_EQ(FindExFatBootRegion(head.data(), head.size(), nullptr), c.region) << c.file;
    head.resize(kClassifyBytes);
    EXPECT_EQ(Classify(head), VolumeKind::kExFat) << c.file;
  }
}

TEST(ClassifyVolume, ShortAndEmptyInputsAreUnknown) {
  std::vector<uint8_t> zeros(kClassifyBytes, 0);
  EXPECT_EQ(Classify(zeros), VolumeKind::kUnknown);
  auto head = MakeFatHead("-F 16", 16384);
  ASSERT_FALSE(head.empty());
  EXPECT_EQ(ClassifyVolume(head.data(), kClassifyBytes - 1), VolumeKind::kUnknown);
  EXPECT_FALSE(IsNtfsBootSector(head.data(), 100));
  EXPECT_FALSE(IsFatBootSector(head.data(), 511));
  EXPECT_FALSE(IsExtSuperblock(head.data(), 2047));
  EXPECT_FALSE(IsEncryptedVolume(head.data(), 5));
}

}  // namespace
}  // namespace engine
