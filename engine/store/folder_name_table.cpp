// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/folder_name_table.h"

#include <cstring>

#include "platform/utf.h"

namespace engine::store {

std::string_view FolderNameEntry::Name() const {
  return {name, strnlen(name, kFolderNameBytes)};
}

void FolderNameTable::Add(int32_t locator, int32_t id, std::string_view name) {
  FolderNameEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.locator = locator;
  entry.id = id;
  platform::CopyUtf8Truncated(name, entry.name, sizeof entry.name);
  m_entries.push_back(entry);
}

void FolderNameTable::LoadFrom(const uint8_t* bytes, size_t byteCount) {
  Clear();
  size_t count = bytes == nullptr ? 0 : byteCount / kFolderNameEntryBytes;
  m_entries.resize(count);
  if (count > 0) std::memcpy(m_entries.data(), bytes, count * kFolderNameEntryBytes);
}

void FolderNameTable::Clear() {
  m_entries.clear();
  m_entries.shrink_to_fit();
  m_firstByLocator.clear();
  m_indexedCount = 0;
}

void FolderNameTable::IndexFrom(size_t first) const {
  for (size_t i = first; i < m_entries.size(); ++i) {
    const int32_t locator = m_entries[i].locator;  // packed field: copied, never bound to a reference
    m_firstByLocator.emplace(locator, static_cast<uint32_t>(i));
  }
  m_indexedCount = m_entries.size();
}

const FolderNameEntry* FolderNameTable::FindByLocator(int32_t locator) const {
  if (m_indexedCount != m_entries.size()) IndexFrom(m_indexedCount);
  auto it = m_firstByLocator.find(locator);
  return it == m_firstByLocator.end() ? nullptr : &m_entries[it->second];
}

}  // namespace engine::store
