// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "engine/byte_view.h"
#include "engine/signatures/structure_checks.h"

namespace engine::signatures {
namespace {

using Verdict = StructureVerdict;

constexpr uint32_t kMaxMembers = 65535;
constexpr size_t kEndRecordBytes = 22;
constexpr size_t kCentralBytes = 46;  // "PK\1\2" ... name, extra, comment follow
constexpr size_t kLocalBytes = 30;    // "PK\3\4" ... name, extra follow
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint16_t kEncrypted = 1;  // general-purpose flag bit 0

// CRC-32 of the stored bytes [from, from + count).
bool StoredCrc(FileBytes& bytes, uint64_t from, uint64_t count, uint32_t* crc) {
  uLong c = crc32(0, nullptr, 0);
  while (count > 0) {
    size_t got = 0;
    const uint8_t* span = bytes.Span(from, static_cast<size_t>(std::min<uint64_t>(count, FileBytes::kMaxSpan)), &got);
    if (span == nullptr) return false;
    c = crc32(c, span, static_cast<uInt>(got));
    from += got;
    count -= got;
  }
  *crc = static_cast<uint32_t>(c);
  return true;
}

// Inflates the raw deflate stream [from, from + count): it must end exactly
// at its last byte, giving `size` bytes whose CRC-32 is crc.
bool InflatesTo(FileBytes& bytes, uint64_t from, uint64_t count, uint64_t size, uint32_t crc,
                std::vector<uint8_t>* out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  uLong c = crc32(0, nullptr, 0);
  uint64_t produced = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    if (z.avail_in == 0) {
      if (count == 0) break;
      size_t got = 0;
      const uint8_t* span = bytes.Span(from, static_cast<size_t>(std::min<uint64_t>(count, FileBytes::kMaxSpan)), &got);
      if (span == nullptr) break;
      z.next_in = const_cast<Bytef*>(span);
      z.avail_in = static_cast<uInt>(got);
      from += got;
      count -= got;
    }
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    status = inflate(&z, Z_NO_FLUSH);
    const size_t made = out->size() - z.avail_out;
    c = crc32(c, out->data(), static_cast<uInt>(made));
    produced += made;
    if (produced > size) break;
  }
  const bool whole = status == Z_STREAM_END && z.avail_in == 0 && count == 0;
  inflateEnd(&z);
  return whole && produced == size && static_cast<uint32_t>(c) == crc;
}

}  // namespace

StructureVerdict CheckZipMembers(FileBytes& bytes) {
  const uint64_t fileSize = bytes.Size();
  if (fileSize < kEndRecordBytes) return Verdict::kBroken;
  // The end record lies in the last 64 KiB + 22 bytes (its comment is at most 65,535 bytes).
  const uint64_t lowest = fileSize > 65535 + kEndRecordBytes ? fileSize - 65535 - kEndRecordBytes : 0;
  uint64_t eocd = 0;
  bool found = false;
  for (uint64_t at = fileSize - kEndRecordBytes + 1; at-- > lowest && !found;) {
    const uint8_t* sig = bytes.Get(at, 4);
    if (sig != nullptr && std::memcmp(sig, "PK\x05\x06", 4) == 0) {
      eocd = at;
      found = true;
    }
  }
  if (!found) return Verdict::kBroken;
  const uint8_t* e = bytes.Get(eocd, kEndRecordBytes);
  if (e == nullptr) return Verdict::kBroken;
  const ByteView end(e, kEndRecordBytes);
  const uint32_t members = end.U16(10);
  const uint64_t cdSize = end.U32(12);
  const uint64_t cdOffset = end.U32(16);
  if (cdOffset == 0xFFFFFFFFu || members == 0xFFFF) return Verdict::kNoCheck;  // ZIP64
  if (cdOffset + cdSize > eocd) return Verdict::kBroken;
  std::vector<uint8_t> out(1 << 16);
  bool unchecked = false;
  uint64_t pos = cdOffset;
  for (uint32_t i = 0; i < members && i < kMaxMembers; ++i) {
    const uint8_t* c = bytes.Get(pos, kCentralBytes);
    if (c == nullptr || std::memcmp(c, "PK\x01\x02", 4) != 0) return Verdict::kBroken;
    const ByteView central(c, kCentralBytes);
    const uint16_t flags = central.U16(8);
    const uint16_t method = central.U16(10);
    const uint32_t crc = central.U32(16);
    const uint64_t compressed = central.U32(20);
    const uint64_t size = central.U32(24);
    const size_t nameBytes = central.U16(28);
    const uint64_t entryBytes = kCentralBytes + uint64_t{nameBytes} + central.U16(30) + central.U16(32);
    const uint64_t local = central.U32(42);
    if (compressed == 0xFFFFFFFFu || size == 0xFFFFFFFFu || local == 0xFFFFFFFFu) return Verdict::kNoCheck;
    std::string name;
    if (nameBytes != 0) {
      const uint8_t* n = bytes.Get(pos + kCentralBytes, nameBytes);
      if (n == nullptr) return Verdict::kBroken;
      name.assign(reinterpret_cast<const char*>(n), nameBytes);
    }
    const uint8_t* l = bytes.Get(local, kLocalBytes);
    if (l == nullptr || std::memcmp(l, "PK\x03\x04", 4) != 0) return Verdict::kBroken;
    const ByteView header(l, kLocalBytes);
    if (header.U16(26) != nameBytes) return Verdict::kBroken;
    if (nameBytes != 0) {
      const uint8_t* n = bytes.Get(local + kLocalBytes, nameBytes);
      if (n == nullptr || std::memcmp(n, name.data(), nameBytes) != 0) return Verdict::kBroken;
    }
    const uint64_t data = local + kLocalBytes + nameBytes + header.U16(28);
    if (data + compressed > cdOffset) return Verdict::kBroken;
    if ((flags & kEncrypted) != 0) {
      unchecked = true;
    } else if (method == kDeflated) {
      if (!InflatesTo(bytes, data, compressed, size, crc, &out)) return Verdict::kBroken;
    } else if (method == kStored) {
      uint32_t computed = 0;
      if (compressed != size || !StoredCrc(bytes, data, compressed, &computed) || computed != crc) {
        return Verdict::kBroken;
      }
    } else {
      unchecked = true;
    }
    pos += entryBytes;
  }
  if (pos != cdOffset + cdSize) return Verdict::kBroken;
  return unchecked ? Verdict::kNoCheck : Verdict::kConsistent;
}

}  // namespace engine::signatures
