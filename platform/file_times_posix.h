// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to platform/: the futimens arguments for a pair of FILETIMEs.
#pragma once
#include <sys/stat.h>

#include <cstdint>

#include "platform/file_time.h"
#include "platform/status.h"

namespace platform {

// times[0] access, times[1] modification; a FILETIME of 0 leaves that time
// as it is (UTIME_OMIT). 87 when a time cannot be represented.
inline Status TimesOf(uint64_t accessed, uint64_t modified, TimeBasis basis, struct timespec times[2]) {
  const uint64_t fileTimes[2] = {accessed, modified};
  for (int i = 0; i < 2; ++i) {
    times[i].tv_sec = 0;
    times[i].tv_nsec = UTIME_OMIT;
    if (fileTimes[i] == 0) continue;
    int64_t seconds = 0, nanoseconds = 0;
    if (!FileTimeToUnix(fileTimes[i], basis, &seconds, &nanoseconds)) return kStatusInvalidParameter;
    times[i].tv_sec = static_cast<time_t>(seconds);
    times[i].tv_nsec = static_cast<long>(nanoseconds);
  }
  return kStatusOk;
}

}  // namespace platform
