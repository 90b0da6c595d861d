// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/preview_config.h"

#include <charconv>

#include "app/ini_file.h"
#include "app/thumbnail_source.h"
#include "platform/folders.h"

namespace app {
namespace {

constexpr std::string_view kSection = "Preview";
constexpr long kMinWatchdogMs = 100;
constexpr long kMaxWatchdogMs = 600000;

// The user's value of key, else the shipped one; empty when neither has one.
std::string Value(const CIniFile& shipped, const CIniFile& user, std::string_view key) {
  std::string value = user.Get(kSection, key);
  if (value.empty()) value = shipped.Get(kSection, key);
  return value;
}

void Take(const CIniFile& shipped, const CIniFile& user, std::string_view key, jobs::ToolChoices* choices) {
  jobs::ToolChoices configured = jobs::ParseToolChoices(Value(shipped, user, key));
  if (!configured.empty()) *choices = std::move(configured);
}

}  // namespace

ThumbnailTools LoadThumbnailTools() {
  return LoadThumbnailTools(platform::ProgramDataFolders(), platform::ConfigFolder() + "config.ini");
}

ThumbnailTools LoadThumbnailTools(const std::vector<std::string>& programFolders, const std::string& userConfigPath) {
  CIniFile shipped;
  for (std::string folder : programFolders) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    if (shipped.Load(folder + "config.ini") == platform::kStatusOk) break;
  }
  CIniFile user;
  if (user.Load(userConfigPath) != platform::kStatusOk) user = CIniFile();
  ThumbnailTools tools = DefaultThumbnailTools();
  Take(shipped, user, "VideoFrame", &tools.videoFrame);
  tools.preview = LoadPreviewTools(programFolders, userConfigPath);
  tools.watchdog = tools.preview.watchdog;
  return tools;
}

jobs::PreviewTools LoadPreviewTools() {
  return LoadPreviewTools(platform::ProgramDataFolders(), platform::ConfigFolder() + "config.ini");
}

jobs::PreviewTools LoadPreviewTools(const std::vector<std::string>& programFolders, const std::string& userConfigPath) {
  CIniFile shipped;
  for (std::string folder : programFolders) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    if (shipped.Load(folder + "config.ini") == platform::kStatusOk) break;
  }
  CIniFile user;
  if (user.Load(userConfigPath) != platform::kStatusOk) user = CIniFile();  // no user file: the shipped values
  jobs::PreviewTools tools = jobs::DefaultPreviewTools();
  Take(shipped, user, "VideoPlayer", &tools.videoPlayer);
  Take(shipped, user, "AudioPlayer", &tools.audioPlayer);
  Take(shipped, user, "PdfRenderer", &tools.pdfRenderer);
  Take(shipped, user, "ArchiveTool", &tools.archiveTool);
  Take(shipped, user, "WordText", &tools.wordText);
  Take(shipped, user, "SheetText", &tools.sheetText);
  Take(shipped, user, "SlideText", &tools.slideText);
  Take(shipped, user, "HeifDecoder", &tools.heifDecoder);
  Take(shipped, user, "WebpDecoder", &tools.webpDecoder);
  Take(shipped, user, "RawPreview", &tools.rawPreview);
  // The user's value when it is a usable one, else the shipped one's.
  for (const CIniFile* file : {&user, &shipped}) {
    const std::string text = file->Get(kSection, "WatchdogMs");
    long ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (!text.empty() && error == std::errc() && end == text.data() + text.size() && ms >= kMinWatchdogMs &&
        ms <= kMaxWatchdogMs) {
      tools.watchdog = std::chrono::milliseconds(ms);
      break;
    }
  }
  return tools;
}

}  // namespace app
