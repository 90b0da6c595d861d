// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ntfs/run_list.h"

namespace engine::ntfs {

// What one fixed-up file record says about the file or folder it holds:
// the fields an item is made of, read in one attribute walk.
struct FoundRecord {
  uint64_t number = 0;  // the record's own number (0x2C)
  uint16_t sequence = 0;
  uint16_t flags = 0;
  bool baseRecord = true;  // false: an extension record of another
  bool named = false;      // a $FILE_NAME was read
  std::string name;        // the first name, or a later Win32 name of the same parent
  uint32_t parent = 0;
  uint16_t parentSequence = 0;
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
  uint64_t size = 0;          // of the unnamed $DATA when known, else the name's real size
  bool residentData = false;  // the unnamed $DATA is resident
  bool emptyResident = false;
  bool attributeList = false;
  std::vector<MftRun> dataRuns;  // of the unnamed $DATA's first extent
  int64_t allocatedBytes = -1;   // of that extent (VCN 0), -1 when not seen
  bool isMft = false;            // record 0 named "$MFT"

  bool IsDirectory() const { return (flags & 0x0002) != 0; }
  bool InUse() const { return (flags & 0x0001) != 0; }
};

// Reads a record that is already fixed up. False when it is no "FILE"
// record or its first attribute lies outside it.
bool ParseFoundRecord(ByteView record, FoundRecord* out);

}  // namespace engine::ntfs
