// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/file_bytes.h"

#include <algorithm>
#include <cstring>

namespace engine::signatures {
namespace {

constexpr size_t kBlockBytes = 262144;

}  // namespace

FileBytes::FileBytes(storage::SectorSource& source, uint32_t sectorSize, uint64_t fileSize)
    : m_source(source), m_sectorSize(sectorSize), m_size(fileSize) {
  // The block holds whole sectors and at least kMaxSpan bytes past any offset in its first sector.
  const size_t sectors = std::max<size_t>(kBlockBytes / std::max<uint32_t>(sectorSize, 1), 2);
  m_block.resize(sectors * sectorSize + (sectorSize < kMaxSpan ? kMaxSpan : 0));
}

bool FileBytes::Load(uint64_t offset) {
  if (m_sectorSize == 0) return false;
  const uint64_t firstSector = offset / m_sectorSize;
  const uint64_t lastSector = (m_size + m_sectorSize - 1) / m_sectorSize;
  const uint32_t count =
      static_cast<uint32_t>(std::min<uint64_t>(m_block.size() / m_sectorSize, lastSector - firstSector));
  uint32_t read = 0;
  const auto status = storage::ReadSectors(count, m_source, m_block.data(), firstSector, m_sectorSize, &read);
  if (status != 0 || read < count) m_readFailed = true;
  m_start = firstSector * m_sectorSize;
  m_have = static_cast<size_t>(std::min<uint64_t>(uint64_t{read} * m_sectorSize, m_size - m_start));
  return offset < m_start + m_have;
}

const uint8_t* FileBytes::Span(uint64_t offset, size_t maxCount, size_t* got) {
  *got = 0;
  if (offset >= m_size || maxCount == 0) return nullptr;
  maxCount = static_cast<size_t>(std::min<uint64_t>({maxCount, kMaxSpan, m_size - offset}));
  if (offset < m_start || offset + maxCount > m_start + m_have) {
    if (!Load(offset)) return nullptr;
  }
  *got = static_cast<size_t>(std::min<uint64_t>(maxCount, m_start + m_have - offset));
  return m_block.data() + (offset - m_start);
}

const uint8_t* FileBytes::Get(uint64_t offset, size_t count) {
  if (count == 0 || count > kMaxSpan) return nullptr;
  size_t got = 0;
  const uint8_t* bytes = Span(offset, count, &got);
  return got == count ? bytes : nullptr;
}

bool FileBytes::Copy(uint64_t offset, size_t count, uint8_t* out) {
  while (count > 0) {
    size_t got = 0;
    const uint8_t* bytes = Span(offset, count, &got);
    if (bytes == nullptr) return false;
    std::memcpy(out, bytes, got);
    out += got;
    offset += got;
    count -= got;
  }
  return true;
}

}  // namespace engine::signatures
