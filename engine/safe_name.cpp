// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/safe_name.h"

#include <cstring>

#include "platform/utf.h"

namespace engine {

std::string SafeNameComponent(std::string_view name) {
  if (name.empty() || name == ".") return "_";
  if (name == "..") return "__";
  std::string out(name);
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    // Separators and controls, and what FAT and NTFS output drives refuse.
    if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr) c = '_';
  }
  out.resize(platform::Utf8BoundaryAtOrBefore(out, 255));
  return out;
}

std::string JoinSafePath(const std::string& base, std::string_view foundPath) {
  std::string out = base;
  size_t start = 0;
  while (start < foundPath.size()) {
    size_t end = foundPath.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = foundPath.size();
    if (end > start) {
      if (!out.empty() && out.back() != '/') out.push_back('/');
      out += SafeNameComponent(foundPath.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

}  // namespace engine
