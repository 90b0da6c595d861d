// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures: gif, bmp, jpg, png, psd, tif, ico.
#include <algorithm>
#include <string_view>
#include <cstring>
#include <vector>

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

// BMP: file size at 2, pixel data offset at 10, DIB header size at 14.
constexpr size_t kBmpPixelOffset = 10;
constexpr size_t kBmpHeaderSize = 14;
constexpr uint32_t kBmpOtherHeaders[] = {12, 52, 56, 64, 108, 124};

// Structure walks stop after this many steps (segments, chunks, blocks, directories).
constexpr uint32_t kMaxWalkSteps = 1u << 20;

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
  if (b.U16(6) != 0 || b.U16(8) != 0) return C::kNone;
  const uint32_t header = b.U32(kBmpHeaderSize);
  if (header == 40) return C::kBmp;
  // The other header sizes (core, Adobe, OS/2 2.x, v4, v5): one plane, a
  // known bit depth, and pixels after the headers.
  if (std::find(std::begin(kBmpOtherHeaders), std::end(kBmpOtherHeaders), header) == std::end(kBmpOtherHeaders)) {
    return C::kNone;
  }
  const size_t planes = header == 12 ? 22 : 26;
  const uint16_t depth = b.U16(planes + 2);
  const bool knownDepth =
      depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32 || depth == 64;
  return b.U16(planes) == 1 && knownDepth && b.U32(kBmpPixelOffset) >= 14 + header ? C::kBmp : C::kNone;
}

bool IsJpegMarker(uint8_t marker) {
  return marker >= 0xC0 && marker != 0xFF && marker != 0xD8 && marker != 0xD9 && !(marker >= 0xD0 && marker <= 0xD7);
}

C RecogniseJpg(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  if (b.Equals(0, "\xFF\xD8\xFF\xE0", 4) && b.Equals(6, "JFIF", 4)) return C::kJpg;
  if (b.Equals(0, "\xFF\xD8\xFF\xE1", 4) && b.Equals(6, "Exif", 4)) return C::kJpg;
  // Other first segments (stripped or re-saved pictures: DQT, DHT, a frame
  // header, a comment, another APPn): the segment's length must lead to the
  // next marker, or, for an APPn longer than the sector, its identifier must
  // be text ("ICC_PROFILE", "Photoshop 3.0", "Adobe", "http://ns...").
  if (!b.Equals(0, "\xFF\xD8\xFF", 3)) return C::kNone;
  const uint8_t marker = b.U8(3);
  const bool app = marker >= 0xE0 && marker <= 0xEF;
  if (!(app || marker == 0xDB || marker == 0xC4 || marker == 0xC0 || marker == 0xC1 || marker == 0xC2 ||
        marker == 0xFE)) {
    return C::kNone;
  }
  const size_t segment = b.U16Be(4);
  if (segment < 2) return C::kNone;
  const size_t next = 4 + segment;
  if (b.Has(next, 2)) return b.U8(next) == 0xFF && IsJpegMarker(b.U8(next + 1)) ? C::kJpg : C::kNone;
  if (!app || segment < 8) return C::kNone;
  for (size_t i = 6; i < 10; ++i) {
    const uint8_t c = b.U8(i);
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ' ' || c == ':')) return C::kNone;
  }
  return C::kJpg;
}

C RecognisePng(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 8 && ByteView(bytes, length).Equals(0, kPngMagic, sizeof kPngMagic) ? C::kPng : C::kNone;
}

C RecognisePsd(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 40 && ByteView(bytes, length).Equals(0, "8BPS", 4) ? C::kPsd : C::kNone;
}

