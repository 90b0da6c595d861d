// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/output_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/commit_batch.h"
#include "engine/recovered_file.h"
#include "platform/output_tree.h"
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

// In a folder its batch made, names are chosen from what the batch gave;
// a file someone else put there meanwhile is still never replaced: the
// recovered file is named beside it.
TEST(OutputPathTest, AFolderTheBatchMadeNeverLosesAFileSomeoneElsePutThere) {
  testing_support::TempDir dir;
  const std::string root = dir.path() + "out";
  ASSERT_EQ(platform::CreateFoldersBelow(root, "photo"), platform::kStatusOk);
  CommitBatch batch;
  batch.NoteMadeFolder(root, "photo");
  testing_support::WriteFileBytes(root + "/photo/a.jpg", {'o'});  // another program's
  const std::string name = UniqueChildName(root, "photo", "a.jpg");
  RecoveredFile file;
  ASSERT_EQ(file.Begin({root, JoinRelative("photo", name)}), kStatusOk);
  ASSERT_EQ(file.Write(reinterpret_cast<const uint8_t*>("new"), 3), kStatusOk);
  ASSERT_EQ(file.Commit(), kStatusOk);
  std::vector<CommitBatch::Named> named;
  batch.Flush(&named);
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].status, kStatusOk);
  EXPECT_NE(named[0].named, "photo/a.jpg");
  EXPECT_EQ(testing_support::ReadFileBytes(root + "/photo/a.jpg"), (std::vector<uint8_t>{'o'}));
  EXPECT_EQ(testing_support::ReadFileBytes(root + "/" + named[0].named), (std::vector<uint8_t>{'n', 'e', 'w'}));
  // The next copy of the name is numbered past both.
  const std::string next = UniqueChildName(root, "photo", "a.jpg");
  EXPECT_NE(JoinRelative("photo", next), named[0].named);
  EXPECT_NE(next, "a.jpg");
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
