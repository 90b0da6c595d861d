// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/recovery_job.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include "engine/item_placement.h"
#include "engine/commit_batch.h"
#include "engine/output_path.h"
#include "engine/recovered_file.h"
#include "engine/safe_name.h"
#include "jobs/data_folder_guard.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/file_category.h"
#include "jobs/folder_browser.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "platform/error.h"
#include "platform/file_time.h"
#include "platform/folders.h"
#include "platform/output_tree.h"
#include "storage/source_failure.h"

namespace jobs {
namespace {

// Retries when a name is taken between choosing it and the rename.
constexpr int kNameAttempts = 8;
// Files are flushed and named together once this many are written (or this many bytes).
constexpr size_t kBatchFiles = 512;
constexpr uint64_t kBatchBytes = 256u << 20;

std::string NormalisedRoot(std::string folder) {
  std::string out;
  for (char c : folder) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out.empty() ? std::string(".") : out;
}

std::string JoinRoot(const std::string& root, const std::string& relative) {
  if (relative.empty()) return root;
  return root == "/" ? "/" + relative : root + "/" + relative;
}

// Whether an item's data, where its engine places it, would begin or end
// outside the volume it was found on (false when that cannot be told).
bool DataOutsideVolume(ScanSource& source, const engine::ItemRecord& item) {
  auto* placement = dynamic_cast<engine::IItemPlacement*>(source.engine.get());
  const storage::VolumeTarget& t = source.target;
  uint64_t first = 0;
  if (placement == nullptr || t.sectorCount == 0 || !placement->FirstDataByte(item, &first)) return false;
  const uint64_t begin = t.ByteOffset();
  const uint64_t end = begin + t.ByteLength();
  const uint64_t size = item.size;  // a copy: the record's fields are not aligned
  return first < begin || first >= end || size > end - first;
}

}  // namespace

ScanSourceList SourcesHoldingFolder(const ScanSourceList& sources, const std::string& folder) {
  ScanSourceList holding;
  for (const auto& s : sources) {
    if (s && s->engine && PathIsOnSource(folder, *s)) holding.push_back(s);
  }
  return holding;
}

CRecoveryJob::CRecoveryJob(RecoveryJobInput input, IJobView& view, const ITextSource* texts)
    : CJob(JobKind::kRecovery, view, texts), m_input(std::move(input)) {}

CRecoveryJob::~CRecoveryJob() {
  JoinWorker();
}

int32_t CRecoveryJob::OnCopy(void* userData, int32_t percent, int32_t hundred, int32_t, const char* path) {
  auto* job = static_cast<CRecoveryJob*>(userData);
  if (int32_t r = job->CheckPoint(); r != 0) return r;
  const int32_t p = WeightedPercent(percent, hundred);
  job->View().SetBar(p);
  job->View().SetLine(ViewLine::kCurrent, path != nullptr ? path : "");
  job->View().SetLine(ViewLine::kPercent, FormatText("%s %d%%", {job->Msg(keys::kRecoverPercent), p}));
  return 0;
}

void CRecoveryJob::ShowCount() {
  View().SetLine(ViewLine::kCount,
                 FormatText(Msg(keys::kRecoverCount), {m_processed, m_total, m_processed - m_failed, m_failed}));
}

void CRecoveryJob::AddRow(const std::string& path, platform::Status status, const std::string& note) {
  DetailRow row;
  row.path = path;
  row.failed = status != platform::kStatusOk;
  row.status = row.failed ? ErrorText(Texts(), status) : std::string("Success");
  if (!note.empty()) row.status += " (" + note + ")";
  // Rows come in the order files end: appended, so thousands of failures cost no more than successes.
  m_rows.push_back(row);
  View().AddDetailRow(row, m_rows.size() - 1);
}

bool CRecoveryJob::OutputCannotTake(platform::Status status, const std::string& path) {
  if (status != platform::kErrorDiskFull && status != platform::kErrorWriteProtect &&
      status != platform::kErrorAccessDenied) {
    return false;
  }
  // Every later file would fail alike: the job ends here, with one message once the files written are named.
  m_outputStopped = status;
  m_stoppedAt = path;
  return true;
}

void CRecoveryJob::NameWritten(bool wait) {
  engine::CommitBatch* batch = engine::CommitBatch::OnThisThread();
  if (batch == nullptr) return;
  std::vector<engine::CommitBatch::Named> named;
  if (wait) {
    batch->Flush(&named);
  } else {
    batch->Hand(&named);
  }
  for (const auto& n : named) {
    auto it = m_waiting.find(n.wanted);
    if (it == m_waiting.end()) continue;
    RecoveredFileOutcome& outcome = m_outcomes[it->second];
    m_waiting.erase(it);
    outcome.status = n.status;
    if (n.status == platform::kStatusOk) {
      outcome.destination = JoinRoot(m_root, n.named);
    } else {
      ++m_failed;
    }
    AddRow(outcome.destination, outcome.status, outcome.note);
  }
  ShowCount();
}

platform::Status CRecoveryJob::UsableFolder(const std::string& parentRelative, const std::string& name,
                                            const std::string& key, std::string* relative) {
  if (auto it = m_folders.find(key); it != m_folders.end()) {
    *relative = it->second;
    return platform::kStatusOk;
  }
  // A folder of this name that exists is used as it is; a file (one waiting
  // for its name too), a link or anything else of that name makes the
  // folder take the next free name.
  engine::CommitBatch* batch = engine::CommitBatch::OnThisThread();
  std::string candidate = engine::JoinRelative(parentRelative, name);
  platform::Status s = platform::kStatusOk;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const bool existed = platform::IsFolderBelow(m_root, candidate);
    if (!existed) {
      if (platform::ExistsBelow(m_root, candidate) || (batch != nullptr && batch->Holds(m_root, candidate))) {
        candidate = engine::JoinRelative(parentRelative, engine::UniqueChildName(m_root, parentRelative, name));
      }
    }
    s = platform::CreateFoldersBelow(m_root, candidate);
    if (s == platform::kStatusOk) {
      if (!existed && batch != nullptr) batch->NoteMadeFolder(m_root, candidate);
      m_folders[key] = candidate;
      m_written.insert(parentRelative);
      *relative = candidate;
      return s;
    }
    if (s != platform::kErrorAlreadyExists) return s;  // taken meanwhile: another name
    candidate = engine::JoinRelative(parentRelative, engine::UniqueChildName(m_root, parentRelative, name));
  }
  return s;
}

