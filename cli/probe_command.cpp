// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <vector>

#include "cli/commands.h"
#include "engine/boot_sector_tests.h"
#include "platform/disk_table.h"
#include "platform/error.h"
#include "storage/sector_source.h"
#include "storage/source_resolver.h"

namespace cli {
namespace {

using storage::ResolvedSource;
using storage::VolumeTarget;

// Reads the first 16 KiB of a volume and names its file system.
std::string ClassifyTarget(const VolumeTarget& target) {
  storage::SectorSource source;
  platform::Status s = target.isImage ? storage::OpenImageSource(source, target.imagePath)
                                      : storage::OpenDiskSource(source, target.diskNumber);
  if (s != platform::kStatusOk) return "unreadable (" + platform::ErrorText(s) + ")";
  const uint32_t sectorSize = target.isImage ? 512 : target.sectorSize;
  std::vector<uint8_t> head(engine::kClassifyBytes);
  uint32_t got = 0;
  s = storage::ReadSectors(static_cast<uint32_t>(head.size() / sectorSize), source, head.data(),
                           target.isImage ? 0 : target.startSector, sectorSize, &got);
  if (s == platform::kStatusInvalidParameter || got * sectorSize < head.size()) {
    return "unknown (shorter than 16 KiB)";
  }
  if (s != platform::kStatusOk) return "unreadable (" + platform::ErrorText(s) + ")";
  return std::string(engine::VolumeKindName(engine::ClassifyVolume(head.data(), head.size())));
}

}  // namespace

int RunProbe(const std::string& sourceText) {
  ResolvedSource resolved;
  std::string error;
  platform::Status s = storage::ResolveSource(sourceText, &resolved, &error);
  if (s == platform::kStatusInvalidParameter) {
    std::fprintf(stderr, "quellmoor: %s\n", error.c_str());
    return kExitUsage;
  }
  if (s != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor: %s\n", error.c_str());
    return kExitFailed;
  }
  if (resolved.byteLength == 0) {
    std::fprintf(stderr, "quellmoor: '%s' is empty\n", sourceText.c_str());
    return kExitFailed;
  }
  std::printf("source: %s (%llu bytes)\n", sourceText.c_str(), static_cast<unsigned long long>(resolved.byteLength));
  if (!resolved.tableType.empty()) {
    std::printf("partition table: %s\n", resolved.tableType == "dos"   ? "MBR"
                                         : resolved.tableType == "gpt" ? "GPT"
                                                                       : resolved.tableType.c_str());
    std::printf("%-4s %-12s %-12s %-38s %s\n", "#", "start", "sectors", "type", "file system");
  }
  for (const auto& entry : resolved.volumes) {
    const VolumeTarget& v = entry.target;
    std::string kind = ClassifyTarget(v);
    if (v.isImage) {
      std::printf("volume: whole file, %llu sectors of %u bytes, file system: %s\n",
                  static_cast<unsigned long long>(v.sectorCount), v.sectorSize, kind.c_str());
    } else {
      std::printf("%-4d %-12llu %-12llu %-38s %s\n", v.partitionNumber, static_cast<unsigned long long>(v.startSector),
                  static_cast<unsigned long long>(v.sectorCount), v.partitionType.c_str(), kind.c_str());
    }
  }
  if (!resolved.tableType.empty() && resolved.volumes.empty()) std::printf("(no partitions)\n");
  return kExitOk;
}

int RunDisks() {
  auto disks = platform::ListDisks();
  if (disks.empty()) {
    std::printf("no disks found\n");
    return kExitOk;
  }
  std::printf("%-5s %-24s %-16s %-7s %-9s %s\n", "disk", "path", "bytes", "sector", "removable", "model");
  for (size_t i = 0; i < disks.size(); ++i) {
    const auto& d = disks[i];
    std::printf("%-5zu %-24s %-16llu %-7u %-9s %s\n", i, d.path.c_str(), static_cast<unsigned long long>(d.byteLength),
                d.sectorSize, d.removable ? "yes" : "no", d.model.c_str());
  }
  return kExitOk;
}

}  // namespace cli
