// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/raw_file.h"
#include "platform/status.h"

namespace storage {

using platform::Status;

// What a cluster of a QCOW2 image's media holds, from its L1 and L2 tables.
enum class QcowClusterState {
  kUnallocated,  // not in this image: the backing file's bytes, or zeros without one
  kZero,         // reads as zeros whatever the backing file holds (version 3 zero flag)
  kData,         // stored in this image, plain or compressed
};

// The header and cluster tables of a QCOW2 image (versions 2 and 3), read
// from the file itself: libqcow decodes the stored clusters, this map says
// which clusters it must not be asked for. Every table offset is checked
// against the file before it is read. Owns its read-only file; one thread.
//
// Header layout (big-endian): 0 magic "QFI\xfb", 4 version, 8 backing file
// name offset (u64), 16 its length (u32), 20 cluster bits, 24 media size
// (u64), 32 encryption method, 36 L1 entry count, 40 L1 table offset (u64);
// version 3 adds 72 incompatible feature bits (u64), 100 header length, 104
// compression type (u8, when the header is longer than 104 bytes).
class QcowClusterMap {
 public:
  // Reads the header of the QCOW image at path. Version 1 images and images
  // whose tables cannot be read are refused with a reason in *errorText (30
  // when damaged, 31 when a feature is not supported). Encrypted images open;
  // EncryptionMethod() tells.
  [[nodiscard]] Status Open(const std::string& path, std::string* errorText);

  // State of the cluster holding media byte mediaOffset, and *clusterEnd, the
  // media offset where that cluster ends. 30 with a reason naming the table
  // and its file offset when a table is damaged. REQUIRES: mediaOffset < MediaBytes().
  [[nodiscard]] Status StateAt(uint64_t mediaOffset, QcowClusterState* state, uint64_t* clusterEnd,
                               std::string* errorText);

  uint32_t Version() const { return m_version; }
  uint64_t MediaBytes() const { return m_mediaBytes; }
  uint32_t ClusterBytes() const { return 1u << m_clusterBits; }
  uint32_t EncryptionMethod() const { return m_encryptionMethod; }
  bool MarkedCorrupt() const { return m_markedCorrupt; }
  // The backing file named in the header, as written there; empty when none.
  const std::string& BackingFileName() const { return m_backingFile; }

 private:
  Status ReadBytes(uint64_t fileOffset, size_t count, std::vector<uint8_t>* bytes) const;
  Status LoadL2Table(uint64_t l2Offset, uint64_t mediaOffset, std::string* errorText);

  platform::RawFile m_file;
  std::string m_path;
  uint64_t m_fileBytes = 0;
  uint32_t m_version = 0;
  uint32_t m_clusterBits = 16;
  uint64_t m_mediaBytes = 0;
  uint32_t m_encryptionMethod = 0;
  uint32_t m_l1Entries = 0;
  uint64_t m_l1Offset = 0;
  bool m_markedCorrupt = false;
  std::string m_backingFile;
  // The last L2 table read, by its file offset (0: none).
  uint64_t m_l2Offset = 0;
  std::vector<uint8_t> m_l2Table;
};

}  // namespace storage
