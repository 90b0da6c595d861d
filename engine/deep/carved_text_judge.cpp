// SPDX-License-Identifier: GPL-3.0-or-later
// Carved text ends where its text ends, and text runs on from one file into
// the next (fragments of two files interleaved, a file written right after
// another). Where another engine found a file that begins inside a carved
// text, the text ran on into it: the carved file is damaged.
#include <algorithm>
#include <vector>

#include "engine/categories.h"
#include "engine/deep/professional_recovery.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/item_placement.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/signatures/text_content.h"
#include "engine/store/scan_store.h"

namespace engine::deep {

Status CProfessionalRecovery::JudgeCarvedText() {
  store::ScanStore* carved = m_carver.ResultStore();
  if (carved == nullptr || !carved->IsOpen() || carved->RecordCount() == 0) return kStatusOk;
  // Where every file the other engines found begins on the source.
  std::vector<uint64_t> starts;
  auto add = [&](store::ScanStore* st, SourceKind kind) {
    if (st == nullptr || !st->IsOpen()) return;
    const uint32_t unit = SectorBytesOf(static_cast<int32_t>(kind));
    (void)st->VisitRecords([&](const ItemRecord& item) {
      uint64_t first = 0;
      if (item.isFolder == 0 && FirstDataByteOf(item, unit, &first)) starts.push_back(first);
      return true;
    });
  };
  if (auto* fat = dynamic_cast<fat::CFastFatRecovery*>(m_fast.get())) add(fat->ResultStore(), SourceKind::kFastFat);
  if (auto* ntfs = dynamic_cast<ntfs::CFastNtfsRecovery*>(m_fast.get())) {
    add(ntfs->ResultStore(), SourceKind::kFastNtfs);
  }
  if (auto* exFat = dynamic_cast<exfat::CFastExFatRecovery*>(m_fast.get())) {
    add(exFat->ResultStore(), SourceKind::kFastExFat);
  }
  add(m_proFat.ResultStore(), SourceKind::kProfessionalFat);
  add(m_proNtfs.ResultStore(), SourceKind::kProfessionalNtfs);
  add(m_proExFat.ResultStore(), SourceKind::kProfessionalExFat);
  add(m_proExt4.ResultStore(), SourceKind::kProfessionalExt4);
  if (auto* ext = dynamic_cast<ext4::CFastExt4Recovery*>(m_fast.get())) add(ext->ResultStore(), SourceKind::kFastExt4);
  if (starts.empty()) return kStatusOk;
  std::sort(starts.begin(), starts.end());

  const uint32_t unit = SectorBytesOf(static_cast<int32_t>(SourceKind::kSignature));
  std::vector<int32_t> ranOn;
  const Status visited = carved->VisitRecords([&](const ItemRecord& item) {
    const uint64_t size = item.size;  // copies: the record's fields are not aligned
    uint64_t first = 0;
    if (item.isFolder != 0 || !IsIntact(item) || !signatures::IsTextNamedByContent(ExtensionOf(item.Name())) ||
        !FirstDataByteOf(item, unit, &first)) {
      return true;
    }
    const auto next = std::upper_bound(starts.begin(), starts.end(), first);
    const int32_t id = item.id;
    if (next != starts.end() && *next - first < size) ranOn.push_back(id);
    return true;
  });
  if (visited != kStatusOk) return visited;
  for (const int32_t id : ranOn) {
    ItemRecord record;
    if (Status s = carved->ReadRecord(id, &record); s != kStatusOk) return s;
    SetState(record, ItemState::kDamaged);
    if (Status s = carved->UpdateRecord(record); s != kStatusOk) return s;
  }
  return ranOn.empty() ? kStatusOk : carved->FlushStore();
}

}  // namespace engine::deep
