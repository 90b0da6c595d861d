// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the fast FAT engine: scanning the 256 MiB FAT32 fixture and a
// FAT32 volume of 20,000 files (half of them deleted), and copying a deleted
// 128 MiB file out, against `cp` of a file of the same size. A FAT32 volume
// of 100,000 files with 20,000 deleted is scanned against Sleuth Kit's
// `fls -r -d` (when installed), with the engine's read calls; the deleted
// tree fixture shows how many deleted files each lists.
// Needs mkfs.fat and mtools. Work files go to $QM_BENCH_DIR (default
// /tmp/quellmoor_fat_bench) and are kept for the next run.
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

#include "engine/fat/fast_fat_recovery.h"
#include "engine/store/scan_index.h"

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

struct ScanResult {
  double seconds = 0;
  uint64_t records = 0;
};

// Best of `runs` scans, each with a fresh engine and store.
ScanResult BestScan(const std::string& image, int runs) {
  ScanResult best;
  best.seconds = 1e30;
  for (int i = 0; i < runs; ++i) {
    if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return {};
    engine::fat::CFastFatRecovery fat;
    if (fat.OpenImage(image, 'B') != engine::kStatusOk) return {};
    const auto start = Clock::now();
    if (fat.Scan(nullptr) != engine::kStatusOk) return {};
    const double s = Seconds(start);
    if (s < best.seconds) best = {s, fat.GetItemCount()};
  }
  return best;
}

// A FAT32 volume of `folders` folders x `perFolder` small files; one in `deleteEvery` deleted.
bool MakeManyFilesVolume(const std::string& dir, const std::string& image, int folders = 100, int perFolder = 200,
                         const char* mkfsOptions = "-F 32", uint64_t kib = 262144, int deleteEvery = 2) {
  if (fs::exists(image)) return true;
  const std::string src = dir + "many_src";
  fs::remove_all(src);
  for (int d = 0; d < folders; ++d) {
    const std::string folder = src + "/d" + std::to_string(1000 + d).substr(1);
    fs::create_directories(folder);
    for (int i = 0; i < perFolder; ++i) {
      std::ofstream out(folder + "/" + (i % deleteEvery == 0 ? "del_" : "keep_") + std::to_string(10000 + i).substr(1) + ".txt");
      for (int k = 0; k <= i % 20; ++k) out << "file " << d << ' ' << i << '\n';
    }
  }
  const std::string temp = image + ".tmp";
  bool ok = Shell("mkfs.fat -C " + std::string(mkfsOptions) + " '" + temp + "' " + std::to_string(kib) + " >/dev/null") &&
            Shell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + temp + "' -s '" + src + "'/* ::/");
  for (int d = 0; ok && d < folders; ++d) {
    ok = Shell("MTOOLS_SKIP_CHECK=1 mdel -i '" + temp + "' '::/d" + std::to_string(1000 + d).substr(1) + "/del_*'");
  }
  fs::remove_all(src);
  if (ok) fs::rename(temp, image);
  return ok;
}

// A FAT32 volume holding one deleted file of `bytes` pseudo-random bytes.
bool MakeBigFileVolume(const std::string& dir, const std::string& image, const std::string& source, size_t bytes) {
  if (!fs::exists(source) || fs::file_size(source) != bytes) {
    std::vector<uint64_t> block(1 << 17);
    std::mt19937_64 random(42);
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    for (size_t done = 0; done < bytes; done += block.size() * 8) {
      for (uint64_t& v : block) v = random();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min(bytes - done, block.size() * 8)));
    }
  }
  if (fs::exists(image)) return true;
  const std::string temp = image + ".tmp";
  const bool ok = Shell("mkfs.fat -C -F 32 '" + temp + "' 262144 >/dev/null") &&
                  Shell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + temp + "' '" + source + "' ::/big.bin") &&
                  Shell("MTOOLS_SKIP_CHECK=1 mdel -i '" + temp + "' ::/big.bin");
  (void)dir;
  if (ok) fs::rename(temp, image);
  return ok;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool HaveFls() {
  return std::system("command -v fls >/dev/null 2>&1") == 0;
}

// Seconds of one `fls -r -d` over image, and the regular files it listed.
double TimeFls(const std::string& image, const std::string& listing, uint64_t* files) {
  const auto start = Clock::now();
  const int rc = std::system(("fls -r -d '" + image + "' > '" + listing + "'").c_str());
  const double s = Seconds(start);
  if (rc != 0) std::printf("fls exited with %d\n", rc);
  std::ifstream in(listing);
  *files = 0;
  for (std::string line; std::getline(in, line);) *files += line.rfind("r/r", 0) == 0 ? 1 : 0;
  return s;
}

