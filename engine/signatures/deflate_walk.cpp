// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/deflate_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace engine::signatures {
namespace {

constexpr int kMaxBits = 15;
constexpr int kLiteralLengthCodes = 288;
constexpr int kDistanceCodes = 30;
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint32_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order of the code-length code lengths in a dynamic block header.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Codes up to this many bits are decoded by one table look-up.
constexpr int kFastBits = 10;

// A canonical Huffman code: how many codes of each length, and the symbols
// in code order; with fastBits set (the code-length code), fast maps the
// next fastBits bits of the stream (least significant first) to
// symbol << 8 | length for codes that short, 0 else. Build fills what is
// used of it. The literal/length and distance codes are decoded through
// FastTables instead, and bit by bit where those do not reach.
struct Huffman {
  std::array<uint16_t, kMaxBits + 1> count{};
  int fastBits = 0;
  std::array<uint16_t, kLiteralLengthCodes> symbol;
  std::array<uint32_t, 1u << kFastBits> fast;
};

// The lowest `length` bits of code in reverse order.
uint32_t Reversed(uint32_t code, int length) {
  uint32_t out = 0;
  for (int i = 0; i < length; ++i) {
    out = (out << 1) | (code & 1);
    code >>= 1;
  }
  return out;
}

// Fills h.fast from h.count and h.symbol (the canonical codes in order).
void BuildFastTable(Huffman& h) {
  const uint32_t entries = 1u << h.fastBits;
  std::fill_n(h.fast.begin(), entries, 0u);
  uint32_t code = 0;
  int index = 0;
  for (int len = 1; len <= h.fastBits; ++len) {
    for (int k = 0; k < h.count[len]; ++k, ++code) {
      const uint32_t entry = (uint32_t{h.symbol[index++]} << 8) | static_cast<uint32_t>(len);
      // Every stream of fastBits bits that begins with this code.
      for (uint32_t fill = Reversed(code, len); fill < entries; fill += 1u << len) h.fast[fill] = entry;
    }
    code <<= 1;
  }
}

// Builds h from code lengths; false when the lengths over-subscribe the code
// (an incomplete code is allowed, as decoders accept it for single-code trees).
bool Build(Huffman& h, const uint8_t* lengths, int n) {
  h.count.fill(0);
  for (int i = 0; i < n; ++i) ++h.count[lengths[i]];
  if (h.count[0] == n) {
    // No codes: decoding any symbol fails, also through an empty fast table.
    if (h.fastBits > 0) BuildFastTable(h);
    return true;
  }
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= h.count[len];
    if (left < 0) return false;
  }
  std::array<uint16_t, kMaxBits + 1> offsets{};
  for (int len = 1; len < kMaxBits; ++len) offsets[len + 1] = static_cast<uint16_t>(offsets[len] + h.count[len]);
  for (int i = 0; i < n; ++i) {
    if (lengths[i] != 0) h.symbol[offsets[lengths[i]]++] = static_cast<uint16_t>(i);
  }
  if (h.fastBits > 0) BuildFastTable(h);
  return true;
}

// The tables the fast walk decodes with: the next kLiteralBits (or
// kDistanceBits) bits of the stream map to one entry, which says what they
// begin with and how many bits that takes now. A length or distance code
// whose extra bits fit the index has its value whole, others leave their
// extra bits to be read (extra). Codes longer than the index are kSlow.
constexpr int kLiteralBits = 10;
constexpr int kDistanceBits = 10;
// kLength: a length; in the distance table, a distance.
enum EntryKind : uint32_t { kSlow = 0, kLiteral = 1, kLength = 2, kEndOfBlock = 3 };

constexpr uint32_t Entry(EntryKind kind, uint32_t bits, uint32_t extra, uint32_t value) {
  return bits | extra << 5 | static_cast<uint32_t>(kind) << 9 | value << 16;
}
constexpr uint32_t EntryBits(uint32_t e) { return e & 31; }
constexpr uint32_t EntryExtra(uint32_t e) { return (e >> 5) & 15; }
constexpr uint32_t EntryKindOf(uint32_t e) { return (e >> 9) & 3; }
constexpr uint32_t EntryValue(uint32_t e) { return e >> 16; }

