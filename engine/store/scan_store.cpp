// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/store/child_index.h"
#include "engine/store/child_order.h"
#include "engine/store/folder_name_table.h"
#include "engine/store/record_file.h"
#include "engine/store/relation_file.h"
#include "engine/store/scan_index.h"
#include "platform/file_time.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"

namespace engine::store {
namespace {

constexpr size_t kBufferRecords = RecordFile::kBufferRecords;
constexpr size_t kWriteBufferBytes = kBufferRecords * kItemRecordBytes;  // 69,200
static_assert(kWriteBufferBytes == 69200);
// A record file this large no longer takes part in the "other" rule of Search.
constexpr uint64_t kOtherRuleLimitBytes = 0x8000000;
constexpr size_t kMaxPatternBytes = 4096;
constexpr size_t kSmallFileChunkBytes = 1 << 20;
// Folder-name files beyond this are loaded only up to it (about 4 million folders).
constexpr uint64_t kMaxFolderNameFileBytes = uint64_t{1} << 30;

bool HiddenDamagedPhoto(const ItemRecord& record) {
  return record.isFolder == 0 && StateOf(record) == ItemState::kDamaged &&
         IsPhotoName(record.Name());  // folders are never hidden
}

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// Whether "." + extension is selected by a search (SearchPatternRule).
// Verdicts are remembered per extension, up to a bound, since a scan holds
// few distinct extensions.
class ExtensionVerdicts {
 public:
  ExtensionVerdicts(std::string_view pattern, bool other) : m_rule(pattern, other) {}

  bool Selects(std::string_view dottedLower) {
    if (auto it = m_cache.find(dottedLower); it != m_cache.end()) return it->second;
    const bool selected = m_rule.Selects(dottedLower);
    if (m_cache.size() < kMaxCached) m_cache.emplace(std::string(dottedLower), selected);
    return selected;
  }

 private:
  static constexpr size_t kMaxCached = 65536;
  SearchPatternRule m_rule;
  std::unordered_map<std::string, bool, TextHash, std::equal_to<>> m_cache;
};

}  // namespace

std::string MakeLogBaseName(const char* prefix, int64_t volumeStartSector) {
  platform::SystemTime now = platform::LocalNow();
  char text[128];
  std::snprintf(text, sizeof text, "%s%lld_%04d%02d%02d%02d%02d", prefix == nullptr ? "" : prefix,
                static_cast<long long>(volumeStartSector), now.year, now.month, now.day, now.hour, now.minute);
  return text;
}

struct ScanStore::State {
  bool open = false;
  std::string baseName;
  std::string recordPath;
  platform::OutputFile relationFile;
  platform::OutputFile dirInfoFile;
  platform::OutputFile layoutFile;
  uint64_t layoutBytes = 0;  // bytes of the layout file written so far
  LayoutTable layouts;

  RecordFile records;
  ChildIndex index;
  FolderNameTable names;
  size_t namesWritten = 0;
  // Locator → id of the first folder record with it, found by a record-file scan.
  std::unordered_map<int32_t, int32_t> folderRecordByLocator;

  SearchProgressFn searchFn = nullptr;
  void* searchUserData = nullptr;

