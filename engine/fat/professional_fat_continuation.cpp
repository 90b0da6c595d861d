// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_continuation.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/fat_dir_entry.h"

namespace engine::fat {
namespace {

// What each piece of evidence is worth.
constexpr int32_t kCutNameFinished = 60;
constexpr int32_t kRightBehindLastData = 30;
constexpr int32_t kNearLastData = 20;   // within kNearClusters
constexpr int32_t kAfterLastData = 10;  // within kFarClusters
constexpr int32_t kWrittenAfter = -40;  // the tail lists a file whose data lies at or past the piece
constexpr int32_t kSameStem = 15;
constexpr int32_t kNextNumber = 40;
constexpr int32_t kHigherNumber = 30;
constexpr int32_t kLowerNumber = -10;
constexpr int32_t kSeveralHigher = 5;
constexpr int32_t kTimeGoesOn = 10;
constexpr int32_t kTimeGoesBack = -15;

int32_t WriteOrderScore(const DirectoryPiece& tail, const ContinuationPlace& place) {
  if (tail.lastStart < 2 || place.clusterBytes == 0 || place.headCluster < 2) return 0;
  const uint64_t clusters =
      std::max<uint64_t>(1, (uint64_t{tail.lastStartSize} + place.clusterBytes - 1) / place.clusterBytes);
  const uint64_t end = tail.lastStart + clusters - 1;
  if (end >= place.headCluster) return kWrittenAfter;
  return end + 1 == place.headCluster ? kRightBehindLastData : kAfterLastData;
}

// A name continues a sequence when one run of digits grows and the others
// stay (IMG_0129 -> IMG_0130, round_03_folder_24 -> round_04_folder_24);
// several runs changing upwards (a new date and time) is weaker.
int32_t NameScore(const NameKey& last, const NameKey& next) {
  if (last.stem == 0 || next.stem == 0 || last.stem != next.stem || last.groupCount != next.groupCount) return 0;
  const size_t groups = std::min<size_t>(last.groupCount, NameKey::kGroups);
  size_t changed = 0;
  size_t at = 0;
  for (size_t i = 0; i < groups; ++i) {
    if (last.groups[i] != next.groups[i]) {
      if (changed++ == 0) at = i;
    }
  }
  if (changed == 0) return 0;
  if (last.groups[at] > next.groups[at]) return kSameStem + kLowerNumber;  // the first change goes down
  if (changed == 1) return kSameStem + (next.groups[at] == last.groups[at] + 1 ? kNextNumber : kHigherNumber);
  return kSameStem + kSeveralHigher;
}

// Times are a FAT date << 16 | time: their order is the order of the values.
int32_t TimeScore(uint32_t last, uint32_t next) {
  if (last == 0 || next == 0) return 0;
  if (next >= last) return (next >> 16) - (last >> 16) <= 1 ? kTimeGoesOn : 0;
  return last - next > 1 ? kTimeGoesBack : 0;  // a two-second unit is rounding
}

}  // namespace

bool IsLegalFirstNameByte(uint8_t b) {
  if (b <= 0x20 || b == 0xE5 || (b >= 'a' && b <= 'z')) return false;
  return std::strchr("\"*+,./:;<=>?[\\]|", b) == nullptr;
}

bool FirstByteMatchesLongName(uint8_t firstByte, uint16_t longNameFirstChar) {
  const uint16_t c = longNameFirstChar;
  if (c >= 'a' && c <= 'z') return firstByte == c - 'a' + 'A';
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return firstByte == c;
  return true;
}

bool CutNameFits(const DirectoryPiece& tail, const DirectoryPiece& head) {
  if (!tail.tailFragment) return false;
  const bool complete = tail.tailFragmentDeleted || tail.tailNextSequence == 0;
  switch (head.head) {
    case PieceHead::kLongName:
      return head.headChecksum == tail.tailChecksum &&
             (tail.tailFragmentDeleted || tail.tailNextSequence == head.headSequence);
    case PieceHead::kDeletedLongName: return head.headChecksum == tail.tailChecksum;
    case PieceHead::kLiveShort: return complete && head.headChecksum == tail.tailChecksum;
    case PieceHead::kDeletedShort: {
      if (!complete || head.firstSector < tail.EndSector() ||
          head.firstSector - tail.EndSector() > kFragmentReachSectors) {
        return false;
      }
      std::array<uint8_t, 11> name = head.headName;
      for (int b = 0; b < 256; ++b) {
        name[0] = static_cast<uint8_t>(b);
        if (ShortNameChecksum(name.data()) != tail.tailChecksum) continue;
        if (IsLegalFirstNameByte(name[0]) && FirstByteMatchesLongName(name[0], tail.tailFirstChar)) return true;
      }
      return false;
    }
    case PieceHead::kOther: return false;
  }
  return false;
}

int32_t ScoreContinuation(const DirectoryPiece& tail, const DirectoryPiece& head, const ContinuationPlace& place) {
  int32_t score = 0;
  if (tail.tailFragment) {
    if (!CutNameFits(tail, head)) return kNoContinuation;
    score += kCutNameFinished;
  } else if (head.head == PieceHead::kLongName) {
    return kNoContinuation;  // the middle of a long name no tail began
  }
  score += WriteOrderScore(tail, place);
  score += NameScore(tail.tailKey, head.headKey);
  score += TimeScore(tail.tailTime, head.headTime);
  return score;
}

void ContinuationIndex::Add(int32_t piece, const DirectoryPiece& tail, uint64_t dataEnd) {
  if (dataEnd != 0) m_byDataEnd.insert({dataEnd, piece});
  if (tail.tailKey.stem != 0) m_byName.insert({tail.tailKey.stem, tail.tailKey.number, piece});
}

void ContinuationIndex::Remove(int32_t piece, const DirectoryPiece& tail, uint64_t dataEnd) {
  if (dataEnd != 0) m_byDataEnd.erase({dataEnd, piece});
  if (tail.tailKey.stem != 0) m_byName.erase({tail.tailKey.stem, tail.tailKey.number, piece});
}

void ContinuationIndex::Candidates(const DirectoryPiece& head, std::vector<int32_t>& out) const {
  auto data = m_byDataEnd.upper_bound({head.firstSector, INT32_MAX});
  for (int n = 0; n < kNearest && data != m_byDataEnd.begin(); ++n) out.push_back((--data)->second);
  if (head.headKey.stem == 0) return;
  auto name = m_byName.lower_bound({head.headKey.stem, head.headKey.number, INT32_MIN});
  for (int n = 0; n < kNearest && name != m_byName.begin(); ++n) {
    --name;
    if (std::get<0>(*name) != head.headKey.stem) break;
    out.push_back(std::get<2>(*name));
  }
}

}  // namespace engine::fat
