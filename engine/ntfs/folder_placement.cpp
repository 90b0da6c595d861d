// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/folder_placement.h"

#include <algorithm>

namespace engine::ntfs {

void FolderPlacement::Clear() {
  m_directories.clear();
  m_settled.clear();
  m_needed.clear();
  m_neededSet.clear();
}

void FolderPlacement::AddDirectory(uint32_t record, uint16_t sequence, bool inUse, uint32_t parent,
                                   uint16_t parentSequence) {
  if (record == kRootRecord || (record & kLostIncarnation) != 0) return;
  m_directories[record] = Directory{sequence, inUse, parent, parentSequence};
}

bool FolderPlacement::Matches(const Directory& d, uint16_t referenceSequence) const {
  if (referenceSequence == 0 || d.sequence == referenceSequence) return true;
  if (d.inUse) return false;
  // Freeing a record raises its sequence number (0 is skipped when it wraps).
  uint16_t next = static_cast<uint16_t>(referenceSequence + 1);
  if (next == 0) next = 1;
  return d.sequence == next;
}

FolderPlacement::Key FolderPlacement::Resolve(uint32_t record, uint16_t sequence) {
  if (record == kRootRecord) return Key{kRootRecord, 0};
  if ((record & kLostIncarnation) != 0) return Key{record, 1};  // no such record: treated as lost
  auto it = m_directories.find(record);
  if (it == m_directories.end()) return Key{record, 1};
  if (!Matches(it->second, sequence)) return Key{record | kLostIncarnation, 1};
  Settle(record);
  return Key{record, m_settled[record].depth};
}

void FolderPlacement::Settle(uint32_t record) {
  if (m_settled.count(record) != 0) return;
  // Walk up to the first folder whose place is known (or the root, or a
  // lost folder), then settle the chain from the top down.
  std::vector<uint32_t> chain;
  std::unordered_set<uint32_t> onChain;
  Key top{kRootRecord, 0};
  uint32_t current = record;
  for (;;) {
    chain.push_back(current);
    onChain.insert(current);
    const Directory& d = m_directories.at(current);
    const uint32_t parent = d.parent;
    if (parent == kRootRecord || parent == current) break;
    if (onChain.count(parent) != 0) break;  // a loop: the folder goes under the root
    if (auto settled = m_settled.find(parent); settled != m_settled.end()) {
      top = Key{parent, settled->second.depth};
      break;
    }
    auto above = m_directories.find(parent);
    if (above == m_directories.end()) {
      top = Key{parent, 1};
      break;
    }
    if (!Matches(above->second, d.parentSequence)) {
      top = Key{parent | kLostIncarnation, 1};
      break;
    }
    current = parent;
  }
  Key parentKey = top;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const uint32_t depth = parentKey.depth + 1;
    m_settled[*it] = Settled{parentKey, depth};
    parentKey = Key{*it, depth};
  }
}

void FolderPlacement::MarkNeeded(uint32_t locator, bool placeholder, Key parent) {
  if (!m_neededSet.insert(locator).second) return;
  m_needed.push_back(NeededFolder{locator, placeholder, parent});
}

void FolderPlacement::MarkChainNeeded(uint32_t record) {
  uint32_t current = record;
  for (;;) {
    if (m_neededSet.count(current) != 0) return;
    auto settled = m_settled.find(current);
    if (settled == m_settled.end()) return;
    const Key parent = settled->second.parent;
    MarkNeeded(current, false, parent);
    if (parent.locator == kRootRecord && parent.depth == 0) return;
    if (parent.depth == 1 && m_settled.count(parent.locator) == 0) {
      MarkNeeded(parent.locator, true, Key{kRootRecord, 0});  // a lost folder at the top of the chain
      return;
    }
    current = parent.locator;
  }
}

FolderPlacement::Key FolderPlacement::PlaceChild(uint32_t parent, uint16_t parentSequence) {
  const Key key = Resolve(parent, parentSequence);
  if (key.locator == kRootRecord && key.depth == 0) return key;
  if (m_settled.count(key.locator) != 0 && (key.locator & kLostIncarnation) == 0) {
    MarkChainNeeded(key.locator);
  } else {
    MarkNeeded(key.locator, true, Key{kRootRecord, 0});
  }
  return key;
}

}  // namespace engine::ntfs