struct FastTables {
  std::array<uint32_t, 1u << kLiteralBits> literals;
  std::array<uint32_t, 1u << kDistanceBits> distances;
};

// Fills table (1 << indexBits entries) from the canonical code h; entryOf
// gives the entries of one symbol's code of `length` bits by calling
// put(entry, bitsItTakes, foldsExtra) once, or once for every value of the
// extra bits folded into the index, lowest first.
template <typename EntryOf>
void FillPacked(const Huffman& h, int indexBits, uint32_t* table, EntryOf&& entryOf) {
  const uint32_t entries = 1u << indexBits;
  std::fill_n(table, entries, 0u);
  uint32_t code = 0;
  int index = 0;
  for (int len = 1; len <= indexBits; ++len) {
    for (int k = 0; k < h.count[len]; ++k, ++code) {
      const uint32_t first = Reversed(code, len);
      uint32_t folded = 0;  // the extra value folded into the next entry put
      entryOf(h.symbol[index++], len, [&](uint32_t entry, int bits, bool foldsExtra) {
        for (uint32_t fill = first | folded << len; fill < entries; fill += 1u << bits) table[fill] = entry;
        if (foldsExtra) ++folded;
      });
    }
    code <<= 1;
  }
}

// The entries of a length or distance code of len bits for base with extra
// bits: each value whole where the code and its extra bits fit the index,
// else base with the extra bits left to be read.
template <typename Put>
void PutValue(Put&& put, int len, int extra, uint32_t base, int indexBits) {
  if (len + extra > indexBits) {
    put(Entry(kLength, static_cast<uint32_t>(len), static_cast<uint32_t>(extra), base), len, false);
    return;
  }
  for (uint32_t x = 0; x < (1u << extra); ++x) {
    put(Entry(kLength, static_cast<uint32_t>(len + extra), 0, base + x), len + extra, extra > 0);
  }
}

void BuildFastTables(const Huffman& lengths, const Huffman& distances, FastTables* out) {
  FillPacked(lengths, kLiteralBits, out->literals.data(), [](uint16_t symbol, int len, auto&& put) {
    if (symbol < 256) {
      put(Entry(kLiteral, static_cast<uint32_t>(len), 0, 0), len, false);
    } else if (symbol == 256) {
      put(Entry(kEndOfBlock, static_cast<uint32_t>(len), 0, 0), len, false);
    } else if (symbol - 257 < 29) {
      PutValue(put, len, kLengthExtra[symbol - 257], kLengthBase[symbol - 257], kLiteralBits);
    }  // 286 and 287 stay kSlow: the careful way finds them invalid
  });
  FillPacked(distances, kDistanceBits, out->distances.data(), [](uint16_t symbol, int len, auto&& put) {
    if (symbol < kDistanceCodes) PutValue(put, len, kDistanceExtra[symbol], kDistanceBase[symbol], kDistanceBits);
  });
}

class BitReader {
 public:
  BitReader(FileWindow& window, uint64_t start, uint64_t end) : m_window(window), m_next(start), m_end(end) {}

  // The next n bits (n <= 16), least significant first; false past the data.
  [[gnu::always_inline]] bool Bits(int n, uint32_t* value) {
    if (!Fill(n)) return false;
    *value = static_cast<uint32_t>(m_buffer & ((uint64_t{1} << n) - 1));
    m_buffer >>= n;
    m_count -= n;
    return true;
  }
  // Drops the bits left in the current byte.
  void AlignToByte() {
    m_next -= static_cast<uint64_t>(m_count / 8);  // whole bytes fetched ahead go back
    m_buffer = 0;
    m_count = 0;
  }
  // Skips count whole bytes (after AlignToByte).
  bool SkipBytes(uint64_t count) {
    const uint64_t position = Position();
    if (count > m_end - position) return false;
    m_next = position + count;
    m_span = nullptr;
    m_spanBytes = 0;
    return true;
  }
  // Offset of the first byte not yet (wholly) consumed.
  uint64_t Position() const { return m_next - static_cast<uint64_t>(m_count / 8); }

