// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_volume.h"

#include <algorithm>
#include <cstring>

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

constexpr uint64_t kMaxReadBytes = 16ull << 20;
constexpr size_t kMaxJournalRuns = 1u << 16;

void SetBit(std::vector<uint64_t>& bits, uint64_t i) { bits[i / 64] |= uint64_t{1} << (i % 64); }
bool GetBit(const std::vector<uint64_t>& bits, uint64_t i) {
  return i / 64 < bits.size() && ((bits[i / 64] >> (i % 64)) & 1) != 0;
}

}  // namespace

void Ext4Volume::Own(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount) {
  Close();
  m_sectors.Own(std::move(source), unitBytes, startUnit, unitCount);
}

void Ext4Volume::Borrow(storage::SectorSource& source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount) {
  Close();
  m_sectors.Borrow(source, unitBytes, startUnit, unitCount);
}

void Ext4Volume::Close() {
  m_sectors.Close();
  m_open = false;
  m_inodeBlock = UINT64_MAX;
  m_tableChunks.clear();
  m_groups.clear();
  m_journal.Clear();
  m_journalRuns.clear();
  ReleaseJournalBytes();
  m_copyChecked.clear();
  m_journalLoaded = false;
  m_journalStatus = kStatusOk;
  m_bitmapsLoaded = false;
  m_blockBits.clear();
  m_inodeBits.clear();
  m_damagedGroups = 0;
}

Status Ext4Volume::ReadBytes(uint64_t byteOffset, void* buffer, size_t byteCount) {
  if (!m_sectors.IsOpen()) return kStatusInvalidParameter;
  const uint64_t volumeBytes = VolumeBytes();
  if (byteOffset > volumeBytes || byteCount > volumeBytes - byteOffset) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  const uint32_t unit = m_sectors.SectorSize();
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t firstUnit = byteOffset / unit;
  const uint64_t endUnit = (byteOffset + byteCount + unit - 1) / unit;
  const bool aligned = byteOffset % unit == 0 && byteCount % unit == 0;
  for (uint64_t u = firstUnit; u < endUnit;) {
    const uint64_t units = std::min<uint64_t>(endUnit - u, kMaxReadBytes / unit);
    const size_t bytes = static_cast<size_t>(units * unit);
    const uint64_t chunkStart = u * unit;
    uint8_t* target = nullptr;
    if (aligned) {
      target = out + (chunkStart - byteOffset);
    } else {
      m_scratch.resize(bytes);
      target = m_scratch.data();
    }
    if (Status s = m_sectors.Read(m_sectors.StartSector() + u, static_cast<uint32_t>(units), target);
        s != kStatusOk) {
      return s;
    }
    if (!aligned) {
      const uint64_t from = std::max(chunkStart, byteOffset);
      const uint64_t to = std::min<uint64_t>(chunkStart + bytes, byteOffset + byteCount);
      std::memcpy(out + (from - byteOffset), m_scratch.data() + (from - chunkStart), static_cast<size_t>(to - from));
    }
    u += units;
  }
  return kStatusOk;
}

Status Ext4Volume::ReadBlocks(uint64_t block, uint32_t count, uint8_t* out) {
  const uint64_t bs = m_sb.blockBytes;
  if (bs == 0 || block > m_sb.blockCount || count > m_sb.blockCount - block) return kStatusInvalidParameter;
  return ReadBytes(block * bs, out, static_cast<size_t>(count) * bs);
}

Status Ext4Volume::ReadCurrentBlock(uint64_t block, std::vector<uint8_t>* out) {
  if (const JournalCopy* copy = m_journalLoaded ? m_journal.ReplayCopyOf(block) : nullptr) {
    if (ReadJournalCopy(*copy, out) == kStatusOk) return kStatusOk;
  }
  out->resize(m_sb.blockBytes);
  return ReadBlocks(block, 1, out->data());
}

Status Ext4Volume::ReadCurrentBlocks(uint64_t first, uint32_t count, std::vector<uint8_t>* out) {
  const size_t bs = m_sb.blockBytes;
  out->resize(size_t{count} * bs);
  if (Status s = ReadBlocks(first, count, out->data()); s != kStatusOk) return s;
  if (!m_journalLoaded || !m_journal.NeedsReplay()) return kStatusOk;
  for (uint32_t k = 0; k < count; ++k) {
    const JournalCopy* copy = m_journal.ReplayCopyOf(first + k);
    if (copy != nullptr && ReadJournalCopy(*copy, &m_replayScratch) == kStatusOk && m_replayScratch.size() == bs) {
      std::memcpy(out->data() + size_t{k} * bs, m_replayScratch.data(), bs);
    }
  }
  return kStatusOk;
}

