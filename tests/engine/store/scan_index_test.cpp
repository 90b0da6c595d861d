// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

store::ScanSourceId Partition(int32_t disk, uint64_t start, uint64_t count, uint64_t fingerprint = 0) {
  store::ScanSourceId id;
  id.diskNumber = disk;
  id.startSector = start;
  id.sectorCount = count;
  id.fingerprint = fingerprint;
  return id;
}

store::ScanSourceId Image(const std::string& path, uint64_t fingerprint = 0) {
  store::ScanSourceId id;
  id.imagePath = path;
  id.fingerprint = fingerprint;
  return id;
}

TEST_F(ScanIndexTest, FreshIndexCountsScanFoldersAndSavesTheCounter) {
  EXPECT_EQ(m_log, m_home.path() + "Quellmoor/ScanLog/");
  EXPECT_EQ(Index().Counter(), 0u);
  EXPECT_TRUE(Index().Entries().empty());
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "2/");
  EXPECT_TRUE(platform::IsDirectory(m_log + "2"));
  EXPECT_EQ(Get64(ReadFileBytes(m_log + "config"), 0), 2u);
  Index().UndoScanNumber();  // folder 2 is still empty
  EXPECT_EQ(Index().Counter(), 1u);
  EXPECT_FALSE(platform::PathExists(m_log + "2"));
}

TEST_F(ScanIndexTest, SavedEntriesKeepTheirByteLayout) {
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  const std::string imagePath = m_home.path() + "disk \xC3\xA4.img";
  WriteFileBytes(imagePath, std::vector<uint8_t>(4096, 0));
  store::ScanResume resume{11, 22, 33, 44, 55};
  ASSERT_EQ(Index().RecordScan(Partition(3, 2048, 1000000, 0xABCDEF), resume, m_log + "1/"), kStatusOk);
  store::ScanSourceId image = Image(imagePath, 77);
  image.diskNumber = 128;
  ASSERT_EQ(Index().RecordScan(image, store::ScanResume{1, 2, 3, 4, 5}, m_log + "1/"), kStatusOk);
  store::ScanSourceId stick = Partition(4, 63, 500);
  stick.deviceKey = "usb-Vendor_Card_0123-0:0-part1";
  ASSERT_EQ(Index().RecordScan(stick, store::ScanResume{}, m_log + "1/"), kStatusOk);

  std::vector<uint8_t> bytes = ReadFileBytes(m_log + "config");
  ASSERT_EQ(bytes.size(), 8u + 3u * 1120u);
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
  EXPECT_EQ(Get64(bytes, 8 + 64), 0xABCDEFu);  // the volume's fingerprint
  EXPECT_EQ(PathField(bytes, 8 + 80), "");
  EXPECT_EQ(PathField(bytes, 8 + 600), m_log + "1/");
  const size_t second = 8 + 1120;
  EXPECT_NE(Get64(bytes, second + 72), 0u);
  EXPECT_EQ(PathField(bytes, second + 80), imagePath);
  EXPECT_EQ(PathField(bytes, second + 1120 + 80), "dev:usb-Vendor_Card_0123-0:0-part1");

  Index().Load();
  ASSERT_EQ(Index().Entries().size(), 3u);
  EXPECT_EQ(Index().Counter(), 1u);
  EXPECT_EQ(Index().Entries()[0].resumeFilesFound, 55u);
  EXPECT_EQ(Index().Entries()[1].imagePath, imagePath);
  EXPECT_EQ(Index().Entries()[2].deviceKey, stick.deviceKey);
  EXPECT_TRUE(Index().Entries()[2].imagePath.empty());
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
  ASSERT_EQ(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{}, m_log + "1/"), kStatusOk);
  std::vector<uint8_t> before = ReadFileBytes(m_log + "config");
  ASSERT_EQ(::symlink("/dev/full", (m_log + "config.tmp").c_str()), 0);  // every write: disk full
  EXPECT_EQ(Index().RecordScan(Partition(2, 63, 500), store::ScanResume{}, m_log + "2/"), platform::kErrorDiskFull);
  EXPECT_EQ(ReadFileBytes(m_log + "config"), before);
  EXPECT_FALSE(platform::PathExists(m_log + "config.tmp"));
  Index().Load();
  EXPECT_EQ(Index().Entries().size(), 1u);
}

