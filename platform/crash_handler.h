// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "platform/status.h"

namespace platform {

// Installs the crash-dump writer for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT. On such a signal (on any thread, on a stack of its own) it makes
// folder when missing, writes "<folder><year>-<month>-<day>&<hour>-<minute>-
// <second>.dmp" (local time at the crash, unpadded; a second crash in the
// same second replaces the file) with the signal, the faulting address and
// the stack, and lets the signal end the process as it would have. Only
// async-signal-safe calls run in the handler: everything it needs (the
// folder, the time-zone offset) is prepared here. Call once, early, on the
// main thread; folder must be absolute and end in "/". 0, or 87 for a
// folder that is too long.
[[nodiscard]] Status InstallCrashHandler(const std::string& folder);

// Dumps go to folder from now on (the data folder was moved off a drive
// being recovered: its dumps move with it). Any thread; 0 also when no
// handler is installed; 87 for a folder that is too long.
[[nodiscard]] Status MoveCrashDumpFolder(const std::string& folder);

// The dump file name for a broken-down local time: "2026-3-7&9-5-12.dmp".
std::string CrashDumpName(int year, int month, int day, int hour, int minute, int second);

}  // namespace platform
