// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace engine {

// Which engine produced an item; per-item operations dispatch on it.
enum class SourceKind : int32_t {
  kFastNtfs = 0,
  kFastFat = 1,
  kProfessionalNtfs = 2,
  kProfessionalFat = 3,
  kSignature = 4,
  kFastExFat = 5,
  kProfessionalExFat = 6,
  kFastExt4 = 7,
  kProfessionalExt4 = 8,
};

inline constexpr size_t kItemNameBytes = 260;

// One found file or folder: 346 bytes, packed, little-endian. The same bytes
// are the unit of the result store's record file, of every result list and of
// every per-item request. Plain value; copy freely.
#pragma pack(push, 1)
struct ItemRecord {
  uint16_t driveLetter;  // 0   session letter of the source, 0 for none
  int32_t sourceKind;    // 2   SourceKind
  int32_t isFolder;      // 6   1 folder, 0 file
  int32_t isDeleted;     // 10  entry deleted or inside a deleted folder
  int32_t isIntact;      // 14  ItemState: 1 intact, 0 damaged, 2 overwritten
  int32_t id;            // 18  1-based record number in the record file
  int32_t locator;       // 22  engine key: FAT start cluster, MFT record number, 0
  int32_t clusterBytes;  // 26  bytes per cluster, -1 when not cluster based
  uint64_t created;      // 30  FILETIME
  uint64_t accessed;     // 38  FILETIME
  uint64_t modified;     // 46  FILETIME
  uint64_t size;         // 54  data size in bytes
  // The three sector fields count sectors of the volume's own size (its boot
  // sector's bytes per sector): volumeStartSector is the volume's start
  // offset divided by that size; entrySector is absolute in the same unit.
  uint64_t dataStartSector;    // 62  FAT: data area start relative to the volume; NTFS, ext4: first data sector
                               //     relative to the volume (0: resident, sparse or not known)
  uint64_t entrySector;        // 70  absolute sector of the entry or record (carved: first data sector)
  uint64_t volumeStartSector;  // 78  absolute first sector of the volume
  char name[kItemNameBytes];   // 86  UTF-8, zero-terminated

  std::string_view Name() const { return {name, strnlen(name, kItemNameBytes)}; }
};
#pragma pack(pop)

static_assert(sizeof(ItemRecord) == 346);
static_assert(offsetof(ItemRecord, sourceKind) == 2);
static_assert(offsetof(ItemRecord, isFolder) == 6);
static_assert(offsetof(ItemRecord, isDeleted) == 10);
static_assert(offsetof(ItemRecord, isIntact) == 14);
static_assert(offsetof(ItemRecord, id) == 18);
static_assert(offsetof(ItemRecord, locator) == 22);
static_assert(offsetof(ItemRecord, clusterBytes) == 26);
static_assert(offsetof(ItemRecord, created) == 30);
static_assert(offsetof(ItemRecord, accessed) == 38);
static_assert(offsetof(ItemRecord, modified) == 46);
static_assert(offsetof(ItemRecord, size) == 54);
static_assert(offsetof(ItemRecord, dataStartSector) == 62);
static_assert(offsetof(ItemRecord, entrySector) == 70);
static_assert(offsetof(ItemRecord, volumeStartSector) == 78);
static_assert(offsetof(ItemRecord, name) == 86);

inline constexpr size_t kItemRecordBytes = sizeof(ItemRecord);

// What a found file's data is worth, kept in the record's isIntact field.
//   kIntact: the data is the file's own, as far as anything read can tell.
//   kDamaged: the data cannot be trusted (its structure breaks, its layout
//     is a guess, it would lie outside the volume); damaged photos are left
//     out of listings.
//   kOverwritten: clusters or sectors the data is read from belong to a live
//     file of the volume now: the bytes there are (at least in part) that
//     file's. Listed, never intact; a copy is still made when asked.
enum class ItemState : int32_t { kDamaged = 0, kIntact = 1, kOverwritten = 2 };

// The state a record holds; a value of no state (a damaged store) is damaged.
inline ItemState StateOf(const ItemRecord& record) {
  const int32_t v = record.isIntact;
  return v == 1 ? ItemState::kIntact : v == 2 ? ItemState::kOverwritten : ItemState::kDamaged;
}
inline bool IsIntact(const ItemRecord& record) { return StateOf(record) == ItemState::kIntact; }
inline void SetState(ItemRecord& record, ItemState state) { record.isIntact = static_cast<int32_t>(state); }
// The less trustworthy of two states: overwritten, then damaged, then intact.
inline ItemState WorseState(ItemState a, ItemState b) {
  auto rank = [](ItemState s) { return s == ItemState::kOverwritten ? 2 : s == ItemState::kDamaged ? 1 : 0; };
  return rank(a) >= rank(b) ? a : b;
}
// "intact", "damaged" or "overwritten": the word of the JSON listing.
const char* StateWord(ItemState state);

// A record with every byte zero.
inline ItemRecord ZeroRecord() {
  ItemRecord r;
  std::memset(&r, 0, sizeof r);
  return r;
}

// Copies a UTF-8 name into the record. A name too long for the field is cut
// on a character boundary before its extension, which is kept (up to 32
// bytes of it), so the file's kind survives.
void SetItemName(ItemRecord& record, std::string_view name);

}  // namespace engine
