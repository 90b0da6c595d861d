// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

constexpr size_t kFolderBytes = 1024;
// Two folder buffers: a move fills the one not in use, then publishes it, so
// a crash on another thread always reads a whole path.
char g_folders[2][kFolderBytes];
std::atomic<const char*> g_folder{g_folders[0]};
std::atomic<bool> g_installed{false};
long g_utcOffsetSeconds = 0;
constexpr size_t kAltStackBytes = 64 * 1024;
alignas(16) char g_altStack[kAltStackBytes];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Appends the decimal digits of value to out at *pos (bounded by size).
void AppendNumber(char* out, size_t size, size_t* pos, uint64_t value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < sizeof digits);
  while (n > 0 && *pos + 1 < size) out[(*pos)++] = digits[--n];
  out[*pos] = '\0';
}

void AppendText(char* out, size_t size, size_t* pos, const char* text) {
  while (*text != '\0' && *pos + 1 < size) out[(*pos)++] = *text++;
  out[*pos] = '\0';
}

void AppendHex(char* out, size_t size, size_t* pos, uint64_t value) {
  AppendText(out, size, pos, "0x");
  bool started = false;
  for (int shift = 60; shift >= 0; shift -= 4) {
    const unsigned nibble = static_cast<unsigned>((value >> shift) & 0xF);
    if (nibble == 0 && !started && shift != 0) continue;
    started = true;
    char c[2] = {static_cast<char>(nibble < 10 ? '0' + nibble : 'a' + nibble - 10), '\0'};
    AppendText(out, size, pos, c);
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian), without any library call.
void CivilFromDays(int64_t days, int* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

void WriteAll(int fd, const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// Makes every missing folder of g_folder (mkdir only: async-signal-safe).
void MakeFolders(const char* folder) {
  char path[kFolderBytes];
  for (size_t i = 0; i < kFolderBytes && folder[i] != '\0'; ++i) {
    path[i] = folder[i];
    if (folder[i] == '/' && i > 0) {
      path[i] = '\0';
      ::mkdir(path, 0700);
      path[i] = '/';
    }
  }
  ::mkdir(folder, 0700);
}

void OnCrash(int sig, siginfo_t* info, void*) {
  const char* folder = g_folder.load();
  MakeFolders(folder);
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const int64_t local = static_cast<int64_t>(now.tv_sec) + g_utcOffsetSeconds;
  int64_t days = local / 86400;
  int64_t secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  int year = 0, month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char path[kFolderBytes + 64];
  size_t pos = 0;
  path[0] = '\0';
  AppendText(path, sizeof path, &pos, folder);
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(year));
  AppendText(path, sizeof path, &pos, "-");
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(month));
  AppendText(path, sizeof path, &pos, "-");
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(day));
  AppendText(path, sizeof path, &pos, "&");
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(secs / 3600));
  AppendText(path, sizeof path, &pos, "-");
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(secs / 60 % 60));
  AppendText(path, sizeof path, &pos, "-");
  AppendNumber(path, sizeof path, &pos, static_cast<uint64_t>(secs % 60));
  AppendText(path, sizeof path, &pos, ".dmp");
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    char line[160];
    size_t n = 0;
    line[0] = '\0';
    AppendText(line, sizeof line, &n, "Quellmoor crash: signal ");
    AppendNumber(line, sizeof line, &n, static_cast<uint64_t>(sig));
    AppendText(line, sizeof line, &n, " code ");
    AppendNumber(line, sizeof line, &n, static_cast<uint64_t>(info != nullptr ? info->si_code : 0) & 0xFFFFFFFFu);
    AppendText(line, sizeof line, &n, " address ");
    AppendHex(line, sizeof line, &n, reinterpret_cast<uintptr_t>(info != nullptr ? info->si_addr : nullptr));
    AppendText(line, sizeof line, &n, " pid ");
    AppendNumber(line, sizeof line, &n, static_cast<uint64_t>(::getpid()));
    AppendText(line, sizeof line, &n, "\n");
    WriteAll(fd, line);
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
  }
  // Let the signal end the process as it would have.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

}  // namespace

std::string CrashDumpName(int year, int month, int day, int hour, int minute, int second) {
  return std::to_string(year) + "-" + std::to_string(month) + "-" + std::to_string(day) + "&" + std::to_string(hour) +
         "-" + std::to_string(minute) + "-" + std::to_string(second) + ".dmp";
}

Status InstallCrashHandler(const std::string& folder) {
  if (folder.empty() || folder.size() + 1 > kFolderBytes) return kStatusInvalidParameter;
  std::memcpy(g_folders[0], folder.c_str(), folder.size() + 1);
  g_folder.store(g_folders[0]);
  g_installed.store(true);
  ::tzset();
  const time_t now = ::time(nullptr);
  struct tm local {};
  if (::localtime_r(&now, &local) != nullptr) g_utcOffsetSeconds = local.tm_gmtoff;
  // backtrace loads its unwinder on first use (it may allocate): do it now, not in the handler.
  void* frames[4];
  ::backtrace(frames, 4);
  stack_t stack{};
  stack.ss_sp = g_altStack;
  stack.ss_size = kAltStackBytes;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  ::sigemptyset(&action.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
  return kStatusOk;
}

Status MoveCrashDumpFolder(const std::string& folder) {
  if (folder.empty() || folder.size() + 1 > kFolderBytes) return kStatusInvalidParameter;
  if (!g_installed.load()) return kStatusOk;
  static std::mutex moving;
  std::lock_guard lock(moving);
  char* spare = g_folder.load() == g_folders[0] ? g_folders[1] : g_folders[0];
  std::memcpy(spare, folder.c_str(), folder.size() + 1);
  g_folder.store(spare);
  return kStatusOk;
}

}  // namespace platform
