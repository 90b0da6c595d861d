// SPDX-License-Identifier: GPL-3.0-or-later
// Archives: gz, 7z, zip, rar, cab.
#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/deflate_walk.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint8_t kRarMagic[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
// RAR 1.5-4.x end-of-archive block.
constexpr uint8_t kRarEndBlock[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
constexpr uint8_t kSevenZipMagic[] = {'7', 'z', 0xBC, 0xAF, 0x27};
// In the encoded header at a 7z archive's end: the LZMA coder of the header
// stream (property size 5, first property byte 0x5D), followed by the 4-byte
// dictionary size, the unpack size (0x0C + number), the CRC (0x0A, 0x01 + 4
// bytes) and two end marks.
constexpr uint8_t kSevenZipHeaderCoder[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
constexpr size_t kSevenZipUsualTail = 27;  // with a two-byte unpack size
constexpr uint8_t kSevenZipUnpackSize = 0x0C;
constexpr uint8_t kSevenZipCrc = 0x0A;
// 7z start header: 32 bytes; the next (closing) header's offset after it at 12, its size at 20.
constexpr size_t kSevenZipStartHeaderBytes = 32;
constexpr size_t kSevenZipNextHeaderOffset = 12;
constexpr size_t kSevenZipNextHeaderSize = 20;
// gzip member header flags, and the 8-byte trailer (CRC-32, input size).
constexpr uint8_t kGzipHeaderCrc = 0x02;
constexpr uint8_t kGzipExtra = 0x04;
constexpr uint8_t kGzipName = 0x08;
constexpr uint8_t kGzipComment = 0x10;
constexpr size_t kGzipTextLimit = 4096;
constexpr uint64_t kGzipTrailerBytes = 8;
// CAB header: cabinet size at 8.
constexpr size_t kCabSize = 8;

C RecogniseGz(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || !b.Equals(0, "\x1F\x8B\x08", 3)) return C::kNone;
  const uint8_t flags = b.U8(3);
  const uint8_t extra = b.U8(8);
  const uint8_t system = b.U8(9);
  // Reserved flag bits clear; XFL 0 (the default level), 2 (best) or 4 (fastest).
  if ((flags & 0xE0) != 0) return C::kNone;
  if (extra != 0 && extra != 2 && extra != 4) return C::kNone;
  return system <= 13 || system == 0xFF ? C::kGz : C::kNone;
}

C Recognise7z(CarveContext&, const uint8_t* bytes, size_t length) {
  return ByteView(bytes, length).Equals(0, kSevenZipMagic, sizeof kSevenZipMagic) ? C::k7z : C::kNone;
}

// ODF and EPUB: a stored first member named "mimetype" holds the media type.
C ZipPackageCode(const ByteView& b) {
  constexpr size_t kLocalBytes = 30;
  if (b.U16(8) != 0 || b.U16(26) != 8 || !b.Equals(kLocalBytes, "mimetype", 8)) return C::kZip;
  const size_t content = kLocalBytes + 8 + b.U16(28);
  const size_t bytes = b.U32(18);
  struct Package {
    const char* type;
    C code;
  };
  static constexpr Package kPackages[] = {
      {"application/vnd.oasis.opendocument.text", C::kOdt},
      {"application/vnd.oasis.opendocument.spreadsheet", C::kOds},
      {"application/vnd.oasis.opendocument.presentation", C::kOdp},
      {"application/epub+zip", C::kEpub},
  };
  for (const Package& p : kPackages) {
    const size_t n = std::strlen(p.type);
    if (bytes == n && b.Equals(content, p.type, n)) return p.code;
  }
  return C::kZip;
}

C RecogniseZip(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 48 && b.Equals(0, "PK\x03\x04", 4) ? ZipPackageCode(b) : C::kNone;
}

C RecogniseRar(CarveContext&, const uint8_t* bytes, size_t length) {
  return ByteView(bytes, length).Equals(0, kRarMagic, sizeof kRarMagic) ? C::kRar : C::kNone;
}

C RecogniseCab(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 36 && ByteView(bytes, length).Equals(0, "MSCF", 4) ? C::kCab : C::kNone;
}

// Bytes from the header coder pattern at `at` to the archive's end: the tail
// is walked when it lies in the chunk; otherwise the usual length is assumed.
size_t SevenZipTail(const ByteView& chunk, size_t at) {
  size_t p = at + sizeof kSevenZipHeaderCoder + 4;  // past the dictionary size
  if (chunk.U8(p) != kSevenZipUnpackSize || !chunk.Has(p, 2)) return kSevenZipUsualTail;
  ++p;
  // A 7z number: the count of leading one bits of its first byte is the count of bytes that follow.
  const uint8_t first = chunk.U8(p);
  size_t extra = 0;
  for (uint8_t mask = 0x80; extra < 8 && (first & mask) != 0; mask >>= 1) ++extra;
  p += 1 + extra;
  if (chunk.U8(p) == kSevenZipCrc) {
    if (chunk.U8(p + 1) != 0x01) return kSevenZipUsualTail;  // a per-stream CRC bit field: not walked
    p += 2 + 4;
  }
  if (!chunk.Has(p, 2) || chunk.U8(p) != 0 || chunk.U8(p + 1) != 0) return kSevenZipUsualTail;
  return p + 2 - at;
}

}  // namespace

