// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/carve_ahead.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "engine/signatures/file_signature_table.h"
#include "engine/status.h"

namespace engine::deep {
namespace {

using signatures::SectorAhead;
using signatures::SectorLook;

// Bytes of the piece one thread looks at at a time.
constexpr uint64_t kUnitBytes = 1048576;
// Pieces made ahead of the pass per thread.
constexpr size_t kUnitsPerThread = 4;

}  // namespace

CarveAhead::CarveAhead(std::vector<storage::SectorSource> sources, uint32_t sectorBytes, uint64_t volumeEnd,
                       std::vector<AheadRun> runs, uint64_t from)
    : m_sources(std::move(sources)),
      m_sectorBytes(sectorBytes),
      m_volumeEnd(volumeEnd),
      m_runs(std::move(runs)),
      m_unitSectors(std::max<uint64_t>(1, kUnitBytes / std::max<uint32_t>(1, sectorBytes))),
      m_window(std::max<size_t>(1, m_sources.size()) * kUnitsPerThread) {
  {
    std::lock_guard lock(m_mutex);
    MoveToLocked(from);
  }
  m_threads.reserve(m_sources.size());
  for (size_t i = 0; i < m_sources.size(); ++i) {
    try {
      m_threads.emplace_back([this, i] { Work(i); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the pass and those started go on
    }
  }
}

CarveAhead::~CarveAhead() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
    for (const auto& unit : m_units) unit->dropped = true;
  }
  m_workReady.notify_all();
  for (std::thread& t : m_threads) t.join();
}

bool CarveAhead::MoveToLocked(uint64_t at) {
  bool room = false;
  while (!m_units.empty() && m_units.front()->first + m_units.front()->count <= at) {
    m_units.front()->dropped = true;
    m_units.pop_front();
    room = true;
  }
  if (!m_units.empty()) return room;
  // Nothing made reaches at: the next piece is the one holding it (or the first after it).
  while (m_nextRun < m_runs.size() && m_runs[m_nextRun].first + m_runs[m_nextRun].count <= at) {
    ++m_nextRun;
    m_nextOffset = 0;
  }
  if (m_nextRun < m_runs.size() && at > m_runs[m_nextRun].first) {
    const uint64_t offset = (at - m_runs[m_nextRun].first) / m_unitSectors * m_unitSectors;
    m_nextOffset = std::max(m_nextOffset, offset);
  }
  return true;
}

std::shared_ptr<CarveAhead::Unit> CarveAhead::ClaimLocked() {
  for (const auto& unit : m_units) {
    if (unit->state == UnitState::kFree) return unit;
  }
  if (m_units.size() >= m_window || m_nextRun >= m_runs.size()) return nullptr;
  const AheadRun& run = m_runs[m_nextRun];
  auto unit = std::make_shared<Unit>();
  unit->first = run.first + m_nextOffset;
  unit->count = std::min(m_unitSectors, run.count - m_nextOffset);
  unit->runEnd = run.runEnd;
  // Files measured so far all start before this piece: its sectors inside one are not looked at.
  unit->lookFrom = std::clamp(m_measuredTo, unit->first, unit->first + unit->count);
  unit->lookedTo = unit->first;
  m_nextOffset += unit->count;
  if (m_nextOffset >= run.count) {
    ++m_nextRun;
    m_nextOffset = 0;
  }
  m_units.push_back(unit);
  return unit;
}

void CarveAhead::MoveTo(uint64_t at) {
  bool room = false;
  {
    std::lock_guard lock(m_mutex);
    room = MoveToLocked(at);
  }
  if (room) m_workReady.notify_all();
}

const uint8_t* CarveAhead::Borrow(uint64_t at, uint32_t count, std::shared_ptr<const void>* keep) {
  uint64_t end = 0;
  if (keep == nullptr || count == 0 || __builtin_add_overflow(at, uint64_t{count}, &end)) return nullptr;
  std::lock_guard lock(m_mutex);
  for (const auto& unit : m_units) {
    if (unit->first + unit->count <= at) continue;
    if (unit->first > at || end > unit->first + unit->count || !unit->read.load(std::memory_order_acquire)) break;
    // A piece's bytes do not change once read, and live as long as the piece.
    *keep = unit;
    return unit->bytes.get() + (at - unit->first) * m_sectorBytes;
  }
  return nullptr;
}

std::shared_ptr<CarveAhead::Unit> CarveAhead::UnitFor(uint64_t sector) {
  std::unique_lock lock(m_mutex);
  // Threads wait for work only when the window is full: woken when it has room.
  if (MoveToLocked(sector)) m_workReady.notify_all();
  if (m_units.empty() || m_units.front()->first > sector) return nullptr;
  std::shared_ptr<Unit> unit = m_units.front();
  // A piece no thread started on is the pass's (its marks stay unset).
  if (unit->state == UnitState::kFree) unit->state = UnitState::kPassOnly;
  WaitForLookLocked(lock, *unit, sector);
  // Behind the pass: what the thread looked at stays good, the rest is the pass's.
  if (unit->lookedTo.load(std::memory_order_acquire) <= sector) unit->dropped = true;
  return unit;
}

void CarveAhead::WaitForLookLocked(std::unique_lock<std::mutex>& lock, Unit& unit, uint64_t sector) {
  // Waiting for the look under way costs less than making it again.
  if (unit.state != UnitState::kWorking || unit.dropped || unit.lookedTo.load() != sector || !unit.readingOn) return;
  unit.passWaits.store(true);
  m_looked.wait(lock,
                [&] { return unit.state != UnitState::kWorking || unit.dropped || unit.lookedTo.load() > sector; });
  unit.passWaits.store(false);
}

SectorLook CarveAhead::Look(uint64_t hitSector, uint64_t runEnd, const signatures::MeasuredCandidate** measured) {
  Unit* unit = m_current.get();
  if (unit == nullptr || hitSector < unit->first || hitSector >= unit->first + unit->count) {
    m_current = UnitFor(hitSector);
    unit = m_current.get();
    m_currentLookedTo = 0;
  }
  // The thread's position is asked only past the one seen last: it moves on
  // every sector, and asking every time would take its cache line from it.
  if (unit != nullptr && hitSector >= m_currentLookedTo) {
    if (unit->lookedTo.load(std::memory_order_acquire) == hitSector) {
      std::unique_lock lock(m_mutex);
      WaitForLookLocked(lock, *unit, hitSector);
    }
    m_currentLookedTo = unit->lookedTo.load(std::memory_order_acquire);
  }
  if (unit == nullptr || unit->runEnd != runEnd || m_currentLookedTo <= hitSector) {
    if (unit != nullptr) unit->dropped = true;  // the pass is there first
    ++m_missed;
    return {};
  }
  SectorLook out;
  const uint8_t mark = unit->marks[hitSector - unit->first];
  switch (mark) {
    case kNothing: out.verdict = SectorLook::Verdict::kNothing; break;
    case kNothingTail:
    case kNothingTailOn:
      out.verdict = SectorLook::Verdict::kNothing;
      out.tailSet = true;
      out.tailRunsOn = mark == kNothingTailOn;
      break;
    case kCandidate: {
      std::lock_guard lock(m_mutex);
      const auto found = std::lower_bound(unit->results.begin(), unit->results.end(), hitSector,
                                          [](const Measured& m, uint64_t sector) { return m.sector < sector; });
      if (found != unit->results.end() && found->sector == hitSector) {
        out = found->ahead;  // the look; its measure apart
        m_measured = found->ahead.measured;
        *measured = &m_measured;
      }
      break;
    }
    default: break;
  }
  ++(out.verdict == SectorLook::Verdict::kUnknown ? m_missed : m_taken);
  return out;
}

void CarveAhead::Work(size_t thread) {
  storage::SectorSource& source = m_sources[thread];
  signatures::CarveContext context;
  context.Attach(&source, m_sectorBytes, m_volumeEnd);
  context.ClearStreamExtents();
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    std::shared_ptr<Unit> unit = ClaimLocked();
    if (unit == nullptr) {
      m_workReady.wait(lock);
      continue;
    }
    unit->state = UnitState::kWorking;
    lock.unlock();
    LookAtUnit(context, source, *unit);
    lock.lock();
    unit->state = UnitState::kDone;
    if (unit->passWaits) m_looked.notify_all();
  }
}

