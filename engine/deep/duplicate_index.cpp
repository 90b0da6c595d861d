// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/duplicate_index.h"

#include <algorithm>
#include <array>
#include <string>

#include "engine/categories.h"
#include "engine/hash64.h"

namespace engine::deep {
namespace {

struct FamilyRow {
  std::string_view extension;
  uint32_t family;
};

enum : uint32_t { kJpeg = 1, kMpeg, kMp4, kTiff, kOle, kZip, kHtml, kMatroska, kOgg, kMidi, kAiff };

constexpr std::array kFamilies = {
    FamilyRow{"jpg", kJpeg},     FamilyRow{"jpeg", kJpeg}, FamilyRow{"jpe", kJpeg},     FamilyRow{"jfif", kJpeg},
    FamilyRow{"thm", kJpeg},     FamilyRow{"mpg", kMpeg},  FamilyRow{"mpeg", kMpeg},    FamilyRow{"mpe", kMpeg},
    FamilyRow{"m1v", kMpeg},     FamilyRow{"m2v", kMpeg},  FamilyRow{"vob", kMpeg},     FamilyRow{"mp4", kMp4},
    FamilyRow{"m4a", kMp4},      FamilyRow{"m4v", kMp4},   FamilyRow{"m4b", kMp4},      FamilyRow{"mov", kMp4},
    FamilyRow{"qt", kMp4},       FamilyRow{"3gp", kMp4},   FamilyRow{"3g2", kMp4},      FamilyRow{"tif", kTiff},
    FamilyRow{"tiff", kTiff},    FamilyRow{"cr2", kTiff},  FamilyRow{"nef", kTiff},     FamilyRow{"nrw", kTiff},
    FamilyRow{"arw", kTiff},     FamilyRow{"sr2", kTiff},  FamilyRow{"srf", kTiff},     FamilyRow{"dng", kTiff},
    FamilyRow{"orf", kTiff},     FamilyRow{"pef", kTiff},  FamilyRow{"rw2", kTiff},     FamilyRow{"raw", kTiff},
    FamilyRow{"kdc", kTiff},     FamilyRow{"dcr", kTiff},  FamilyRow{"mos", kTiff},     FamilyRow{"3fr", kTiff},
    FamilyRow{"erf", kTiff},     FamilyRow{"srw", kTiff},  FamilyRow{"doc", kOle},      FamilyRow{"dot", kOle},
    FamilyRow{"xls", kOle},      FamilyRow{"xlt", kOle},   FamilyRow{"ppt", kOle},      FamilyRow{"pps", kOle},
    FamilyRow{"pot", kOle},      FamilyRow{"msg", kOle},   FamilyRow{"msi", kOle},      FamilyRow{"vsd", kOle},
    FamilyRow{"pub", kOle},      FamilyRow{"ole", kOle},   FamilyRow{"wps", kOle},      FamilyRow{"zip", kZip},
    FamilyRow{"docx", kZip},     FamilyRow{"docm", kZip},  FamilyRow{"dotx", kZip},     FamilyRow{"xlsx", kZip},
    FamilyRow{"xlsm", kZip},     FamilyRow{"pptx", kZip},  FamilyRow{"ppsx", kZip},     FamilyRow{"odt", kZip},
    FamilyRow{"ods", kZip},      FamilyRow{"odp", kZip},   FamilyRow{"odg", kZip},      FamilyRow{"jar", kZip},
    FamilyRow{"apk", kZip},      FamilyRow{"epub", kZip},  FamilyRow{"kmz", kZip},      FamilyRow{"xps", kZip},
    FamilyRow{"htm", kHtml},     FamilyRow{"html", kHtml}, FamilyRow{"mkv", kMatroska}, FamilyRow{"webm", kMatroska},
    FamilyRow{"mka", kMatroska}, FamilyRow{"ogg", kOgg},   FamilyRow{"oga", kOgg},      FamilyRow{"ogv", kOgg},
    FamilyRow{"opus", kOgg},     FamilyRow{"mid", kMidi},  FamilyRow{"midi", kMidi},    FamilyRow{"aif", kAiff},
    FamilyRow{"aiff", kAiff},
};

// What an engine knows about a file beyond its data: the more, the better.
uint8_t RankOf(int32_t sourceKind) {
  switch (static_cast<SourceKind>(sourceKind)) {
    case SourceKind::kFastNtfs:
    case SourceKind::kFastFat:
    case SourceKind::kFastExFat:
    case SourceKind::kFastExt4: return 3;
    case SourceKind::kProfessionalNtfs:
    case SourceKind::kProfessionalFat:
    case SourceKind::kProfessionalExFat:
    case SourceKind::kProfessionalExt4: return 2;
    default: return 1;
  }
}

// The extensions carved text is named by: a guess from the content (a C
// header reads as C, a file without an extension as text).
bool IsTextLook(std::string_view extension) {
  static constexpr std::string_view kLooks[] = {"txt", "sh",   "py",  "pl",   "c",   "cpp", "java",
                                                "js",  "json", "xml", "html", "csv", "ini"};
  return std::find(std::begin(kLooks), std::end(kLooks), extension) != std::end(kLooks);
}

}  // namespace

uint32_t ExtensionFamily(std::string_view extension) {
  std::string lower(extension.substr(0, 16));
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  for (const FamilyRow& row : kFamilies) {
    if (row.extension == lower) return row.family;
  }
  Hash64 hash;
  hash.Update(reinterpret_cast<const uint8_t*>(lower.data()), lower.size());
  return static_cast<uint32_t>(hash.Value()) | 0x80000000u;  // never one of the families above
}

void DuplicateIndex::Clear() {
  m_entries.clear();
  for (auto& hidden : m_hidden) hidden.clear();
}

void DuplicateIndex::Add(const ItemRecord& item, uint64_t firstByte) {
  const int32_t kind = item.sourceKind;
  if (kind < 0 || kind >= kKinds || item.isFolder != 0) return;
  const std::string_view name = item.Name();
  // A damaged photo is hidden by its own store already: it keeps nothing else out.
  if (StateOf(item) == ItemState::kDamaged && IsPhotoName(name)) return;
  const size_t dot = name.rfind('.');
  Entry e;
  e.firstByte = firstByte;
  e.size = item.size;
  const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  e.family = ExtensionFamily(extension);
  e.namedByLook = kind == static_cast<int32_t>(SourceKind::kSignature) && IsTextLook(extension);
  e.id = item.id;
  const int32_t clusterBytes = item.clusterBytes;
  e.clusterBytes = static_cast<uint32_t>(std::max(clusterBytes, 512));
  e.kind = static_cast<uint8_t>(kind);
  e.rank = RankOf(kind);
  e.intact = IsIntact(item);
  m_entries.push_back(e);
}

void DuplicateIndex::Settle() {
  std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
    if (a.firstByte != b.firstByte) return a.firstByte < b.firstByte;
    if (a.family != b.family) return a.family < b.family;
    return a.rank > b.rank;
  });
  for (size_t i = 0; i < m_entries.size();) {
    size_t end = i + 1;
    while (end < m_entries.size() && m_entries[end].firstByte == m_entries[i].firstByte) ++end;
    // [i, end): one start, by family, best rank first in each. Carved text
    // is named by a guess: another family's file is the same one when it is
    // intact and exactly as long (a header, a name without an extension).
    for (size_t k = i; k < end; ++k) {
      const Entry& x = m_entries[k];
      for (size_t j = i; j < end; ++j) {
        const Entry& better = m_entries[j];
        if (better.rank <= x.rank) continue;
        const uint64_t apart = x.size > better.size ? x.size - better.size : better.size - x.size;
        const bool sameFile = better.family != x.family ? x.namedByLook && better.intact && x.size == better.size
                              : x.rank == 1             ? better.intact && apart < better.clusterBytes
                                                        : x.size == better.size;
        if (sameFile) {
          m_hidden[x.kind].insert(x.id);
          break;
        }
      }
    }
    i = end;
  }
  m_entries.clear();
  m_entries.shrink_to_fit();
}

bool DuplicateIndex::IsHidden(int32_t sourceKind, int32_t id) const {
  return sourceKind >= 0 && sourceKind < kKinds && m_hidden[sourceKind].count(id) != 0;
}

uint64_t DuplicateIndex::HiddenCount(int32_t sourceKind) const {
  return sourceKind >= 0 && sourceKind < kKinds ? m_hidden[sourceKind].size() : 0;
}

uint64_t DuplicateIndex::HiddenCount() const {
  uint64_t total = 0;
  for (const auto& hidden : m_hidden) total += hidden.size();
  return total;
}

}  // namespace engine::deep
