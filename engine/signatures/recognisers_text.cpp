// SPDX-License-Identifier: GPL-3.0-or-later
// Text kinds and tar: RTF (braces balanced to the final '}'), XML and SVG
// (their root element closed), mail (EML: a header block; mbox: "From "
// lines; both end where the text ends), tar (ustar headers with their
// checksums, two zero blocks, the record padding).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr size_t kTarBlock = 512;
constexpr uint64_t kTarRecord = 10240;
constexpr uint32_t kMaxTarEntries = 1u << 22;
constexpr size_t kMaxRootName = 64;

bool IsText(uint8_t c) {
  return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' || c == 0x0C;
}

// A mail header line at b[at]: a field name of letters, digits and '-', a
// colon; *next receives the offset after its line end.
bool HeaderLine(const ByteView& b, size_t at, std::string* name, size_t* next) {
  size_t i = at;
  while (i < b.size() && i - at < 64 && (std::isalnum(b.U8(i)) != 0 || b.U8(i) == '-')) ++i;
  if (i == at || b.U8(i) != ':') return false;
  name->assign(reinterpret_cast<const char*>(b.data() + at), i - at);
  for (auto& c : *name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (i < b.size() && b.U8(i) != '\n') {
    if (!IsText(b.U8(i))) return false;
    ++i;
  }
  if (i >= b.size()) return false;
  *next = i + 1;
  // Folded continuation lines belong to the field.
  while (*next < b.size() && (b.U8(*next) == ' ' || b.U8(*next) == '\t')) {
    size_t j = *next;
    while (j < b.size() && b.U8(j) != '\n') ++j;
    if (j >= b.size()) return false;
    *next = j + 1;
  }
  return true;
}

// A mail header block at b[at]: at least three fields, among them From (or
// Received / Return-Path) and one of Date, Subject, Message-ID, To.
bool MailHeaders(const ByteView& b, size_t at) {
  bool from = false, other = false;
  int fields = 0;
  std::string name;
  size_t next = at;
  for (int i = 0; i < 8 && HeaderLine(b, next, &name, &next); ++i) {
    ++fields;
    from = from || name == "from" || name == "received" || name == "return-path";
    other = other || name == "date" || name == "subject" || name == "message-id" || name == "to";
  }
  return fields >= 3 && from && other;
}

C RecogniseMail(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 64) return C::kNone;
  if (b.Equals(0, "From ", 5)) {
    const size_t line = FindFrom(bytes, length, 0, "\n", 1);
    return line != kNotFound && line < 200 && MailHeaders(b, line + 1) ? C::kMbox : C::kNone;
  }
  return MailHeaders(b, 0) ? C::kEml : C::kNone;
}

C RecogniseRtf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, "{\\rtf1", 6) ? C::kRtf : C::kNone;
}

// The root element's name after the prolog (XML declaration, comments,
// DOCTYPE, processing instructions); empty when there is none in b.
std::string RootElement(const ByteView& b) {
  size_t at = 0;
  for (int step = 0; step < 32 && at < b.size(); ++step) {
    while (at < b.size() && (b.U8(at) == ' ' || b.U8(at) == '\n' || b.U8(at) == '\r' || b.U8(at) == '\t')) ++at;
    if (b.U8(at) != '<') return {};
    const uint8_t next = b.U8(at + 1);
    if (next == '?' || next == '!') {
      const size_t close = FindFrom(b.data(), b.size(), at, ">", 1);
      if (close == kNotFound) return {};
      at = close + 1;
      continue;
    }
    size_t end = at + 1;
    while (end < b.size() && end - at <= kMaxRootName && (std::isalnum(b.U8(end)) != 0 || b.U8(end) == ':' ||
                                                          b.U8(end) == '-' || b.U8(end) == '_' || b.U8(end) == '.')) {
      ++end;
    }
    if (end == at + 1 || end - at > kMaxRootName) return {};
    return std::string(reinterpret_cast<const char*>(b.data() + at + 1), end - at - 1);
  }
  return {};
}

