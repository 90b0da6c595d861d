// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/disk_table.h"
#include "platform/raw_file.h"

namespace platform {
namespace {

std::mutex g_overrideMutex;
std::vector<std::string> g_override;

std::string ReadSysLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  return line;
}

bool IsWholeDiskName(const std::string& name) {
  auto starts = [&](const char* p) { return name.rfind(p, 0) == 0; };
  if (starts("sd") || starts("vd") || starts("xvd") || starts("hd")) return true;
  if (starts("nvme")) return name.find('n', 4) != std::string::npos && name.find('p') == std::string::npos;
  if (starts("mmcblk"))
    return name.find('p') == std::string::npos && name.find("boot") == std::string::npos &&
           name.find("rpmb") == std::string::npos;
  if (starts("loop")) return !ReadSysLine("/sys/block/" + name + "/loop/backing_file").empty();
  return false;
}

DiskInfo DescribeFile(const std::string& path) {
  DiskInfo info;
  info.path = path;
  info.name = std::filesystem::path(path).filename().string();
  RawFile file;
  if (file.Open(path) == kStatusOk) {
    (void)file.Length(&info.byteLength);
    info.sectorSize = file.SectorSize();
  }
  return info;
}

std::vector<std::string> SplitPaths(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(':', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

void SetDiskTableOverride(std::vector<std::string> paths) {
  std::lock_guard lock(g_overrideMutex);
  g_override = std::move(paths);
}

std::vector<DiskInfo> ListDisks() {
  std::vector<std::string> paths;
  {
    std::lock_guard lock(g_overrideMutex);
    paths = g_override;
  }
  if (paths.empty()) {
    if (const char* env = std::getenv("QUELLMOOR_DISKS"); env != nullptr) paths = SplitPaths(env);
  }
  std::vector<DiskInfo> disks;
  if (!paths.empty()) {
    for (const auto& p : paths) disks.push_back(DescribeFile(p));
    return disks;
  }
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/sys/block", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (IsWholeDiskName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::string sys = "/sys/block/" + name;
    DiskInfo info;
    info.path = "/dev/" + name;
    info.name = name;
    info.model = ReadSysLine(sys + "/device/model");
    info.byteLength = std::strtoull(ReadSysLine(sys + "/size").c_str(), nullptr, 10) * 512;
    unsigned long logical = std::strtoul(ReadSysLine(sys + "/queue/logical_block_size").c_str(), nullptr, 10);
    info.sectorSize = logical > 0 ? static_cast<uint32_t>(logical) : 512;
    std::string link = std::filesystem::read_symlink(sys, ec).string();
    info.removable = ReadSysLine(sys + "/removable") == "1" || link.find("/usb") != std::string::npos ||
                     link.find("/mmc") != std::string::npos;
    disks.push_back(info);
  }
  return disks;
}

std::string DiskPath(int32_t diskNumber) {
  auto disks = ListDisks();
  if (diskNumber < 0 || static_cast<size_t>(diskNumber) >= disks.size()) return {};
  return disks[static_cast<size_t>(diskNumber)].path;
}

}  // namespace platform
