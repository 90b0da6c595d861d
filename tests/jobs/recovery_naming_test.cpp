// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "engine/output_path.h"
#include "engine/safe_name.h"
#include "jobs/recovery_job.h"
#include "jobs/search_job.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

TEST(RecoveryNaming, CategoryFoldersByLastExtension) {
  EXPECT_EQ(CategoryFolderOf("a.jpg"), "photo");
  EXPECT_EQ(CategoryFolderOf("song.MP3"), "audio");
  EXPECT_EQ(CategoryFolderOf("x.tar.gz"), "archive");
  EXPECT_EQ(CategoryFolderOf("clip.mkv"), "video");
  EXPECT_EQ(CategoryFolderOf("notes.txt"), "document");
  EXPECT_EQ(CategoryFolderOf("data.bin"), "others");
  EXPECT_EQ(CategoryFolderOf("track.ra"), "photo");  // "ra" stands inside "*.raf"
  EXPECT_EQ(CategoryFolderOf("movie.rm"), "audio");
  EXPECT_EQ(CategoryFolderOf("README"), "others");  // no extension: not a photo
}

TEST(RecoveryNaming, UniquePathsNeverOverwrite) {
  testing_support::TempDir dir;
  std::string a = dir.path() + "a.jpg";
  EXPECT_EQ(UniquePath(a), a);
  testing_support::WriteFileBytes(a, {1});
  EXPECT_EQ(UniquePath(a), dir.path() + "a(1).jpg");
  testing_support::WriteFileBytes(dir.path() + "a(1).jpg", {1});
  EXPECT_EQ(UniquePath(a), dir.path() + "a(2).jpg");
  testing_support::WriteFileBytes(dir.path() + "x.tar.gz", {1});
  EXPECT_EQ(UniquePath(dir.path() + "x.tar.gz"), dir.path() + "x.tar(1).gz");
  testing_support::WriteFileBytes(dir.path() + "README", {1});
  EXPECT_EQ(UniquePath(dir.path() + "README"), dir.path() + "README(1)");
}

TEST(RecoveryNaming, SeparatorCountIgnoresTheLastCharacter) {
  EXPECT_EQ(engine::SeparatorCount("/tmp/out"), 2);
  EXPECT_EQ(engine::SeparatorCount("/tmp/out/"), 2);
  EXPECT_EQ(engine::SeparatorCount("E:\\"), 0);
  EXPECT_EQ(engine::SeparatorCount("C:\\a\\b"), 2);
}

TEST(RecoveryNaming, FoundNamesStayBelowTheOutputFolder) {
  EXPECT_EQ(engine::SafeNameComponent(".."), "__");
  EXPECT_EQ(engine::SafeNameComponent("."), "_");
  EXPECT_EQ(engine::SafeNameComponent(""), "_");
  EXPECT_EQ(engine::SafeNameComponent("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(engine::SafeNameComponent("a\\b\x01"), "a_b_");
  EXPECT_EQ(engine::SafeNameComponent("what? <a|b>: \"x\"*"), "what_ _a_b__ _x__");
  EXPECT_EQ(engine::JoinSafePath("/out", "..\\..\\x\\"), "/out/__/__/x");
  EXPECT_EQ(engine::JoinSafePath("/out/", "DCIM/100"), "/out/DCIM/100");
  std::string longName(300, 'n');
  EXPECT_EQ(engine::SafeNameComponent(longName).size(), 255u);
}

TEST(SearchPattern, TypesBecomeExtensionLists) {
  std::string pattern, error;
  ASSERT_TRUE(BuildSearchPattern({"jpg", "document"}, &pattern, &error));
  EXPECT_EQ(pattern.rfind("*.jpg|*.doc|*.xls", 0), 0u);
  ASSERT_TRUE(BuildSearchPattern({}, &pattern, &error));
  EXPECT_NE(pattern.find("*.bmp"), std::string::npos);
  EXPECT_NE(pattern.find(".other"), std::string::npos);
  ASSERT_TRUE(BuildSearchPattern({"OTHER", ".PNG"}, &pattern, &error));
  EXPECT_EQ(pattern, ".other|*.png");
  EXPECT_FALSE(BuildSearchPattern({"*.jpg|x"}, &pattern, &error));
  EXPECT_NE(error.find("unknown type"), std::string::npos);
}

}  // namespace
}  // namespace jobs