  // Decodes one symbol of h; -1 when the bits form no code or run out.
  [[gnu::always_inline]] int Decode(const Huffman& h) {
    if (h.fastBits > 0 && Fill(h.fastBits)) {
      const uint32_t entry = h.fast[m_buffer & ((1u << h.fastBits) - 1)];
      if (entry != 0) {
        const int length = static_cast<int>(entry & 0xFF);
        m_buffer >>= length;
        m_count -= length;
        return static_cast<int>(entry >> 8);
      }
    }
    return DecodeSlowly(h);
  }

  // Walks codes of a block while at least 16 bytes of the current span are
  // left, with the buffer in registers and one refill a symbol (a literal
  // or length code, its extra bits, a distance code and its extra bits
  // take at most 48 bits of the 56 a refill leaves). 1: the
  // block's end was read; -1: an invalid symbol; 0: go on the careful way
  // (the span is nearly used, or a code is longer than the tables).
  int WalkFast(const FastTables& tables, const Huffman& distances, uint64_t& produced) {
    if (m_span == nullptr || m_spanStart + m_spanAt != m_next) return 0;
    const uint64_t room = std::min<uint64_t>(m_spanBytes - m_spanAt, m_end - m_next);
    if (room < 16) return 0;
    const uint8_t* const first = m_span + m_spanAt;
    const uint8_t* p = first;
    const uint8_t* const last = first + (room - 8);  // a refill reads 8 bytes from p
    uint64_t buffer = m_buffer;
    int count = m_count;
    uint64_t made = produced;
    constexpr uint64_t kLiteralMask = (1u << kLiteralBits) - 1;
    constexpr uint64_t kDistanceMask = (1u << kDistanceBits) - 1;
    int result = 0;
    while (p <= last) {
      uint64_t word = 0;
      std::memcpy(&word, p, sizeof word);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      buffer |= word << count;
      p += (63 - count) >> 3;
      count |= 56;
      const uint32_t entry = tables.literals[buffer & kLiteralMask];
      const uint32_t kind = EntryKindOf(entry);
      if (kind == kLiteral) {
        buffer >>= EntryBits(entry);
        count -= static_cast<int>(EntryBits(entry));
        ++made;
        continue;
      }
      if (kind != kLength) {
        if (kind == kEndOfBlock) {
          buffer >>= EntryBits(entry);
          count -= static_cast<int>(EntryBits(entry));
          result = 1;
        }
        break;  // kSlow: the careful way decodes it from here
      }
      buffer >>= EntryBits(entry);
      count -= static_cast<int>(EntryBits(entry));
      const uint32_t lengthExtra = EntryExtra(entry);
      const uint32_t length = EntryValue(entry) + static_cast<uint32_t>(buffer & ((1u << lengthExtra) - 1));
      buffer >>= lengthExtra;
      count -= static_cast<int>(lengthExtra);
      const uint32_t distanceEntry = tables.distances[buffer & kDistanceMask];
      if (distanceEntry == 0) {
        // A distance code longer than the table: decoded bit by bit from the reader's own state.
        Keep(first, p, buffer, count);
        const int distanceSymbol = DecodeSlowly(distances);
        if (distanceSymbol < 0 || distanceSymbol >= kDistanceCodes) return -1;
        uint32_t extra = 0;
        if (!Bits(kDistanceExtra[distanceSymbol], &extra)) return -1;
        const uint32_t distance = kDistanceBase[distanceSymbol] + extra;
        if (distance > made) return -1;
        produced = made + length;
        return 0;
      }
      buffer >>= EntryBits(distanceEntry);
      count -= static_cast<int>(EntryBits(distanceEntry));
      const uint32_t distanceExtra = EntryExtra(distanceEntry);
      const uint32_t distance =
          EntryValue(distanceEntry) + static_cast<uint32_t>(buffer & ((1u << distanceExtra) - 1));
      buffer >>= distanceExtra;
      count -= static_cast<int>(distanceExtra);
      if (distance > made) {
        result = -1;
        break;
      }
      made += length;
    }
    Keep(first, p, buffer, count);
    produced = made;
    return result;
  }

