// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine::ext4 {

// The CRC-32C (Castagnoli, reflected polynomial 0x82F63B78) of bytes,
// continued from crc, the way ext4 and jbd2 compute their metadata
// checksums: no inversion before or after (ext4 starts from ~0 or from a
// seed it derived itself). The iSCSI checksum of bytes is
// ~Crc32c(0xFFFFFFFF, bytes). Pure function; any thread.
// Uses the processor's crc32 instruction where there is one.
uint32_t Crc32c(uint32_t crc, const void* bytes, size_t byteCount);
// The same with tables only (the plain path the fast one is checked against).
uint32_t Crc32cPortable(uint32_t crc, const void* bytes, size_t byteCount);

// Crc32c over a little-endian 32-bit value (inode and group numbers).
uint32_t Crc32cLe32(uint32_t crc, uint32_t value);

// The register advanced over byteCount zero bytes, for one byteCount. The
// register is linear, so Crc32c(crc, bytes, byteCount) equals
// Crc32cShift(byteCount)(crc) ^ Crc32c(0, bytes, byteCount): a block's
// checksum from any start, once its checksum from 0 is known. Built once
// (32 short runs), then a few table look-ups. Plain value.
class Crc32cShift {
 public:
  Crc32cShift() = default;  // byteCount 0: the register unchanged
  explicit Crc32cShift(size_t byteCount);
  uint32_t operator()(uint32_t crc) const;

 private:
  uint32_t m_bits[32] = {};  // the register 1 << b, advanced
  bool m_identity = true;
};

}  // namespace engine::ext4
