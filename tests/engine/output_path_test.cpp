// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/output_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace engine {
namespace {

TEST(OutputPathTest, TakenNamesGetANumberBeforeTheExtension) {
  testing_support::TempDir dir;
  const std::string root = dir.path().substr(0, dir.path().size() - 1);
  EXPECT_EQ(UniqueChildName(root, "", "a.txt"), "a.txt");
  testing_support::WriteFileBytes(root + "/a.txt", {1});
  EXPECT_EQ(UniqueChildName(root, "", "a.txt"), "a(1).txt");
  testing_support::WriteFileBytes(root + "/a(1).txt", {1});
  EXPECT_EQ(UniqueChildName(root, "", "a.txt"), "a(2).txt");
  testing_support::WriteFileBytes(root + "/x.tar.gz", {1});
  EXPECT_EQ(UniqueChildName(root, "", "x.tar.gz"), "x.tar(1).gz");
  testing_support::WriteFileBytes(root + "/.hidden", {1});
  EXPECT_EQ(UniqueChildName(root, "", ".hidden"), ".hidden(1)");
  // A link takes its name even when it points nowhere.
  ASSERT_EQ(::symlink("/nonexistent", (root + "/link.jpg").c_str()), 0);
  EXPECT_EQ(UniqueChildName(root, "", "link.jpg"), "link(1).jpg");
  const std::string longName(255, 'q');
  testing_support::WriteFileBytes(root + "/" + longName, {1});
  const std::string next = UniqueChildName(root, "", longName);
  EXPECT_EQ(next.size(), 255u);
  EXPECT_EQ(next.substr(next.size() - 3), "(1)");
}

TEST(OutputPathTest, DestinationsSplitAtTheEndOfTheirRoot) {
  OutputTarget t;
  ASSERT_TRUE(SplitDestination("/tmp/out/photo/a.jpg", SeparatorCount("/tmp/out"), &t));
  EXPECT_EQ(t.root, "/tmp/out");
  EXPECT_EQ(t.relative, "photo/a.jpg");
  ASSERT_TRUE(SplitDestination("/tmp/out/A/", SeparatorCount("/tmp/out/"), &t));
  EXPECT_EQ(t.root, "/tmp/out");
  EXPECT_EQ(t.relative, "A");
  // Too few separators, or ".." below the root: the destination's own folder is the root.
  ASSERT_TRUE(SplitDestination("/tmp/a.jpg", 5, &t));
  EXPECT_EQ(t.root, "/tmp");
  EXPECT_EQ(t.relative, "a.jpg");
  ASSERT_TRUE(SplitDestination("/tmp/out/../x.jpg", 2, &t));
  EXPECT_EQ(t.root, "/tmp/out/..");
  EXPECT_EQ(t.relative, "x.jpg");
  EXPECT_FALSE(SplitDestination("", 0, &t));
  EXPECT_FALSE(SplitDestination("/", 0, &t));
}

TEST(OutputPathTest, SeparatorsAreCountedBothWaysExceptALastOne) {
  EXPECT_EQ(SeparatorCount("/out/rec"), 2);
  EXPECT_EQ(SeparatorCount("/out/rec/"), 2);
  EXPECT_EQ(SeparatorCount("C:\\out\\rec\\A"), 3);
  EXPECT_EQ(SeparatorCount(""), 0);
}

}  // namespace
}  // namespace engine
