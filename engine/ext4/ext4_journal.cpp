// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_journal.h"

#include <algorithm>
#include <climits>
#include <map>

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

constexpr size_t kTailBytes = 4;
constexpr size_t kUuidBytes = 16;
constexpr int64_t kNobody = INT64_MIN;

bool TailHolds(ByteView b, const JournalSuperblock& sb) {
  if (!sb.HasCsum()) return true;
  const size_t tail = b.size() - kTailBytes;
  const uint8_t zero[4] = {0, 0, 0, 0};
  uint32_t crc = Crc32c(sb.seed, b.data(), tail);
  crc = Crc32c(crc, zero, 4);
  return crc == b.U32Be(tail);
}

// A copy's checksum runs from the seed over its transaction's sequence
// (big-endian), then over the copy's bytes.
uint32_t SequenceCrc(const JournalSuperblock& sb, uint32_t sequence) {
  const uint8_t be[4] = {static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
                         static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
  return Crc32c(sb.seed, be, 4);
}

uint32_t CopyChecksum(const JournalSuperblock& sb, uint32_t sequence, const uint8_t* bytes, size_t size) {
  return Crc32c(SequenceCrc(sb, sequence), bytes, size);
}

}  // namespace

size_t JournalSuperblock::TagBytes() const {
  if (HasCsumV3()) return 16;
  size_t size = 12;
  if ((incompat & jbd2::kIncompatCsumV2) != 0) size += 2;
  return Is64Bit() ? size : size - 4;
}

bool ParseJournalSuperblock(ByteView b, uint32_t volumeBlockBytes, JournalSuperblock* out) {
  if (!b.Has(0, 0x400) || b.U32Be(0) != jbd2::kMagic) return false;
  const uint32_t type = b.U32Be(4);
  if (type != jbd2::kSuperblockV1 && type != jbd2::kSuperblockV2) return false;
  JournalSuperblock s;
  s.blockBytes = b.U32Be(0x0C);
  s.blockCount = b.U32Be(0x10);
  s.firstLogBlock = b.U32Be(0x14);
  s.sequence = b.U32Be(0x18);
  s.start = b.U32Be(0x1C);
  if (type == jbd2::kSuperblockV2) s.incompat = b.U32Be(0x28);
  if (s.blockBytes != volumeBlockBytes || s.firstLogBlock == 0 || s.firstLogBlock >= s.blockCount) return false;
  if (s.start != 0 && (s.start < s.firstLogBlock || s.start >= s.blockCount)) return false;
  s.seed = Crc32c(0xFFFFFFFFu, b.data() + 0x30, kUuidBytes);
  *out = s;
  return true;
}

bool ParseDescriptorBlock(ByteView b, const JournalSuperblock& sb, std::vector<DescriptorTag>* out) {
  out->clear();
  if (b.size() < sb.blockBytes || b.U32Be(0) != jbd2::kMagic || b.U32Be(4) != jbd2::kDescriptor) return false;
  b = b.Sub(0, sb.blockBytes);
  if (!TailHolds(b, sb)) return false;
  const size_t end = b.size() - (sb.HasCsum() ? kTailBytes : 0);
  const size_t tagBytes = sb.TagBytes();
  for (size_t at = 12; at + tagBytes <= end;) {
    DescriptorTag tag;
    tag.volumeBlock = b.U32Be(at);
    if (sb.HasCsumV3()) {
      tag.flags = b.U32Be(at + 4);
      if (sb.Is64Bit()) tag.volumeBlock |= uint64_t{b.U32Be(at + 8)} << 32;
      tag.checksum = b.U32Be(at + 12);
    } else {
      tag.checksum = b.U16Be(at + 4);
      tag.flags = b.U16Be(at + 6);
      if (sb.Is64Bit()) tag.volumeBlock |= uint64_t{b.U32Be(at + 8)} << 32;
    }
    at += tagBytes;
    if ((tag.flags & jbd2::kFlagSameUuid) == 0) at += kUuidBytes;
    out->push_back(tag);
    if ((tag.flags & jbd2::kFlagLastTag) != 0 || at > end) break;
  }
  return !out->empty();
}

