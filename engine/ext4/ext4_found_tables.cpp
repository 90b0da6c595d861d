// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_found_tables.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <tuple>

#include "engine/ext4/crc32c.h"
#include "engine/ext4/ext4_block_map.h"

namespace engine::ext4 {
namespace {

constexpr size_t kOldInodeBytes = 128;
constexpr size_t kRootEntries = (inode::kBlockBytes - extent::kHeaderBytes) / extent::kEntryBytes;  // 4
constexpr size_t kBlockPointers = inode::kBlockBytes / 4;                                           // 15

// Inode checksum layout (256-byte inodes with room for the high half):
// crc32c from the seed over the number, the generation, then the inode's
// bytes with both checksum halves (0x7C lo, 0x82 hi) read as zeros.
constexpr size_t kCheckedInodeBytes = 256;
constexpr size_t kChecksumLo = 0x7C;
constexpr size_t kChecksumHi = 0x82;
constexpr size_t kLearnedInodes = 8192;  // inodes that vote on the seed, at most

bool HasFullChecksum(const std::vector<uint8_t>& raw) {
  const ByteView b(raw.data(), raw.size());
  return raw.size() == kCheckedInodeBytes && b.U16(0x80) >= 4 && b.U16(0x80) <= kCheckedInodeBytes - kOldInodeBytes &&
         (b.U16(kChecksumLo) != 0 || b.U16(kChecksumHi) != 0);
}

uint32_t StoredChecksum(const std::vector<uint8_t>& raw) {
  const ByteView b(raw.data(), raw.size());
  return b.U16(kChecksumLo) | (uint32_t{b.U16(kChecksumHi)} << 16);
}

uint32_t InodeCrc(const std::vector<uint8_t>& raw, uint32_t seed, uint32_t number, uint32_t generation) {
  const uint8_t zero[2] = {0, 0};
  const uint8_t* b = raw.data();
  uint32_t crc = Crc32cLe32(Crc32cLe32(seed, number), generation);
  crc = Crc32c(crc, b, kChecksumLo);
  crc = Crc32c(crc, zero, 2);
  crc = Crc32c(crc, b + kChecksumLo + 2, kOldInodeBytes - kChecksumLo - 2);
  crc = Crc32c(crc, b + kOldInodeBytes, kChecksumHi - kOldInodeBytes);
  crc = Crc32c(crc, zero, 2);
  return Crc32c(crc, b + kChecksumHi + 2, kCheckedInodeBytes - kChecksumHi - 2);
}

// A linear map of 32-bit values over GF(2), by the images of the 32 unit values.
struct BitMatrix {
  std::array<uint32_t, 32> column{};
  uint32_t Apply(uint32_t v) const {
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i) r ^= (v >> i & 1u) != 0 ? column[i] : 0;
    return r;
  }
  bool Invert(BitMatrix* out) const {
    std::array<uint32_t, 32> row{}, inverse{};
    for (int r = 0; r < 32; ++r) {
      for (int i = 0; i < 32; ++i) row[r] |= (column[i] >> r & 1u) << i;
      inverse[r] = 1u << r;
    }
    for (int c = 0; c < 32; ++c) {
      int pivot = c;
      while (pivot < 32 && (row[pivot] >> c & 1u) == 0) ++pivot;
      if (pivot == 32) return false;
      std::swap(row[c], row[pivot]);
      std::swap(inverse[c], inverse[pivot]);
      for (int r = 0; r < 32; ++r) {
        if (r != c && (row[r] >> c & 1u) != 0) {
          row[r] ^= row[c];
          inverse[r] ^= inverse[c];
        }
      }
    }
    for (int i = 0; i < 32; ++i) {
      out->column[i] = 0;
      for (int r = 0; r < 32; ++r) out->column[i] |= (inverse[r] >> i & 1u) << r;
    }
    return true;
  }
};

// crc32c's state carried through count zero bytes, after a prefix made from the unit value.
template <typename Prefix>
BitMatrix ZeroRunMap(size_t count, Prefix prefix) {
  const std::vector<uint8_t> zeros(count, 0);
  BitMatrix m;
  for (int i = 0; i < 32; ++i) m.column[i] = Crc32c(prefix(1u << i), zeros.data(), zeros.size());
  return m;
}

bool AllZero(ByteView b) {
  const uint8_t* p = b.data();
  size_t n = b.size();
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word = 0;
    std::memcpy(&word, p, 8);
    if (word != 0) return false;
  }
  for (; n > 0; --n, ++p) {
    if (*p != 0) return false;
  }
  return true;
}

