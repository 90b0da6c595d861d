// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/boot_sector_tests.h"

#include <cstdio>

#include "engine/byte_view.h"

namespace engine {
namespace {

// Boot-sector field offsets shared by FAT and NTFS.
constexpr size_t kOemName = 3;
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kFatCount = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kFatSize16 = 22;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kFatSize32 = 36;
constexpr size_t kFat32TypeLabel = 82;
constexpr size_t kNtfsTotalSectors = 40;
constexpr size_t kSignature = 510;

bool PowerOfTwoUpTo128(uint8_t v) {
  return v != 0 && v <= 128 && (v & (v - 1)) == 0;
}

bool HasBootSignature(const ByteView& b) {
  return b.U8(kSignature) == 0x55 && b.U8(kSignature + 1) == 0xAA;
}

bool Fat1216Check(const ByteView& b) {
  return b.U8(kFatCount) != 0 && (b.U16(kTotalSectors16) != 0 || b.U32(kTotalSectors32) != 0) &&
         PowerOfTwoUpTo128(b.U8(kSectorsPerCluster)) && b.U16(kFatSize16) != 0 && HasBootSignature(b);
}

bool Fat32Check(const ByteView& b) {
  return b.Equals(kFat32TypeLabel, "FAT32   ", 8) && b.U8(kFatCount) != 0 && b.U32(kTotalSectors32) != 0 &&
         PowerOfTwoUpTo128(b.U8(kSectorsPerCluster)) && b.U32(kFatSize32) != 0 && HasBootSignature(b);
}

}  // namespace

bool IsNtfsBootSector(const uint8_t* bytes, size_t length) {
  ByteView b(bytes, length);
  if (!b.Has(0, 512)) return false;
  if (!b.Equals(kOemName, "NTFS    ", 8)) return false;
  if ((b.U16(kBytesPerSector) & 0x1FF) != 0 || b.U16(kReservedSectors) != 0) return false;
  if (!PowerOfTwoUpTo128(b.U8(kSectorsPerCluster))) return false;
  if (b.U64(kNtfsTotalSectors) == 0) return false;
  for (size_t off : {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35}) {
    if (b.U8(off) != 0) return false;
  }
  return HasBootSignature(b);
}

namespace {

bool IsBitLockerToGo(const ByteView& b) {
  if (!b.Has(0x1E0, 30)) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (b.U8(0x1E0 + i) != 'x') return false;
  }
  for (size_t i = 8; i < 27; ++i) {
    if (b.U8(0x1E0 + i) != 0xFF) return false;
  }
  return b.U8(0x1E0 + 27) == 0x00 && b.U8(0x1E0 + 28) == 0x1F && b.U8(0x1E0 + 29) == 0x2C;
}

}  // namespace

std::string_view EncryptionName(const uint8_t* bytes, size_t length) {
  ByteView b(bytes, length);
  if (b.Equals(kOemName, "-FVE-FS-", 8) || IsBitLockerToGo(b)) return "BitLocker";
  if (b.Equals(0, "LUKS\xba\xbe", 6)) return "LUKS";
  return {};
}

bool IsEncryptedVolume(const uint8_t* bytes, size_t length) {
  return !EncryptionName(bytes, length).empty();
}

FatKind ClassifyFatBootSector(const uint8_t* bytes, size_t length) {
  ByteView b(bytes, length);
  if (!b.Has(0, 512) || IsEncryptedVolume(bytes, length)) return FatKind::kNone;
  uint32_t fatSize = b.U16(kFatSize16) != 0 ? b.U16(kFatSize16) : b.U32(kFatSize32);
  uint32_t totalSectors = b.U32(kTotalSectors32) != 0 ? b.U32(kTotalSectors32) : b.U16(kTotalSectors16);
  uint32_t bytesPerSector = b.U16(kBytesPerSector);
  uint32_t sectorsPerCluster = b.U8(kSectorsPerCluster);
  if (bytesPerSector == 0 || sectorsPerCluster == 0 || bytesPerSector % 512 != 0) return FatKind::kNone;
  uint32_t rootSectors = b.U16(kRootEntries) * 32u / bytesPerSector;
  // Unsigned, as the on-disk arithmetic is: a layout larger than the volume wraps to a huge count.
  uint32_t clusterCount =
      (totalSectors - rootSectors - b.U8(kFatCount) * fatSize - b.U16(kReservedSectors)) / sectorsPerCluster;
  if (clusterCount >= 0x0FFFFFF0u) return FatKind::kNone;
  auto fat1216 = [&] { return clusterCount < 4085 ? FatKind::kFat12 : FatKind::kFat16; };
  if (clusterCount < 65525) {
    if (Fat1216Check(b)) return fat1216();
    if (Fat32Check(b)) return FatKind::kFat32;
  } else {
    if (Fat32Check(b)) return FatKind::kFat32;
    if (Fat1216Check(b)) return fat1216();
  }
  return FatKind::kNone;
}