C RecogniseXml(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 32 || !(b.Equals(0, "<?xml ", 6) || b.Equals(0, "<svg", 4))) return C::kNone;
  for (size_t i = 0; i < std::min<size_t>(length, 256); ++i) {
    if (!IsText(bytes[i])) return C::kNone;
  }
  const std::string root = RootElement(b);
  if (root.empty()) return C::kNone;
  return root == "svg" || root == "svg:svg" ? C::kSvg : C::kXml;
}

uint64_t TarChecksumOk(const uint8_t* h) {
  // The checksum: the sum of the header's bytes with its own field as spaces, 6 octal digits.
  uint32_t sum = 0;
  for (size_t i = 0; i < kTarBlock; ++i) sum += i >= 148 && i < 156 ? ' ' : h[i];
  uint32_t stored = 0;
  size_t i = 148;
  while (i < 156 && h[i] == ' ') ++i;
  int digits = 0;
  for (; i < 156 && h[i] >= '0' && h[i] <= '7'; ++i, ++digits) stored = stored * 8 + (h[i] - '0');
  return digits > 0 && stored == sum;
}

bool TarSize(const uint8_t* h, uint64_t* size) {
  // 11 octal digits, or a base-256 number when the top bit of the first byte is set.
  uint64_t v = 0;
  if ((h[124] & 0x80) != 0) {
    for (size_t i = 125; i < 136; ++i) v = (v << 8) | h[i];
    *size = v;
    return v < (uint64_t{1} << 40);
  }
  for (size_t i = 124; i < 136 && h[i] != 0 && h[i] != ' '; ++i) {
    if (h[i] < '0' || h[i] > '7') return false;
    v = v * 8 + (h[i] - '0');
  }
  *size = v;
  return true;
}

C RecogniseTar(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // A header names its member (the first byte is no zero) before the magic is looked at.
  return length >= kTarBlock && bytes[0] != 0 && b.Equals(257, "ustar", 5) && TarChecksumOk(bytes) ? C::kTar
                                                                                                  : C::kNone;
}

// Where the text that starts the file ends: the first byte that is no text
// (a zero byte, most control bytes), searched from `from`; kNotFound when the
// chunk holds none.
size_t TextEnd(const uint8_t* chunk, size_t chunkBytes, size_t from) {
  for (size_t i = from; i < chunkBytes; ++i) {
    if (!IsText(chunk[i])) return i;
  }
  return kNotFound;
}

// Size of a text file that ends where its text ends (or at the next file start).
uint64_t TextSize(CarveContext& context, const uint8_t* bytes, size_t length, uint64_t limit) {
  const size_t inFirst = TextEnd(bytes, length, 0);
  if (inFirst != kNotFound) return inFirst;
  return ReadAhead(context, limit, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = TextEnd(chunk, chunkBytes, 0);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at);
  });
}

// A line end right after `end` belongs to the file.
uint64_t WithLineEnd(FileWindow& window, uint64_t end) {
  const uint8_t* c = window.Get(end, 1);
  if (c != nullptr && *c == '\r') {
    ++end;
    c = window.Get(end, 1);
  }
  if (c != nullptr && *c == '\n') ++end;
  return end;
}

}  // namespace

const Recogniser kMailRecogniser{RecogniseMail, {{{0, 'F'}, {0, 'R'}, {0, 'M'}}}, 3};
const Recogniser kMailRecogniserMore{RecogniseMail, {{{0, 'D'}, {0, 'S'}, {0, 'X'}}}, 3};
const Recogniser kRtfRecogniser{RecogniseRtf, {{{0, '{'}}}, 1};
const Recogniser kXmlRecogniser{RecogniseXml, {{{0, '<'}}}, 1};
// The key stays in the sector's first 48 bytes, the cache line the other keys
// are read from (for any 16-byte aligned buffer): the first header's member
// name is shorter than 48 bytes, so its byte 47 is zero. A first member
// named with 48 to 99 bytes is missed.
const Recogniser kTarRecogniser{RecogniseTar, {{{47, 0}}}, 1};

