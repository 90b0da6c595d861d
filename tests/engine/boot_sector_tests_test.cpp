// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstring>

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