Status Ext4Volume::Open() {
  m_open = false;
  uint8_t bytes[sb::kBytes];
  if (Status s = ReadBytes(sb::kOffset, bytes, sizeof bytes); s != kStatusOk) return s;
  if (!ParseSuperblock(ByteView(bytes, sizeof bytes), &m_sb)) return kStatusInvalidParameter;
  m_open = true;
  // The journal first: the descriptors of a volume not unmounted cleanly
  // may be newer in it.
  m_journalStatus = LoadJournal();
  if (Status s = LoadGroups(); s != kStatusOk) {
    m_open = false;
    return s;
  }
  return kStatusOk;
}

Status Ext4Volume::LoadGroups() {
  m_groups.assign(m_sb.groupCount, GroupDescriptor{});
  m_damagedGroups = 0;
  std::vector<uint8_t> block;
  uint64_t loaded = UINT64_MAX;
  for (uint32_t g = 0; g < m_sb.groupCount; ++g) {
    uint64_t at = 0;
    uint32_t offset = 0;
    DescriptorLocation(m_sb, g, &at, &offset);
    if (at != loaded) {
      if (Status s = ReadCurrentBlock(at, &block); s != kStatusOk) return s;
      loaded = at;
    }
    GroupDescriptor d;
    if (!ParseGroupDescriptor(ByteView(block.data() + offset, block.size() - offset), m_sb, g, &d)) {
      return kStatusInvalidParameter;
    }
    if (!d.checksumHolds) ++m_damagedGroups;
    m_groups[g] = d;
  }
  return kStatusOk;
}

bool Ext4Volume::InodeLocation(uint32_t number, uint64_t* block, uint32_t* offsetInBlock) const {
  if (number == 0 || number > m_sb.inodeCount || m_groups.empty()) return false;
  const uint32_t group = m_sb.GroupOfInode(number);
  if (group >= m_groups.size()) return false;
  const uint64_t byte = uint64_t{m_sb.IndexInGroup(number)} * m_sb.inodeBytes;
  *block = m_groups[group].inodeTable + byte / m_sb.blockBytes;
  *offsetInBlock = static_cast<uint32_t>(byte % m_sb.blockBytes);
  return *block < m_sb.blockCount;
}

Status Ext4Volume::ReadInode(uint32_t number, InodeCopy* out) {
  uint64_t block = 0;
  uint32_t offset = 0;
  if (!InodeLocation(number, &block, &offset)) return kStatusInvalidParameter;
  const JournalCopy* replayed = m_journalLoaded ? m_journal.ReplayCopyOf(block) : nullptr;
  ByteView bytes;
  if (replayed == nullptr) {
    if (Status s = ViewTableBlock(block, &bytes); s != kStatusOk) return s;
  } else {
    if (block != m_inodeBlock) {
      m_inodeBlock = UINT64_MAX;
      if (Status s = ReadCurrentBlock(block, &m_inodeBytes); s != kStatusOk) return s;
      m_inodeBlock = block;
    }
    bytes = ByteView(m_inodeBytes.data(), m_inodeBytes.size());
  }
  out->fromJournal = false;
  out->sequence = 0;
  out->volumeByte = block * m_sb.blockBytes + offset;
  if (const JournalCopy* copy = replayed) {
    out->fromJournal = true;
    out->sequence = copy->sequence;
    out->volumeByte = JournalBlockByte(copy->journalBlock) + offset;
  }
  if (!ParseInode(bytes.Sub(offset, bytes.size() - offset), m_sb, number, &out->inode, false)) {
    return kStatusInvalidParameter;
  }
  return kStatusOk;
}

