// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "app/preview_config.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

void WriteText(const std::string& path, const std::string& text) {
  testing_support::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(PreviewConfig, TheShippedFileNamesTheDefaults) {
  testing_support::TempDir home;
  const jobs::PreviewTools shipped =
      LoadPreviewTools({std::string(QUELLMOOR_SOURCE_DIR) + "/share/"}, home.path() + "none.ini");
  const jobs::PreviewTools defaults = jobs::DefaultPreviewTools();
  EXPECT_EQ(shipped.videoPlayer, defaults.videoPlayer);
  EXPECT_EQ(shipped.audioPlayer, defaults.audioPlayer);
  EXPECT_EQ(shipped.pdfRenderer, defaults.pdfRenderer);
  EXPECT_EQ(shipped.archiveTool, defaults.archiveTool);
  EXPECT_EQ(shipped.wordText, defaults.wordText);
  EXPECT_EQ(shipped.sheetText, defaults.sheetText);
  EXPECT_EQ(shipped.slideText, defaults.slideText);
  EXPECT_EQ(shipped.watchdog, defaults.watchdog);
}

TEST(PreviewConfig, TheUsersKeysWinOneByOneAndBadValuesKeepTheDefault) {
  testing_support::TempDir dir;
  WriteText(dir.path() + "config.ini",
            "[Preview]\nPdfRenderer=/opt/poppler/pdftoppm\nArchiveTool=7zz\nWatchdogMs=2500\n");
  WriteText(dir.path() + "user.ini",
            "[preview]\narchivetool='/opt/my 7z/7z' | 7z\nVideoPlayer=vlc --play-and-exit %f\nWatchdogMs=12 s\n"
            "WordText=\n");
  const jobs::PreviewTools tools = LoadPreviewTools({dir.path()}, dir.path() + "user.ini");
  EXPECT_EQ(tools.pdfRenderer, (jobs::ToolChoices{{"/opt/poppler/pdftoppm"}}));
  EXPECT_EQ(tools.archiveTool, (jobs::ToolChoices{{"/opt/my 7z/7z"}, {"7z"}}));
  EXPECT_EQ(tools.videoPlayer, (jobs::ToolChoices{{"vlc", "--play-and-exit", "%f"}}));
  EXPECT_EQ(tools.wordText, jobs::DefaultPreviewTools().wordText);  // empty: the default
  EXPECT_EQ(tools.watchdog, std::chrono::milliseconds(2500));       // "12 s" is no number: the shipped value

  WriteText(dir.path() + "user.ini", "[Preview]\nWatchdogMs=5\n");
  EXPECT_EQ(LoadPreviewTools({dir.path() + "missing/"}, dir.path() + "user.ini").watchdog,
            std::chrono::milliseconds(6000));
}

}  // namespace
}  // namespace app
