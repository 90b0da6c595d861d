// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/copy_sink.h"
#include "engine/item_record.h"
#include "engine/progress.h"
#include "engine/status.h"

namespace engine {

// What an engine supplies to the shared copy-out and preview extraction:
// the data of its file items and the listing of its folders. Every engine
// recovers and extracts through RecoverItemTo and ExtractItemTo, so they
// all answer alike (statuses, callbacks, names, refusal of links).
class IItemCopySource {
 public:
  virtual ~IItemCopySource() = default;
  // Hands the first byteCount bytes of file item's data to sink, in order,
  // calling progress after each piece. 0, or why the bytes cannot be had
  // whole (nothing more is handed over after a failure); a non-zero
  // progress return stops and is returned.
  [[nodiscard]] virtual Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                            const CopyProgress& progress) = 0;
  // The folder's children (ListChildren of the engine) at depth.
  [[nodiscard]] virtual Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) = 0;
};

// RecoverItem of every engine. A file is written to destinationPath; a
// folder is created there and its whole subtree copied below it,
// breadth-first, each child under a unique safe name (a found name never
// chooses a path outside the destination, and a file and a folder of one
// name both come back). Everything below the root that rootSeparatorCount
// marks is created new, through no link (platform/output_tree.h); a file
// gets its name only when complete. The copy callback gets
// (percent, 100, 0, path) after each piece, (100, 100, 0, path) when a file
// needed no piece, and (100, 100, status, path) when a file fails. A folder
// copy goes on after a failed child and returns the first failure; -9527
// stops everything. 87: null item, empty destination, a negative depth.
[[nodiscard]] Status RecoverItemTo(IItemCopySource& source, const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount, CopyProgressFn fn, void* userData);

// ExtractItem of every engine. Photos, videos (and audio) and previewable
// documents go to a temporary file with a fixed name in this process's
// private session folder (platform::SessionFolder): "tmp.jpg", "tmp.avi" or
// "document.<ext>" (the item's extension, letters and digits only), so a
// found name never chooses where anything is written or deleted; an older
// file of that name is replaced. Its path comes back in outTempPath. Other
// kinds go into buffer, at most *inoutLength bytes, and *inoutLength
// becomes the bytes copied (0 for a file). fn gets (percent, 0) after each
// piece and (100, status) at a failure. 87 for a null item or a folder; 29
// when clusterBytes exceeds 100 MiB. A failed or cancelled extraction
// leaves no temporary file.
[[nodiscard]] Status ExtractItemTo(IItemCopySource& source, const ItemRecord* item, std::string& outTempPath,
                                   uint8_t* buffer, uint32_t* inoutLength, ExtractProgressFn fn, void* userData);

}  // namespace engine