TEST_F(ScanIndexTest, ScanLogThatCannotBeCreatedIsReported) {
  WriteFileBytes(m_home.path() + "plain", {1});
  Index().Load(m_home.path() + "plain/ScanLog/");
  EXPECT_NE(Index().NewScanFolder(), kStatusOk);
  EXPECT_NE(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{}, m_log + "1/"), kStatusOk);
  Index().Load();
}

TEST_F(ScanIndexTest, PartitionScanIsFoundWhileItsVolumeIsUnchanged) {
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  ASSERT_EQ(Index().RecordScan(Partition(2, 2048, 4096, 42), store::ScanResume{5, 6, 7, 8, 9}, m_log + "1/"),
            kStatusOk);
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  store::ScanIndexEntry found;
  ASSERT_TRUE(Index().FindScan(Partition(2, 2048, 4096, 42), &found));
  EXPECT_EQ(found.resumeSectorsDone, 8u);
  EXPECT_EQ(found.scanFolder, m_log + "1/");
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "1/");
  EXPECT_FALSE(Index().FindScan(Partition(2, 2048, 4097, 42), &found));
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "3/");
}

TEST_F(ScanIndexTest, AWrittenVolumeLosesItsScanEvenWhenUnmounted) {
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  MakeFolderWithFile(m_log + "1/");
  ASSERT_EQ(Index().RecordScan(Partition(2, 2048, 4096, 1111), store::ScanResume{}, m_log + "1/"), kStatusOk);
  Index().Load();  // a later run: the folder is no longer this process's
  store::ScanIndexEntry found;
  EXPECT_FALSE(Index().FindScan(Partition(2, 2048, 4096, 2222), &found));
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_FALSE(platform::PathExists(m_log + "1"));
}

TEST_F(ScanIndexTest, APartitionWithADeviceKeyIsKnownByItNotByItsDiskNumber) {
  store::ScanSourceId card = Partition(0, 2048, 4096, 5);
  card.deviceKey = "mmc-SD32G_0x1234abcd-part1";
  ASSERT_EQ(Index().RecordScan(card, store::ScanResume{}, m_log + "1/"), kStatusOk);
  store::ScanSourceId sameCardElsewhere = card;
  sameCardElsewhere.diskNumber = 3;
  store::ScanIndexEntry found;
  EXPECT_TRUE(Index().FindScan(sameCardElsewhere, &found));
  store::ScanSourceId otherCard = card;
  otherCard.deviceKey = "mmc-SD32G_0x99999999-part1";
  EXPECT_FALSE(Index().FindScan(otherCard, &found));
  EXPECT_FALSE(Index().FindScan(Partition(0, 2048, 4096, 5), &found));  // no key: another medium
  EXPECT_EQ(Index().Entries().size(), 1u);
}

TEST_F(ScanIndexTest, ImageScanIsFoundUntilTheImageChanges) {
  const std::string image = m_home.path() + "card.img";
  WriteFileBytes(image, std::vector<uint8_t>(8192, 1));
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  MakeFolderWithFile(m_log + "1/");
  ASSERT_EQ(Index().RecordScan(Image(image), store::ScanResume{}, m_log + "1/"), kStatusOk);
  store::ScanIndexEntry found;
  ASSERT_TRUE(Index().FindScan(Image(image), &found));
  EXPECT_FALSE(Index().FindScan(Image(image + "x"), &found));

  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), times, 0), 0);
  Index().Load();
  EXPECT_FALSE(Index().FindScan(Image(image), &found));
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_FALSE(platform::PathExists(m_log + "1"));
}

TEST_F(ScanIndexTest, RecordingAKnownSourceReplacesItsValuesAndFolder) {
  ASSERT_EQ(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{1, 1, 1, 1, 1}, m_log + "1/"), kStatusOk);
  ASSERT_EQ(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{2, 3, 4, 5, 6}, m_log + "2/"), kStatusOk);
  Index().Load();
  ASSERT_EQ(Index().Entries().size(), 1u);
  EXPECT_EQ(Index().Entries()[0].resumeExtentStart, 2u);
  EXPECT_EQ(Index().Entries()[0].resumeFilesFound, 6u);
  EXPECT_EQ(Index().Entries()[0].scanFolder, m_log + "2/");
}

