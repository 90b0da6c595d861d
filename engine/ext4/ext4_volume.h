// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/ext4/ext4_block_map.h"
#include "engine/ext4/ext4_group_table.h"
#include "engine/ext4/ext4_inode.h"
#include "engine/ext4/ext4_journal.h"
#include "engine/ext4/ext4_superblock.h"
#include "engine/status.h"
#include "engine/volume_sectors.h"
#include "platform/large_buffer.h"

namespace engine::ext4 {

// One copy of an inode: parsed, and where its bytes lie on the volume
// (in the inode table, or in a journal block). Plain value.
struct InodeCopy {
  Inode inode;
  uint64_t volumeByte = 0;
  uint32_t sequence = 0;  // journal copies: their transaction
  bool fromJournal = false;
};

// Read-only access to an ext2/3/4 volume: its superblock, group
// descriptors, inodes and blocks as they are now, and the older copies its
// journal keeps. "Now" includes the committed transactions a replay would
// write when the volume was not unmounted cleanly (an image taken while it
// was mounted): those copies stand in for the blocks on the volume, so
// deleted files are deleted also when only the journal says so. The source
// is owned or borrowed as VolumeSectors says; nothing is ever written.
// One thread at a time.
class Ext4Volume {
 public:
  // Journals larger than this many blocks are not read.
  static constexpr uint32_t kMaxJournalBlocks = 1u << 22;
  // Journals up to this size are held in memory while the volume is walked.
  static constexpr uint64_t kMaxHeldJournalBytes = 256ull << 20;

  void Own(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount);
  void Borrow(storage::SectorSource& source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount);
  // Reads the superblock, the group descriptors and the journal. 0; 87
  // when the volume holds no readable ext superblock or descriptors; the
  // read error. A journal that cannot be read leaves JournalStatus set and
  // the volume open.
  [[nodiscard]] Status Open();
  void Close();
  bool IsOpen() const { return m_open; }

  const Superblock& Sb() const { return m_sb; }
  const VolumeSectors& Sectors() const { return m_sectors; }
  uint64_t VolumeBytes() const { return m_sectors.SectorCount() * m_sectors.SectorSize(); }
  uint32_t UnitBytes() const { return m_sectors.SectorSize(); }
  uint64_t StartUnit() const { return m_sectors.StartSector(); }

  // Bytes at a volume offset. 87 when outside the volume.
  [[nodiscard]] Status ReadBytes(uint64_t byteOffset, void* out, size_t byteCount);
  // count blocks as they lie on the volume.
  [[nodiscard]] Status ReadBlocks(uint64_t block, uint32_t count, uint8_t* out);
  // A block as it is now (a replayed journal copy, else the volume's).
  [[nodiscard]] Status ReadCurrentBlock(uint64_t block, std::vector<uint8_t>* out);
  // count blocks as they are now, read at once (each as ReadCurrentBlock
  // gives it when the volume's blocks can all be read; else the read error).
  [[nodiscard]] Status ReadCurrentBlocks(uint64_t first, uint32_t count, std::vector<uint8_t>* out);
  // Where inode number's bytes lie: its table block and offset in it.
  [[nodiscard]] bool InodeLocation(uint32_t number, uint64_t* block, uint32_t* offsetInBlock) const;
  // The inode as it is now. 87 for a number outside the volume. Its
  // checksum is not checked (checksumHolds stays true): InodeChecksumHolds
  // on its bytes tells, for a caller that needs it.
  [[nodiscard]] Status ReadInode(uint32_t number, InodeCopy* out);
  // The copies of inode number the journal keeps, newest first, whose
  // checksums (journal copy, inode) hold; with want, only those it wants.
  using WantCopy = std::function<bool(const InodeCopy&)>;
  std::vector<InodeCopy> JournalInodeCopies(uint32_t number, const WantCopy& want = {});
  // Asks the processor to bring the bytes ReadInode and JournalInodeCopies
  // will read for inode number into its cache (those held in memory: the
  // table chunk read before, the journal's copies, whole copies whose
  // checksum is still to be checked). Call ahead of them; changes nothing.
  void PrefetchInode(uint32_t number) const;
  // Reads a journal copy (checked, unescaped).
  [[nodiscard]] Status ReadJournalCopy(const JournalCopy& copy, std::vector<uint8_t>* out);
  // The same as a view: of the journal held in memory when it is, else of
  // scratch (read into it). Valid until the next call with scratch or
  // ReleaseJournalBytes.
  [[nodiscard]] Status ViewJournalCopy(const JournalCopy& copy, std::vector<uint8_t>* scratch, ByteView* out);

