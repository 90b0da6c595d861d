// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/child_index.h"

#include <algorithm>

namespace engine::store {

FolderIndex& ChildIndex::Load() {
  m_cachedVector = nullptr;
  m_parentsValid = false;
  return m_index;
}

void ChildIndex::Clear() {
  m_index.clear();
  m_dirty = false;
  m_cachedVector = nullptr;
  m_parentsValid = false;
  m_parentKeys = {};
  m_parentOrdinalOfId = {};
}

void ChildIndex::Add(uint64_t key, int32_t id) {
  if (m_cachedVector == nullptr || m_cachedKey != key) {
    m_cachedVector = &m_index[key];
    m_cachedKey = key;
  }
  m_cachedVector->push_back(id);
  m_dirty = true;
  m_parentsValid = false;
}

const std::vector<int32_t>* ChildIndex::Children(uint64_t key) const {
  if (m_index.empty()) return nullptr;
  if (key == 0) return &m_index.begin()->second;
  auto it = m_index.find(key);
  return it == m_index.end() ? nullptr : &it->second;
}

void ChildIndex::BuildParents(int32_t maxId) {
  m_parentKeys.clear();
  m_parentOrdinalOfId.assign(static_cast<size_t>(std::max(maxId, 0)) + 1, 0);
  for (const auto& [key, ids] : m_index) {
    m_parentKeys.push_back(key);
    const auto ordinal = static_cast<uint32_t>(m_parentKeys.size());
    for (int32_t id : ids) {
      if (id >= 1 && static_cast<size_t>(id) < m_parentOrdinalOfId.size() && m_parentOrdinalOfId[id] == 0) {
        m_parentOrdinalOfId[id] = ordinal;
      }
    }
  }
  m_parentsValid = true;
}

bool ChildIndex::ParentKeyOf(int32_t id, int32_t maxId, uint64_t* key) {
  if (!m_parentsValid || m_parentOrdinalOfId.size() != static_cast<size_t>(std::max(maxId, 0)) + 1) {
    BuildParents(maxId);
  }
  if (id >= 1 && static_cast<size_t>(id) < m_parentOrdinalOfId.size()) {
    const uint32_t ordinal = m_parentOrdinalOfId[id];
    if (ordinal == 0) return false;
    *key = m_parentKeys[ordinal - 1];
    return true;
  }
  for (const auto& [k, ids] : m_index) {  // an id filed before its record was appended
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
      *key = k;
      return true;
    }
  }
  return false;
}

Status ChildIndex::Write(const std::function<Status(std::string_view)>& sink) {
  if (Status s = WriteRelationText(m_index, sink); s != kStatusOk) return s;
  m_dirty = false;
  return kStatusOk;
}

}  // namespace engine::store
