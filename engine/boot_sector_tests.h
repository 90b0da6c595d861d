// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// Strict tests on the first bytes of a volume. Each takes the bytes and their
// length and never reads outside them; too few bytes fail the test.

// NTFS boot sector (first 512 bytes).
bool IsNtfsBootSector(const uint8_t* bytes, size_t length);
// "-FVE-FS-" at byte 3, or the BitLocker-to-go marker at byte 480
// (BitLocker); "LUKS" 0xBA 0xBE at byte 0 (LUKS).
bool IsEncryptedVolume(const uint8_t* bytes, size_t length);
// "BitLocker" or "LUKS" for an encrypted volume's first bytes; empty otherwise.
std::string_view EncryptionName(const uint8_t* bytes, size_t length);

enum class FatKind { kNone, kFat12, kFat16, kFat32 };
// FAT boot sector; which of FAT12/16/32 it is follows the cluster count
// (below 4085 FAT12, below 65525 FAT16) or the FAT32 layout.
FatKind ClassifyFatBootSector(const uint8_t* bytes, size_t length);
inline bool IsFatBootSector(const uint8_t* bytes, size_t length) {
  return ClassifyFatBootSector(bytes, length) != FatKind::kNone;
}
// ext2/3/4 superblock at byte 1024 of the volume's first 16 KiB.
bool IsExtSuperblock(const uint8_t* bytes, size_t length);

// The fields of an exFAT boot sector (the first sector of a boot region).
// Offsets in the sector: 3 "EXFAT   ", 11..63 zero, 64 u64 partition
// offset, 72 u64 volume length (sectors), 80 u32 FAT offset, 84 u32 FAT
// length, 88 u32 cluster heap offset, 92 u32 cluster count, 96 u32 root
// cluster, 100 u32 serial, 104 u16 revision, 106 u16 volume flags, 108 u8
// bytes-per-sector shift, 109 u8 sectors-per-cluster shift, 110 u8 FAT
// count, 112 u8 percent in use, 510 0x55 0xAA. Sector counts are in the
// volume's own sectors. Plain value.
struct ExFatBootSector {
  uint64_t partitionOffset = 0;
  uint64_t volumeLength = 0;
  uint32_t fatOffset = 0;
  uint32_t fatLength = 0;
  uint32_t clusterHeapOffset = 0;
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint32_t volumeSerial = 0;
  uint16_t revision = 0;
  uint16_t volumeFlags = 0;
  uint8_t bytesPerSectorShift = 0;
  uint8_t sectorsPerClusterShift = 0;
  uint8_t fatCount = 0;

  uint32_t BytesPerSector() const { return 1u << bytesPerSectorShift; }
  uint32_t SectorsPerCluster() const { return 1u << sectorsPerClusterShift; }
};

// A boot region is 12 sectors: the boot sector, 8 extended boot sectors,
// the OEM parameters, a reserved sector and the checksum sector; the
// backup region follows at sector 12.
inline constexpr uint32_t kExFatBootRegionSectors = 12;
// Bytes from the volume start that hold both regions at the largest sector size.
inline constexpr size_t kExFatBootRegionsBytes = 2 * kExFatBootRegionSectors * 4096;

// True when the first 512 of length bytes are an exFAT boot sector whose
// fields describe a volume: the name, the zero bytes, a sector shift of 9
// to 12, a cluster of at most 32 MiB, one or two FATs, a FAT at sector 24
// or later that holds an entry for every cluster, a cluster heap after the
// FATs, 1 to 0xFFFFFFF5 clusters inside the volume length, a root cluster
// among them, revision 1.x and the signature. Fills *out (may be null).
bool ParseExFatBootSector(const uint8_t* bytes, size_t length, ExFatBootSector* out);

// The boot checksum of a region: over its first 11 sectors (11 x
// bytesPerSector bytes of region), leaving out the volume flags (bytes
// 106-107) and the percent in use (byte 112) of the boot sector.
// REQUIRES: region holds 11 x bytesPerSector bytes.
uint32_t ExFatBootChecksum(const uint8_t* region, uint32_t bytesPerSector);

enum class ExFatBootRegionUsed {
  kNone,
  kMain,           // the main region: fields and checksum sector agree
  kMainUnchecked,  // main fields; its checksum sector is damaged or not among the bytes
  kBackup,         // the main region is damaged; the backup's fields and checksum agree
};

// Which boot region of an exFAT volume to trust, from bytes read at the
// volume start (any length; the regions must lie wholly inside to be
// checked). The main region when its fields pass and its checksum sector
// holds its checksum; else the backup region (sector 12 at the sector size
// its own boot sector gives) when its fields pass and its checksum sector
// matches; else the main region's fields alone when they pass. *out (may be
// null) receives the fields of the region chosen.
ExFatBootRegionUsed FindExFatBootRegion(const uint8_t* bytes, size_t length, ExFatBootSector* out);
inline bool IsExFatVolume(const uint8_t* bytes, size_t length) {
  return FindExFatBootRegion(bytes, length, nullptr) != ExFatBootRegionUsed::kNone;
}

enum class VolumeKind { kUnknown, kNtfs, kFat12, kFat16, kFat32, kExt, kEncrypted, kExFat };

// Classifies a volume from its first 16 KiB (fewer bytes give kUnknown):
// NTFS, else FAT, else exFAT, else ext, else encrypted, else unknown.
VolumeKind ClassifyVolume(const uint8_t* bytes, size_t length);
std::string_view VolumeKindName(VolumeKind kind);

inline constexpr size_t kClassifyBytes = 16384;

// The bytes the file system in a volume's first 16 KiB says it spans: FAT
// (total sectors x bytes per sector), NTFS (total sectors and the backup
// boot sector after them), exFAT (the volume length), ext (blocks x block
// size). 0 when the bytes hold none of these, or a size that overflows.
uint64_t FileSystemBytes(const uint8_t* bytes, size_t length);

// The serial number the file system gives itself (FAT's volume id, NTFS's
// 64-bit serial, exFAT's volume serial, the ext UUID's first 8 bytes), as
// hex digits; empty when the bytes hold none of these file systems.
std::string VolumeSerialText(const uint8_t* bytes, size_t length);

}  // namespace engine