  // Calls fn for every child record present, in the order of ids; runs of
  // consecutive ids are read at once. A failing read ends the walk and is returned.
  template <typename Fn>
  Status ForEachChild(const std::vector<int32_t>& ids, std::vector<ItemRecord>& run, Fn&& fn) const;
  Status FindFolderRecord(int32_t locator, ItemRecord* out, bool* found);
  Status WriteRelationFile();
  Status WriteFolderNames();
  // Buffered records, then the relation and folder-name files when they changed.
  Status WriteAll();
  Status LoadRelationFile();
  Status LoadFolderNames();
  Status LoadLayouts();
  Status Reset();
};

template <typename Fn>
Status ScanStore::State::ForEachChild(const std::vector<int32_t>& ids, std::vector<ItemRecord>& run, Fn&& fn) const {
  for (size_t j = 0; j < ids.size();) {
    const int64_t first = ids[j];
    size_t length = 1;
    while (j + length < ids.size() && length < run.size() && ids[j + length] == first + static_cast<int64_t>(length)) {
      ++length;
    }
    size_t got = 0;
    if (length == 1) {
      bool present = false;
      if (Status s = records.Read(ids[j], run.data(), &present); s != kStatusOk) return s;
      if (present) fn(run[0]);
    } else {
      const size_t keep = run.size();
      run.resize(length);
      Status s = records.ReadRun(ids[j], run, &got);
      run.resize(keep);
      if (s != kStatusOk) return s;
      for (size_t k = 0; k < got; ++k) {
        if (run[k].id == first + static_cast<int64_t>(k)) fn(run[k]);
      }
    }
    j += length;
  }
  return kStatusOk;
}

Status ScanStore::State::FindFolderRecord(int32_t locator, ItemRecord* out, bool* found) {
  *found = false;
  if (auto it = folderRecordByLocator.find(locator); it != folderRecordByLocator.end()) {
    bool present = false;
    if (Status s = records.Read(it->second, out, &present); s != kStatusOk) return s;
    if (present) {
      *found = true;
      return kStatusOk;
    }
    folderRecordByLocator.erase(it);
  }
  std::vector<ItemRecord> chunk(kBufferRecords);
  for (int32_t first = 1; first <= records.RecordCount();) {
    size_t got = 0;
    if (Status s = records.ReadRun(first, chunk, &got); s != kStatusOk) return s;
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      const ItemRecord& r = chunk[i];
      const int32_t id = first + static_cast<int32_t>(i);
      if (r.id != id || r.isFolder == 0 || r.locator != locator) continue;
      *out = r;
      *found = true;
      folderRecordByLocator[locator] = id;
      return kStatusOk;
    }
    first += static_cast<int32_t>(got);
  }
  return kStatusOk;
}

Status ScanStore::State::WriteRelationFile() {
  uint64_t written = 0;
  Status s = index.Write([&](std::string_view piece) {
    Status w = relationFile.WriteAt(written, piece.data(), piece.size());
    written += piece.size();
    return w;
  });
  if (s != kStatusOk) return s;
  return relationFile.Truncate(written);
}

Status ScanStore::State::WriteFolderNames() {
  if (namesWritten == names.Size()) return kStatusOk;
  const size_t count = names.Size() - namesWritten;
  Status s = dirInfoFile.WriteAt(static_cast<uint64_t>(namesWritten) * kFolderNameEntryBytes,
                                 names.Data() + namesWritten, count * kFolderNameEntryBytes);
  if (s != kStatusOk) return s;
  if (s = dirInfoFile.Truncate(static_cast<uint64_t>(names.Size()) * kFolderNameEntryBytes); s != kStatusOk) return s;
  namesWritten = names.Size();
  return kStatusOk;
}

Status ScanStore::State::WriteAll() {
  if (Status s = records.Flush(); s != kStatusOk) return s;
  if (index.IsDirty()) {
    if (Status s = WriteRelationFile(); s != kStatusOk) return s;
  }
  if (Status s = WriteFolderNames(); s != kStatusOk) return s;
  const std::vector<uint8_t> layout = layouts.TakeUnwritten();
  if (layout.empty()) return kStatusOk;
  if (!layoutFile.IsOpen()) {
    if (Status s = layoutFile.Open(recordPath + "_Layout", platform::OutputFile::Mode::kCreateOrOpen); s != kStatusOk) {
      return s;
    }
  }
  if (Status s = layoutFile.WriteAt(layoutBytes, layout.data(), layout.size()); s != kStatusOk) return s;
  layoutBytes += layout.size();
  return kStatusOk;
}

