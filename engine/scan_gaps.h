// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

namespace engine {

// Implemented by engines whose scan goes on past parts of the file system
// it cannot read (a directory cluster, an MFT record): how many it passed
// over in the last scan, so that a front end can say that the files those
// parts held are not listed, rather than let the scan read as complete.
// Front ends ask it with dynamic_cast. One thread at a time.
class IScanGaps {
 public:
  virtual ~IScanGaps() = default;
  virtual uint64_t UnreadableParts() const = 0;
  // Deleted folders whose listing the last scan followed to a full cluster
  // and could not tell where it went on: their later files are not listed,
  // and a deep scan may find them.
  virtual uint64_t FoldersCutOff() const { return 0; }
};

}  // namespace engine
