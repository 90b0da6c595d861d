// SPDX-License-Identifier: GPL-3.0-or-later
// Jobs on real block devices: loop devices over fixture copies. They need
// root and loop devices, and skip with a message where there are none.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "jobs/data_folder_guard.h"
#include "jobs/image_job.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

namespace fs = std::filesystem;
using testing::MapTexts;
using testing::ScopedDisks;
using testing::ScriptedView;

// A loop device over a file, detached on destruction.
class LoopDevice {
 public:
  LoopDevice(const std::string& image, const std::string& options) {
    std::string out;
    if (testing_support::RunCommand("losetup -f --show " + options + " '" + image + "' 2>/dev/null", &out) == 0 &&
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

// The data folder lies on the very volume being scanned: the results must go
// elsewhere, and the user is told where.
TEST(BlockDeviceJobs, TheDataFolderMovesOffAVolumeBeingScanned) {
  testing_support::TempDir dir;
  const std::string image = dir.path() + "card.img";
  testing_support::WriteFileBytes(image,
                                  testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat16.img.gz")));
  LoopDevice loop(image, "");
  if (loop.path().empty()) GTEST_SKIP() << "no loop device can be attached here (needs root and /dev/loop*)";
  const std::string mount = dir.path() + "mnt";
  fs::create_directories(mount);
  if (::mount(loop.path().c_str(), mount.c_str(), "vfat", MS_NOATIME, nullptr) != 0) {
    GTEST_SKIP() << "the FAT volume cannot be mounted here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount(path.c_str()); }
  } unmount{mount};
  testing_support::ScopedDataHome home;
  ::setenv("XDG_DATA_HOME", (mount + "/data").c_str(), 1);

  storage::VolumeEntry volume;
  ASSERT_EQ(storage::DescribeImageVolume(loop.path(), &volume), 0);
  ScanSourceList sources = MakeScanSources({volume});
  ScriptedView view;
  MapTexts texts(std::map<std::string, std::string>{{"MSG1301", "moved from %s to %s"}});
  CScanJob scan({sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &texts);
  ASSERT_EQ(scan.Start(), 0);
  EXPECT_EQ(scan.Wait(), JobResult::kFinished);
  const std::string moved = platform::DataFolder();
  platform::SetDataFolderOverride("");
  EXPECT_TRUE(view.Noted("moved from " + mount + "/data/Quellmoor/ to "))
      << (view.notes.empty() ? "" : view.notes[0].second);
  EXPECT_EQ(moved.rfind(mount, 0), std::string::npos) << moved;
  EXPECT_FALSE(fs::exists(mount + "/data")) << "something was written onto the volume being recovered";
  EXPECT_EQ(sources[0]->outcome, SourceOutcome::kScanned);
  EXPECT_EQ(sources[0]->scanFolder.rfind(moved, 0), 0u);
}

// A drive with 4096-byte sectors: the table's partition positions (libblkid
// counts 512-byte units) become the drive's own sectors, and the image job
// copies exactly the partition.
TEST(BlockDeviceJobs, APartitionOfA4KSectorDriveIsImagedFromItsOwnSectors) {
  std::string sfdisk;
  if (testing_support::RunCommand("command -v sfdisk", &sfdisk) != 0) GTEST_SKIP() << "sfdisk is not installed";
  testing_support::TempDir dir;
  const auto volumeBytes = testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat12.img.gz"));
  const std::string disk = dir.path() + "4k.img";
  std::vector<uint8_t> bytes(4u << 20, 0);
  std::copy(volumeBytes.begin(), volumeBytes.end(), bytes.begin() + (1u << 20));
  testing_support::WriteFileBytes(disk, bytes);
  LoopDevice loop(disk, "-b 4096");
  if (loop.path().empty()) GTEST_SKIP() << "no loop device with 4096-byte sectors can be attached here";
  // Partition 1 at 4 KiB sector 256 (1 MiB), as long as the FAT12 volume.
  const size_t sectors = volumeBytes.size() / 4096 + 1;
  ASSERT_EQ(testing_support::RunCommand("printf 'label: dos\\nstart=256, size=" + std::to_string(sectors) +
                                            ", type=1\\n' | sfdisk -q --no-reread --no-tell-kernel '" + loop.path() +
                                            "' >/dev/null 2>&1",
                                        nullptr),
            0);
  ScopedDisks disks(loop.path());
  std::vector<storage::VolumeEntry> volumes;
  std::string table;
  ASSERT_EQ(storage::ListDiskVolumes(0, &volumes, &table), 0);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].target.sectorSize, 4096u);
  EXPECT_EQ(volumes[0].target.startSector, 256u);
  EXPECT_EQ(volumes[0].target.sectorCount, sectors);
  EXPECT_EQ(volumes[0].fileSystem, "FAT12");

  ImageJobInput input;
  input.source = {volumes[0].target, false, volumes[0].byteSize};
  input.targetPath = dir.path() + "p1.img";
  ScriptedView view;
  MapTexts texts;
  CImageJob job(std::move(input), view, &texts);
  ASSERT_EQ(job.Start(), 0);
  ASSERT_EQ(job.Wait(), JobResult::kFinished);
  auto copied = testing_support::ReadFileBytes(dir.path() + "p1.img");
  ASSERT_EQ(copied.size(), sectors * 4096);
  EXPECT_TRUE(std::equal(volumeBytes.begin(), volumeBytes.end(), copied.begin()));

  // And the partition scans through the 4K drive like the volume itself.
  testing_support::ScopedDataHome home;
  ScanSourceList sources = MakeScanSources(volumes);
  ScriptedView scanView;
  CScanJob scan({sources, ScanMode::kFast, ReusePolicy::kFresh}, scanView, &texts);
  ASSERT_EQ(scan.Start(), 0);
  EXPECT_EQ(scan.Wait(), JobResult::kFinished);
  EXPECT_EQ(sources[0]->outcome, SourceOutcome::kScanned);
}

}  // namespace
}  // namespace jobs

namespace jobs {
namespace {

// The block device that holds path ("/dev/vda"), or empty (an overlay or tmpfs).
std::string DeviceHolding(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string uevent;
  if (testing_support::RunCommand("cat /sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                      std::to_string(minor(st.st_dev)) + "/uevent 2>/dev/null",
                                  &uevent) != 0) {
    return {};
  }
  const size_t at = uevent.find("DEVNAME=");
  if (at == std::string::npos) return {};
  const std::string device = "/dev/" + uevent.substr(at + 8, uevent.find('\n', at) - at - 8);
  return platform::KindOfPath(device) == platform::PathKind::kBlockDevice ? device : std::string();
}

// Whatever holds the data folder counts as the medium being recovered here:
// the guard must move the data folder elsewhere, private to the user, and
// say from where to where.
TEST(DataFolderGuard, TheDataFolderLeavesTheDriveOfASource) {
  testing_support::ScopedDataHome home;
  const std::string device = DeviceHolding(home.path());
  if (device.empty()) GTEST_SKIP() << "the test folder is on no block device here";
  ScanSourceList sources = MakeScanSources({storage::VolumeEntry{}});
  sources[0]->target.devicePath = device;
  sources[0]->target.diskPath = device;
  EXPECT_TRUE(PathIsOnSource(platform::DataFolder(), *sources[0]));
  std::string from, to;
  ASSERT_EQ(KeepDataFolderOffSources(sources, &from, &to), 0);
  const std::string now = platform::DataFolder();
  platform::SetDataFolderOverride("");
  EXPECT_EQ(from, home.path() + "Quellmoor/");
  EXPECT_EQ(now, to);
  ASSERT_FALSE(to.empty());
  EXPECT_FALSE(PathIsOnSource(to, *sources[0]));
  struct stat st {};
  ASSERT_EQ(::stat(to.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);  // private to the user
  // Off the sources already: nothing moves.
  ScanSourceList elsewhere = MakeScanSources({storage::VolumeEntry{}});
  ASSERT_EQ(KeepDataFolderOffSources(elsewhere, &from, &to), 0);
  EXPECT_TRUE(to.empty());
}

// An image may not be written onto the disk it is made of: not on the
// partition being imaged, nor on another partition of that disk.
TEST(ImageTargetOnSource, AFolderOnTheDiskBeingImagedIsRefused) {
  testing_support::TempDir dir;
  const std::string device = DeviceHolding(dir.path());
  if (device.empty()) GTEST_SKIP() << "the test folder is on no block device here";
  ImageSource wholeDisk;
  wholeDisk.wholeDisk = true;
  wholeDisk.volume.diskPath = device;
  wholeDisk.byteLength = 1 << 20;
  EXPECT_EQ(CheckImageTarget(wholeDisk, dir.path() + "disk.img", false), ImageCheck::kOnSource);
  ImageSource partitionDevice;
  partitionDevice.volume.isImage = true;
  partitionDevice.volume.imagePath = device;
  partitionDevice.byteLength = 1 << 20;
  EXPECT_EQ(CheckImageTarget(partitionDevice, dir.path() + "part.img", false), ImageCheck::kOnSource);
  // Elsewhere (a tmpfs) is fine.
  if (platform::IsDirectory("/dev/shm") && DeviceHolding("/dev/shm").empty()) {
    EXPECT_EQ(CheckImageTarget(wholeDisk, "/dev/shm/quellmoor-test-never-written.img", false), ImageCheck::kOk);
  }
}

}  // namespace
}  // namespace jobs
