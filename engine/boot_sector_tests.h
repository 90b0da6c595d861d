// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace engine {

// Strict tests on the first bytes of a volume. Each takes the bytes and their
// length and never reads outside them; too few bytes fail the test.

// NTFS boot sector (first 512 bytes).
bool IsNtfsBootSector(const uint8_t* bytes, size_t length);
// "-FVE-FS-" at byte 3, or the BitLocker-to-go marker at byte 480.
bool IsEncryptedVolume(const uint8_t* bytes, size_t length);

enum class FatKind { kNone, kFat12, kFat16, kFat32 };
// FAT boot sector; which of FAT12/16/32 it is follows the cluster count
// (below 4085 FAT12, below 65525 FAT16) or the FAT32 layout.
FatKind ClassifyFatBootSector(const uint8_t* bytes, size_t length);
inline bool IsFatBootSector(const uint8_t* bytes, size_t length) {
  return ClassifyFatBootSector(bytes, length) != FatKind::kNone;
}
// ext2/3/4 superblock at byte 1024 of the volume's first 16 KiB.
bool IsExtSuperblock(const uint8_t* bytes, size_t length);

enum class VolumeKind { kUnknown, kNtfs, kFat12, kFat16, kFat32, kExt, kEncrypted };

// Classifies a volume from its first 16 KiB (fewer bytes give kUnknown):
// NTFS, else FAT, else ext, else encrypted, else unknown.
VolumeKind ClassifyVolume(const uint8_t* bytes, size_t length);
std::string_view VolumeKindName(VolumeKind kind);

inline constexpr size_t kClassifyBytes = 16384;

}  // namespace engine
