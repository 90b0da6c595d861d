// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ntfs/mft_record.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "engine/ntfs/run_list.h"
#include "engine/status.h"

namespace engine::ntfs {

// Attribute header, byte offsets from the attribute's start:
//   0x00 u32 type  0x04 u32 length  0x08 u8 non-resident  0x09 u8 name length (UTF-16 units)
//   resident:     0x10 u32 value length  0x14 u16 value offset
//   non-resident: 0x10 i64 lowest VCN  0x20 u16 run-list offset  0x28 i64 allocated  0x30 i64 real size
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
inline constexpr size_t kAttrNonResident = 0x08;
inline constexpr size_t kAttrNameLength = 0x09;
inline constexpr size_t kResValueLength = 0x10;
inline constexpr size_t kResValueOffset = 0x14;
inline constexpr size_t kResHeaderBytes = 0x18;

// One attribute met by a walk; bytes views exactly the attribute.
struct AttributeRef {
  uint32_t type = 0;
  size_t offset = 0;  // from the record's start
  ByteView bytes;
  bool IsResident() const { return bytes.U8(kAttrNonResident) == 0; }
  bool IsUnnamed() const { return bytes.U8(kAttrNameLength) == 0; }
  // Lowest VCN of a non-resident extent (0 for resident attributes).
  int64_t LowestVcn() const { return IsResident() ? 0 : static_cast<int64_t>(bytes.U64(kNonResLowestVcn)); }
};

// Walks the attributes of a (fixed-up) record from the offset at 0x14 up to
// `end`. It stops at type 0, at any type of 0xFDFDFDFD or above (0xFFFFFFFF
// ends the list), at a length below 16 or one that would cross `end`.
class AttributeWalker {
 public:
  AttributeWalker(ByteView record, size_t end);
  // Next attribute, or false when the walk is over.
  bool Next(AttributeRef* out);

 private:
  ByteView m_record;
  size_t m_end;
  size_t m_pos;
};

// Value of a resident attribute, or an empty view (valid() false) when the
// value offset or length leaves the attribute.
struct ResidentValue {
  ByteView bytes;
  bool valid = false;
};
ResidentValue ResidentValueOf(const AttributeRef& attribute);

// What FindAttributeRuns learnt besides the runs.
struct AttributeInfo {
  bool found = false;
  bool resident = false;  // the attribute (first extent) is resident: no runs
  int64_t realSize = -1;  // real size of the extent at VCN 0, -1 when none was seen
  bool fromAttributeList = false;
};

// Runs of the first attribute of `type` in an already fixed-up record
// (recordNumber is its number, to tell its extension records apart). With an
// attribute list the list is followed for every extent of the unnamed
// attribute of that type, in list order; an extension record is used only
// when it is a "FILE" record whose base reference names this record and
// whose extent starts where the previous one ended. Returns 0, or
// kAttributeAbsent.
[[nodiscard]] Status FindAttributeRunsInRecord(NtfsVolume& volume, ByteView record, uint64_t recordNumber,
                                               uint32_t type, std::vector<MftRun>& runs, AttributeInfo* info = nullptr);

// The same on the record at absolute recordSector: a read error returns its
// status; no "FILE" signature or a broken update sequence: kNotFileRecord.
[[nodiscard]] Status FindAttributeRuns(NtfsVolume& volume, uint64_t recordSector, uint32_t type,
                                       std::vector<MftRun>& runs, AttributeInfo* info = nullptr);

// The first $DATA attribute of a fixed-up record when it is resident: its
// value into out. kNoResidentData when the first $DATA is non-resident or
// there is none; 87 when the value is a record long or longer.
[[nodiscard]] Status ResidentDataInRecord(const NtfsVolumeGeometry& geometry, ByteView record,
                                          std::vector<uint8_t>& out);
[[nodiscard]] Status ReadResidentData(NtfsVolume& volume, uint64_t recordSector, std::vector<uint8_t>& out,
                                      uint32_t* length);

// Data size of the first $DATA: the real size of a non-resident one, the
// value length of a resident one, following the attribute list when the
// base record holds none. kNotFileRecord, 87 (no $DATA) or a read error.
[[nodiscard]] Status ReadDataSize(NtfsVolume& volume, uint64_t recordSector, int64_t* size);

// The value of the first attribute of type in a fixed-up record (its
// unnamed instance when there is one), resident or not, at most maxBytes:
// non-resident runs are read in 64 KiB pieces, sparse runs and clusters that
// cannot be read give zeros (a stream is read whole or not at all only by
// its caller's measure); a run outside the volume ends the stream there
// (the rest stays zero). 0 or kAttributeAbsent.
[[nodiscard]] Status ReadAttributeStream(NtfsVolume& volume, ByteView record, uint64_t recordNumber, uint32_t type,
                                         uint64_t maxBytes, std::vector<uint8_t>& out);

// Loads volume.mftRuns from record 0 at the geometry's MFT start: first the
// runs of its own $DATA (enough to reach its extension records), then, when
// it has an attribute list, all extents. When record 0 cannot be read or
// parsed there, its copy in $MFTMirr is used. Returns the FindAttributeRuns
// status of record 0 (no runs are left after a failure).
[[nodiscard]] Status LoadMftRuns(NtfsVolume& volume);

// Record number of a record read at recordSector of the volume: the number
// that the MFT runs map to that sector, else the header's number at 0x2C.
uint64_t RecordNumberAt(const NtfsVolume& volume, uint64_t recordSector, ByteView record);

}  // namespace engine::ntfs