// Camera RAW files built on TIFF, told apart by their header or by the
// first directory's DNGVersion tag or camera maker (Make, an ASCII value in
// the candidate sector).
C RawTiffKind(const ByteView& b) {
  const bool big = b.U8(0) == 'M';
  auto u16 = [&](size_t at) { return big ? b.U16Be(at) : b.U16(at); };
  auto u32 = [&](size_t at) { return big ? b.U32Be(at) : b.U32(at); };
  if (!big && b.Equals(8, "CR\x02\x00", 4)) return C::kCr2;
  const size_t ifd = u32(4);
  const size_t count = u16(ifd);
  if (ifd < 8 || count == 0 || count > 512 || !b.Has(ifd + 2, count * 12)) return C::kTif;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = ifd + 2 + i * 12;
    const uint16_t tag = u16(entry);
    if (tag == 0xC612) return C::kDng;
    if (tag != 0x010F || u16(entry + 2) != 2) continue;
    const size_t bytes = u32(entry + 4);
    const size_t at = bytes <= 4 ? entry + 8 : u32(entry + 8);
    if (!b.Has(at, std::min<size_t>(bytes, 8))) return C::kTif;
    const std::string_view make(reinterpret_cast<const char*>(b.data() + at), std::min<size_t>(bytes, 8));
    if (make.starts_with("NIKON")) return C::kNef;
    if (make.starts_with("SONY")) return C::kArw;
    if (make.starts_with("PENTAX") || make.starts_with("RICOH")) return C::kPef;
  }
  return C::kTif;
}

C RecogniseTif(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  if (b.Equals(0, "MM\x00\x2A", 4) || b.Equals(0, "II\x2A\x00", 4)) return RawTiffKind(b);
  // Olympus and Panasonic RAW: TIFF with a magic number of their own.
  if (b.Equals(0, "IIRO", 4) || b.Equals(0, "IIRS", 4) || b.Equals(0, "MMOR", 4)) return C::kOrf;
  return b.Equals(0, "IIU\x00", 4) ? C::kRw2 : C::kNone;
}

C RecogniseRaf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 112 && ByteView(bytes, length).Equals(0, "FUJIFILMCCD-RAW ", 16) ? C::kRaf : C::kNone;
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

// The old end-marker rule for JPEG: the first qualifying FF D9 in the
// candidate, else the last chunk's qualifying FF D9 before the next start.
uint64_t JpgSizeByEndMarker(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
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

// JPEG: the markers from the start of image, segment by segment (lengths
// skip embedded thumbnails with their own end marker), through the
// entropy-coded data after each start of scan, to the end-of-image marker.
// The file's end, a value past cap (a length past it), or 0 when the
// structure breaks.
uint64_t JpegEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = 2;
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* m = window.Get(pos, 2);
    if (m == nullptr || m[0] != 0xFF) return 0;
    const uint8_t marker = m[1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xD9) return pos + 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += 2;
      continue;
    }
    if (!IsJpegMarker(marker)) return 0;
    const uint8_t* l = window.Get(pos + 2, 2);
    if (l == nullptr) return 0;
    const uint32_t segment = (uint32_t{l[0]} << 8) | l[1];
    if (segment < 2) return 0;
    pos += 2 + segment;
    if (pos > cap || (window.EndKnown() && pos > window.Available())) return cap + 1;
    if (marker != 0xDA) continue;
    // Entropy-coded data: up to the first FF that is neither stuffing (FF 00), a restart marker nor fill.
    for (;;) {
      size_t got = 0;
      const uint8_t* span = window.Span(pos, FileWindow::kMaxSpan, &got);
      if (span == nullptr) return 0;
      const void* ff = std::memchr(span, 0xFF, got);
      if (ff == nullptr) {
        pos += got;
        if (pos > cap) return 0;
        continue;
      }
      pos += static_cast<size_t>(static_cast<const uint8_t*>(ff) - span);
      const uint8_t* pair = window.Get(pos, 2);
      if (pair == nullptr) return 0;
      const uint8_t next = pair[1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
        pos += 2;
      } else if (next == 0xFF) {
        ++pos;
      } else {
        break;
      }
    }
  }
  return 0;
}

