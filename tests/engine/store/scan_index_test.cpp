// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/store/scan_store.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

using testing_support::ReadFileBytes;
using testing_support::ScopedDataHome;
using testing_support::WriteFileBytes;

constexpr uint16_t kNoDeviceLetter = u'Q';  // a letter no source was given in these tests

uint64_t Get64(const std::vector<uint8_t>& bytes, size_t offset) {
  uint64_t v = 0;
  std::memcpy(&v, bytes.data() + offset, 8);
  return v;
}

std::string PathField(const std::vector<uint8_t>& bytes, size_t offset) {
  return platform::Utf16LeBytesToUtf8(bytes.data() + offset, 520);
}

void Put64(std::vector<uint8_t>& bytes, size_t offset, uint64_t v) {
  std::memcpy(bytes.data() + offset, &v, 8);
}

void PutPath(std::vector<uint8_t>& bytes, size_t offset, const std::string& path) {
  std::u16string units = platform::Utf8ToUtf16(path);
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[offset + 2 * i] = static_cast<uint8_t>(units[i]);
    bytes[offset + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
}

class ScanIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store::ScanIndex::Instance().Load();
    m_log = store::ScanIndex::Instance().ScanLogFolder();
  }

  store::ScanIndex& Index() { return store::ScanIndex::Instance(); }

  // A config of counter and one partition entry written by hand.
  std::vector<uint8_t> OneEntryConfig(uint64_t counter, int32_t disk, uint64_t start, uint64_t count,
                                      uint64_t freeBytes, const std::string& folder) {
    std::vector<uint8_t> bytes(8 + 1120, 0);
    Put64(bytes, 0, counter);
    std::memcpy(bytes.data() + 8, &disk, 4);
    Put64(bytes, 8 + 8, start);
    Put64(bytes, 8 + 16, count);
    Put64(bytes, 8 + 64, freeBytes);
    PutPath(bytes, 8 + 600, folder);
    return bytes;
  }

  void MakeFolderWithFile(const std::string& folder) {
    ASSERT_EQ(platform::CreateDirectories(folder), kStatusOk);
    WriteFileBytes(folder + "Pro_Fat_0_1", {1, 2, 3});
  }

  ScopedDataHome m_home;
  std::string m_log;
};

TEST_F(ScanIndexTest, FreshIndexCountsScanFolders) {
  EXPECT_EQ(m_log, m_home.path() + "Quellmoor/ScanLog/");
  EXPECT_EQ(Index().Counter(), 0u);
  EXPECT_TRUE(Index().Entries().empty());
  Index().NewScanFolder();
  Index().NewScanFolder();
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "2/");
  Index().UndoScanNumber();
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "1/");
}

TEST_F(ScanIndexTest, SavedEntriesKeepTheirByteLayout) {
  Index().NewScanFolder();
  const std::string imagePath = m_home.path() + "disk \xC3\xA4.img";
  WriteFileBytes(imagePath, std::vector<uint8_t>(4096, 0));
  store::ScanResume resume{11, 22, 33, 44, 55};
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 3, 2048, 1000000, resume, m_log + "1/", ""), kStatusOk);
  ASSERT_EQ(Index().RecordScan(u'D', 128, 0, 8, store::ScanResume{1, 2, 3, 4, 5}, m_log + "1/", imagePath), kStatusOk);

  std::vector<uint8_t> bytes = ReadFileBytes(m_log + "config");
  ASSERT_EQ(bytes.size(), 8u + 2u * 1120u);
  EXPECT_FALSE(platform::PathExists(m_log + "config.tmp"));
  EXPECT_EQ(Get64(bytes, 0), 1u);
  int32_t disk = 0;
  std::memcpy(&disk, bytes.data() + 8, 4);
  EXPECT_EQ(disk, 3);
  EXPECT_EQ(Get64(bytes, 8 + 8), 2048u);
  EXPECT_EQ(Get64(bytes, 8 + 16), 1000000u);
  EXPECT_EQ(Get64(bytes, 8 + 24), 11u);
  EXPECT_EQ(Get64(bytes, 8 + 32), 22u);
  EXPECT_EQ(Get64(bytes, 8 + 40), 33u);
  EXPECT_EQ(Get64(bytes, 8 + 48), 44u);
  EXPECT_EQ(Get64(bytes, 8 + 56), 55u);
  EXPECT_EQ(Get64(bytes, 8 + 64), 0u);  // not mounted: no free bytes
  EXPECT_EQ(PathField(bytes, 8 + 80), "");
  EXPECT_EQ(PathField(bytes, 8 + 600), m_log + "1/");
  const size_t second = 8 + 1120;
  std::memcpy(&disk, bytes.data() + second, 4);
  EXPECT_EQ(disk, 128);
  EXPECT_NE(Get64(bytes, second + 72), 0u);
  EXPECT_EQ(PathField(bytes, second + 80), imagePath);

  Index().Load();
  ASSERT_EQ(Index().Entries().size(), 2u);
  EXPECT_EQ(Index().Counter(), 1u);
  EXPECT_EQ(Index().Entries()[0].resumeFilesFound, 55u);
  EXPECT_EQ(Index().Entries()[1].imagePath, imagePath);
}

