// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/status.h"
#include "engine/store/relation_file.h"

namespace engine::store {

// Which records are children of which folder: folder key → child ids in
// the order they were filed, as the relation file holds it, plus the
// reverse lookup (the key an id is filed under) that folder paths need.
// Kept in memory by the store; one thread at a time.
class ChildIndex {
 public:
  // The map, for loading from a relation file; marks the reverse lookup stale.
  FolderIndex& Load();
  void Clear();

  void Add(uint64_t key, int32_t id);
  // The ids filed under key; key 0 means the smallest key. Null when none.
  const std::vector<int32_t>* Children(uint64_t key) const;
  bool Empty() const { return m_index.empty(); }
  // The smallest key: the root's.
  uint64_t RootKey() const { return m_index.empty() ? 0 : m_index.begin()->first; }
  // The first key (in key order) that holds id. maxId bounds the lookup table.
  bool ParentKeyOf(int32_t id, int32_t maxId, uint64_t* key);

  bool IsDirty() const { return m_dirty; }
  // Writes the relation text through sink (see WriteRelationText); clean after success.
  [[nodiscard]] Status Write(const std::function<Status(std::string_view)>& sink);

 private:
  void BuildParents(int32_t maxId);

  FolderIndex m_index;
  bool m_dirty = false;
  uint64_t m_cachedKey = 0;
  std::vector<int32_t>* m_cachedVector = nullptr;
  // id → 1 + position of the first key holding it, built on demand.
  bool m_parentsValid = false;
  std::vector<uint64_t> m_parentKeys;
  std::vector<uint32_t> m_parentOrdinalOfId;
};

}  // namespace engine::store
