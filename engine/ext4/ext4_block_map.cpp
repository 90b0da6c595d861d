// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_block_map.h"

#include <algorithm>
#include <unordered_set>

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

constexpr size_t kMaxNodes = 1u << 20;  // tree or indirect blocks followed for one file

class Mapper {
 public:
  Mapper(const Superblock& sb, uint32_t seed, const FetchBlock& fetch, size_t maxRuns, uint64_t fileBlocks,
         std::vector<BlockRun>* runs, std::vector<uint64_t>* metadata)
      : m_sb(sb), m_seed(seed), m_fetch(fetch), m_maxRuns(maxRuns), m_fileBlocks(fileBlocks), m_runs(runs),
        m_metadata(metadata) {}

  Status Extents(const ExtentNode& node, uint16_t expectedDepth) {
    if (node.depth != expectedDepth) return kStatusInvalidParameter;
    for (const ExtentNode::Entry& e : node.entries) {
      if (node.depth == 0) {
        if (Status s = Add(e.logical, e.block, e.length, e.unwritten); s != kStatusOk) return s;
        continue;
      }
      if (e.logical >= m_fileBlocks) continue;  // beyond the size: nothing the file holds
      if (Status s = Visit(e.block); s != kStatusOk) return s;
      std::vector<uint8_t> bytes;
      ExtentNode child;
      const uint16_t childDepth = static_cast<uint16_t>(node.depth - 1);
      const AcceptBlock accept = [&](ByteView b) {
        ExtentNode probe;
        return ParseExtentNode(b, m_sb, true, m_seed, &probe) && probe.depth == childDepth && !probe.entries.empty();
      };
      if (!m_fetch(e.block, accept, &bytes) ||
          !ParseExtentNode(ByteView(bytes.data(), bytes.size()), m_sb, true, m_seed, &child)) {
        return kStatusInvalidParameter;
      }
      if (Status s = Extents(child, childDepth); s != kStatusOk) return s;
    }
    return kStatusOk;
  }

  // The block map: pointers in i_block, then levels of indirect blocks.
  Status Indirect(ByteView pointers, int level, uint64_t firstLogical) {
    const uint64_t perBlock = m_sb.blockBytes / 4;
    uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    for (size_t i = 0; i * 4 < pointers.size(); ++i) {
      const uint64_t logical = firstLogical + i * span;
      if (logical >= m_fileBlocks) break;
      const uint32_t block = pointers.U32(i * 4);
      if (block == 0) continue;  // a hole
      if (block >= m_sb.blockCount) return kStatusInvalidParameter;
      if (level == 0) {
        if (Status s = Add(logical, block, 1, false); s != kStatusOk) return s;
        continue;
      }
      if (Status s = Visit(block); s != kStatusOk) return s;
      std::vector<uint8_t> bytes;
      const uint64_t volumeBlocks = m_sb.blockCount;
      const AcceptBlock accept = [volumeBlocks](ByteView b) {
        bool any = false;
        for (size_t k = 0; k + 4 <= b.size(); k += 4) {
          const uint32_t v = b.U32(k);
          if (v >= volumeBlocks) return false;
          any = any || v != 0;
        }
        return any;
      };
      if (!m_fetch(block, accept, &bytes) || bytes.size() < m_sb.blockBytes) return kStatusInvalidParameter;
      if (Status s = Indirect(ByteView(bytes.data(), m_sb.blockBytes), level - 1, logical); s != kStatusOk) return s;
    }
    return kStatusOk;
  }

 private:
  Status Visit(uint64_t block) {
    if (m_visited.size() >= kMaxNodes || !m_visited.insert(block).second) return kStatusInvalidParameter;
    if (m_metadata != nullptr) m_metadata->push_back(block);
    return kStatusOk;
  }

  Status Add(uint64_t logical, uint64_t physical, uint64_t count, bool unwritten) {
    if (logical >= m_fileBlocks || count == 0) return kStatusOk;
    count = std::min(count, m_fileBlocks - logical);
    if (physical >= m_sb.blockCount || count > m_sb.blockCount - physical) return kStatusInvalidParameter;
    if (!m_runs->empty()) {
      BlockRun& last = m_runs->back();
      if (last.logical + last.count == logical && last.physical + last.count == physical &&
          last.unwritten == unwritten) {
        last.count += count;
        return kStatusOk;
      }
    }
    if (m_runs->size() >= m_maxRuns) return kStatusInvalidParameter;
    m_runs->push_back(BlockRun{logical, physical, count, unwritten});
    return kStatusOk;
  }

