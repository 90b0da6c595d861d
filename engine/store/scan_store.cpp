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
#include "engine/store/child_order.h"
#include "engine/store/folder_name_table.h"
#include "engine/store/relation_file.h"
#include "engine/store/scan_index.h"
#include "platform/file_time.h"
#include "platform/folders.h"
#include "platform/utf.h"

namespace engine::store {
namespace {

constexpr size_t kBufferRecords = 200;
constexpr size_t kWriteBufferBytes = kBufferRecords * kItemRecordBytes;  // 69,200
static_assert(kWriteBufferBytes == 69200);
// A record file this large no longer takes part in the "other" rule of Search.
constexpr uint64_t kOtherRuleLimitBytes = 0x8000000;
constexpr size_t kMaxPatternBytes = 4096;
constexpr size_t kSmallFileChunkBytes = 1 << 20;
// Folder-name files beyond this are loaded only up to it (about 4 million folders).
constexpr uint64_t kMaxFolderNameFileBytes = uint64_t{1} << 30;
constexpr int32_t kMaxRecords = std::numeric_limits<int32_t>::max();

uint64_t RecordOffset(int32_t id) {
  return static_cast<uint64_t>(id - 1) * kItemRecordBytes;
}

// Reads up to byteCount bytes at byteOffset, going on after short reads.
platform::Status ReadFully(const platform::RawFile& file, uint64_t byteOffset, void* buffer, size_t byteCount,
                           size_t* bytesRead) {
  *bytesRead = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (*bytesRead < byteCount) {
    size_t n = 0;
    if (platform::Status s = file.ReadAt(byteOffset + *bytesRead, p + *bytesRead, byteCount - *bytesRead, &n);
        s != platform::kStatusOk) {
      return s;
    }
    if (n == 0) break;
    *bytesRead += n;
  }
  return platform::kStatusOk;
}

bool HiddenDamagedPhoto(const ItemRecord& record) {
  return record.isIntact == 0 && IsPhotoName(record.Name());
}

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// Whether "." + extension is selected by a search: in the pattern, or (with
// the "other" rule) nowhere in the known extensions. Verdicts are remembered
// per extension, up to a bound, since a scan holds few distinct extensions.
class ExtensionVerdicts {
 public:
  ExtensionVerdicts(std::string_view pattern, bool other) : m_pattern(pattern), m_other(other) {}

  bool Selects(std::string_view dottedLower) {
    if (auto it = m_cache.find(dottedLower); it != m_cache.end()) return it->second;
    bool selected = m_pattern.find(dottedLower) != std::string_view::npos ||
                    (m_other && KnownExtensions().find(dottedLower) == std::string::npos);
    if (m_cache.size() < kMaxCached) m_cache.emplace(std::string(dottedLower), selected);
    return selected;
  }

 private:
  static constexpr size_t kMaxCached = 65536;
  std::string_view m_pattern;
  bool m_other;
  std::unordered_map<std::string, bool, TextHash, std::equal_to<>> m_cache;
};

}  // namespace

std::string MakeLogBaseName(const char* prefix, int64_t volumeStartSector) {
  platform::SystemTime now = platform::LocalNow();
  char text[128];
  std::snprintf(text, sizeof text, "%s%lld_%d%d%d%d%2d", prefix == nullptr ? "" : prefix,
                static_cast<long long>(volumeStartSector), now.year, now.month, now.day, now.hour, now.minute);
  return text;
}

struct ScanStore::State {
  bool open = false;
  std::string baseName;
  std::string recordPath;
  std::string relationPath;
  std::string dirInfoPath;
  platform::OutputFile recordFile;
  platform::OutputFile relationFile;
  platform::OutputFile dirInfoFile;

  // Write buffer: records flushedRecords + 1 ... flushedRecords + bufferedCount.
  std::vector<ItemRecord> buffer;
  size_t bufferedCount = 0;
  int32_t recordCount = 0;     // whole records of the file at open + records appended since
  int32_t appendedCount = 0;   // records appended since OpenStore
  int32_t flushedRecords = 0;  // records whose place in the file has been written (or given up)
  Status pendingError = kStatusOk;

  FolderIndex index;
  bool indexDirty = false;
  uint64_t cachedKey = 0;
  std::vector<int32_t>* cachedVector = nullptr;

  FolderNameTable names;
  size_t namesWritten = 0;

