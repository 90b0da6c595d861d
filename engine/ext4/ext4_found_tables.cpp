// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_found_tables.h"

#include <algorithm>
#include <map>

#include "engine/ext4/ext4_block_map.h"

namespace engine::ext4 {
namespace {

constexpr size_t kOldInodeBytes = 128;
constexpr size_t kRootEntries = (inode::kBlockBytes - extent::kHeaderBytes) / extent::kEntryBytes;  // 4
constexpr size_t kBlockPointers = inode::kBlockBytes / 4;                                           // 15

bool AllZero(ByteView b) {
  for (size_t i = 0; i < b.size(); ++i) {
    if (b.U8(i) != 0) return false;
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
  if (bs == 0 || !block.Has(0, bs)) return false;
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

void FoundInodeTables::Number(uint32_t blockBytes, const SelfOf& selfOf) {
  m_byNumber.clear();
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
  std::unordered_map<uint32_t, int> claims;
  for (auto& [number, b] : m_blocks) {
    const auto f = forward.find(number);
    const auto k = backward.find(number);
    int64_t first = f != forward.end() ? f->second : k != backward.end() ? k->second : 0;
    if (f != forward.end() && k != backward.end() && f->second != k->second) first = 0;
    if (first <= 0 || first + static_cast<int64_t>(blockBytes / b.inodeBytes) > int64_t{UINT32_MAX}) continue;
    b.first = static_cast<uint32_t>(first);
    for (size_t i = 0; i < b.slots.size(); ++i) {
      const uint32_t n = b.first + b.slots[i].slot;
      if (++claims[n] == 1) {
        m_byNumber[n] = {number, i};
      } else {
        m_byNumber.erase(n);  // two blocks claim it: neither is trusted
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
