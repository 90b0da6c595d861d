// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

namespace engine {

// Progress callbacks. Return 0 to go on; any other value stops the engine at
// that point and comes back as its status (the jobs return -9527 on cancel).
// Called synchronously on the engine's thread.

// remainingSeconds -1 when unknown; reserved always 0. The bar shows
// percent * weight / 100; sectorsTotal 0 hides the counters.
using ScanProgressFn = int32_t (*)(void* userData, int32_t percent, int32_t weight, int32_t remainingSeconds,
                                   uint64_t sectorsDone, uint64_t sectorsTotal, uint64_t filesFound, int32_t reserved);
// hundred is always 100; destinationPath is UTF-8.
using CopyProgressFn = int32_t (*)(void* userData, int32_t percent, int32_t hundred, int32_t status,
                                   const char* destinationPath);
// zero is always 0.
using SearchProgressFn = int32_t (*)(void* userData, int32_t percent, int32_t zero);
using ExtractProgressFn = int32_t (*)(void* userData, int32_t percent, int32_t status);

}  // namespace engine