Status ScanStore::State::LoadLayouts() {
  const std::string path = recordPath + "_Layout";
  if (!platform::PathExists(path)) return kStatusOk;
  if (Status s = layoutFile.Open(path, platform::OutputFile::Mode::kCreateOrOpen); s != kStatusOk) return s;
  uint64_t bytes = 0;
  if (Status s = layoutFile.Length(&bytes); s != kStatusOk) return s;
  bytes = std::min(bytes, kMaxFolderNameFileBytes);
  std::vector<uint8_t> raw;
  try {
    raw.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return kStatusOutOfMemory;
  }
  size_t n = 0;
  if (Status s = layoutFile.ReadAt(0, raw.data(), raw.size(), &n); s != kStatusOk) return s;
  layouts.LoadFrom(raw.data(), n);
  layoutBytes = bytes;  // new entries follow; a damaged tail is overwritten
  return kStatusOk;
}

Status ScanStore::State::LoadRelationFile() {
  uint64_t relationBytes = 0;
  if (Status s = relationFile.Length(&relationBytes); s != kStatusOk) return s;
  RelationParser parser(index.Load(), records.RecordCount());
  std::string chunk;
  try {
    chunk.resize(kSmallFileChunkBytes);
  } catch (const std::bad_alloc&) {
    return kStatusOutOfMemory;
  }
  // Read no further than the size taken at open, whatever the file does meanwhile.
  for (uint64_t offset = 0; offset < relationBytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), relationBytes - offset));
    size_t n = 0;
    if (Status s = relationFile.ReadAt(offset, chunk.data(), want, &n); s != kStatusOk) return s;
    if (n == 0) break;
    parser.Feed(std::string_view(chunk.data(), n));
    offset += n;
  }
  parser.Finish();
  return kStatusOk;
}

Status ScanStore::State::LoadFolderNames() {
  uint64_t nameBytes = 0;
  if (Status s = dirInfoFile.Length(&nameBytes); s != kStatusOk) return s;
  nameBytes = std::min(nameBytes, kMaxFolderNameFileBytes);
  nameBytes -= nameBytes % kFolderNameEntryBytes;
  if (nameBytes > 0) {
    std::vector<uint8_t> raw;
    try {
      raw.resize(static_cast<size_t>(nameBytes));
    } catch (const std::bad_alloc&) {
      return kStatusOutOfMemory;
    }
    size_t n = 0;
    if (Status s = dirInfoFile.ReadAt(0, raw.data(), raw.size(), &n); s != kStatusOk) return s;
    names.LoadFrom(raw.data(), n);
  }
  namesWritten = names.Size();
  return kStatusOk;
}

Status ScanStore::State::Reset() {
  Status s = open ? WriteAll() : kStatusOk;
  open = false;
  const Status closed = records.Close();
  if (s == kStatusOk) s = closed;
  (void)relationFile.Close();  // written and truncated by WriteAll already
  (void)dirInfoFile.Close();
  (void)layoutFile.Close();
  layoutBytes = 0;
  layouts.Clear();
  index.Clear();
  names.Clear();
  namesWritten = 0;
  folderRecordByLocator.clear();
  return s;
}

ScanStore::ScanStore() : m_state(std::make_unique<State>()) {}

ScanStore::~ScanStore() {
  CloseStore();
}

Status ScanStore::OpenStore(const std::string& baseName, const std::string& scanFolder) {
  CloseStore();
  State& st = *m_state;
  if (baseName.empty() || baseName == "." || baseName == ".." || baseName.find('/') != std::string::npos ||
      baseName.find('\0') != std::string::npos) {
    return kStatusInvalidParameter;
  }
  std::string folder = scanFolder.empty() ? ScanIndex::Instance().CurrentScanFolder() : scanFolder;
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  if (Status s = platform::CreateDirectories(folder);
      s != kStatusOk && s != platform::kErrorFileExists && s != platform::kErrorAlreadyExists) {
    return s;
  }
  st.baseName = baseName;
  st.recordPath = folder + baseName;
  auto fail = [&](Status s) {
    (void)st.Reset();  // the open failed with s; nothing was written
    return s;
  };
  using Mode = platform::OutputFile::Mode;
  if (Status s = st.records.Open(st.recordPath); s != kStatusOk) return fail(s);
  if (Status s = st.relationFile.Open(st.recordPath + "_Relation", Mode::kCreateOrOpen); s != kStatusOk) return fail(s);
  if (Status s = st.LoadRelationFile(); s != kStatusOk) return fail(s);
  if (Status s = st.dirInfoFile.Open(st.recordPath + "_DirInfo", Mode::kCreateOrOpen); s != kStatusOk) return fail(s);
  if (Status s = st.LoadFolderNames(); s != kStatusOk) return fail(s);
  if (Status s = st.LoadLayouts(); s != kStatusOk) return fail(s);
  st.open = true;
  return kStatusOk;
}

