// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fast_ext_recovery.h"

namespace engine {

Status CFastExtRecovery::OpenImage(const std::string&, uint16_t) {
  return kStatusOk;
}

Status CFastExtRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t driveLetter) {
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  m_driveLetter = driveLetter;
  return storage::OpenDiskSource(m_source, diskNumber);
}

Status CFastExtRecovery::SetProgressCallbacks(ScanProgressFn, CopyProgressFn, void*, int32_t) {
  return kStatusOk;
}
Status CFastExtRecovery::Scan(const char*) {
  return kStatusOk;
}
Status CFastExtRecovery::ListChildren(const ItemRecord*, int32_t, std::vector<ItemRecord>&) {
  return kStatusOk;
}
Status CFastExtRecovery::CountFiles(const ItemRecord*, int32_t, int32_t*) {
  return kStatusOk;
}
uint64_t CFastExtRecovery::GetItemCount() {
  return 0;
}
Status CFastExtRecovery::GetItemPath(const ItemRecord*, std::string&) {
  return kStatusOk;
}
Status CFastExtRecovery::RecoverItem(const ItemRecord*, const std::string&, int32_t) {
  return kStatusOk;
}
int32_t CFastExtRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}
Status CFastExtRecovery::SetSearchCallback(SearchProgressFn, void*) {
  return kStatusOk;
}
int32_t CFastExtRecovery::Search(const std::string&, std::vector<ItemRecord>&) {
  return 0;
}
Status CFastExtRecovery::BuildAllocationMap() {
  return kStatusOk;
}
Status CFastExtRecovery::ExtractItem(const ItemRecord*, std::string&, uint8_t*, uint32_t*, ExtractProgressFn, void*) {
  return kStatusOk;
}

}  // namespace engine
