// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// (finished, cancelled or failed), never while it runs.
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
  std::vector<ByteRun> metadataRuns;  // what the fast engine walked: never handed to the raw engines
  std::vector<SectorExtent> extents;
};

// Writes the state to folder/kDeepStateName through a temporary file, synced
// and renamed, so a crash leaves the old state or the new one.
[[nodiscard]] Status WriteDeepScanState(const std::string& folder, const DeepScanState& state);
// Reads it back; 2 when there is none, kErrorInvalidData when it is not a
// state this program wrote or is cut short.
[[nodiscard]] Status ReadDeepScanState(const std::string& folder, DeepScanState* state);

// Which file-system engine a sector was handed to.
enum class ReplayKind : uint8_t {
  kNtfsRecord = 1,
  kFatDirectoryStart = 2,
  kFatDirectorySector = 3,
  kExFatDirectorySector = 4,
  kExt4Block = 5,
};

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
  // on (0: an empty log; what lies past `keep` is dropped).
  [[nodiscard]] Status Open(const std::string& folder, uint64_t keep);
  void Add(ReplayKind kind, uint64_t sector, uint32_t step);
  // Writes the buffer; the first write error met since Open.
  [[nodiscard]] Status Flush();
  [[nodiscard]] Status Close();
  // Entries added so far, whole runs (the one being grown counts).
  uint64_t Entries() const { return m_written + m_buffer.size() + (m_open ? 1 : 0); }

  // Reads the first `entries` entries of the log in folder.
  [[nodiscard]] static Status Read(const std::string& folder, uint64_t entries, std::vector<ReplayRun>* out);

 private:
  void Seal();
  [[nodiscard]] Status WriteBuffer();

  platform::OutputFile m_file;
  Status m_error = kStatusOk;
  uint64_t m_written = 0;
  std::vector<ReplayRun> m_buffer;
  ReplayRun m_current;
  bool m_open = false;  // m_current holds a run
};

}  // namespace engine::deep