const Recogniser kGzRecogniser{RecogniseGz, {{{0, 0x1F}}}, 1};
const Recogniser k7zRecogniser{Recognise7z, {{{0, '7'}}}, 1};
const Recogniser kZipRecogniser{RecogniseZip, {{{0, 'P'}}}, 1};
const Recogniser kRarRecogniser{RecogniseRar, {{{0, 'R'}}}, 1};
const Recogniser kCabRecogniser{RecogniseCab, {{{0, 'M'}}}, 1};

uint64_t GzSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  // The member header (extra field, name, comment, header CRC), the deflate
  // stream walked block by block, then the CRC and size trailer.
  FileWindow window(context, bytes, length);
  const ByteView b(bytes, length);
  const uint8_t flags = b.U8(3);
  uint64_t pos = 10;
  bool valid = length >= 10;
  if (valid && (flags & kGzipExtra) != 0) {
    const uint8_t* x = window.Get(pos, 2);
    valid = x != nullptr;
    if (valid) pos += 2 + uint64_t{ByteView(x, 2).U16(0)};
  }
  for (const uint8_t text : {kGzipName, kGzipComment}) {
    if (!valid || (flags & text) == 0) continue;
    size_t got = 0;
    const uint8_t* span = window.Span(pos, kGzipTextLimit, &got);
    const void* zero = span == nullptr ? nullptr : std::memchr(span, 0, got);
    valid = zero != nullptr;
    if (valid) pos += static_cast<size_t>(static_cast<const uint8_t*>(zero) - span) + 1;
  }
  if (valid && (flags & kGzipHeaderCrc) != 0) pos += 2;
  if (valid) {
    const uint64_t end = DeflateStreamEnd(window, pos, k6GiB);
    if (end != 0) return EndWithin(window, end + kGzipTrailerBytes, k6GiB);
  }
  return ReadAheadToNextStart(context, k6GiB);
}

uint64_t ZipSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  return ZipLikeSize(context, bytes, length, k4GiB);
}

uint64_t RarSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  // An archive smaller than one sector ends in the candidate sector.
  const size_t inFirst = FindFirstQualifying(bytes, length, kRarEndBlock, sizeof kRarEndBlock, sectorSize);
  if (inFirst != kNotFound) return inFirst + sizeof kRarEndBlock;
  return ReadAhead(context, k4GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFirstQualifying(chunk, chunkBytes, kRarEndBlock, sizeof kRarEndBlock, sectorSize);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + sizeof kRarEndBlock);
  });
}

uint64_t CabSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < 36) return context.sectorSize;
  FileWindow window(context, bytes, length);
  return EndWithin(window, ByteView(bytes, length).U32(kCabSize), k1GiB);
}

uint64_t SevenZipSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  // The start header states where the closing header lies and how long it is.
  const ByteView b(bytes, length);
  if (length >= kSevenZipStartHeaderBytes) {
    const uint64_t offset = b.U64(kSevenZipNextHeaderOffset);
    const uint64_t size = b.U64(kSevenZipNextHeaderSize);
    FileWindow window(context, bytes, length);
    if (size == 0 || offset > k4GiB || size > k4GiB) return kRejectHit;
    return EndWithin(window, kSevenZipStartHeaderBytes + offset + size, k4GiB);
  }
  // An archive smaller than one sector ends in the candidate sector.
  const size_t inFirst = FindLast(bytes, length, kSevenZipHeaderCoder, sizeof kSevenZipHeaderCoder);
  if (inFirst != kNotFound) return inFirst + SevenZipTail(ByteView(bytes, length), inFirst);
  return ReadAhead(context, k4GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindLast(chunk, chunkBytes, kSevenZipHeaderCoder, sizeof kSevenZipHeaderCoder);
    if (at == kNotFound) return ChunkVerdict::GoOn();
    return ChunkVerdict::EndWithSize(base + at + SevenZipTail(ByteView(chunk, chunkBytes), at));
  });
}

}  // namespace engine::signatures
