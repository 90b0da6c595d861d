// SPDX-License-Identifier: GPL-3.0-or-later
// Reads arbitrary bytes as a disk's partition table (MBR with its EBR chain,
// GPT with its backup) at 512- and 4096-byte sectors, and as the head and
// tail of an image container.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/image_container.h"
#include "storage/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(data, data + size);
  for (uint32_t sectorSize : {512u, 4096u}) {
    disk.resize(std::max<size_t>(disk.size() / sectorSize, 2) * sectorSize, 0);
    storage::SectorSource source;
    storage::OpenMemorySource(source, disk);
    source.totalSectors = disk.size() / sectorSize;
    std::vector<platform::PartitionInfo> partitions;
    std::string type;
    (void)storage::ReadPartitionTable(source, sectorSize, &partitions, &type);
  }
  const size_t probe = std::min<size_t>(size, storage::kContainerProbeBytes);
  (void)storage::DetectContainer({data, probe}, {data + size - probe, probe});
  return 0;
}