TEST_F(ScanIndexTest, PathThatDoesNotFitIsRefused) {
  std::string longImage = m_home.path() + std::string(300, 'i') + ".img";
  EXPECT_EQ(Index().RecordScan(Image(longImage), store::ScanResume{}, m_log + "1/"), platform::kErrorFilenameTooLong);
  EXPECT_TRUE(Index().Entries().empty());
}

TEST_F(ScanIndexTest, NewScanFoldersNeverReuseAFolderThatExists) {
  MakeFolderWithFile(m_log + "1/");
  WriteFileBytes(m_log + "config", OneEntryConfig(0, 1, 63, 500, 0, m_log + "1/"));
  Index().Load();
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "2/");
  EXPECT_TRUE(platform::PathExists(m_log + "1/Pro_Fat_0_1"));  // remembered: kept
  // A folder nobody names or uses (left by a run that crashed) is cleaned up.
  MakeFolderWithFile(m_log + "7/");
  Index().Load();
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_FALSE(platform::PathExists(m_log + "7"));
  EXPECT_TRUE(platform::PathExists(m_log + "1/Pro_Fat_0_1"));
}

// Two processes scanning at once each get their own folder, and neither
// deletes the other's while it is in use.
TEST_F(ScanIndexTest, TwoProcessesNeverShareOrDeleteEachOthersScanFolder) {
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  const std::string mine = Index().CurrentScanFolder();
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Index().Load();
    const bool ok = Index().NewScanFolder() == kStatusOk;
    const std::string folder = Index().CurrentScanFolder();
    WriteFileBytes(folder + "Fast_0_1", {1});
    char answer = ok ? 'y' : 'n';
    (void)!::write(toParent[1], &answer, 1);
    (void)!::read(toChild[0], &answer, 1);  // hold the folder until told
    ::_exit(0);
  }
  char answer = 0;
  ASSERT_EQ(::read(toParent[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_EQ(Index().CurrentScanFolder(), m_log + "3/");
  EXPECT_TRUE(platform::PathExists(m_log + "2/Fast_0_1"));  // the other process's, in use
  EXPECT_TRUE(platform::PathExists(mine));
  ASSERT_EQ(::write(toChild[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  // Once nobody uses it and nothing names it, it is cleaned up.
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  EXPECT_FALSE(platform::PathExists(m_log + "2"));
  EXPECT_TRUE(platform::PathExists(mine));
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST_F(ScanIndexTest, RemoveMatchesFoldersIgnoringCaseAndDeletesOnlyBelowScanLog) {
  MakeFolderWithFile(m_log + "5/");
  ASSERT_EQ(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{}, m_log + "5/"), kStatusOk);
  std::string upper = m_log;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  ASSERT_EQ(Index().Remove(upper + "5/"), kStatusOk);
  EXPECT_TRUE(Index().Entries().empty());

  ASSERT_EQ(Index().Remove(m_log + "5/"), kStatusOk);
  EXPECT_FALSE(platform::PathExists(m_log + "5"));

  const std::string outside = m_home.path() + "precious/";
  MakeFolderWithFile(outside);
  ASSERT_EQ(Index().RecordScan(Partition(1, 63, 500), store::ScanResume{}, outside), kStatusOk);
  ASSERT_EQ(Index().Remove(outside), kStatusOk);
  EXPECT_TRUE(Index().Entries().empty());
  EXPECT_TRUE(platform::PathExists(outside + "Pro_Fat_0_1"));
  ASSERT_EQ(Index().Remove(m_log + "../"), kStatusOk);
  ASSERT_EQ(Index().Remove(m_log), kStatusOk);
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
  ASSERT_EQ(Index().NewScanFolder(), kStatusOk);
  {
    ScopedDataHome other;
    EXPECT_EQ(Index().ScanLogFolder(), other.path() + "Quellmoor/ScanLog/");
    EXPECT_EQ(Index().Counter(), 0u);
  }
  EXPECT_EQ(Index().ScanLogFolder(), m_log);
}

}  // namespace
}  // namespace engine