  // Parent lookup for FindFolderPath: id → 1 + position of the first key holding it.
  bool parentsValid = false;
  std::vector<uint64_t> parentKeys;
  std::vector<uint32_t> parentOrdinalOfId;
  // Locator → id of the first folder record with it, found by a record-file scan.
  std::unordered_map<int32_t, int32_t> folderRecordByLocator;

  SearchProgressFn searchFn = nullptr;
  void* searchUserData = nullptr;
  ItemRecord scratch{};

  Status WriteBuffer();
  // Reads record id into out; *present is false when the record is not
  // there as a whole record carrying its own number.
  Status Read(int32_t id, ItemRecord* out, bool* present) const;
  const std::vector<int32_t>* Children(uint64_t key) const;
  // Calls fn for every child record present, in the order of ids. Runs of
  // consecutive ids in the file are read at once (run: kBufferRecords slots).
  // A failing read ends the walk and is returned.
  template <typename Fn>
  Status ForEachChild(const std::vector<int32_t>& ids, std::vector<ItemRecord>& run, Fn&& fn) const;
  void BuildParents();
  bool ParentKeyOf(int32_t id, uint64_t* key);
  Status FindFolderRecord(int32_t locator, ItemRecord* out, bool* found);
  Status WriteRelationFile();
  Status WriteFolderNames();
  // Buffered records, then the relation and folder-name files when they changed.
  Status WriteAll();
  void Reset();
};

Status ScanStore::State::WriteBuffer() {
  if (bufferedCount == 0) return kStatusOk;
  Status s = recordFile.WriteAt(RecordOffset(flushedRecords + 1), buffer.data(), bufferedCount * kItemRecordBytes);
  if (s != kStatusOk) return s;
  flushedRecords += static_cast<int32_t>(bufferedCount);
  bufferedCount = 0;
  return kStatusOk;
}

Status ScanStore::State::Read(int32_t id, ItemRecord* out, bool* present) const {
  *present = false;
  if (id < 1 || id > recordCount) return kStatusOk;
  if (id > flushedRecords) {
    size_t slot = static_cast<size_t>(id - flushedRecords - 1);
    if (slot >= bufferedCount) return kStatusOk;
    *out = buffer[slot];
  } else {
    size_t n = 0;
    if (Status s = recordFile.ReadAt(RecordOffset(id), out, kItemRecordBytes, &n); s != kStatusOk) return s;
    if (n != kItemRecordBytes) return kStatusOk;
  }
  *present = out->id == id;
  return kStatusOk;
}

const std::vector<int32_t>* ScanStore::State::Children(uint64_t key) const {
  if (index.empty()) return nullptr;
  if (key == 0) return &index.begin()->second;
  auto it = index.find(key);
  return it == index.end() ? nullptr : &it->second;
}

template <typename Fn>
Status ScanStore::State::ForEachChild(const std::vector<int32_t>& ids, std::vector<ItemRecord>& run, Fn&& fn) const {
  for (size_t j = 0; j < ids.size();) {
    const int64_t first = ids[j];
    size_t length = 1;
    if (first >= 1 && first <= flushedRecords) {
      while (j + length < ids.size() && length < run.size() &&
             ids[j + length] == first + static_cast<int64_t>(length) &&
             first + static_cast<int64_t>(length) <= flushedRecords) {
        ++length;
      }
    }
    if (length == 1) {
      bool present = false;
      if (Status s = Read(ids[j], run.data(), &present); s != kStatusOk) return s;
      if (present) fn(run[0]);
    } else {
      size_t n = 0;
      if (Status s = recordFile.ReadAt(RecordOffset(ids[j]), run.data(), length * kItemRecordBytes, &n);
          s != kStatusOk) {
        return s;
      }
      const size_t whole = n / kItemRecordBytes;
      for (size_t k = 0; k < length && k < whole; ++k) {
        if (run[k].id == first + static_cast<int64_t>(k)) fn(run[k]);
      }
    }
    j += length;
  }
  return kStatusOk;
}

void ScanStore::State::BuildParents() {
  parentKeys.clear();
  parentOrdinalOfId.assign(static_cast<size_t>(recordCount) + 1, 0);
  for (const auto& [key, ids] : index) {
    parentKeys.push_back(key);
    auto ordinal = static_cast<uint32_t>(parentKeys.size());
    for (int32_t id : ids) {
      if (id >= 1 && static_cast<size_t>(id) < parentOrdinalOfId.size() && parentOrdinalOfId[id] == 0) {
        parentOrdinalOfId[id] = ordinal;
      }
    }
  }
  parentsValid = true;
}

bool ScanStore::State::ParentKeyOf(int32_t id, uint64_t* key) {
  if (!parentsValid) BuildParents();
  if (id >= 1 && static_cast<size_t>(id) < parentOrdinalOfId.size()) {
    uint32_t ordinal = parentOrdinalOfId[id];
    if (ordinal == 0) return false;
    *key = parentKeys[ordinal - 1];
    return true;
  }
  for (const auto& [k, ids] : index) {  // an id filed before its record was appended
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
      *key = k;
      return true;
    }
  }
  return false;
}