bool KnownType(uint16_t type) {
  switch (type) {
    case 0x1000: case 0x2000: case 0x4000: case 0x6000: case 0x8000: case 0xA000: case 0xC000: return true;
    default: return false;
  }
}

// A plausible inode (slot not all zeros). *linked: in use, not deleted.
bool Plausible(ByteView b, const Superblock& sized, Inode* out, bool* linked) {
  if (!ParseInode(b, sized, 0, out, false)) return false;
  const Inode& n = *out;
  if (n.mode == 0 && n.links == 0 && n.size == 0) {  // a reserved inode (the bad-blocks list): times, no data
    *linked = false;
    return AllZero(b.Sub(inode::kBlockOffset, inode::kBlockBytes));
  }
  if (!KnownType(n.Type()) || n.ctime == 0 || n.mtime == 0) return false;
  if (sized.inodeBytes > kOldInodeBytes) {
    const uint16_t extra = b.U16(0x80);
    if (extra > sized.inodeBytes - kOldInodeBytes || (extra & 3) != 0) return false;
  }
  if (n.links == 0 && n.dtime == 0) return false;  // neither in use nor deleted
  *linked = n.links != 0 && n.dtime == 0;
  const ByteView root = b.Sub(inode::kBlockOffset, inode::kBlockBytes);
  const uint16_t type = n.Type();
  if (n.HasInlineData()) return type == inode::kTypeRegular || type == inode::kTypeDirectory;
  if (n.UsesExtents()) {
    if (root.U16(0) != extent::kMagic || root.U16(4) != kRootEntries) return false;
    ExtentNode node;
    return ParseExtentNode(root, sized, false, 0, &node) && (node.entries.size() != 0 || !*linked || n.size == 0);
  }
  if (type == inode::kTypeSymlink && n.size < inode::kBlockBytes) return true;  // the target in i_block
  if (type != inode::kTypeRegular && type != inode::kTypeDirectory && type != inode::kTypeSymlink) return true;
  for (size_t i = 0; i < kBlockPointers; ++i) {
    if (root.U32(i * 4) >= sized.blockCount) return false;
  }
  return true;
}

}  // namespace

bool RecogniseInodeTableBlock(ByteView block, const Superblock& sb, uint64_t maxBlock, uint16_t* inodeBytes,
                              std::vector<TableSlot>* slots) {
  const size_t bs = sb.blockBytes;
  if (bs == 0 || !block.Has(0, bs) || AllZero(block.Sub(0, bs))) return false;  // most of free space
  Superblock sized = sb;
  sized.roCompat &= ~feature::kRoCompatMetadataCsum;
  sized.blockCount = maxBlock;
  for (const uint16_t size : {uint16_t{128}, uint16_t{256}}) {
    if (bs % size != 0) continue;
    sized.inodeBytes = size;
    slots->clear();
    bool fits = true;
    for (size_t at = 0; at < bs && fits; at += size) {
      const ByteView raw = block.Sub(at, size);
      if (AllZero(raw)) continue;
      TableSlot slot;
      bool linked = false;
      fits = Plausible(raw, sized, &slot.inode, &linked);
      if (fits && linked) {
        slot.slot = static_cast<uint16_t>(at / size);
        slot.raw.assign(raw.data(), raw.data() + raw.size());
        slots->push_back(std::move(slot));
      }
    }
    if (fits && !slots->empty()) {
      *inodeBytes = size;
      return true;
    }
  }
  slots->clear();
  return false;
}

bool FoundInodeTables::Add(uint64_t block, ByteView bytes, const Superblock& sb, uint64_t maxBlock) {
  if (m_inodes >= kMaxInodes || m_blocks.count(block) != 0) return false;
  Block kept;
  if (!RecogniseInodeTableBlock(bytes, sb, maxBlock, &kept.inodeBytes, &kept.slots)) return false;
  m_inodes += kept.slots.size();
  m_blocks.emplace(block, std::move(kept));
  return true;
}

