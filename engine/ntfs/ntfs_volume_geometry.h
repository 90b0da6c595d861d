// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ntfs/run_list.h"
#include "storage/sector_source.h"

namespace engine::ntfs {

// Boot-sector fields the engines read (byte offsets in the volume's first sector).
inline constexpr size_t kBootBytesPerSector = 0x0B;     // u16, 0 means 512
inline constexpr size_t kBootSectorsPerCluster = 0x0D;  // i8
inline constexpr size_t kBootMftCluster = 0x30;         // i64, LCN of the MFT
inline constexpr size_t kBootMftMirrorCluster = 0x38;   // i64, LCN of $MFTMirr (copies of the first records)
inline constexpr size_t kBootClustersPerRecord = 0x40;  // i8: > 0 clusters, < 0 a power of two in bytes

// Largest file record the engines read; every record buffer has this room.
inline constexpr uint32_t kMaxRecordBytes = 8192;

// Where an NTFS volume lies and how its MFT is laid out, derived once per
// open from the boot sector. Sector numbers are absolute (volume start
// included) unless named relative.
struct NtfsVolumeGeometry {
  uint64_t volumeStartSector = 0;  // 0 for an image file
  uint64_t sectorCount = 0;        // sectors in the volume
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint32_t clusterBytes = 512;
  uint32_t sectorsPerRecord = 2;
  uint32_t recordBytes = 1024;
  uint64_t mftStartSector = 0;
  uint64_t mftMirrorSector = 0;  // 0 when the boot sector names none inside the volume

  // Clusters that lie wholly inside the volume.
  uint64_t ClusterCount() const { return sectorsPerCluster == 0 ? 0 : sectorCount / sectorsPerCluster; }
};

// Fills *out from a boot sector. False (and *out untouched) when the volume
// is not one the engines handle: a sector size other than 512, 1024, 2048 or
// 4096; a cluster byte of 0, not a power of two, or 0x80 and above (64 KiB
// clusters on 512-byte sectors and the newer power-of-two encoding); an MFT
// cluster that is negative or lies outside the volume. The record size is
// the boot sector's clusters-per-record value when it names a power of two
// from the sector size up to 4096 bytes; otherwise two sectors on 512-byte
// sectors and one sector on larger ones. sectorCount is in volume sectors.
[[nodiscard]] bool ParseNtfsBootSector(ByteView boot, uint64_t volumeStartSector, uint64_t sectorCount,
                                       NtfsVolumeGeometry* out);

// A volume being read: the sector source (borrowed, must outlive this),
// its geometry and the run list of the MFT's own $DATA (record 0).
struct NtfsVolume {
  storage::SectorSource* source = nullptr;
  NtfsVolumeGeometry geometry;
  std::vector<MftRun> mftRuns;
};

}  // namespace engine::ntfs