platform::Status CRecoveryJob::BaseFolderOf(const FoundItem& found, std::string* relative) {
  // A file goes to its kind's folder; a checked folder is a place the user
  // knows, so it comes back where it was found (its name has no kind).
  if (m_input.layout == RecoveryLayout::kByCategory && found.item.isFolder == 0) {
    const std::string category(CategoryFolder(CategoryOf(found.item.Name())));
    return UsableFolder("", category, "category:" + category, relative);
  }
  // The found folder path below a folder per volume when several sources are recovered from.
  std::string current;
  std::string key = "tree:" + std::to_string(reinterpret_cast<uintptr_t>(found.source.get()));
  if (m_severalSources) {
    const storage::VolumeTarget& t = found.source->target;
    const std::string volume = engine::SafeNameComponent(t.isImage ? std::string(FileNameOfPath(t.imagePath))
                                                                   : "partition" + std::to_string(t.partitionNumber));
    key += "/";
    if (platform::Status s = UsableFolder("", volume, key, &current); s != platform::kStatusOk) return s;
  }
  size_t start = 0;
  const std::string& path = found.folderPath;
  while (start < path.size()) {
    size_t slash = path.find_first_of("/\\", start);
    if (slash == std::string::npos) slash = path.size();
    const std::string component = path.substr(start, slash - start);
    start = slash + 1;
    if (component.empty()) continue;
    key += "/" + component;
    const bool made = m_folders.count(key) == 0;
    if (platform::Status s = UsableFolder(current, engine::SafeNameComponent(component), key, &current);
        s != platform::kStatusOk) {
      return s;
    }
    if (made) m_madeFolders.push_back({current, found.source, path.substr(0, slash), {}, false});
  }
  // A carved photo or video dated by its own metadata goes into a year/month folder.
  const FileCategory category = CategoryOf(found.item.Name());
  platform::SystemTime date;
  if (found.item.sourceKind == static_cast<int32_t>(engine::SourceKind::kSignature) &&
      (category == FileCategory::kPhoto || category == FileCategory::kVideo) && found.item.modified != 0 &&
      platform::FileTimeToSystemTime(found.item.modified, &date)) {
    char year[8], month[8];
    std::snprintf(year, sizeof year, "%04d", date.year);
    std::snprintf(month, sizeof month, "%02d", date.month);
    for (const char* component : {year, month}) {
      key += "/" + std::string(component);
      if (platform::Status s = UsableFolder(current, component, key, &current); s != platform::kStatusOk) return s;
    }
  }
  *relative = current;
  return platform::kStatusOk;
}