Status Ext4Volume::ViewTableBlock(uint64_t block, ByteView* out) {
  const size_t bs = m_sb.blockBytes;
  const uint64_t chunk = block / kTableChunkBlocks;
  const uint64_t first = chunk * kTableChunkBlocks;
  if (first >= m_sb.blockCount) return kStatusInvalidParameter;
  if (m_tableChunks.empty()) m_tableChunks.resize(kTableChunkSlots);
  TableChunk& slot = m_tableChunks[chunk % kTableChunkSlots];
  if (slot.bytes == nullptr || slot.chunk != chunk) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kTableChunkBlocks, m_sb.blockCount - first));
    if (slot.bytes == nullptr) slot.bytes = std::make_unique_for_overwrite<uint8_t[]>(kTableChunkBlocks * bs);
    slot.chunk = UINT64_MAX;
    slot.size = 0;
    if (Status s = ReadBlocks(first, count, slot.bytes.get()); s != kStatusOk) return s;
    slot.chunk = chunk;
    slot.size = size_t{count} * bs;
  }
  const size_t at = static_cast<size_t>(block - first) * bs;
  if (at + bs > slot.size) return kStatusInvalidParameter;
  *out = ByteView(slot.bytes.get() + at, bs);
  return kStatusOk;
}

std::vector<InodeCopy> Ext4Volume::JournalInodeCopies(uint32_t number, const WantCopy& want) {
  std::vector<InodeCopy> copies;
  uint64_t block = 0;
  uint32_t offset = 0;
  if (!m_journalLoaded || !InodeLocation(number, &block, &offset)) return copies;
  const size_t bs = m_sb.blockBytes;
  const size_t heldBlocks = m_journalBytes.Data() != nullptr ? m_journalByteCount / bs : 0;
  // Copies of a table block often hold the same bytes for this inode (its
  // neighbours changed): those are parsed once.
  const uint8_t* previous = nullptr;
  InodeCopy parsed;
  bool parsedOk = false;
  int sumState = 0;  // of the parsed bytes: 0 not checked yet, 1 holds, 2 fails
  std::vector<uint8_t> scratch;
  for (const JournalCopy& c : m_journal.CopiesOf(block)) {
    ByteView bytes;
    const bool held = c.journalBlock < heldBlocks && c.journalBlock < m_copyChecked.size() && !c.escaped;
    if (held) {
      // Held and not escaped: the inode first, the copy's own checksum only
      // for an inode worth keeping (both must hold).
      bytes = ByteView(m_journalBytes.Data() + size_t{c.journalBlock} * bs, bs);
    } else if (ViewJournalCopy(c, &scratch, &bytes) != kStatusOk) {
      continue;
    }
    const ByteView inodeBytes = bytes.Sub(offset, m_sb.inodeBytes);
    if (inodeBytes.size() != m_sb.inodeBytes) continue;
    if (!held || previous == nullptr || std::memcmp(previous, inodeBytes.data(), inodeBytes.size()) != 0) {
      parsedOk = ParseInode(inodeBytes, m_sb, number, &parsed.inode, false);
      sumState = 0;
      previous = held ? inodeBytes.data() : nullptr;
    }
    if (!parsedOk || sumState == 2) continue;
    InodeCopy copy;
    copy.inode = parsed.inode;
    copy.fromJournal = true;
    copy.sequence = c.sequence;
    copy.volumeByte = JournalBlockByte(c.journalBlock) + offset;
    // The checksums last: only for a copy the caller wants (all must hold).
    if (want && !want(copy)) continue;
    if (sumState == 0) sumState = InodeChecksumHolds(inodeBytes, m_sb, number) ? 1 : 2;
    if (sumState == 2) continue;
    if (held) {
      uint8_t& checked = m_copyChecked[c.journalBlock];
      if (checked == 0) checked = HeldCopyHolds(c, bytes) ? 1 : 2;
      if (checked != 1) continue;
    }
    copies.push_back(std::move(copy));
  }
  return copies;
}

void Ext4Volume::PrefetchInode(uint32_t number) const {
  uint64_t block = 0;
  uint32_t offset = 0;
  if (!InodeLocation(number, &block, &offset)) return;
  constexpr size_t kLine = 64;
  const size_t bs = m_sb.blockBytes;
  auto lines = [](const uint8_t* from, size_t bytes) {
    for (size_t at = 0; at < bytes; at += kLine) __builtin_prefetch(from + at);
  };
  if (!m_tableChunks.empty()) {
    const TableChunk& slot = m_tableChunks[(block / kTableChunkBlocks) % kTableChunkSlots];
    const size_t at = static_cast<size_t>(block % kTableChunkBlocks) * bs + offset;
    if (slot.bytes != nullptr && slot.chunk == block / kTableChunkBlocks && at + m_sb.inodeBytes <= slot.size) {
      lines(slot.bytes.get() + at, m_sb.inodeBytes);
    }
  }
  if (!m_journalLoaded || m_journalBytes.Data() == nullptr) return;
  const size_t heldBlocks = m_journalByteCount / bs;
  for (const JournalCopy& c : m_journal.CopiesOf(block)) {
    if (c.journalBlock >= heldBlocks) continue;
    const uint8_t* bytes = m_journalBytes.Data() + size_t{c.journalBlock} * bs;
    if (offset + m_sb.inodeBytes <= bs) lines(bytes + offset, m_sb.inodeBytes);
  }
}

