// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/byte_view.h"
#include "engine/deep/scan_extents.h"
#include "engine/metadata_runs.h"
#include "engine/status.h"
#include "platform/raw_file.h"

namespace engine::deep {

// Name of the state file a deep scan keeps in its scan folder.
inline constexpr const char* kDeepStateName = "Deep_Scan.state";
// Name of its log of the sectors handed to the file-system engines.
inline constexpr const char* kDeepReplayName = "Deep_Scan.replay";
// Given to Scan as the previous name: the stored scan is reopened as it is,
// also when it stopped before its end, and nothing more is read.
inline constexpr const char* kDeepViewOnly = "Deep_Scan.view";

// What a deep scan needs to be continued where it stopped, or to be known
// finished: the volume it read, the extents it reads, where it stopped, and
// how much of the replay log belongs to it. Written when the scan stops
// (finished, cancelled or failed), never while it runs. The kept files are
// files on disk that anything may have changed: the state carries a version
// and a checksum of itself, of the replay log's entries and of the carver's
// store, and every field is checked against the volume before use.
struct DeepScanState {
  uint32_t sectorBytes = 512;
  uint64_t volumeStart = 0;
  uint64_t sectorCount = 0;
  bool finished = false;
  bool freeSpaceOnly = false;  // the extents are the free space a fast engine mapped
  int32_t fastStatus = 0;      // how the fast engine's scan ended (0, or its error)
  uint64_t extentIndex = 0;    // the extent being read when the scan stopped
  uint64_t extentDone = 0;     // sectors of it done (a carved file may have run past it)
  uint64_t skipUntil = 0;      // absolute sector a carved file ran to: nothing before it is read again
  uint64_t sectorsDone = 0;
  uint64_t unreadableSectors = 0;
  uint64_t replayEntries = 0;         // entries of the replay log written by then
  uint64_t replayHash = 0;            // ReplayLog::Hash of those entries
  uint64_t carvedStoreHash = 0;       // HashStoreFiles of the carver's store when the scan stopped
  std::vector<ByteRun> metadataRuns;  // what the fast engine walked: never handed to the raw engines
  std::vector<SectorExtent> extents;
};

// Why a kept deep scan cannot be used; each has its words for the user.
enum class KeptStateFault : uint8_t {
  kNone = 0,
  kUnreadable,    // a kept file is missing, not a plain file, or cannot be read
  kDamaged,       // cut short, too long, or its checksum does not hold
  kOtherVersion,  // kept by a program that writes another version
  kOtherVolume,   // kept for another volume (start, length or sector size differ)
  kOutside,       // an extent or position lies outside the volume, or counts disagree
  kReplay,        // the replay log is cut short, changed, or points outside the volume
  kCarvedFiles,   // the carver's store was changed or holds files outside the volume
};

// Writes the state to folder/kDeepStateName through a temporary file, synced
// and renamed, so a crash leaves the old state or the new one.
[[nodiscard]] Status WriteDeepScanState(const std::string& folder, const DeepScanState& state);
// Reads it back; 2 when there is none, kErrorInvalidData (with *fault, when
// given, saying why) when it is not a plain file, is cut short, was changed
// or is of another version.
[[nodiscard]] Status ReadDeepScanState(const std::string& folder, DeepScanState* state,
                                       KeptStateFault* fault = nullptr);
// The bytes of a state file as ReadDeepScanState takes them.
[[nodiscard]] KeptStateFault ParseDeepScanState(ByteView bytes, DeepScanState* state);
// Whether every field fits the volume of sectorCount sectors of sectorBytes
// from absolute sector volumeStart: extents sorted, disjoint and inside it,
// the position inside them, the counts bounded by it.
[[nodiscard]] KeptStateFault CheckDeepScanState(const DeepScanState& state, uint32_t sectorBytes, uint64_t volumeStart,
                                                uint64_t sectorCount);
// A hash of the files of the store baseName in folder (records, relation,
// folder names, layouts; a missing one counts as missing).
[[nodiscard]] Status HashStoreFiles(const std::string& folder, const std::string& baseName, uint64_t* hash);

// Which file-system engine a sector was handed to.
enum class ReplayKind : uint8_t {
  kNtfsRecord = 1,
  kFatDirectoryStart = 2,
  kFatDirectorySector = 3,
  kExFatDirectorySector = 4,
  kExt4Block = 5,
};
// The highest ReplayKind: a log entry of another kind is damage.
inline constexpr uint8_t kLastReplayKind = static_cast<uint8_t>(ReplayKind::kExt4Block);

// One run of the replay log: count sectors from sector, each step sectors
// after the one before, all handed over as kind.
struct ReplayRun {
  uint64_t sector = 0;
  uint32_t count = 0;
  uint8_t kind = 0;
  uint8_t step = 1;
};

// The log of every sector handed to the professional FAT, exFAT and NTFS engines,
// in order, so that a resumed scan can hand them over again (reading only
// those sectors) and its engines hold what they held when it stopped.
// Runs of neighbouring sectors of one kind take one 16-byte entry. Written
// through a buffer; one thread.
class ReplayLog {
 public:
  ReplayLog() = default;
  ~ReplayLog();
  ReplayLog(const ReplayLog&) = delete;
  ReplayLog& operator=(const ReplayLog&) = delete;

  // Opens folder/kDeepReplayName to write entries from entry number `keep`
  // on (0: an empty log; what lies past `keep` is dropped); keptHash is the
  // Hash of the entries kept.
  [[nodiscard]] Status Open(const std::string& folder, uint64_t keep, uint64_t keptHash = 0);
  void Add(ReplayKind kind, uint64_t sector, uint32_t step);
  // Writes the buffer; the first write error met since Open.
  [[nodiscard]] Status Flush();
  [[nodiscard]] Status Close();
  // Entries added so far, whole runs (the one being grown counts).
  uint64_t Entries() const { return m_written + m_buffer.size() + (m_open ? 1 : 0); }
  // A hash chained over the entries written to the file (0 for none).
  uint64_t Hash() const { return m_hash; }
  // The same hash of whole 16-byte entries as the file holds them.
  static uint64_t HashOf(ByteView entries);

  // Reads the first `entries` entries of the log in folder; kErrorInvalidData
  // when they are cut short, their hash is not `hash`, or one is malformed.
  [[nodiscard]] static Status Read(const std::string& folder, uint64_t entries, uint64_t hash,
                                   std::vector<ReplayRun>* out);
  // Whether runs hand over sectors in strictly rising order, each handed
  // piece (spanOf(kind) sectors: an NTFS record, else one sector) inside the
  // volume of sectorCount sectors from absolute sector volumeStart.
  [[nodiscard]] static bool RunsFit(const std::vector<ReplayRun>& runs, uint64_t volumeStart, uint64_t sectorCount,
                                    const std::function<uint32_t(ReplayKind)>& spanOf);

 private:
  void Seal();
  [[nodiscard]] Status WriteBuffer();

  platform::OutputFile m_file;
  Status m_error = kStatusOk;
  uint64_t m_written = 0;
  uint64_t m_hash = 0;
  std::vector<ReplayRun> m_buffer;
  ReplayRun m_current;
  bool m_open = false;  // m_current holds a run
};

}  // namespace engine::deep
