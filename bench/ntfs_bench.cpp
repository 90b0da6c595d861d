// SPDX-License-Identifier: GPL-3.0-or-later
// MFT pass of the fast NTFS engine on a volume with 20,000 files, a sixth of
// them deleted. The image is made once with mkntfs and an ntfs-3g mount
// (needs root and FUSE) and kept in /tmp for later runs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/store/scan_index.h"

namespace {

constexpr const char* kImage = "/tmp/quellmoor_ntfs_bench_20k.img";
constexpr int kFiles = 20000;
constexpr int kDeleteEvery = 6;

bool MakeImage() {
  if (std::filesystem::exists(kImage)) return true;
  if (::geteuid() != 0 || std::system("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0) {
    return false;
  }
  const std::string work = "/tmp/quellmoor_ntfs_bench_work";
  const std::string script =
      "set -e\nW=" + work +
      "\nrm -rf $W; mkdir -p $W/mnt; truncate -s 256M $W/img;"
      " mkntfs -F -Q -q $W/img >/dev/null 2>&1; ntfs-3g $W/img $W/mnt;"
      " trap 'umount $W/mnt 2>/dev/null || fusermount -u $W/mnt 2>/dev/null || true' EXIT;"
      " cd $W/mnt; for d in $(seq 0 39); do mkdir dir$d; done;"
      " i=0; while [ $i -lt " +
      std::to_string(kFiles) +
      " ]; do"
      "   printf 'file %d of the benchmark volume\\n' $i > dir$((i % 40))/file$i.txt; i=$((i+1)); done;"
      " i=0; while [ $i -lt " +
      std::to_string(kFiles) +
      " ]; do"
      "   rm dir$((i % 40))/file$i.txt; i=$((i+" +
      std::to_string(kDeleteEvery) +
      ")); done;"
      " cd /; umount $W/mnt; trap - EXIT; mv $W/img " +
      kImage + "; rm -rf $W";
  std::printf("making %s (once; about a minute)...\n", kImage);
  std::fflush(stdout);
  const std::string scriptPath = "/tmp/quellmoor_ntfs_bench_make.sh";
  if (FILE* f = std::fopen(scriptPath.c_str(), "w")) {
    std::fputs(script.c_str(), f);
    std::fclose(f);
  }
  const bool made = std::system(("bash " + scriptPath).c_str()) == 0 && std::filesystem::exists(kImage);
  std::filesystem::remove(scriptPath);
  return made;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main() {
  if (!MakeImage()) {
    std::printf("ntfs_bench: skipped (needs root, mkntfs and ntfs-3g to make the image)\n");
    return 0;
  }
  const std::string home = "/tmp/quellmoor_ntfs_bench_home";
  std::filesystem::create_directories(home);
  ::setenv("XDG_DATA_HOME", home.c_str(), 1);

  for (int round = 1; round <= 3; ++round) {
    if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 1;
    engine::ntfs::CFastNtfsRecovery engine;
    if (engine.OpenImage(kImage, 'B') != 0) {
      std::printf("ntfs_bench: cannot open %s\n", kImage);
      return 1;
    }
    const auto& g = engine.Geometry();
    const uint64_t mftBytes = engine::ntfs::TotalClusters(engine.MftRuns()) * g.clusterBytes;
    const uint64_t records = mftBytes / g.recordBytes;
    const auto start = std::chrono::steady_clock::now();
    const int status = engine.Scan(nullptr);
    const double seconds = Seconds(start);
    std::printf(
        "round %d: status %d, MFT %.1f MiB (%llu records), %llu items, %.3f s: %.0f records/s, %.1f MB/s of MFT\n",
        round, status, mftBytes / 1048576.0, static_cast<unsigned long long>(records),
        static_cast<unsigned long long>(engine.GetItemCount()), seconds, records / seconds, mftBytes / seconds / 1e6);
  }
  std::filesystem::remove_all(home);
  return 0;
}
