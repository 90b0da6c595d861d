// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace storage {

using platform::Status;

// Queries that open a disk or file for the call only. A disk of the disk
// table that is an image container answers for the media it holds.
[[nodiscard]] Status DiskLength(int32_t diskNumber, uint64_t* byteLength);
uint32_t DiskSectorSize(int32_t diskNumber);  // 512 when unknown
[[nodiscard]] Status ImageFileSize(const std::string& path, uint64_t* byteLength);
[[nodiscard]] Status ImageLastWriteTime(const std::string& path, uint64_t* fileTime);
bool IsRemovableDisk(int32_t diskNumber);

}  // namespace storage
