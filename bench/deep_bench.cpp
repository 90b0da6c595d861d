// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the deep-scan engines when fed sector by sector as the coordinator
// feeds them:
//  - the professional FAT engine over a whole quick-formatted FAT32 volume of
//    256 MiB holding 100 folders x 200 files (every sector classified by the
//    directory-start and directory-sector tests, directory sectors handed
//    over), then its finish (the tree and every record);
//  - the signature scanner over 256 MiB of random bytes and over the carving
//    corpus laid out between random filler (CarveAndRecord on every sector,
//    moving on by its answer).
// Prints sectors/s. Needs mkfs.fat and mtools for the FAT volume. Work files
// go to $QM_BENCH_DIR (default /tmp/quellmoor_deep_bench) and are kept.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/deep/file_type_recovery.h"
#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"
#include "tests/engine/signatures/carve_corpus.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", command.c_str());
  return false;
}

// 100 folders of 200 small files on FAT32 (512-byte clusters), then mkfs.fat again over it.
bool MakeFormattedVolume(const std::string& dir, const std::string& image) {
  if (fs::exists(image)) return true;
  const std::string src = dir + "deep_src";
  fs::remove_all(src);
  for (int d = 0; d < 100; ++d) {
    const std::string folder = src + "/folder_" + std::to_string(100 + d).substr(1);
    fs::create_directories(folder);
    for (int i = 0; i < 200; ++i) {
      std::ofstream out(folder + "/file_" + std::to_string(10000 + i).substr(1) + ".txt");
      for (int k = 0; k <= i % 20; ++k) out << "file " << d << ' ' << i << '\n';
    }
  }
  const std::string temp = image + ".tmp";
  fs::remove(temp);
  const bool ok = Shell("mkfs.fat -C -F 32 -s 1 '" + temp + "' 262144 >/dev/null") &&
                  Shell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + temp + "' -s '" + src + "'/* ::/") &&
                  Shell("mkfs.fat -F 32 -s 1 '" + temp + "' >/dev/null");
  fs::remove_all(src);
  if (ok) fs::rename(temp, image);
  return ok;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct FeedTimes {
  double feedSeconds = 0;
  double finishSeconds = 0;
  uint64_t sectors = 0;
  uint64_t items = 0;
};

// The professional FAT engine over the whole volume in bytes.
FeedTimes FeedFat(const std::vector<uint8_t>& bytes) {
  FeedTimes t;
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return t;
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::fat::CProfessionalFatRecovery fat;
  if (fat.OpenSharedSource(source, 512, 0, 0, 'B') != engine::kStatusOk) return t;
  if (fat.BeginFatScan(nullptr) != engine::kStatusOk) return t;
  (void)fat.PrepareFatGeometry();
  t.sectors = bytes.size() / 512;
  std::vector<uint8_t> chunk(65536);
  const auto start = Clock::now();
  for (uint64_t first = 0; first < t.sectors; first += 128) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(128, t.sectors - first));
    uint32_t got = 0;
    if (storage::ReadSectors(count, source, chunk.data(), first, 512, &got) != engine::kStatusOk) break;
    for (uint32_t i = 0; i < got; ++i) {
      const uint8_t* sector = chunk.data() + i * 512;
      if (engine::IsDirectoryStart(sector, 512)) {
        fat.HandleDirectoryStart(sector, 512, first + i);
      } else if (engine::IsDirectorySector(sector, 512)) {
        fat.HandleDirectorySector(sector, 512, first + i);
      }
    }
  }
  t.feedSeconds = Seconds(start);
  const auto finish = Clock::now();
  if (fat.FinishFatScan() != engine::kStatusOk) std::fprintf(stderr, "finish failed\n");
  t.finishSeconds = Seconds(finish);
  t.items = fat.GetItemCount();
  return t;
}

// The signature scanner over every sector of bytes.
FeedTimes FeedCarver(const std::vector<uint8_t>& bytes) {
  FeedTimes t;
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return t;
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::deep::CFileTypeRecovery carver;
  if (carver.OpenSharedSource(source, 512, 0, 0, 'B') != engine::kStatusOk) return t;
  carver.ClearStreamExtents();
  t.sectors = bytes.size() / 512;
  uint64_t found = 0;
  const auto start = Clock::now();
  for (uint64_t s = 0; s < t.sectors;) {
    uint64_t skip = 1;
    const engine::Status status =
        carver.CarveAndRecord(512, bytes.data() + s * 512, 512, s, {s, t.sectors, -1, found}, &source, &skip, &found);
    s += status == engine::kStatusOk ? skip : 1;
  }
  t.feedSeconds = Seconds(start);
  t.items = carver.GetItemCount();
  return t;
}

void Print(const char* what, const FeedTimes& t) {
  std::printf("%s: %llu sectors in %.3f s = %.0f sectors/s (%.1f MB/s), %llu records", what,
              static_cast<unsigned long long>(t.sectors), t.feedSeconds, t.sectors / t.feedSeconds,
              t.sectors * 512 / 1048576.0 / t.feedSeconds, static_cast<unsigned long long>(t.items));
  if (t.finishSeconds > 0) std::printf("; finish %.3f s", t.finishSeconds);
  std::printf("\n");
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_deep_bench") + "/";
  fs::create_directories(dir);
  fs::remove_all(dir + "data");
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
  engine::store::ScanIndex::Instance().Load();

  const std::string image = dir + "formatted_20000.img";
  if (MakeFormattedVolume(dir, image)) {
    const std::vector<uint8_t> bytes = ReadAll(image);
    FeedTimes best;
    for (int run = 0; run < 3; ++run) {
      const FeedTimes t = FeedFat(bytes);
      if (run == 0 || t.feedSeconds + t.finishSeconds < best.feedSeconds + best.finishSeconds) best = t;
    }
    Print("professional FAT, quick-formatted 256 MiB FAT32 of 20,000 files, whole volume", best);
  }

  std::vector<uint8_t> random(size_t{256} << 20);
  std::mt19937_64 rng(7);
  carve_corpus::FillRandom(random.data(), random.size(), rng);
  Print("signature scanner, 256 MiB of random bytes", FeedCarver(random));

  const auto corpus = carve_corpus::LoadCorpus(QUELLMOOR_SOURCE_DIR "/tests/fixtures/carve_corpus.tar.gz");
  if (!corpus.empty()) {
    const carve_corpus::Image layout = carve_corpus::LayOut(corpus, 2024);
    // The corpus image repeated to 64 MiB, so the time is worth measuring.
    std::vector<uint8_t> bytes;
    while (bytes.size() < (size_t{64} << 20)) bytes.insert(bytes.end(), layout.bytes.begin(), layout.bytes.end());
    Print("signature scanner, carving corpus image repeated to 64 MiB", FeedCarver(bytes));
  }
  fs::remove_all(dir + "data");
  return 0;
}
