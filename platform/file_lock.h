// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "platform/status.h"

namespace platform {

// An advisory lock on a file of our own (created when missing), held until
// Unlock or destruction: shared by many holders, or exclusive. Other
// processes that ask for a conflicting lock wait (Wait) or are refused (183,
// TryOnly). Move-only; one thread at a time.
class FileLock {
 public:
  enum class Kind { kShared, kExclusive };
  enum class Mode { kWait, kTryOnly };

  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;

  [[nodiscard]] Status Lock(const std::string& path, Kind kind, Mode mode);
  void Unlock();
  bool IsHeld() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace platform