 private:
  // Takes back the state WalkFast held in registers: the span read to p.
  void Keep(const uint8_t* first, const uint8_t* p, uint64_t buffer, int count) {
    const auto read = static_cast<size_t>(p - first);
    m_spanAt += read;
    m_next += read;
    m_buffer = buffer;
    m_count = count;
  }

  // Has at least n bits in the buffer; false when the data ends first.
  [[gnu::always_inline]] bool Fill(int n) { return m_count >= n || Refill(n); }

  // Fill's work. The buffer's bits above m_count are zero or the stream's
  // next bits (never others), so eight bytes are ORed in at once and only
  // the whole ones that fit counted.
  [[gnu::noinline]] bool Refill(int n) {
    if (m_span != nullptr && m_spanStart + m_spanAt == m_next && m_spanBytes - m_spanAt >= 8 && m_end - m_next >= 8) {
      uint64_t word = 0;
      std::memcpy(&word, m_span + m_spanAt, sizeof word);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      m_buffer |= word << m_count;
      const int take = (63 - m_count) / 8;
      m_count += take * 8;
      m_spanAt += static_cast<size_t>(take);
      m_next += static_cast<uint64_t>(take);
      if (m_count >= n) return true;
    }
    while (m_count < n) {
      uint8_t byte = 0;
      if (!NextByte(&byte)) return false;
      m_buffer |= static_cast<uint64_t>(byte) << m_count;
      m_count += 8;
    }
    return true;
  }

  // Decode bit by bit: codes longer than the table's, and the stream's last bits.
  [[gnu::noinline]] int DecodeSlowly(const Huffman& h) {
    int code = 0;
    int first = 0;
    int index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      uint32_t bit = 0;
      if (!Bits(1, &bit)) return -1;
      code |= static_cast<int>(bit);
      const int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return -1;
  }

  bool NextByte(uint8_t* byte) {
    if (m_next >= m_end) return false;
    if (m_span == nullptr || m_spanAt >= m_spanBytes || m_spanStart + m_spanAt != m_next) {
      m_span = m_window.Span(m_next, FileWindow::kMaxSpan, &m_spanBytes);
      if (m_span == nullptr) return false;
      m_spanStart = m_next;
      m_spanAt = 0;
    }
    *byte = m_span[m_spanAt++];
    ++m_next;
    return true;
  }

  FileWindow& m_window;
  uint64_t m_next;  // offset of the next byte to fetch
  uint64_t m_end;
  uint64_t m_buffer = 0;
  int m_count = 0;
  const uint8_t* m_span = nullptr;
  uint64_t m_spanStart = 0;
  size_t m_spanBytes = 0;
  size_t m_spanAt = 0;
};

// Walks the codes of one compressed block; false on any invalid symbol.
bool WalkCodes(BitReader& in, const Huffman& lengths, const Huffman& distances, const FastTables& tables,
               uint64_t* produced) {
  for (;;) {
    const int fast = in.WalkFast(tables, distances, *produced);
    if (fast != 0) return fast > 0;
    // One symbol the careful way.
    const int symbol = in.Decode(lengths);
    if (symbol < 0) return false;
    if (symbol < 256) {
      ++*produced;
      continue;
    }
    if (symbol == 256) return true;
    const int lengthIndex = symbol - 257;
    if (lengthIndex >= 29) return false;
    uint32_t extra = 0;
    if (!in.Bits(kLengthExtra[lengthIndex], &extra)) return false;
    const uint32_t length = kLengthBase[lengthIndex] + extra;
    const int distanceSymbol = in.Decode(distances);
    if (distanceSymbol < 0 || distanceSymbol >= kDistanceCodes) return false;
    if (!in.Bits(kDistanceExtra[distanceSymbol], &extra)) return false;
    const uint32_t distance = kDistanceBase[distanceSymbol] + extra;
    if (distance > *produced) return false;
    *produced += length;
  }
}

