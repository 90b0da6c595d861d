// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/error.h"
#include "platform/raw_file.h"
#include "platform/volume.h"

namespace platform {
namespace {

// Undoes the octal escapes (\040 for a space) of /proc/self/mountinfo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int v = 0;
      bool ok = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        ok = ok && c >= '0' && c <= '7';
        v = v * 8 + (c - '0');
      }
      if (ok) {
        out.push_back(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// Finds the first mount of the device number: returns mount point and fs type.
bool FindMountOfDeviceNumber(dev_t device, std::string* mountPoint, std::string* fsType) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, majmin, root, point;
    fields >> id >> parent >> majmin >> root >> point;
    unsigned major = 0, minor = 0;
    if (std::sscanf(majmin.c_str(), "%u:%u", &major, &minor) != 2) continue;
    if (makedev(major, minor) != device) continue;
    std::string word;
    while (fields >> word && word != "-") {
    }
    std::string type;
    fields >> type;
    *mountPoint = Unescape(point);
    *fsType = type;
    return true;
  }
  return false;
}

bool FindMount(const std::string& devicePath, std::string* mountPoint, std::string* fsType) {
  struct stat dev {};
  if (devicePath.empty() || ::stat(devicePath.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
  return FindMountOfDeviceNumber(dev.st_rdev, mountPoint, fsType);
}

// The sysfs folder of a block device number, links resolved; empty when none.
std::string SysfsFolderOf(dev_t device) {
  std::error_code ec;
  const std::string link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  auto resolved = std::filesystem::canonical(link, ec);
  return ec ? std::string() : resolved.string();
}

// The whole disks (sysfs folders) that carry a block device: its own disk
// for a partition, the disks below a mapped device, itself otherwise.
void CollectDisks(const std::string& sysFolder, int depth, std::set<std::string>* disks) {
  if (sysFolder.empty() || depth > 8) return;
  std::error_code ec;
  if (std::filesystem::exists(sysFolder + "/partition", ec)) {
    disks->insert(std::filesystem::path(sysFolder).parent_path().string());
    return;
  }
  bool anySlave = false;
  for (auto it = std::filesystem::directory_iterator(sysFolder + "/slaves", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code ec2;
    auto slave = std::filesystem::canonical(it->path(), ec2);
    if (!ec2) {
      anySlave = true;
      CollectDisks(slave.string(), depth + 1, disks);
    }
  }
  if (!anySlave) disks->insert(sysFolder);
}

}  // namespace

bool FolderIsOnDisk(const std::string& folder, const std::string& diskPath) {
  struct stat f {
  }, d{};
  if (::stat(folder.c_str(), &f) != 0 || ::stat(diskPath.c_str(), &d) != 0 || !S_ISBLK(d.st_mode)) return false;
  if (f.st_dev == d.st_rdev) return true;
  std::set<std::string> disks;
  CollectDisks(SysfsFolderOf(f.st_dev), 0, &disks);
  std::set<std::string> target;
  CollectDisks(SysfsFolderOf(d.st_rdev), 0, &target);
  for (const auto& t : target) {
    if (disks.count(t) != 0) return true;
  }
  return false;
}

std::string FileSystemNameOf(const std::string& folder) {
  struct stat f {};
  if (::stat(folder.c_str(), &f) != 0) return {};
  std::string point, type;
  if (!FindMountOfDeviceNumber(f.st_dev, &point, &type)) return {};
  if (type == "vfat") return "FAT32";
  if (type == "msdos") return "FAT";
  if (type == "exfat") return "exFAT";
  if (type == "ntfs" || type == "ntfs3") return "NTFS";
  std::string upper = type;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return upper;
}

std::string MountPointOf(const std::string& devicePath) {
  std::string point, type;
  return FindMount(devicePath, &point, &type) ? point : std::string();
}

std::string MountedFileSystemOf(const std::string& devicePath) {
  std::string point, type;
  return FindMount(devicePath, &point, &type) ? type : std::string();
}

void FlushVolumeDevice(const std::string& devicePath) {
  std::string point = MountPointOf(devicePath);
  if (!point.empty()) {
    int fd = ::open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      (void)::syncfs(fd);
      ::close(fd);
    }
  }
  RawFile device;
  if (device.Open(devicePath) == kStatusOk) device.FlushDeviceBuffers();
}

Status FreeBytes(const std::string& folder, uint64_t* bytes) {
  *bytes = 0;
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return LastError();
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return kStatusOk;
}

bool FolderIsOnDevice(const std::string& folder, const std::string& devicePath) {
  struct stat f {
  }, d{};
  if (::stat(folder.c_str(), &f) != 0 || ::stat(devicePath.c_str(), &d) != 0) return false;
  return S_ISBLK(d.st_mode) && f.st_dev == d.st_rdev;
}

}  // namespace platform