// PNG: length-prefixed chunks from the signature to IEND and its CRC.
uint64_t PngEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = sizeof kPngMagic;
  for (uint32_t step = 0; step < kMaxWalkSteps && pos <= cap; ++step) {
    const uint8_t* h = window.Get(pos, 8);
    if (h == nullptr) return 0;
    const ByteView chunk(h, 8);
    const uint32_t length = chunk.U32Be(0);
    if (length > 0x7FFFFFFF) return 0;
    for (size_t i = 4; i < 8; ++i) {
      const uint8_t c = h[i];
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return 0;
    }
    pos += 12 + uint64_t{length};
    if (chunk.Equals(4, "IEND", 4)) return pos;
  }
  return 0;
}

// GIF data sub-blocks from pos; the offset after the terminating empty block, or 0.
uint64_t SkipGifSubBlocks(FileWindow& window, uint64_t pos, uint64_t cap) {
  for (uint32_t step = 0; step < kMaxWalkSteps && pos <= cap; ++step) {
    const uint8_t* n = window.Get(pos, 1);
    if (n == nullptr) return 0;
    pos += 1 + uint64_t{*n};
    if (*n == 0) return pos;
  }
  return 0;
}

// GIF: screen descriptor and colour table, then extension and image blocks to the trailer.
uint64_t GifEnd(FileWindow& window, uint64_t cap) {
  const uint8_t* h = window.Get(0, 13);
  if (h == nullptr) return 0;
  uint64_t pos = 13;
  if ((h[10] & 0x80) != 0) pos += 3u << ((h[10] & 7) + 1);
  for (uint32_t step = 0; step < kMaxWalkSteps && pos <= cap; ++step) {
    const uint8_t* block = window.Get(pos, 1);
    if (block == nullptr) return 0;
    if (*block == 0x3B) return pos + 1;
    if (*block == 0x21) {
      pos = SkipGifSubBlocks(window, pos + 2, cap);
    } else if (*block == 0x2C) {
      const uint8_t* image = window.Get(pos, 10);
      if (image == nullptr) return 0;
      const uint8_t flags = image[9];
      pos += 10;
      if ((flags & 0x80) != 0) pos += 3u << ((flags & 7) + 1);
      pos = SkipGifSubBlocks(window, pos + 1, cap);  // after the LZW minimum code size
    } else {
      return 0;
    }
    if (pos == 0) return 0;
  }
  return 0;
}

// TIFF: the largest end among the image file directories (the chain and the
// sub-, Exif, GPS and interoperability directories they point to), the
// values they keep outside their entries, and the strips or tiles.
class TiffWalk {
 public:
  TiffWalk(FileWindow& window, bool bigEndian, uint64_t cap) : m_window(window), m_big(bigEndian), m_cap(cap) {}

  // True when a directory, value or strip lies past the cap or the volume.
  bool Overflow() const { return m_overflow; }

  uint64_t Run(uint32_t firstDirectory) {
    std::vector<uint32_t> pending{firstDirectory};
    std::vector<uint32_t> seen;
    while (!pending.empty() && m_ok) {
      const uint32_t directory = pending.back();
      pending.pop_back();
      if (directory == 0 || std::find(seen.begin(), seen.end(), directory) != seen.end()) continue;
      if (seen.size() >= kMaxDirectories) return 0;
      seen.push_back(directory);
      Directory(directory, &pending);
    }
    return m_ok ? m_end : 0;
  }

 private:
  static constexpr size_t kMaxDirectories = 256;
  static constexpr uint32_t kMaxEntries = 4096;
  static constexpr uint32_t kMaxArray = 1u << 20;

