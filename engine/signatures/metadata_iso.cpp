// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/byte_view.h"
#include "engine/signatures/metadata_readers.h"

namespace engine::signatures {
namespace {

constexpr uint32_t kMaxBoxes = 4096;
constexpr uint64_t kMaxMetaBytes = 1u << 20;
constexpr uint64_t kMaxMoovBytes = 8u << 20;
constexpr uint64_t kMaxExifBytes = 1u << 20;
constexpr int64_t kSeconds1904To1970 = 2082844800;

struct Box {
  uint64_t payload = 0;  // offset of the payload
  uint64_t end = 0;      // offset after the box
};

// The first top-level box of `type` in the file.
bool TopLevelBox(FileWindow& window, uint64_t fileSize, const char* type, Box* out) {
  uint64_t pos = 0;
  for (uint32_t i = 0; i < kMaxBoxes && pos + 8 <= fileSize; ++i) {
    const uint8_t* h = window.Get(pos, 16);
    if (h == nullptr) h = window.Get(pos, 8);
    if (h == nullptr) return false;
    uint64_t size = ByteView(h, 8).U32Be(0);
    uint64_t header = 8;
    if (size == 1) {
      const uint8_t* large = window.Get(pos + 8, 8);
      if (large == nullptr) return false;
      size = ByteView(large, 8).U64Be(0);
      header = 16;
    } else if (size == 0) {
      size = fileSize - pos;
    }
    if (size < header || size > fileSize - pos) return false;
    if (std::memcmp(h + 4, type, 4) == 0) {
      *out = {pos + header, pos + size};
      return true;
    }
    pos += size;
  }
  return false;
}

// The child box of `type` in view[from, to); false when there is none.
bool ChildBox(const ByteView& view, size_t from, size_t to, const char* type, size_t* payload, size_t* end) {
  size_t pos = from;
  for (uint32_t i = 0; i < kMaxBoxes && pos + 8 <= to; ++i) {
    uint64_t size = view.U32Be(pos);
    size_t header = 8;
    if (size == 1) {
      size = view.U64Be(pos + 8);
      header = 16;
    } else if (size == 0) {
      size = to - pos;
    }
    if (size < header || size > to - pos) return false;
    if (view.Equals(pos + 4, type, 4)) {
      *payload = pos + header;
      *end = pos + static_cast<size_t>(size);
      return true;
    }
    pos += static_cast<size_t>(size);
  }
  return false;
}

uint64_t UnsignedBe(const ByteView& view, size_t at, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v = (v << 8) | view.U8(at + i);
  return v;
}

// meta's item id of the first item of `type` (iinf, infe version 2 or 3).
bool ItemOfType(const ByteView& meta, size_t from, size_t to, const char* type, uint32_t* id) {
  size_t payload = 0, end = 0;
  if (!ChildBox(meta, from, to, "iinf", &payload, &end)) return false;
  const uint8_t version = meta.U8(payload);
  size_t pos = payload + 4 + (version == 0 ? 2 : 4);
  for (uint32_t i = 0; i < kMaxBoxes && pos + 8 <= end; ++i) {
    const uint64_t size = meta.U32Be(pos);
    if (size < 8 || size > end - pos) return false;
    if (meta.Equals(pos + 4, "infe", 4)) {
      const uint8_t v = meta.U8(pos + 8);
      const size_t at = pos + 12;
      if (v == 2 && meta.Equals(at + 4, type, 4)) {
        *id = meta.U16Be(at);
        return true;
      }
      if (v == 3 && meta.Equals(at + 6, type, 4)) {
        *id = meta.U32Be(at);
        return true;
      }
    }
    pos += static_cast<size_t>(size);
  }
  return false;
}

}  // namespace

bool ReadFileBytes(FileWindow& window, uint64_t offset, size_t count, std::vector<uint8_t>* out) {
  out->assign(count, 0);
  size_t done = 0;
  while (done < count) {
    const size_t piece = std::min(count - done, FileWindow::kMaxSpan);
    const uint8_t* bytes = window.Get(offset + done, piece);
    if (bytes == nullptr) return false;
    std::memcpy(out->data() + done, bytes, piece);
    done += piece;
  }
  return true;
}

bool HeifExifItem(FileWindow& window, uint64_t fileSize, std::vector<uint8_t>* tiff) {
  Box metaBox;
  if (!TopLevelBox(window, fileSize, "meta", &metaBox) || metaBox.end - metaBox.payload > kMaxMetaBytes) return false;
  std::vector<uint8_t> meta;
  if (!ReadFileBytes(window, metaBox.payload, static_cast<size_t>(metaBox.end - metaBox.payload), &meta)) return false;
  const ByteView view(meta.data(), meta.size());
  const size_t children = 4;  // meta is a full box
  uint32_t exifId = 0;
  if (!ItemOfType(view, children, meta.size(), "Exif", &exifId)) return false;
  size_t payload = 0, end = 0;
  if (!ChildBox(view, children, meta.size(), "iloc", &payload, &end)) return false;
  const uint8_t version = view.U8(payload);
  const uint8_t sizes = view.U8(payload + 4), more = view.U8(payload + 5);
  const size_t offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
  const size_t indexSize = version >= 1 ? (more & 15) : 0;
  size_t pos = payload + 6;
  const uint32_t count = version < 2 ? view.U16Be(pos) : view.U32Be(pos);
  pos += version < 2 ? 2 : 4;
  for (uint32_t i = 0; i < count && i < kMaxBoxes && pos < end; ++i) {
    const uint32_t id = version < 2 ? view.U16Be(pos) : view.U32Be(pos);
    pos += version < 2 ? 2 : 4;
    uint16_t method = 0;
    if (version >= 1) {
      method = view.U16Be(pos) & 15;
      pos += 2;
    }
    pos += 2;  // data reference index
    const uint64_t base = UnsignedBe(view, pos, baseSize);
    pos += baseSize;
    const uint16_t extents = view.U16Be(pos);
    pos += 2;
    for (uint16_t e = 0; e < extents && pos < end; ++e) {
      pos += indexSize;
      const uint64_t offset = UnsignedBe(view, pos, offsetSize);
      pos += offsetSize;
      const uint64_t length = UnsignedBe(view, pos, lengthSize);
      pos += lengthSize;
      if (id != exifId || e != 0) continue;
      if (method != 0 || length < 8 || length > kMaxExifBytes) return false;
      uint64_t at = 0;
      if (__builtin_add_overflow(base, offset, &at) || at > fileSize || length > fileSize - at) return false;
      std::vector<uint8_t> item;
      if (!ReadFileBytes(window, at, static_cast<size_t>(length), &item)) return false;
      // The item: a 4-byte offset to the TIFF header, counted after those 4 bytes.
      const uint32_t skip = ByteView(item.data(), item.size()).U32Be(0);
      if (skip > item.size() - 4) return false;
      tiff->assign(item.begin() + 4 + skip, item.end());
      return true;
    }
  }
  return false;
}

bool IsoMovieMetadata(FileWindow& window, uint64_t fileSize, CarvedMetadata* out) {
  Box moovBox;
  if (!TopLevelBox(window, fileSize, "moov", &moovBox) || moovBox.end - moovBox.payload > kMaxMoovBytes) return false;
  std::vector<uint8_t> moov;
  if (!ReadFileBytes(window, moovBox.payload, static_cast<size_t>(moovBox.end - moovBox.payload), &moov)) return false;
  const ByteView view(moov.data(), moov.size());
  bool found = false;
  size_t payload = 0, end = 0;
  if (ChildBox(view, 0, moov.size(), "mvhd", &payload, &end)) {
    const uint64_t created = view.U8(payload) == 1 ? view.U64Be(payload + 4) : view.U32Be(payload + 4);
    if (created > static_cast<uint64_t>(kSeconds1904To1970)) {
      out->unixSeconds = static_cast<int64_t>(created) - kSeconds1904To1970;
      out->hasTime = found = true;
    }
  }
  size_t udta = 0, udtaEnd = 0;
  if (ChildBox(view, 0, moov.size(), "udta", &udta, &udtaEnd)) {
    // iTunes tags: meta (a full box in MP4, a plain one in QuickTime) / ilst / ©nam / data.
    size_t meta = 0, metaEnd = 0, ilst = 0, ilstEnd = 0, nam = 0, namEnd = 0, data = 0, dataEnd = 0;
    if (ChildBox(view, udta, udtaEnd, "meta", &meta, &metaEnd) &&
        (ChildBox(view, meta + 4, metaEnd, "ilst", &ilst, &ilstEnd) ||
         ChildBox(view, meta, metaEnd, "ilst", &ilst, &ilstEnd)) &&
        ChildBox(view, ilst, ilstEnd, "\xA9nam", &nam, &namEnd) && ChildBox(view, nam, namEnd, "data", &data, &dataEnd) &&
        dataEnd > data + 8) {
      out->label.assign(reinterpret_cast<const char*>(moov.data() + data + 8), dataEnd - data - 8);
      found = true;
    } else if (ChildBox(view, udta, udtaEnd, "\xA9nam", &nam, &namEnd) && namEnd > nam + 4) {
      const size_t length = std::min<size_t>(view.U16Be(nam), namEnd - nam - 4);
      out->label.assign(reinterpret_cast<const char*>(moov.data() + nam + 4), length);
      found = true;
    }
  }
  return found;
}

}  // namespace engine::signatures
