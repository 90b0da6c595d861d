// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "engine/ntfs/run_list.h"
#include "engine/status.h"

namespace engine::ntfs {

// File record ("FILE") header, byte offsets:
//   0x00 "FILE"  0x04 u16 update-sequence offset  0x06 u16 update-sequence count
//   0x10 u16 sequence number  0x14 u16 first attribute  0x16 u16 flags  0x18 u32 bytes in use  0x1C u32 bytes allocated
//   0x20 u64 base record reference (0 in a base record)  0x2C u32 number of this record
//   0x30 u16 update sequence number, followed by the array (NTFS 3.1 layout)
inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr size_t kRecUsaOffset = 0x04;
inline constexpr size_t kRecUsaCount = 0x06;
inline constexpr size_t kRecSequence = 0x10;
inline constexpr size_t kRecFirstAttribute = 0x14;
inline constexpr size_t kRecFlags = 0x16;
inline constexpr size_t kRecBytesInUse = 0x18;
inline constexpr size_t kRecBytesAllocated = 0x1C;
inline constexpr size_t kRecBaseReference = 0x20;
inline constexpr size_t kRecNumber = 0x2C;
inline constexpr size_t kRecUpdateSequence = 0x30;
inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordIsDirectory = 0x0002;
// The update sequence protects the last two bytes of every 512-byte stride.
inline constexpr size_t kFixupStride = 512;

// Statuses of the NTFS reader that never leave an engine.
inline constexpr Status kNotFileRecord = -1;
inline constexpr Status kAttributeAbsent = -100;
inline constexpr Status kNoResidentData = -101;

// Well-known record numbers.
inline constexpr uint32_t kMftRecord = 0;
inline constexpr uint32_t kRootRecord = 5;
inline constexpr uint32_t kBitmapRecord = 6;
inline constexpr uint32_t kLastSystemRecord = 11;

inline bool HasFileSignature(ByteView record) {
  return record.U32(0) == kFileSignature;
}

// Low 48 bits of an 8-byte file reference.
inline uint64_t ReferenceRecord(uint64_t reference) {
  return reference & 0xFFFFFFFFFFFFull;
}

// Whether a record still holds the incarnation that a file reference with
// sequence number `referenceSequence` named: equal sequence numbers, or, for
// a record no longer in use, the number one above (freeing raises it). A
// reference without a sequence number (0) matches any record.
bool IsSameIncarnation(ByteView record, uint16_t referenceSequence);

// Undoes the update-sequence protection in place: the saved value i of the
// array replaces the last two bytes of 512-byte stride i. The stored values
// are not compared (a torn record is accepted as it is). False, with the
// record untouched, when the array's offset or count does not fit a record of
// recordBytes (count must be recordBytes / 512 + 1).
[[nodiscard]] bool ApplyUpdateSequence(uint8_t* record, size_t recordBytes);

// Raw-scan test of a sector: "FILE", bytes in use ≤ recordBytes, bytes
// allocated = recordBytes, and the u16 at 0x30 equal to the u16 at 0x1FE.
// recordBytes is twice the sector size for sectors of 512 bytes or less,
// else the sector size. Needs at least 512 bytes.
bool IsPlausibleFileRecord(ByteView bytes, uint32_t recordBytes);

// End of the attribute walk of a record: its bytes in use when they lie
// past the first attribute and inside the record, else the record's size.
size_t RecordWalkEnd(ByteView record);

// Absolute sector of sector `relativeSector` of the MFT stream mapped through
// runs, or nothing when no run holds it (or it is sparse).
std::optional<uint64_t> MftStreamSector(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs,
                                        uint64_t relativeSector);

// First sector of record n; the volume's first sector when no run holds it
// (which then fails the "FILE" test).
uint64_t MftRecordToSector(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs, uint64_t recordNumber);

// Records that the MFT runs map.
uint64_t MftRecordCount(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs);

// Reads one record (recordBytes) at absolute `sector` into record (resized to
// recordBytes). No fix-up. Returns the read status.
[[nodiscard]] Status ReadMftRecord(NtfsVolume& volume, uint64_t sector, std::vector<uint8_t>& record);

// Reads record n through the MFT runs, sector by sector, so a record that
// straddles two runs is read whole. No fix-up. kNotFileRecord when a sector
// of the record is not mapped.
[[nodiscard]] Status ReadMftRecordByNumber(NtfsVolume& volume, uint64_t recordNumber, std::vector<uint8_t>& record);

// Reads record n and checks it: "FILE" signature and a valid update
// sequence (applied). kNotFileRecord otherwise.
[[nodiscard]] Status ReadFixedRecordByNumber(NtfsVolume& volume, uint64_t recordNumber, std::vector<uint8_t>& record);

}  // namespace engine::ntfs
