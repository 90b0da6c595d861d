// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/item_record.h"
#include "engine/progress.h"
#include "engine/status.h"

namespace engine {

// The interface every recovery engine implements. The jobs open an engine on
// a source, give it callbacks, let it scan, then browse, search, preview and
// copy out through these operations, in this order (the order of the virtual
// slots). Paths and names are UTF-8. "item" null means the volume's root.
//
// Lifecycle: Open* once; SetProgressCallbacks; Scan; then any browsing
// operation any number of times. BuildAllocationMap precedes
// GetNextFreeExtent. One thread at a time; not safe for concurrent use.
class IFileRecoveryParse {
 public:
  // Slot 0: the whole image file is one volume starting at sector 0.
  [[nodiscard]] virtual Status OpenImage(const std::string& imagePath, uint16_t driveLetter) = 0;
  // Slot 1: the volume at startSector of disk diskNumber of the disk table.
  [[nodiscard]] virtual Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                             uint16_t driveLetter) = 0;
  // Slot 2: weight is this engine's share of the progress bar in percent.
  virtual Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) = 0;
  // Slot 3: scans and fills the store; with previousName, reopens that stored
  // scan instead and returns 0. Returns 0, -9527 or an error.
  [[nodiscard]] virtual Status Scan(const char* previousName) = 0;
  // Slot 4: appends the folder's children in child order. Null with depth 0
  // lists the root; null with a non-zero depth returns 87, out unchanged.
  [[nodiscard]] virtual Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) = 0;
  // Slot 5: files (not folders) in the folder's whole subtree.
  [[nodiscard]] virtual Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) = 0;
  // Slot 6: records in the store; 0 when no store is open.
  virtual uint64_t GetItemCount() = 0;
  // Slot 7: the ancestors' names from the outermost down, each followed by
  // "\"; a root-level item yields "".
  [[nodiscard]] virtual Status GetItemPath(const ItemRecord* item, std::string& out) = 0;
  // Slot 8: copies a file to destinationPath, or creates that folder and
  // copies the folder's subtree into it. rootSeparatorCount: separators in
  // the destination root (the depth rule).
  [[nodiscard]] virtual Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                           int32_t rootSeparatorCount) = 0;
  // Slot 9: from *inoutSector (relative to the volume) find the next run of
  // unallocated clusters. Fast engines return 1, others 0.
  virtual int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) = 0;
  // Slot 10.
  virtual Status SetSearchCallback(SearchProgressFn fn, void* userData) = 0;
  // Slot 11: appends every file whose extension the "|"-separated pattern
  // ("*.jpg|*.doc", ".other") selects, in child order.
  virtual int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) = 0;
  // Slot 12: prepares the used-cluster map read by GetNextFreeExtent.
  virtual Status BuildAllocationMap() = 0;
  // Slot 13: previewable kinds go to a temporary file (path in outTempPath),
  // others into buffer; *inoutLength is the buffer size in, bytes copied out.
  [[nodiscard]] virtual Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                           uint32_t* inoutLength, ExtractProgressFn fn, void* userData) = 0;
  // Slot 14: releases the source, the store and all buffers.
  virtual ~IFileRecoveryParse() = default;
};

}  // namespace engine
