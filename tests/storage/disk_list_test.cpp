// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "platform/block_device_info.h"
#include "platform/device_monitor.h"
#include "platform/disk_table.h"
#include "storage/disk_list.h"
#include "storage/drive_letters.h"
#include "storage/source_resolver.h"
#include "storage/volume_identity.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

// QUELLMOOR_DISKS for the test's lifetime.
class ScopedDisks {
 public:
  explicit ScopedDisks(const std::string& paths) { ::setenv("QUELLMOOR_DISKS", paths.c_str(), 1); }
  ~ScopedDisks() {
    ::unsetenv("QUELLMOOR_DISKS");
    platform::SetDiskTableOverride({});
  }
};

class DiskListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_disk3 = testing_support::UnpackedFixture("disk3_mbr.img.gz");
    m_diskMbr = testing_support::UnpackedFixture("disk_mbr.img.gz");
    m_fat16 = testing_support::UnpackedFixture("fat16.img.gz");
    ASSERT_FALSE(m_disk3.empty() || m_diskMbr.empty() || m_fat16.empty());
  }
  std::string m_disk3, m_diskMbr, m_fat16;
};

TEST_F(DiskListTest, DisksPartitionsFileSystemsAndLetters) {
  ScopedDisks disks(m_disk3 + ":" + m_diskMbr + ":" + m_fat16);
  CDiskList list;
  list.Refresh();
  ASSERT_EQ(list.Disks().size(), 3u);
  const DiskEntry& d0 = list.Disks()[0];
  EXPECT_EQ(d0.tableType, "dos");
  EXPECT_EQ(d0.byteLength, 16384u * 512);
  EXPECT_FALSE(d0.removable);
  ASSERT_EQ(d0.volumes.size(), 3u);
  const uint64_t starts[] = {2048, 6144, 10240};
  for (size_t i = 0; i < 3; ++i) {
    const VolumeEntry& v = d0.volumes[i];
    EXPECT_EQ(v.target.startSector, starts[i]);
    EXPECT_EQ(v.target.sectorCount, 4096u);
    EXPECT_EQ(v.target.diskPath, m_disk3);
    EXPECT_EQ(v.fileSystem, "FAT12");
    EXPECT_EQ(v.label, "QMDISK3P" + std::to_string(i + 1));
    EXPECT_EQ(v.description, v.label);
    EXPECT_EQ(v.byteSize, 4096u * 512);
  }
  const DiskEntry& d1 = list.Disks()[1];
  ASSERT_EQ(d1.volumes.size(), 2u);
  EXPECT_EQ(d1.volumes[0].fileSystem, "FAT16");
  EXPECT_EQ(d1.volumes[1].fileSystem, "NTFS");
  EXPECT_EQ(d1.volumes[0].target.partitionUuid, "51554d31-01");
  // A disk formatted as a whole is one volume covering it.
  const DiskEntry& d2 = list.Disks()[2];
  EXPECT_TRUE(d2.tableType.empty());
  ASSERT_EQ(d2.volumes.size(), 1u);
  EXPECT_EQ(d2.volumes[0].fileSystem, "FAT16");
  EXPECT_EQ(d2.volumes[0].target.startSector, 0u);
  EXPECT_EQ(d2.volumes[0].target.ByteLength(), d2.byteLength);

  // Every volume has a letter of its own, and a refresh gives each the same one again.
  std::set<uint16_t> letters;
  for (const auto& d : list.Disks()) {
    for (const auto& v : d.volumes) EXPECT_TRUE(letters.insert(v.target.driveLetter).second);
  }
  EXPECT_EQ(letters.size(), 6u);
  const uint16_t first = d0.volumes[0].target.driveLetter;
  list.Refresh();
  EXPECT_EQ(list.Disks()[0].volumes[0].target.driveLetter, first);
}

TEST_F(DiskListTest, AddedImagesStayAcrossRefreshesAndGetTheirOwnLetter) {
  ScopedDisks disks(m_disk3);
  CDiskList list;
  list.Refresh();
  VolumeEntry image;
  ASSERT_EQ(list.AddImage(m_fat16, &image), 0);
  EXPECT_TRUE(image.target.isImage);
  EXPECT_EQ(image.fileSystem, "FAT16");
  VolumeEntry again;
  ASSERT_EQ(list.AddImage(m_fat16, &again), 0);
  EXPECT_EQ(list.Images().size(), 1u);
  EXPECT_EQ(again.target.driveLetter, image.target.driveLetter);
  for (const auto& v : list.Disks()[0].volumes) EXPECT_NE(v.target.driveLetter, image.target.driveLetter);
  list.Refresh();
  EXPECT_EQ(list.Images().size(), 1u);
  testing_support::TempDir dir;
  EXPECT_NE(list.AddImage(dir.path() + "missing.img", nullptr), 0);
  EXPECT_NE(list.AddImage(dir.path(), nullptr), 0);
}

