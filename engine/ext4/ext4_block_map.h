// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/ext4_inode.h"
#include "engine/ext4/ext4_superblock.h"
#include "engine/status.h"

namespace engine::ext4 {

// A run of a file's data: count blocks from file block `logical` lie at
// volume block `physical` on. Unwritten runs read as zeros; file blocks no
// run covers are holes (zeros). Plain value.
struct BlockRun {
  uint64_t logical = 0;
  uint64_t physical = 0;
  uint64_t count = 0;
  bool unwritten = false;
};

// Extent tree node layout (12-byte header, then 12-byte entries):
//   header: 0 magic F30A  2 entries  4 max  6 depth
//   index:  0 file block  4 child block lo  8 child block hi (16 bits)
//   leaf:   0 file block  4 length (above 32768: unwritten, minus 32768)
//           6 start hi (16 bits)  8 start lo
// A tree block ends in a crc32c (metadata_csum) right after max entries.
namespace extent {
inline constexpr uint16_t kMagic = 0xF30A;
inline constexpr size_t kHeaderBytes = 12;
inline constexpr size_t kEntryBytes = 12;
inline constexpr uint16_t kMaxDepth = 5;
inline constexpr uint32_t kInitMaxLength = 32768;
}  // namespace extent

struct ExtentNode {
  uint16_t depth = 0;
  struct Entry {
    uint32_t logical = 0;
    uint64_t block = 0;   // leaf: first data block; index: child node
    uint32_t length = 0;  // leaf only
    bool unwritten = false;
  };
  std::vector<Entry> entries;
};

// Parses an extent tree node (60 bytes of i_block, or a whole tree block
// when seed is given: its checksum must then hold under metadata_csum).
// False when the header is not one (magic, entries above max, max larger
// than the bytes hold, depth above 5) or an entry points outside the volume.
[[nodiscard]] bool ParseExtentNode(ByteView bytes, const Superblock& sb, bool isTreeBlock, uint32_t seed,
                                   ExtentNode* out);

// The bytes of a metadata block the map reads (an extent tree block or an
// indirect block): the fetcher offers the copies it knows, newest first, to
// accept, and copies the first accepted one into *out. False when none is.
using AcceptBlock = std::function<bool(ByteView)>;
using FetchBlock = std::function<bool(uint64_t block, const AcceptBlock& accept, std::vector<uint8_t>* out)>;

// The runs of a file's data from its inode (number for the checksums of
// extent blocks): extent tree or block map, limited to the blocks its size
// covers, merged where adjacent. At most maxRuns runs. metadataBlocks, when
// given, receives the blocks the map itself occupies (tree and indirect
// blocks). 0; 87 when the tree or map cannot be followed whole (a node that
// no copy gives, a loop, more runs than allowed): a file whose map is broken
// has no trustworthy layout.
[[nodiscard]] Status MapInode(const Inode& node, uint32_t number, const Superblock& sb, const FetchBlock& fetch,
                              size_t maxRuns, std::vector<BlockRun>* runs,
                              std::vector<uint64_t>* metadataBlocks = nullptr);

// File blocks the runs cover.
uint64_t MappedBlocks(const std::vector<BlockRun>& runs);

}  // namespace engine::ext4