void FoundInodeTables::Number(uint32_t blockBytes, const SelfOf& selfOf, uint32_t currentSeed, uint32_t maxInodes) {
  m_byNumber.clear();
  for (auto& [number, b] : m_blocks) {
    for (TableSlot& s : b.slots) s.trusted = true;
  }
  // Votes of each block's anchors for the number of its slot 0.
  constexpr int64_t kConflict = -1;
  std::map<uint64_t, int64_t> direct;  // by block, ordered for the walk below
  for (auto& [number, b] : m_blocks) {
    b.first = 0;
    int64_t vote = 0;
    for (const TableSlot& s : b.slots) {
      if (!s.inode.IsDirectory()) continue;
      const uint32_t self = selfOf(s.inode, b.inodeBytes);
      const uint32_t perBlock = blockBytes / b.inodeBytes;
      if (self <= s.slot || perBlock == 0 || (self - 1 - s.slot) % perBlock != 0) continue;
      const int64_t first = int64_t{self} - s.slot;
      vote = vote == 0 || vote == first ? first : kConflict;
    }
    if (vote != 0) direct[number] = vote;
  }
  // Every kept block: the count continues through consecutive kept blocks of one inode size.
  std::vector<uint64_t> order;
  order.reserve(m_blocks.size());
  for (const auto& [number, b] : m_blocks) order.push_back(number);
  std::sort(order.begin(), order.end());
  std::unordered_map<uint64_t, int64_t> forward, backward;
  auto walk = [&](auto begin, auto end, std::unordered_map<uint64_t, int64_t>& out, int64_t step) {
    int64_t carry = 0;
    uint64_t previous = 0;
    uint16_t size = 0;
    for (auto it = begin; it != end; ++it) {
      const Block& b = m_blocks[*it];
      const bool adjacent = carry > 0 && b.inodeBytes == size &&
                            (step > 0 ? *it == previous + 1 : *it + 1 == previous);
      carry = adjacent ? carry + step * static_cast<int64_t>(blockBytes / b.inodeBytes) : 0;
      if (const auto d = direct.find(*it); d != direct.end()) carry = d->second;
      if (carry > 0) out[*it] = carry;
      previous = *it;
      size = b.inodeBytes;
    }
  };
  walk(order.begin(), order.end(), forward, 1);
  walk(order.rbegin(), order.rend(), backward, -1);
  for (auto& [number, b] : m_blocks) {
    const auto f = forward.find(number);
    const auto k = backward.find(number);
    int64_t first = f != forward.end() ? f->second : k != backward.end() ? k->second : 0;
    if (f != forward.end() && k != backward.end() && f->second != k->second) first = 0;
    if (first <= 0 || first + static_cast<int64_t>(blockBytes / b.inodeBytes) > int64_t{UINT32_MAX}) continue;
    b.first = static_cast<uint32_t>(first);
  }
  LearnSeed(blockBytes, currentSeed, maxInodes);
  IndexNumbers();
}

