// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace engine::store {

// A run of an item's data, in the unit of the engine that laid it out
// (clusters for FAT).
struct DataExtent {
  uint64_t first = 0;
  uint64_t count = 0;
};

// The layouts a store keeps for items whose data is not where their record
// alone says (a deleted file laid out over several fragments). Kept in the
// store's "_Layout" file, little-endian, one entry per item:
//   0 int32 id   4 uint32 extent count   8 extents: uint64 first, uint64 count
// A later entry of the same id replaces an earlier one. One thread at a time.
class LayoutTable {
 public:
  static constexpr size_t kHeaderBytes = 8;
  static constexpr size_t kExtentBytes = 16;
  // An entry with more extents than this is not kept (nor loaded).
  static constexpr uint32_t kMaxExtents = 1u << 16;

  void Set(int32_t id, std::vector<DataExtent> extents);
  // The extents of id, or null.
  const std::vector<DataExtent>* Find(int32_t id) const;
  void Clear();
  size_t Size() const { return m_layouts.size(); }

  // Entries set since the last call, serialised for appending to the file.
  std::vector<uint8_t> TakeUnwritten();
  // Loads whole entries from bytes (a cut or damaged tail is ignored).
  void LoadFrom(const uint8_t* bytes, size_t byteCount);

 private:
  std::unordered_map<int32_t, std::vector<DataExtent>> m_layouts;
  std::vector<int32_t> m_unwritten;
};

}  // namespace engine::store
