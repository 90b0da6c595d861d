// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/byte_view.h"
#include "engine/signatures/recognisers.h"
#include "engine/signatures/structure_checks.h"

namespace engine::signatures {
namespace {

using Verdict = StructureVerdict;

bool IsPrintable(const uint8_t* fourcc) {
  for (int i = 0; i < 4; ++i) {
    if (fourcc[i] < 0x20 || fourcc[i] > 0x7E) return false;
  }
  return true;
}

// True when the bytes [from, size) are all zero (a writer's padding to a sector).
bool ZerosToEnd(FileBytes& bytes, uint64_t from) {
  while (from < bytes.Size()) {
    size_t got = 0;
    const uint8_t* span = bytes.Span(from, FileBytes::kMaxSpan, &got);
    if (span == nullptr) return false;
    for (size_t i = 0; i < got; ++i) {
      if (span[i] != 0) return false;
    }
    from += got;
  }
  return true;
}

// ---------------------------------------------------------------- RIFF

constexpr size_t kMaxAviChunks = size_t{1} << 24;

struct RiffChunk {
  uint64_t at = 0;  // offset of the chunk header
  uint64_t size = 0;
  std::array<uint8_t, 4> id{};
};

// Reads the chunk header at `at` inside [.., end); false when it is no chunk
// or runs past end.
bool ChunkAt(FileBytes& bytes, uint64_t at, uint64_t end, RiffChunk* chunk) {
  const uint8_t* h = bytes.Get(at, 8);
  if (h == nullptr || at + 8 > end || !IsPrintable(h)) return false;
  chunk->at = at;
  chunk->size = ByteView(h, 8).U32(4);
  std::memcpy(chunk->id.data(), h, 4);
  return at + 8 + chunk->size <= end;
}

uint64_t NextChunk(const RiffChunk& chunk) {
  return chunk.at + 8 + chunk.size + (chunk.size & 1);
}

// AVI's movi list: its chunks chain to its end; their offsets go to *starts.
bool WalkMovi(FileBytes& bytes, uint64_t from, uint64_t end, std::vector<uint64_t>* starts) {
  uint64_t at = from;
  while (at + 8 <= end) {
    RiffChunk chunk;
    if (!ChunkAt(bytes, at, end, &chunk) || starts->size() >= kMaxAviChunks) return false;
    if (std::memcmp(chunk.id.data(), "LIST", 4) == 0) {
      // A 'rec ' list groups chunks: walk into it.
      if (chunk.size < 4 || !WalkMovi(bytes, at + 12, at + 8 + chunk.size, starts)) return false;
    } else {
      starts->push_back(at);
    }
    at = NextChunk(chunk);
  }
  return at == end || at == end + 1;
}

// AVI's idx1: every entry names a chunk the movi walk met, with its id and size.
bool IndexMatches(FileBytes& bytes, const RiffChunk& index, uint64_t moviList, const std::vector<uint64_t>& starts) {
  if (index.size % 16 != 0) return false;
  const uint64_t entries = index.size / 16;
  // Entry offsets count from the 'movi' fourcc, or (some writers) from the file's start.
  int64_t base = -1;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* e = bytes.Get(index.at + 8 + i * 16, 16);
    if (e == nullptr) return false;
    const ByteView entry(e, 16);
    const uint64_t offset = entry.U32(8);
    if (base < 0) base = std::binary_search(starts.begin(), starts.end(), moviList + 8 + offset) ? int64_t(moviList + 8) : 0;
    const uint64_t at = static_cast<uint64_t>(base) + offset;
    if (!std::binary_search(starts.begin(), starts.end(), at)) return false;
    const uint8_t* h = bytes.Get(at, 8);
    if (h == nullptr || std::memcmp(h, e, 4) != 0 || ByteView(h, 8).U32(4) != entry.U32(12)) return false;
  }
  return true;
}

// One RIFF form at `at` (ending at *end): its chunks, and for AVI its lists.
Verdict WalkRiffForm(FileBytes& bytes, uint64_t at, bool first, bool* avi, uint64_t* end) {
  const uint8_t* h = bytes.Get(at, 12);
  if (h == nullptr || std::memcmp(h, "RIFF", 4) != 0) return Verdict::kBroken;
  const uint64_t size = ByteView(h, 12).U32(4);
  *end = at + 8 + size;
  if (size < 4 || *end > bytes.Size()) return Verdict::kBroken;
  if (first) {
    if (std::memcmp(h + 8, "AVI ", 4) == 0) {
      *avi = true;
    } else if (std::memcmp(h + 8, "WAVE", 4) != 0) {
      return Verdict::kNoCheck;
    }
  } else if (!*avi || std::memcmp(h + 8, "AVIX", 4) != 0) {
    return Verdict::kBroken;
  }
  bool header = false, movi = false, format = false, data = false;
  RiffChunk moviList, index;
  bool hasIndex = false;
  std::vector<uint64_t> starts;
  uint64_t pos = at + 12;
  while (pos + 8 <= *end) {
    RiffChunk chunk;
    if (!ChunkAt(bytes, pos, *end, &chunk)) return Verdict::kBroken;
    const uint8_t* list = std::memcmp(chunk.id.data(), "LIST", 4) == 0 && chunk.size >= 4 ? bytes.Get(pos + 8, 4) : nullptr;
    if (list != nullptr && std::memcmp(list, "hdrl", 4) == 0) header = true;
    if (list != nullptr && std::memcmp(list, "movi", 4) == 0) {
      if (!WalkMovi(bytes, pos + 12, pos + 8 + chunk.size, &starts)) return Verdict::kBroken;
      movi = true;
      moviList = chunk;
    }
    if (std::memcmp(chunk.id.data(), "idx1", 4) == 0) {
      hasIndex = true;
      index = chunk;
    }
    if (std::memcmp(chunk.id.data(), "fmt ", 4) == 0) format = true;
    if (std::memcmp(chunk.id.data(), "data", 4) == 0) data = true;
    pos = NextChunk(chunk);
  }
  if (pos != *end && pos != *end + 1) return Verdict::kBroken;
  *end = std::min(pos, bytes.Size());
  if (!*avi) return format && data ? Verdict::kConsistent : Verdict::kBroken;
  if (!movi || (first && !header)) return Verdict::kBroken;
  if (hasIndex && !IndexMatches(bytes, index, moviList.at, starts)) return Verdict::kBroken;
  return Verdict::kConsistent;
}

// ---------------------------------------------------------------- ISO base media

constexpr int kMaxBoxDepth = 8;
constexpr uint64_t kMaxMoovBytes = 64u << 20;

struct Range {
  uint64_t from = 0;
  uint64_t to = 0;
};

bool InsideAny(const std::vector<Range>& ranges, uint64_t offset) {
  for (const Range& r : ranges) {
    if (offset >= r.from && offset < r.to) return true;
  }
  return false;
}

// Walks boxes in moov[from, to) down the trak/mdia/minf/stbl path; every
// chunk offset of stco and co64 must lie inside one of mdats.
bool ChunkOffsetsInside(const ByteView moov, size_t from, size_t to, int depth, const std::vector<Range>& mdats) {
  if (depth > kMaxBoxDepth) return false;
  size_t pos = from;
  while (pos + 8 <= to) {
    uint64_t size = moov.U32Be(pos);
    size_t header = 8;
    if (size == 1) {
      size = moov.U64Be(pos + 8);
      header = 16;
    } else if (size == 0) {
      size = to - pos;
    }
    if (size < header || size > to - pos) return false;
    const size_t end = pos + static_cast<size_t>(size);
    const uint8_t* type = moov.data() + pos + 4;
    auto is = [type](const char* name) { return std::memcmp(type, name, 4) == 0; };
    if (is("trak") || is("mdia") || is("minf") || is("stbl")) {
      if (!ChunkOffsetsInside(moov, pos + header, end, depth + 1, mdats)) return false;
    } else if (is("stco") || is("co64")) {
      const size_t width = is("stco") ? 4 : 8;
      const uint64_t count = moov.U32Be(pos + header + 4);
      const size_t table = pos + header + 8;
      if (count > (end - std::min(end, table)) / width) return false;
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t offset = width == 4 ? moov.U32Be(table + i * 4) : moov.U64Be(table + i * 8);
        if (!InsideAny(mdats, offset)) return false;
      }
    }
    pos = end;
  }
  return pos == to;
}

