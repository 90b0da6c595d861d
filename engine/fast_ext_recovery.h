// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include "engine/file_recovery_parse.h"
#include "storage/sector_source.h"

namespace engine {

// The engine for ext volumes in fast mode: it opens the partition read-only
// and finds nothing. Every operation succeeds and yields nothing.
class CFastExtRecovery final : public IFileRecoveryParse {
 public:
  Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  Status Scan(const char* previousName) override;
  Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  Status GetItemPath(const ItemRecord* item, std::string& out) override;
  Status RecoverItem(const ItemRecord* item, const std::string& destinationPath, int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer, uint32_t* inoutLength,
                     ExtractProgressFn fn, void* userData) override;

 private:
  storage::SectorSource m_source;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint16_t m_driveLetter = 0;
};

}  // namespace engine
