// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Measuring the carver's candidates ahead of the deep scan's pass, on
// threads of their own.
//
// The pass hands every sector to one engine in order, and what it finds
// depends on what it found before; measuring a candidate (where a
// compressed stream, a text or an archive ends) depends only on the medium.
// Threads read the pieces ahead of the pass on readers of their own,
// recognise candidates as the carver does and measure them; the carver then
// takes a measure made ahead instead of making it (MeasuredAhead), so the
// pass finds exactly what it finds alone, in the same order, with the same
// ids and kept state. The threads stay at most a few pieces ahead; pieces
// the pass skipped are dropped. Like the pass, a thread moves past a file it
// measured whole: the pass, carving it from the same sector, never looks
// inside it (where the pass's way differs, it looks at those sectors itself).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/signatures/carve_sector.h"
#include "storage/sector_source.h"

namespace engine::deep {

// A stretch the pass reads: absolute sectors [first, first + count); carved
// text stops at runEnd (0: at the volume's end).
struct AheadRun {
  uint64_t first = 0;
  uint64_t count = 0;
  uint64_t runEnd = 0;
};

class CarveAhead final : public signatures::MeasuredAhead {
 public:
  // One thread per reader in sources (each an independent reader of the
  // medium); sectors of sectorBytes; nothing read at or past volumeEnd.
  // runs: what the pass reads, in its order. The threads start at once, at
  // absolute sector from.
  CarveAhead(std::vector<storage::SectorSource> sources, uint32_t sectorBytes, uint64_t volumeEnd,
             std::vector<AheadRun> runs, uint64_t from);
  ~CarveAhead() override;
  CarveAhead(const CarveAhead&) = delete;
  CarveAhead& operator=(const CarveAhead&) = delete;

  // The pass is at absolute sector at: what lies before it is not wanted.
  void MoveTo(uint64_t at);
  // The count sectors from absolute sector at, when one piece a thread read
  // whole holds all of them: its bytes, kept alive (and unchanged) while
  // *keep holds them. Null when no such piece is there.
  const uint8_t* Borrow(uint64_t at, uint32_t count, std::shared_ptr<const void>* keep);
  signatures::SectorLook Look(uint64_t hitSector, uint64_t runEnd,
                              const signatures::MeasuredCandidate** measured) override;

  // Of the sectors the pass looked up: those a thread had looked at, and
  // those it looked at itself.
  uint64_t Taken() const { return m_taken; }
  uint64_t Missed() const { return m_missed; }

 private:
  // What a thread found in one sector of a piece.
  enum SectorMark : uint8_t {
    kNotLooked = 0,
    kNothing,        // no candidate; the text tail untouched
    kNothingTail,    // no candidate; the text tail set, text not running on
    kNothingTailOn,  // no candidate; the text tail set, text running on
    kCandidate,      // a candidate: see results
  };
  struct Measured {
    uint64_t sector = 0;
    signatures::SectorAhead ahead;
  };
  enum class UnitState { kFree, kWorking, kDone, kPassOnly };
  // A piece of a run, looked at by one thread.
  struct Unit {
    uint64_t first = 0;
    uint64_t count = 0;
    uint64_t runEnd = 0;
    uint64_t lookFrom = 0;               // inside a file measured in a piece before: looked at from here
    UnitState state = UnitState::kFree;  // under m_mutex
    std::vector<uint8_t> marks;          // SectorMark per sector; those before lookedTo are set
    std::atomic<uint64_t> lookedTo{0};   // absolute sector
    std::atomic<bool> dropped{false};    // the pass is past it, or looks at the rest itself
    std::atomic<bool> passWaits{false};  // the pass waits for the sector the thread is at
    std::atomic<bool> readingOn{false};  // the thread measures past the sector it is at
    std::atomic<bool> read{false};       // bytes hold the whole piece
    std::unique_ptr<uint8_t[]> bytes;    // the piece's sectors, once read
    std::vector<Measured> results;       // by sector, under m_mutex
  };

  void Work(size_t thread);
  void LookAtUnit(signatures::CarveContext& context, storage::SectorSource& source, Unit& unit);
  // Under m_mutex: drops the pieces before at and puts the next piece to
  // make at or after it. True when the window has room it had not.
  bool MoveToLocked(uint64_t at);
  // Under m_mutex: a piece no thread looks at yet, made when the window has room; null when none.
  std::shared_ptr<Unit> ClaimLocked();
  // The piece holding sector for the pass; null when there is none.
  // The pass does not wait for a thread to reach a sector: a piece whose
  // thread has not reached it yet is the pass's from there on (the thread
  // stops and takes another). It waits only for a candidate whose measure,
  // reading on past its sector, is under way.
  std::shared_ptr<Unit> UnitFor(uint64_t sector);
  // Under lock (of m_mutex): waits while unit's thread measures a candidate at sector.
  void WaitForLookLocked(std::unique_lock<std::mutex>& lock, Unit& unit, uint64_t sector);
  // A thread's read-ahead asks whether to go on: not once the pass is past its piece.
  static int32_t OnReadAhead(void* user, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t);

  std::vector<storage::SectorSource> m_sources;
  const uint32_t m_sectorBytes;
  const uint64_t m_volumeEnd;
  const std::vector<AheadRun> m_runs;
  const uint64_t m_unitSectors;
  const size_t m_window;

  std::mutex m_mutex;
  std::condition_variable m_workReady;
  std::condition_variable m_looked;           // a thread moved on in a piece the pass waits for
  std::deque<std::shared_ptr<Unit>> m_units;  // from the pass's position on
  size_t m_nextRun = 0;                       // where the next piece is made
  uint64_t m_nextOffset = 0;
  uint64_t m_measuredTo = 0;  // the furthest end of a file measured ahead
  std::atomic<bool> m_stop{false};
  // The pass's own: the piece it looked up last.
  std::shared_ptr<Unit> m_current;
  uint64_t m_currentLookedTo = 0;            // its thread's lookedTo, as the pass saw it last
  signatures::MeasuredCandidate m_measured;  // the last measure Look gave
  uint64_t m_taken = 0;
  uint64_t m_missed = 0;
  std::vector<std::thread> m_threads;
};

}  // namespace engine::deep
