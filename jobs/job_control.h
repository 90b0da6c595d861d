// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/status.h"

namespace jobs {

enum class JobKind { kScan, kSearch, kRecovery, kImage, kPreview };

// The process-wide lock of one kind of job with its cancel and done flags:
// only one job of a kind runs at a time. The worker's progress callbacks
// pass through CheckPoint, which waits while the user is being asked whether
// to cancel (the engine pauses at its next report) and returns -9527 once
// the cancel is confirmed. The front end's calls never wait for the worker.
// Thread-safe.
class JobControl {
 public:
  static JobControl& For(JobKind kind);

  // Worker side. Claims the kind for owner and clears the flags; false when
  // another job of the kind holds it.
  bool TryClaim(const void* owner);
  // 0 to go on, -9527 when cancelled; waits while a cancel question is open.
  [[nodiscard]] int32_t CheckPoint();
  // Sets the done flag and gives the kind free.
  void Release(const void* owner);

  // Front-end side; calls by anyone but the current owner are ignored.
  // The user asked to cancel: the worker stops at its next report until
  // AnswerCancel.
  void BeginCancel(const void* owner);
  // The user's answer: confirmed sets the cancel flag; either way the worker
  // goes on (and then stops when confirmed).
  void AnswerCancel(const void* owner, bool confirmed);

  bool IsCancelled() const;
  bool IsDone() const;

 private:
  JobControl() = default;
  mutable std::mutex m_mutex;
  std::condition_variable m_resumed;
  const void* m_owner = nullptr;
  bool m_cancel = false;
  bool m_done = false;
  bool m_questionOpen = false;
};

}  // namespace jobs
