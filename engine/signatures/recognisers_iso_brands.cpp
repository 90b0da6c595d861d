// SPDX-License-Identifier: GPL-3.0-or-later
// ISO base media files told apart by their file-type box's brands: HEIF
// (HEIC) and AVIF still images, M4A audio and M4V video; the still images
// measured by their top-level boxes (no movie box: meta and mdat).
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint32_t kMaxTopLevelBoxes = 1u << 16;

bool BrandIs(const ByteView& b, size_t at, const char* brand) {
  return b.Equals(at, brand, 4);
}

// True when brand is the major brand or one of the compatible brands of the
// file-type box at the start of b (size boxBytes).
bool HasBrand(const ByteView& b, size_t boxBytes, const char* brand) {
  if (BrandIs(b, 8, brand)) return true;
  for (size_t at = 16; at + 4 <= boxBytes && at + 4 <= b.size(); at += 4) {
    if (BrandIs(b, at, brand)) return true;
  }
  return false;
}

// Top-level boxes of a HEIF image: anything but these ends the file.
bool IsImageTopLevelBox(const uint8_t* type) {
  static constexpr const char* kTypes[] = {"meta", "mdat", "free", "skip", "uuid", "idat", "moov", "moof", "mfra"};
  for (const char* known : kTypes) {
    if (std::memcmp(type, known, 4) == 0) return true;
  }
  return false;
}

}  // namespace

FileTypeCode IsoBrandCode(const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || !b.Equals(4, "ftyp", 4)) return C::kNone;
  const size_t box = b.U32Be(0);
  if (box < 16 || box > 1024) return C::kNone;
  if (BrandIs(b, 8, "avif") || BrandIs(b, 8, "avis")) return C::kAvif;
  for (const char* heic : {"heic", "heix", "heim", "heis", "hevc", "hevx", "msf1"}) {
    if (BrandIs(b, 8, heic)) return C::kHeic;
  }
  if (BrandIs(b, 8, "mif1")) return HasBrand(b, box, "avif") ? C::kAvif : C::kHeic;
  if (BrandIs(b, 8, "crx ")) return C::kCr3;
  for (const char* audio : {"M4A ", "M4B ", "M4P "}) {
    if (BrandIs(b, 8, audio)) return C::kM4a;
  }
  for (const char* video : {"M4V ", "M4VH", "M4VP"}) {
    if (BrandIs(b, 8, video)) return C::kM4v;
  }
  return C::kNone;
}

uint64_t IsoImageEnd(FileWindow& window, uint64_t cap) {
  const uint8_t* f = window.Get(0, 8);
  if (f == nullptr) return 0;
  uint64_t pos = ByteView(f, 8).U32Be(0);
  bool meta = false;
  for (uint32_t step = 0; step < kMaxTopLevelBoxes; ++step) {
    const uint8_t* h = window.Get(pos, 8);
    if (h == nullptr || !IsImageTopLevelBox(h + 4)) break;
    const ByteView box(h, 8);
    uint64_t size = box.U32Be(0);
    if (size == 1) {
      const uint8_t* large = window.Get(pos + 8, 8);
      if (large == nullptr) return 0;
      size = ByteView(large, 8).U64Be(0);
      if (size < 16) return 0;
    } else if (size < 8) {
      return 0;  // size 0 (to the end of the file) tells no end here
    }
    if (box.Equals(4, "meta", 4)) meta = true;
    if (size > cap || pos + size > cap) return cap + 1;
    pos += size;
  }
  return meta ? pos : 0;
}

uint64_t HeifSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = IsoImageEnd(window, k1GiB);
  if (end == 0) return kRejectHit;
  return EndWithin(window, end, k1GiB);
}

}  // namespace engine::signatures