namespace exfat_boot {
constexpr size_t kName = 3;
constexpr size_t kZeroFrom = 11;
constexpr size_t kZeroTo = 64;
constexpr size_t kPartitionOffset = 64;
constexpr size_t kVolumeLength = 72;
constexpr size_t kFatOffset = 80;
constexpr size_t kFatLength = 84;
constexpr size_t kClusterHeapOffset = 88;
constexpr size_t kClusterCount = 92;
constexpr size_t kRootCluster = 96;
constexpr size_t kVolumeSerial = 100;
constexpr size_t kRevision = 104;
constexpr size_t kVolumeFlags = 106;
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kNumberOfFats = 110;
constexpr size_t kPercentInUse = 112;
// The first FAT sector the format allows (after both boot regions).
constexpr uint32_t kMinFatOffset = 24;
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5;
// Clusters are at most 32 MiB: the two shifts add up to 25 at most.
constexpr uint32_t kMaxShiftSum = 25;
}  // namespace exfat_boot

bool ParseExFatBootSector(const uint8_t* bytes, size_t length, ExFatBootSector* out) {
  using namespace exfat_boot;
  ByteView b(bytes, length);
  if (!b.Has(0, 512) || !b.Equals(kName, "EXFAT   ", 8) || !HasBootSignature(b)) return false;
  for (size_t i = kZeroFrom; i < kZeroTo; ++i) {
    if (b.U8(i) != 0) return false;
  }
  ExFatBootSector f;
  f.partitionOffset = b.U64(kPartitionOffset);
  f.volumeLength = b.U64(kVolumeLength);
  f.fatOffset = b.U32(kFatOffset);
  f.fatLength = b.U32(kFatLength);
  f.clusterHeapOffset = b.U32(kClusterHeapOffset);
  f.clusterCount = b.U32(kClusterCount);
  f.rootCluster = b.U32(kRootCluster);
  f.volumeSerial = b.U32(kVolumeSerial);
  f.revision = b.U16(kRevision);
  f.volumeFlags = b.U16(kVolumeFlags);
  f.bytesPerSectorShift = b.U8(kBytesPerSectorShift);
  f.sectorsPerClusterShift = b.U8(kSectorsPerClusterShift);
  f.fatCount = b.U8(kNumberOfFats);
  if (f.bytesPerSectorShift < 9 || f.bytesPerSectorShift > 12) return false;
  if (f.bytesPerSectorShift + f.sectorsPerClusterShift > kMaxShiftSum) return false;
  if (f.fatCount != 1 && f.fatCount != 2) return false;
  if ((f.revision >> 8) != 1) return false;
  if (f.fatOffset < kMinFatOffset || f.fatLength == 0) return false;
  if (f.clusterCount == 0 || f.clusterCount > kMaxClusterCount) return false;
  // The FAT holds an entry for every cluster and the two reserved ones.
  if ((uint64_t{f.clusterCount} + 2) * 4 > uint64_t{f.fatLength} << f.bytesPerSectorShift) return false;
  if (uint64_t{f.fatOffset} + uint64_t{f.fatLength} * f.fatCount > f.clusterHeapOffset) return false;
  const uint64_t heapEnd = uint64_t{f.clusterHeapOffset} + (uint64_t{f.clusterCount} << f.sectorsPerClusterShift);
  if (heapEnd > f.volumeLength) return false;
  if (f.rootCluster < 2 || uint64_t{f.rootCluster} > uint64_t{f.clusterCount} + 1) return false;
  if (out != nullptr) *out = f;
  return true;
}