bool CRecoveryJob::RecoverFile(ScanSource& source, const engine::ItemRecord& item, const std::string& foundPath,
                               const std::string& folderRelative) {
  RecoveredFileOutcome outcome;
  outcome.foundPath = foundPath;
  outcome.size = item.size;
  const std::string wanted = engine::SafeNameComponent(item.Name());
  platform::Status status = platform::kStatusOk;
  std::string relative;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = engine::UniqueChildName(m_root, folderRelative, wanted);
    relative = engine::JoinRelative(folderRelative, name);
    outcome.destination = JoinRoot(m_root, relative);
    if (name != wanted && platform::IsLinkBelow(m_root, engine::JoinRelative(folderRelative, wanted))) {
      outcome.note = FormatText(Msg(keys::kNameTakenByLink), {wanted, name});
    }
    status = source.engine->SetProgressCallbacks(nullptr, OnCopy, this, 100);
    if (status != platform::kStatusOk) break;  // the engine takes no callback: nothing is copied
    status = source.engine->RecoverItem(&item, outcome.destination, m_rootSeparators);
    if (source.engine->SetProgressCallbacks(nullptr, nullptr, nullptr, 100) != platform::kStatusOk) {
      // Taking the callback away cannot fail in a way that changes this file's outcome.
    }
    if (status != platform::kErrorAlreadyExists) break;  // 183: the name was taken meanwhile
  }
  outcome.status = status;
  if (status != platform::kStatusOk) {
    // Why an image container could not be read (its file and offset) belongs to this file's row.
    std::string failure = storage::TakeSourceFailure();
    if (status != platform::kStatusCancelled && DataOutsideVolume(source, item)) {
      failure = Msg(keys::kCopyOutsideVolume);
    }
    if (!failure.empty()) outcome.note = outcome.note.empty() ? failure : outcome.note + "; " + failure;
  } else {
    (void)storage::TakeSourceFailure();
    // A copy of a file that is not intact says so in its row.
    const engine::ItemState state = engine::StateOf(item);
    if (state != engine::ItemState::kIntact) {
      const std::string why = Msg(state == engine::ItemState::kOverwritten ? keys::kCopyOverwritten : keys::kCopyDamaged);
      outcome.note = outcome.note.empty() ? why : outcome.note + "; " + why;
    }
  }
  ++m_processed;
  const engine::CommitBatch* batch = engine::CommitBatch::OnThisThread();
  if (status == platform::kStatusOk && batch != nullptr && batch->Holds(m_root, relative)) {
    // Written; it gets its name (and its row) with its batch.
    m_waiting[relative] = m_outcomes.size();
  } else {
    if (status != platform::kStatusOk) ++m_failed;
    if (status == platform::kStatusOk) m_written.insert(folderRelative);
    AddRow(outcome.destination, status, outcome.note);
  }
  m_outcomes.push_back(std::move(outcome));
  const size_t batchFiles = m_input.batchFiles != 0 ? m_input.batchFiles : kBatchFiles;
  if (batch != nullptr && (batch->FileCount() >= batchFiles || batch->ByteCount() >= kBatchBytes)) {
    NameWritten(false);
  }
  ShowCount();
  if (status != platform::kStatusOk && OutputCannotTake(status, JoinRoot(m_root, folderRelative))) return false;
  return status != platform::kStatusCancelled;
}