  const Superblock& m_sb;
  uint32_t m_seed;
  const FetchBlock& m_fetch;
  size_t m_maxRuns;
  uint64_t m_fileBlocks;
  std::vector<BlockRun>* m_runs;
  std::vector<uint64_t>* m_metadata;
  std::unordered_set<uint64_t> m_visited;
};

}  // namespace

bool ParseExtentNode(ByteView b, const Superblock& sb, bool isTreeBlock, uint32_t seed, ExtentNode* out) {
  if (!b.Has(0, extent::kHeaderBytes) || b.U16(0) != extent::kMagic) return false;
  const uint16_t entries = b.U16(2);
  const uint16_t max = b.U16(4);
  const uint16_t depth = b.U16(6);
  const size_t room = isTreeBlock ? std::min<size_t>(b.size(), sb.blockBytes) : std::min<size_t>(b.size(), 60);
  if (depth > extent::kMaxDepth || max == 0 || entries > max ||
      extent::kHeaderBytes + size_t{max} * extent::kEntryBytes > room) {
    return false;
  }
  if (isTreeBlock && sb.HasMetadataCsum()) {
    const size_t tail = extent::kHeaderBytes + size_t{max} * extent::kEntryBytes;
    if (!b.Has(tail, 4) || Crc32c(seed, b.data(), tail) != b.U32(tail)) return false;
  }
  ExtentNode node;
  node.depth = depth;
  node.entries.reserve(entries);
  uint64_t nextLogical = 0;
  for (size_t i = 0; i < entries; ++i) {
    const size_t at = extent::kHeaderBytes + i * extent::kEntryBytes;
    ExtentNode::Entry e;
    e.logical = b.U32(at);
    if (depth == 0) {
      uint32_t length = b.U16(at + 4);
      if (length > extent::kInitMaxLength) {
        length -= extent::kInitMaxLength;
        e.unwritten = true;
      }
      e.length = length;
      e.block = (uint64_t{b.U16(at + 6)} << 32) | b.U32(at + 8);
      if (length == 0 || e.block >= sb.blockCount || length > sb.blockCount - e.block) return false;
    } else {
      e.block = (uint64_t{b.U16(at + 8)} << 32) | b.U32(at + 4);
      if (e.block >= sb.blockCount) return false;
    }
    // Entries are sorted by file block and do not overlap.
    if (i > 0 && e.logical < nextLogical) return false;
    nextLogical = uint64_t{e.logical} + (depth == 0 ? e.length : 1);
    node.entries.push_back(e);
  }
  *out = std::move(node);
  return true;
}

uint64_t MappedBlocks(const std::vector<BlockRun>& runs) {
  uint64_t total = 0;
  for (const BlockRun& r : runs) total += r.count;
  return total;
}

Status MapInode(const Inode& node, uint32_t number, const Superblock& sb, const FetchBlock& fetch, size_t maxRuns,
                std::vector<BlockRun>* runs, std::vector<uint64_t>* metadataBlocks) {
  runs->clear();
  const uint64_t fileBlocks = node.size / sb.blockBytes + (node.size % sb.blockBytes != 0 ? 1 : 0);
  if (node.HasInlineData() || fileBlocks == 0) return kStatusOk;
  const uint32_t seed = InodeSeed(sb, number, node.generation);
  Mapper mapper(sb, seed, fetch, maxRuns, fileBlocks, runs, metadataBlocks);
  const ByteView root(node.block.data(), node.block.size());
  if (node.UsesExtents()) {
    ExtentNode top;
    if (!ParseExtentNode(root, sb, false, seed, &top)) return kStatusInvalidParameter;
    return mapper.Extents(top, top.depth);
  }
  if (Status s = mapper.Indirect(root.Sub(0, 48), 0, 0); s != kStatusOk) return s;
  const uint64_t perBlock = sb.blockBytes / 4;
  uint64_t first = 12;
  for (int level = 1; level <= 3; ++level) {
    if (Status s = mapper.Indirect(root.Sub(48 + 4 * (level - 1), 4), level, first); s != kStatusOk) return s;
    uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    first += span;
  }
  return kStatusOk;
}

}  // namespace engine::ext4
