// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>

namespace engine {

// Makes a name found on disk safe to use as one component of an output path:
// "/", "\", control characters and the characters FAT and NTFS output drives
// refuse (: * ? " < > |) become "_", the names "." and ".." and the
// empty name become "_", "__" and "_", and the result is cut (on a character
// boundary) to 255 bytes. A found name never chooses a folder of its own.
std::string SafeNameComponent(std::string_view name);

// Joins base (ending in "/" or not) with a folder path found on disk whose
// components are separated by "\" or "/", each component made safe.
std::string JoinSafePath(const std::string& base, std::string_view foundPath);

}  // namespace engine
