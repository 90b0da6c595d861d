// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/file_time.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

TEST(ErrorMapping, ErrnoValuesBecomeTheCodesCallersTest) {
  struct {
    int err;
    Status status;
  } cases[] = {{ENOENT, 2},  {ENOTDIR, 3},  {EACCES, 5},   {EPERM, 5},   {EBADF, 6},          {ENOMEM, 8}, {EROFS, 19},
               {EBUSY, 170}, {ENOSPC, 112}, {EEXIST, 183}, {EINVAL, 87}, {ENAMETOOLONG, 206}, {EIO, 1117}, {EXDEV, 31}};
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.err), c.status) << std::strerror(c.err);
  EXPECT_EQ(ErrorText(2), "No such file or directory");
  EXPECT_EQ(ErrorText(-9527), "Cancelled by the user");
  EXPECT_FALSE(ErrorText(12345).empty());
}

TEST(FileTime, CalendarRoundTripsAndKnownValues) {
  uint64_t ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime({1601, 1, 0, 1, 0, 0, 0, 0}, &ft));
  EXPECT_EQ(ft, 0u);
  ASSERT_TRUE(SystemTimeToFileTime({1970, 1, 0, 1, 0, 0, 0, 0}, &ft));
  EXPECT_EQ(ft, 116444736000000000ull);
  ASSERT_TRUE(SystemTimeToFileTime({2024, 2, 0, 29, 23, 59, 58, 990}, &ft));
  SystemTime back;
  ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.month, 2);
  EXPECT_EQ(back.day, 29);
  EXPECT_EQ(back.hour, 23);
  EXPECT_EQ(back.second, 58);
  EXPECT_EQ(back.milliseconds, 990);
  EXPECT_EQ(UnixToFileTime(0, 0), 116444736000000000ull);
}

TEST(FileTime, InvalidFieldsDoNotConvert) {
  uint64_t ft = 7;
  EXPECT_FALSE(SystemTimeToFileTime({2023, 2, 0, 29, 0, 0, 0, 0}, &ft));  // not a leap year
  EXPECT_FALSE(SystemTimeToFileTime({2023, 13, 0, 1, 0, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({2023, 1, 0, 0, 0, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({2023, 1, 0, 1, 24, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({2023, 1, 0, 1, 0, 0, 60, 0}, &ft));
  EXPECT_EQ(ft, 7u);
}

TEST(Utf, Utf16ToUtf8HandlesAllPlanesAndBadSurrogates) {
  std::u16string text = u"Caf\u00e9 \u65e5\u672c";
  text.push_back(0xD83D);  // U+1F600 as a pair
  text.push_back(0xDE00);
  EXPECT_EQ(Utf16ToUtf8(text), "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80");
  std::u16string lone = {u'a', 0xD800, u'b'};
  EXPECT_EQ(Utf16ToUtf8(lone),
            "a\xEF\xBF\xBD"
            "b");
  std::u16string nul = {u'a', 0, u'b'};
  EXPECT_EQ(Utf16ToUtf8(nul), "a");
  const uint8_t le[] = {'H', 0, 0xE9, 0};
  EXPECT_EQ(Utf16LeBytesToUtf8(le, sizeof le), "H\xC3\xA9");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToUtf16("a\xFF"), std::u16string({u'a', 0xFFFD}));
}

TEST(Utf, TruncationKeepsWholeCharactersAndTheTerminator) {
  char buf[6];
  std::memset(buf, 'x', sizeof buf);
  // "aé日" is 1 + 2 + 3 bytes; 5 bytes of room leave "aé".
  EXPECT_EQ(CopyUtf8Truncated("a\xC3\xA9\xE6\x97\xA5", buf, 5), 3u);
  EXPECT_STREQ(buf, "a\xC3\xA9");
  EXPECT_EQ(CopyUtf8Truncated("abc", buf, 4), 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(CopyUtf8Truncated("abcdef", buf, 1), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(CopyUtf8Truncated("abc", buf, 0), 0u);
}

TEST(Folders, DataFolderFollowsXdgDataHome) {
  testing_support::ScopedDataHome home;
  EXPECT_EQ(DataFolder(), home.path() + "Quellmoor/");
  EXPECT_EQ(ScanLogFolder(), home.path() + "Quellmoor/ScanLog/");
  EXPECT_EQ(CreateDirectories(ScanLogFolder() + "1/"), kStatusOk);
  EXPECT_EQ(CreateDirectories(ScanLogFolder() + "1/"), kStatusOk);  // existing is fine
  EXPECT_TRUE(IsDirectory(ScanLogFolder() + "1"));
  EXPECT_EQ(RemoveTree(ScanLogFolder()), kStatusOk);
  EXPECT_FALSE(PathExists(ScanLogFolder()));
}

TEST(Folders, CreatingBelowAFileFailsWithAStatus) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "file", {1, 2, 3});
  EXPECT_NE(CreateDirectories(dir.path() + "file/sub"), kStatusOk);
}

TEST(RawFile, OpensReadOnlyAndRefusesFolders) {
  testing_support::TempDir dir;
  RawFile file;
  EXPECT_EQ(file.Open(dir.path() + "missing"), kErrorFileNotFound);
  EXPECT_EQ(file.Open(dir.path()), kErrorAccessDenied);
  testing_support::WriteFileBytes(dir.path() + "data", std::vector<uint8_t>(1000, 0xAB));
  ASSERT_EQ(file.Open(dir.path() + "data"), kStatusOk);
  uint64_t length = 0;
  ASSERT_EQ(file.Length(&length), kStatusOk);
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(file.SectorSize(), 512u);
  uint8_t buf[16];
  size_t got = 0;
  ASSERT_EQ(file.ReadAt(996, buf, sizeof buf, &got), kStatusOk);
  EXPECT_EQ(got, 4u);
  ASSERT_EQ(file.ReadAt(1000, buf, sizeof buf, &got), kStatusOk);
  EXPECT_EQ(got, 0u);
}

}  // namespace
}  // namespace platform