TEST_F(DiskListTest, IdentityKeysNameTheVolumeNotItsDiskNumber) {
  testing_support::TempDir dir;
  const std::string copy = dir.path() + "copy.img";
  testing_support::WriteFileBytes(copy, testing_support::ReadFileBytes(m_disk3));
  std::vector<VolumeEntry> asDisk0, asDisk1;
  std::string table;
  {
    ScopedDisks disks(copy);
    ASSERT_EQ(ListDiskVolumes(0, &asDisk0, &table), 0);
  }
  {
    ScopedDisks disks(m_fat16 + ":" + copy);
    ASSERT_EQ(ListDiskVolumes(1, &asDisk1, &table), 0);
  }
  ASSERT_EQ(asDisk0.size(), 3u);
  ASSERT_EQ(asDisk1.size(), 3u);
  std::set<std::string> keys;
  for (size_t i = 0; i < 3; ++i) {
    const std::string key = VolumeIdentityKey(asDisk0[i].target);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(key, VolumeIdentityKey(asDisk1[i].target)) << "the same partition under another disk number";
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 3u);

  // An image is known by its path, size and time: written again, it is another volume.
  VolumeEntry image;
  ASSERT_EQ(DescribeImageVolume(m_fat16, &image), 0);
  const std::string before = VolumeIdentityKey(image.target);
  EXPECT_EQ(before.rfind("image:", 0), 0u);
  EXPECT_EQ(before, VolumeIdentityKey(image.target));
  const std::string other = dir.path() + "fat16_copy.img";
  testing_support::WriteFileBytes(other, testing_support::ReadFileBytes(m_fat16));
  VolumeEntry otherImage;
  ASSERT_EQ(DescribeImageVolume(other, &otherImage), 0);
  EXPECT_NE(VolumeIdentityKey(otherImage.target), before);
  const std::string otherKey = VolumeIdentityKey(otherImage.target);
  timeval times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(::utimes(other.c_str(), times), 0);
  EXPECT_NE(VolumeIdentityKey(otherImage.target), otherKey);
}

TEST_F(DiskListTest, ResolvingASourceRefusesSpecialFilesWithAClearMessage) {
  testing_support::TempDir dir;
  const std::string fifo = dir.path() + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ResolvedSource resolved;
  std::string error;
  EXPECT_EQ(ResolveSource(fifo, &resolved, &error), platform::kErrorNotSupported);
  EXPECT_NE(error.find("FIFO"), std::string::npos) << error;
  EXPECT_NE(ResolveSource(dir.path(), &resolved, &error), 0);
  EXPECT_NE(error.find("folder"), std::string::npos) << error;
  EXPECT_EQ(ResolveSource("disk:x", &resolved, &error), platform::kStatusInvalidParameter);

  ASSERT_EQ(ResolveSource(m_disk3, &resolved, &error), 0) << error;
  EXPECT_TRUE(resolved.wholeDisk);
  EXPECT_EQ(resolved.volumes.size(), 3u);
  platform::SetDiskTableOverride({});
  ASSERT_EQ(ResolveSource(m_fat16, &resolved, &error), 0) << error;
  EXPECT_FALSE(resolved.wholeDisk);
  ASSERT_EQ(resolved.volumes.size(), 1u);
  EXPECT_TRUE(resolved.volumes[0].target.isImage);
}

TEST(DiskIdentity, PlainFilesAndMissingDevicesTellNothing) {
  EXPECT_EQ(platform::DiskIdentityOf("/no/such/device"), "");
  EXPECT_EQ(platform::DiskIdentityOf(testing_support::FixturePath("README.md")), "");
}

// A read-only loop device over a fixture copy, detached on destruction.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    std::string out;
    if (testing_support::RunCommand("losetup -f --show -r -P '" + image + "' 2>/dev/null", &out) == 0 &&
        out.rfind("/dev/", 0) == 0) {
      m_path = out.substr(0, out.find('\n'));
    }
  }
  ~LoopDevice() {
    if (!m_path.empty()) testing_support::RunCommand("losetup -d '" + m_path + "'", nullptr);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

TEST(DeviceMonitor, StartsStopsAndHearsALoopDeviceArrive) {
  platform::CDeviceMonitor monitor;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<platform::DeviceEvent> events;
  platform::Status s = monitor.Start([&](const platform::DeviceEvent& e) {
    std::lock_guard lock(mutex);
    events.push_back(e);
    arrived.notify_all();
  });
  if (s != platform::kStatusOk) GTEST_SKIP() << "no netlink device events here: " << s;
  EXPECT_GE(monitor.Descriptor(), 0);
  std::string image = testing_support::UnpackedFixture("fat12.img.gz");
  ASSERT_FALSE(image.empty());
  {
    LoopDevice loop(image);
    if (loop.path().empty()) {
      monitor.Stop();
      GTEST_SKIP() << "no loop device can be attached here";
    }
    EXPECT_EQ(platform::DiskIdentityOf(loop.path()), "loop:" + image);
    std::unique_lock lock(mutex);
    // A generous wait: events are delivered by the kernel, not timed by the test.
    arrived.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const auto& e : events) {
        if (e.devicePath == loop.path()) return true;
      }
      return false;
    });
    bool heard = false;
    for (const auto& e : events) heard = heard || (e.devicePath == loop.path() && !e.action.empty());
    if (!heard) {
      lock.unlock();
      monitor.Stop();
      GTEST_SKIP() << "the kernel sent no block event for " << loop.path() << " into this namespace";
    }
  }
  monitor.Stop();
  EXPECT_EQ(monitor.Descriptor(), -1);
}

}  // namespace
}  // namespace storage
