// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folders.h"
#include "platform/output_tree.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

class OutputTreeTest : public ::testing::Test {
 protected:
  std::string Root() const { return m_dir.path() + "out"; }
  std::string Outside() const { return m_dir.path() + "outside"; }
  TempDir m_dir;
};

TEST_F(OutputTreeTest, FoldersAndNewFilesAreCreatedBelowTheRoot) {
  ASSERT_EQ(CreateFoldersBelow(Root(), "photo/2024"), kStatusOk);
  OutputFile file;
  ASSERT_EQ(CreateNewFileBelow(Root(), "photo/2024/a.jpg", &file), kStatusOk);
  ASSERT_EQ(file.WriteAt(0, "abc", 3), kStatusOk);
  ASSERT_EQ(file.Close(), kStatusOk);
  EXPECT_EQ(ReadFileBytes(Root() + "/photo/2024/a.jpg"), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_TRUE(ExistsBelow(Root(), "photo/2024/a.jpg"));
  EXPECT_TRUE(IsFolderBelow(Root(), "photo/2024"));
  EXPECT_FALSE(IsFolderBelow(Root(), "photo/2024/a.jpg"));

  // Nothing that exists is ever overwritten.
  EXPECT_EQ(CreateNewFileBelow(Root(), "photo/2024/a.jpg", &file), kErrorAlreadyExists);
  EXPECT_EQ(ReadFileBytes(Root() + "/photo/2024/a.jpg").size(), 3u);
  // A file where a folder is needed is taken.
  EXPECT_EQ(CreateFoldersBelow(Root(), "photo/2024/a.jpg/x"), kErrorAlreadyExists);
}

// With the folders kept open, the same rules hold: what is written lands in
// the folder that was opened, never through a link planted since.
TEST_F(OutputTreeTest, KeptFoldersNeverLeadThroughALinkPlantedSince) {
  FolderCacheScope kept;
  ASSERT_EQ(CreateFoldersBelow(Root(), "a/b"), kStatusOk);
  ASSERT_TRUE(ExistsBelow(Root(), "a/b") && !ExistsBelow(Root(), "a/b/x"));
  ASSERT_EQ(::mkdir(Outside().c_str(), 0755), 0);
  ASSERT_EQ(::rename((Root() + "/a").c_str(), (Root() + "/moved").c_str()), 0);
  ASSERT_EQ(::symlink(Outside().c_str(), (Root() + "/a").c_str()), 0);
  OutputFile file;
  if (CreateNewFileBelow(Root(), "a/b/x", &file) == kStatusOk) (void)file.Close();
  EXPECT_TRUE(ListFolder(Outside()).empty());
  (void)CreateFoldersBelow(Root(), "a/c");
  EXPECT_TRUE(ListFolder(Outside()).empty());
  EXPECT_EQ(CreateFoldersBelow(Root(), "d"), kStatusOk);  // a folder not yet kept is opened as ever
}

TEST_F(OutputTreeTest, LinksPlantedInsideTheOutputFolderAreNeverFollowed) {
  ASSERT_EQ(CreateDirectories(Outside()), kStatusOk);
  ASSERT_EQ(CreateFoldersBelow(Root(), ""), kStatusOk);
  ASSERT_EQ(::symlink(Outside().c_str(), (Root() + "/document").c_str()), 0);
  ASSERT_EQ(::symlink((Outside() + "/victim").c_str(), (Root() + "/a.txt").c_str()), 0);

  EXPECT_EQ(CreateFoldersBelow(Root(), "document/sub"), kErrorAlreadyExists);
  OutputFile file;
  EXPECT_EQ(CreateNewFileBelow(Root(), "document/x.doc", &file), kErrorAlreadyExists);
  EXPECT_EQ(CreateNewFileBelow(Root(), "a.txt", &file), kErrorAlreadyExists);
  EXPECT_TRUE(ListFolder(Outside()).empty());
  EXPECT_TRUE(ExistsBelow(Root(), "a.txt"));  // a dangling link still takes its name
  EXPECT_TRUE(ExistsBelow(Root(), "document/anything"));
  EXPECT_FALSE(IsFolderBelow(Root(), "document"));

  // A rename never lands on or through a link either.
  ASSERT_EQ(CreateNewFileBelow(Root(), "tmp.part", &file), kStatusOk);
  ASSERT_EQ(file.Close(), kStatusOk);
  EXPECT_EQ(RenameBelow(Root(), "tmp.part", "a.txt"), kErrorAlreadyExists);
  EXPECT_EQ(RenameBelow(Root(), "tmp.part", "document/b.txt"), kErrorAlreadyExists);
  EXPECT_EQ(RenameBelow(Root(), "tmp.part", "b.txt"), kStatusOk);
  EXPECT_TRUE(ExistsBelow(Root(), "b.txt"));
  EXPECT_FALSE(ExistsBelow(Root(), "tmp.part"));
}

// A file made without a name is seen by no one until it is named, and a
// closed file that was never named leaves nothing. Naming never replaces
// anything and never lands on or through a link.
TEST_F(OutputTreeTest, AFileWithoutANameIsSeenOnlyOnceNamed) {
  ASSERT_EQ(CreateFoldersBelow(Root(), "photo"), kStatusOk);
  OutputFile file;
  const Status made = CreateUnnamedFileBelow(Root(), "photo", &file);
  if (made == kErrorNotSupported) GTEST_SKIP() << "the temporary folder's file system makes no files without names";
  ASSERT_EQ(made, kStatusOk);
  ASSERT_EQ(file.WriteAt(0, "abc", 3), kStatusOk);
  EXPECT_TRUE(ListFolder(Root() + "/photo").empty());

  ASSERT_EQ(CreateDirectories(Outside()), kStatusOk);
  ASSERT_EQ(::symlink(Outside().c_str(), (Root() + "/photo/sub").c_str()), 0);
  ASSERT_EQ(::symlink((Outside() + "/victim").c_str(), (Root() + "/photo/link.jpg").c_str()), 0);
  WriteFileBytes(Root() + "/photo/old.jpg", {'o'});
  EXPECT_EQ(LinkFileBelow(file, Root(), "photo/old.jpg"), kErrorAlreadyExists);
  EXPECT_EQ(LinkFileBelow(file, Root(), "photo/link.jpg"), kErrorAlreadyExists);
  EXPECT_EQ(LinkFileBelow(file, Root(), "photo/sub/a.jpg"), kErrorAlreadyExists);
  EXPECT_TRUE(ListFolder(Outside()).empty());
  EXPECT_EQ(ReadFileBytes(Root() + "/photo/old.jpg"), (std::vector<uint8_t>{'o'}));

  ASSERT_EQ(LinkFileBelow(file, Root(), "photo/a.jpg"), kStatusOk);
  ASSERT_EQ(file.Close(), kStatusOk);
  EXPECT_EQ(ReadFileBytes(Root() + "/photo/a.jpg"), (std::vector<uint8_t>{'a', 'b', 'c'}));

  OutputFile dropped;
  ASSERT_EQ(CreateUnnamedFileBelow(Root(), "photo", &dropped), kStatusOk);
  ASSERT_EQ(dropped.WriteAt(0, "x", 1), kStatusOk);
  ASSERT_EQ(dropped.Close(), kStatusOk);
  EXPECT_EQ(ListFolder(Root() + "/photo").size(), 4u);  // a.jpg, old.jpg and the two links
}

TEST_F(OutputTreeTest, AFifoAtTheTargetIsTakenWithoutBlocking) {
  ASSERT_EQ(CreateFoldersBelow(Root(), ""), kStatusOk);
  ASSERT_EQ(::mkfifo((Root() + "/pipe.jpg").c_str(), 0644), 0);
  OutputFile file;
  EXPECT_EQ(CreateNewFileBelow(Root(), "pipe.jpg", &file), kErrorAlreadyExists);
  EXPECT_EQ(RemoveFileBelow(Root(), "pipe.jpg"), kStatusOk);
  EXPECT_FALSE(ExistsBelow(Root(), "pipe.jpg"));
}

TEST_F(OutputTreeTest, RelativePathsMustBePlainNames) {
  OutputFile file;
  for (const char* bad : {"../x", "a/../b", "/abs", "a//b", "./a", "a/"}) {
    EXPECT_EQ(CreateFoldersBelow(Root(), bad), kStatusInvalidParameter) << bad;
    EXPECT_EQ(CreateNewFileBelow(Root(), bad, &file), kStatusInvalidParameter) << bad;
  }
  EXPECT_EQ(SyncFolderBelow(Root(), ""), kStatusOk);
}

}  // namespace
}  // namespace platform