// ---------------------------------------------------------------- MPEG transport stream

constexpr size_t kTsPacket = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;

// ---------------------------------------------------------------- MP3

constexpr size_t kId3v1Bytes = 128;
constexpr size_t kApeFooterBytes = 32;
constexpr uint64_t kMaxLeadingZeros = 65536;

}  // namespace

StructureVerdict CheckRiff(FileBytes& bytes) {
  bool avi = false;
  uint64_t at = 0;
  for (bool first = true; at + 12 <= bytes.Size(); first = false) {
    const uint8_t* h = bytes.Get(at, 4);
    if (!first && (h == nullptr || std::memcmp(h, "RIFF", 4) != 0)) break;
    uint64_t end = 0;
    if (const Verdict v = WalkRiffForm(bytes, at, first, &avi, &end); v != Verdict::kConsistent) return v;
    at = end;
  }
  if (at == 0) return Verdict::kBroken;
  return ZerosToEnd(bytes, at) ? Verdict::kConsistent : Verdict::kBroken;
}

StructureVerdict CheckTransportStream(FileBytes& bytes) {
  const uint64_t size = bytes.Size();
  const uint8_t* head = bytes.Get(0, std::min<uint64_t>(size, 2 * 192 + 1));
  if (head == nullptr || size < 2 * 192 + 1) return Verdict::kBroken;
  size_t packet = 0, lead = 0;
  if (head[0] == kTsSync && head[kTsPacket] == kTsSync) {
    packet = kTsPacket;
  } else if (head[4] == kTsSync && head[196] == kTsSync) {
    packet = 192;
    lead = 4;
  } else {
    return Verdict::kBroken;
  }
  // Continuity counters per packet id: each packet with payload counts on by
  // one (a repeated packet keeps its number), unless it says a discontinuity.
  std::vector<int8_t> last(8192, -1);
  uint64_t at = 0;
  for (; at + packet <= size; at += packet) {
    const uint8_t* p = bytes.Get(at, packet);
    if (p == nullptr) return Verdict::kBroken;
    const uint8_t* t = p + lead;
    if (t[0] != kTsSync) {
      bytes.NoteBrokenAt(at);
      return Verdict::kBroken;
    }
    const uint16_t pid = static_cast<uint16_t>(((t[1] & 0x1F) << 8) | t[2]);
    const uint8_t control = (t[3] >> 4) & 3;
    const auto counter = static_cast<int8_t>(t[3] & 0x0F);
    if ((control & 1) == 0 || pid == kNullPid) continue;
    const bool discontinuity = (control & 2) != 0 && t[4] > 0 && (t[5] & 0x80) != 0;
    if (last[pid] >= 0 && !discontinuity && counter != ((last[pid] + 1) & 0x0F) && counter != last[pid]) {
      bytes.NoteBrokenAt(at);
      return Verdict::kBroken;
    }
    last[pid] = counter;
  }
  // A last, cut packet still begins in step.
  if (at + lead < size) {
    const uint8_t* sync = bytes.Get(at + lead, 1);
    if (sync == nullptr || *sync != kTsSync) return Verdict::kBroken;
  }
  return Verdict::kConsistent;
}

