// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/volume_head.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/hash64.h"

#include "storage/disk_list.h"
#include "storage/sector_source.h"

namespace jobs {

namespace {

// The first 16 KiB of the volume; empty when it is shorter.
platform::Status ReadHead(const storage::VolumeTarget& target, std::vector<uint8_t>* head) {
  head->clear();
  storage::SectorSource source;
  platform::Status s = target.isImage ? storage::OpenImageSource(source, target.imagePath)
                                      : storage::OpenDiskSource(source, target.diskNumber);
  if (s != platform::kStatusOk) return s;
  const uint32_t sectorSize = target.isImage ? 512 : source.deviceSectorSize;
  if (sectorSize == 0 || sectorSize > engine::kClassifyBytes) return platform::kStatusInvalidParameter;
  head->resize(engine::kClassifyBytes);
  uint32_t got = 0;
  s = storage::ReadSectors(static_cast<uint32_t>(head->size() / sectorSize), source, head->data(),
                           target.isImage ? 0 : target.startSector, sectorSize, &got);
  if (s == platform::kStatusInvalidParameter) {
    head->clear();  // shorter than 16 KiB: unknown
    return platform::kStatusOk;
  }
  return s;
}

// The FAT boot sector's "state" byte, which a mount sets and an unmount
// clears: left out of the hash so a mounted card is the same card.
constexpr size_t kFat1216StateByte = 0x25;
constexpr size_t kFat32StateByte = 0x41;
constexpr size_t kIdentitySectorBytes = 512;

std::string HeadIdentity(const std::vector<uint8_t>& head, engine::VolumeKind kind) {
  std::vector<uint8_t> sector(head.begin(), head.begin() + std::min(head.size(), kIdentitySectorBytes));
  if (sector.size() == kIdentitySectorBytes) {
    if (kind == engine::VolumeKind::kFat12 || kind == engine::VolumeKind::kFat16) sector[kFat1216StateByte] = 0;
    if (kind == engine::VolumeKind::kFat32) sector[kFat32StateByte] = 0;
  }
  engine::Hash64 hash;
  hash.Update(sector.data(), sector.size());
  char boot[17];
  std::snprintf(boot, sizeof boot, "%016llx", static_cast<unsigned long long>(hash.Value()));
  std::string serial = engine::VolumeSerialText(head.data(), head.size());
  return "|serial:" + (serial.empty() ? std::string("-") : serial) + "|boot:" + boot;
}

}  // namespace

platform::Status ReadVolumeKind(const storage::VolumeTarget& target, engine::VolumeKind* kind) {
  *kind = engine::VolumeKind::kUnknown;
  std::vector<uint8_t> head;
  if (platform::Status s = ReadHead(target, &head); s != platform::kStatusOk) return s;
  *kind = engine::ClassifyVolume(head.data(), head.size());
  return platform::kStatusOk;
}

platform::Status ReadVolumeHead(const storage::VolumeTarget& target, VolumeHead* out) {
  *out = VolumeHead{};
  std::vector<uint8_t> head;
  if (platform::Status s = ReadHead(target, &head); s != platform::kStatusOk) return s;
  out->kind = engine::ClassifyVolume(head.data(), head.size());
  out->encryption = std::string(engine::EncryptionName(head.data(), head.size()));
  switch (out->kind) {
    case engine::VolumeKind::kExt:
    case engine::VolumeKind::kUnknown:
    case engine::VolumeKind::kEncrypted: out->fileSystem = storage::ProbedFileSystemName(target); break;
    default: break;
  }
  if (!out->encryption.empty()) out->fileSystem = out->encryption;
  if (out->fileSystem.empty()) out->fileSystem = std::string(engine::VolumeKindName(out->kind));
  out->identity = HeadIdentity(head, out->kind);
  return platform::kStatusOk;
}

}  // namespace jobs
