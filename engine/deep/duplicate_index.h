// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/item_record.h"

namespace engine::deep {

// The kind of data an extension names, so that the names one file gets from
// different engines compare equal: "jpeg", "jpe" and a camera's "thm"
// thumbnail are "jpg"; "mpeg" is "mpg"; "m4a", "m4v", "mov" and "3gp" are
// "mp4" (one container); camera raw formats built on TIFF are "tif"; office
// documents are their container (OLE or zip). Other extensions stand for
// themselves (case-insensitive).
uint32_t ExtensionFamily(std::string_view extension);

// Finds the files that more than one engine of a deep scan found and keeps
// the one that knows most. Files are matched by where their data begins on
// the source (FirstDataByteOf) and the family of their extension: two files
// of one family whose data begins at one byte are one file. Of a fast
// engine's file (its name, folder and chain come from the intact file
// system), a professional engine's (name, perhaps a folder) and a carved one
// (neither), the better is kept; a professional engine's file yields to a
// fast engine's only when their sizes agree too (a recycled directory entry
// may name a different file), and a carved file yields only to an intact
// file of the same size within one cluster (a stale entry whose first
// cluster now holds the start of another file never hides that file).
// Files found by one engine are never merged.
//
// Memory: 40 bytes per file with a known start until Settle, then one id per
// hidden file.
class DuplicateIndex {
 public:
  void Clear();
  // A file and where its data begins.
  void Add(const ItemRecord& item, uint64_t firstByte);
  // Decides which files are hidden; the files added are forgotten.
  void Settle();

  bool IsHidden(int32_t sourceKind, int32_t id) const;
  // Hidden files of one engine, and of all.
  uint64_t HiddenCount(int32_t sourceKind) const;
  uint64_t HiddenCount() const;

 private:
  struct Entry {
    uint64_t firstByte = 0;
    uint64_t size = 0;
    uint32_t family = 0;
    int32_t id = 0;
    uint32_t clusterBytes = 0;  // the unit its data is kept in (at least a sector)
    uint8_t kind = 0;
    uint8_t rank = 0;
    bool intact = false;
    bool namedByLook = false;  // carved text: its extension is a guess from its content
  };
  static constexpr int32_t kKinds = 9;  // every SourceKind

  std::vector<Entry> m_entries;
  std::unordered_set<int32_t> m_hidden[kKinds];
};

}  // namespace engine::deep