  // Metadata blocks of a file as they are now (for live files).
  FetchBlock CurrentFetcher();
  // Metadata blocks of a deleted file: the volume's block when accepted,
  // else the journal's copies, newest first.
  FetchBlock HistoryFetcher();

  // The allocation state now, from the block and inode bitmaps (read once;
  // a group whose bitmap is uninitialised counts as free but for its own
  // metadata). 0 or the read error.
  [[nodiscard]] Status LoadBitmaps();
  bool BitmapsLoaded() const { return m_bitmapsLoaded; }
  bool BlockInUse(uint64_t block) const;
  bool InodeInUse(uint32_t number) const;
  // True when any block of the runs is in use now.
  bool AnyInUse(const std::vector<BlockRun>& runs) const;
  // The first free block at or after block and the length of the free run
  // there (0 when none is left).
  void NextFreeRun(uint64_t block, uint64_t* first, uint64_t* count) const;

  const JournalIndex& Journal() const { return m_journal; }
  // Frees the journal's bytes held since Open (later reads go to the volume).
  void ReleaseJournalBytes();
  bool HasJournal() const { return m_journalLoaded; }
  Status JournalStatus() const { return m_journalStatus; }
  // The volume byte where journal block j lies (0 when unmapped).
  uint64_t JournalBlockByte(uint32_t journalBlock) const;
  const std::vector<GroupDescriptor>& Groups() const { return m_groups; }
  // Groups whose descriptor checksum failed (their tables were still used).
  uint32_t DamagedGroups() const { return m_damagedGroups; }

 private:
  [[nodiscard]] Status LoadGroups();
  [[nodiscard]] Status LoadJournal();
  [[nodiscard]] Status ReadJournalBlocks(uint32_t first, uint32_t count, uint8_t* out);
  // An inode-table block as it lies on the volume, from the chunks read
  // before (inodes are asked for out of order: a hashed folder's names).
  [[nodiscard]] Status ViewTableBlock(uint64_t block, ByteView* out);

  VolumeSectors m_sectors;
  std::vector<uint8_t> m_scratch;
  std::vector<uint8_t> m_replayScratch;
  // The inode-table block ReadInode read last (inodes are asked for in runs).
  uint64_t m_inodeBlock = UINT64_MAX;
  std::vector<uint8_t> m_inodeBytes;
  // Inode-table blocks read in chunks, kept in slots by chunk number
  // (at most kTableChunkSlots chunks: 64 MiB of 4 KiB blocks).
  static constexpr uint64_t kTableChunkBlocks = 16;
  static constexpr size_t kTableChunkSlots = 1024;
  struct TableChunk {
    uint64_t chunk = UINT64_MAX;
    size_t size = 0;
    std::unique_ptr<uint8_t[]> bytes;
  };
  std::vector<TableChunk> m_tableChunks;
  bool m_open = false;
  Superblock m_sb;
  std::vector<GroupDescriptor> m_groups;
  uint32_t m_damagedGroups = 0;

  JournalIndex m_journal;
  // The whole journal, kept while the volume is walked when it is no larger
  // than kMaxHeldJournalBytes (else its blocks are read again when needed);
  // per journal block: 0 not checked, 1 its copy's checksum held, 2 it failed.
  platform::LargeBuffer m_journalBytes;  // not zero-filled first: it is read over whole
  size_t m_journalByteCount = 0;
  std::vector<uint8_t> m_copyChecked;
  // Per held journal block, Crc32c(0, its bytes), computed as it was read
  // (a copy's checksum is then a few look-ups, not a read of the block
  // again from memory); empty without journal checksums.
  std::vector<uint32_t> m_blockCrc;
  bool HeldCopyHolds(const JournalCopy& copy, ByteView bytes) const;
  std::vector<BlockRun> m_journalRuns;
  bool m_journalLoaded = false;
  Status m_journalStatus = kStatusOk;

  bool m_bitmapsLoaded = false;
  std::vector<uint64_t> m_blockBits;  // 1: in use
  std::vector<uint64_t> m_inodeBits;
};

}  // namespace engine::ext4