bool CRecoveryJob::RecoverFolder(ScanSource& source, const FoundItem& found, const std::string& baseRelative) {
  struct Pending {
    engine::ItemRecord folder;
    int32_t depth;
    std::string relative;
    std::string foundPath;  // "/a/b/"
  };
  const std::string name = engine::SafeNameComponent(found.item.Name());
  std::string top;
  // A checked folder always starts a folder of its own (never merged into an older copy).
  platform::Status s = platform::kStatusOk;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    top = engine::JoinRelative(baseRelative, engine::UniqueChildName(m_root, baseRelative, name));
    s = platform::CreateFoldersBelow(m_root, top);
    if (s != platform::kErrorAlreadyExists) break;
  }
  const std::string foundTop = "/" + found.folderPath + std::string(found.item.Name()) + "/";
  engine::CommitBatch* batch = engine::CommitBatch::OnThisThread();
  // Its folders take names free until now: only what this job puts there is in them.
  if (s == platform::kStatusOk && batch != nullptr) batch->NoteMadeFolder(m_root, top);
  if (s != platform::kStatusOk) {
    ++m_processed;
    ++m_failed;
    AddRow(JoinRoot(m_root, top), s);
    ShowCount();
    return true;
  }
  m_written.insert(baseRelative);
  std::deque<Pending> queue;
  queue.push_back({found.item, FolderDepthOf(found), top, foundTop});
  m_madeFolders.push_back({top, found.source, {}, found.item, true});
  std::set<std::pair<int32_t, int32_t>> visited;  // a damaged store may file a folder under itself
  while (!queue.empty()) {
    Pending job = std::move(queue.front());
    queue.pop_front();
    const int32_t locator = job.folder.locator;  // a copy: the record's fields are not aligned
    if (!visited.insert({job.depth, locator}).second) continue;
    if (CheckPoint() != 0) return false;
    std::vector<engine::ItemRecord> children;
    if (platform::Status listed = source.engine->ListChildren(&job.folder, job.depth, children);
        listed != platform::kStatusOk) {
      // The folder's listing broke off: say so, and copy what it gave.
      ++m_failed;
      ++m_processed;
      AddRow(JoinRoot(m_root, job.relative), listed);
      ShowCount();
    }
    for (const auto& child : children) {
      const std::string childName = engine::SafeNameComponent(child.Name());
      if (child.isFolder != 0) {
        std::string relative;
        platform::Status made = platform::kStatusOk;
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
          relative = engine::JoinRelative(job.relative, engine::UniqueChildName(m_root, job.relative, childName));
          made = platform::CreateFoldersBelow(m_root, relative);
          if (made != platform::kErrorAlreadyExists) break;
        }
        if (made != platform::kStatusOk) {
          ++m_processed;
          ++m_failed;
          AddRow(JoinRoot(m_root, relative), made);
          ShowCount();
          continue;
        }
        m_written.insert(job.relative);
        if (batch != nullptr) batch->NoteMadeFolder(m_root, relative);
        queue.push_back({child, job.depth + 1, relative, job.foundPath + std::string(child.Name()) + "/"});
        m_madeFolders.push_back({relative, found.source, {}, child, true});
        continue;
      }
      if (!RecoverFile(source, child, job.foundPath + std::string(child.Name()), job.relative)) return false;
    }
  }
  return true;
}

void CRecoveryJob::KeepFolderTimes() {
  // The tree layout's folders are known by their found paths: their records come from their parents' listings.
  std::map<std::pair<const ScanSource*, std::string>, std::vector<FoundItem>> listings;
  for (MadeFolder& made : m_madeFolders) {
    if (made.hasRecord || !made.source) continue;
    const size_t slash = made.foundPath.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : made.foundPath.substr(0, slash);
    const std::string name = slash == std::string::npos ? made.foundPath : made.foundPath.substr(slash + 1);
    auto key = std::make_pair(made.source.get(), parent);
    auto it = listings.find(key);
    if (it == listings.end()) {
      std::vector<FoundItem> children;
      std::unique_lock busy(made.source->inUse, std::try_to_lock);
      if (!busy.owns_lock() || !made.source->engine || ListFolderAt(made.source, parent, &children) != 0) {
        children.clear();
      }
      it = listings.emplace(key, std::move(children)).first;
    }
    for (const FoundItem& child : it->second) {
      if (child.item.isFolder != 0 && child.item.Name() == name) {
        made.record = child.item;
        made.hasRecord = true;
        break;
      }
    }
  }
  for (const MadeFolder& made : m_madeFolders) {
    if (!made.hasRecord) continue;
    // A time the file system cannot hold leaves the folder's own; its files are what counts.
    (void)platform::SetFolderTimesBelow(m_root, made.relative, made.record.modified, made.record.accessed,
                                        engine::TimeBasisOf(made.record));
    m_written.insert(made.relative);
  }
}

