// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/recovered_file.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/commit_batch.h"
#include "platform/output_tree.h"

namespace engine {
namespace {

// Temporary names are hidden, unique in this process and tried afresh when
// another process holds the same one.
std::string TemporaryName() {
  static std::atomic<uint64_t> counter{0};
  return ".quellmoor-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".part";
}

std::string FolderOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

}  // namespace

Status BufferSink::Write(const uint8_t* data, size_t byteCount) {
  const size_t take = std::min(byteCount, m_capacity - m_used);
  if (take != 0) std::memcpy(m_buffer + m_used, data, take);
  m_used += take;
  return kStatusOk;
}

platform::TimeBasis TimeBasisOf(const ItemRecord& item) {
  const int32_t kind = item.sourceKind;  // a copy: the record's fields are not aligned
  return kind == static_cast<int32_t>(SourceKind::kFastNtfs) ||
                 kind == static_cast<int32_t>(SourceKind::kProfessionalNtfs)
             ? platform::TimeBasis::kUtc
             : platform::TimeBasis::kLocal;
}

int32_t PercentOf(uint64_t done, uint64_t total) {
  if (total == 0 || done >= total) return 100;
  return static_cast<int32_t>(done * 100 / total);
}

RecoveredFile::~RecoveredFile() {
  Abort();
}

Status RecoveredFile::Begin(const OutputTarget& target) {
  Abort();
  m_target = target;
  m_offset = 0;
  const std::string folder = FolderOf(target.relative);
  if (const CommitBatch* batch = CommitBatch::OnThisThread(); batch != nullptr && batch->MayHoldOpen()) {
    // A file without a name until its batch names it: nothing to rename,
    // and nothing left behind when the process dies. Where the file system
    // cannot, the temporary name below answers.
    if (platform::CreateUnnamedFileBelow(target.root, folder, &m_file) == kStatusOk) {
      m_tempRelative.clear();
      m_begun = true;
      return kStatusOk;
    }
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    m_tempRelative = JoinRelative(folder, TemporaryName());
    Status s = platform::CreateNewFileBelow(target.root, m_tempRelative, &m_file);
    if (s == kStatusOk) {
      m_begun = true;
      return kStatusOk;
    }
    // Only a taken temporary name is worth another try; a taken folder is not.
    if (s != platform::kErrorAlreadyExists || !platform::IsFolderBelow(target.root, folder)) return s;
  }
  return platform::kErrorAlreadyExists;
}

Status RecoveredFile::Write(const uint8_t* data, size_t byteCount) {
  if (!m_begun) return platform::kErrorInvalidHandle;
  if (byteCount == 0) return kStatusOk;
  Status s = m_file.WriteAt(m_offset, data, byteCount);
  if (s == kStatusOk) m_offset += byteCount;
  return s;
}

void RecoveredFile::KeepTimes(uint64_t modified, uint64_t accessed, platform::TimeBasis basis) {
  m_modified = modified;
  m_accessed = accessed;
  m_basis = basis;
}

Status RecoveredFile::Commit() {
  if (!m_begun) return platform::kErrorInvalidHandle;
  if (m_modified != 0 || m_accessed != 0) {
    // A time the file system cannot hold leaves the time of the copy; the bytes are what counts.
    (void)m_file.SetTimes(m_modified, m_accessed, m_basis);
  }
  if (CommitBatch* batch = CommitBatch::OnThisThread()) {
    // The batch flushes it with the others, then names it.
    if (m_tempRelative.empty() || batch->MayHoldOpen()) {
      batch->Add(m_target.root, m_tempRelative, m_target.relative, m_offset, std::move(m_file));
      m_begun = false;
      return kStatusOk;
    }
    const Status closed = m_file.Close();
    if (closed != kStatusOk) {
      Abort();
      return closed;
    }
    batch->Add(m_target.root, m_tempRelative, m_target.relative, m_offset);
    m_begun = false;
    return kStatusOk;
  }
  Status s = m_file.Sync();
  if (m_tempRelative.empty() && s == kStatusOk) s = platform::LinkFileBelow(m_file, m_target.root, m_target.relative);
  const Status closed = m_file.Close();
  if (s == kStatusOk) s = closed;
  if (s == kStatusOk && !m_tempRelative.empty()) {
    s = platform::RenameBelow(m_target.root, m_tempRelative, m_target.relative);
  }
  if (s != kStatusOk) {
    Abort();
    return s;
  }
  m_begun = false;
  return kStatusOk;
}

void RecoveredFile::Abort() {
  if (!m_begun) return;
  m_begun = false;
  (void)m_file.Close();  // the file is being thrown away (one without a name goes with it)
  if (!m_tempRelative.empty()) (void)platform::RemoveFileBelow(m_target.root, m_tempRelative);
}

}  // namespace engine