bool FixedCodes(Huffman* lengths, Huffman* distances) {
  uint8_t bits[kLiteralLengthCodes];
  for (int i = 0; i < 144; ++i) bits[i] = 8;
  for (int i = 144; i < 256; ++i) bits[i] = 9;
  for (int i = 256; i < 280; ++i) bits[i] = 7;
  for (int i = 280; i < kLiteralLengthCodes; ++i) bits[i] = 8;
  if (!Build(*lengths, bits, kLiteralLengthCodes)) return false;
  for (int i = 0; i < kDistanceCodes; ++i) bits[i] = 5;
  return Build(*distances, bits, kDistanceCodes);
}

// The codes of fixed blocks, made once.
struct FixedTables {
  FixedTables() : valid(FixedCodes(&lengths, &distances)) {
    if (valid) BuildFastTables(lengths, distances, &tables);
  }
  Huffman lengths;
  Huffman distances;
  FastTables tables;
  bool valid;
};

bool DynamicCodes(BitReader& in, Huffman* lengths, Huffman* distances) {
  uint32_t nlen = 0;
  uint32_t ndist = 0;
  uint32_t ncode = 0;
  if (!in.Bits(5, &nlen) || !in.Bits(5, &ndist) || !in.Bits(4, &ncode)) return false;
  nlen += 257;
  ndist += 1;
  ncode += 4;
  if (nlen > 286 || ndist > kDistanceCodes) return false;
  uint8_t bits[320] = {};
  for (uint32_t i = 0; i < ncode; ++i) {
    uint32_t value = 0;
    if (!in.Bits(3, &value)) return false;
    bits[kCodeLengthOrder[i]] = static_cast<uint8_t>(value);
  }
  Huffman codeLengths;
  codeLengths.fastBits = 7;  // code-length codes are at most 7 bits long
  if (!Build(codeLengths, bits, 19)) return false;
  uint32_t index = 0;
  while (index < nlen + ndist) {
    const int symbol = in.Decode(codeLengths);
    if (symbol < 0) return false;
    if (symbol < 16) {
      bits[index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat = 0;
    if (symbol == 16) {
      if (index == 0 || !in.Bits(2, &repeat)) return false;
      value = bits[index - 1];
      repeat += 3;
    } else if (symbol == 17) {
      if (!in.Bits(3, &repeat)) return false;
      repeat += 3;
    } else {
      if (!in.Bits(7, &repeat)) return false;
      repeat += 11;
    }
    if (index + repeat > nlen + ndist) return false;
    while (repeat-- > 0) bits[index++] = value;
  }
  if (bits[256] == 0) return false;  // no end-of-block code
  return Build(*lengths, bits, static_cast<int>(nlen)) && Build(*distances, bits + nlen, static_cast<int>(ndist));
}

}  // namespace

uint64_t DeflateStreamEnd(FileWindow& window, uint64_t start, uint64_t maxBytes) {
  uint64_t end = 0;
  if (__builtin_add_overflow(start, maxBytes, &end)) end = UINT64_MAX;
  BitReader in(window, start, end);
  uint64_t produced = 0;
  Huffman lengths;
  Huffman distances;
  FastTables tables;
  for (;;) {
    uint32_t last = 0;
    uint32_t type = 0;
    if (!in.Bits(1, &last) || !in.Bits(2, &type)) return 0;
    if (type == 0) {
      in.AlignToByte();
      const uint64_t at = in.Position();
      const uint8_t* header = window.Get(at, 4);
      if (header == nullptr) return 0;
      const uint32_t length = header[0] | (header[1] << 8);
      const uint32_t complement = header[2] | (header[3] << 8);
      if ((length ^ 0xFFFF) != complement || !in.SkipBytes(4 + uint64_t{length})) return 0;
      produced += length;
    } else if (type == 1) {
      static const FixedTables fixed;
      if (!fixed.valid || !WalkCodes(in, fixed.lengths, fixed.distances, fixed.tables, &produced)) return 0;
    } else if (type == 2) {
      if (!DynamicCodes(in, &lengths, &distances)) return 0;
      BuildFastTables(lengths, distances, &tables);
      if (!WalkCodes(in, lengths, distances, tables, &produced)) return 0;
    } else {
      return 0;
    }
    if (last != 0) return in.Position();
  }
}

}  // namespace engine::signatures