  uint32_t U16(const uint8_t* p) const { return m_big ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8); }
  uint32_t U32(const uint8_t* p) const {
    return m_big ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                 : uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
  }
  void Cover(uint64_t end) {
    if (end > m_cap || (m_window.EndKnown() && end > m_window.Available())) m_overflow = true;
    m_end = std::max(m_end, end);
  }
  static uint32_t TypeBytes(uint32_t type) {
    static constexpr uint8_t kBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < std::size(kBytes) ? kBytes[type] : 0;
  }
  // Element i of an entry's SHORT or LONG array; false when it cannot be read.
  bool Element(const uint8_t* entry, uint32_t i, uint32_t* value) {
    const uint32_t type = U16(entry + 2);
    const uint32_t count = U32(entry + 4);
    const uint32_t size = TypeBytes(type);
    if ((type != 3 && type != 4 && type != 13) || i >= count) return false;
    if (uint64_t{size} * count <= 4) {
      *value = size == 2 ? U16(entry + 8 + 2 * i) : U32(entry + 8);
      return true;
    }
    const uint8_t* p = m_window.Get(uint64_t{U32(entry + 8)} + uint64_t{size} * i, size);
    if (p == nullptr) return false;
    *value = size == 2 ? U16(p) : U32(p);
    return true;
  }
  // Offsets and byte counts (strips, tiles, the old-style JPEG thumbnail).
  void Pieces(const uint8_t* offsets, const uint8_t* counts) {
    const uint32_t n = U32(offsets + 4);
    if (n != U32(counts + 4) || n > kMaxArray) {
      m_ok = false;
      return;
    }
    for (uint32_t i = 0; i < n && m_ok; ++i) {
      uint32_t offset = 0;
      uint32_t count = 0;
      if (!Element(offsets, i, &offset) || !Element(counts, i, &count)) {
        m_ok = false;
        return;
      }
      Cover(uint64_t{offset} + count);
    }
  }
  void Directory(uint32_t offset, std::vector<uint32_t>* pending) {
    const uint8_t* head = m_window.Get(offset, 2);
    if (head == nullptr) {
      m_ok = false;
      if (m_window.EndKnown() && offset >= m_window.Available()) m_overflow = true;
      return;
    }
    const uint32_t entries = U16(head);
    if (entries == 0 || entries > kMaxEntries) {
      m_ok = false;
      return;
    }
    const uint64_t tableBytes = 12ull * entries;
    Cover(offset + 2 + tableBytes + 4);
    // Entries are copied out: reading their arrays moves the window.
    std::vector<uint8_t> table(static_cast<size_t>(tableBytes + 4));
    for (uint64_t done = 0; done < table.size();) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(table.size() - done, FileWindow::kMaxSpan));
      const uint8_t* p = m_window.Get(offset + 2 + done, piece);
      if (p == nullptr) {
        m_ok = false;
        return;
      }
      std::memcpy(table.data() + done, p, piece);
      done += piece;
    }
    const uint8_t* stripOffsets = nullptr;
    const uint8_t* stripCounts = nullptr;
    const uint8_t* tileOffsets = nullptr;
    const uint8_t* tileCounts = nullptr;
    const uint8_t* jpegOffset = nullptr;
    const uint8_t* jpegLength = nullptr;
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t* entry = table.data() + 12 * i;
      const uint32_t tag = U16(entry);
      const uint32_t type = U16(entry + 2);
      const uint32_t size = TypeBytes(type);
      if (size == 0) continue;  // unknown type: its value cannot be sized
      const uint64_t bytes = uint64_t{size} * U32(entry + 4);
      if (bytes > 4) Cover(uint64_t{U32(entry + 8)} + bytes);
      if (tag == 273) stripOffsets = entry;
      if (tag == 279) stripCounts = entry;
      if (tag == 324) tileOffsets = entry;
      if (tag == 325) tileCounts = entry;
      if (tag == 513) jpegOffset = entry;
      if (tag == 514) jpegLength = entry;
      if (tag == 330 || tag == 34665 || tag == 34853 || tag == 40965) {
        const uint32_t count = std::min<uint32_t>(U32(entry + 4), 64);
        for (uint32_t k = 0; k < count; ++k) {
          uint32_t sub = 0;
          if (type != 3 && Element(entry, k, &sub)) pending->push_back(sub);
        }
      }
    }
    if (stripOffsets != nullptr && stripCounts != nullptr) Pieces(stripOffsets, stripCounts);
    if (tileOffsets != nullptr && tileCounts != nullptr) Pieces(tileOffsets, tileCounts);
    uint32_t thumbnail = 0;
    uint32_t thumbnailBytes = 0;
    if (jpegOffset != nullptr && jpegLength != nullptr && Element(jpegOffset, 0, &thumbnail) &&
        Element(jpegLength, 0, &thumbnailBytes)) {
      Cover(uint64_t{thumbnail} + thumbnailBytes);
    }
    pending->push_back(U32(table.data() + tableBytes));
  }

  FileWindow& m_window;
  bool m_big;
  uint64_t m_cap;
  uint64_t m_end = 8;
  bool m_ok = true;
  bool m_overflow = false;
};

