// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/record_file.h"

#include <algorithm>
#include <limits>
#include <new>

namespace engine::store {
namespace {

constexpr int32_t kMaxRecords = std::numeric_limits<int32_t>::max();

uint64_t RecordOffset(int32_t id) {
  return static_cast<uint64_t>(id - 1) * kItemRecordBytes;
}

}  // namespace

Status RecordFile::Open(const std::string& path) {
  (void)Close();  // an earlier file's state is not this one's
  if (Status s = m_file.Open(path, platform::OutputFile::Mode::kCreateOrOpen); s != kStatusOk) return s;
  uint64_t bytes = 0;
  if (Status s = m_file.Length(&bytes); s != kStatusOk) {
    (void)m_file.Close();
    return s;
  }
  try {
    m_buffer.resize(kBufferRecords);
  } catch (const std::bad_alloc&) {
    (void)m_file.Close();
    return kStatusOutOfMemory;
  }
  const uint64_t whole = std::min<uint64_t>(bytes / kItemRecordBytes, static_cast<uint64_t>(kMaxRecords));
  m_recordCount = m_flushed = static_cast<int32_t>(whole);
  m_appendedCount = 0;
  m_buffered = 0;
  m_pendingError = kStatusOk;
  return kStatusOk;
}

Status RecordFile::Close() {
  if (!m_file.IsOpen()) return kStatusOk;
  Status s = Flush();
  const Status closed = m_file.Close();
  if (s == kStatusOk) s = closed;
  m_buffer = {};
  m_buffered = 0;
  m_recordCount = m_appendedCount = m_flushed = 0;
  return s;
}

Status RecordFile::WriteBuffer() {
  if (m_buffered == 0) return kStatusOk;
  Status s = m_file.WriteAt(RecordOffset(m_flushed + 1), m_buffer.data(), m_buffered * kItemRecordBytes);
  if (s != kStatusOk) return s;
  m_flushed += static_cast<int32_t>(m_buffered);
  m_buffered = 0;
  return kStatusOk;
}

ItemRecord* RecordFile::Append() {
  if (!m_file.IsOpen() || m_recordCount >= kMaxRecords) return nullptr;
  if (m_buffered == kBufferRecords) {
    if (Status s = WriteBuffer(); s != kStatusOk) {
      // Those records are lost; later ones keep their places so that ids
      // still match file positions. Flush reports the failure.
      if (m_pendingError == kStatusOk) m_pendingError = s;
      m_flushed += static_cast<int32_t>(m_buffered);
      m_buffered = 0;
    }
  }
  ItemRecord* slot = &m_buffer[m_buffered++];
  ++m_recordCount;
  ++m_appendedCount;
  return slot;
}

Status RecordFile::Flush() {
  if (!m_file.IsOpen()) return platform::kErrorInvalidHandle;
  if (Status s = WriteBuffer(); s != kStatusOk) return s;
  const Status pending = m_pendingError;
  m_pendingError = kStatusOk;
  return pending;
}

Status RecordFile::Rewrite(const ItemRecord& record) {
  const int32_t id = record.id;
  if (!m_file.IsOpen() || id < 1 || id > m_recordCount) return kStatusInvalidParameter;
  if (id > m_flushed) {
    const size_t slot = static_cast<size_t>(id - m_flushed - 1);
    if (slot >= m_buffered) return kStatusInvalidParameter;
    m_buffer[slot] = record;
    return kStatusOk;
  }
  return m_file.WriteAt(RecordOffset(id), &record, kItemRecordBytes);
}

Status RecordFile::Read(int32_t id, ItemRecord* out, bool* present) const {
  *present = false;
  if (id < 1 || id > m_recordCount) return kStatusOk;
  if (id > m_flushed) {
    const size_t slot = static_cast<size_t>(id - m_flushed - 1);
    if (slot >= m_buffered) return kStatusOk;
    *out = m_buffer[slot];
  } else {
    size_t n = 0;
    if (Status s = m_file.ReadAt(RecordOffset(id), out, kItemRecordBytes, &n); s != kStatusOk) return s;
    if (n != kItemRecordBytes) return kStatusOk;
  }
  *present = out->id == id;
  return kStatusOk;
}

Status RecordFile::ReadRun(int32_t firstId, std::vector<ItemRecord>& out, size_t* count) const {
  *count = 0;
  if (firstId < 1 || firstId > m_recordCount || out.empty()) return kStatusOk;
  const size_t wanted = std::min<size_t>(out.size(), static_cast<size_t>(m_recordCount - firstId + 1));
  size_t done = 0;
  if (firstId <= m_flushed) {
    const size_t fromFile = std::min<size_t>(wanted, static_cast<size_t>(m_flushed - firstId + 1));
    size_t n = 0;
    if (Status s = m_file.ReadAt(RecordOffset(firstId), out.data(), fromFile * kItemRecordBytes, &n); s != kStatusOk) {
      return s;
    }
    done = n / kItemRecordBytes;
    if (done < fromFile) {
      *count = done;
      return kStatusOk;
    }
  }
  while (done < wanted) {
    const int64_t id = int64_t{firstId} + static_cast<int64_t>(done);
    const size_t slot = static_cast<size_t>(id - m_flushed - 1);
    if (slot >= m_buffered) break;
    out[done++] = m_buffer[slot];
  }
  *count = done;
  return kStatusOk;
}

}  // namespace engine::store
