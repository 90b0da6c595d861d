// SPDX-License-Identifier: GPL-3.0-or-later
// Kinds measured by walking their own stream: WebP (RIFF size), FLAC
// (metadata blocks, then frames found by their CRC-16), Ogg (pages with
// CRCs to the end-of-stream page; Opus told from Vorbis by the first
// packet), xz (stream footer), bzip2 (bit-aligned end-of-stream marker) and
// zstd (frame header and block sizes).
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint32_t kMaxWalkSteps = 1u << 22;
constexpr uint8_t kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint8_t kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr uint64_t kBzipEndMagic = 0x177245385090ull;
constexpr uint64_t kBzipBlockMagic = 0x314159265359ull;

uint32_t Crc32(const uint8_t* data, size_t count) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// Ogg's CRC-32: polynomial 0x04C11DB7, not reflected, no inversion.
const std::array<uint32_t, 256>& OggCrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) != 0 ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// FLAC's CRC-16: polynomial 0x8005, not reflected.
const std::array<uint16_t, 256>& FlacCrcTable() {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 8;
      for (int k = 0; k < 8; ++k) c = (c & 0x8000u) != 0 ? (c << 1) ^ 0x8005u : c << 1;
      t[i] = static_cast<uint16_t>(c);
    }
    return t;
  }();
  return table;
}

uint8_t FlacCrc8(const uint8_t* data, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

C RecogniseWebp(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 20 || !b.Equals(0, "RIFF", 4) || !b.Equals(8, "WEBPVP8", 7)) return C::kNone;
  const uint8_t last = b.U8(15);
  return last == ' ' || last == 'L' || last == 'X' ? C::kWebp : C::kNone;
}

C RecogniseFlac(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // "fLaC", then the STREAMINFO block (type 0) of 34 bytes.
  return length >= 42 && b.Equals(0, "fLaC", 4) && (b.U8(4) & 0x7F) == 0 && b.U32Be(4) == 34 ? C::kFlac : C::kNone;
}

C RecogniseOgg(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // The first page of a stream: version 0, "beginning of stream" alone, page sequence 0.
  if (length < 64 || !b.Equals(0, "OggS", 4) || b.U8(4) != 0 || b.U8(5) != 0x02 || b.U32(18) != 0) return C::kNone;
  const size_t packet = 27 + static_cast<size_t>(b.U8(26));
  if (b.Equals(packet, "OpusHead", 8)) return C::kOpus;
  return b.Equals(packet, "\x01vorbis", 7) || b.Equals(packet, "\x7F" "FLAC", 5) || b.Equals(packet, "\x80theora", 7) ||
                 b.Equals(packet, "Speex   ", 8)
             ? C::kOgg
             : C::kNone;
}

C RecogniseXz(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // Stream header: magic, flags (a zero byte, then the check type), CRC-32 of the flags.
  return length >= 32 && b.Equals(0, kXzMagic, sizeof kXzMagic) && b.U8(6) == 0 && b.U8(7) < 16 &&
                 b.U32(8) == Crc32(bytes + 6, 2)
             ? C::kXz
             : C::kNone;
}

C RecogniseBz2(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || !b.Equals(0, "BZh", 3) || b.U8(3) < '1' || b.U8(3) > '9') return C::kNone;
  const uint64_t magic = (uint64_t{b.U16Be(4)} << 32) | b.U32Be(6);
  return magic == kBzipBlockMagic || magic == kBzipEndMagic ? C::kBz2 : C::kNone;
}

C RecogniseZstd(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // The frame header descriptor's reserved bit (3) is zero.
  return length >= 16 && b.Equals(0, kZstdMagic, sizeof kZstdMagic) && (b.U8(4) & 0x08) == 0 ? C::kZst : C::kNone;
}

bool FlacFrameHeader(FileWindow& window, uint64_t at, uint32_t* blockSamples = nullptr);

// FLAC: the end of the frame starting at `at`: the first offset whose two
// bytes equal the CRC-16 of the frame so far and that the next frame's
// header follows; for the last frame, the first such offset after which its
// sector holds only zeros (or that ends a sector), else the first match.
// 0 when none within maxFrame.
uint64_t FlacFrameEnd(FileWindow& window, uint64_t at, uint64_t maxFrame, bool last, uint32_t sectorSize) {
  const auto& table = FlacCrcTable();
  uint16_t crc = 0;
  uint64_t firstMatch = 0;
  for (uint64_t p = at; p < at + maxFrame; ++p) {
    const uint8_t* f = window.Get(p, 1);
    if (f == nullptr) break;
    const uint8_t value = *f;
    if (p >= at + 6) {
      const uint8_t* footer = window.Get(p, 2);
      if (footer != nullptr && ByteView(footer, 2).U16Be(0) == crc) {
        const uint64_t end = p + 2;
        if (!last && FlacFrameHeader(window, end)) return end;
        if (last) {
          if (firstMatch == 0) firstMatch = end;
          bool zeros = true;
          for (uint64_t z = end; zeros && z % sectorSize != 0; ++z) {
            const uint8_t* b = window.Get(z, 1);
            zeros = b == nullptr || *b == 0;
          }
          if (zeros) return end;
        }
      }
    }
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ value) & 0xFF]);
  }
  return firstMatch;
}

