// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/output_path.h"

#include "platform/folders.h"
#include "platform/utf.h"

namespace engine {
namespace {

constexpr size_t kMaxComponentBytes = 255;

}  // namespace

std::string FreeChildPath(const std::string& folder, const std::string& safeName) {
  std::string path = folder + "/" + safeName;
  if (!platform::PathExists(path)) return path;
  const size_t dot = safeName.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0 && safeName.size() - dot <= 32;
  const std::string stem = hasExtension ? safeName.substr(0, dot) : safeName;
  const std::string ext = hasExtension ? safeName.substr(dot) : std::string();
  for (int n = 2;; ++n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    std::string candidate = stem + suffix + ext;
    if (candidate.size() > kMaxComponentBytes) {
      const size_t keep = platform::Utf8BoundaryAtOrBefore(stem, kMaxComponentBytes - suffix.size() - ext.size());
      candidate = stem.substr(0, keep) + suffix + ext;
    }
    path = folder + "/" + candidate;
    if (!platform::PathExists(path)) return path;
  }
}

int32_t SeparatorCount(std::string_view path) {
  int32_t count = 0;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (path[i] == '/' || path[i] == '\\') ++count;
  }
  return count;
}

}  // namespace engine
