// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace engine::ntfs {

// Settles where the fast NTFS scan files its items, from the directory
// records the MFT pass met, without reading any record again.
//
// An item names its folder by a reference (record, sequence). The folder is
// the live (or deleted) directory of that record when the record still holds
// that incarnation; then the folder is filed under its own parent, and so on
// up to the root (record 5). Otherwise the item's folder is lost: when the
// record holds no directory any more, the placeholder "LostFolder<record>"
// (locator = the record); when the record now holds another directory (it
// was reused), a placeholder of the old incarnation (locator = the record
// with kLostIncarnation set), so the live folder keeps its own children.
// Placeholders sit directly under the root. A chain of folders that loops is
// cut where the loop closes: that folder is filed under the root.
//
// Every folder is settled once (depths and parents are remembered), so any
// nesting costs linear time. One thread at a time.
class FolderPlacement {
 public:
  static constexpr uint32_t kRootRecord = 5;
  static constexpr uint32_t kLostIncarnation = 0x80000000u;

  // The parts of a folder key: children of locator at depth.
  struct Key {
    uint32_t locator = kRootRecord;
    uint32_t depth = 0;
  };
  // A folder that leads to a placed item, with the key it is filed under.
  struct NeededFolder {
    uint32_t locator = 0;
    bool placeholder = false;  // a "LostFolder<record>" item, no record behind it
    Key parent;
  };

  void Clear();
  // Called by the pass for every directory record (base records, in use or
  // not), in any order; a record met twice keeps its last description.
  void AddDirectory(uint32_t record, uint16_t sequence, bool inUse, uint32_t parent, uint16_t parentSequence);

  // The key under which an item whose folder reference is (parent,
  // parentSequence) is filed. Marks every folder on its way as needed.
  Key PlaceChild(uint32_t parent, uint16_t parentSequence);

  // The folders needed so far, in the order they were first needed.
  const std::vector<NeededFolder>& Needed() const { return m_needed; }

 private:
  struct Directory {
    uint16_t sequence = 0;
    bool inUse = false;
    uint32_t parent = 0;
    uint16_t parentSequence = 0;
  };
  struct Settled {
    Key parent;      // where the folder itself is filed
    uint32_t depth;  // its own depth (its children's key depth)
  };

  // The key an item referencing (record, sequence) goes under, the
  // referenced folder itself settled (not yet marked needed).
  Key Resolve(uint32_t record, uint16_t sequence);
  // Settles the live folder `record` and every folder above it that is not
  // settled yet, without recursion.
  void Settle(uint32_t record);
  bool Matches(const Directory& d, uint16_t referenceSequence) const;
  void MarkNeeded(uint32_t locator, bool placeholder, Key parent);
  void MarkChainNeeded(uint32_t record);

  std::unordered_map<uint32_t, Directory> m_directories;
  std::unordered_map<uint32_t, Settled> m_settled;
  std::vector<NeededFolder> m_needed;
  std::unordered_set<uint32_t> m_neededSet;
};

}  // namespace engine::ntfs