uint64_t TiffEnd(FileWindow& window, uint64_t cap) {
  const uint8_t* h = window.Get(0, 8);
  if (h == nullptr) return 0;
  const bool big = h[0] == 'M';
  TiffWalk walk(window, big, cap);
  const uint32_t first = big ? (uint32_t{h[4]} << 24) | (uint32_t{h[5]} << 16) | (uint32_t{h[6]} << 8) | h[7]
                             : uint32_t{h[4]} | (uint32_t{h[5]} << 8) | (uint32_t{h[6]} << 16) | (uint32_t{h[7]} << 24);
  if (first < 8) return 0;
  const uint64_t end = walk.Run(first);
  if (walk.Overflow()) return cap + 1;
  return end;
}

// PSD and PSB: the header, the three length-prefixed sections, then the
// composite image data (raw, or run-length with its table of row byte counts).
uint64_t PsdEnd(FileWindow& window, uint64_t cap) {
  const uint8_t* h = window.Get(0, 26);
  if (h == nullptr) return 0;
  const ByteView header(h, 26);
  const uint16_t version = header.U16Be(4);
  if (version != 1 && version != 2) return 0;
  const uint64_t channels = header.U16Be(12);
  const uint64_t height = header.U32Be(14);
  const uint64_t width = header.U32Be(18);
  const uint64_t depth = header.U16Be(22);
  if (channels == 0 || channels > 56 || height == 0 || width == 0 || height > (1u << 20) || width > (1u << 20) ||
      !(depth == 1 || depth == 8 || depth == 16 || depth == 32)) {
    return 0;
  }
  uint64_t pos = 26;
  for (int section = 0; section < 3; ++section) {
    const bool wide = version == 2 && section == 2;  // the layer section of a PSB has an 8-byte length
    const uint8_t* l = window.Get(pos, wide ? 8 : 4);
    if (l == nullptr) return 0;
    const ByteView length(l, 8);
    pos += (wide ? 8 + length.U64Be(0) : 4 + uint64_t{length.U32Be(0)});
    if (pos > cap) return cap + 1;
  }
  const uint8_t* c = window.Get(pos, 2);
  if (c == nullptr) return 0;
  const uint16_t compression = ByteView(c, 2).U16Be(0);
  pos += 2;
  const uint64_t rowBytes = (width * depth + 7) / 8;
  if (compression == 0) return pos + channels * height * rowBytes;
  if (compression != 1) return 0;
  const uint64_t rows = channels * height;
  const size_t countBytes = version == 2 ? 4 : 2;
  uint64_t data = 0;
  for (uint64_t row = 0; row < rows; ++row) {
    const uint8_t* count = window.Get(pos + row * countBytes, countBytes);
    if (count == nullptr) return 0;
    const ByteView v(count, countBytes);
    data += countBytes == 4 ? v.U32Be(0) : v.U16Be(0);
  }
  return pos + rows * countBytes + data;
}

}  // namespace

