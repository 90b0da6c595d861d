// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace cli {

// For an image file in a container format (E01, VHD, VHDX, VMDK, QCOW2),
// prints what it is to stdout: kind and files, media size, the hashes an
// E01 stores, and a warning when parts of its media cannot be read. Prints
// nothing for raw files, block devices and "disk:N" sources.
void PrintImageContainer(const std::string& source);

// text, followed by why the last image read failed (the file and the offset)
// when one failed since the last call: "The system cannot read ... (reason)".
std::string WithSourceFailure(const std::string& text);

}  // namespace cli