uint32_t ExFatBootChecksum(const uint8_t* region, uint32_t bytesPerSector) {
  using namespace exfat_boot;
  uint32_t checksum = 0;
  const size_t bytes = static_cast<size_t>(bytesPerSector) * 11;
  for (size_t i = 0; i < bytes; ++i) {
    if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
    checksum = ((checksum & 1) != 0 ? 0x80000000u : 0) + (checksum >> 1) + region[i];
  }
  return checksum;
}

namespace {

enum class RegionCheck { kInvalid, kFieldsOnly, kChecked };

// The region that starts at byte `offset` of bytes: its fields, and whether
// its checksum sector (sector 11 of it) repeats its checksum.
RegionCheck CheckExFatRegion(const uint8_t* bytes, size_t length, size_t offset, ExFatBootSector* out) {
  ByteView all(bytes, length);
  ByteView region = all.Sub(offset, length);
  if (offset > length || !ParseExFatBootSector(region.data(), region.size(), out)) return RegionCheck::kInvalid;
  const uint32_t sector = out->BytesPerSector();
  if (!region.Has(0, size_t{sector} * kExFatBootRegionSectors)) return RegionCheck::kFieldsOnly;
  const uint32_t checksum = ExFatBootChecksum(region.data(), sector);
  for (size_t at = size_t{sector} * 11; at < size_t{sector} * 12; at += 4) {
    if (region.U32(at) != checksum) return RegionCheck::kFieldsOnly;
  }
  return RegionCheck::kChecked;
}

}  // namespace

ExFatBootRegionUsed FindExFatBootRegion(const uint8_t* bytes, size_t length, ExFatBootSector* out) {
  ExFatBootSector main;
  const RegionCheck mainCheck = CheckExFatRegion(bytes, length, 0, &main);
  if (mainCheck == RegionCheck::kChecked) {
    if (out != nullptr) *out = main;
    return ExFatBootRegionUsed::kMain;
  }
  // The backup region lies at sector 12; its own boot sector says how large a sector is.
  for (uint32_t shift = 9; shift <= 12; ++shift) {
    ExFatBootSector backup;
    const size_t offset = size_t{kExFatBootRegionSectors} << shift;
    if (CheckExFatRegion(bytes, length, offset, &backup) == RegionCheck::kChecked &&
        backup.bytesPerSectorShift == shift) {
      if (out != nullptr) *out = backup;
      return ExFatBootRegionUsed::kBackup;
    }
  }
  if (mainCheck == RegionCheck::kFieldsOnly) {
    if (out != nullptr) *out = main;
    return ExFatBootRegionUsed::kMainUnchecked;
  }
  return ExFatBootRegionUsed::kNone;
}

bool IsExtSuperblock(const uint8_t* bytes, size_t length) {
  ByteView sb = ByteView(bytes, length).Sub(1024, 1024);
  if (!sb.Has(0, 1024)) return false;
  if (sb.U16(0x38) != 0xEF53) return false;
  uint32_t inodes = sb.U32(0), blocks = sb.U32(4), firstData = sb.U32(20), logBlock = sb.U32(24);
  uint32_t blocksPerGroup = sb.U32(32), inodesPerGroup = sb.U32(40), firstInode = sb.U32(84);
  if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0 || firstInode <= 2) return false;
  if ((blocks - firstData - 1) / blocksPerGroup + 1 != (inodes - 1) / inodesPerGroup + 1) return false;
  bool oneKiBBlocks = logBlock < 32 && (1024ull << logBlock) == 1024;
  if (firstData != (oneKiBBlocks ? 1u : 0u)) return false;
  return inodes > firstInode;
}

VolumeKind ClassifyVolume(const uint8_t* bytes, size_t length) {
  if (length < kClassifyBytes) return VolumeKind::kUnknown;
  if (IsNtfsBootSector(bytes, length)) return VolumeKind::kNtfs;
  switch (ClassifyFatBootSector(bytes, length)) {
    case FatKind::kFat12: return VolumeKind::kFat12;
    case FatKind::kFat16: return VolumeKind::kFat16;
    case FatKind::kFat32: return VolumeKind::kFat32;
    case FatKind::kNone: break;
  }
  if (IsExFatVolume(bytes, length)) return VolumeKind::kExFat;
  if (IsExtSuperblock(bytes, length)) return VolumeKind::kExt;
  if (IsEncryptedVolume(bytes, length)) return VolumeKind::kEncrypted;
  return VolumeKind::kUnknown;
}