void CRecoveryJob::SyncWritten() {
  // Deepest folders first, then the root and the folder holding it.
  std::vector<std::string> folders(m_written.begin(), m_written.end());
  std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') + (a.empty() ? 0 : 1) >
           std::count(b.begin(), b.end(), '/') + (b.empty() ? 0 : 1);
  });
  for (const auto& folder : folders) {
    if (platform::Status s = platform::SyncFolderBelow(m_root, folder); s != platform::kStatusOk) {
      ++m_failed;
      const std::string path = JoinRoot(m_root, folder);
      AddRow(path, s);
      View().Notify(MessageKind::kError, FormatText(Msg(keys::kSyncFailed), {path, ErrorText(Texts(), s)}));
    }
  }
  if (m_root != "/") {
    const size_t slash = m_root.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : m_root.substr(0, slash);
    // The root's own entry: a new output folder must survive a pulled stick too.
    if (platform::Status s = platform::SyncFolderBelow(parent, ""); s != platform::kStatusOk) {
      View().Notify(MessageKind::kWarning, FormatText(Msg(keys::kSyncFailed), {parent, ErrorText(Texts(), s)}));
    }
  }
}

JobResult CRecoveryJob::Run() {
  m_root = NormalisedRoot(m_input.outputFolder);
  m_rootSeparators = engine::SeparatorCount(m_root);
  View().ShowControl(ViewControl::kFinishButton, false);
  View().ShowControl(ViewControl::kCancelButton, true);
  // The output folder is made (with its parents) only now, after the sources were checked.
  if (platform::Status s = platform::CreateFoldersBelow(m_root, ""); s != platform::kStatusOk) {
    const platform::PathKind kind = platform::KindOfPath(m_root);
    const std::string why = kind != platform::PathKind::kMissing && kind != platform::PathKind::kFolder
                                ? std::string("it is a ") + platform::PathKindWord(kind) + ", not a folder"
                                : ErrorText(Texts(), s);
    View().Notify(MessageKind::kError, FormatText(Msg(keys::kOutputUnusable), {m_root, why}));
    return JobResult::kFailed;
  }

  m_total = 0;
  for (const auto& found : m_input.items) {
    if (found.item.isFolder == 0) {
      ++m_total;
      continue;
    }
    int32_t count = 0;
    std::unique_lock busy(found.source->inUse, std::try_to_lock);
    if (busy.owns_lock() && found.source->engine &&
        found.source->engine->CountFiles(&found.item, FolderDepthOf(found), &count) == platform::kStatusOk) {
      m_total += count;
    }
  }
  ShowCount();
  std::set<const ScanSource*> sources;
  for (const auto& found : m_input.items) sources.insert(found.source.get());
  m_severalSources = sources.size() > 1;

  engine::CommitBatch batch;  // files are named in batches, each after its data is on the medium
  platform::FolderCacheScope folders;  // a file's cost does not grow with its folder's depth
  for (const auto& found : m_input.items) {
    if (CheckPoint() != 0) break;
    ScanSource& source = *found.source;
    const std::string foundPath = "/" + found.folderPath + std::string(found.item.Name());
    std::unique_lock busy(source.inUse, std::try_to_lock);
    platform::Status problem = !busy.owns_lock() ? platform::kErrorBusy
                               : !source.engine  ? platform::kStatusInvalidParameter
                                                 : platform::kStatusOk;
    std::string base;
    if (problem == platform::kStatusOk) problem = BaseFolderOf(found, &base);
    if (problem != platform::kStatusOk) {
      // Nothing could be written for it; it still gets its row.
      RecoveredFileOutcome outcome;
      outcome.foundPath = foundPath;
      outcome.size = found.item.size;
      outcome.status = problem;
      ++m_processed;
      ++m_failed;
      AddRow(foundPath, problem);
      m_outcomes.push_back(std::move(outcome));
      ShowCount();
      if (OutputCannotTake(problem, m_root)) break;
      continue;
    }
    const bool goOn = found.item.isFolder != 0 ? RecoverFolder(source, found, base)
                                               : RecoverFile(source, found.item, foundPath, base);
    if (!goOn) break;
  }

  // Whole files are kept also when the job stops: the last batch is named too.
  NameWritten(true);
  KeepFolderTimes();
  SyncWritten();
  if (m_outputStopped != platform::kStatusOk) {
    View().Notify(MessageKind::kError,
                  FormatText(Msg(keys::kOutputCannotTake),
                             {m_stoppedAt, ErrorText(Texts(), m_outputStopped), m_processed - m_failed, m_total}));
  }
  View().ShowControl(ViewControl::kFinishButton, true);
  View().ShowControl(ViewControl::kCancelButton, false);
  if (CancelConfirmed()) return JobResult::kCancelled;
  return m_outputStopped != platform::kStatusOk ? JobResult::kFailed : JobResult::kFinished;
}

}  // namespace jobs