// One fast scan with a fresh engine and store: seconds, records, read calls.
struct CountedScan {
  double seconds = 0;
  uint64_t records = 0;
  uint64_t readCalls = 0;
  uint64_t cutOff = 0;
};
CountedScan ScanCounted(const std::string& image) {
  CountedScan r;
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return r;
  engine::fat::CFastFatRecovery fat;
  if (fat.OpenImage(image, 'B') != engine::kStatusOk) return r;
  const uint64_t before = fat.ReadCalls();
  const auto start = Clock::now();
  if (fat.Scan(nullptr) != engine::kStatusOk) return r;
  r.seconds = Seconds(start);
  r.readCalls = fat.ReadCalls() - before;
  r.records = fat.GetItemCount();
  r.cutOff = fat.FoldersCutOff();
  return r;
}

// Text files a scan lists (every file of the deleted tree is one).
uint64_t TextFilesListed(const std::string& image) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 0;
  engine::fat::CFastFatRecovery fat;
  if (fat.OpenImage(image, 'B') != engine::kStatusOk || fat.Scan(nullptr) != engine::kStatusOk) return 0;
  std::vector<engine::ItemRecord> files;
  fat.Search("*.txt", files);
  return files.size();
}

double MegabytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? bytes / 1048576.0 / seconds : 0;
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_fat_bench") + "/";
  fs::create_directories(dir);
  fs::remove_all(dir + "data");
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
  engine::store::ScanIndex::Instance().Load();

  // 1. The 256 MiB FAT32 fixture (4 KiB clusters).
  const std::string fixture = dir + "fat32_4k.img";
  if (!fs::exists(fixture) &&
      !Shell("gzip -dc '" QUELLMOOR_SOURCE_DIR "/tests/fixtures/fat32_4k.img.gz' > '" + fixture + "'")) {
    return 1;
  }
  const ScanResult small = BestScan(fixture, 5);
  std::printf("scan fat32_4k fixture (256 MiB, 25 files): %.2f ms, %llu records, %.0f records/s\n", small.seconds * 1e3,
              static_cast<unsigned long long>(small.records), small.records / small.seconds);

  // 2. 20,000 files in 100 folders, 10,000 of them deleted.
  const std::string many = dir + "many_files.img";
  if (!MakeManyFilesVolume(dir, many)) return 1;
  const ScanResult big = BestScan(many, 3);
  std::printf(
      "scan 20,000-file FAT32 (10,000 deleted): %.2f ms, %llu records, %.0f files on volume/s, "
      "%.0f deleted files found/s\n",
      big.seconds * 1e3, static_cast<unsigned long long>(big.records), 20000 / big.seconds, 10000 / big.seconds);

  // 3. 100,000 files in 200 folders (512-byte clusters), 50,000 of them deleted.
  const std::string huge = dir + "files_100k.img";
  if (!MakeManyFilesVolume(dir, huge, 200, 500, "-F 32 -s 1", 524288)) return 1;
  const ScanResult hundred = BestScan(huge, 3);
  std::printf("scan 100,000-file FAT32 (50,000 deleted): %.2f ms, %llu records, %.0f files on volume/s\n",
              hundred.seconds * 1e3, static_cast<unsigned long long>(hundred.records), 100000 / hundred.seconds);

  // 4. 100,000 files in 200 folders (512-byte clusters), 20,000 of them
  // deleted; our scan and fls interleaved, medians of five rounds after one
  // that warms the page cache.
  {
    const std::string image = dir + "files_100k_20k.img";
    if (!MakeManyFilesVolume(dir, image, 200, 500, "-F 32 -s 1", 524288, 5)) return 1;
    const bool fls = HaveFls();
    std::vector<double> ours;
    std::vector<double> theirs;
    CountedScan last;
    uint64_t flsFiles = 0;
    for (int round = 0; round <= 5; ++round) {
      last = ScanCounted(image);
      if (round > 0) ours.push_back(last.seconds);
      if (fls) {
        const double s = TimeFls(image, dir + "fls.txt", &flsFiles);
        if (round > 0) theirs.push_back(s);
      }
    }
    std::printf("scan 100,000-file FAT32 (20,000 deleted): median %.3f s, %llu records, %llu read calls\n",
                Median(ours), static_cast<unsigned long long>(last.records),
                static_cast<unsigned long long>(last.readCalls));
    if (fls) {
      std::printf("fls -r -d of the same volume: median %.3f s, %llu files; ratio %.3f of fls's time\n",
                  Median(theirs), static_cast<unsigned long long>(flsFiles), Median(ours) / Median(theirs));
    } else {
      std::printf("fls (sleuthkit) is not installed: no comparison (apt-get install sleuthkit)\n");
    }
    fs::remove(dir + "fls.txt");
  }

  // 5. The deleted tree fixture: 834 deleted files in 30 folders that grew
  // in turns; how many each lists.
  {
    const std::string tree = dir + "deleted_tree_fat.img";
    if (!fs::exists(tree) &&
        !Shell("gzip -dc '" QUELLMOOR_SOURCE_DIR "/tests/fixtures/deleted_tree_fat.img.gz' > '" + tree + "'")) {
      return 1;
    }
    const CountedScan scan = ScanCounted(tree);
    std::printf("deleted tree (834 deleted files): fast scan lists %llu files in %.2f ms, %llu read calls, "
                "%llu listings cut off",
                static_cast<unsigned long long>(TextFilesListed(tree)), scan.seconds * 1e3,
                static_cast<unsigned long long>(scan.readCalls), static_cast<unsigned long long>(scan.cutOff));
    uint64_t flsFiles = 0;
    if (HaveFls()) {
      (void)TimeFls(tree, dir + "fls.txt", &flsFiles);
      std::printf("; fls -r -d lists %llu", static_cast<unsigned long long>(flsFiles));
      fs::remove(dir + "fls.txt");
    }
    std::printf("\n");
  }

  // Copying all 10,000 small deleted files out, file by file.
  {
    if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return {};
    engine::fat::CFastFatRecovery fat;
    if (fat.OpenImage(many, 'B') != engine::kStatusOk || fat.Scan(nullptr) != engine::kStatusOk) return 1;
    std::vector<engine::ItemRecord> files;
    fat.Search("*.txt", files);
    const std::string out = dir + "out_small/";
    fs::remove_all(out);
    fs::create_directories(out);
    const auto start = Clock::now();
    uint64_t bytes = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      if (fat.RecoverItem(&files[i], out + std::to_string(i) + ".txt", 0) == engine::kStatusOk) bytes += files[i].size;
    }
    const double s = Seconds(start);
    std::printf("recover %zu small deleted files: %.2f s, %.0f files/s, %.2f MB/s\n", files.size(), s, files.size() / s,
                MegabytesPerSecond(bytes, s));
    fs::remove_all(out);
  }

  // 3. One deleted 128 MiB file copied out, against cp of the same bytes.
  constexpr size_t kBigBytes = 128u << 20;
  const std::string source = dir + "big_source.bin";
  const std::string bigImage = dir + "big_file.img";
  if (!MakeBigFileVolume(dir, bigImage, source, kBigBytes)) return 1;
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return {};
  engine::fat::CFastFatRecovery fat;
  if (fat.OpenImage(bigImage, 'B') != engine::kStatusOk || fat.Scan(nullptr) != engine::kStatusOk) return 1;
  std::vector<engine::ItemRecord> found;
  fat.Search("*.bin", found);
  if (found.size() != 1 || found[0].size != kBigBytes) {
    std::fprintf(stderr, "the deleted 128 MiB file was not found\n");
    return 1;
  }
  double bestRecover = 1e30;
  double bestCp = 1e30;
  for (int run = 0; run < 3; ++run) {
    const std::string target = dir + "recovered.bin";
    fs::remove(target);
    auto start = Clock::now();
    if (fat.RecoverItem(&found[0], target, 0) != engine::kStatusOk) return 1;
    bestRecover = std::min(bestRecover, Seconds(start));
    fs::remove(target);
    start = Clock::now();
    if (!Shell("cp '" + source + "' '" + target + "'")) return 1;
    bestCp = std::min(bestCp, Seconds(start));
    fs::remove(target);
  }
  std::printf("recover one deleted 128 MiB file: %.0f MB/s; cp of the same size: %.0f MB/s (ratio %.2f)\n",
              MegabytesPerSecond(kBigBytes, bestRecover), MegabytesPerSecond(kBigBytes, bestCp), bestCp / bestRecover);
  fs::remove_all(dir + "data");
  return 0;
}
