// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace platform {

// What stays with a disk wherever it is plugged in: "serial:<ID_SERIAL>" or
// "wwn:<id>" from udev or sysfs (the USB or NVMe serial number, the virtio
// serial), "by-id:<name>" from /dev/disk/by-id, "loop:<backing file>" for a
// loop device; for a partition device the answer is that of its disk. Empty
// when the device tells nothing stable (the caller then falls back to its
// path). Reads only sysfs and the udev database.
std::string DiskIdentityOf(const std::string& devicePath);

}  // namespace platform
