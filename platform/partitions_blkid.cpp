// SPDX-License-Identifier: GPL-3.0-or-later
#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/error.h"
#include "platform/folders.h"
#include "platform/partitions.h"

namespace platform {
namespace {

struct ProbeDeleter {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

std::string PartitionNode(const std::string& diskPath, int number) {
  if (diskPath.rfind("/dev/", 0) != 0) return {};
  bool endsInDigit = !diskPath.empty() && diskPath.back() >= '0' && diskPath.back() <= '9';
  std::string node = diskPath + (endsInDigit ? "p" : "") + std::to_string(number);
  return PathExists(node) ? node : std::string();
}

}  // namespace

Status ListPartitions(const std::string& diskPath, uint32_t sectorSize, std::vector<PartitionInfo>* partitions,
                      std::string* tableType) {
  partitions->clear();
  tableType->clear();
  if (sectorSize == 0) sectorSize = 512;
  FdCloser fd{::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) return LastError();
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  if (!probe) return kStatusOutOfMemory;
  if (blkid_probe_set_device(probe.get(), fd.fd, 0, 0) != 0) return kErrorGenFailure;
  if (blkid_probe_set_sectorsize(probe.get(), sectorSize) != 0) return kErrorGenFailure;
  blkid_probe_enable_superblocks(probe.get(), 0);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  if (list == nullptr) return kStatusOk;  // no partition table
  if (blkid_parttable table = blkid_partlist_get_table(list); table != nullptr) {
    const char* type = blkid_parttable_get_type(table);
    *tableType = type != nullptr ? type : "";
  }
  int count = blkid_partlist_numof_partitions(list);
  for (int i = 0; i < count; ++i) {
    blkid_partition part = blkid_partlist_get_partition(list, i);
    if (part == nullptr || blkid_partition_is_extended(part)) continue;
    // libblkid counts in 512-byte units whatever the sector size.
    uint64_t startBytes = static_cast<uint64_t>(blkid_partition_get_start(part)) * 512;
    uint64_t sizeBytes = static_cast<uint64_t>(blkid_partition_get_size(part)) * 512;
    PartitionInfo info;
    info.number = blkid_partition_get_partno(part);
    info.startSector = startBytes / sectorSize;
    info.sectorCount = sizeBytes / sectorSize;
    if (const char* typeString = blkid_partition_get_type_string(part); typeString != nullptr) {
      info.type = typeString;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", blkid_partition_get_type(part) & 0xFF);
      info.type = hex;
    }
    info.devicePath = PartitionNode(diskPath, info.number);
    if (const char* uuid = blkid_partition_get_uuid(part); uuid != nullptr) info.uuid = uuid;
    partitions->push_back(info);
  }
  return kStatusOk;
}

Status ProbeFileSystem(const std::string& path, uint64_t byteOffset, uint64_t byteLength, FileSystemInfo* info) {
  *info = FileSystemInfo{};
  FdCloser fd{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (fd.fd < 0) return LastError();
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return kErrorNotSupported;
  if (byteOffset > static_cast<uint64_t>(INT64_MAX) || byteLength > static_cast<uint64_t>(INT64_MAX)) {
    return kStatusInvalidParameter;
  }
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  if (!probe) return kStatusOutOfMemory;
  if (blkid_probe_set_device(probe.get(), fd.fd, static_cast<blkid_loff_t>(byteOffset),
                             static_cast<blkid_loff_t>(byteLength)) != 0) {
    return kErrorGenFailure;
  }
  blkid_probe_enable_partitions(probe.get(), 0);
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(),
                                    BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
  if (blkid_do_safeprobe(probe.get()) != 0) return kStatusOk;  // nothing, or ambivalent
  auto value = [&](const char* name) {
    const char* data = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe.get(), name, &data, &length) != 0 || data == nullptr) return std::string();
    return std::string(data, strnlen(data, length));
  };
  info->type = value("TYPE");
  info->version = value("VERSION");
  info->label = value("LABEL");
  info->uuid = value("UUID");
  return kStatusOk;
}

}  // namespace platform
