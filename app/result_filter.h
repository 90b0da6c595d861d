// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/item_record.h"

namespace app {

// The text with its letters folded to lower case (ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic capitals); bytes that are not UTF-8 stay
// as they are.
std::string FoldCase(std::string_view text);

// The quick filters of the results page, as presets the page offers.
enum class SizePreset : int32_t { kAny = 0, kSmall, kMedium, kLarge, kHuge };  // <100 KiB, <1 MiB, <100 MiB, more
enum class DatePreset : int32_t { kAny = 0, kToday, kLastWeek, kLastMonth, kLastYear, kRange };

// What the results page shows of a list of found items: a name fragment
// (letter case ignored, for ASCII, Latin, Greek and Cyrillic letters), the
// states asked for, a size range and a range of modification dates.
// Folders are shown when they match the name (they have no size, date or
// state of their own). An empty filter shows everything. Plain value.
struct ResultFilter {
  std::string nameContains;
  bool deletedOnly = false;      // only entries marked deleted
  bool damagedOnly = false;      // only damaged files ...
  bool overwrittenOnly = false;  // ... or (both ticked) damaged or overwritten ones
  uint64_t minBytes = 0;
  uint64_t maxBytes = UINT64_MAX;  // inclusive
  uint64_t fromTime = 0;           // FILETIME, inclusive; 0: open
  uint64_t toTime = 0;             // FILETIME, exclusive; 0: open

  bool Active() const;
  bool Matches(const engine::ItemRecord& item) const { return Matches(item, FoldedName()); }
  // The same with FoldedName() made once for many items.
  bool Matches(const engine::ItemRecord& item, std::string_view foldedName) const;
  std::string FoldedName() const;

  // Sets the size range of a preset (kAny: open).
  void SetSize(SizePreset preset);
  // Sets the date range of a preset, counted back from now (a FILETIME of
  // the local time, as stored on disk); kRange and kAny leave it open.
  void SetDate(DatePreset preset, uint64_t now);
  bool operator==(const ResultFilter&) const = default;
};

}  // namespace app