Status Ext4Volume::ReadJournalCopy(const JournalCopy& copy, std::vector<uint8_t>* out) {
  uint8_t* checked = copy.journalBlock < m_copyChecked.size() ? &m_copyChecked[copy.journalBlock] : nullptr;
  if (checked != nullptr && *checked == 2) return kStatusInvalidParameter;
  const Status s = m_journal.ReadCopy(
      copy, [this](uint32_t first, uint32_t count, uint8_t* to) { return ReadJournalBlocks(first, count, to); }, out,
      checked != nullptr && *checked == 1);
  if (checked != nullptr && (s == kStatusOk || s == kStatusInvalidParameter)) *checked = s == kStatusOk ? 1 : 2;
  return s;
}

Status Ext4Volume::ViewJournalCopy(const JournalCopy& copy, std::vector<uint8_t>* scratch, ByteView* out) {
  const size_t bs = m_sb.blockBytes;
  const bool held = m_journalBytes.Data() != nullptr && copy.journalBlock < m_journalByteCount / bs &&
                    copy.journalBlock < m_copyChecked.size() && !copy.escaped;
  if (!held) {
    if (Status s = ReadJournalCopy(copy, scratch); s != kStatusOk) return s;
    *out = ByteView(scratch->data(), scratch->size());
    return kStatusOk;
  }
  const ByteView view(m_journalBytes.Data() + size_t{copy.journalBlock} * bs, bs);
  uint8_t& checked = m_copyChecked[copy.journalBlock];
  if (checked == 0) checked = HeldCopyHolds(copy, view) ? 1 : 2;
  if (checked != 1) return kStatusInvalidParameter;
  *out = view;
  return kStatusOk;
}

bool Ext4Volume::HeldCopyHolds(const JournalCopy& copy, ByteView bytes) const {
  if (copy.journalBlock < m_blockCrc.size()) return m_journal.CopyHoldsFrom(copy, m_blockCrc[copy.journalBlock]);
  return m_journal.CopyHolds(copy, bytes);
}

void Ext4Volume::ReleaseJournalBytes() {
  m_journalBytes.Reset();
  m_journalByteCount = 0;
  m_blockCrc.clear();
}

FetchBlock Ext4Volume::CurrentFetcher() {
  return [this](uint64_t block, const AcceptBlock& accept, std::vector<uint8_t>* out) {
    return ReadCurrentBlock(block, out) == kStatusOk && accept(ByteView(out->data(), out->size()));
  };
}

FetchBlock Ext4Volume::HistoryFetcher() {
  return [this](uint64_t block, const AcceptBlock& accept, std::vector<uint8_t>* out) {
    if (ReadCurrentBlock(block, out) == kStatusOk && accept(ByteView(out->data(), out->size()))) return true;
    if (!m_journalLoaded) return false;
    for (const JournalCopy& c : m_journal.CopiesOf(block)) {
      if (ReadJournalCopy(c, out) == kStatusOk && accept(ByteView(out->data(), out->size()))) return true;
    }
    return false;
  };
}

uint64_t Ext4Volume::JournalBlockByte(uint32_t journalBlock) const {
  for (const BlockRun& r : m_journalRuns) {
    if (journalBlock >= r.logical && journalBlock - r.logical < r.count) {
      return (r.physical + (journalBlock - r.logical)) * m_sb.blockBytes;
    }
  }
  return 0;
}