Status ScanStore::OpenFresh(const std::string& baseName, const std::string& scanFolder) {
  CloseStore();
  if (baseName.empty() || baseName.find('/') != std::string::npos || baseName == "." || baseName == "..") {
    return kStatusInvalidParameter;
  }
  std::string folder = scanFolder.empty() ? ScanIndex::Instance().CurrentScanFolder() : scanFolder;
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  for (const char* suffix : {"", "_Relation", "_DirInfo", "_Layout"}) {
    const std::string path = folder + baseName + suffix;
    if (platform::PathExists(path)) {
      if (Status s = platform::RemoveFile(path); s != kStatusOk) return s;
    }
  }
  return OpenStore(baseName, scanFolder);
}

ItemRecord* ScanStore::AppendRecord() {
  State& st = *m_state;
  if (!st.open) return nullptr;
  return st.records.Append();
}

void ScanStore::AddChild(uint32_t parentLocator, uint32_t parentDepth, int32_t childId, int32_t childLocator,
                         const char* folderName) {
  State& st = *m_state;
  if (!st.open) return;
  st.index.Add(FolderKey(parentDepth, parentLocator), childId);
  if (folderName != nullptr) {
    st.names.Add(childLocator, childId, std::string_view(folderName, strnlen(folderName, kFolderNameBytes)));
  }
}

Status ScanStore::UpdateRecord(const ItemRecord& record) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  return st.records.Rewrite(record);
}

void ScanStore::SetLayout(int32_t id, std::vector<DataExtent> extents) {
  if (m_state->open) m_state->layouts.Set(id, std::move(extents));
}

const std::vector<DataExtent>* ScanStore::Layout(int32_t id) const {
  return m_state->open ? m_state->layouts.Find(id) : nullptr;
}

Status ScanStore::FlushStore() {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  return st.WriteAll();
}

Status ScanStore::ListChildren(uint64_t key, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  Status result = kStatusOk;
  if (const std::vector<int32_t>* ids = st.index.Children(key)) {
    std::vector<ItemRecord> run(kBufferRecords);
    result = st.ForEachChild(*ids, run, [&](const ItemRecord& record) {
      if (!HiddenDamagedPhoto(record)) out.push_back(record);
    });
  }
  SortInChildOrder(out);
  return result;
}

Status ScanStore::CountFiles(uint64_t key, int32_t* outCount) {
  if (outCount == nullptr) return kStatusInvalidParameter;
  *outCount = 0;
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  Status result = kStatusOk;
  int64_t files = 0;
  std::deque<uint64_t> queue{key};
  // Each folder key is walked once: two folders sharing a key share its
  // children, and a damaged index cannot make the walk grow without end.
  std::unordered_set<const std::vector<int32_t>*> walked;
  std::vector<ItemRecord> run(kBufferRecords);
  while (!queue.empty()) {
    const uint64_t taken = queue.front();
    queue.pop_front();
    const std::vector<int32_t>* ids = st.index.Children(taken);
    if (ids == nullptr || !walked.insert(ids).second) continue;
    const uint64_t childDepth = ((taken >> 32) + 1) & 0xFFFFFFFFu;
    Status s = st.ForEachChild(*ids, run, [&](const ItemRecord& record) {
      if (record.isFolder != 0) {
        queue.push_back(FolderKey(static_cast<uint32_t>(childDepth), static_cast<uint32_t>(record.locator)));
      } else if (!HiddenDamagedPhoto(record)) {
        ++files;
      }
    });
    if (s != kStatusOk) result = s;
  }
  *outCount = static_cast<int32_t>(std::min<int64_t>(files, std::numeric_limits<int32_t>::max()));
  return result;
}