void FoundInodeTables::LearnSeed(uint32_t blockBytes, uint32_t currentSeed, uint32_t maxInodes) {
  m_seedKnown = false;
  // Each numbered inode's checksum gives the seed it was made with: two alike make it the old volume's.
  const BitMatrix shift = ZeroRunMap(8 + kCheckedInodeBytes, [](uint32_t unit) { return unit; });
  BitMatrix unshift;
  if (!shift.Invert(&unshift)) return;
  std::unordered_map<uint32_t, int> votes;
  size_t voters = 0;
  for (const auto& [number, b] : m_blocks) {
    if (b.first == 0 || b.inodeBytes != kCheckedInodeBytes) continue;
    for (const TableSlot& s : b.slots) {
      if (voters >= kLearnedInodes || !HasFullChecksum(s.raw)) continue;
      ++voters;
      const uint32_t seed = unshift.Apply(StoredChecksum(s.raw) ^ InodeCrc(s.raw, 0, b.first + s.slot, s.inode.generation));
      if (seed != currentSeed) ++votes[seed];
    }
  }
  int best = 0, second = 0;
  for (const auto& [seed, n] : votes) {
    if (n > best) {
      second = best;
      best = n;
      m_seed = seed;
    } else if (n > second) {
      second = n;
    }
  }
  if (best < 2 || best == second) return;
  m_seedKnown = true;
  // Every block of such inodes numbered by its own checksums; an inode whose checksum fails at its place is not used.
  const BitMatrix byNumber = ZeroRunMap(4 + kCheckedInodeBytes, [](uint32_t unit) { return Crc32cLe32(0, unit); });
  BitMatrix toNumber;
  if (!byNumber.Invert(&toNumber)) return;
  const uint32_t perBlock = blockBytes / kCheckedInodeBytes;
  for (auto& [number, b] : m_blocks) {
    if (b.inodeBytes != kCheckedInodeBytes || perBlock == 0) continue;
    std::map<uint32_t, int> firsts;
    bool checked = false;
    for (const TableSlot& s : b.slots) {
      if (!HasFullChecksum(s.raw)) continue;
      checked = true;
      const uint32_t n = toNumber.Apply(StoredChecksum(s.raw) ^ InodeCrc(s.raw, m_seed, 0, s.inode.generation));
      if (n > s.slot && n <= maxInodes && (n - 1 - s.slot) % perBlock == 0) ++firsts[n - s.slot];
    }
    if (!checked) continue;  // nothing here tells: the anchors' count stands
    int most = 0, next = 0;
    uint32_t first = 0;
    for (const auto& [f, n] : firsts) {
      if (n > most) {
        next = most;
        most = n;
        first = f;
      } else if (n > next) {
        next = n;
      }
    }
    // The anchors' count stands where any checksum agrees; else two checksums alike, or one where no
    // anchor reached (an inode of another seed, the new volume's, solves to a number at random).
    if (b.first != 0 && firsts.count(b.first) != 0) {
      // kept
    } else if (most > next && (most >= 2 || b.first == 0)) {
      b.first = first;
    }
    for (TableSlot& s : b.slots) {
      s.trusted = b.first != 0 && (!HasFullChecksum(s.raw) ||
                                   InodeCrc(s.raw, m_seed, b.first + s.slot, s.inode.generation) == StoredChecksum(s.raw));
    }
  }
}

void FoundInodeTables::IndexNumbers() {
  m_byNumber.clear();
  // Two copies of one inode (its table block and an old journal's copy of
  // it): the one changed last wins (change time with its fraction; then the
  // larger, as a file being written only grows); alike, the lowest block's.
  const auto changed = [](const TableSlot& s) {
    const ByteView b(s.raw.data(), s.raw.size());
    const bool fraction = s.raw.size() > kOldInodeBytes && b.U16(0x80) >= 8;
    return std::make_tuple(s.inode.ctime, fraction ? b.U32(0x84) : 0u, s.inode.size, s.inode.blockCount);
  };
  std::vector<uint64_t> order;  // in block order: ties keep the lowest block's copy
  for (const auto& [number, b] : m_blocks) {
    if (b.first != 0) order.push_back(number);
  }
  std::sort(order.begin(), order.end());
  for (const uint64_t number : order) {
    const Block& b = m_blocks.at(number);
    for (size_t i = 0; i < b.slots.size(); ++i) {
      const TableSlot& s = b.slots[i];
      if (!s.trusted) continue;
      const auto [it, added] = m_byNumber.emplace(b.first + s.slot, std::make_pair(number, i));
      if (!added && changed(s) > changed(m_blocks.at(it->second.first).slots[it->second.second])) {
        it->second = {number, i};
      }
    }
  }
}

bool FoundInodeTables::Find(uint32_t number, Copy* out) const {
  const auto it = m_byNumber.find(number);
  if (it == m_byNumber.end()) return false;
  const Block& b = m_blocks.at(it->second.first);
  const TableSlot& s = b.slots[it->second.second];
  *out = Copy{it->second.first, s.slot, b.inodeBytes, &s.inode};
  return true;
}

bool FoundInodeTables::Contradicts(uint64_t block, uint16_t slot, uint16_t inodeBytes, uint32_t number) const {
  const auto it = m_blocks.find(block);
  if (it == m_blocks.end()) return false;
  if (it->second.inodeBytes != inodeBytes) return true;
  return it->second.first != 0 && uint64_t{it->second.first} + slot != number;
}

void FoundInodeTables::ForEachNumbered(const std::function<void(uint32_t number, const Copy& copy)>& fn) const {
  std::vector<uint32_t> numbers;
  numbers.reserve(m_byNumber.size());
  for (const auto& [n, where] : m_byNumber) numbers.push_back(n);
  std::sort(numbers.begin(), numbers.end());
  for (const uint32_t n : numbers) {
    Copy c;
    if (Find(n, &c)) fn(n, c);
  }
}

}  // namespace engine::ext4