const Recogniser kGifRecogniser{RecogniseGif, {{{0, 'G'}}}, 1};
const Recogniser kBmpRecogniser{RecogniseBmp, {{{0, 'B'}}}, 1};
const Recogniser kJpgRecogniser{RecogniseJpg, {{{0, 0xFF}}}, 1};
const Recogniser kPngRecogniser{RecognisePng, {{{0, 0x89}}}, 1};
const Recogniser kPsdRecogniser{RecognisePsd, {{{0, '8'}}}, 1};
const Recogniser kTifRecogniser{RecogniseTif, {{{0, 'M'}, {0, 'I'}}}, 2};
const Recogniser kRafRecogniser{RecogniseRaf, {{{0, 'F'}}}, 1};
const Recogniser kIcoRecogniser{RecogniseIco, {{{0, 0x00}}}, 1};

uint64_t JpgSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = JpegEnd(window, k128MiB);
  if (end != 0) return EndWithin(window, end, k128MiB);
  return JpgSizeByEndMarker(context, bytes, length);
}

uint64_t GifSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = GifEnd(window, k128MiB);
  if (end != 0) return EndWithin(window, end, k128MiB);
  return SizeByEndMarker(context, bytes, length, kGifTrailer, sizeof kGifTrailer);
}

uint64_t PngSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = PngEnd(window, k128MiB);
  if (end != 0) return EndWithin(window, end, k128MiB);
  return SizeByEndMarker(context, bytes, length, kPngEnd, sizeof kPngEnd);
}

uint64_t TifSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = TiffEnd(window, k128MiB);
  if (end != 0) return EndWithin(window, end, k128MiB);
  return ReadAheadToNextStart(context, k128MiB);
}

uint64_t RawTiffSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = TiffEnd(window, k1GiB);
  if (end != 0) return EndWithin(window, end, k1GiB);
  return ReadAheadToNextStart(context, k1GiB);
}

uint64_t RafSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  // The header's big-endian offset and length of the JPEG preview, the CFA header and the CFA data.
  const ByteView b(bytes, length);
  uint64_t end = 0;
  for (const size_t at : {size_t{84}, size_t{92}, size_t{100}}) end = std::max(end, uint64_t{b.U32Be(at)} + b.U32Be(at + 4));
  FileWindow window(context, bytes, length);
  return end <= 112 ? kRejectHit : EndWithin(window, end, k1GiB);
}

uint64_t PsdSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = PsdEnd(window, k4GiB);
  if (end != 0) return EndWithin(window, end, k4GiB);
  return ReadAheadToNextStart(context, k128MiB);
}

uint64_t BmpSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < 6) return 0;
  FileWindow window(context, bytes, length);
  return EndWithin(window, ByteView(bytes, length).U32(2), k128MiB);
}

uint64_t IcoSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  const size_t count = ByteView(bytes, length).U16(kIcoCount);
  if (count == 0) return sectorSize;
  const ByteView directory = CandidateDirectory(context, bytes, length, kIcoEntries + kIcoEntryBytes * count);
  const size_t last = kIcoEntries + kIcoEntryBytes * (count - 1);
  if (!directory.Has(last, kIcoEntryBytes)) return sectorSize;
  const uint64_t end =
      static_cast<uint64_t>(directory.U32(last + kIcoEntryOffset)) + directory.U32(last + kIcoEntrySize);
  FileWindow window(context, bytes, length);
  return EndWithin(window, end, k128MiB);
}

uint64_t WalkJpegEnd(FileWindow& window, uint64_t cap) {
  return JpegEnd(window, cap);
}
uint64_t WalkGifEnd(FileWindow& window, uint64_t cap) {
  return GifEnd(window, cap);
}
uint64_t WalkTiffEnd(FileWindow& window, uint64_t cap) {
  return TiffEnd(window, cap);
}
uint64_t WalkPsdEnd(FileWindow& window, uint64_t cap) {
  return PsdEnd(window, cap);
}

}  // namespace engine::signatures
