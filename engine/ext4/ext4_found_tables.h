// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/ext4_inode.h"
#include "engine/ext4/ext4_superblock.h"

namespace engine::ext4 {

// One in-use inode of a block that reads as an inode-table block.
struct TableSlot {
  uint16_t slot = 0;  // its index in the block
  Inode inode;        // parsed without checksum (its seed and number are not known here)
  std::vector<uint8_t> raw;  // its bytes
  bool trusted = true;       // false when its checksum does not hold at the number its place gives
};

// Recognises an inode-table block: blocks of 128- or 256-byte inodes,
// every slot either all zeros, a reserved inode (no type, links, size or
// map) or a plausible inode (a known type, a change
// time, an extra size that fits, an extent root with its magic and at most
// four entries, inline data, or block pointers inside maxBlock), at least
// one of them linked. sb gives the block size and the features (checksums
// are not checked). On success *inodeBytes is the inode size that fits and
// *slots the linked inodes. A block of 128-byte inodes whose odd slots are
// empty also fits 256; the smaller size is tried first.
[[nodiscard]] bool RecogniseInodeTableBlock(ByteView block, const Superblock& sb, uint64_t maxBlock,
                                            uint16_t* inodeBytes, std::vector<TableSlot>* slots);

// Inode-table blocks of an earlier file system found on a volume (a volume
// made again with mkfs.ext4 keeps the old tables wherever the new ones did
// not land, and inside the new ones until they are first zeroed). An
// inode's number comes from its place: inode tables are laid out in
// consecutive blocks, so one inode whose number is known (an anchor: a
// folder's inode whose first block begins with "." naming it) numbers its
// block, and every block next to a numbered one of the same inode size
// continues the count. Blocks no anchor reaches stay unnumbered.
// Under metadata_csum a 256-byte inode's 32-bit checksum is crc32c over
// the volume's seed, its number, its generation and its bytes; crc32c is
// linear, so the inode's number and the old volume's seed each follow from
// the other. The seed that two or more numbered inodes give alike is the
// old volume's; with it every kept block of 256-byte inodes is numbered by
// its own checksums (where an anchor did not reach it or numbered it
// otherwise), and a linked inode whose checksum does not hold at its number
// is not used (it is not that inode, or not the old volume's). Where two
// kept blocks hold one inode number (a table block and an old journal's
// copy of one), the copy changed last is taken (see IndexNumbers).
// At most kMaxInodes inodes are kept. Plain value; one thread at a time.
class FoundInodeTables {
 public:
  static constexpr size_t kMaxInodes = 1u << 18;

  struct Copy {
    uint64_t block = 0;
    uint16_t slot = 0;
    uint16_t inodeBytes = 0;
    const Inode* inode = nullptr;
  };

  // Keeps block (a volume block number) when it reads as an inode-table
  // block. True when kept.
  bool Add(uint64_t block, ByteView bytes, const Superblock& sb, uint64_t maxBlock);
  size_t Blocks() const { return m_blocks.size(); }
  bool Holds(uint64_t block) const { return m_blocks.count(block) != 0; }

  // The anchors: for every linked folder inode kept, selfOf(inode) gives
  // the number its first block names as "." (0 when unknown). Then numbers
  // every block an anchor reaches through consecutive kept blocks. Blocks
  // whose anchors disagree stay unnumbered. Then the seed is learnt (see
  // above); currentSeed, the seed of the file system on the volume now,
  // never counts (its own inodes are not the old ones); no number above
  // maxInodes is taken from a checksum.
  using SelfOf = std::function<uint32_t(const Inode& folder, uint16_t inodeBytes)>;
  void Number(uint32_t blockBytes, const SelfOf& selfOf, uint32_t currentSeed, uint32_t maxInodes);

  // The old volume's checksum seed, when Number learnt it.
  bool SeedKnown() const { return m_seedKnown; }
  uint32_t Seed() const { return m_seed; }
  // The kept copy of inode number (numbered blocks only).
  [[nodiscard]] bool Find(uint32_t number, Copy* out) const;
  // True when block is kept and says it did not hold inode number at slot
  // in inodes of inodeBytes (numbered otherwise, or of another size).
  bool Contradicts(uint64_t block, uint16_t slot, uint16_t inodeBytes, uint32_t number) const;
  // Every numbered inode, in number order.
  void ForEachNumbered(const std::function<void(uint32_t number, const Copy& copy)>& fn) const;

 private:
  struct Block {
    uint16_t inodeBytes = 0;
    uint32_t first = 0;  // number of slot 0; 0 unnumbered
    std::vector<TableSlot> slots;
  };
  std::unordered_map<uint64_t, Block> m_blocks;
  std::unordered_map<uint32_t, std::pair<uint64_t, size_t>> m_byNumber;  // number -> block, index in slots
  size_t m_inodes = 0;
  bool m_seedKnown = false;
  uint32_t m_seed = 0;

  void LearnSeed(uint32_t blockBytes, uint32_t currentSeed, uint32_t maxInodes);
  void IndexNumbers();
};

}  // namespace engine::ext4
