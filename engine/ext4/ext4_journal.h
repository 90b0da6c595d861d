// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/crc32c.h"
#include "engine/ext4/ext4_block_map.h"
#include "engine/ext4/key_table.h"
#include "engine/status.h"

namespace engine::ext4 {

// The jbd2 journal (big-endian). Every journal block that is not data
// begins with a 12-byte header: 0 magic C03B3998  4 block type  8 sequence.
// Types: 1 descriptor (tags naming the volume blocks whose copies follow
// it in the log), 2 commit, 4 superblock v2 (3: v1), 5 revoke (blocks not
// to replay). The superblock (journal block 0): 0x0C block size 0x10 blocks
// 0x14 first log block 0x18 sequence of the oldest transaction (or the next,
// when the log is empty) 0x1C start of the log (0: empty) 0x24/0x28
// compat/incompat features (incompat 1 revoke, 2 64-bit, 8 csum v2,
// 0x10 csum v3) 0x30 uuid. A descriptor tag: 0 block lo, then flags (32-bit
// with csum v3, else 16-bit after a 16-bit checksum), block hi with 64-bit,
// checksum (csum v3), then 16 bytes of uuid unless flag 2 (same uuid); flag
// 1: the copy's first 4 bytes were the magic and are stored as zeros; flag
// 8: last tag. With csum v2/v3 a descriptor and a revoke block end in a
// crc32c of themselves, and each copy has crc32c(seed, sequence, bytes).
namespace jbd2 {
inline constexpr uint32_t kMagic = 0xC03B3998;
inline constexpr uint32_t kDescriptor = 1;
inline constexpr uint32_t kCommit = 2;
inline constexpr uint32_t kSuperblockV1 = 3;
inline constexpr uint32_t kSuperblockV2 = 4;
inline constexpr uint32_t kRevoke = 5;
inline constexpr uint32_t kIncompatRevoke = 0x1;
inline constexpr uint32_t kIncompat64Bit = 0x2;
inline constexpr uint32_t kIncompatCsumV2 = 0x8;
inline constexpr uint32_t kIncompatCsumV3 = 0x10;
inline constexpr uint32_t kFlagEscape = 0x1;
inline constexpr uint32_t kFlagSameUuid = 0x2;
inline constexpr uint32_t kFlagLastTag = 0x8;
}  // namespace jbd2

struct JournalSuperblock {
  uint32_t blockBytes = 0;
  uint32_t blockCount = 0;
  uint32_t firstLogBlock = 0;
  uint32_t sequence = 0;
  uint32_t start = 0;
  uint32_t incompat = 0;
  uint32_t seed = 0;  // crc32c(~0, uuid)
  bool Is64Bit() const { return (incompat & jbd2::kIncompat64Bit) != 0; }
  bool HasCsumV3() const { return (incompat & jbd2::kIncompatCsumV3) != 0; }
  bool HasCsum() const { return (incompat & (jbd2::kIncompatCsumV2 | jbd2::kIncompatCsumV3)) != 0; }
  // Bytes of one descriptor tag, uuid not counted.
  size_t TagBytes() const;
};

// Parses the journal superblock (journal block 0). False when it is none or
// its geometry is impossible (block size other than volumeBlockBytes, a log
// that starts past its end).
[[nodiscard]] bool ParseJournalSuperblock(ByteView bytes, uint32_t volumeBlockBytes, JournalSuperblock* out);

// One copy of a volume block in the journal.
struct JournalCopy {
  uint64_t volumeBlock = 0;
  uint32_t journalBlock = 0;  // where the copy is, in the journal
  uint32_t sequence = 0;      // of its transaction
  uint32_t checksum = 0;      // from its tag (csum v2: low 16 bits)
  bool escaped = false;
  bool committed = false;     // its transaction's commit block was found
};

// Every copy the journal still holds, found by reading the whole log: all
// descriptor blocks, live or stale (a log that wrapped keeps the older
// transactions where nothing newer overwrote them), each copy checked
// against what later transactions wrote over its place. Built once; read
// only afterwards. One thread at a time.
class JournalIndex {
 public:
  // Reads count journal blocks from journal block first into out.
  using ReadJournal = std::function<Status(uint32_t first, uint32_t count, uint8_t* out)>;
  // Most journal blocks read at once.
  static constexpr uint32_t kReadBlocks = 256;

  // Reads the log (the superblock must be parsed). 0, or the read error.
  // held: the whole journal's bytes (blockCount blocks) when the caller
  // holds them, read in place instead of through read.
  [[nodiscard]] Status Load(const JournalSuperblock& superblock, const ReadJournal& read,
                            const uint8_t* held = nullptr);
  void Clear();

  // Copies of block, newest first (empty when none).
  std::span<const JournalCopy> CopiesOf(uint64_t volumeBlock) const;
  // Every volume block that has copies.
  std::vector<uint64_t> Blocks() const;
  // The copy of block that a replay of the committed, not yet checkpointed
  // transactions would write (the newest one not revoked), or null.
  const JournalCopy* ReplayCopyOf(uint64_t volumeBlock) const;
  bool NeedsReplay() const { return !m_replay.empty(); }
  // Reads a copy: its checksum (csum v2/v3) must hold (unless the caller
  // checked it before: checked); escaped bytes are restored. 0; 87 when the
  // checksum fails; the read error.
  [[nodiscard]] Status ReadCopy(const JournalCopy& copy, const ReadJournal& read, std::vector<uint8_t>* out,
                                bool checked = false) const;
  // True when bytes (a copy as stored: escaped) pass the copy's checksum
  // (always true without csum v2/v3).
  bool CopyHolds(const JournalCopy& copy, ByteView bytes) const;
  // The same from blockCrc, Crc32c(0, ...) of the copy's whole block as
  // stored (computed by a caller that had the bytes at hand).
  bool CopyHoldsFrom(const JournalCopy& copy, uint32_t blockCrc) const;
  // Journal blocks that hold log headers or copies (descriptor, commit,
  // revoke and data blocks of the transactions found).
  size_t CopyCount() const { return m_copyCount; }
  const JournalSuperblock& Superblock() const { return m_sb; }

  // Newer-first order of two sequences (handles the 32-bit wrap around the
  // superblock's sequence).
  bool Newer(uint32_t a, uint32_t b) const;

 private:
  JournalSuperblock m_sb;
  Crc32cShift m_blockShift;  // over one journal block
  // Every copy, by volume block and newest first within one; where each
  // block's copies begin found through m_blocks.
  std::vector<JournalCopy> m_copies;
  KeyTable m_blocks;  // volume block -> index of its first copy
  std::unordered_map<uint64_t, JournalCopy> m_replay;
  size_t m_copyCount = 0;
};

// Parses one descriptor block's tags: (volume block, flags, checksum) in
// order. False when the block is no descriptor or its checksum fails.
struct DescriptorTag {
  uint64_t volumeBlock = 0;
  uint32_t flags = 0;
  uint32_t checksum = 0;
};
[[nodiscard]] bool ParseDescriptorBlock(ByteView bytes, const JournalSuperblock& sb, std::vector<DescriptorTag>* out);
// Parses a revoke block's block numbers. False when it is none or its checksum fails.
[[nodiscard]] bool ParseRevokeBlock(ByteView bytes, const JournalSuperblock& sb, std::vector<uint64_t>* out);

}  // namespace engine::ext4
