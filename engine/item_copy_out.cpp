// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/item_copy_out.h"

#include <deque>
#include <set>
#include <utility>

#include "engine/categories.h"
#include "engine/output_path.h"
#include "engine/recovered_file.h"
#include "engine/safe_name.h"
#include "platform/folders.h"
#include "platform/output_tree.h"
#include "platform/raw_file.h"

namespace engine {
namespace {

// Longest temporary preview path that is used.
constexpr size_t kMaxTempPathBytes = 4095;
constexpr size_t kMaxDocumentExtension = 8;

// A sink that writes a file from offset 0 (the temporary preview file).
class PlainFileSink final : public ICopySink {
 public:
  explicit PlainFileSink(platform::OutputFile& file) : m_file(file) {}
  Status Write(const uint8_t* data, size_t byteCount) override {
    if (byteCount == 0) return kStatusOk;
    Status s = m_file.WriteAt(m_offset, data, byteCount);
    if (s == kStatusOk) m_offset += byteCount;
    return s;
  }

 private:
  platform::OutputFile& m_file;
  uint64_t m_offset = 0;
};

class CopyOut {
 public:
  CopyOut(IItemCopySource& source, CopyProgressFn fn, void* userData)
      : m_source(source), m_fn(fn), m_userData(userData) {}

  Status RecoverFile(const ItemRecord& item, const OutputTarget& target, const std::string& shownPath);
  Status RecoverFolder(const ItemRecord& folder, const OutputTarget& target, int32_t depth);

 private:
  int32_t Report(int32_t percent, Status status, const std::string& path) {
    return m_fn != nullptr ? m_fn(m_userData, percent, 100, status, path.c_str()) : 0;
  }

  IItemCopySource& m_source;
  CopyProgressFn m_fn;
  void* m_userData;
};

Status CopyOut::RecoverFile(const ItemRecord& item, const OutputTarget& target, const std::string& shownPath) {
  Status status = kStatusOk;
  bool reported = false;
  if (item.clusterBytes > kMaxClusterBytes) {
    status = kStatusWriteFault;
  } else {
    RecoveredFile file;
    status = file.Begin(target);
    file.KeepTimes(item.modified, item.accessed, TimeBasisOf(item));
    if (status == kStatusOk) {
      const uint64_t size = item.size;  // a copy: the record's fields are not aligned
      status = m_source.CopyItemData(item, size, file, [&](uint64_t done, uint64_t total) {
        reported = true;
        return Report(PercentOf(done, total), kStatusOk, shownPath);
      });
      if (status == kStatusOk) status = file.Commit();
    }
  }
  if (status == kStatusOk) return reported ? kStatusOk : Report(100, kStatusOk, shownPath);
  if (status != kStatusCancelled) (void)Report(100, status, shownPath);  // the status itself is returned
  return status;
}

Status CopyOut::RecoverFolder(const ItemRecord& folder, const OutputTarget& target, int32_t depth) {
  if (Status s = platform::CreateFoldersBelow(target.root, target.relative); s != kStatusOk) return s;
  struct FolderJob {
    ItemRecord record;
    std::string relative;
    int32_t depth;
  };
  std::deque<FolderJob> jobs;
  jobs.push_back({folder, target.relative, depth});
  // Every folder made keeps its record's time, set once all files are in it.
  std::vector<std::pair<std::string, ItemRecord>> made;
  // A damaged store could file a folder under itself: every folder key is copied once.
  std::set<std::pair<int32_t, int32_t>> copied;
  Status firstFailure = kStatusOk;
  auto note = [&firstFailure](Status s) {
    if (s != kStatusOk && firstFailure == kStatusOk) firstFailure = s;
  };
  while (!jobs.empty()) {
    FolderJob job = std::move(jobs.front());
    jobs.pop_front();
    const int32_t locator = job.record.locator;  // a packed field: copied before use
    if (!copied.insert({job.depth, locator}).second) continue;
    made.emplace_back(job.relative, job.record);
    std::vector<ItemRecord> children;
    if (Status s = m_source.ListFolder(job.record, job.depth, children); s != kStatusOk) {
      note(s);
      if (children.empty()) continue;
    }
    for (const ItemRecord& child : children) {
      const std::string name = UniqueChildName(target.root, job.relative, SafeNameComponent(child.Name()));
      const OutputTarget childTarget{target.root, JoinRelative(job.relative, name)};
      if (child.isFolder != 0) {
        Status s = platform::CreateFoldersBelow(target.root, childTarget.relative);
        note(s);
        if (s == kStatusOk) jobs.push_back({child, childTarget.relative, job.depth + 1});
        continue;
      }
      Status s = RecoverFile(child, childTarget, target.root + "/" + childTarget.relative);
      if (s == kStatusCancelled) return s;
      note(s);
    }
  }
  for (const auto& [relative, record] : made) {
    // A time the file system cannot hold leaves the folder's own.
    (void)platform::SetFolderTimesBelow(target.root, relative, record.modified, record.accessed, TimeBasisOf(record));
  }
  return firstFailure;
}

// The fixed name of a document's temporary copy: "document." and the
// item's extension, lower-cased, letters and digits only (at most
// kMaxDocumentExtension of them); converters look at the content, the
// extension only helps a program that goes by it.
std::string DocumentTempName(std::string_view itemName) {
  std::string extension;
  for (char c : ExtensionOf(itemName)) {
    if (extension.size() == kMaxDocumentExtension) break;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) extension.push_back(c);
  }
  return extension.empty() ? std::string("document") : "document." + extension;
}

// The temporary file of item in the session folder: "tmp.jpg", "tmp.avi" or
// "document.<ext>"; a name found on disk never chooses the path. Empty with
// 0 for kinds that go into the buffer.
Status TemporaryPreviewPath(const ItemRecord& item, std::string* path) {
  path->clear();
  std::string name;
  switch (PreviewKindOf(item.Name())) {
    case PreviewKind::kDocument: name = DocumentTempName(item.Name()); break;
    case PreviewKind::kVideo: name = "tmp.avi"; break;
    case PreviewKind::kPhoto: name = "tmp.jpg"; break;
    case PreviewKind::kNone: return kStatusOk;
  }
  std::string folder;
  if (Status s = platform::SessionFolder(&folder); s != kStatusOk) return s;
  if (folder.size() + name.size() > kMaxTempPathBytes) return platform::kErrorFilenameTooLong;
  *path = folder + name;
  return kStatusOk;
}

}  // namespace

