// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/error.h"
#include "platform/folders.h"
#include "platform/output_tree.h"
#include "platform/partitions.h"
#include "platform/raw_file.h"
#include "platform/volume.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

// Opening a FIFO for reading would wait for a writer forever; a source must be
// refused at once instead (this test would hang, not fail, without that).
TEST(SourceKinds, AFifoOrSocketIsRefusedWithoutWaiting) {
  testing_support::TempDir dir;
  const std::string fifo = dir.path() + "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  RawFile file;
  EXPECT_EQ(file.Open(fifo), kErrorNotSupported);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(KindOfPath(fifo), PathKind::kFifo);
  EXPECT_STREQ(PathKindWord(KindOfPath(fifo)), "FIFO");

  EXPECT_EQ(file.Open("/dev/null"), kErrorNotSupported);  // a character device
  EXPECT_EQ(KindOfPath("/dev/null"), PathKind::kCharDevice);

  const std::string socketPath = dir.path() + "sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(file.Open(socketPath), kErrorNotSupported);
  ::close(fd);

  FileSystemInfo info;
  EXPECT_EQ(ProbeFileSystem(fifo, 0, 0, &info), kErrorNotSupported);
  std::vector<PartitionInfo> parts;
  std::string table;
  EXPECT_NE(ListPartitions(dir.path(), 512, &parts, &table), kStatusOk);
}

TEST(SourceKinds, RegularFilesStillOpenAndReadNormally) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "img", std::vector<uint8_t>(4096, 7));
  RawFile file;
  ASSERT_EQ(file.Open(dir.path() + "img"), kStatusOk);
  uint8_t buffer[4096];
  size_t got = 0;
  ASSERT_EQ(file.ReadAt(0, buffer, sizeof buffer, &got), kStatusOk);
  EXPECT_EQ(got, sizeof buffer);
  EXPECT_EQ(KindOfPath(dir.path() + "img"), PathKind::kRegularFile);
  EXPECT_EQ(KindOfPath(dir.path()), PathKind::kFolder);
  EXPECT_EQ(KindOfPath(dir.path() + "none"), PathKind::kMissing);
}

TEST(Paths, SameFileFollowsLinksAndResolvedPathIsAbsolute) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "a", {1});
  testing_support::WriteFileBytes(dir.path() + "b", {1});
  ASSERT_EQ(::symlink((dir.path() + "a").c_str(), (dir.path() + "link").c_str()), 0);
  EXPECT_TRUE(SameFile(dir.path() + "a", dir.path() + "link"));
  EXPECT_TRUE(SameFile(dir.path() + "a", dir.path() + "./a"));
  EXPECT_FALSE(SameFile(dir.path() + "a", dir.path() + "b"));
  EXPECT_FALSE(SameFile(dir.path() + "a", dir.path() + "missing"));
  EXPECT_EQ(ResolvedPath(dir.path() + "link"), ResolvedPath(dir.path() + "a"));
  EXPECT_EQ(ResolvedPath(dir.path() + "x/../a"), ResolvedPath(dir.path() + "a"));
  EXPECT_TRUE(IsLinkBelow(dir.path(), "link"));
  EXPECT_FALSE(IsLinkBelow(dir.path(), "a"));
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name); old != nullptr) {
      m_old = old;
      m_had = true;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_had) {
      ::setenv(m_name, m_old.c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }

 private:
  const char* m_name;
  std::string m_old;
  bool m_had = false;
};

TEST(Folders, UserSettingsLiveInTheConfigFolderNotBesideTheProgram) {
  testing_support::TempDir dir;
  {
    ScopedEnv env("XDG_CONFIG_HOME", dir.path() + "cfg");
    EXPECT_EQ(ConfigFolder(), dir.path() + "cfg/quellmoor/");
  }
  {
    ScopedEnv env("XDG_CONFIG_HOME", "relative/is/ignored");
    ScopedEnv home("HOME", dir.path() + "home");
    EXPECT_EQ(ConfigFolder(), dir.path() + "home/.config/quellmoor/");
  }
  auto folders = ProgramDataFolders();
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], ProgramFolder());
  EXPECT_NE(folders[1].find("/share/quellmoor/"), std::string::npos);
}

TEST(Folders, TheDataFolderCanBeMovedOffASourceVolume) {
  testing_support::ScopedDataHome home;
  SetDataFolderOverride("/run/elsewhere");
  EXPECT_EQ(DataFolder(), "/run/elsewhere/");
  EXPECT_EQ(ScanLogFolder(), "/run/elsewhere/ScanLog/");
  SetDataFolderOverride("");
  EXPECT_EQ(DataFolder(), home.path() + "Quellmoor/");
}

TEST(Volume, FileSystemNamesOfMountedFolders) {
  EXPECT_EQ(FileSystemNameOf("/proc"), "PROC");
  EXPECT_EQ(FileSystemNameOf("/no/such/folder"), "");
  // The folder of a plain file is answered too; the name never is empty for a mounted folder.
  EXPECT_FALSE(FileSystemNameOf(testing_support::FixturePath("README.md")).empty());
}

TEST(Volume, AFolderIsNotOnADiskThatIsAFile) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "disk.img", std::vector<uint8_t>(512, 0));
  EXPECT_FALSE(FolderIsOnDisk(dir.path(), dir.path() + "disk.img"));
  EXPECT_FALSE(FolderIsOnDisk(dir.path(), "/no/such/disk"));
}

struct ProbeCase {
  const char* fixture;
  const char* type;
  const char* version;
};

TEST(Probe, FileSystemsOfTheFixturesAreNamed) {
  const ProbeCase cases[] = {{"fat12.img.gz", "vfat", "FAT12"},     {"fat16.img.gz", "vfat", "FAT16"},
                             {"fat32_512.img.gz", "vfat", "FAT32"}, {"ntfs_512.img.gz", "ntfs", nullptr},
                             {"ext4.img.gz", "ext4", nullptr},      {"zero_1m.img.gz", "", nullptr}};
  for (const auto& c : cases) {
    std::string image = testing_support::UnpackedFixture(c.fixture);
    ASSERT_FALSE(image.empty()) << c.fixture;
    FileSystemInfo info;
    ASSERT_EQ(ProbeFileSystem(image, 0, 0, &info), kStatusOk) << c.fixture;
    EXPECT_EQ(info.type, c.type) << c.fixture;
    if (c.version != nullptr) {
      EXPECT_EQ(info.version, c.version) << c.fixture;
    }
  }
}

TEST(Probe, PartitionsOfADiskImageCarryTheirTableIds) {
  std::string image = testing_support::UnpackedFixture("disk_mbr.img.gz");
  ASSERT_FALSE(image.empty());
  std::vector<PartitionInfo> parts;
  std::string table;
  ASSERT_EQ(ListPartitions(image, 512, &parts, &table), kStatusOk);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].uuid, "51554d31-01");
  EXPECT_EQ(parts[1].uuid, "51554d31-02");
  FileSystemInfo info;
  ASSERT_EQ(ProbeFileSystem(image, parts[0].startSector * 512, parts[0].sectorCount * 512, &info), kStatusOk);
  EXPECT_EQ(info.version, "FAT16");
  ASSERT_EQ(ProbeFileSystem(image, parts[1].startSector * 512, parts[1].sectorCount * 512, &info), kStatusOk);
  EXPECT_EQ(info.type, "ntfs");
}

}  // namespace
}  // namespace platform
