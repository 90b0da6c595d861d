// SPDX-License-Identifier: GPL-3.0-or-later
#include <libudev.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "platform/block_device_info.h"

namespace platform {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
};
struct UdevDeviceDeleter {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};

std::string Trimmed(const char* text) {
  if (text == nullptr) return {};
  std::string s = text;
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.pop_back();
  size_t start = s.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : s.substr(start);
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return Trimmed(line.c_str());
}

// The /dev/disk/by-id link that points at the disk node, preferring names
// that carry a serial (ata-, nvme-, usb-, scsi-, mmc-) over wwn- names.
std::string ByIdName(const std::string& diskNode) {
  std::error_code ec;
  std::string best;
  for (auto it = std::filesystem::directory_iterator("/dev/disk/by-id", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code ec2;
    auto target = std::filesystem::canonical(it->path(), ec2);
    if (ec2 || target.string() != diskNode) continue;
    std::string name = it->path().filename().string();
    auto rank = [](const std::string& n) { return std::make_pair(n.rfind("wwn-", 0) == 0 ? 1 : 0, n); };
    if (best.empty() || rank(name) < rank(best)) best = name;
  }
  return best;
}

}  // namespace

std::string DiskIdentityOf(const std::string& devicePath) {
  struct stat st {};
  if (devicePath.empty() || ::stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
  std::unique_ptr<udev, UdevDeleter> context(udev_new());
  if (!context) return {};
  std::unique_ptr<udev_device, UdevDeviceDeleter> device(udev_device_new_from_devnum(context.get(), 'b', st.st_rdev));
  if (!device) return {};
  // A partition answers for its disk. The parent is owned by the child.
  udev_device* disk = device.get();
  if (const char* type = udev_device_get_devtype(disk); type != nullptr && std::string(type) == "partition") {
    udev_device* parent = udev_device_get_parent_with_subsystem_devtype(disk, "block", "disk");
    if (parent != nullptr) disk = parent;
  }
  if (std::string serial = Trimmed(udev_device_get_property_value(disk, "ID_SERIAL")); !serial.empty()) {
    return "serial:" + serial;
  }
  if (std::string wwn = Trimmed(udev_device_get_property_value(disk, "ID_WWN_WITH_EXTENSION")); !wwn.empty()) {
    return "wwn:" + wwn;
  }
  const std::string sysPath = udev_device_get_syspath(disk) != nullptr ? udev_device_get_syspath(disk) : "";
  if (!sysPath.empty()) {
    if (std::string backing = FirstLine(sysPath + "/loop/backing_file"); !backing.empty()) return "loop:" + backing;
    for (const char* attribute : {"/device/serial", "/serial", "/device/wwid", "/wwid"}) {
      if (std::string value = FirstLine(sysPath + attribute); !value.empty()) return "serial:" + value;
    }
  }
  // A USB or SD reader: the serial of the device up the tree.
  for (udev_device* up = udev_device_get_parent(disk); up != nullptr; up = udev_device_get_parent(up)) {
    const char* subsystem = udev_device_get_subsystem(up);
    if (subsystem == nullptr) continue;
    const std::string sub = subsystem;
    if (sub != "usb" && sub != "mmc") continue;
    if (std::string serial = Trimmed(udev_device_get_sysattr_value(up, "serial")); !serial.empty()) {
      return sub + ":" + serial;
    }
  }
  const char* node = udev_device_get_devnode(disk);
  if (node != nullptr) {
    if (std::string name = ByIdName(node); !name.empty()) return "by-id:" + name;
  }
  return {};
}

}  // namespace platform
