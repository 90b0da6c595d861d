// SPDX-License-Identifier: GPL-3.0-or-later
// The search for deleted files written in pieces: on the fixtures with such
// files and on the public FAT and exFAT images (../shared/testdata, when it
// is there), the deleted files with data that come back intact and
// reassembled without the search (fast mode) and with it (deep mode), and
// the time each search took against its bounds. The same for a formatted
// card through the professional FAT engine (every directory sector of the
// image handed to it, as a deep scan does), without and with its search.
// Work files go to $QM_BENCH_DIR (default /tmp/quellmoor_fragment_bench).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "engine/store/scan_index.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Counts {
  int files = 0;  // deleted files with data
  int intact = 0;
  int reassembled = 0;  // intact and put together from pieces
  double seconds = 0;
  std::vector<engine::cluster::FragmentSearchStats> searches;
};

template <typename Engine>
bool Scan(const std::string& image, bool search, Counts* out) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return false;
  Engine e;
  if (e.OpenImage(image, 'F') != engine::kStatusOk) return false;
  if (search) e.SearchFragments(engine::cluster::FragmentBounds{});
  const auto start = Clock::now();
  if (e.Scan(nullptr) != engine::kStatusOk) return false;
  out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out->searches = e.FragmentSearches();
  engine::store::ScanStore* st = e.ResultStore();
  for (int32_t id = 1; st != nullptr && id <= st->RecordCount(); ++id) {
    engine::ItemRecord r{};
    if (st->ReadRecord(id, &r) != engine::kStatusOk || r.isFolder != 0 || r.isDeleted == 0 || r.size == 0) continue;
    ++out->files;
    if (!engine::IsIntact(r)) continue;
    ++out->intact;
    out->reassembled += e.Reassembled(r) ? 1 : 0;
  }
  return true;
}

// How a fixture is scanned: by a fast engine, or as a formatted card.
enum class Formatted { kNo, kFat, kExFat };

// Counts the files with data a professional engine wrote to its store.
template <typename Engine>
void CountStore(Engine& e, Counts* out) {
  engine::store::ScanStore* st = e.ResultStore();
  for (int32_t id = 1; st != nullptr && id <= st->RecordCount(); ++id) {
    engine::ItemRecord r{};
    if (st->ReadRecord(id, &r) != engine::kStatusOk || r.isFolder != 0 || r.size == 0) continue;
    ++out->files;
    if (!engine::IsIntact(r)) continue;
    ++out->intact;
    out->reassembled += e.Reassembled(r) ? 1 : 0;
  }
}

// Hands every 512-byte sector of image to feed(sector bytes, bytes readable from it, number).
template <typename Feed>
void FeedSectors(const std::string& image, const Feed& feed) {
  std::ifstream in(image, std::ios::binary);
  std::vector<char> chunk(size_t{1} << 20);
  uint64_t sector = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    for (size_t at = 0; at + 512 <= got; at += 512, ++sector) {
      feed(reinterpret_cast<const uint8_t*>(chunk.data() + at), got - at, sector);
    }
  }
}

// The professional FAT or exFAT engine over a formatted card, searched or not.
bool ScanFormatted(const std::string& image, bool exfat, bool search, Counts* out) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return false;
  const auto start = Clock::now();
  if (exfat) {
    engine::exfat::CProfessionalExFatRecovery e;
    if (e.OpenImage(image, 'F') != engine::kStatusOk || e.BeginExFatScan(nullptr) != engine::kStatusOk) return false;
    (void)e.PrepareExFatGeometry();
    e.SetPieceSearch(search);
    FeedSectors(image, [&](const uint8_t* s, size_t rest, uint64_t sector) {
      if (engine::exfat::IsExFatDirectorySector(s, rest, 512)) e.HandleExFatDirectorySector(s, rest, sector);
    });
    if (e.FinishExFatScan() != engine::kStatusOk) return false;
    out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out->searches = e.PieceSearches();
    CountStore(e, out);
    return true;
  }
  engine::fat::CProfessionalFatRecovery fat;
  if (fat.OpenImage(image, 'F') != engine::kStatusOk || fat.BeginFatScan(nullptr) != engine::kStatusOk) return false;
  (void)fat.PrepareFatGeometry();
  fat.SetPieceSearch(search);
  FeedSectors(image, [&](const uint8_t* s, size_t, uint64_t sector) {
    if (engine::IsDirectoryStart(s, 512)) {
      fat.HandleDirectoryStart(s, 512, sector);
    } else if (engine::IsDirectorySector(s, 512)) {
      fat.HandleDirectorySector(s, 512, sector);
    }
  });
  if (fat.FinishFatScan() != engine::kStatusOk) return false;
  out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out->searches = fat.PieceSearches();
  CountStore(fat, out);
  return true;
}

std::string Unpacked(const std::string& gz, const std::string& dir) {
  const std::string name = fs::path(gz).filename().string();
  const std::string out = dir + name.substr(0, name.size() - 3);
  if (fs::exists(out)) return out;
  const std::string command = "gzip -dc '" + gz + "' > '" + out + ".tmp' && mv '" + out + ".tmp' '" + out + "'";
  if (std::system(command.c_str()) != 0) return {};
  return out;
}

