// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// External programs (the preview's converters and players).
//
// A program is always started from an argument vector: argv[0] is the
// program (looked up in PATH when it holds no "/"), every other element is
// handed over as one argument exactly as it is. No shell is ever involved,
// so blanks, quotes, "$(...)" or a leading "-" in an argument mean nothing
// to anyone but the program. The child gets /dev/null as standard input,
// default signal handling, no descriptor of ours beyond 0-2, and a process
// group of its own (its id is the child's pid), so ending it also ends what
// it started itself, and a Ctrl-C meant for us does not reach it.
//
// Only processes started here are ever ended, and only by their own pid (or
// the group that pid leads) while the child has not been waited for, so a
// pid is never reused under us.

// How a run ended.
enum class ProcessEnd {
  kExited,     // the program ended by itself (exitCode holds its status)
  kSignalled,  // it was ended by a signal from elsewhere
  kWatchdog,   // it ran longer than the watchdog allows and was killed
  kStopped,    // the caller's stop test asked to end it, and it was killed
  kOutputCut,  // it wrote more than maxOutputBytes and was killed
};

struct ProcessLimits {
  std::chrono::milliseconds watchdog{6000};
  size_t maxOutputBytes = 16u << 20;  // of standard output kept; more ends the program
  size_t maxErrorBytes = 64u << 10;   // of standard error kept; the rest is read and dropped
  // Asked about every 50 ms on the waiting thread; true ends the program.
  // Must not block. May be empty.
  std::function<bool()> stop;
};

struct ProcessResult {
  ProcessEnd end = ProcessEnd::kExited;
  int exitCode = -1;   // for kExited; -1 otherwise
  std::string output;  // standard output (at most maxOutputBytes)
  std::string errors;  // standard error (at most maxErrorBytes)
};

// Runs argv to its end on the calling thread, reading both output pipes as
// they fill (a chatty program never blocks on a full pipe), and kills the
// program's group when the watchdog expires, when stop() says so or when it
// writes too much. Blocks for at most about the watchdog plus a second;
// never call it on a window thread. Returns 0 when the program ran (whatever
// *result says about how it ended); kErrorFileNotFound when it does not
// exist, kErrorAccessDenied when it cannot be executed, 87 for an empty argv.
[[nodiscard]] Status RunProcess(const std::vector<std::string>& argv, const ProcessLimits& limits,
                                ProcessResult* result);

// A program started to run on its own beside us (a media player): standard
// input, output and error on /dev/null (nothing to drain). Owns the child:
// the destructor ends it when it still runs and waits for it. Thread-safe.
class ChildProcess {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Starts argv. 0 with *out set; otherwise as RunProcess.
  [[nodiscard]] static Status Start(const std::vector<std::string>& argv, std::unique_ptr<ChildProcess>* out);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Whether it still runs (one that ended is waited for here).
  bool IsRunning();
  // Asks it to end (SIGTERM to its group), waits up to grace for that, then
  // kills the group (SIGKILL) and waits for the child. Blocks up to grace
  // plus the moment the kernel needs; a child already gone returns at once.
  void End(std::chrono::milliseconds grace);
  pid_t Pid() const { return m_pid; }

  // Only Start makes one (Key is private): a ChildProcess always owns a child it started.
  ChildProcess(Key, pid_t pid) : m_pid(pid) {}

 private:
  // REQUIRES: m_mutex held. True once the child has ended (and was waited for).
  bool ReapIfEndedLocked();

  std::mutex m_mutex;
  const pid_t m_pid;
  bool m_reaped = false;
};

}  // namespace platform
