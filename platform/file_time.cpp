// SPDX-License-Identifier: GPL-3.0-or-later
#include <chrono>
#include <ctime>

#include "platform/file_time.h"

namespace platform {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

}  // namespace

bool SystemTimeToFileTime(const SystemTime& t, uint64_t* fileTime) {
  using namespace std::chrono;
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour < 0 || t.hour > 23 ||
      t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59 || t.milliseconds < 0 || t.milliseconds > 999) {
    return false;
  }
  year_month_day ymd{year{t.year}, month{static_cast<unsigned>(t.month)}, day{static_cast<unsigned>(t.day)}};
  if (!ymd.ok()) return false;
  int64_t dayCount = sys_days{ymd}.time_since_epoch().count() + kDays1601To1970;
  int64_t seconds = dayCount * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  *fileTime = static_cast<uint64_t>(seconds) * kTicksPerSecond + static_cast<uint64_t>(t.milliseconds) * 10'000;
  return true;
}

bool FileTimeToSystemTime(uint64_t fileTime, SystemTime* t) {
  using namespace std::chrono;
  if (fileTime >= 0x8000000000000000ull) return false;
  int64_t totalSeconds = static_cast<int64_t>(fileTime / kTicksPerSecond);
  int64_t dayCount = totalSeconds / 86400;
  int64_t rest = totalSeconds % 86400;
  sys_days sd{days{dayCount - kDays1601To1970}};
  year_month_day ymd{sd};
  t->year = static_cast<int>(ymd.year());
  t->month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t->day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t->dayOfWeek = static_cast<int>(weekday{sd}.c_encoding());
  t->hour = static_cast<int>(rest / 3600);
  t->minute = static_cast<int>(rest % 3600 / 60);
  t->second = static_cast<int>(rest % 60);
  t->milliseconds = static_cast<int>(fileTime % kTicksPerSecond / 10'000);
  return true;
}

uint64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
  int64_t ticks = (seconds + kDays1601To1970 * 86400) * kTicksPerSecond + nanoseconds / 100;
  return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

bool FileTimeToUnix(uint64_t fileTime, TimeBasis basis, int64_t* seconds, int64_t* nanoseconds) {
  SystemTime t;
  if (fileTime == 0 || !FileTimeToSystemTime(fileTime, &t)) return false;
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;  // the local rules of that date decide
  const std::time_t unix = basis == TimeBasis::kUtc ? timegm(&tm) : mktime(&tm);
  if (unix == static_cast<std::time_t>(-1) && !(t.year == 1969 && t.month == 12 && t.day == 31)) return false;
  *seconds = unix;
  *nanoseconds = static_cast<int64_t>(fileTime % kTicksPerSecond) * 100;
  return true;
}

SystemTime LocalNow() {
  std::timespec ts{};
  std::timespec_get(&ts, TIME_UTC);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  SystemTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.dayOfWeek = tm.tm_wday;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.milliseconds = static_cast<int>(ts.tv_nsec / 1'000'000);
  return t;
}

}  // namespace platform
