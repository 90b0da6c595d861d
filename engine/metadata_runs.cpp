// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/metadata_runs.h"

#include <algorithm>

namespace engine {

void NormalizeByteRuns(std::vector<ByteRun>& runs) {
  std::erase_if(runs, [](const ByteRun& r) { return r.length == 0; });
  std::sort(runs.begin(), runs.end(), [](const ByteRun& a, const ByteRun& b) { return a.offset < b.offset; });
  size_t kept = 0;
  for (const ByteRun& r : runs) {
    const uint64_t end = r.offset + std::min(r.length, ~uint64_t{0} - r.offset);
    if (kept != 0 && r.offset <= runs[kept - 1].offset + runs[kept - 1].length) {
      ByteRun& last = runs[kept - 1];
      last.length = std::max(last.offset + last.length, end) - last.offset;
    } else {
      runs[kept++] = ByteRun{r.offset, end - r.offset};
    }
  }
  runs.resize(kept);
}

}  // namespace engine
