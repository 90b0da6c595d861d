// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "jobs/display_text.h"
#include "jobs/text_format.h"
#include "jobs/text_source.h"
#include "platform/file_time.h"

namespace jobs {
namespace {

TEST(FormatText, ProgramFormatsGiveWhatPrintfWould) {
  EXPECT_EQ(FormatText("%s %d%%", {"Current progress:", 45}), "Current progress: 45%");
  EXPECT_EQ(FormatText("%s %I64u / %I64u", {"Sector", 5ull, 1000000ull}), "Sector 5 / 1000000");
  EXPECT_EQ(FormatText("%d-%d-%d %02d:%02d:%02d", {2026, 3, 7, 9, 5, 2}), "2026-3-7 09:05:02");
  EXPECT_EQ(FormatText("%.2f GB", {1.5}), "1.50 GB");
  EXPECT_EQ(FormatText("Scanning drive %c:", {TextArg::Character(u'F')}), "Scanning drive F:");
  EXPECT_EQ(FormatText("%C (%s, %s)", {TextArg::Character(u'E'), "STICK", "7.45 GB"}), "E (STICK, 7.45 GB)");
  EXPECT_EQ(FormatText("[%5s|%-4d|%.3s]", {"ab", 7, "abcdef"}), "[   ab|7   |abc]");
  EXPECT_EQ(FormatText("%x %X %o %u", {255, 255u, 8, 42ull}), "ff FF 10 42");
  EXPECT_EQ(FormatText("%ld %lld %hd %zu", {1L, 2LL, 3, 4ul}), "1 2 3 4");
}

// A key missing from "Messages" gives an empty text, and the format still
// applies: only the numbers show.
TEST(FormatText, AMissingTextLeavesTheNumbers) {
  EXPECT_EQ(FormatText("%s %d%%", {"", 45}), " 45%");
  EXPECT_EQ(FormatText("", {1, 2, 3}), "");
}

// A translation is data: it may hold any placeholder, in any number, and
// must never read past its arguments or format a number as a pointer.
TEST(FormatText, BadTranslationsCannotCrash) {
  EXPECT_EQ(FormatText("%s %s %s %s", {"only one"}), "only one   ");
  EXPECT_EQ(FormatText("%n%p%*d%", {1, 2}), "%n%p%*d%");
  EXPECT_EQ(FormatText("%s", {12345}), "12345");
  EXPECT_EQ(FormatText("%d files", {"seven"}), "seven files");
  EXPECT_EQ(FormatText("%c", {"xyz"}), "x");
  EXPECT_EQ(FormatText("%99999d", {1}), "%99999d");               // widths are bounded
  EXPECT_EQ(FormatText("%.9999f", {1.0}), "%.9999f");             // and precisions
  EXPECT_EQ(FormatText("%#d %+u % x", {5, 6u, 7}), "5 6 7");      // flags a conversion does not define are dropped
  EXPECT_EQ(FormatText("%s", {"%s%n%d"}), "%s%n%d");              // an argument is never a format
  EXPECT_EQ(FormatText("%c", {TextArg::Character(0xD800)}), "");  // a lone surrogate is no character
  std::string many(4000, '%');
  EXPECT_EQ(FormatText(many, {}), std::string(2000, '%'));
}

TEST(DisplayText, DurationsAsTheProgressWindowsShowThem) {
  EXPECT_EQ(DurationText(3725), "1 Hour 2 Min");
  EXPECT_EQ(DurationText(3600), "1 Hour 0 Min");
  EXPECT_EQ(DurationText(59), "59 Sec");
  EXPECT_EQ(DurationText(60), "1 Min 0 Sec");
  EXPECT_EQ(DurationText(3599), "59 Min 59 Sec");
  EXPECT_EQ(DurationText(0), "0 Sec");
  EXPECT_EQ(DurationText(-5), "-5 Sec");
  // The language file's formats, where it has them.
  class UnitTexts final : public ITextSource {
   public:
    std::string Text(std::string_view section, std::string_view key) const override {
      if (section != kUnitsSection) return {};
      return key == "Hours" ? "%d Std. %d Min." : key == "Seconds" ? "%d Sek." : "";
    }
  } units;
  EXPECT_EQ(DurationText(3725, &units), "1 Std. 2 Min.");
  EXPECT_EQ(DurationText(7, &units), "7 Sek.");
  EXPECT_EQ(DurationText(61, &units), "1 Min 1 Sec");  // a missing key keeps the fixed format
}

// One convention everywhere: binary units, labelled as binary (40 MiB is "40.00 MiB").
TEST(DisplayText, SizesPickTheLargestBinaryUnitThatFits) {
  EXPECT_EQ(SizeText(0), "0 B");
  EXPECT_EQ(SizeText(1023), "1023 B");
  EXPECT_EQ(SizeText(1024), "1.00 KiB");
  EXPECT_EQ(SizeText(1536), "1.50 KiB");
  EXPECT_EQ(SizeText(40ull << 20), "40.00 MiB");
  EXPECT_EQ(SizeText(8000000000ull), "7.45 GiB");
  EXPECT_EQ(SizeText(1ull << 40), "1.00 TiB");
}

TEST(DisplayText, FileTimesAndNames) {
  uint64_t ft = 0;
  ASSERT_TRUE(platform::SystemTimeToFileTime({2026, 3, 0, 7, 9, 5, 12, 0}, &ft));
  EXPECT_EQ(FileTimeText(ft), "2026-3-7 09:05:12");
  EXPECT_EQ(FileNameOfPath("D:\\imgs\\usb.img"), "usb.img");
  EXPECT_EQ(FileNameOfPath("/imgs/usb.img"), "usb.img");
  EXPECT_EQ(FileNameOfPath("usb.img"), "usb.img");
}

TEST(DisplayText, WeightedPercentagesTruncate) {
  EXPECT_EQ(WeightedPercent(50, 100), 50);
  EXPECT_EQ(WeightedPercent(50, 90), 45);
  EXPECT_EQ(WeightedPercent(7, 9), 0);
  EXPECT_EQ(WeightedPercent(100, 100), 100);
  EXPECT_EQ(WeightedPercent(INT32_MAX, INT32_MAX), static_cast<int32_t>((int64_t{INT32_MAX} * INT32_MAX) / 100));
}

// Found names reach terminals and one-line labels: nothing in them may act
// as a control sequence or start a line of its own.
TEST(DisplayText, FoundNamesAreShownEscaped) {
  EXPECT_EQ(EscapeForDisplay("photo.jpg"), "photo.jpg");
  EXPECT_EQ(EscapeForDisplay("Caf\xC3\xA9 \xE6\x97\xA5"), "Caf\xC3\xA9 \xE6\x97\xA5");
  EXPECT_EQ(EscapeForDisplay("a\x1B[2Jb"), "a\\e[2Jb");
  EXPECT_EQ(EscapeForDisplay("bell\x07"), "bell\\x07");
  EXPECT_EQ(EscapeForDisplay("two\nlines\r"), "two\\nlines\\r");
  EXPECT_EQ(EscapeForDisplay("back\\slash"), "back\\\\slash");
  EXPECT_EQ(EscapeForDisplay("\xC2\x9B"
                             "31m"),
            "\\xc2\\x9b31m");  // C1 CSI
  EXPECT_EQ(EscapeForDisplay("bad\xFF\xC3"), "bad\\xff\\xc3");
  EXPECT_EQ(EscapeForDisplay("\xC0\xAF"), "\\xc0\\xaf");  // an overlong "/"
  EXPECT_EQ(EscapeForDisplay("del\x7F"), "del\\x7f");
}

}  // namespace
}  // namespace jobs
