// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/ntfs/attributes.h"

namespace engine::ntfs {

// Attribute-list entry, byte offsets:
//   0x00 u32 type  0x04 u16 entry length  0x06 u8 name length  0x08 u64 starting VCN
//   0x10 u64 reference of the record that holds the extent
inline constexpr size_t kListEntryLength = 0x04;
inline constexpr size_t kListNameLength = 0x06;
inline constexpr size_t kListStartVcn = 0x08;
inline constexpr size_t kListRecord = 0x10;
inline constexpr size_t kListEntryMinBytes = 0x1A;
// Largest attribute list read (NTFS never writes a longer one).
inline constexpr size_t kMaxAttributeListBytes = 256 * 1024;
// Non-resident header: highest VCN of the extent.
inline constexpr size_t kNonResHighestVcn = 0x18;

// Follows the attribute list `list` of base record `record` (number
// recordNumber) and appends, in list order, the runs of every extent of the
// unnamed attribute of `type`. Extents must follow one another without a gap
// (starting VCN = previous highest VCN + 1); the walk stops at the first
// that does not, at an extension record that is not "FILE", whose update
// sequence is broken or whose base reference names another record, and at a
// read error. An entry naming the base record itself is taken from it.
// True when at least the first extent was found (info filled).
bool FollowAttributeList(NtfsVolume& volume, ByteView record, uint64_t recordNumber, const AttributeRef& list,
                         uint32_t type, std::vector<MftRun>& runs, AttributeInfo* info);

}  // namespace engine::ntfs
