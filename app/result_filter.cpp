// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/result_filter.h"

#include "platform/file_time.h"

namespace app {
namespace {

constexpr uint64_t kFileTimeDay = 864'000'000'000ull;  // 100 ns steps in a day
constexpr uint64_t kKiB = 1024;

// The lower-case letter of a code point, for the scripts a file name most
// often holds; others are returned as they are.
char32_t Lower(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;  // Latin-1 letters
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138) {  // Latin Extended-A pairs
    const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddPairs ? (c % 2 == 1) : (c % 2 == 0)) return c + 1;
    return c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;  // Greek
  if (c >= 0x410 && c <= 0x42F) return c + 32;                // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      valid = (cont & 0xC0) == 0x80;
      c = (c << 6) | (cont & 0x3F);
    }
    if (!valid) {  // not UTF-8: the byte as it is
      out.push_back(text[i]);
      ++i;
      continue;
    }
    AppendUtf8(Lower(c), &out);
    i += length;
  }
  return out;
}

bool ResultFilter::Active() const {
  return *this != ResultFilter{};
}

std::string ResultFilter::FoldedName() const {
  return FoldCase(nameContains);
}

bool ResultFilter::Matches(const engine::ItemRecord& item, std::string_view foldedName) const {
  if (!foldedName.empty() && FoldCase(item.Name()).find(foldedName) == std::string::npos) return false;
  if (item.isFolder != 0) return true;
  if (deletedOnly && item.isDeleted == 0) return false;
  if (damagedOnly || overwrittenOnly) {
    const engine::ItemState state = engine::StateOf(item);
    const bool wanted = (damagedOnly && state == engine::ItemState::kDamaged) ||
                        (overwrittenOnly && state == engine::ItemState::kOverwritten);
    if (!wanted) return false;
  }
  const uint64_t size = item.size;
  if (size < minBytes || size > maxBytes) return false;
  const uint64_t modified = item.modified;
  if (fromTime != 0 && modified < fromTime) return false;
  if (toTime != 0 && modified >= toTime) return false;
  return true;
}

void ResultFilter::SetSize(SizePreset preset) {
  switch (preset) {
    case SizePreset::kAny: minBytes = 0, maxBytes = UINT64_MAX; return;
    case SizePreset::kSmall: minBytes = 0, maxBytes = 100 * kKiB - 1; return;
    case SizePreset::kMedium: minBytes = 100 * kKiB, maxBytes = kKiB * kKiB - 1; return;
    case SizePreset::kLarge: minBytes = kKiB * kKiB, maxBytes = 100 * kKiB * kKiB - 1; return;
    case SizePreset::kHuge: minBytes = 100 * kKiB * kKiB, maxBytes = UINT64_MAX; return;
  }
}

void ResultFilter::SetDate(DatePreset preset, uint64_t now) {
  fromTime = 0;
  toTime = 0;
  uint64_t back = 0;
  switch (preset) {
    case DatePreset::kAny:
    case DatePreset::kRange: return;
    case DatePreset::kToday: {
      platform::SystemTime t;
      if (!platform::FileTimeToSystemTime(now, &t)) return;
      t.hour = t.minute = t.second = t.milliseconds = 0;
      uint64_t midnight = 0;
      if (platform::SystemTimeToFileTime(t, &midnight)) fromTime = midnight;
      return;
    }
    case DatePreset::kLastWeek: back = 7 * kFileTimeDay; break;
    case DatePreset::kLastMonth: back = 30 * kFileTimeDay; break;
    case DatePreset::kLastYear: back = 365 * kFileTimeDay; break;
  }
  fromTime = now > back ? now - back : 1;
}

}  // namespace app