bool ParseRevokeBlock(ByteView b, const JournalSuperblock& sb, std::vector<uint64_t>* out) {
  out->clear();
  if (b.size() < sb.blockBytes || b.U32Be(0) != jbd2::kMagic || b.U32Be(4) != jbd2::kRevoke) return false;
  b = b.Sub(0, sb.blockBytes);
  if (!TailHolds(b, sb)) return false;
  const size_t used = b.U32Be(12);
  const size_t limit = b.size() - (sb.HasCsum() ? kTailBytes : 0);
  if (used < 16 || used > limit) return false;
  const size_t step = sb.Is64Bit() ? 8 : 4;
  for (size_t at = 16; at + step <= used; at += step) out->push_back(step == 8 ? b.U64Be(at) : b.U32Be(at));
  return true;
}

bool JournalIndex::Newer(uint32_t a, uint32_t b) const {
  return static_cast<int32_t>(a - m_sb.sequence) > static_cast<int32_t>(b - m_sb.sequence);
}

void JournalIndex::Clear() {
  m_copies.clear();
  m_blocks.Reset(0);
  m_replay.clear();
  m_copyCount = 0;
}

Status JournalIndex::Load(const JournalSuperblock& superblock, const ReadJournal& read, const uint8_t* held) {
  Clear();
  m_sb = superblock;
  m_blockShift = m_sb.HasCsum() ? Crc32cShift(m_sb.blockBytes) : Crc32cShift();
  const uint32_t first = m_sb.firstLogBlock;
  const uint32_t end = m_sb.blockCount;
  const size_t blockBytes = m_sb.blockBytes;
  const auto rel = [&](uint32_t seq) -> int64_t { return static_cast<int32_t>(seq - m_sb.sequence); };
  const auto next = [&](uint32_t position) { return position + 1 >= end ? first : position + 1; };

  struct Descriptor {
    uint32_t position;
    uint32_t sequence;
    std::vector<DescriptorTag> tags;
  };
  std::vector<Descriptor> descriptors;
  std::map<int64_t, uint32_t> commits;                   // rel(seq) -> seq
  std::vector<std::pair<uint32_t, uint64_t>> revokes;   // (seq, block)
  std::vector<int64_t> owner(end, kNobody);
  std::vector<uint8_t> chunk(held != nullptr ? 0 : static_cast<size_t>(kReadBlocks) * blockBytes);
  std::vector<uint64_t> revoked;
  for (uint32_t at = first; at < end;) {
    const uint32_t count = std::min<uint32_t>(kReadBlocks, end - at);
    const uint8_t* bytes = held != nullptr ? held + size_t{at} * blockBytes : chunk.data();
    if (held == nullptr) {
      if (Status s = read(at, count, chunk.data()); s != kStatusOk) return s;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const ByteView b(bytes + size_t{i} * blockBytes, blockBytes);
      if (b.U32Be(0) != jbd2::kMagic) continue;
      const uint32_t type = b.U32Be(4);
      const uint32_t seq = b.U32Be(8);
      const uint32_t position = at + i;
      if (type == jbd2::kDescriptor) {
        Descriptor d{position, seq, {}};
        if (!ParseDescriptorBlock(b, m_sb, &d.tags)) continue;
        owner[position] = std::max(owner[position], rel(seq));
        descriptors.push_back(std::move(d));
      } else if (type == jbd2::kCommit) {
        owner[position] = std::max(owner[position], rel(seq));
        commits[rel(seq)] = seq;
      } else if (type == jbd2::kRevoke && ParseRevokeBlock(b, m_sb, &revoked)) {
        owner[position] = std::max(owner[position], rel(seq));
        for (const uint64_t block : revoked) revokes.emplace_back(seq, block);
      }
    }
    at += count;
  }
  // The places each transaction's copies took: a newer transaction that
  // wrote over a place makes the older copy there stale.
  for (const Descriptor& d : descriptors) {
    uint32_t position = d.position;
    for (size_t t = 0; t < d.tags.size(); ++t) {
      position = next(position);
      owner[position] = std::max(owner[position], rel(d.sequence));
    }
  }
  for (const Descriptor& d : descriptors) {
    uint32_t position = d.position;
    const bool committed = commits.count(rel(d.sequence)) != 0;
    for (const DescriptorTag& tag : d.tags) {
      position = next(position);
      if (owner[position] != rel(d.sequence) || owner[d.position] != rel(d.sequence)) continue;
      JournalCopy c;
      c.volumeBlock = tag.volumeBlock;
      c.journalBlock = position;
      c.sequence = d.sequence;
      c.checksum = tag.checksum;
      c.escaped = (tag.flags & jbd2::kFlagEscape) != 0;
      c.committed = committed;
      m_copies.push_back(c);
      ++m_copyCount;
    }
  }
  std::stable_sort(m_copies.begin(), m_copies.end(), [&](const JournalCopy& a, const JournalCopy& b) {
    if (a.volumeBlock != b.volumeBlock) return a.volumeBlock < b.volumeBlock;
    if (a.sequence != b.sequence) return Newer(a.sequence, b.sequence);
    return a.journalBlock > b.journalBlock;
  });
  m_blocks.Reset(m_copies.size());
  for (size_t i = 0; i < m_copies.size(); ++i) {
    if (i == 0 || m_copies[i].volumeBlock != m_copies[i - 1].volumeBlock) {
      m_blocks.Insert(m_copies[i].volumeBlock, static_cast<uint32_t>(i));
    }
  }
  // A log that was not checkpointed: the committed transactions from the
  // superblock's sequence on, in order, are what a replay would write.
  if (m_sb.start != 0) {
    int64_t last = -1;
    while (commits.count(last + 1) != 0) ++last;
    std::unordered_map<uint64_t, int64_t> revokedAt;
    for (const auto& [seq, block] : revokes) {
      const int64_t r = rel(seq);
      if (r < 0 || r > last) continue;
      auto [it, added] = revokedAt.emplace(block, r);
      if (!added) it->second = std::max(it->second, r);
    }
    for (const uint64_t block : Blocks()) {
      for (const JournalCopy& c : CopiesOf(block)) {  // newest first
        const int64_t r = rel(c.sequence);
        if (r < 0 || r > last || !c.committed) continue;
        const auto rv = revokedAt.find(block);
        if (rv != revokedAt.end() && rv->second >= r) break;
        m_replay.emplace(block, c);
        break;
      }
    }
  }
  return kStatusOk;
}

