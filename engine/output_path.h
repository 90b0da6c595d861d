// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// folder + "/" + safeName (a name already made safe, see engine/safe_name.h)
// when nothing exists there yet; otherwise the first of
// "stem (2).ext", "stem (3).ext", ... that is free. folder has no final "/".
std::string FreeChildPath(const std::string& folder, const std::string& safeName);

// Number of "/" and "\" among all characters of path except its last.
int32_t SeparatorCount(std::string_view path);

}  // namespace engine
