// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

namespace platform {

// Calendar fields of a local time, as stored on disk (no time-zone conversion).
struct SystemTime {
  int year = 0;
  int month = 0;  // 1..12
  int dayOfWeek = 0;
  int day = 0;  // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

// FILETIME: 100 ns intervals since 1601-01-01 00:00, as uint64.
// Returns false (and leaves *fileTime alone) when a field is out of range:
// year 1601..30827, month 1..12, day valid for the month, hour < 24,
// minute < 60, second < 60, milliseconds < 1000.
bool SystemTimeToFileTime(const SystemTime& time, uint64_t* fileTime);
bool FileTimeToSystemTime(uint64_t fileTime, SystemTime* time);

uint64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds);

// How the calendar fields of a FILETIME are meant: UTC (NTFS keeps its
// times so), or the local time of whoever wrote them (FAT, exFAT, a
// camera's metadata), which this machine's time zone stands in for.
enum class TimeBasis { kUtc, kLocal };

// Seconds and nanoseconds since 1970-01-01 UTC of a FILETIME read with its
// basis. False for 0 (no time) and for times that cannot be represented.
bool FileTimeToUnix(uint64_t fileTime, TimeBasis basis, int64_t* seconds, int64_t* nanoseconds);

// The current local time of this machine.
SystemTime LocalNow();

}  // namespace platform