TEST_F(ScanIndexTest, LoadTakesConfigTmpWhenConfigIsMissing) {
  ASSERT_EQ(platform::CreateDirectories(m_log), kStatusOk);
  WriteFileBytes(m_log + "config.tmp", OneEntryConfig(9, 1, 63, 500, 0, m_log + "9/"));
  Index().Load();
  EXPECT_TRUE(platform::PathExists(m_log + "config"));
  EXPECT_FALSE(platform::PathExists(m_log + "config.tmp"));
  EXPECT_EQ(Index().Counter(), 9u);
  ASSERT_EQ(Index().Entries().size(), 1u);
  EXPECT_EQ(Index().Entries()[0].startSector, 63u);
}

TEST_F(ScanIndexTest, DamagedConfigYieldsOnlyWholeEntries) {
  ASSERT_EQ(platform::CreateDirectories(m_log), kStatusOk);
  std::vector<uint8_t> bytes = OneEntryConfig(4, 1, 63, 500, 0, m_log + "4/");
  bytes.resize(bytes.size() + 700, 0xEE);  // half an entry more
  WriteFileBytes(m_log + "config", bytes);
  Index().Load();
  EXPECT_EQ(Index().Counter(), 4u);
  EXPECT_EQ(Index().Entries().size(), 1u);

  WriteFileBytes(m_log + "config", {1, 2, 3});
  Index().Load();
  EXPECT_EQ(Index().Counter(), 0u);
  EXPECT_TRUE(Index().Entries().empty());

  // A scan folder field without a terminator ends at its field.
  bytes = OneEntryConfig(4, 1, 63, 500, 0, "");
  std::memset(bytes.data() + 8 + 600, 'a', 520);
  WriteFileBytes(m_log + "config", bytes);
  Index().Load();
  ASSERT_EQ(Index().Entries().size(), 1u);
  EXPECT_LE(Index().Entries()[0].scanFolder.size(), 260u * 3u);
}

TEST_F(ScanIndexTest, FailingSaveLeavesConfigWholeAndReturnsTheStatus) {
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 1, 63, 500, store::ScanResume{}, m_log + "1/", ""), kStatusOk);
  std::vector<uint8_t> before = ReadFileBytes(m_log + "config");
  ASSERT_EQ(::symlink("/dev/full", (m_log + "config.tmp").c_str()), 0);  // every write: disk full
  EXPECT_EQ(Index().RecordScan(kNoDeviceLetter, 2, 63, 500, store::ScanResume{}, m_log + "2/", ""),
            platform::kErrorDiskFull);
  EXPECT_EQ(ReadFileBytes(m_log + "config"), before);
  EXPECT_FALSE(platform::PathExists(m_log + "config.tmp"));
  Index().Load();
  EXPECT_EQ(Index().Entries().size(), 1u);
}

TEST_F(ScanIndexTest, SaveIntoUncreatableFolderReturnsPlatformStatus) {
  WriteFileBytes(m_home.path() + "plain", {1});
  Index().Load(m_home.path() + "plain/ScanLog/");
  EXPECT_NE(Index().Save(), kStatusOk);
  Index().Load();
}

TEST_F(ScanIndexTest, PartitionScanIsFoundWhileFreeSpaceIsUnchanged) {
  Index().NewScanFolder();
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 2, 2048, 4096, store::ScanResume{5, 6, 7, 8, 9}, m_log + "1/", ""),
            kStatusOk);
  Index().NewScanFolder();
  store::ScanIndexEntry found;
  ASSERT_TRUE(Index().FindPartitionScan(2, 2048, 4096, kNoDeviceLetter, &found));
  EXPECT_EQ(found.resumeSectorsDone, 8u);
  EXPECT_EQ(found.scanFolder, m_log + "1/");
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "1/");
  EXPECT_FALSE(Index().FindPartitionScan(2, 2048, 4097, kNoDeviceLetter, &found));
  Index().NewScanFolder();
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "3/");
}

TEST_F(ScanIndexTest, PartitionWhoseFreeSpaceChangedLosesItsScan) {
  MakeFolderWithFile(m_log + "7/");
  WriteFileBytes(m_log + "config", OneEntryConfig(7, 2, 2048, 4096, 123456789, m_log + "7/"));
  Index().Load();
  store::ScanIndexEntry found;
  EXPECT_FALSE(Index().FindPartitionScan(2, 2048, 4096, kNoDeviceLetter, &found));
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_FALSE(platform::PathExists(m_log + "7"));
}