// A FLAC frame header at `at`: sync, then its CRC-8 over the header bytes;
// *blockSamples (when given) receives the samples the frame holds.
bool FlacFrameHeader(FileWindow& window, uint64_t at, uint32_t* blockSamples) {
  const uint8_t* h = window.Get(at, 16);
  if (h == nullptr || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return false;
  size_t n = 4;
  // The coded frame or sample number: UTF-8-like, 1 to 7 bytes.
  const uint8_t first = h[4];
  size_t extra = 0;
  if ((first & 0x80) == 0) extra = 0;
  else if ((first & 0xE0) == 0xC0) extra = 1;
  else if ((first & 0xF0) == 0xE0) extra = 2;
  else if ((first & 0xF8) == 0xF0) extra = 3;
  else if ((first & 0xFC) == 0xF8) extra = 4;
  else if ((first & 0xFE) == 0xFC) extra = 5;
  else if (first == 0xFE) extra = 6;
  else return false;
  n += 1 + extra;
  const uint8_t blockCode = h[2] >> 4, rateCode = h[2] & 0x0F;
  if (blockCode == 0 || rateCode == 15) return false;
  uint32_t samples = 0;
  if (blockCode == 1) samples = 192;
  else if (blockCode <= 5) samples = 576u << (blockCode - 2);
  else if (blockCode == 6) samples = h[n] + 1u;
  else if (blockCode == 7) samples = ((uint32_t{h[n]} << 8) | h[n + 1]) + 1u;
  else samples = 256u << (blockCode - 8);
  if (blockCode == 6) n += 1;
  if (blockCode == 7) n += 2;
  if (rateCode == 12) n += 1;
  if (rateCode == 13 || rateCode == 14) n += 2;
  if (n >= 16 || FlacCrc8(h, n) != h[n]) return false;
  if (blockSamples != nullptr) *blockSamples = samples;
  return true;
}

}  // namespace

const Recogniser kWebpRecogniser{RecogniseWebp, {{{0, 'R'}}}, 1};
const Recogniser kFlacRecogniser{RecogniseFlac, {{{0, 'f'}}}, 1};
const Recogniser kOggRecogniser{RecogniseOgg, {{{0, 'O'}}}, 1};
const Recogniser kXzRecogniser{RecogniseXz, {{{0, 0xFD}}}, 1};
const Recogniser kBz2Recogniser{RecogniseBz2, {{{0, 'B'}}}, 1};
const Recogniser kZstdRecogniser{RecogniseZstd, {{{0, 0x28}}}, 1};

uint64_t WebpSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t riff = ByteView(bytes, length).U32(4);
  return EndWithin(window, 8 + riff + (riff & 1), k4GiB);
}

uint64_t FlacSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const ByteView info(bytes, length);
  const uint64_t maxFrame = info.U32Be(8 + 7) >> 8;  // STREAMINFO: 24-bit maximum frame size (0: unknown)
  const uint64_t totalSamples = ((uint64_t{info.U8(8 + 13)} & 0x0F) << 32) | info.U32Be(8 + 14);
  const uint64_t frameLimit = maxFrame != 0 ? maxFrame + 16 : (1u << 24);
  // Metadata blocks: a header byte (last-block flag, type) and a 24-bit length.
  uint64_t pos = 4;
  for (uint32_t step = 0;; ++step) {
    const uint8_t* h = window.Get(pos, 4);
    if (h == nullptr || step > 1024) return kRejectHit;
    const bool lastBlock = (h[0] & 0x80) != 0;
    pos += 4 + (ByteView(h, 4).U32Be(0) & 0xFFFFFF);
    if (lastBlock) break;
  }
  // Frames, each ended by its CRC-16 and followed by the next frame's header.
  uint64_t samples = 0;
  uint32_t blockSamples = 0;
  for (uint32_t step = 0; step < kMaxWalkSteps && FlacFrameHeader(window, pos, &blockSamples); ++step) {
    samples += blockSamples;
    const bool last = totalSamples != 0 && samples >= totalSamples;
    const uint64_t end = FlacFrameEnd(window, pos, frameLimit, last, context.sectorSize);
    if (end == 0) break;
    pos = end;
    if (last) return EndWithin(window, pos, k2GiB);
  }
  context.carvedDamaged = true;  // the frames stop before the stream's samples are all there
  return EndWithin(window, pos, k2GiB);
}

