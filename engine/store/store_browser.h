// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/item_record.h"
#include "engine/progress.h"
#include "engine/status.h"
#include "engine/store/scan_store.h"

namespace engine::store {

// The browsing operations of IFileRecoveryParse answered from an engine's
// store, the same way for every engine: ListChildren, CountFiles,
// GetItemCount, GetItemPath, SetSearchCallback and Search. A null folder
// with depth 0 is the root (rootKey); a null folder with another depth, a
// negative depth, or any browsing before a store was opened is 87 (0 for
// GetItemCount and Search). Everything appended so far is flushed first.
// Owns the store. One thread at a time.
class StoreBrowser {
 public:
  explicit StoreBrowser(uint64_t rootKey = 0) : m_rootKey(rootKey) {}

  // Replaces the store with a new, closed one (the search callback carries
  // over) and returns it for the engine to open and fill.
  ScanStore& NewStore();
  // The store, or null before NewStore.
  ScanStore* Store() { return m_store.get(); }
  void SetRootKey(uint64_t rootKey) { m_rootKey = rootKey; }
  uint64_t RootKey() const { return m_rootKey; }

  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out);
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount);
  uint64_t GetItemCount() const;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out);
  Status SetSearchCallback(SearchProgressFn fn, void* userData);
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out);

 private:
  // The key of folder at depth, after the checks above; 0 or 87.
  [[nodiscard]] Status KeyOf(const ItemRecord* folder, int32_t depth, uint64_t* key);

  uint64_t m_rootKey;
  std::unique_ptr<ScanStore> m_store;
  SearchProgressFn m_searchFn = nullptr;
  void* m_searchUserData = nullptr;
};

}  // namespace engine::store
