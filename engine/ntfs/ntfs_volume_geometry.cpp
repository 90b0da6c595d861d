// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/ntfs_volume_geometry.h"

namespace engine::ntfs {
namespace {

bool IsPowerOfTwo(uint64_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// Record size named by the boot sector, or 0 when the field is unusable.
uint32_t BootRecordBytes(int8_t field, uint32_t clusterBytes, uint32_t bytesPerSector) {
  uint64_t bytes = 0;
  if (field > 0) {
    bytes = static_cast<uint64_t>(field) * clusterBytes;
  } else if (field < 0 && field > -31) {
    bytes = uint64_t{1} << (-field);
  }
  if (!IsPowerOfTwo(bytes) || bytes < bytesPerSector || bytes > 4096) return 0;
  return static_cast<uint32_t>(bytes);
}

}  // namespace

bool ParseNtfsBootSector(ByteView boot, uint64_t volumeStartSector, uint64_t sectorCount, NtfsVolumeGeometry* out) {
  if (!boot.Has(0, 512)) return false;
  uint32_t bytesPerSector = boot.U16(kBootBytesPerSector);
  if (bytesPerSector == 0) bytesPerSector = 512;
  if (bytesPerSector != 512 && bytesPerSector != 1024 && bytesPerSector != 2048 && bytesPerSector != 4096) {
    return false;
  }
  const auto spcByte = static_cast<int8_t>(boot.U8(kBootSectorsPerCluster));
  if (spcByte <= 0 || !IsPowerOfTwo(static_cast<uint64_t>(spcByte))) return false;

  NtfsVolumeGeometry g;
  g.volumeStartSector = volumeStartSector;
  g.sectorCount = sectorCount;
  g.bytesPerSector = bytesPerSector;
  g.sectorsPerCluster = static_cast<uint32_t>(spcByte);
  g.clusterBytes = g.sectorsPerCluster * bytesPerSector;
  uint32_t recordBytes =
      BootRecordBytes(static_cast<int8_t>(boot.U8(kBootClustersPerRecord)), g.clusterBytes, bytesPerSector);
  if (recordBytes == 0) recordBytes = bytesPerSector == 512 ? 1024 : bytesPerSector;
  g.recordBytes = recordBytes;
  g.sectorsPerRecord = recordBytes / bytesPerSector;

  const auto mftCluster = static_cast<int64_t>(boot.U64(kBootMftCluster));
  if (mftCluster < 0 || static_cast<uint64_t>(mftCluster) >= g.ClusterCount()) return false;
  g.mftStartSector = volumeStartSector + static_cast<uint64_t>(mftCluster) * g.sectorsPerCluster;
  const auto mirrorCluster = static_cast<int64_t>(boot.U64(kBootMftMirrorCluster));
  if (mirrorCluster > 0 && static_cast<uint64_t>(mirrorCluster) < g.ClusterCount()) {
    g.mftMirrorSector = volumeStartSector + static_cast<uint64_t>(mirrorCluster) * g.sectorsPerCluster;
  }
  *out = g;
  return true;
}

}  // namespace engine::ntfs
