// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/result_summary.h"

#include <string_view>
#include <vector>

#include "jobs/text_format.h"

namespace app {
namespace {

constexpr std::string_view kSection = "MainWnd";
constexpr std::string_view kJoin = "  \u00B7  ";

}  // namespace

std::string StatusLineText(const ResultSummary& summary, const jobs::ITextSource* texts, const NumberTexts& numbers) {
  auto text = [texts](std::string_view key) { return texts != nullptr ? texts->Text(kSection, key) : std::string(); };
  auto count = [&numbers](uint64_t n) { return numbers.count ? numbers.count(n) : std::to_string(n); };
  auto size = [&numbers](uint64_t n) { return numbers.size ? numbers.size(n) : std::to_string(n); };
  std::vector<std::string> parts;
  auto add = [&parts](std::string part) {
    if (!part.empty()) parts.push_back(std::move(part));
  };
  add(jobs::FormatText(text(summary.found == 1 ? "StatusFoundOne" : "StatusFound"), {count(summary.found)}));
  if (summary.filtered) add(jobs::FormatText(text("StatusShown"), {count(summary.shown)}));
  if (summary.checkedFiles == 0 && summary.checkedFolders == 0) {
    add(text("StatusNoneChecked"));
  } else {
    std::string checked =
        jobs::FormatText(text("StatusChecked"), {count(summary.checkedFiles), size(summary.checkedBytes)});
    if (summary.checkedFolders != 0 && !checked.empty()) {
      const std::string folders = jobs::FormatText(text("StatusCheckedFolders"), {count(summary.checkedFolders)});
      if (!folders.empty()) checked += " " + folders;
    }
    add(std::move(checked));
  }
  if (!summary.drive.empty()) add(jobs::FormatText(text("StatusDrive"), {summary.drive}));
  std::string line;
  for (const std::string& part : parts) {
    if (!line.empty()) line += kJoin;
    line += part;
  }
  return line;
}

}  // namespace app
