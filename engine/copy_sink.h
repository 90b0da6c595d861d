// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/status.h"

namespace engine {

// Receives the bytes of an item's data in order: a recovered file, a
// preview file or a caller's buffer. Every engine copies through one.
class ICopySink {
 public:
  virtual ~ICopySink() = default;
  [[nodiscard]] virtual Status Write(const uint8_t* data, size_t byteCount) = 0;
};

// Fills a caller's buffer and takes no more than its capacity: bytes past it
// are dropped (the caller asked for the first capacity bytes). The buffer
// must outlive the sink.
class BufferSink final : public ICopySink {
 public:
  BufferSink(uint8_t* buffer, size_t capacity) : m_buffer(buffer), m_capacity(buffer == nullptr ? 0 : capacity) {}
  [[nodiscard]] Status Write(const uint8_t* data, size_t byteCount) override;
  size_t BytesWritten() const { return m_used; }

 private:
  uint8_t* m_buffer;
  size_t m_capacity;
  size_t m_used = 0;
};

// Called after each piece with the bytes done so far and the bytes wanted;
// a non-zero return stops the copy and becomes its status.
using CopyProgress = std::function<int32_t(uint64_t bytesDone, uint64_t bytesTotal)>;

// percent of done in total, 100 for an empty total, never above 100.
int32_t PercentOf(uint64_t done, uint64_t total);

}  // namespace engine
