// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>

#include "engine/copy_sink.h"
#include "engine/item_record.h"
#include "engine/output_path.h"
#include "platform/raw_file.h"

namespace engine {

// One recovered file being written below an output root. It is created new
// under a temporary name in its destination folder (without any name, when
// a CommitBatch that may hold it open is open) and gets its own name
// only when every byte is there (Commit): a cancelled or failed copy never
// leaves a short file that looks recovered, and nothing that exists is
// overwritten. Nothing below the root is reached through a link. The
// destination's folder must exist (platform::CreateFoldersBelow).
// One thread at a time.
class RecoveredFile final : public ICopySink {
 public:
  RecoveredFile() = default;
  ~RecoveredFile() override;  // an uncommitted file is removed
  RecoveredFile(const RecoveredFile&) = delete;
  RecoveredFile& operator=(const RecoveredFile&) = delete;

  // Creates the temporary file beside target. 183 when the folder holds a
  // link or a file where a folder is needed; a system error otherwise.
  [[nodiscard]] Status Begin(const OutputTarget& target);
  [[nodiscard]] Status Write(const uint8_t* data, size_t byteCount) override;
  // The times the file is to keep (FILETIMEs read with basis; 0 leaves the
  // time of the copy), set by Commit after the last byte is written.
  void KeepTimes(uint64_t modified, uint64_t accessed, platform::TimeBasis basis);
  // Writes the file to its medium (fsync), then gives it the target's name
  // (a rename, or a link for a file without a name): 183 when that name was
  // taken meanwhile (the file is removed). After a failure nothing of the file is left. With a
  // CommitBatch open on this thread the file is handed to it instead (kept
  // open when the batch may hold it), to be flushed and named with the others.
  [[nodiscard]] Status Commit();
  // Removes the temporary file (also done by the destructor).
  void Abort();

  uint64_t BytesWritten() const { return m_offset; }

 private:
  OutputTarget m_target;
  std::string m_tempRelative;
  platform::OutputFile m_file;
  uint64_t m_offset = 0;
  bool m_begun = false;
  uint64_t m_modified = 0;
  uint64_t m_accessed = 0;
  platform::TimeBasis m_basis = platform::TimeBasis::kLocal;
};

// How the times of item's record are meant: NTFS keeps UTC, FAT and exFAT
// the local time of the camera or computer that wrote them, and so do the
// photos' own metadata the carver reads.
platform::TimeBasis TimeBasisOf(const ItemRecord& item);

}  // namespace engine
