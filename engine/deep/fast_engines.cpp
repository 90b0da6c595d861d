// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/fast_engines.h"

#include <vector>

#include "engine/boot_sector_tests.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/ntfs/fast_ntfs_recovery.h"

namespace engine::deep {

std::unique_ptr<IFileRecoveryParse> OpenFastEngine(storage::SectorSource& source, uint64_t startSector,
                                                   uint64_t sectorCount, uint16_t driveLetter, uint32_t* sectorBytes) {
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  if (unit > kClassifyBytes) return nullptr;
  std::vector<uint8_t> head(kClassifyBytes);
  uint32_t got = 0;
  if (storage::ReadSectors(static_cast<uint32_t>(head.size() / unit), source, head.data(), startSector, unit, &got) !=
      kStatusOk) {
    return nullptr;
  }
  VolumeKind kind = ClassifyVolume(head.data(), head.size());
  if (kind == VolumeKind::kUnknown && kExFatBootRegionsBytes % unit == 0) {
    // An exFAT volume whose main boot region is damaged is known by its backup.
    std::vector<uint8_t> regions(kExFatBootRegionsBytes);
    if (storage::ReadSectors(static_cast<uint32_t>(regions.size() / unit), source, regions.data(), startSector, unit,
                             &got) == kStatusOk &&
        IsExFatVolume(regions.data(), regions.size())) {
      kind = VolumeKind::kExFat;
    }
  }
  switch (kind) {
    case VolumeKind::kNtfs: {
      auto engine = std::make_unique<ntfs::CFastNtfsRecovery>();
      if (engine->OpenSource(storage::ShareSource(source), startSector, sectorCount, driveLetter) != kStatusOk) {
        return nullptr;
      }
      *sectorBytes = engine->Geometry().bytesPerSector;
      return engine;
    }
    case VolumeKind::kFat12:
    case VolumeKind::kFat16:
    case VolumeKind::kFat32: {
      auto engine = std::make_unique<fat::CFastFatRecovery>();
      if (engine->OpenSource(storage::ShareSource(source), startSector, sectorCount, driveLetter) != kStatusOk) {
        return nullptr;
      }
      engine->SearchFragments(cluster::FragmentBounds{});  // deep mode: deleted files written in pieces
      *sectorBytes = engine->Geometry().bytesPerSector;
      return engine;
    }
    case VolumeKind::kExFat: {
      auto engine = std::make_unique<exfat::CFastExFatRecovery>();
      if (engine->OpenSource(storage::ShareSource(source), startSector, sectorCount, driveLetter) != kStatusOk) {
        return nullptr;
      }
      engine->SearchFragments(cluster::FragmentBounds{});
      *sectorBytes = engine->Geometry().bytesPerSector;
      return engine;
    }
    case VolumeKind::kExt: {
      auto engine = std::make_unique<ext4::CFastExt4Recovery>();
      if (engine->OpenSource(storage::ShareSource(source), startSector, sectorCount, driveLetter) != kStatusOk) {
        return nullptr;
      }
      *sectorBytes = engine->SectorBytes();
      return engine;
    }
    default: return nullptr;
  }
}

uint64_t FastEngineFingerprint(IFileRecoveryParse& engine) {
  uint64_t fingerprint = 0;
  Status s = kStatusInvalidParameter;
  if (auto* fat = dynamic_cast<fat::CFastFatRecovery*>(&engine)) s = fat->VolumeFingerprint(&fingerprint);
  if (auto* ntfs = dynamic_cast<ntfs::CFastNtfsRecovery*>(&engine)) s = ntfs->VolumeFingerprint(&fingerprint);
  if (auto* exfat = dynamic_cast<exfat::CFastExFatRecovery*>(&engine)) s = exfat->VolumeFingerprint(&fingerprint);
  if (auto* ext = dynamic_cast<ext4::CFastExt4Recovery*>(&engine)) s = ext->VolumeFingerprint(&fingerprint);
  return s == kStatusOk ? fingerprint : 0;
}

}  // namespace engine::deep