Status ScanStore::FindFolderPath(const ItemRecord& item, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  if (st.index.Empty()) return kStatusOk;
  const uint64_t rootKey = st.index.RootKey();
  std::unordered_set<int32_t> visited{item.id};
  int32_t current = item.id;
  for (;;) {
    uint64_t key = 0;
    if (!st.index.ParentKeyOf(current, st.records.RecordCount(), &key) || key == rootKey) return kStatusOk;
    const auto locator = static_cast<int32_t>(static_cast<uint32_t>(key));
    ItemRecord parent = ZeroRecord();
    if (const FolderNameEntry* entry = st.names.FindByLocator(locator)) {
      if (entry->id == item.id) return kStatusOk;
      parent.id = entry->id;
      parent.locator = locator;
      parent.isFolder = 1;
      parent.isIntact = 1;
      SetItemName(parent, entry->Name());
    } else {
      bool found = false;
      if (Status s = st.FindFolderRecord(locator, &parent, &found); s != kStatusOk) return s;
      if (!found) return kStatusInvalidParameter;
      if (parent.id == item.id) return kStatusOk;
    }
    out.push_back(parent);
    const int32_t parentId = parent.id;
    if (!visited.insert(parentId).second) return kStatusOk;  // a loop in a damaged index
    current = parentId;
  }
}

Status ScanStore::GetItemPath(const ItemRecord& item, std::string& out) {
  out.clear();
  if (!m_state->open) return platform::kErrorInvalidHandle;
  std::vector<ItemRecord> ancestors;
  const Status found = FindFolderPath(item, ancestors);
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    out.append(it->Name());
    out.push_back('\\');
  }
  // An unresolved parent still yields the part found; a read error is reported.
  return found == kStatusInvalidParameter ? kStatusOk : found;
}

int32_t ScanStore::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return 0;
  const std::string_view patternText(pattern.data(), platform::Utf8BoundaryAtOrBefore(pattern, kMaxPatternBytes));
  if (st.WriteAll() != kStatusOk) return 0;  // the store cannot be read back whole
  bool other = patternText.find(".other") != std::string_view::npos;
  const int32_t total = st.records.RecordCount();
  uint64_t fileBytes = 0;
  if (st.records.FileLength(&fileBytes) != kStatusOk || fileBytes >= kOtherRuleLimitBytes) other = false;

  ExtensionVerdicts verdicts(patternText, other);
  std::vector<ItemRecord> chunk(kBufferRecords);
  char dotted[kItemNameBytes + 1];
  dotted[0] = '.';
  for (int32_t first = 1; first <= total;) {
    size_t got = 0;
    // Records that cannot be read back make the result incomplete, never "nothing more".
    if (st.records.ReadRun(first, chunk, &got) != kStatusOk || got == 0) return 0;
    for (size_t i = 0; i < got; ++i) {
      const ItemRecord& record = chunk[i];
      if (record.isFolder != 0 || record.id != first + static_cast<int32_t>(i)) continue;
      std::string_view name = record.Name();
      const size_t dot = name.rfind('.');
      if (dot == std::string_view::npos || dot + 1 == name.size()) {
        if (other) out.push_back(record);
        continue;
      }
      std::string_view extension = name.substr(dot + 1);
      for (size_t k = 0; k < extension.size(); ++k) dotted[k + 1] = platform::AsciiLower(extension[k]);
      const std::string_view withDot(dotted, extension.size() + 1);
      if (StateOf(record) == ItemState::kDamaged && IsPhotoExtension(withDot.substr(1))) continue;
      if (verdicts.Selects(withDot)) out.push_back(record);
    }
    first += static_cast<int32_t>(got);
    if (st.searchFn != nullptr &&
        st.searchFn(st.searchUserData, static_cast<int32_t>(int64_t{first - 1} * 100 / total), 0) != 0) {
      break;
    }
  }
  SortInChildOrder(out);
  return 1;
}

