// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window_settings.h"

#include <algorithm>
#include <charconv>

#include "app/ini_file.h"
#include "platform/folders.h"

namespace app {
namespace {

constexpr std::string_view kSection = "Window";
constexpr std::string_view kSplitterPrefix = "Splitter.";
constexpr int32_t kDefaultWidth = 1100;
constexpr int32_t kDefaultHeight = 720;
constexpr int32_t kMaxCoordinate = 1 << 20;

// "a,b,c" as numbers; an entry that is no number ends the list.
std::vector<int32_t> Numbers(std::string_view text) {
  std::vector<int32_t> out;
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view word = text.substr(start, comma - start);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    int32_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || value < -kMaxCoordinate || value > kMaxCoordinate) {
      break;
    }
    out.push_back(value);
    start = comma + 1;
  }
  return out;
}

std::string Joined(const std::vector<int32_t>& values) {
  std::string out;
  for (int32_t v : values) {
    if (!out.empty()) out += ",";
    out += std::to_string(v);
  }
  return out;
}

ScreenRect CentredIn(const ScreenRect& area, int32_t width, int32_t height) {
  return {area.x + (area.width - width) / 2, area.y + (area.height - height) / 2, width, height};
}

}  // namespace

ScreenRect DefaultWindowRect(const ScreenRect& screen) {
  const int32_t width = screen.width > 0 ? std::min(kDefaultWidth, screen.width) : kDefaultWidth;
  const int32_t height = screen.height > 0 ? std::min(kDefaultHeight, screen.height) : kDefaultHeight;
  return CentredIn(screen, width, height);
}

ScreenRect RestoredWindowRect(const std::optional<ScreenRect>& saved, const std::vector<ScreenRect>& screens,
                              size_t primary, int32_t minimumWidth, int32_t minimumHeight) {
  const ScreenRect home = primary < screens.size() ? screens[primary] : ScreenRect{};
  if (saved && saved->width > 0 && saved->height > 0) {
    ScreenRect wanted = *saved;
    wanted.width = std::max(wanted.width, minimumWidth);
    wanted.height = std::max(wanted.height, minimumHeight);
    for (const ScreenRect& screen : screens) {
      // The top edge must be on this screen, far enough in to be grabbed.
      const int32_t grab = 40;
      const bool topOnScreen = wanted.y >= screen.y && wanted.y < screen.y + screen.height - grab / 2;
      const bool reachable = wanted.x + wanted.width > screen.x + grab && wanted.x < screen.x + screen.width - grab;
      if (!topOnScreen || !reachable) continue;
      ScreenRect r = wanted;
      r.width = std::clamp(r.width, std::min(minimumWidth, screen.width), screen.width);
      r.height = std::clamp(r.height, std::min(minimumHeight, screen.height), screen.height);
      r.x = std::clamp(r.x, screen.x, screen.x + screen.width - r.width);
      r.y = std::clamp(r.y, screen.y, screen.y + screen.height - r.height);
      return r;
    }
  }
  return DefaultWindowRect(home);
}

void WindowSettings::Load(const std::string& path) {
  *this = WindowSettings{};
  CIniFile ini;
  if (ini.Load(path) != platform::kStatusOk) return;
  const CIniFile::Entries* section = ini.Section(kSection);
  if (section == nullptr) return;
  for (const auto& [key, value] : *section) {
    if (SameIgnoringCase(key, "Geometry")) {
      const std::vector<int32_t> n = Numbers(value);
      if (n.size() == 4 && n[2] > 0 && n[3] > 0) geometry = ScreenRect{n[0], n[1], n[2], n[3]};
    } else if (SameIgnoringCase(key, "Maximized")) {
      maximized = value == "1";
    } else if (SameIgnoringCase(key, "ResultsView")) {
      resultsView = value;
    } else if (key.size() > kSplitterPrefix.size() && key.compare(0, kSplitterPrefix.size(), kSplitterPrefix) == 0) {
      std::vector<int32_t> sizes = Numbers(value);
      if (!sizes.empty() && std::all_of(sizes.begin(), sizes.end(), [](int32_t v) { return v >= 0; })) {
        splitters[key.substr(kSplitterPrefix.size())] = std::move(sizes);
      }
    }
  }
}

platform::Status WindowSettings::Save(const std::string& path) const {
  CIniFile ini;
  (void)ini.Load(path);  // a missing file starts empty; the other sections of a present one are kept
  if (geometry) {
    ini.Set(kSection, "Geometry", Joined({geometry->x, geometry->y, geometry->width, geometry->height}));
  }
  ini.Set(kSection, "Maximized", maximized ? "1" : "0");
  if (!resultsView.empty()) ini.Set(kSection, "ResultsView", resultsView);
  for (const auto& [name, sizes] : splitters) ini.Set(kSection, std::string(kSplitterPrefix) + name, Joined(sizes));
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (platform::Status s = platform::CreateDirectories(path.substr(0, slash)); s != platform::kStatusOk) return s;
  }
  return ini.Save(path);
}

}  // namespace app