StructureVerdict CheckIsoMedia(FileBytes& bytes) {
  const uint64_t size = bytes.Size();
  std::vector<Range> mdats;
  Range moov;
  bool haveMoov = false;
  uint64_t pos = 0;
  while (pos < size) {
    const uint8_t* h = bytes.Get(pos, static_cast<size_t>(std::min<uint64_t>(16, size - pos)));
    if (h == nullptr || size - pos < 8) return ZerosToEnd(bytes, pos) && pos > 0 ? Verdict::kConsistent : Verdict::kBroken;
    const ByteView box(h, static_cast<size_t>(std::min<uint64_t>(16, size - pos)));
    uint64_t boxSize = box.U32Be(0);
    uint64_t header = 8;
    if (boxSize == 1) {
      if (!box.Has(8, 8)) return Verdict::kBroken;
      boxSize = box.U64Be(8);
      header = 16;
    } else if (boxSize == 0) {
      boxSize = size - pos;
    }
    if (!IsPrintable(h + 4)) {
      // Zeros after the last box are a writer's padding; anything else is foreign.
      return pos > 0 && boxSize == 0 && ZerosToEnd(bytes, pos) ? Verdict::kConsistent : Verdict::kBroken;
    }
    if (boxSize < header || boxSize > size - pos) return Verdict::kBroken;
    if (pos == 0) {
      static constexpr const char* kFirst[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "styp", "uuid"};
      bool known = false;
      for (const char* name : kFirst) known = known || std::memcmp(h + 4, name, 4) == 0;
      if (!known) return Verdict::kBroken;
    }
    if (std::memcmp(h + 4, "mdat", 4) == 0) mdats.push_back({pos + header, pos + boxSize});
    if (std::memcmp(h + 4, "moov", 4) == 0 && !haveMoov) {
      moov = {pos + header, pos + boxSize};
      haveMoov = true;
    }
    pos += boxSize;
  }
  if (!haveMoov || mdats.empty()) return Verdict::kBroken;
  if (moov.to - moov.from > kMaxMoovBytes) return Verdict::kConsistent;  // the tiling alone tells
  std::vector<uint8_t> box(static_cast<size_t>(moov.to - moov.from));
  if (!bytes.Copy(moov.from, box.size(), box.data())) return Verdict::kBroken;
  const ByteView view(box.data(), box.size());
  return ChunkOffsetsInside(view, 0, box.size(), 0, mdats) ? Verdict::kConsistent : Verdict::kBroken;
}

