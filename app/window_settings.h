// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace app {

// A rectangle in screen pixels.
struct ScreenRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const ScreenRect&) const = default;
};

// The window's first size: 1100 x 720, or as much of the screen's free
// area as there is when that is smaller, centred on it.
ScreenRect DefaultWindowRect(const ScreenRect& screen);

// Where the window opens: the saved place when its top edge lies on one of
// the screens (the window can be grabbed and moved), shrunk to that screen
// when larger than it; otherwise the default on the primary screen. A saved
// size below minimum is raised to it.
ScreenRect RestoredWindowRect(const std::optional<ScreenRect>& saved, const std::vector<ScreenRect>& screens,
                              size_t primary, int32_t minimumWidth, int32_t minimumHeight);

// How the main window was left: its place and size, whether it was
// maximised, the sizes of its splitters by name, and the results view
// ("list" or "grid"). Kept in the section "Window" of the user's
// config.ini, beside the language; the file's other sections are kept
// when it is saved. Plain value.
struct WindowSettings {
  std::optional<ScreenRect> geometry;
  bool maximized = false;
  std::map<std::string, std::vector<int32_t>> splitters;
  std::string resultsView;

  // Reads path; a missing file or section leaves the defaults.
  void Load(const std::string& path);
  // Writes the section into path (read first, so nothing else is lost),
  // making its folder when missing.
  [[nodiscard]] platform::Status Save(const std::string& path) const;
};

}  // namespace app