void Report(const std::string& label, const Counts& before, const Counts& after) {
  double total = 0;
  double longest = 0;
  uint32_t decodes = 0;
  int bounded = 0;
  int ambiguous = 0;
  for (const auto& s : after.searches) {
    const double ms = static_cast<double>(s.spent.count()) / 1000.0;
    total += ms;
    longest = std::max(longest, ms);
    decodes = std::max(decodes, s.decodes);
    bounded += s.boundReached ? 1 : 0;
    ambiguous += s.ambiguous ? 1 : 0;
  }
  const size_t n = after.searches.size();
  std::printf("%-28s %5d %6d/%-6d %6d/%-6d %8zu %9.1f %9.1f %8u %5d %5d %7.2f %7.2f\n", label.c_str(), after.files,
              before.intact, after.intact, before.reassembled, after.reassembled, n, n != 0 ? total / n : 0.0,
              longest, decodes, bounded, ambiguous, before.seconds, after.seconds);
}

template <typename Engine>
void Measure(const std::string& gz, const std::string& dir, const std::string& label,
             Formatted formatted = Formatted::kNo) {
  if (!fs::exists(gz)) return;
  const std::string image = Unpacked(gz, dir);
  Counts before;
  Counts after;
  auto scan = [&](bool search, Counts* out) {
    if (formatted == Formatted::kNo) return Scan<Engine>(image, search, out);
    return ScanFormatted(image, formatted == Formatted::kExFat, search, out);
  };
  if (image.empty() || !scan(false, &before) || !scan(true, &after)) {
    std::printf("%-28s (does not scan)\n", label.c_str());
    return;
  }
  Report(label, before, after);
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_fragment_bench") + "/";
  fs::create_directories(dir);
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
  engine::store::ScanIndex::Instance().Load();
  const engine::cluster::FragmentBounds bounds;
  std::printf("bounds per file: %u decodes, %u framing checks, %llu clusters looked at per piece, %lld ms; "
              "per volume %lld ms; %u pieces\n",
              bounds.maxDecodes, bounds.maxQuickChecks, static_cast<unsigned long long>(bounds.maxCandidates),
              static_cast<long long>(bounds.budget.count()), static_cast<long long>(bounds.volumeBudget.count()),
              bounds.maxPieces);
  std::printf("%-28s %5s %13s %13s %8s %9s %9s %8s %5s %5s %7s %7s\n", "volume", "files", "intact b/a",
              "reassem. b/a", "searches", "ms/search", "ms max", "decodes", "bound", "ambig", "scan b", "scan a");
  const std::string fixtures = std::string(QUELLMOOR_SOURCE_DIR) + "/tests/fixtures/";
  for (const char* name : {"fragmented_fat", "fat_holes", "fat_fragments", "fat16_quick", "fat32_quick"}) {
    Measure<engine::fat::CFastFatRecovery>(fixtures + name + ".img.gz", dir, name);
  }
  // Formatted cards: every file with data the old directories list (the professional FAT engine).
  for (const char* name : {"fragmented_fat_formatted", "camera_fat_seq", "fat32_quick"}) {
    Measure<engine::fat::CFastFatRecovery>(fixtures + name + ".img.gz", dir, std::string("pro ") + name,
                                           Formatted::kFat);
  }
  for (const char* name : {"fragmented_exfat_formatted", "exfat_formatted", "camera_exfat_4k"}) {
    Measure<engine::fat::CFastFatRecovery>(fixtures + name + ".img.gz", dir, std::string("pro ") + name,
                                           Formatted::kExFat);
  }
  for (const char* name : {"exfat_4k", "exfat_32k", "exfat_reused"}) {
    Measure<engine::exfat::CFastExFatRecovery>(fixtures + name + ".img.gz", dir, name);
  }
  const std::string shared = std::string(QUELLMOOR_SOURCE_DIR) + "/../shared/testdata/";
  if (!fs::exists(shared)) {
    std::printf("(no %s: the public images are not measured)\n", shared.c_str());
    return 0;
  }
  for (const char* name : {"fat12.raw.gz", "fat16.raw.gz", "fat_deleted_dir.raw.gz", "fat_deleted_dir_2.raw.gz",
                           "fat_dir.raw.gz", "fat16_moved.raw.gz", "fat_lfn_test.raw.gz"}) {
    Measure<engine::fat::CFastFatRecovery>(shared + "dfir_ntfs/" + name, dir, std::string("dfir_ntfs/") + name);
  }
  for (const char* name : {"deleted.img.gz", "repair.img.gz"}) {
    Measure<engine::fat::CFastFatRecovery>(shared + "fatcat/" + name, dir, std::string("fatcat/") + name);
  }
  for (const char* name : {"exfat_win.raw.gz", "exfat_orphan.raw.gz", "exfat_lin_part.raw.gz"}) {
    Measure<engine::exfat::CFastExFatRecovery>(shared + "dfir_ntfs/" + name, dir, std::string("dfir_ntfs/") + name);
  }
  return 0;
}
