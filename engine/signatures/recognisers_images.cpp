// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures: gif, bmp, jpg, png, psd, tif, ico.
#include <algorithm>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint8_t kJpegEnd[] = {0xFF, 0xD9};
constexpr uint8_t kGifTrailer[] = {0x00, 0x3B};
constexpr uint8_t kPngEnd[] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr uint8_t kPngMagic[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// ICO directory: 6-byte header (reserved, type 1, count at 4), then 16-byte
// entries: width, height, colours, reserved (3), ..., image size (8), image offset (12).
constexpr size_t kIcoCount = 4;
constexpr size_t kIcoEntries = 6;
constexpr size_t kIcoEntryBytes = 16;
constexpr size_t kIcoEntryReserved = 3;
constexpr size_t kIcoEntrySize = 8;
constexpr size_t kIcoEntryOffset = 12;

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

C RecogniseGif(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 8 || !b.Equals(0, "GIF", 3)) return C::kNone;
  return IsDigit(b.U8(3)) && IsDigit(b.U8(4)) && b.U8(5) >= 'a' && b.U8(5) <= 'z' ? C::kGif : C::kNone;
}

C RecogniseBmp(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 40 || !(b.Equals(0, "BM", 2) || b.Equals(0, "BA", 2))) return C::kNone;
  return b.U16(6) == 0 && b.U16(8) == 0 && b.U32(14) == 40 ? C::kBmp : C::kNone;
}

C RecogniseJpg(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  if (b.Equals(0, "\xFF\xD8\xFF\xE0", 4) && b.Equals(6, "JFIF", 4)) return C::kJpg;
  if (b.Equals(0, "\xFF\xD8\xFF\xE1", 4) && b.Equals(6, "Exif", 4)) return C::kJpg;
  return C::kNone;
}

C RecognisePng(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 8 && ByteView(bytes, length).Equals(0, kPngMagic, sizeof kPngMagic) ? C::kPng : C::kNone;
}

C RecognisePsd(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 40 && ByteView(bytes, length).Equals(0, "8BPS", 4) ? C::kPsd : C::kNone;
}

C RecogniseTif(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 4) return C::kNone;
  return b.Equals(0, "MM\x00\x2A", 4) || b.Equals(0, "II\x2A\x00", 4) ? C::kTif : C::kNone;
}

C RecogniseIco(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || !b.Equals(0, "\x00\x00\x01\x00", 4)) return C::kNone;
  const size_t count = b.U16(kIcoCount);
  if (count == 0 || kIcoEntries + kIcoEntryBytes * count > length) return C::kNone;
  // Images follow the directory back to back, in directory order.
  uint64_t expected = kIcoEntries + kIcoEntryBytes * count;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = kIcoEntries + kIcoEntryBytes * i;
    if (b.U8(entry + kIcoEntryReserved) != 0 || b.U32(entry + kIcoEntryOffset) != expected) return C::kNone;
    expected += b.U32(entry + kIcoEntrySize);
  }
  return C::kIco;
}

// gif and png: the first qualifying end marker, in the candidate sector or
// else in the read-ahead.
uint64_t SizeByEndMarker(CarveContext& context, const uint8_t* bytes, size_t length, const uint8_t* marker,
                         size_t markerLength) {
  const uint32_t sectorSize = context.sectorSize;
  const size_t first = FindFirstQualifying(bytes, length, marker, markerLength, sectorSize);
  if (first != kNotFound) return first + markerLength;
  return ReadAhead(context, k128MiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFirstQualifying(chunk, chunkBytes, marker, markerLength, sectorSize);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + markerLength);
  });
}

}  // namespace

const Recogniser kGifRecogniser{RecogniseGif, {{{0, 'G'}}}, 1};
const Recogniser kBmpRecogniser{RecogniseBmp, {{{0, 'B'}}}, 1};
const Recogniser kJpgRecogniser{RecogniseJpg, {{{0, 0xFF}}}, 1};
const Recogniser kPngRecogniser{RecognisePng, {{{0, 0x89}}}, 1};
const Recogniser kPsdRecogniser{RecognisePsd, {{{0, '8'}}}, 1};
const Recogniser kTifRecogniser{RecogniseTif, {{{0, 'M'}, {0, 'I'}}}, 2};
const Recogniser kIcoRecogniser{RecogniseIco, {{{0, 0x00}}}, 1};

uint64_t JpgSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  // A picture that ends inside its first sector.
  const size_t first = FindFrom(bytes, length, 0, kJpegEnd, sizeof kJpegEnd);
  if (first != kNotFound && TerminatorQualifies(bytes, length, first + 2, sectorSize)) return first + 2;
  uint64_t candidate = 0;
  uint64_t size = ReadAhead(context, k128MiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFrom(chunk, chunkBytes, 0, kJpegEnd, sizeof kJpegEnd);
    if (at != kNotFound && TerminatorQualifies(chunk, chunkBytes, at + 2, sectorSize)) candidate = base + at + 2;
    return ChunkVerdict::GoOn();
  });
  if (candidate != 0 && candidate < size) size = candidate;
  return size;
}

uint64_t GifSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  return SizeByEndMarker(context, bytes, length, kGifTrailer, sizeof kGifTrailer);
}

uint64_t PngSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  return SizeByEndMarker(context, bytes, length, kPngEnd, sizeof kPngEnd);
}

uint64_t BmpSize(CarveContext&, const uint8_t* bytes, size_t length) {
  if (length < 6) return 0;
  return std::min<uint64_t>(ByteView(bytes, length).U32(2), k128MiB);
}

uint64_t IcoSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  const size_t count = ByteView(bytes, length).U16(kIcoCount);
  if (count == 0) return sectorSize;
  const ByteView directory = CandidateDirectory(context, bytes, length, kIcoEntries + kIcoEntryBytes * count);
  const size_t last = kIcoEntries + kIcoEntryBytes * (count - 1);
  if (!directory.Has(last, kIcoEntryBytes)) return sectorSize;
  return static_cast<uint64_t>(directory.U32(last + kIcoEntryOffset)) + directory.U32(last + kIcoEntrySize);
}

}  // namespace engine::signatures
