// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/qcow_cluster_map.h"

#include <cstdio>

#include "platform/error.h"
#include "storage/bytes.h"

namespace storage {
namespace {

constexpr uint8_t kMagic[] = {'Q', 'F', 'I', 0xFB};
constexpr size_t kVersionOffset = 4;
constexpr size_t kBackingNameOffset = 8;
constexpr size_t kBackingNameLength = 16;
constexpr size_t kClusterBitsOffset = 20;
constexpr size_t kMediaSizeOffset = 24;
constexpr size_t kEncryptionOffset = 32;
constexpr size_t kL1EntriesOffset = 36;
constexpr size_t kL1TableOffset = 40;
constexpr size_t kVersion2HeaderBytes = 72;
constexpr size_t kIncompatibleFeaturesOffset = 72;
constexpr size_t kHeaderLengthOffset = 100;
constexpr size_t kCompressionTypeOffset = 104;
constexpr size_t kVersion3HeaderBytes = 104;

// Incompatible feature bits of version 3.
constexpr uint64_t kFeatureDirty = 1ull << 0;
constexpr uint64_t kFeatureCorrupt = 1ull << 1;
constexpr uint64_t kFeatureExternalData = 1ull << 2;
constexpr uint64_t kFeatureCompressionType = 1ull << 3;
constexpr uint64_t kFeatureExtendedL2 = 1ull << 4;

// Table entries: host offset in bits 9-55; an L2 entry's bit 62 marks a
// compressed cluster and (version 3) bit 0 a cluster that reads as zeros.
constexpr uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
constexpr uint64_t kCompressedFlag = 1ull << 62;
constexpr uint64_t kZeroFlag = 1ull;

constexpr uint32_t kMinClusterBits = 9;   // 512 bytes
constexpr uint32_t kMaxClusterBits = 21;  // 2 MiB
constexpr uint32_t kMaxBackingNameBytes = 1023;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

Status QcowClusterMap::ReadBytes(uint64_t fileOffset, size_t count, std::vector<uint8_t>* bytes) const {
  bytes->resize(count);
  size_t done = 0;
  while (done < count) {
    size_t got = 0;
    if (Status s = m_file.ReadAt(fileOffset + done, bytes->data() + done, count - done, &got);
        s != platform::kStatusOk) {
      return s;
    }
    if (got == 0) return platform::kStatusReadFault;
    done += got;
  }
  return platform::kStatusOk;
}

Status QcowClusterMap::Open(const std::string& path, std::string* errorText) {
  m_path = path;
  if (Status s = m_file.Open(path); s != platform::kStatusOk) {
    *errorText = "cannot open '" + path + "': " + platform::ErrorText(s);
    return s;
  }
  if (Status s = m_file.Length(&m_fileBytes); s != platform::kStatusOk) {
    *errorText = "cannot tell the length of '" + path + "': " + platform::ErrorText(s);
    return s;
  }
  std::vector<uint8_t> header;
  if (m_fileBytes < kVersion2HeaderBytes || ReadBytes(0, kVersion2HeaderBytes, &header) != platform::kStatusOk ||
      !BytesEqual(header, 0, kMagic, sizeof kMagic)) {
    *errorText = "'" + path + "': the QCOW header at byte 0 is truncated or unreadable";
    return platform::kStatusReadFault;
  }
  m_version = LoadBe32(header, kVersionOffset);
  if (m_version != 2 && m_version != 3) {
    *errorText = "'" + path + "': QCOW version " + std::to_string(m_version) + " is not supported (only 2 and 3)";
    return platform::kErrorGenFailure;
  }
  m_clusterBits = LoadBe32(header, kClusterBitsOffset);
  m_mediaBytes = LoadBe64(header, kMediaSizeOffset);
  m_encryptionMethod = LoadBe32(header, kEncryptionOffset);
  m_l1Entries = LoadBe32(header, kL1EntriesOffset);
  m_l1Offset = LoadBe64(header, kL1TableOffset);
  if (m_clusterBits < kMinClusterBits || m_clusterBits > kMaxClusterBits) {
    *errorText = "'" + path + "': the QCOW header at byte 0 gives an impossible cluster size (2^" +
                 std::to_string(m_clusterBits) + ")";
    return platform::kStatusReadFault;
  }
  const uint64_t l1Bytes = static_cast<uint64_t>(m_l1Entries) * 8;
  if (m_l1Entries != 0 &&
      (m_l1Offset % ClusterBytes() != 0 || m_l1Offset > m_fileBytes || l1Bytes > m_fileBytes - m_l1Offset)) {
    *errorText = "'" + path + "': the L1 table (" + std::to_string(m_l1Entries) + " entries at file byte " +
                 Hex(m_l1Offset) + ") lies outside the file";
    return platform::kStatusReadFault;
  }
  if (m_version >= 3) {
    std::vector<uint8_t> v3;
    if (m_fileBytes < kVersion3HeaderBytes + 1 || ReadBytes(0, kVersion3HeaderBytes + 1, &v3) != platform::kStatusOk) {
      *errorText = "'" + path + "': the QCOW version 3 header at byte 0 is truncated";
      return platform::kStatusReadFault;
    }
    const uint64_t features = LoadBe64(v3, kIncompatibleFeaturesOffset);
    const uint32_t headerLength = LoadBe32(v3, kHeaderLengthOffset);
    const uint8_t compressionType = headerLength > kCompressionTypeOffset ? v3[kCompressionTypeOffset] : 0;
    const uint64_t known = kFeatureDirty | kFeatureCorrupt | kFeatureCompressionType;
    std::string unsupported;
    if (features & kFeatureExternalData) unsupported = "its data lies in an external data file";
    if (features & kFeatureExtendedL2) unsupported = "it uses extended L2 entries (subclusters)";
    if ((features & kFeatureCompressionType) && compressionType != 0) unsupported = "it is compressed with zstd";
    if (unsupported.empty() && (features & ~known) != 0) unsupported = "it uses unknown incompatible features";
    if (!unsupported.empty()) {
      *errorText = "'" + path + "' cannot be read: " + unsupported;
      return platform::kErrorGenFailure;
    }
    m_markedCorrupt = (features & kFeatureCorrupt) != 0;
  }
  const uint64_t nameOffset = LoadBe64(header, kBackingNameOffset);
  const uint32_t nameBytes = LoadBe32(header, kBackingNameLength);
  if (nameOffset != 0 && nameBytes != 0) {
    std::vector<uint8_t> name;
    if (nameBytes > kMaxBackingNameBytes || nameOffset > m_fileBytes || nameBytes > m_fileBytes - nameOffset ||
        ReadBytes(nameOffset, nameBytes, &name) != platform::kStatusOk) {
      *errorText = "'" + path + "': the backing file name at byte " + Hex(nameOffset) + " is damaged";
      return platform::kStatusReadFault;
    }
    m_backingFile.assign(name.begin(), name.end());
  }
  return platform::kStatusOk;
}

Status QcowClusterMap::LoadL2Table(uint64_t l2Offset, uint64_t mediaOffset, std::string* errorText) {
  if (l2Offset == m_l2Offset) return platform::kStatusOk;
  if (l2Offset % ClusterBytes() != 0 || l2Offset > m_fileBytes || ClusterBytes() > m_fileBytes - l2Offset) {
    *errorText = "the L1 table of '" + m_path + "' sends media offset " + std::to_string(mediaOffset) +
                 " to an L2 table at file byte " + Hex(l2Offset) + ", outside the file";
    return platform::kStatusReadFault;
  }
  if (Status s = ReadBytes(l2Offset, ClusterBytes(), &m_l2Table); s != platform::kStatusOk) {
    m_l2Offset = 0;
    *errorText =
        "cannot read the L2 table at file byte " + Hex(l2Offset) + " of '" + m_path + "': " + platform::ErrorText(s);
    return platform::kStatusReadFault;
  }
  m_l2Offset = l2Offset;
  return platform::kStatusOk;
}

Status QcowClusterMap::StateAt(uint64_t mediaOffset, QcowClusterState* state, uint64_t* clusterEnd,
                               std::string* errorText) {
  const uint64_t cluster = mediaOffset >> m_clusterBits;
  const uint32_t l2Bits = m_clusterBits - 3;  // 8-byte entries in one cluster
  const uint64_t l1Index = cluster >> l2Bits;
  const uint64_t l2Index = cluster & ((1ull << l2Bits) - 1);
  *clusterEnd = (cluster + 1) << m_clusterBits;
  *state = QcowClusterState::kUnallocated;
  if (l1Index >= m_l1Entries) return platform::kStatusOk;

  std::vector<uint8_t> entryBytes;
  const uint64_t l1EntryOffset = m_l1Offset + l1Index * 8;
  if (Status s = ReadBytes(l1EntryOffset, 8, &entryBytes); s != platform::kStatusOk) {
    *errorText = "cannot read the L1 table at file byte " + Hex(l1EntryOffset) + " of '" + m_path + "'";
    return platform::kStatusReadFault;
  }
  const uint64_t l2Offset = LoadBe64(entryBytes, 0) & kOffsetMask;
  if (l2Offset == 0) return platform::kStatusOk;
  if (Status s = LoadL2Table(l2Offset, mediaOffset, errorText); s != platform::kStatusOk) return s;

  const uint64_t entry = LoadBe64(m_l2Table, static_cast<size_t>(l2Index * 8));
  if (entry & kCompressedFlag) {
    *state = QcowClusterState::kData;
  } else if (m_version >= 3 && (entry & kZeroFlag)) {
    *state = QcowClusterState::kZero;
  } else if ((entry & kOffsetMask) != 0) {
    *state = QcowClusterState::kData;
  }
  return platform::kStatusOk;
}

}  // namespace storage