void ScanStore::SetSearchCallback(SearchProgressFn fn, void* userData) {
  m_state->searchFn = fn;
  m_state->searchUserData = userData;
}

Status ScanStore::ReadRecord(int32_t id, ItemRecord* out) {
  if (out == nullptr) return kStatusInvalidParameter;
  const State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  ItemRecord record;
  bool present = false;
  if (Status s = st.records.Read(id, &record, &present); s != kStatusOk) return s;
  if (!present) return kStatusInvalidParameter;
  *out = record;
  return kStatusOk;
}

Status ScanStore::VisitRecords(const std::function<bool(const ItemRecord&)>& visit) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  if (Status s = st.WriteAll(); s != kStatusOk) return s;
  const int32_t total = st.records.RecordCount();
  std::vector<ItemRecord> chunk(kBufferRecords);
  for (int32_t first = 1; first <= total;) {
    size_t got = 0;
    if (Status s = st.records.ReadRun(first, chunk, &got); s != kStatusOk) return s;
    if (got == 0) return kStatusReadFault;  // records counted but not there
    for (size_t i = 0; i < got; ++i) {
      if (chunk[i].id != first + static_cast<int32_t>(i)) continue;  // a slot never written whole
      if (!visit(chunk[i])) return kStatusOk;
    }
    first += static_cast<int32_t>(got);
  }
  return kStatusOk;
}

Status ScanStore::CloseStore() {
  return m_state->Reset();
}

bool ScanStore::IsOpen() const {
  return m_state->open;
}
int32_t ScanStore::RecordCount() const {
  return m_state->records.RecordCount();
}
int32_t ScanStore::AppendedCount() const {
  return m_state->records.AppendedCount();
}
const std::string& ScanStore::RecordPath() const {
  return m_state->recordPath;
}
const std::string& ScanStore::BaseName() const {
  return m_state->baseName;
}

namespace {

// ".<base>_<name>" in the store's folder; empty without an open store.
std::string CountsPath(const std::string& recordPath, const std::string& baseName, std::string_view name) {
  if (baseName.empty() || recordPath.size() < baseName.size()) return {};
  return recordPath.substr(0, recordPath.size() - baseName.size()) + "." + baseName + "_" + std::string(name);
}

}  // namespace

Status ScanStore::KeepCounts(std::string_view name, const std::vector<uint64_t>& counts) const {
  const std::string path = IsOpen() ? CountsPath(m_state->recordPath, m_state->baseName, name) : std::string();
  if (path.empty()) return kStatusInvalidParameter;
  std::vector<uint8_t> bytes(counts.size() * 8);
  for (size_t i = 0; i < counts.size(); ++i) {
    for (size_t b = 0; b < 8; ++b) bytes[i * 8 + b] = static_cast<uint8_t>(counts[i] >> (8 * b));
  }
  platform::OutputFile file;
  if (Status s = file.Open(path, platform::OutputFile::Mode::kReplaceOwnFile); s != kStatusOk) return s;
  const Status written = bytes.empty() ? kStatusOk : file.WriteAt(0, bytes.data(), bytes.size());
  const Status closed = file.Close();
  return written != kStatusOk ? written : closed;
}

bool ScanStore::ReadCounts(std::string_view name, size_t count, std::vector<uint64_t>* out) const {
  out->clear();
  const std::string path = IsOpen() ? CountsPath(m_state->recordPath, m_state->baseName, name) : std::string();
  std::string bytes;
  if (path.empty() || platform::ReadWholeFile(path, &bytes, count * 8) != kStatusOk || bytes.size() < count * 8) {
    return false;
  }
  out->assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    for (size_t b = 0; b < 8; ++b) (*out)[i] |= uint64_t{static_cast<uint8_t>(bytes[i * 8 + b])} << (8 * b);
  }
  return true;
}

}  // namespace engine::store