Status ScanStore::State::FindFolderRecord(int32_t locator, ItemRecord* out, bool* found) {
  *found = false;
  if (auto it = folderRecordByLocator.find(locator); it != folderRecordByLocator.end()) {
    bool present = false;
    if (Status s = Read(it->second, out, &present); s != kStatusOk) return s;
    if (present) {
      *found = true;
      return kStatusOk;
    }
    folderRecordByLocator.erase(it);
  }
  auto accept = [&](const ItemRecord& record, int32_t id) {
    if (record.id != id || record.isFolder == 0 || record.locator != locator) return false;
    *out = record;
    *found = true;
    folderRecordByLocator[locator] = id;
    return true;
  };
  std::vector<ItemRecord> chunk(kBufferRecords);
  for (int32_t first = 1; first <= flushedRecords;) {
    size_t want = std::min<size_t>(kBufferRecords, static_cast<size_t>(flushedRecords - first + 1));
    size_t n = 0;
    if (Status s = recordFile.ReadAt(RecordOffset(first), chunk.data(), want * kItemRecordBytes, &n); s != kStatusOk) {
      return s;
    }
    size_t whole = n / kItemRecordBytes;
    for (size_t i = 0; i < whole; ++i) {
      if (accept(chunk[i], first + static_cast<int32_t>(i))) return kStatusOk;
    }
    if (whole < want) break;
    first += static_cast<int32_t>(whole);
  }
  for (size_t i = 0; i < bufferedCount; ++i) {
    if (accept(buffer[i], flushedRecords + 1 + static_cast<int32_t>(i))) return kStatusOk;
  }
  return kStatusOk;
}

Status ScanStore::State::WriteRelationFile() {
  uint64_t written = 0;
  Status s = WriteRelationText(index, [&](std::string_view piece) {
    Status w = relationFile.WriteAt(written, piece.data(), piece.size());
    written += piece.size();
    return w;
  });
  if (s != kStatusOk) return s;
  if (s = relationFile.Truncate(written); s != kStatusOk) return s;
  indexDirty = false;
  return kStatusOk;
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

void ScanStore::State::Reset() {
  open = false;
  (void)recordFile.Close();
  (void)relationFile.Close();
  (void)dirInfoFile.Close();
  buffer = {};
  bufferedCount = 0;
  recordCount = appendedCount = flushedRecords = 0;
  pendingError = kStatusOk;
  index.clear();
  indexDirty = false;
  cachedVector = nullptr;
  names.Clear();
  namesWritten = 0;
  parentsValid = false;
  parentKeys = {};
  parentOrdinalOfId = {};
  folderRecordByLocator.clear();
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
  st.relationPath = st.recordPath + "_Relation";
  st.dirInfoPath = st.recordPath + "_DirInfo";
  auto fail = [&](Status s) {
    st.Reset();
    return s;
  };

  using Mode = platform::OutputFile::Mode;
  if (Status s = st.recordFile.Open(st.recordPath, Mode::kCreateOrOpen); s != kStatusOk) return fail(s);
  uint64_t recordBytes = 0;
  if (Status s = st.recordFile.Length(&recordBytes); s != kStatusOk) return fail(s);
  // Only whole records count; a cut last record is overwritten by the next append.
  uint64_t wholeRecords = std::min<uint64_t>(recordBytes / kItemRecordBytes, static_cast<uint64_t>(kMaxRecords));
  st.recordCount = st.flushedRecords = static_cast<int32_t>(wholeRecords);

  if (Status s = st.relationFile.Open(st.relationPath, Mode::kCreateOrOpen); s != kStatusOk) return fail(s);
  uint64_t relationBytes = 0;
  if (Status s = st.relationFile.Length(&relationBytes); s != kStatusOk) return fail(s);
  {
    RelationParser parser(st.index, st.recordCount);
    std::string chunk;
    try {
      chunk.resize(kSmallFileChunkBytes);
    } catch (const std::bad_alloc&) {
      return fail(kStatusOutOfMemory);
    }
    // Read no further than the size taken at open, whatever the file does meanwhile.
    for (uint64_t offset = 0; offset < relationBytes;) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), relationBytes - offset));
      size_t n = 0;
      if (Status s = st.relationFile.ReadAt(offset, chunk.data(), want, &n); s != kStatusOk) return fail(s);
      if (n == 0) break;
      parser.Feed(std::string_view(chunk.data(), n));
      offset += n;
    }
    parser.Finish();
  }

  try {
    st.buffer.resize(kBufferRecords);
  } catch (const std::bad_alloc&) {
    return fail(kStatusOutOfMemory);
  }

  if (Status s = st.dirInfoFile.Open(st.dirInfoPath, Mode::kCreateOrOpen); s != kStatusOk) return fail(s);
  uint64_t nameBytes = 0;
  if (Status s = st.dirInfoFile.Length(&nameBytes); s != kStatusOk) return fail(s);
  nameBytes = std::min(nameBytes, kMaxFolderNameFileBytes);
  nameBytes -= nameBytes % kFolderNameEntryBytes;
  if (nameBytes > 0) {
    std::vector<uint8_t> raw;
    try {
      raw.resize(static_cast<size_t>(nameBytes));
    } catch (const std::bad_alloc&) {
      return fail(kStatusOutOfMemory);
    }
    size_t n = 0;
    if (Status s = st.dirInfoFile.ReadAt(0, raw.data(), raw.size(), &n); s != kStatusOk) return fail(s);
    st.names.LoadFrom(raw.data(), n);
  }
  st.namesWritten = st.names.Size();
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
  for (const char* suffix : {"", "_Relation", "_DirInfo"}) {
    const std::string path = folder + baseName + suffix;
    if (platform::PathExists(path)) {
      if (Status s = platform::RemoveFile(path); s != kStatusOk) return s;
    }
  }
  return OpenStore(baseName, scanFolder);
}

