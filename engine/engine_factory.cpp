// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/engine_factory.h"

#include <vector>

#include "engine/deep/fast_engines.h"
#include "engine/deep/professional_recovery.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "storage/disk_queries.h"
#include "storage/sector_source.h"

namespace engine {
namespace {

// The first `bytes` of the volume, or empty when they cannot be read whole.
std::vector<uint8_t> ReadVolumeHead(storage::SectorSource& source, uint64_t startSector, uint32_t sectorSize,
                                    size_t bytes = kClassifyBytes) {
  std::vector<uint8_t> head(bytes);
  uint32_t got = 0;
  if (storage::ReadSectors(static_cast<uint32_t>(head.size() / sectorSize), source, head.data(), startSector,
                           sectorSize, &got) != kStatusOk) {
    return {};
  }
  return head;
}

// The volume's kind from its first 16 KiB; an exFAT volume whose main boot
// region is damaged is also known by its backup region, which lies past the
// first 16 KiB when sectors are larger than 1 KiB.
VolumeKind Classify(storage::SectorSource& source, uint64_t startSector, uint32_t sectorSize,
                    const std::vector<uint8_t>& head) {
  const VolumeKind kind = ClassifyVolume(head.data(), head.size());
  if (kind != VolumeKind::kUnknown) return kind;
  const std::vector<uint8_t> regions = ReadVolumeHead(source, startSector, sectorSize, kExFatBootRegionsBytes);
  return !regions.empty() && IsExFatVolume(regions.data(), regions.size()) ? VolumeKind::kExFat : kind;
}

std::unique_ptr<IFileRecoveryParse> MakeEngine(VolumeKind kind, int32_t professional) {
  // The deep scan reads any volume, whatever its first sectors hold.
  if (professional != 0) return std::make_unique<deep::CProfessionalRecovery>();
  switch (kind) {
    case VolumeKind::kNtfs: return std::make_unique<ntfs::CFastNtfsRecovery>();
    case VolumeKind::kFat12:
    case VolumeKind::kFat16:
    case VolumeKind::kFat32: return std::make_unique<fat::CFastFatRecovery>();
    case VolumeKind::kExFat: return std::make_unique<exfat::CFastExFatRecovery>();
    case VolumeKind::kExt: return std::make_unique<ext4::CFastExt4Recovery>();
    default: return nullptr;
  }
}

}  // namespace

std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int32_t diskNumber, uint64_t startSector,
                                                             uint64_t sectorCount, uint16_t driveLetter,
                                                             int32_t professional) {
  storage::SectorSource source;
  if (storage::OpenDiskSource(source, diskNumber) != kStatusOk) return nullptr;
  storage::FlushVolume(driveLetter);
  uint32_t sectorSize = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  if (sectorSize > kClassifyBytes) return nullptr;
  std::vector<uint8_t> head = ReadVolumeHead(source, startSector, sectorSize);
  if (head.empty() && professional == 0) return nullptr;
  auto engine = MakeEngine(head.empty() ? VolumeKind::kUnknown : Classify(source, startSector, sectorSize, head),
                           professional);
  if (engine && engine->OpenPartition(diskNumber, startSector, sectorCount, driveLetter) != kStatusOk &&
      professional != 0) {
    return nullptr;  // the coordinator's open fails only when the disk cannot be opened
  }
  return engine;
}

std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& imagePath, uint16_t driveLetter,
                                                         int32_t professional) {
  storage::SectorSource source;
  if (storage::OpenImageSource(source, imagePath) != kStatusOk) return nullptr;
  std::vector<uint8_t> head = ReadVolumeHead(source, 0, 512);
  if (head.empty() && professional == 0) return nullptr;
  auto engine = MakeEngine(head.empty() ? VolumeKind::kUnknown : Classify(source, 0, 512, head), professional);
  if (engine && engine->OpenImage(imagePath, driveLetter) != kStatusOk && professional != 0) return nullptr;
  return engine;
}

uint64_t VolumeFingerprintOf(IFileRecoveryParse& engine) {
  if (auto* deepScan = dynamic_cast<deep::CProfessionalRecovery*>(&engine)) return deepScan->VolumeFingerprint();
  if (auto* ext = dynamic_cast<ext4::CFastExt4Recovery*>(&engine)) {
    uint64_t fingerprint = 0;
    return ext->VolumeFingerprint(&fingerprint) == kStatusOk ? fingerprint : 0;
  }
  return deep::FastEngineFingerprint(engine);
}

}  // namespace engine
