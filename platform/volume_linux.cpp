// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
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

// Finds the first mount of the device: returns mount point and fs type.
bool FindMount(const std::string& devicePath, std::string* mountPoint, std::string* fsType) {
  struct stat dev {};
  if (devicePath.empty() || ::stat(devicePath.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, majmin, root, point;
    fields >> id >> parent >> majmin >> root >> point;
    unsigned major = 0, minor = 0;
    if (std::sscanf(majmin.c_str(), "%u:%u", &major, &minor) != 2) continue;
    if (makedev(major, minor) != dev.st_rdev) continue;
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

}  // namespace

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