ItemRecord* ScanStore::AppendRecord() {
  State& st = *m_state;
  if (!st.open || st.recordCount >= kMaxRecords) {
    if (st.open) st.pendingError = kStatusInvalidParameter;
    st.scratch = ZeroRecord();
    return &st.scratch;
  }
  if (st.bufferedCount == kBufferRecords) {
    if (Status s = st.WriteBuffer(); s != kStatusOk) {
      // The records are lost; later ones keep their places so that ids still
      // match file positions. FlushStore reports the failure.
      st.pendingError = s;
      st.flushedRecords += static_cast<int32_t>(st.bufferedCount);
      st.bufferedCount = 0;
    }
  }
  ItemRecord* slot = &st.buffer[st.bufferedCount++];
  ++st.recordCount;
  ++st.appendedCount;
  return slot;
}

void ScanStore::AddChild(uint32_t parentLocator, uint32_t parentDepth, int32_t childId, int32_t childLocator,
                         const char* folderName) {
  State& st = *m_state;
  if (!st.open) return;
  uint64_t key = FolderKey(parentDepth, parentLocator);
  if (st.cachedVector == nullptr || st.cachedKey != key) {
    st.cachedVector = &st.index[key];
    st.cachedKey = key;
  }
  st.cachedVector->push_back(childId);
  st.indexDirty = true;
  st.parentsValid = false;
  if (folderName != nullptr) {
    st.names.Add(childLocator, childId, std::string_view(folderName, strnlen(folderName, kFolderNameBytes)));
  }
}

Status ScanStore::State::WriteAll() {
  if (Status s = WriteBuffer(); s != kStatusOk) return s;
  if (indexDirty) {
    if (Status s = WriteRelationFile(); s != kStatusOk) return s;
  }
  return WriteFolderNames();
}

Status ScanStore::FlushStore() {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  if (Status s = st.WriteAll(); s != kStatusOk) return s;
  Status pending = st.pendingError;
  st.pendingError = kStatusOk;
  return pending;
}

Status ScanStore::ListChildren(uint64_t key, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  if (const std::vector<int32_t>* ids = st.Children(key)) {
    ItemRecord record;
    for (int32_t id : *ids) {
      bool present = false;
      if (Status s = st.Read(id, &record, &present); s != kStatusOk) return s;
      if (!present || HiddenDamagedPhoto(record)) continue;
      out.push_back(record);
    }
  }
  SortInChildOrder(out);
  return kStatusOk;
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
    uint64_t taken = queue.front();
    queue.pop_front();
    const std::vector<int32_t>* ids = st.Children(taken);
    if (ids == nullptr || !walked.insert(ids).second) continue;
    uint64_t childDepth = ((taken >> 32) + 1) & 0xFFFFFFFFu;
    Status s = st.ForEachChild(*ids, run, [&](const ItemRecord& record) {
      if (record.isFolder != 0) {
        queue.push_back(FolderKey(static_cast<uint32_t>(childDepth), static_cast<uint32_t>(record.locator)));
      } else {
        ++files;
      }
    });
    if (s != kStatusOk) result = s;
  }
  *outCount = static_cast<int32_t>(std::min<int64_t>(files, kMaxRecords));
  return result;
}

