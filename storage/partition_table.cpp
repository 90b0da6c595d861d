// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/partition_table.h"

#include <array>
#include <cstdio>
#include <set>

#include "platform/error.h"
#include "storage/bytes.h"
#include "storage/image_container.h"

namespace storage {
namespace {

// MBR and EBR: four 16-byte entries from byte 446, 0x55 0xAA at 510. An
// entry: 0 boot flag (0x00 or 0x80), 4 type, 8 first sector (LE32, from the
// disk start in an MBR, from the EBR in an EBR's data entry, from the
// extended partition's start in an EBR's link entry), 12 sector count (LE32).
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntryBytes = 16;
constexpr size_t kMbrSignatureOffset = 510;
constexpr uint8_t kProtectiveType = 0xEE;
constexpr int kMaxEbrLinks = 128;
constexpr int32_t kFirstLogicalNumber = 5;

// GPT header (LBA 1, the backup in the last sector): 0 "EFI PART", 12 header
// size, 16 CRC32 of the header (taken with this field zero), 24 its own LBA,
// 40 first usable LBA, 48 last usable LBA, 72 entries LBA, 80 entry count,
// 84 entry size, 88 CRC32 of the entry array. An entry: 0 type GUID, 32 first
// LBA, 40 last LBA (inclusive).
constexpr char kGptSignature[] = "EFI PART";
constexpr size_t kGptHeaderSizeOffset = 12;
constexpr size_t kGptHeaderCrcOffset = 16;
constexpr size_t kGptMyLbaOffset = 24;
constexpr size_t kGptFirstUsableOffset = 40;
constexpr size_t kGptLastUsableOffset = 48;
constexpr size_t kGptEntriesLbaOffset = 72;
constexpr size_t kGptEntryCountOffset = 80;
constexpr size_t kGptEntrySizeOffset = 84;
constexpr size_t kGptEntriesCrcOffset = 88;
constexpr uint32_t kGptMinHeaderBytes = 92;
constexpr uint32_t kGptMinEntryBytes = 128;
constexpr uint32_t kGptMaxEntryBytes = 4096;
constexpr uint64_t kGptMaxArrayBytes = 4u << 20;

struct MbrEntry {
  uint8_t bootFlag;
  uint8_t type;
  uint64_t start;
  uint64_t count;
};

MbrEntry EntryAt(std::span<const uint8_t> sector, int index) {
  const size_t at = kMbrEntriesOffset + static_cast<size_t>(index) * kMbrEntryBytes;
  return {sector[at], sector[at + 4], LoadLe32(sector, at + 8), LoadLe32(sector, at + 12)};
}

bool HasBootSignature(std::span<const uint8_t> sector) {
  return sector.size() >= 512 && sector[kMbrSignatureOffset] == 0x55 && sector[kMbrSignatureOffset + 1] == 0xAA;
}

bool IsExtendedType(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

// A FAT, NTFS or exFAT boot sector also ends in 0x55 0xAA; its code and BPB
// lie where an MBR keeps its entries.
bool IsVolumeBootSector(std::span<const uint8_t> sector) {
  if (BytesEqual(sector, 3, "NTFS    ", 8) || BytesEqual(sector, 3, "EXFAT   ", 8)) return true;
  const bool jump = (sector[0] == 0xEB && sector[2] == 0x90) || sector[0] == 0xE9;
  const uint16_t bytesPerSector = LoadLe16(sector, 11);
  const uint8_t sectorsPerCluster = sector[13];
  const uint16_t reservedSectors = LoadLe16(sector, 14);
  const uint8_t fatCount = sector[16];
  const uint8_t media = sector[21];
  return jump &&
         (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
         sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && reservedSectors != 0 &&
         (fatCount == 1 || fatCount == 2) && (media == 0xF0 || media >= 0xF8);
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

// CRC-32 (IEEE 802.3, reflected), as GPT uses it: Crc32(bytes), or
// ~Crc32Add(Crc32Add(0xFFFFFFFF, part1), part2) over several parts.
uint32_t Crc32Add(uint32_t state, std::span<const uint8_t> bytes) {
  static constexpr std::array<uint32_t, 256> kTable = MakeCrcTable();
  for (uint8_t b : bytes) state = kTable[(state ^ b) & 0xFF] ^ (state >> 8);
  return state;
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
  return ~Crc32Add(0xFFFFFFFFu, bytes);
}

std::string GuidText(std::span<const uint8_t> g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", LoadLe32(g, 0), LoadLe16(g, 4),
                LoadLe16(g, 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

class TableReader {
 public:
  TableReader(SectorSource& source, uint32_t sectorSize) : m_source(source), m_sectorSize(sectorSize) {}

  Status Read(std::vector<platform::PartitionInfo>* partitions, std::string* tableType);

 private:
  // Reads count sectors at lba; 87 for sectors past the media.
  Status ReadAt(uint64_t lba, uint64_t count, std::vector<uint8_t>* bytes) {
    if (lba > m_source.totalSectors || count > m_source.totalSectors - lba || count > kGptMaxArrayBytes) {
      return platform::kStatusInvalidParameter;
    }
    bytes->assign(static_cast<size_t>(count) * m_sectorSize, 0);
    uint32_t got = 0;
    return ReadSectors(static_cast<uint32_t>(count), m_source, bytes->data(), lba, m_sectorSize, &got);
  }
  void Add(int32_t number, uint64_t start, uint64_t count, std::string type) {
    platform::PartitionInfo info;
    info.number = number;
    info.startSector = start;
    info.sectorCount = count;
    info.type = std::move(type);
    m_partitions.push_back(std::move(info));
  }
  static std::string MbrTypeText(uint8_t type) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", type);
    return hex;
  }
  Status ReadLogicals(uint64_t extStart, uint64_t extCount, int32_t* nextNumber);
  bool ReadGpt(uint64_t headerLba);

  SectorSource& m_source;
  uint32_t m_sectorSize;
  std::vector<platform::PartitionInfo> m_partitions;
};

Status TableReader::ReadLogicals(uint64_t extStart, uint64_t extCount, int32_t* nextNumber) {
  std::set<uint64_t> visited;
  uint64_t ebr = extStart;
  std::vector<uint8_t> sector;
  for (int link = 0; link < kMaxEbrLinks && ebr < m_source.totalSectors && visited.insert(ebr).second; ++link) {
    if (Status s = ReadAt(ebr, 1, &sector); s != platform::kStatusOk) return s;
    if (!HasBootSignature(sector)) break;
    for (int i = 0; i < 4; ++i) {
      MbrEntry e = EntryAt(sector, i);
      if (e.count == 0 || IsExtendedType(e.type)) continue;
      const uint64_t start = ebr + e.start;
      // Entries 3 and 4 are rarely used: take them only inside the extended partition.
      if (i >= 2 && (start < extStart || start + e.count > extStart + extCount)) continue;
      bool known = false;
      for (const auto& p : m_partitions) known = known || p.startSector == start;
      if (!known) Add((*nextNumber)++, start, e.count, MbrTypeText(e.type));
    }
    uint64_t next = 0;
    for (int i = 0; i < 4 && next == 0; ++i) {
      MbrEntry e = EntryAt(sector, i);
      if (e.count != 0 && e.start != 0 && IsExtendedType(e.type)) next = extStart + e.start;
    }
    if (next == 0) break;
    ebr = next;
  }
  return platform::kStatusOk;
}

bool TableReader::ReadGpt(uint64_t headerLba) {
  std::vector<uint8_t> header;
  if (ReadAt(headerLba, 1, &header) != platform::kStatusOk || !BytesEqual(header, 0, kGptSignature, 8)) return false;
  const uint32_t headerBytes = LoadLe32(header, kGptHeaderSizeOffset);
  if (headerBytes < kGptMinHeaderBytes || headerBytes > m_sectorSize) return false;
  // The header's CRC is taken over the header with the CRC field as zeros.
  static constexpr uint8_t kZeroCrc[4] = {};
  std::span<const uint8_t> bytes(header.data(), headerBytes);
  uint32_t crc = Crc32Add(0xFFFFFFFFu, bytes.first(kGptHeaderCrcOffset));
  crc = Crc32Add(crc, kZeroCrc);
  crc = ~Crc32Add(crc, bytes.subspan(kGptHeaderCrcOffset + 4));
  if (crc != LoadLe32(header, kGptHeaderCrcOffset) || LoadLe64(header, kGptMyLbaOffset) != headerLba) return false;

  const uint64_t firstUsable = LoadLe64(header, kGptFirstUsableOffset);
  const uint64_t lastUsable = LoadLe64(header, kGptLastUsableOffset);
  const uint64_t entriesLba = LoadLe64(header, kGptEntriesLbaOffset);
  const uint32_t entryCount = LoadLe32(header, kGptEntryCountOffset);
  const uint32_t entryBytes = LoadLe32(header, kGptEntrySizeOffset);
  const uint64_t arrayBytes = static_cast<uint64_t>(entryCount) * entryBytes;
  if (firstUsable > lastUsable || entryBytes < kGptMinEntryBytes || entryBytes > kGptMaxEntryBytes ||
      entryBytes % 8 != 0 || arrayBytes == 0 || arrayBytes > kGptMaxArrayBytes) {
    return false;
  }
  std::vector<uint8_t> entries;
  if (ReadAt(entriesLba, (arrayBytes + m_sectorSize - 1) / m_sectorSize, &entries) != platform::kStatusOk) return false;
  std::span<const uint8_t> array(entries.data(), static_cast<size_t>(arrayBytes));
  if (Crc32(array) != LoadLe32(header, kGptEntriesCrcOffset)) return false;

  static constexpr uint8_t kUnused[16] = {};
  for (uint32_t i = 0; i < entryCount; ++i) {
    std::span<const uint8_t> entry = array.subspan(static_cast<size_t>(i) * entryBytes, entryBytes);
    if (BytesEqual(entry, 0, kUnused, sizeof kUnused)) continue;
    const uint64_t first = LoadLe64(entry, 32), last = LoadLe64(entry, 40);
    if (first > last || first < firstUsable || last > lastUsable) continue;
    Add(static_cast<int32_t>(i + 1), first, last - first + 1, GuidText(entry));
  }
  return true;
}

Status TableReader::Read(std::vector<platform::PartitionInfo>* partitions, std::string* tableType) {
  std::vector<uint8_t> mbr;
  if (m_source.totalSectors == 0) return platform::kStatusOk;
  if (Status s = ReadAt(0, 1, &mbr); s != platform::kStatusOk) return s;
  if (!HasBootSignature(mbr)) return platform::kStatusOk;
  bool protective = false;
  for (int i = 0; i < 4; ++i) {
    MbrEntry e = EntryAt(mbr, i);
    if (e.bootFlag != 0x00 && e.bootFlag != 0x80) return platform::kStatusOk;
    protective = protective || e.type == kProtectiveType;
  }
  if (protective) {
    if (ReadGpt(1) || (m_source.totalSectors > 2 && ReadGpt(m_source.totalSectors - 1))) {
      *tableType = "gpt";
      *partitions = std::move(m_partitions);
    }
    return platform::kStatusOk;
  }
  if (IsVolumeBootSector(mbr)) return platform::kStatusOk;
  *tableType = "dos";
  for (int i = 0; i < 4; ++i) {
    MbrEntry e = EntryAt(mbr, i);
    if (e.count != 0 && !IsExtendedType(e.type)) Add(i + 1, e.start, e.count, MbrTypeText(e.type));
  }
  int32_t nextNumber = kFirstLogicalNumber;
  for (int i = 0; i < 4; ++i) {
    MbrEntry e = EntryAt(mbr, i);
    if (e.count != 0 && e.start != 0 && IsExtendedType(e.type)) {
      if (Status s = ReadLogicals(e.start, e.count, &nextNumber); s != platform::kStatusOk) return s;
    }
  }
  *partitions = std::move(m_partitions);
  return platform::kStatusOk;
}

}  // namespace

Status ReadPartitionTable(SectorSource& source, uint32_t sectorSize, std::vector<platform::PartitionInfo>* partitions,
                          std::string* tableType) {
  partitions->clear();
  tableType->clear();
  if (sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 && sectorSize != 4096) return platform::kStatusOk;
  TableReader reader(source, sectorSize);
  return reader.Read(partitions, tableType);
}

Status ListImagePartitions(const std::string& path, uint32_t sectorSize,
                           std::vector<platform::PartitionInfo>* partitions, std::string* tableType,
                           std::string* errorText) {
  partitions->clear();
  tableType->clear();
  OpenedImage image;
  std::string reason;
  if (Status s = OpenImageDevice(path, &image, &reason); s != platform::kStatusOk) {
    if (errorText != nullptr) *errorText = reason;
    return s;
  }
  if (image.info.kind == ContainerKind::kRaw) {
    image.device.reset();
    return platform::ListPartitions(path, sectorSize, partitions, tableType);
  }
  SectorSource source;
  source.deviceSectorSize = image.info.bytesPerSector;
  source.totalSectors = image.info.mediaBytes / image.info.bytesPerSector;
  source.handle = std::move(image.device);
  Status s = ReadPartitionTable(source, image.info.bytesPerSector, partitions, tableType);
  if (s != platform::kStatusOk && errorText != nullptr) {
    *errorText = source.handle->LastErrorText();
    if (errorText->empty()) *errorText = "'" + path + "': " + platform::ErrorText(s);
  }
  return s;
}

}  // namespace storage
