// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/byte_view.h"
#include "engine/signatures/metadata_readers.h"
#include "platform/utf.h"

namespace engine::signatures {
namespace {

constexpr size_t kMaxCommentBytes = 64 * 1024;
constexpr uint32_t kMaxComments = 256;

// "YYYY-MM-DD[THH:MM:SS]"; a date alone counts as midnight.
bool ParseDate(std::string_view text, int64_t* out) {
  if (text.size() < 10) return false;
  std::string full(text.substr(0, std::min<size_t>(text.size(), 19)));
  if (full.size() < 19) full = full.substr(0, 10) + "T00:00:00";
  int v[6] = {};
  static constexpr size_t kAt[6] = {0, 5, 8, 11, 14, 17};
  static constexpr size_t kDigits[6] = {4, 2, 2, 2, 2, 2};
  for (int f = 0; f < 6; ++f) {
    for (size_t i = 0; i < kDigits[f]; ++i) {
      const char c = full[kAt[f] + i];
      if (c < '0' || c > '9') return false;
      v[f] = v[f] * 10 + (c - '0');
    }
  }
  return CivilToUnix(v[0], v[1], v[2], v[3], v[4], v[5], out);
}

// A Vorbis comment block at view[at]: vendor, then "KEY=value" entries.
bool ParseComments(const ByteView& view, size_t at, CarvedMetadata* out) {
  const uint32_t vendor = view.U32(at);
  if (!view.Has(at + 4, vendor)) return false;
  size_t pos = at + 4 + vendor;
  const uint32_t count = view.U32(pos);
  pos += 4;
  bool found = false;
  for (uint32_t i = 0; i < count && i < kMaxComments; ++i) {
    const uint32_t length = view.U32(pos);
    if (!view.Has(pos + 4, length)) break;
    const std::string entry(reinterpret_cast<const char*>(view.data() + pos + 4), length);
    pos += 4 + length;
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = platform::AsciiLower(entry.substr(0, equals));
    const std::string value = entry.substr(equals + 1);
    if (key == "title" && !value.empty()) {
      out->label = value;
      found = true;
    } else if ((key == "date" || key == "creation_time") && !out->hasTime && ParseDate(value, &out->unixSeconds)) {
      out->hasTime = found = true;
    }
  }
  return found;
}

// ID3v2 text: an encoding byte, then Latin-1, UTF-16 (with a byte-order mark), UTF-16BE or UTF-8.
std::string Id3Text(const uint8_t* p, size_t n) {
  if (n == 0) return {};
  const uint8_t encoding = p[0];
  ++p;
  --n;
  if (encoding == 0 || encoding == 3) {
    std::string out;
    for (size_t i = 0; i < n && p[i] != 0; ++i) {
      if (encoding == 3 || p[i] < 0x80) {
        out.push_back(static_cast<char>(p[i]));
      } else {
        out.push_back(static_cast<char>(0xC0 | (p[i] >> 6)));
        out.push_back(static_cast<char>(0x80 | (p[i] & 0x3F)));
      }
    }
    return out;
  }
  bool little = encoding == 1;
  if (encoding == 1 && n >= 2) {
    little = !(p[0] == 0xFE && p[1] == 0xFF);
    p += 2;
    n -= 2;
  }
  std::u16string wide;
  for (size_t i = 0; i + 1 < n; i += 2) {
    const char16_t c = little ? static_cast<char16_t>(p[i] | (p[i + 1] << 8)) : static_cast<char16_t>((p[i] << 8) | p[i + 1]);
    if (c == 0) break;
    wide.push_back(c);
  }
  return platform::Utf16ToUtf8(wide);
}

uint32_t Syncsafe(const uint8_t* p) {
  return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}

}  // namespace

bool VorbisCommentMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out) {
  std::vector<uint8_t> head;
  if (!ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>(fileSize, kMaxCommentBytes)), &head)) return false;
  const ByteView view(head.data(), head.size());
  if (code == FileTypeCode::kFlac) {
    // Metadata blocks after "fLaC": type 4 holds the comments (lengths big-endian, the comments little-endian).
    size_t pos = 4;
    for (int i = 0; i < 64 && view.Has(pos, 4); ++i) {
      const uint8_t type = view.U8(pos) & 0x7F;
      const size_t length = view.U32Be(pos) & 0xFFFFFF;
      if (type == 4) return ParseComments(view.Sub(0, std::min(head.size(), pos + 4 + length)), pos + 4, out);
      if ((view.U8(pos) & 0x80) != 0) break;
      pos += 4 + length;
    }
    return false;
  }
  // Ogg: the second page begins the comment packet ("\x03vorbis" or "OpusTags").
  const size_t first = 27 + view.U8(26);
  size_t body = first;
  for (size_t i = 0; i < view.U8(26); ++i) body += view.U8(27 + i);
  if (!view.Equals(body, "OggS", 4)) return false;
  const size_t packet = body + 27 + view.U8(body + 26);
  if (view.Equals(packet, "\x03vorbis", 7)) return ParseComments(view, packet + 7, out);
  if (view.Equals(packet, "OpusTags", 8)) return ParseComments(view, packet + 8, out);
  return false;
}

bool Id3Metadata(FileWindow& window, uint64_t fileSize, CarvedMetadata* out) {
  const uint8_t* h = window.Get(0, 10);
  if (h == nullptr || std::memcmp(h, "ID3", 3) != 0 || (h[3] != 3 && h[3] != 4)) return false;
  const uint8_t major = h[3];
  const uint64_t tagBytes = 10 + uint64_t{Syncsafe(h + 6)};
  std::vector<uint8_t> tag;
  if (!ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>({tagBytes, fileSize, kMaxCommentBytes})), &tag)) {
    return false;
  }
  const ByteView view(tag.data(), tag.size());
  if (!view.Has(0, 14)) return false;
  size_t pos = 10;
  if ((tag[5] & 0x40) != 0) pos += major == 4 ? Syncsafe(tag.data() + 10) : 4 + view.U32Be(10);
  bool found = false;
  while (view.Has(pos, 10) && tag[pos] != 0) {
    const size_t length = major == 4 ? Syncsafe(tag.data() + pos + 4) : view.U32Be(pos + 4);  // Has(pos, 10) holds
    if (!view.Has(pos + 10, length)) break;
    const std::string text = Id3Text(tag.data() + pos + 10, length);
    if (view.Equals(pos, "TIT2", 4) && !text.empty()) {
      out->label = text;
      found = true;
    } else if ((view.Equals(pos, "TDRC", 4) || view.Equals(pos, "TDOR", 4)) && !out->hasTime &&
               ParseDate(text, &out->unixSeconds)) {
      out->hasTime = found = true;
    }
    pos += 10 + length;
  }
  return found;
}

}  // namespace engine::signatures