Status ScanStore::FindFolderPath(const ItemRecord& item, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return platform::kErrorInvalidHandle;
  if (st.index.empty()) return kStatusOk;
  const uint64_t rootKey = st.index.begin()->first;
  std::unordered_set<int32_t> visited{item.id};
  int32_t current = item.id;
  for (;;) {
    uint64_t key = 0;
    if (!st.ParentKeyOf(current, &key) || key == rootKey) return kStatusOk;
    auto locator = static_cast<int32_t>(static_cast<uint32_t>(key));
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
  (void)FindFolderPath(item, ancestors);  // an unresolved parent still yields the part found
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    out.append(it->Name());
    out.push_back('\\');
  }
  return kStatusOk;
}

int32_t ScanStore::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  State& st = *m_state;
  if (!st.open) return 0;
  const std::string_view patternText(pattern.data(), platform::Utf8BoundaryAtOrBefore(pattern, kMaxPatternBytes));
  (void)st.WriteAll();  // a failure is still reported by the next FlushStore
  bool other = patternText.find(".other") != std::string_view::npos;

  platform::RawFile file;
  if (file.Open(st.recordPath) != kStatusOk) return 0;
  uint64_t fileBytes = 0;
  if (file.Length(&fileBytes) != kStatusOk) fileBytes = 0;
  if (fileBytes >= kOtherRuleLimitBytes) other = false;

  ExtensionVerdicts verdicts(patternText, other);
  std::vector<ItemRecord> chunk(kBufferRecords);
  char dotted[kItemNameBytes + 1];
  dotted[0] = '.';
  uint64_t offset = 0;
  while (fileBytes - offset >= kItemRecordBytes) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kWriteBufferBytes, fileBytes - offset));
    want -= want % kItemRecordBytes;
    size_t got = 0;
    if (ReadFully(file, offset, chunk.data(), want, &got) != kStatusOk) break;
    size_t whole = got / kItemRecordBytes;
    if (whole == 0) break;
    const int64_t firstId = static_cast<int64_t>(offset / kItemRecordBytes) + 1;
    for (size_t i = 0; i < whole; ++i) {
      const ItemRecord& record = chunk[i];
      if (record.isFolder != 0 || record.id != firstId + static_cast<int64_t>(i)) continue;
      std::string_view name = record.Name();
      size_t dot = name.rfind('.');
      if (dot == std::string_view::npos || dot + 1 == name.size()) {
        if (other) out.push_back(record);
        continue;
      }
      std::string_view extension = name.substr(dot + 1);
      for (size_t k = 0; k < extension.size(); ++k) dotted[k + 1] = platform::AsciiLower(extension[k]);
      const std::string_view withDot(dotted, extension.size() + 1);
      if (record.isIntact == 0 && kPhotoList.find(withDot.substr(1)) != std::string_view::npos) continue;
      if (verdicts.Selects(withDot)) out.push_back(record);
    }
    offset += whole * kItemRecordBytes;
    if (st.searchFn != nullptr &&
        st.searchFn(st.searchUserData, static_cast<int32_t>(offset * 100 / fileBytes), 0) != 0) {
      break;
    }
    if (whole * kItemRecordBytes < want) break;
  }
  file.Close();
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
  if (Status s = st.Read(id, &record, &present); s != kStatusOk) return s;
  if (!present) return kStatusInvalidParameter;
  *out = record;
  return kStatusOk;
}

void ScanStore::CloseStore() {
  State& st = *m_state;
  if (!st.open) return;
  (void)FlushStore();
  st.Reset();
}

bool ScanStore::IsOpen() const {
  return m_state->open;
}
int32_t ScanStore::RecordCount() const {
  return m_state->recordCount;
}
int32_t ScanStore::AppendedCount() const {
  return m_state->appendedCount;
}
const std::string& ScanStore::RecordPath() const {
  return m_state->recordPath;
}
const std::string& ScanStore::BaseName() const {
  return m_state->baseName;
}

}  // namespace engine::store