TEST_F(ScanIndexTest, ImageScanIsFoundUntilTheImageChanges) {
  const std::string image = m_home.path() + "card.img";
  WriteFileBytes(image, std::vector<uint8_t>(8192, 1));
  Index().NewScanFolder();
  MakeFolderWithFile(m_log + "1/");
  ASSERT_EQ(Index().RecordScan(u'E', 128, 0, 16, store::ScanResume{}, m_log + "1/", image), kStatusOk);
  store::ScanIndexEntry found;
  ASSERT_TRUE(Index().FindImageScan(image, &found));
  EXPECT_FALSE(Index().FindImageScan(image + "x", &found));

  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), times, 0), 0);
  EXPECT_FALSE(Index().FindImageScan(image, &found));
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_FALSE(platform::PathExists(m_log + "1"));
}

TEST_F(ScanIndexTest, RecordingAKnownSourceReplacesItsResumeValues) {
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 1, 63, 500, store::ScanResume{1, 1, 1, 1, 1}, m_log + "1/", ""),
            kStatusOk);
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 1, 63, 500, store::ScanResume{2, 3, 4, 5, 6}, m_log + "1/", ""),
            kStatusOk);
  Index().Load();
  ASSERT_EQ(Index().Entries().size(), 1u);
  EXPECT_EQ(Index().Entries()[0].resumeExtentStart, 2u);
  EXPECT_EQ(Index().Entries()[0].resumeFilesFound, 6u);
}

TEST_F(ScanIndexTest, PathThatDoesNotFitIsRefused) {
  std::string longImage = m_home.path() + std::string(300, 'i') + ".img";
  EXPECT_EQ(Index().RecordScan(u'E', 128, 0, 16, store::ScanResume{}, m_log + "1/", longImage),
            platform::kErrorFilenameTooLong);
  EXPECT_TRUE(Index().Entries().empty());
}

TEST_F(ScanIndexTest, NewScanFolderClearsAnEntryAndFolderOfItsNumber) {
  MakeFolderWithFile(m_log + "1/");
  WriteFileBytes(m_log + "config", OneEntryConfig(0, 1, 63, 500, 0, m_log + "1/"));
  Index().Load();
  Index().NewScanFolder();
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_FALSE(platform::PathExists(m_log + "1"));
  // A folder of the next number left by a run that never saved its counter.
  MakeFolderWithFile(m_log + "2/");
  Index().NewScanFolder();
  EXPECT_FALSE(platform::PathExists(m_log + "2/Pro_Fat_0_1"));
}

TEST_F(ScanIndexTest, RemoveMatchesFoldersIgnoringCaseAndDeletesOnlyBelowScanLog) {
  MakeFolderWithFile(m_log + "5/");
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 1, 63, 500, store::ScanResume{}, m_log + "5/", ""), kStatusOk);
  std::string upper = m_log;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  Index().Remove(upper + "5/");
  EXPECT_TRUE(Index().Entries().empty());

  Index().Remove(m_log + "5/");
  EXPECT_FALSE(platform::PathExists(m_log + "5"));

  const std::string outside = m_home.path() + "precious/";
  MakeFolderWithFile(outside);
  ASSERT_EQ(Index().RecordScan(kNoDeviceLetter, 1, 63, 500, store::ScanResume{}, outside, ""), kStatusOk);
  Index().Remove(outside);
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_TRUE(platform::PathExists(outside + "Pro_Fat_0_1"));
  Index().Remove(m_log + "../");
  Index().Remove(m_log);
  EXPECT_TRUE(platform::PathExists(m_log + "config"));
}

TEST_F(ScanIndexTest, FindsLogNamesByPrefix) {
  const std::string folder = m_log + "3/";
  ASSERT_EQ(platform::CreateDirectories(folder), kStatusOk);
  for (const char* name : {".Fast_hidden", "Fast_2048_2026128 9_Relation", "Fast_2048_2026128 9",
                           "Fast_2048_2026128 9_DirInfo", "Pro_Fat_2048_2026128 9"}) {
    WriteFileBytes(folder + name, {0});
  }
  EXPECT_EQ(store::ScanIndex::FindLogName(store::kFastLogPrefix, folder), "Fast_2048_2026128 9");
  EXPECT_EQ(store::ScanIndex::FindLogName(store::kProFatLogPrefix, folder), "Pro_Fat_2048_2026128 9");
  EXPECT_EQ(store::ScanIndex::FindLogName(store::kFileTypeLogPrefix, folder), "");
  EXPECT_EQ(store::ScanIndex::FindLogName(store::kFastLogPrefix, m_log + "missing/"), "");
}

TEST_F(ScanIndexTest, FollowsTheDataFolderWhenItMoves) {
  Index().NewScanFolder();
  {
    ScopedDataHome other;
    EXPECT_EQ(Index().ScanLogFolder(), other.path() + "Quellmoor/ScanLog/");
    EXPECT_EQ(Index().Counter(), 0u);
  }
  EXPECT_EQ(Index().ScanLogFolder(), m_log);
}

}  // namespace
}  // namespace engine
