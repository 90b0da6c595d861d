// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/byte_view.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/status.h"

namespace engine::fat {

// What a directory held where its last walked cluster ended, to judge a
// cluster that may go on with it.
struct DirectoryEdge {
  // A long-name set begun in the cluster and not closed by its short entry.
  bool longNamePending = false;
  uint8_t longNameChecksum = 0;
  // The pending part of the name as gathered, and its first character when
  // it is ASCII (else 0).
  std::string pendingName;
  char pendingFirst = 0;
  // The last whole name and the creation stamp (DOS date << 16 | time) of the last short entry; 0 when none.
  std::string lastName;
  uint32_t lastCreated = 0;
};

// What a cluster's first entries say, read once: its first name (long-name
// entries, short entry, creation stamp) and the whole name after it.
struct ClusterHead {
  bool named = false;  // a first name could be read
  size_t longEntries = 0;
  bool oneChecksum = true;
  uint8_t checksum = 0;  // of the first long-name entries
  std::array<uint8_t, 11> shortName{};
  uint32_t created = 0;
  std::string longName;     // the first name's long-name part as gathered
  std::string firstWhole;   // the first name, whole
  std::string secondWhole;  // the name after it, whole; empty when none
};
ClusterHead ReadClusterHead(ByteView head);

// kFits: a long-name set's checksum goes on, but names repeat their short
// aliases from folder to folder, so that alone tells little.
enum class EdgeVerdict { kContradicts, kSilent, kFits, kSupports };

// Whether `head` (the first bytes of a cluster that begins no directory)
// goes on from `edge`:
// - a pending long-name set must go on there: a cluster that opens with
//   long-name entries of another checksum contradicts; one that opens with
//   entries of the same checksum fits, and so does one that opens with a
//   short entry whose checksum matches once its first byte (lost when it was
//   deleted) is taken from the long name's first character;
// - a first short entry created before the edge's last one contradicts;
// - the whole names on both sides of the edge support when the later one
//   continues the earlier one's numbering (the same digit groups but one,
//   which grows by 1 to 8: IMG_0129 then IMG_0130).
EdgeVerdict JudgeContinuation(const DirectoryEdge& edge, const ClusterHead& head);
EdgeVerdict JudgeContinuation(const DirectoryEdge& edge, ByteView head);

// True when b's digit groups are a's with exactly one grown by 1 to 8.
bool NameContinuesNumbering(const std::string& a, const std::string& b);

// Free clusters that read as directory entries and begin no directory: where
// a deleted directory whose FAT chain was zeroed may go on. Each cluster of
// the volume is read at most once over a walk, in sorted pieces of free
// clusters; what the first entries of each such cluster say is kept (at most
// kMaxKept clusters, then no more are looked for). A cluster a directory
// took is no candidate any more. The reader and FAT must outlive this.
class ContinuationCandidates {
 public:
  static constexpr size_t kMaxKept = 16384;
  static constexpr uint64_t kWindowBytes = 8u << 20;
  static constexpr uint32_t kWindowClusters = 2048;
  static constexpr uint64_t kPieceBytes = 1u << 20;

  ContinuationCandidates(VolumeReader& reader, FatTable& fat);

  // The candidates after `cluster` inside the window that follows it, in
  // order. A read failure ends the window there and is returned.
  [[nodiscard]] Status Find(uint32_t cluster, std::vector<uint32_t>* out);
  // What a candidate's first entries say (null when it is none).
  const ClusterHead* Head(uint32_t cluster) const;
  void Take(uint32_t cluster) { m_heads.erase(cluster); }
  // Whether a candidate no directory took is left in the window after `cluster`.
  bool AnyLeftAfter(uint32_t cluster) const;
  uint64_t ReadCalls() const { return m_readCalls; }

 private:
  uint32_t LastOfWindow(uint32_t cluster) const;
  [[nodiscard]] Status Classify(uint32_t first, uint32_t last);
  [[nodiscard]] Status ClassifyRun(uint32_t first, uint32_t count);

  VolumeReader& m_reader;
  FatTable& m_fat;
  std::map<uint32_t, uint32_t> m_classified;  // first → last cluster of ranges looked at
  std::map<uint32_t, ClusterHead> m_heads;
  std::vector<uint8_t> m_piece;
  uint64_t m_readCalls = 0;
  bool m_full = false;
};

}  // namespace engine::fat
