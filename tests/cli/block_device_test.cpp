// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace {

using testing_support::RunCommand;

// A read-only loop device over a copy of a fixture, detached on destruction.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    std::string out;
    if (RunCommand("losetup -f --show -r -P '" + image + "' 2>/dev/null", &out) == 0 && out.rfind("/dev/", 0) == 0) {
      m_path = out.substr(0, out.find('\n'));
    }
  }
  ~LoopDevice() {
    if (!m_path.empty()) RunCommand("losetup -d '" + m_path + "'", nullptr);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

TEST(BlockDevice, AWholeDiskDeviceIsScannedPartitionByPartition) {
  std::string image = testing_support::UnpackedFixture("disk_mbr.img.gz");
  ASSERT_FALSE(image.empty());
  LoopDevice loop(image);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device can be attached here (needs root and /dev/loop*)";
  testing_support::TempDir work;
  const std::string cli = "QUELLMOOR_DISKS= XDG_DATA_HOME='" + work.path() + "' '" + testing_support::CliPath() + "' ";
  std::string fromDevice, fromImage, err;
  ASSERT_EQ(RunCommand(cli + "scan --json '" + loop.path() + "'", &fromDevice, &err), 0) << err;
  ASSERT_EQ(RunCommand(cli + "scan --json '" + image + "'", &fromImage, &err), 0) << err;
  auto device = nlohmann::json::parse(fromDevice);
  auto file = nlohmann::json::parse(fromImage);
  ASSERT_EQ(device.size(), file.size());
  ASSERT_FALSE(device.empty());
  for (size_t i = 0; i < device.size(); ++i) {
    EXPECT_EQ(device[i]["path"], file[i]["path"]);
    EXPECT_EQ(device[i]["size"], file[i]["size"]);
  }
  // Without an override the disk table holds loop devices that have a backing file.
  std::string disks;
  ASSERT_EQ(RunCommand("env -u QUELLMOOR_DISKS '" + testing_support::CliPath() + "' disks", &disks, &err), 0);
  EXPECT_NE(disks.find(loop.path()), std::string::npos) << disks;
}

}  // namespace