namespace {

// Where each file system keeps its size and serial.
constexpr size_t kFat1216SerialSignature = 38;  // 0x29 when the 4-byte volume id at 39 is there
constexpr size_t kFat1216Serial = 39;
constexpr size_t kFat32SerialSignature = 66;  // 0x29 when the 4-byte volume id at 67 is there
constexpr size_t kFat32Serial = 67;
constexpr size_t kNtfsSerial = 72;  // 8 bytes
constexpr size_t kExtSuperblock = 1024;
constexpr size_t kExtBlocksLow = 4;
constexpr size_t kExtLogBlockSize = 24;
constexpr size_t kExtIncompatible = 0x60;
constexpr uint32_t kExt64Bit = 0x80;
constexpr size_t kExtUuid = 0x68;
constexpr size_t kExtBlocksHigh = 0x150;

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  // Little-endian fields are shown as the numbers they are, most significant digit first.
  for (size_t i = count; i-- > 0;) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

uint64_t Product(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? 0 : out;
}

}  // namespace

uint64_t FileSystemBytes(const uint8_t* bytes, size_t length) {
  ByteView b(bytes, length);
  if (IsNtfsBootSector(bytes, length)) {
    const uint64_t sectors = b.U64(kNtfsTotalSectors);
    return sectors == UINT64_MAX ? 0 : Product(sectors + 1, b.U16(kBytesPerSector));
  }
  if (IsFatBootSector(bytes, length)) {
    const uint32_t sectors = b.U16(kTotalSectors16) != 0 ? b.U16(kTotalSectors16) : b.U32(kTotalSectors32);
    return Product(sectors, b.U16(kBytesPerSector));
  }
  ExFatBootSector exfat;
  if (FindExFatBootRegion(bytes, length, &exfat) != ExFatBootRegionUsed::kNone) {
    return Product(exfat.volumeLength, exfat.BytesPerSector());
  }
  if (IsExtSuperblock(bytes, length)) {
    const ByteView sb = b.Sub(kExtSuperblock, 1024);
    uint64_t blocks = sb.U32(kExtBlocksLow);
    if ((sb.U32(kExtIncompatible) & kExt64Bit) != 0) blocks |= uint64_t{sb.U32(kExtBlocksHigh)} << 32;
    const uint32_t logBlock = sb.U32(kExtLogBlockSize);
    return logBlock > 16 ? 0 : Product(blocks, uint64_t{1024} << logBlock);
  }
  return 0;
}

std::string VolumeSerialText(const uint8_t* bytes, size_t length) {
  ByteView b(bytes, length);
  if (IsNtfsBootSector(bytes, length)) return Hex(bytes + kNtfsSerial, 8);
  switch (ClassifyFatBootSector(bytes, length)) {
    case FatKind::kFat32: return b.U8(kFat32SerialSignature) == 0x29 ? Hex(bytes + kFat32Serial, 4) : std::string("0");
    case FatKind::kFat12:
    case FatKind::kFat16:
      return b.U8(kFat1216SerialSignature) == 0x29 ? Hex(bytes + kFat1216Serial, 4) : std::string("0");
    case FatKind::kNone: break;
  }
  ExFatBootSector exfat;
  if (FindExFatBootRegion(bytes, length, &exfat) != ExFatBootRegionUsed::kNone) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", exfat.volumeSerial);
    return text;
  }
  if (IsExtSuperblock(bytes, length)) return Hex(bytes + kExtSuperblock + kExtUuid, 8);
  return {};
}

std::string_view VolumeKindName(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::kNtfs: return "NTFS";
    case VolumeKind::kFat12: return "FAT12";
    case VolumeKind::kFat16: return "FAT16";
    case VolumeKind::kFat32: return "FAT32";
    case VolumeKind::kExFat: return "exFAT";
    case VolumeKind::kExt: return "ext";
    case VolumeKind::kEncrypted: return "encrypted";
    case VolumeKind::kUnknown: return "unknown";
  }
  return "unknown";
}

}  // namespace engine
