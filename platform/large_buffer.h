// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// A large byte buffer that is filled once and then read many times (a
// file system's journal held in memory). Not zero-filled; backed by huge
// pages where the system offers them, so filling it costs few page faults.
// Move-only.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  ~LargeBuffer();
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;

  // Holds byteCount bytes (what it held before is dropped). False when
  // the memory cannot be had (the buffer is empty then).
  [[nodiscard]] bool Allocate(size_t byteCount);
  void Reset();
  uint8_t* Data() const { return m_bytes; }
  size_t Size() const { return m_size; }

 private:
  uint8_t* m_bytes = nullptr;
  size_t m_size = 0;
};

}  // namespace platform
