// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/status.h"
#include "platform/raw_file.h"

namespace engine::fat {

// Receives the bytes of a file in order.
class ICopySink {
 public:
  virtual ~ICopySink() = default;
  [[nodiscard]] virtual Status Write(const uint8_t* data, size_t byteCount) = 0;
};

// Appends to an output file from offset 0. The file must outlive the sink.
class FileSink final : public ICopySink {
 public:
  explicit FileSink(platform::OutputFile& file) : m_file(file) {}
  [[nodiscard]] Status Write(const uint8_t* data, size_t byteCount) override;

 private:
  platform::OutputFile& m_file;
  uint64_t m_offset = 0;
};

// Fills a caller's buffer; never writes past its capacity.
class BufferSink final : public ICopySink {
 public:
  BufferSink(uint8_t* buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}
  [[nodiscard]] Status Write(const uint8_t* data, size_t byteCount) override;
  size_t BytesWritten() const { return m_used; }

 private:
  uint8_t* m_buffer;
  size_t m_capacity;
  size_t m_used = 0;
};

// Called after each piece with the bytes done so far and the total; a
// non-zero return stops the copy and becomes its status.
using CopyProgress = std::function<int32_t(uint64_t bytesDone, uint64_t bytesTotal)>;

// Copies byteCount bytes of a file that starts at startCluster to sink,
// cluster by cluster along the chain rule (a freed chain goes on through the
// next free clusters), reading runs of adjacent clusters at once. Fails
// without writing anything more when the data cannot be had whole:
// 87 when the start cluster is not a data cluster of the volume (clusters 0
// and 1 are never read), 30 when the chain ends, loops or runs out of the
// volume before byteCount bytes; a read or sink error is returned as is.
[[nodiscard]] Status CopyClusterData(VolumeReader& reader, FatTable& fat, uint32_t startCluster, uint64_t byteCount,
                                     ICopySink& sink, const CopyProgress& progress);

}  // namespace engine::fat
