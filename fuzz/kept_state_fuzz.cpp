// SPDX-License-Identifier: GPL-3.0-or-later
// The kept deep-scan state and replay log over arbitrary bytes. The first
// byte chooses: bit 0 puts a valid checksum on the state (so that its fields
// are reached), bit 1 checks it against the volume it names itself (else
// against one taken from the input). A state that passes the checks must
// keep every extent and position inside its volume; replay runs that fit
// must hand over only sectors inside it, in rising order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/byte_view.h"
#include "engine/deep/deep_scan_state.h"
#include "engine/hash64.h"

namespace {

using engine::ByteView;
using namespace engine::deep;

uint64_t U64(const uint8_t* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, 8);
  return v;
}

void CheckState(const DeepScanState& s) {
  uint64_t end = 0;
  for (const SectorExtent& e : s.extents) {
    if (e.count == 0 || e.start < end || e.start >= s.sectorCount || e.count > s.sectorCount - e.start) std::abort();
    end = e.start + e.count;
  }
  if (s.extentIndex > s.extents.size()) std::abort();
  if (s.extentIndex < s.extents.size() && s.extentDone > s.extents[s.extentIndex].count) std::abort();
  if (s.skipUntil != 0 && (s.skipUntil < s.volumeStart || s.skipUntil - s.volumeStart > s.sectorCount)) std::abort();
  if (s.unreadableSectors > s.sectorsDone || s.replayEntries > s.sectorCount) std::abort();
}

void CheckRuns(const std::vector<ReplayRun>& runs, uint64_t volumeStart, uint64_t sectorCount, uint32_t recordSectors) {
  const auto spanOf = [recordSectors](ReplayKind k) { return k == ReplayKind::kNtfsRecord ? recordSectors : 1u; };
  if (!ReplayLog::RunsFit(runs, volumeStart, sectorCount, spanOf)) return;
  unsigned __int128 next = volumeStart;
  const unsigned __int128 end = static_cast<unsigned __int128>(volumeStart) + sectorCount;
  for (const ReplayRun& r : runs) {
    const unsigned __int128 span = r.kind == static_cast<uint8_t>(ReplayKind::kNtfsRecord) ? recordSectors : 1;
    const unsigned __int128 first = r.sector;
    const unsigned __int128 lastEnd = first + static_cast<unsigned __int128>(r.count - 1) * r.step + span;
    if (first < next || lastEnd > end) std::abort();
    next = lastEnd;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + 8 + 8 + 1) return 0;
  const uint8_t flags = data[0];
  const uint64_t volumeStart = U64(data + 1) >> (data[17] & 63);
  const uint64_t sectorCount = U64(data + 9) >> (data[17] & 63);
  std::vector<uint8_t> state(data + 18, data + size);
  if ((flags & 1) != 0 && state.size() >= 16) {
    engine::Hash64 checksum;
    checksum.Update(state.data(), state.size() - 8);
    const uint64_t value = checksum.Value();
    std::memcpy(state.data() + state.size() - 8, &value, 8);
  }
  DeepScanState parsed;
  if (ParseDeepScanState(ByteView(state.data(), state.size()), &parsed) == KeptStateFault::kNone) {
    const bool own = (flags & 2) != 0;
    const uint64_t start = own ? parsed.volumeStart : volumeStart;
    const uint64_t count = own ? parsed.sectorCount : sectorCount;
    if (CheckDeepScanState(parsed, parsed.sectorBytes, start, count) == KeptStateFault::kNone) CheckState(parsed);
  }
  // The same bytes as replay entries.
  std::vector<ReplayRun> runs;
  for (size_t at = 18; at + 16 <= size && runs.size() < 4096; at += 16) {
    ReplayRun r;
    r.sector = U64(data + at);
    std::memcpy(&r.count, data + at + 8, 4);
    r.kind = data[at + 12];
    r.step = data[at + 13];
    runs.push_back(r);
  }
  (void)ReplayLog::HashOf(ByteView(data + 18, size - 18));
  CheckRuns(runs, volumeStart, sectorCount, 1 + (flags >> 4));
  return 0;
}