Status Ext4Volume::ReadJournalBlocks(uint32_t first, uint32_t count, uint8_t* out) {
  const size_t bs = m_sb.blockBytes;
  if (m_journalBytes.Data() != nullptr) {
    if (first > m_journalByteCount / bs || count > m_journalByteCount / bs - first) return kStatusReadFault;
    std::memcpy(out, m_journalBytes.Data() + size_t{first} * bs, size_t{count} * bs);
    return kStatusOk;
  }
  uint32_t done = 0;
  while (done < count) {
    const uint32_t j = first + done;
    const auto it = std::upper_bound(m_journalRuns.begin(), m_journalRuns.end(), j,
                                     [](uint32_t v, const BlockRun& r) { return v < r.logical; });
    if (it == m_journalRuns.begin()) return kStatusReadFault;
    const BlockRun& r = *(it - 1);
    if (j - r.logical >= r.count) return kStatusReadFault;  // a hole in the journal file
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count - done, r.count - (j - r.logical)));
    if (Status s = ReadBlocks(r.physical + (j - r.logical), n, out + size_t{done} * bs); s != kStatusOk) return s;
    done += n;
  }
  return kStatusOk;
}

Status Ext4Volume::LoadJournal() {
  m_journalLoaded = false;
  if (!m_sb.HasJournal()) return kStatusOk;
  // The journal inode's own table: the groups are not loaded yet, so it
  // is read through group 0's descriptor (journal inodes live there).
  uint64_t at = 0;
  uint32_t offset = 0;
  DescriptorLocation(m_sb, 0, &at, &offset);
  std::vector<uint8_t> block(m_sb.blockBytes);
  if (Status s = ReadBlocks(at, 1, block.data()); s != kStatusOk) return s;
  GroupDescriptor g0;
  if (!ParseGroupDescriptor(ByteView(block.data() + offset, block.size() - offset), m_sb, 0, &g0)) {
    return kStatusInvalidParameter;
  }
  const uint32_t number = m_sb.journalInode;
  if (m_sb.GroupOfInode(number) != 0) return kStatusInvalidParameter;
  const uint64_t byte = uint64_t{m_sb.IndexInGroup(number)} * m_sb.inodeBytes;
  if (Status s = ReadBlocks(g0.inodeTable + byte / m_sb.blockBytes, 1, block.data()); s != kStatusOk) return s;
  Inode node;
  if (!ParseInode(ByteView(block.data() + byte % m_sb.blockBytes, m_sb.inodeBytes), m_sb, number, &node)) {
    return kStatusInvalidParameter;
  }
  const FetchBlock plain = [this](uint64_t b, const AcceptBlock& accept, std::vector<uint8_t>* out) {
    out->resize(m_sb.blockBytes);
    return ReadBlocks(b, 1, out->data()) == kStatusOk && accept(ByteView(out->data(), out->size()));
  };
  if (Status s = MapInode(node, number, m_sb, plain, kMaxJournalRuns, &m_journalRuns); s != kStatusOk) return s;
  if (m_journalRuns.empty() || m_journalRuns.front().logical != 0) return kStatusInvalidParameter;
  if (Status s = ReadBlocks(m_journalRuns.front().physical, 1, block.data()); s != kStatusOk) return s;
  JournalSuperblock jsb;
  if (!ParseJournalSuperblock(ByteView(block.data(), block.size()), m_sb.blockBytes, &jsb)) {
    return kStatusInvalidParameter;
  }
  if (jsb.blockCount > kMaxJournalBlocks || jsb.blockCount > MappedBlocks(m_journalRuns)) {
    return kStatusInvalidParameter;
  }
  // Held in memory while the volume is walked: its copies are read again and again.
  const uint64_t journalBytes = uint64_t{jsb.blockCount} * m_sb.blockBytes;
  platform::LargeBuffer bytes;
  if (journalBytes <= kMaxHeldJournalBytes && bytes.Allocate(static_cast<size_t>(journalBytes))) {
    // Read in pieces that stay in the processor's cache while their blocks' crcs are taken.
    constexpr uint32_t kPieceBlocks = 64;
    const size_t bs = m_sb.blockBytes;
    std::vector<uint32_t> crcs(jsb.HasCsum() ? jsb.blockCount : 0);
    for (uint32_t at = 0; at < jsb.blockCount;) {
      const uint32_t n = std::min<uint32_t>(kPieceBlocks, jsb.blockCount - at);
      uint8_t* to = bytes.Data() + size_t{at} * bs;
      if (Status s = ReadJournalBlocks(at, n, to); s != kStatusOk) return s;
      for (uint32_t k = 0; k < n && !crcs.empty(); ++k) crcs[at + k] = Crc32c(0, to + size_t{k} * bs, bs);
      at += n;
    }
    m_journalBytes = std::move(bytes);
    m_journalByteCount = static_cast<size_t>(journalBytes);
    m_blockCrc = std::move(crcs);
  }
  m_copyChecked.assign(jsb.blockCount, 0);
  const Status s = m_journal.Load(
      jsb, [this](uint32_t first, uint32_t count, uint8_t* out) { return ReadJournalBlocks(first, count, out); },
      m_journalBytes.Data());
  m_journalLoaded = s == kStatusOk;
  if (!m_journalLoaded) {
    m_journal.Clear();
    ReleaseJournalBytes();
  }
  return s;
}

