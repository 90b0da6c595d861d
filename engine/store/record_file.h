// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/item_record.h"
#include "engine/status.h"
#include "platform/raw_file.h"

namespace engine::store {

// The record file of a store: a plain array of 346-byte item records, record
// n at byte offset (n - 1) * 346 carrying id n. Records are appended through
// a 200-record write buffer; reads see the buffer as well as the file. Every
// read goes through the descriptor opened here, so the records read are the
// ones this store wrote, whatever happens to the path meanwhile.
// One thread at a time.
class RecordFile {
 public:
  static constexpr size_t kBufferRecords = 200;

  // Opens (creating when missing) the file at path. Whole records already in
  // it keep their numbers; a cut last record is overwritten by the next
  // append. 8 when the buffer cannot be had, else the open's status.
  [[nodiscard]] Status Open(const std::string& path);
  // Writes the buffer and closes; returns the first error met (a failed
  // buffer write included).
  Status Close();
  bool IsOpen() const { return m_file.IsOpen(); }

  // A slot at the end (the buffer is written first when full); the caller
  // fills it and sets its id to RecordCount(). Null when the store holds
  // the largest count of records an id can number.
  ItemRecord* Append();
  // Writes the buffered records; returns the first write error since the
  // last call (also one met by Append).
  [[nodiscard]] Status Flush();

  // Writes record over the slot of its id (in the buffer or the file). 87
  // when no record of that id was appended.
  [[nodiscard]] Status Rewrite(const ItemRecord& record);
  // Reads record id. *present is false when no whole record carrying that
  // number is there (the status is then 0).
  [[nodiscard]] Status Read(int32_t id, ItemRecord* out, bool* present) const;
  // Reads up to out.size() consecutive records from firstId (file and
  // buffer); *count receives how many whole records arrived. Records whose
  // id field is not their number are returned as they are: callers check.
  [[nodiscard]] Status ReadRun(int32_t firstId, std::vector<ItemRecord>& out, size_t* count) const;

  // Bytes of the file itself (buffered records not included).
  [[nodiscard]] Status FileLength(uint64_t* bytes) const { return m_file.Length(bytes); }
  int32_t RecordCount() const { return m_recordCount; }
  int32_t AppendedCount() const { return m_appendedCount; }

 private:
  Status WriteBuffer();

  platform::OutputFile m_file;
  std::vector<ItemRecord> m_buffer;  // records m_flushed + 1 ... m_flushed + m_buffered
  size_t m_buffered = 0;
  int32_t m_recordCount = 0;    // whole records at Open + records appended since
  int32_t m_appendedCount = 0;  // records appended since Open
  int32_t m_flushed = 0;        // records whose place in the file has been written (or given up)
  Status m_pendingError = kStatusOk;
};

}  // namespace engine::store