uint64_t MailSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  return TextSize(context, bytes, length, k2GiB);
}

uint64_t RtfSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  // Braces balanced to the group the file opened, escapes (\{ \} \\) skipped.
  int64_t depth = 0;
  bool escape = false;
  bool broken = false;
  uint64_t end = 0;
  auto walk = [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    for (size_t i = 0; i < chunkBytes; ++i) {
      const uint8_t c = chunk[i];
      if (!IsText(c)) {
        broken = true;
        return true;
      }
      if (escape) {
        escape = false;
      } else if (c == '\\') {
        escape = true;
      } else if (c == '{') {
        ++depth;
      } else if (c == '}' && --depth == 0) {
        end = base + i + 1;
        return true;
      }
    }
    return false;
  };
  uint64_t size = length;
  if (!walk(bytes, length, 0)) {
    size = ReadAhead(context, k256MiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
      return walk(chunk, chunkBytes, base) ? ChunkVerdict::EndWithSize(end != 0 ? end : base) : ChunkVerdict::GoOn();
    });
  }
  if (end != 0) return WithLineEnd(window, end);
  // The text stops before the last brace closes: carved as far as it goes, damaged.
  (void)broken;
  context.carvedDamaged = true;
  return size;
}

uint64_t XmlSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const std::string root = RootElement(ByteView(bytes, length));
  if (root.empty()) return kRejectHit;
  const std::string close = "</" + root + ">";
  // The last closing tag of the root before the text ends.
  uint64_t end = 0;
  auto scan = [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t stop = TextEnd(chunk, chunkBytes, 0);
    const size_t limit = stop == kNotFound ? chunkBytes : stop;
    for (size_t at = FindFrom(chunk, limit, 0, close.data(), close.size()); at != kNotFound;
         at = FindFrom(chunk, limit, at + 1, close.data(), close.size())) {
      end = base + at + close.size();
    }
    return stop != kNotFound;
  };
  uint64_t size = length;
  if (!scan(bytes, length, 0)) {
    size = ReadAhead(context, k256MiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
      return scan(chunk, chunkBytes, base) ? ChunkVerdict::EndWithSize(std::max(end, base)) : ChunkVerdict::GoOn();
    });
  }
  if (end != 0) return WithLineEnd(window, end);
  context.carvedDamaged = true;  // the root element never closes: the text is cut
  return size;
}

uint64_t TarArchiveSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  uint64_t pos = 0;
  for (uint32_t entry = 0; entry < kMaxTarEntries; ++entry) {
    const uint8_t* h = window.Get(pos, kTarBlock);
    if (h == nullptr) break;
    if (std::all_of(h, h + kTarBlock, [](uint8_t v) { return v == 0; })) {
      // The end: two zero blocks, then zeros up to the end of the record.
      uint64_t end = pos + 2 * kTarBlock;
      const uint64_t record = (end + kTarRecord - 1) / kTarRecord * kTarRecord;
      bool zeros = true;
      for (uint64_t at = pos + kTarBlock; zeros && at < record; at += kTarBlock) {
        const uint8_t* z = window.Get(at, kTarBlock);
        zeros = z != nullptr && std::all_of(z, z + kTarBlock, [](uint8_t v) { return v == 0; });
      }
      return EndWithin(window, zeros ? record : end, k64GiB);
    }
    uint64_t size = 0;
    if (!TarChecksumOk(h) || !TarSize(h, &size)) break;
    const uint8_t type = h[156];
    const bool data = type != '1' && type != '2' && type != '3' && type != '4' && type != '5' && type != '6';
    pos += kTarBlock + (data ? (size + kTarBlock - 1) / kTarBlock * kTarBlock : 0);
  }
  // No end blocks: the archive is cut after its last whole entry.
  context.carvedDamaged = true;
  return pos == 0 ? kRejectHit : EndWithin(window, pos, k64GiB);
}

}  // namespace engine::signatures
