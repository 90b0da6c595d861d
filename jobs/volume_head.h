// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "engine/boot_sector_tests.h"
#include "platform/status.h"
#include "storage/volume_target.h"

namespace jobs {

// Reads the first 16 KiB of the volume (read-only) and classifies it as the
// engine factory does. Returns 0 (a volume shorter than 16 KiB is kUnknown)
// or why it cannot be read.
[[nodiscard]] platform::Status ReadVolumeKind(const storage::VolumeTarget& target, engine::VolumeKind* kind);

// What a volume holds, for the user: its kind as the engines see it and a
// name for it ("FAT32", "ext4", "LUKS"; blkid's name where the engines know
// no file system), and for an encrypted volume the encryption's name.
struct VolumeHead {
  engine::VolumeKind kind = engine::VolumeKind::kUnknown;
  std::string fileSystem;  // "unknown" when nothing is known
  std::string encryption;  // "BitLocker", "LUKS"; empty when not encrypted
  // What the volume says of itself, to tell two volumes at one place apart
  // (two cards of one model in one reader): its file system's serial and a
  // hash of its first sector, "|serial:1A2B0D01|boot:<16 hex digits>".
  std::string identity;
};
// Reads the first 16 KiB (read-only) as ReadVolumeKind does. 0 or why it cannot be read.
[[nodiscard]] platform::Status ReadVolumeHead(const storage::VolumeTarget& target, VolumeHead* head);

}  // namespace jobs
