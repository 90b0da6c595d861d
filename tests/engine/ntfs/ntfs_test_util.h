// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the NTFS tests: hand-built file records and images.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ntfs_test {

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8);
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A file record under construction (NTFS 3.1 header, attributes from 0x38).
class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t recordNumber, uint16_t flags = 0, size_t recordBytes = 1024)
      : m_bytes(recordBytes, 0) {
    std::memcpy(m_bytes.data(), "FILE", 4);
    Put16(m_bytes, 0x04, 0x30);
    Put16(m_bytes, 0x06, static_cast<uint16_t>(recordBytes / 512 + 1));
    Put16(m_bytes, 0x14, 0x38);
    Put16(m_bytes, 0x16, flags);
    Put32(m_bytes, 0x1C, static_cast<uint32_t>(recordBytes));
    Put32(m_bytes, 0x2C, recordNumber);
    Put16(m_bytes, 0x30, 0x0001);  // update sequence number
  }

  // Appends raw attribute bytes (their length field is set to their size).
  RecordBuilder& Attribute(std::vector<uint8_t> attr) {
    while (attr.size() % 8 != 0) attr.push_back(0);
    Put32(attr, 4, static_cast<uint32_t>(attr.size()));
    std::memcpy(m_bytes.data() + m_pos, attr.data(), attr.size());
    m_pos += attr.size();
    return *this;
  }

  RecordBuilder& FileName(uint32_t parent, const std::u16string& name, uint8_t nameSpace = 1, int64_t size = 0) {
    std::vector<uint8_t> value(0x42 + name.size() * 2, 0);
    Put64(value, 0x00, parent | (uint64_t{1} << 48));
    Put64(value, 0x08, 0x01D0000000000001ull);
    Put64(value, 0x10, 0x01D0000000000002ull);
    Put64(value, 0x20, 0x01D0000000000003ull);
    Put64(value, 0x30, static_cast<uint64_t>(size));
    value[0x40] = static_cast<uint8_t>(name.size());
    value[0x41] = nameSpace;
    for (size_t i = 0; i < name.size(); ++i) Put16(value, 0x42 + 2 * i, name[i]);
    return Resident(0x30, value);
  }

  RecordBuilder& Resident(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name = u"") {
    const size_t nameOffset = 0x18;
    const size_t valueOffset = (nameOffset + name.size() * 2 + 7) / 8 * 8;
    std::vector<uint8_t> a(valueOffset + value.size(), 0);
    Put32(a, 0, type);
    a[9] = static_cast<uint8_t>(name.size());
    Put16(a, 0x0A, static_cast<uint16_t>(nameOffset));
    Put32(a, 0x10, static_cast<uint32_t>(value.size()));
    Put16(a, 0x14, static_cast<uint16_t>(valueOffset));
    for (size_t i = 0; i < name.size(); ++i) Put16(a, nameOffset + 2 * i, name[i]);
    if (!value.empty()) std::memcpy(a.data() + valueOffset, value.data(), value.size());
    return Attribute(a);
  }

  // Non-resident attribute with the given encoded run list.
  RecordBuilder& NonResident(uint32_t type, const std::vector<uint8_t>& runList, int64_t realSize,
                             int64_t lowestVcn = 0, int64_t highestVcn = 0, int64_t allocated = 0) {
    std::vector<uint8_t> a(0x40 + runList.size() + 1, 0);
    Put32(a, 0, type);
    a[8] = 1;
    Put64(a, 0x10, static_cast<uint64_t>(lowestVcn));
    Put64(a, 0x18, static_cast<uint64_t>(highestVcn));
    Put16(a, 0x20, 0x40);
    Put64(a, 0x28, static_cast<uint64_t>(allocated));
    Put64(a, 0x30, static_cast<uint64_t>(realSize));
    Put64(a, 0x38, static_cast<uint64_t>(realSize));
    std::memcpy(a.data() + 0x40, runList.data(), runList.size());
    return Attribute(a);
  }

  RecordBuilder& BaseReference(uint64_t base) {
    Put64(m_bytes, 0x20, base);
    return *this;
  }

  // Ends the attributes, sets bytes in use and protects the stride tails.
  std::vector<uint8_t> Build() {
    std::vector<uint8_t> out = m_bytes;
    Put32(out, m_pos, 0xFFFFFFFF);
    Put32(out, 0x18, static_cast<uint32_t>(m_pos + 8));
    const size_t strides = out.size() / 512;
    for (size_t i = 1; i <= strides; ++i) {
      const size_t tail = i * 512 - 2;
      out[0x30 + 2 * i] = out[tail];
      out[0x30 + 2 * i + 1] = out[tail + 1];
      Put16(out, tail, 0x0001);
    }
    return out;
  }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0x38;
};

// Attribute-list entry (0x20 bytes) for an unnamed attribute.
inline std::vector<uint8_t> ListEntry(uint32_t type, uint64_t startVcn, uint64_t record) {
  std::vector<uint8_t> e(0x20, 0);
  Put32(e, 0, type);
  Put16(e, 4, 0x20);
  e[7] = 0x1A;
  Put64(e, 8, startVcn);
  Put64(e, 0x10, record | (uint64_t{1} << 48));
  return e;
}

// A 512-byte NTFS boot sector.
inline std::vector<uint8_t> BootSector(uint16_t bytesPerSector, uint8_t sectorsPerCluster, uint64_t totalSectors,
                                       uint64_t mftCluster, int8_t clustersPerRecord = -10) {
  std::vector<uint8_t> b(512, 0);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  std::memcpy(b.data() + 3, "NTFS    ", 8);
  Put16(b, 0x0B, bytesPerSector);
  b[0x0D] = sectorsPerCluster;
  b[0x15] = 0xF8;
  Put64(b, 0x28, totalSectors);
  Put64(b, 0x30, mftCluster);
  Put64(b, 0x38, mftCluster + 2);
  b[0x40] = static_cast<uint8_t>(clustersPerRecord);
  b[0x44] = 1;
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  return b;
}

}  // namespace ntfs_test

namespace ntfs_test {

// A small NTFS-like volume in memory: 512-byte sectors and clusters, the MFT
// (64 records of 1024 bytes) at cluster 64, record 0 mapping it.
class ImageBuilder {
 public:
  static constexpr uint64_t kMftCluster = 64;
  static constexpr uint32_t kRecords = 64;

  explicit ImageBuilder(size_t sectors = 8192) : m_bytes(sectors * 512, 0) {
    auto boot = BootSector(512, 1, sectors, kMftCluster);
    std::memcpy(m_bytes.data(), boot.data(), boot.size());
    // Run list: 128 clusters at cluster 64.
    PutRecord(0, RecordBuilder(0, 1)
                     .FileName(5, u"$MFT")
                     .NonResident(0x80, {0x11, 0x80, 0x40}, kRecords * 1024, 0, 127, kRecords * 1024)
                     .Build());
  }

  ImageBuilder& PutRecord(uint32_t number, const std::vector<uint8_t>& record) {
    std::memcpy(m_bytes.data() + kMftCluster * 512 + size_t{number} * 1024, record.data(), record.size());
    return *this;
  }
  ImageBuilder& PutBytes(uint64_t offset, const std::vector<uint8_t>& data) {
    std::memcpy(m_bytes.data() + offset, data.data(), data.size());
    return *this;
  }
  ImageBuilder& Fill(uint64_t offset, size_t length, uint8_t value) {
    std::memset(m_bytes.data() + offset, value, length);
    return *this;
  }
  static uint64_t RecordOffset(uint32_t number) { return kMftCluster * 512 + uint64_t{number} * 1024; }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

}  // namespace ntfs_test