Status RecoverItemTo(IItemCopySource& source, const ItemRecord* item, const std::string& destinationPath,
                     int32_t rootSeparatorCount, CopyProgressFn fn, void* userData) {
  if (item == nullptr || destinationPath.empty()) return kStatusInvalidParameter;
  OutputTarget target;
  if (!SplitDestination(destinationPath, rootSeparatorCount, &target)) return kStatusInvalidParameter;
  CopyOut copy(source, fn, userData);
  if (item->isFolder == 0) {
    const size_t slash = target.relative.rfind('/');
    if (slash != std::string::npos) {
      if (Status s = platform::CreateFoldersBelow(target.root, target.relative.substr(0, slash)); s != kStatusOk) {
        return s;
      }
    } else if (Status s = platform::CreateFoldersBelow(target.root, ""); s != kStatusOk) {
      return s;
    }
    std::string shown = destinationPath;
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    return copy.RecoverFile(*item, target, shown);
  }
  const int32_t depth = SeparatorCount(destinationPath) - rootSeparatorCount;
  if (depth < 0) return kStatusInvalidParameter;
  return copy.RecoverFolder(*item, target, depth);
}

Status ExtractItemTo(IItemCopySource& source, const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                     uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  outTempPath.clear();
  auto report = [&](int32_t percent, Status status) { return fn != nullptr ? fn(userData, percent, status) : 0; };
  auto fail = [&](Status status) {
    if (status != kStatusCancelled) (void)report(100, status);  // the status itself is returned
    return status;
  };
  const uint32_t capacity = (inoutLength != nullptr && buffer != nullptr) ? *inoutLength : 0;
  if (inoutLength != nullptr) *inoutLength = 0;
  if (item == nullptr || item->isFolder != 0) return fail(kStatusInvalidParameter);
  if (item->clusterBytes > kMaxClusterBytes) return fail(kStatusWriteFault);

  const uint64_t size = item->size;  // a copy: the record's fields are not aligned
  std::string tempPath;
  if (Status s = TemporaryPreviewPath(*item, &tempPath); s != kStatusOk) return fail(s);
  bool reported = false;
  const CopyProgress progress = [&](uint64_t done, uint64_t total) {
    reported = true;
    return report(PercentOf(done, total), kStatusOk);
  };
  if (tempPath.empty()) {
    const uint64_t toCopy = std::min<uint64_t>(size, capacity);
    BufferSink sink(buffer, static_cast<size_t>(toCopy));
    Status status = source.CopyItemData(*item, toCopy, sink, progress);
    if (inoutLength != nullptr) *inoutLength = static_cast<uint32_t>(sink.BytesWritten());
    if (status != kStatusOk) return fail(status);
    return reported ? kStatusOk : report(100, kStatusOk);
  }

  // The folder is private to this process: only an older preview of ours can be there.
  if (Status s = platform::RemoveFile(tempPath); s != kStatusOk && s != platform::kErrorFileNotFound) return fail(s);
  platform::OutputFile file;
  if (Status s = file.Open(tempPath, platform::OutputFile::Mode::kCreateNew); s != kStatusOk) return fail(s);
  PlainFileSink sink(file);
  Status status = source.CopyItemData(*item, size, sink, progress);
  const Status closed = file.Close();
  if (status == kStatusOk) status = closed;
  if (status != kStatusOk) {
    (void)platform::RemoveFile(tempPath);  // never leave a partial preview behind
    return fail(status);
  }
  outTempPath = tempPath;
  return reported ? kStatusOk : report(100, kStatusOk);
}

}  // namespace engine