StructureVerdict CheckMp3(FileBytes& bytes) {
  const uint64_t size = bytes.Size();
  uint64_t pos = 0;
  if (const uint8_t* id3 = bytes.Get(0, 10); id3 != nullptr && std::memcmp(id3, "ID3", 3) == 0) {
    if (((id3[6] | id3[7] | id3[8] | id3[9]) & 0x80) != 0) return Verdict::kBroken;
    pos = 10 + ((uint64_t{id3[6]} << 21) | (uint64_t{id3[7]} << 14) | (uint64_t{id3[8]} << 7) | id3[9]);
    if ((id3[5] & 0x10) != 0) pos += 10;  // a footer follows the tag
  }
  // Trailers: an ID3v1 tag last, an APEv2 tag before it (or last).
  uint64_t end = size;
  if (const uint8_t* tag = end >= kId3v1Bytes ? bytes.Get(end - kId3v1Bytes, 3) : nullptr;
      tag != nullptr && std::memcmp(tag, "TAG", 3) == 0) {
    end -= kId3v1Bytes;
  }
  if (const uint8_t* ape = end >= kApeFooterBytes ? bytes.Get(end - kApeFooterBytes, kApeFooterBytes) : nullptr;
      ape != nullptr && std::memcmp(ape, "APETAGEX", 8) == 0) {
    const ByteView footer(ape, kApeFooterBytes);
    const uint64_t tagBytes = footer.U32(12) + ((footer.U32(20) & 0x80000000u) != 0 ? kApeFooterBytes : 0);
    if (tagBytes > end) return Verdict::kBroken;
    end -= tagBytes;
  }
  // Some writers pad the tag with zeros after its stated size.
  for (uint64_t skipped = 0; pos < end && skipped < kMaxLeadingZeros; ++skipped, ++pos) {
    const uint8_t* b = bytes.Get(pos, 1);
    if (b == nullptr || *b != 0) break;
  }
  if (pos >= end) return Verdict::kBroken;
  MpegAudioFrame first;
  bool haveFirst = false;
  while (pos < end) {
    const uint8_t* h = bytes.Get(pos, 4);
    MpegAudioFrame frame;
    if (h == nullptr || !ParseMpegAudioHeader(h, 4, true, &frame)) return Verdict::kBroken;
    if (frame.bytes == 0) return haveFirst ? Verdict::kBroken : Verdict::kNoCheck;  // free format
    if (!haveFirst) {
      first = frame;
      haveFirst = true;
    } else if (frame.version != first.version || frame.layer != first.layer || frame.sampleRate != first.sampleRate) {
      return Verdict::kBroken;
    }
    pos += frame.bytes;
  }
  return pos == end ? Verdict::kConsistent : Verdict::kBroken;
}

}  // namespace engine::signatures
