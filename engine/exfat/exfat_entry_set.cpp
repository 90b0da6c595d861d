// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_entry_set.h"

#include <vector>

#include "engine/exfat/upcase_table.h"
#include "platform/file_time.h"
#include "platform/utf.h"

namespace engine::exfat {

using namespace entry;

uint16_t EntrySetChecksum(const uint8_t* bytes, size_t count, bool inUse) {
  uint16_t checksum = 0;
  const size_t total = count * kBytes;
  for (size_t i = 0; i < total; ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    uint8_t byte = bytes[i];
    if (inUse && i % kBytes == 0) byte |= kInUse;
    checksum = static_cast<uint16_t>(((checksum & 1) != 0 ? 0x8000 : 0) + (checksum >> 1) + byte);
  }
  return checksum;
}

uint64_t TimestampToFileTime(uint32_t stamp, uint8_t tenMs) {
  platform::SystemTime t;
  t.second = static_cast<int>(stamp & 0x1F) * 2;
  t.minute = static_cast<int>((stamp >> 5) & 0x3F);
  t.hour = static_cast<int>((stamp >> 11) & 0x1F);
  t.day = static_cast<int>((stamp >> 16) & 0x1F);
  t.month = static_cast<int>((stamp >> 21) & 0x0F);
  t.year = 1980 + static_cast<int>(stamp >> 25);
  if (tenMs < 200) {
    t.second += tenMs / 100;
    t.milliseconds = (tenMs % 100) * 10;
  }
  uint64_t fileTime = 0;
  return platform::SystemTimeToFileTime(t, &fileTime) ? fileTime : 0;
}

int32_t UtcOffsetMinutes(uint8_t value) {
  if ((value & 0x80) == 0) return kNoUtcOffset;
  int32_t steps = value & 0x7F;
  if (steps >= 64) steps -= 128;  // a signed 7-bit count
  return steps * 15;
}

SetParse ParseEntrySet(ByteView dir, size_t offset, const UpcaseTable* upcase, EntrySet* out) {
  if (!dir.Has(offset, kBytes)) return SetParse::kTruncated;
  const uint8_t type = dir.U8(offset);
  if ((type | kInUse) != kFile) return SetParse::kNotASet;
  const bool deleted = (type & kInUse) == 0;
  const uint32_t secondaries = dir.U8(offset + kSecondaryCount);
  if (secondaries < kMinSecondaryCount || secondaries > kMaxSecondaryCount) return SetParse::kNotASet;
  const size_t count = 1 + size_t{secondaries};
  // Every entry that is there must belong to the set before a missing one matters.
  for (size_t i = 1; i < count; ++i) {
    const size_t at = offset + i * kBytes;
    if (!dir.Has(at, kBytes)) return SetParse::kTruncated;
    const uint8_t t = dir.U8(at);
    if ((t & kSecondaryCategory) == 0 || ((t & kInUse) == 0) != deleted) return SetParse::kNotASet;
  }
  const size_t stream = offset + kBytes;
  if ((dir.U8(stream) | kInUse) != kStreamExtension) return SetParse::kNotASet;
  const uint32_t nameLength = dir.U8(stream + kNameLength);
  if (nameLength == 0) return SetParse::kNotASet;
  const size_t nameEntries = (nameLength + kCharsPerNameEntry - 1) / kCharsPerNameEntry;
  if (1 + nameEntries > secondaries) return SetParse::kNotASet;
  std::u16string name;
  name.reserve(nameLength);
  for (size_t i = 0; i < nameEntries; ++i) {
    const size_t at = stream + (1 + i) * kBytes;
    if ((dir.U8(at) | kInUse) != kFileName) return SetParse::kNotASet;
    for (size_t k = 0; k < kCharsPerNameEntry && name.size() < nameLength; ++k) {
      name.push_back(static_cast<char16_t>(dir.U16(at + kNameChars + 2 * k)));
    }
  }

  EntrySet set;
  set.entryCount = count;
  set.deleted = deleted;
  const uint16_t stored = dir.U16(offset + kSetChecksum);
  set.checksumMatches = EntrySetChecksum(dir.data() + offset, count, true) == stored ||
                        (deleted && EntrySetChecksum(dir.data() + offset, count, false) == stored);
  set.attributes = dir.U16(offset + kAttributes);
  set.flags = dir.U8(stream + kFlags);
  set.nameLength = nameLength;
  set.nameHash = dir.U16(stream + kNameHash);
  if (upcase != nullptr && upcase->IsLoaded()) {
    set.nameHashMatches = upcase->NameHash(name.data(), name.size()) == set.nameHash;
  }
  set.name = platform::Utf16ToUtf8(name);
  set.firstCluster = dir.U32(stream + kFirstCluster);
  set.dataLength = dir.U64(stream + kDataLength);
  const uint64_t valid = dir.U64(stream + kValidDataLength);
  set.validLengthTooLong = valid > set.dataLength;
  set.validDataLength = set.validLengthTooLong ? set.dataLength : valid;
  set.created = TimestampToFileTime(dir.U32(offset + kCreated), dir.U8(offset + kCreated10ms));
  set.modified = TimestampToFileTime(dir.U32(offset + kModified), dir.U8(offset + kModified10ms));
  set.accessed = TimestampToFileTime(dir.U32(offset + kAccessed), 0);
  set.createdUtcOffset = UtcOffsetMinutes(dir.U8(offset + kCreatedUtcOffset));
  set.modifiedUtcOffset = UtcOffsetMinutes(dir.U8(offset + kModifiedUtcOffset));
  set.accessedUtcOffset = UtcOffsetMinutes(dir.U8(offset + kAccessedUtcOffset));
  *out = std::move(set);
  return SetParse::kSet;
}

}  // namespace engine::exfat