std::span<const JournalCopy> JournalIndex::CopiesOf(uint64_t volumeBlock) const {
  const uint32_t* first = m_blocks.Find(volumeBlock);
  if (first == nullptr) return {};
  size_t end = *first + 1;
  while (end < m_copies.size() && m_copies[end].volumeBlock == volumeBlock) ++end;
  return {m_copies.data() + *first, end - *first};
}

std::vector<uint64_t> JournalIndex::Blocks() const {
  std::vector<uint64_t> blocks;  // already in order
  blocks.reserve(m_blocks.Size());
  for (size_t i = 0; i < m_copies.size(); ++i) {
    if (i == 0 || m_copies[i].volumeBlock != m_copies[i - 1].volumeBlock) blocks.push_back(m_copies[i].volumeBlock);
  }
  return blocks;
}

const JournalCopy* JournalIndex::ReplayCopyOf(uint64_t volumeBlock) const {
  const auto it = m_replay.find(volumeBlock);
  return it != m_replay.end() ? &it->second : nullptr;
}

bool JournalIndex::CopyHoldsFrom(const JournalCopy& copy, uint32_t blockCrc) const {
  if (!m_sb.HasCsum()) return true;
  uint32_t crc = m_blockShift(SequenceCrc(m_sb, copy.sequence)) ^ blockCrc;
  if (!m_sb.HasCsumV3()) crc &= 0xFFFF;
  return crc == copy.checksum;
}

bool JournalIndex::CopyHolds(const JournalCopy& copy, ByteView bytes) const {
  if (!m_sb.HasCsum()) return true;
  uint32_t crc = CopyChecksum(m_sb, copy.sequence, bytes.data(), bytes.size());
  if (!m_sb.HasCsumV3()) crc &= 0xFFFF;
  return crc == copy.checksum;
}

Status JournalIndex::ReadCopy(const JournalCopy& copy, const ReadJournal& read, std::vector<uint8_t>* out,
                              bool checked) const {
  out->resize(m_sb.blockBytes);
  if (Status s = read(copy.journalBlock, 1, out->data()); s != kStatusOk) return s;
  if (!checked && !CopyHolds(copy, ByteView(out->data(), out->size()))) return kStatusInvalidParameter;
  if (copy.escaped) {
    (*out)[0] = 0xC0;
    (*out)[1] = 0x3B;
    (*out)[2] = 0x39;
    (*out)[3] = 0x98;
  }
  return kStatusOk;
}

}  // namespace engine::ext4
