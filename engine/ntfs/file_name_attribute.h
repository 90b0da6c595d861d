// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>

#include "engine/ntfs/attributes.h"

namespace engine::ntfs {

// $FILE_NAME value, byte offsets from the value's start:
//   0x00 u64 parent reference (low 32 bits: record, top 16 bits: sequence)  0x08 created  0x10 modified  0x20 accessed
//   (FILETIMEs) 0x30 i64 real size  0x40 u8 name length (UTF-16 units)  0x41 u8 name space  0x42 UTF-16LE name
inline constexpr size_t kFnParent = 0x00;
inline constexpr size_t kFnParentSequence = 0x06;
inline constexpr size_t kFnCreated = 0x08;
inline constexpr size_t kFnModified = 0x10;
inline constexpr size_t kFnAccessed = 0x20;
inline constexpr size_t kFnRealSize = 0x30;
inline constexpr size_t kFnNameLength = 0x40;
inline constexpr size_t kFnNameSpace = 0x41;
inline constexpr size_t kFnName = 0x42;
inline constexpr uint8_t kNameSpaceWin32 = 1;
inline constexpr uint8_t kNameSpaceDos = 2;

struct FileNameAttribute {
  uint32_t parentRecord = 0;
  uint16_t parentSequence = 0;  // sequence number in the parent reference (0: not recorded)
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
  int64_t realSize = 0;
  uint8_t nameSpace = 0;
  std::string name;  // UTF-8
};

// Parses a resident $FILE_NAME attribute. False when the attribute is
// non-resident or its value (with the name) does not fit inside it.
bool ParseFileName(const AttributeRef& attribute, FileNameAttribute* out);

}  // namespace engine::ntfs
