// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>

namespace engine::cluster {

// How much one file's search may cost.
struct FragmentBounds {
  uint32_t maxPieces = 8;          // pieces one file is put together from
  uint32_t maxDecodes = 400;       // full decodes of candidate layouts
  uint32_t maxQuickChecks = 4000;  // framing checks that sort candidates before a decode
  uint64_t maxCandidates = 65536;  // clusters looked at for one piece's place
  // Time is a safety net for slow media; the counts above bound the work.
  std::chrono::milliseconds budget{10000};
  std::chrono::milliseconds volumeBudget{120000};  // all files of one volume together
  std::function<bool()> cancelled;  // asked now and then; true stops the search (nothing found)
};

// What one search cost.
struct FragmentSearchStats {
  uint32_t decodes = 0;
  uint32_t quickChecks = 0;
  uint64_t candidates = 0;
  std::chrono::microseconds spent{0};
  bool boundReached = false;
  bool ambiguous = false;  // more than one layout held: none is taken  // stopped by a bound, the time budget or a cancel before the search was through
};

}  // namespace engine::cluster
