// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_record.h"
#include "engine/progress.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"
#include "platform/raw_file.h"

namespace engine::store {

// Folder key of a folder's children: (depth << 32) | locator.
inline uint64_t FolderKey(uint32_t depth, uint32_t locator) {
  return (static_cast<uint64_t>(depth) << 32) | locator;
}

// Log base name "<prefix><volumeStart>_<YYYYMMDDhhmm>" from the current
// local time, every date field padded with zeros, e.g. "Fast_2048_202612080909"
// (stores named by earlier versions, "Fast_2048_2026128 9", are found by
// their prefix all the same).
std::string MakeLogBaseName(const char* prefix, int64_t volumeStartSector);

inline constexpr const char* kFastLogPrefix = "Fast_";
inline constexpr const char* kProFatLogPrefix = "Pro_Fat_";
inline constexpr const char* kProNtfsLogPrefix = "Pro_Ntfs_";
inline constexpr const char* kFileTypeLogPrefix = "File_Type_";

// The scan-result store of one engine: the record file (346-byte records),
// the relation file (folder key → child ids, as text) and the folder-name
// file (268-byte entries), kept in a scan folder under ScanLog. Records are
// appended through a 200-record buffer; the folder index and the name table
// live in memory and are rewritten by FlushStore. One thread at a time.
class ScanStore {
 public:
  ScanStore();
  ~ScanStore();
  ScanStore(const ScanStore&) = delete;
  ScanStore& operator=(const ScanStore&) = delete;

  // Opens (creating when missing) the three files of baseName in the scan
  // index's current scan folder, or in scanFolder when given (ending in "/").
  // Loads the relation and folder-name files. Records already in the record
  // file stay readable and keep their numbers; new records follow them.
  // baseName must be a plain file name (87 otherwise).
  [[nodiscard]] Status OpenStore(const std::string& baseName, const std::string& scanFolder = {});
  // The same for a new scan: files an earlier scan left under this name (in
  // the same folder and minute) are removed first, so the store starts empty.
  [[nodiscard]] Status OpenFresh(const std::string& baseName, const std::string& scanFolder = {});
  // A 346-byte slot at the end of the write buffer (flushing it first when
  // full). Not cleared: the caller fills it and sets id = RecordCount().
  // Null without an open store or when ids are used up: the caller reports
  // that the store is full. A failed buffer write is reported by the next
  // FlushStore.
  ItemRecord* AppendRecord();
  // Files childId under (parentDepth << 32) | parentLocator; with a folder
  // name, also adds {childLocator, childId, name} to the folder-name table.
  void AddChild(uint32_t parentLocator, uint32_t parentDepth, int32_t childId, int32_t childLocator,
                const char* folderName);
  // Rewrites a record already appended (the one carrying record.id), for an
  // engine that learns more about an item after appending it. 87 when there
  // is no such record.
  [[nodiscard]] Status UpdateRecord(const ItemRecord& record);
  // Keeps the layout of an item's data (see LayoutTable) in the store's
  // "_Layout" file; Layout returns it, or null when the item has none.
  void SetLayout(int32_t id, std::vector<DataExtent> extents);
  const std::vector<DataExtent>* Layout(int32_t id) const;
  // Writes the buffered records, then the relation and folder-name files
  // (only when they changed). Returns the first write error, or one kept from
  // a failed buffer write in AppendRecord.
  [[nodiscard]] Status FlushStore();

  // Appends the children of key (0: the smallest key) and sorts out in child
  // order. Damaged photos and ids with no whole record behind them are
  // skipped; a failing read returns its status with what was gathered.
  // Without an open store: 6.
  [[nodiscard]] Status ListChildren(uint64_t key, std::vector<ItemRecord>& out);
  // Files in the subtree of key, breadth-first over folder keys; each key is
  // walked once; hidden damaged photos are not counted, as they are not
  // listed. A failing read ends that folder and becomes the result.
  [[nodiscard]] Status CountFiles(uint64_t key, int32_t* outCount);
  // Ancestors of item, nearest first. 87 when a parent cannot be resolved.
  [[nodiscard]] Status FindFolderPath(const ItemRecord& item, std::vector<ItemRecord>& out);
  // Ancestors' names from the outermost down, each followed by "\"; empty
  // at the root. 0 also when a parent cannot be resolved (out then holds the
  // names found).
  [[nodiscard]] Status GetItemPath(const ItemRecord& item, std::string& out);
  // Files whose extension the pattern selects (see categories), read through
  // the store's own record file (never reopened by path); returns 1, or 0
  // when the store is not open, cannot be written out first or its records
  // cannot all be read back (out then holds what was read).
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out);
  void SetSearchCallback(SearchProgressFn fn, void* userData);
  // Reads record id (1-based), from the record file or the write buffer.
  // 87 when no whole record carrying that number is there.
  [[nodiscard]] Status ReadRecord(int32_t id, ItemRecord* out);
  // Hands every record, in id order, to visit (read in runs, never all at
  // once); visit returns false to stop. Writes the buffer out first. The
  // first read error ends the walk and is returned; 6 without an open store.
  [[nodiscard]] Status VisitRecords(const std::function<bool(const ItemRecord&)>& visit);
  // Writes everything out and closes; the first write error, else 0.
  Status CloseStore();

  // Keeps a few counts beside the store (a hidden file ".<base name>_<name>",
  // so no one looking for the store's files by their names takes it for one),
  // for a later run that opens the kept store; ReadCounts gives them back
  // (false when none were kept under name or fewer than count).
  [[nodiscard]] Status KeepCounts(std::string_view name, const std::vector<uint64_t>& counts) const;
  bool ReadCounts(std::string_view name, size_t count, std::vector<uint64_t>* out) const;
  // The name under which a scan keeps how many parts of the file system it
  // could not read, so that a run reusing its result still says so.
  static constexpr std::string_view kUnreadableName = "Unreadable";

  bool IsOpen() const;
  // Records in the store: the whole records the record file held at
  // OpenStore plus those appended since; the last appended record's id.
  int32_t RecordCount() const;
  int32_t AppendedCount() const;  // records appended since OpenStore
  const std::string& RecordPath() const;
  const std::string& BaseName() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace engine::store
