// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recovery_destination.h"

#include <cstdio>

#include "jobs/text_format.h"

namespace app {
namespace {

constexpr std::string_view kRecoverSection = "RecoverProcessWnd";

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

std::string DefaultRecoveryFolder(std::string_view home, const jobs::ITextSource* texts,
                                  const platform::SystemTime& today,
                                  const std::function<bool(const std::string&)>& exists) {
  char date[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", today.year, today.month, today.day);
  std::string pattern = texts != nullptr ? texts->Text("MainWnd", "RecoveredFolder") : std::string();
  if (pattern.empty()) pattern = "Recovered files %s";
  std::string name = jobs::FormatText(pattern, {std::string(date)});
  // A name from a language file never leaves the home folder.
  for (char& c : name) {
    if (c == '/') c = '-';
  }
  if (name.empty() || name == "." || name == "..") name = date;
  std::string base(WithoutTrailingSlashes(home));
  if (base != "/") base += "/";
  const std::string first = base + name;
  std::string candidate = first;
  for (int n = 2; exists && exists(candidate) && n < 10000; ++n) candidate = first + " (" + std::to_string(n) + ")";
  return candidate;
}

std::string RecoveryFolderFor(std::string_view chosen, std::string_view home, std::string_view proposed) {
  const std::string_view folder = WithoutTrailingSlashes(chosen);
  if (folder.empty() || folder == "/" || folder == WithoutTrailingSlashes(home)) return std::string(proposed);
  return std::string(folder);
}

std::string PathBelowFolder(std::string_view path, std::string_view folder) {
  folder = WithoutTrailingSlashes(folder);
  if (folder.empty() || folder == "/") return std::string(path);
  if (path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/') {
    return std::string(path.substr(folder.size() + 1));
  }
  return std::string(path);
}

std::string RecoveryEndText(jobs::JobResult result, int64_t recovered, int64_t failed, std::string_view folder,
                            const jobs::ITextSource* texts, const std::function<std::string(uint64_t)>& count) {
  auto text = [texts](std::string_view key) {
    return texts != nullptr ? texts->Text(kRecoverSection, key) : std::string();
  };
  auto n = [&count](int64_t v) {
    const uint64_t u = v < 0 ? 0 : static_cast<uint64_t>(v);
    return count ? count(u) : std::to_string(u);
  };
  const std::string where(folder);
  if (result == jobs::JobResult::kCancelled) return jobs::FormatText(text("DoneCancelled"), {n(recovered), where});
  if (recovered == 0) return text("DoneNone");
  if (failed > 0) return jobs::FormatText(text("DoneSome"), {n(recovered), n(recovered + failed), where, n(failed)});
  if (recovered == 1) return jobs::FormatText(text("DoneOne"), {where});
  return jobs::FormatText(text("DoneAll"), {n(recovered), where});
}

}  // namespace app