Status Ext4Volume::LoadBitmaps() {
  if (m_bitmapsLoaded) return kStatusOk;
  const uint64_t blocks = m_sb.blockCount;
  m_blockBits.assign(static_cast<size_t>((blocks + 63) / 64), 0);
  m_inodeBits.assign(static_cast<size_t>((uint64_t{m_sb.inodeCount} + 64) / 64), 0);
  std::vector<uint8_t> bitmap;
  // Blocks before the first group (the boot block of 1 KiB volumes) are in use.
  for (uint64_t b = 0; b < m_sb.firstDataBlock; ++b) SetBit(m_blockBits, b);
  for (uint32_t g = 0; g < m_sb.groupCount; ++g) {
    const GroupDescriptor& d = m_groups[g];
    const uint64_t first = m_sb.GroupFirstBlock(g);
    const uint64_t inGroup = std::min<uint64_t>(m_sb.blocksPerGroup, blocks - first);
    if ((d.flags & gd::kBlockUninit) != 0) {
      // Free but for its own metadata: a superblock copy with its tables.
      auto mark = [&](uint64_t from, uint64_t count) {
        for (uint64_t b = from; b < from + count && b < blocks; ++b) SetBit(m_blockBits, b);
      };
      if (m_sb.GroupHasSuperblockCopy(g)) {
        const uint64_t tableBlocks = (uint64_t{m_sb.groupCount} * m_sb.descriptorBytes + m_sb.blockBytes - 1) /
                                     m_sb.blockBytes;
        mark(first, 1 + tableBlocks);
      }
      mark(d.blockBitmap, 1);
      mark(d.inodeBitmap, 1);
      mark(d.inodeTable, InodeTableBlocks(m_sb));
    } else {
      if (Status s = ReadCurrentBlock(d.blockBitmap, &bitmap); s != kStatusOk) return s;
      for (uint64_t i = 0; i < inGroup; ++i) {
        if (((bitmap[i / 8] >> (i % 8)) & 1) != 0) SetBit(m_blockBits, first + i);
      }
    }
    if ((d.flags & gd::kInodeUninit) == 0) {
      if (Status s = ReadCurrentBlock(d.inodeBitmap, &bitmap); s != kStatusOk) return s;
      const uint64_t firstInode = uint64_t{g} * m_sb.inodesPerGroup + 1;
      for (uint64_t i = 0; i < m_sb.inodesPerGroup && i / 8 < bitmap.size(); ++i) {
        if (((bitmap[i / 8] >> (i % 8)) & 1) != 0) SetBit(m_inodeBits, firstInode + i);
      }
    }
  }
  m_bitmapsLoaded = true;
  return kStatusOk;
}

bool Ext4Volume::BlockInUse(uint64_t block) const { return GetBit(m_blockBits, block); }

bool Ext4Volume::InodeInUse(uint32_t number) const { return GetBit(m_inodeBits, number); }

bool Ext4Volume::AnyInUse(const std::vector<BlockRun>& runs) const {
  for (const BlockRun& r : runs) {
    for (uint64_t b = r.physical; b < r.physical + r.count; ++b) {
      if (BlockInUse(b)) return true;
    }
  }
  return false;
}

void Ext4Volume::NextFreeRun(uint64_t block, uint64_t* first, uint64_t* count) const {
  const uint64_t end = m_sb.blockCount;
  uint64_t b = block;
  while (b < end) {
    const uint64_t word = m_blockBits[b / 64] >> (b % 64);
    if ((b % 64) == 0 && m_blockBits[b / 64] == ~uint64_t{0}) {
      b += 64;
      continue;
    }
    if ((word & 1) == 0) break;
    ++b;
  }
  *first = std::min(b, end);
  uint64_t e = *first;
  while (e < end) {
    if ((e % 64) == 0 && m_blockBits[e / 64] == 0 && e + 64 <= end) {
      e += 64;
      continue;
    }
    if (GetBit(m_blockBits, e)) break;
    ++e;
  }
  *count = e - *first;
}

}  // namespace engine::ext4
