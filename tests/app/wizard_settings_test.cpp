// SPDX-License-Identifier: GPL-3.0-or-later
// Where the window opens and what it remembers, and where a recovery writes.
#include <gtest/gtest.h>

#include <set>

#include "app/ini_file.h"
#include "app/recovery_destination.h"
#include "app/window_settings.h"
#include "platform/folders.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

TEST(WindowSettings, TheWindowOpensWhereItCanBeSeenAndGrabbed) {
  const ScreenRect laptop{0, 0, 1280, 800};
  const ScreenRect small{0, 0, 1024, 600};
  const ScreenRect right{1280, 0, 1920, 1080};
  struct Case {
    const char* what;
    std::optional<ScreenRect> saved;
    std::vector<ScreenRect> screens;
    ScreenRect expected;
  };
  const Case cases[] = {
      {"first start: 1100 x 720, centred", std::nullopt, {laptop}, {90, 40, 1100, 720}},
      {"a small screen: all of it", std::nullopt, {small}, {0, 0, 1024, 600}},
      {"saved and visible", ScreenRect{100, 50, 900, 600}, {laptop}, {100, 50, 900, 600}},
      {"on the second screen", ScreenRect{1500, 100, 1200, 800}, {laptop, right}, {1500, 100, 1200, 800}},
      {"that screen is gone", ScreenRect{1500, 100, 1200, 800}, {laptop}, {90, 40, 1100, 720}},
      {"larger than the screen now", ScreenRect{0, 0, 1900, 1000}, {laptop}, {0, 0, 1280, 800}},
      {"title bar above the screen", ScreenRect{100, -300, 900, 600}, {laptop}, {90, 40, 1100, 720}},
      {"too small to use", ScreenRect{10, 10, 20, 20}, {laptop}, {10, 10, 640, 420}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RestoredWindowRect(c.saved, c.screens, 0, 640, 420), c.expected) << c.what;
  }
}

TEST(WindowSettings, AreKeptBesideTheLanguageChoice) {
  testing_support::TempDir dir;
  const std::string path = dir.path() + "quellmoor/config.ini";
  CIniFile user;
  user.Set("DefaultLanguage", "Default", "Deutsch");
  ASSERT_EQ(platform::CreateDirectories(dir.path() + "quellmoor"), platform::kStatusOk);
  ASSERT_EQ(user.Save(path), platform::kStatusOk);

  WindowSettings saved;
  saved.geometry = ScreenRect{-20, 30, 1100, 720};
  saved.maximized = true;
  saved.splitters["Results"] = {200, 600, 300};
  saved.resultsView = "grid";
  ASSERT_EQ(saved.Save(path), platform::kStatusOk);
  WindowSettings read;
  read.Load(path);
  EXPECT_EQ(read.geometry, saved.geometry);
  EXPECT_TRUE(read.maximized);
  EXPECT_EQ(read.splitters, saved.splitters);
  EXPECT_EQ(read.resultsView, "grid");
  CIniFile again;
  ASSERT_EQ(again.Load(path), platform::kStatusOk);
  EXPECT_EQ(again.Get("DefaultLanguage", "Default"), "Deutsch");

  // A hand-edited file with nonsense gives the defaults for what it spoils.
  CIniFile broken;
  broken.Set("Window", "Geometry", "10,20,abc,5");
  broken.Set("Window", "Splitter.Results", "-5,10");
  ASSERT_EQ(broken.Save(path), platform::kStatusOk);
  read.Load(path);
  EXPECT_FALSE(read.geometry.has_value());
  EXPECT_TRUE(read.splitters.empty());
  read.Load(dir.path() + "missing.ini");
  EXPECT_FALSE(read.geometry.has_value());
}

class FolderTexts final : public jobs::ITextSource {
 public:
  std::string Text(std::string_view section, std::string_view key) const override {
    if (section == "MainWnd" && key == "RecoveredFolder") return folder;
    if (section != "RecoverProcessWnd") return {};
    if (key == "DoneAll") return "%s files recovered to %s";
    if (key == "DoneOne") return "1 file recovered to %s";
    if (key == "DoneSome") return "%s of %s files recovered to %s; %s failed";
    if (key == "DoneNone") return "No file could be recovered.";
    if (key == "DoneCancelled") return "Stopped: %s files recovered to %s.";
    return {};
  }
  std::string folder = "Recovered files %s";
};

TEST(RecoveryDestination, IsANewFolderNeverTheHomeFolderItself) {
  FolderTexts texts;
  platform::SystemTime today;
  today.year = 2026, today.month = 3, today.day = 7;
  std::set<std::string> taken;
  auto exists = [&taken](const std::string& p) { return taken.count(p) != 0; };
  EXPECT_EQ(DefaultRecoveryFolder("/home/eva", &texts, today, exists), "/home/eva/Recovered files 2026-03-07");
  taken = {"/home/eva/Recovered files 2026-03-07", "/home/eva/Recovered files 2026-03-07 (2)"};
  EXPECT_EQ(DefaultRecoveryFolder("/home/eva/", &texts, today, exists), "/home/eva/Recovered files 2026-03-07 (3)");
  texts.folder = "../../etc/%s";  // a language file never moves it out of the home folder
  EXPECT_EQ(DefaultRecoveryFolder("/home/eva", &texts, today, exists), "/home/eva/..-..-etc-2026-03-07");

  const std::string proposed = "/home/eva/Recovered files 2026-03-07";
  EXPECT_EQ(RecoveryFolderFor("/home/eva", "/home/eva", proposed), proposed);
  EXPECT_EQ(RecoveryFolderFor("/home/eva/", "/home/eva", proposed), proposed);
  EXPECT_EQ(RecoveryFolderFor("/", "/home/eva", proposed), proposed);
  EXPECT_EQ(RecoveryFolderFor("/media/usb/found/", "/home/eva", proposed), "/media/usb/found");
  EXPECT_EQ(RecoveryFolderFor("/home/eva/Pictures", "/home/eva", proposed), "/home/eva/Pictures");
}

TEST(RecoveryDestination, TheWindowEndsSayingWhatWasSavedWhere) {
  FolderTexts texts;
  auto count = [](uint64_t n) { return std::to_string(n); };
  using jobs::JobResult;
  EXPECT_EQ(RecoveryEndText(JobResult::kFinished, 7, 0, "/r", &texts, count), "7 files recovered to /r");
  EXPECT_EQ(RecoveryEndText(JobResult::kFinished, 1, 0, "/r", &texts, count), "1 file recovered to /r");
  EXPECT_EQ(RecoveryEndText(JobResult::kFinished, 5, 2, "/r", &texts, count), "5 of 7 files recovered to /r; 2 failed");
  EXPECT_EQ(RecoveryEndText(JobResult::kFinished, 0, 3, "/r", &texts, count), "No file could be recovered.");
  EXPECT_EQ(RecoveryEndText(JobResult::kCancelled, 2, 0, "/r", &texts, count), "Stopped: 2 files recovered to /r.");
  EXPECT_EQ(PathBelowFolder("/r/photo/a.jpg", "/r/"), "photo/a.jpg");
  EXPECT_EQ(PathBelowFolder("/rx/a.jpg", "/r"), "/rx/a.jpg");
}

}  // namespace
}  // namespace app
