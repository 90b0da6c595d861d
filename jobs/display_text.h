// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace jobs {

// The fixed texts every front end shows the same way.

class ITextSource;

// The language file's section of the units' formats.
inline constexpr std::string_view kUnitsSection = "Units";

// Duration of s seconds: hours and remaining whole minutes when s >= 3600
// (key "Hours", "%d Hour %d Min" without texts); minutes and seconds when
// s >= 60 ("Minutes", "%d Min %d Sec"); otherwise seconds ("Seconds",
// "%d Sec"), negative values too. The formats come from the section
// "Units" of texts (may be null).
std::string DurationText(int64_t seconds, const ITextSource* texts = nullptr);

// Size of n bytes in binary units, labelled as such: "%.2f" of n / 2^40,
// 2^30, 2^20 or 2^10 with " TiB", " GiB", " MiB" or " KiB" for n of at least
// 1 TiB, 1 GiB, 1 MiB or 1 KiB; otherwise "%d B".
std::string SizeText(uint64_t bytes);

// "%d-%d-%d %02d:%02d:%02d" of a FILETIME (year, month, day, hour, minute,
// second), without time-zone conversion; empty for a time that cannot be
// converted.
std::string FileTimeText(uint64_t fileTime);

// The text after the last "\" or "/" of a path.
std::string_view FileNameOfPath(std::string_view path);

// The shown percentage: percent x weight / 100 in integer arithmetic,
// truncated toward zero (no overflow for any 32-bit inputs).
int32_t WeightedPercent(int32_t percent, int32_t weight);

// text followed by blanks up to width characters (UTF-8 characters are
// counted, not bytes); longer text is left as it is.
std::string PadToWidth(std::string_view text, size_t width);

// Shows text from disk in a terminal or a one-line label: control
// characters (C0, DEL, C1) become "\n", "\t", "\e" or "\xHH", a backslash
// becomes "\\", and bytes that are not UTF-8 become "\xHH". Nothing a found
// name holds can move the cursor, ring a bell or start a line of its own.
std::string EscapeForDisplay(std::string_view text);

}  // namespace jobs
