// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include "engine/boot_sector_tests.h"
#include "platform/status.h"
#include "storage/volume_target.h"

namespace jobs {

// Reads the first 16 KiB of the volume (read-only) and classifies it as the
// engine factory does. Returns 0 (a volume shorter than 16 KiB is kUnknown)
// or why it cannot be read.
[[nodiscard]] platform::Status ReadVolumeKind(const storage::VolumeTarget& target, engine::VolumeKind* kind);

}  // namespace jobs
