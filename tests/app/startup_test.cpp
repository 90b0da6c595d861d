// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/folders.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;

TEST(Startup, FindsTheResourceFolderThatHasConfigAndLanguages) {
  testing_support::TempDir a, b;
  EXPECT_EQ(FindResourceFolder({a.path(), b.path()}), "");
  std::ofstream(b.path() + "config.ini") << "[DefaultLanguage]\n";
  EXPECT_EQ(FindResourceFolder({a.path(), b.path()}), "");  // no Languages folder yet
  fs::create_directory(b.path() + "Languages");
  std::ofstream(a.path() + "config.ini") << "\n";
  EXPECT_EQ(FindResourceFolder({a.path(), b.path()}), b.path());
  EXPECT_EQ(FindResourceFolder({std::string(QUELLMOOR_SOURCE_DIR) + "/share/"}),
            std::string(QUELLMOOR_SOURCE_DIR) + "/share/");
}

TEST(Startup, DetectsADataFolderLeftToAnotherUser) {
  testing_support::TempDir data;
  const unsigned me = ::getuid();
  EXPECT_EQ(ForeignOwnedDataPath(data.path(), me), "");
  EXPECT_EQ(ForeignOwnedDataPath(data.path() + "missing/", me), "");
  fs::create_directory(data.path() + "ScanLog");
  EXPECT_EQ(ForeignOwnedDataPath(data.path(), me), "");
  // Seen by another user, everything here is foreign.
  EXPECT_EQ(ForeignOwnedDataPath(data.path(), me + 1), data.path());
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((data.path() + "ScanLog").c_str(), 4242, 4242), 0);
    EXPECT_EQ(ForeignOwnedDataPath(data.path(), me), data.path() + "ScanLog");
  }
  const std::string text = ForeignOwnedDataText(data.path(), data.path() + "ScanLog");
  EXPECT_NE(text.find("sudo chown -R"), std::string::npos);
  EXPECT_NE(text.find(data.path()), std::string::npos);
}

TEST(Startup, DeletesTheLeftoverPreviewVideo) {
  testing_support::ScopedDataHome home;
  EXPECT_TRUE(DeleteLeftoverPreviewVideo());  // nothing there
  ASSERT_EQ(platform::CreateDirectories(platform::ScanLogFolder()), platform::kStatusOk);
  std::ofstream(platform::ScanLogFolder() + "tmp.avi") << "video";
  EXPECT_TRUE(DeleteLeftoverPreviewVideo());
  EXPECT_FALSE(fs::exists(platform::ScanLogFolder() + "tmp.avi"));
}

}  // namespace
}  // namespace app
