// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace engine::store {

inline constexpr size_t kFolderNameBytes = 260;

// One entry of a store's folder-name file: 268 bytes, packed, little-endian.
//   0  locator  int32   the folder's own locator (its key's low half)
//   4  id       int32   record number of the folder's record
//   8  name     char[260] UTF-8, zero-terminated
#pragma pack(push, 1)
struct FolderNameEntry {
  int32_t locator;
  int32_t id;
  char name[kFolderNameBytes];

  std::string_view Name() const;
};
#pragma pack(pop)

static_assert(sizeof(FolderNameEntry) == 268);
static_assert(offsetof(FolderNameEntry, locator) == 0);
static_assert(offsetof(FolderNameEntry, id) == 4);
static_assert(offsetof(FolderNameEntry, name) == 8);

inline constexpr size_t kFolderNameEntryBytes = sizeof(FolderNameEntry);

// The folder-name table of a store, in insertion order. Lookups by locator
// return the first entry added with that locator. Not thread-safe.
class FolderNameTable {
 public:
  // Appends {locator, id, name}; the name is cut on a character boundary so
  // that its terminator fits in the 260-byte field.
  void Add(int32_t locator, int32_t id, std::string_view name);
  // Replaces the table with the whole entries held in bytes (a partial last
  // entry is ignored). Names are read only up to their field's end.
  void LoadFrom(const uint8_t* bytes, size_t byteCount);
  void Clear();

  // First entry with this locator, or null. The pointer lives until the next Add/Load/Clear.
  const FolderNameEntry* FindByLocator(int32_t locator) const;

  size_t Size() const { return m_entries.size(); }
  const FolderNameEntry* Data() const { return m_entries.data(); }
  const FolderNameEntry& At(size_t index) const { return m_entries[index]; }

 private:
  void IndexFrom(size_t first) const;

  std::vector<FolderNameEntry> m_entries;
  // locator → position of its first entry; built lazily up to m_indexedCount.
  mutable std::unordered_map<int32_t, uint32_t> m_firstByLocator;
  mutable size_t m_indexedCount = 0;
};

}  // namespace engine::store