uint64_t OggSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const auto& table = OggCrcTable();
  const uint32_t serial = ByteView(bytes, length).U32(14);
  uint64_t pos = 0;
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* h = window.Get(pos, 27);
    if (h == nullptr || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) break;
    const uint8_t flags = h[5];
    const uint32_t stored = ByteView(h, 27).U32(22);
    const size_t segments = h[26];
    const uint8_t* lacing = window.Get(pos + 27, std::max<size_t>(segments, 1));
    if (lacing == nullptr) break;
    uint64_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += lacing[i];
    const uint64_t pageBytes = 27 + segments + body;
    // The page's CRC over its bytes with the CRC field taken as zero.
    uint32_t crc = 0;
    bool readable = true;
    for (uint64_t at = 0; at < pageBytes && readable;) {
      size_t got = 0;
      const uint8_t* span = window.Span(pos + at, static_cast<size_t>(std::min<uint64_t>(pageBytes - at, 4096)), &got);
      if (span == nullptr) {
        readable = false;
        break;
      }
      for (size_t i = 0; i < got; ++i) {
        const uint8_t v = at + i >= 22 && at + i < 26 ? 0 : span[i];
        crc = (crc << 8) ^ table[((crc >> 24) ^ v) & 0xFF];
      }
      at += got;
    }
    if (!readable || crc != stored) break;
    pos += pageBytes;
    if ((flags & 0x04) != 0 && ByteView(h, 27).U32(14) == serial) return EndWithin(window, pos, k2GiB);
  }
  context.carvedDamaged = true;  // no end-of-stream page: the stream is cut
  return pos == 0 ? kRejectHit : EndWithin(window, pos, k2GiB);
}

uint64_t XzSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint16_t flags = ByteView(bytes, length).U16(6);
  FileWindow window(context, bytes, length);
  // The stream footer: CRC-32 of the next 6 bytes, backward size, the header's flags, "YZ"; it ends
  // on a multiple of four bytes.
  auto footerAt = [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) -> uint64_t {
    for (size_t at = FindFrom(chunk, chunkBytes, 0, "YZ", 2); at != kNotFound;
         at = FindFrom(chunk, chunkBytes, at + 1, "YZ", 2)) {
      const uint64_t end = base + at + 2;
      if (end % 4 != 0 || end < 24) continue;
      const uint8_t* f = window.Get(end - 12, 12);
      if (f != nullptr && ByteView(f, 12).U16(8) == flags && ByteView(f, 12).U32(0) == Crc32(f + 4, 6)) return end;
    }
    return 0;
  };
  if (const uint64_t end = footerAt(bytes, length, 0); end != 0) return end;
  return ReadAhead(context, k4GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const uint64_t end = footerAt(chunk, chunkBytes, base);
    return end == 0 ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(end);
  });
}

uint64_t Bz2Size(CarveContext& context, const uint8_t* bytes, size_t length) {
  // The end-of-stream marker (48 bits) and the stream CRC (32 bits), at any bit; padded to a byte.
  uint64_t shift = 0;
  uint64_t bits = 0;
  auto scan = [&](const uint8_t* chunk, size_t chunkBytes) -> uint64_t {
    for (size_t i = 0; i < chunkBytes; ++i) {
      for (int k = 7; k >= 0; --k) {
        shift = (shift << 1) | ((chunk[i] >> k) & 1);
        ++bits;
        if (bits >= 48 && (shift & 0xFFFFFFFFFFFFull) == kBzipEndMagic) return (bits + 32 + 7) / 8;
      }
    }
    return 0;
  };
  if (const uint64_t end = scan(bytes, length); end != 0) return end;
  return ReadAhead(context, k4GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t) {
    const uint64_t end = scan(chunk, chunkBytes);
    return end == 0 ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(end);
  });
}

uint64_t ZstdSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const ByteView b(bytes, length);
  const uint8_t descriptor = b.U8(4);
  const bool single = (descriptor & 0x20) != 0;
  static constexpr uint8_t kDictionaryBytes[] = {0, 1, 2, 4};
  static constexpr uint8_t kContentSizeBytes[] = {0, 2, 4, 8};
  const uint8_t sizeFlag = descriptor >> 6;
  uint64_t pos = 5 + (single ? 0 : 1) + kDictionaryBytes[descriptor & 3] +
                 (sizeFlag == 0 && single ? 1 : kContentSizeBytes[sizeFlag]);
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* h = window.Get(pos, 3);
    if (h == nullptr) return kRejectHit;
    const uint32_t header = h[0] | (h[1] << 8) | (h[2] << 16);
    const uint32_t type = (header >> 1) & 3;
    const uint32_t size = header >> 3;
    if (type == 3 || size > (128u << 10)) return kRejectHit;
    pos += 3 + (type == 1 ? 1 : size);
    if ((header & 1) != 0) return EndWithin(window, pos + ((descriptor & 0x04) != 0 ? 4 : 0), k4GiB);
  }
  return kRejectHit;
}

}  // namespace engine::signatures