void CarveAhead::LookAtUnit(signatures::CarveContext& context, storage::SectorSource& source, Unit& unit) {
  const auto count = static_cast<uint32_t>(unit.count);
  unit.marks.assign(count, kNotLooked);
  // Not zero-filled: read over whole, or not used.
  unit.bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(count) * m_sectorBytes);
  uint8_t* bytes = unit.bytes.get();
  uint32_t got = 0;
  // A piece that cannot be read whole is left to the pass, which reads it sector by sector.
  if (storage::ReadSectors(count, source, bytes, unit.first, m_sectorBytes, &got) != kStatusOk || got != count) {
    return;
  }
  unit.read.store(true, std::memory_order_release);
  context.SetResident(bytes, unit.first, count);
  context.runEnd = unit.runEnd;
  context.SetProgressCallback(OnReadAhead, &unit, 0);
  const uint64_t end = unit.first + count;
  // Sectors left unlooked stay kNotLooked: the pass looks at them itself if it gets there.
  uint64_t sector = unit.lookFrom;
  unit.lookedTo.store(sector);
  SectorAhead ahead;  // kept: its measure is set only where one is made
  while (sector < end && !unit.dropped) {
    const auto i = static_cast<size_t>(sector - unit.first);
    signatures::LookAhead(context, bytes + i * m_sectorBytes, m_sectorBytes, sector, &ahead);
    unit.readingOn.store(false, std::memory_order_relaxed);
    uint64_t next = sector + 1;
    if (ahead.verdict == SectorLook::Verdict::kNothing) {
      unit.marks[i] = !ahead.tailSet ? kNothing : ahead.tailRunsOn ? kNothingTailOn : kNothingTail;
    } else if (ahead.verdict == SectorLook::Verdict::kMeasured) {
      unit.marks[i] = kCandidate;
      if (ahead.measured.status == kStatusOk) {
        // The pass carving this file goes on after it, as this thread does.
        const signatures::CarvedFile& file = ahead.measured.file;
        const uint64_t skip = signatures::SectorsToSkipAfterCarve(file.code, file.size, m_sectorBytes);
        if (__builtin_add_overflow(sector, std::max<uint64_t>(skip, 1), &next)) next = UINT64_MAX;
      }
      std::lock_guard lock(m_mutex);
      unit.results.push_back(Measured{sector, ahead});
      if (next > end) m_measuredTo = std::max(m_measuredTo, next);
    }
    next = std::min(next, end);
    // Every sector up to this one is looked at or passed over: the pass may read their marks.
    // A pass that starts waiting just as this store is made may miss it:
    // it is woken at the next sector, or when the piece is done.
    unit.lookedTo.store(next, std::memory_order_release);
    if (unit.passWaits.load(std::memory_order_relaxed)) {
      std::lock_guard lock(m_mutex);
      m_looked.notify_all();
    }
    sector = next;
  }
  context.SetProgressCallback(nullptr, nullptr, 0);
  context.SetResident(nullptr, 0, 0);
}

int32_t CarveAhead::OnReadAhead(void* user, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  auto* unit = static_cast<Unit*>(user);
  unit->readingOn.store(true, std::memory_order_relaxed);
  return unit->dropped ? kStatusCancelled : 0;
}

}  // namespace engine::deep
