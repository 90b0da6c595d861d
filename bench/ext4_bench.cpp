// SPDX-License-Identifier: GPL-3.0-or-later
// Fast scan of an ext4 volume with 100,000 files in 100 folders, a sixth of
// them deleted (mkfs.ext4 defaults, written and deleted through the
// kernel), against Sleuth Kit's `fls -r -d` listing the deleted names of the
// same image (the measuring stick; only its binary is run). Both read the
// image from the page cache after a first warm-up round. The image is made
// once on a loop device (needs root; about a minute) and kept in /tmp.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/store/scan_index.h"

namespace {

constexpr const char* kImage = "/tmp/quellmoor_ext4_bench_100k.img";

bool MakeImage() {
  if (std::filesystem::exists(kImage)) return true;
  if (::geteuid() != 0 || std::system("command -v mkfs.ext4 >/dev/null && command -v losetup >/dev/null") != 0) {
    return false;
  }
  const std::string work = "/tmp/quellmoor_ext4_bench_work";
  std::ofstream(work + ".py") << "import os\n"
                                 "for d in range(100): os.mkdir('dir%d' % d)\n"
                                 "for i in range(100000):\n"
                                 "    text = 'file %d of the benchmark volume\\n' % i\n"
                                 "    open('dir%d/file%d.txt' % (i % 100, i), 'w').write(text * (1 + (i % 7) * 60))\n";
  std::ofstream(work + "_rm.py") << "import os\n"
                                    "for i in range(0, 100000, 6): os.remove('dir%d/file%d.txt' % (i % 100, i))\n";
  std::ofstream(work + ".sh") << "set -e\nW=" << work
                              << "\nrm -rf $W; mkdir -p $W/mnt; truncate -s 2G $W/img\n"
                                 "mkfs.ext4 -q -F $W/img\nL=$(losetup -f --show $W/img)\n"
                                 "trap 'umount $W/mnt 2>/dev/null || true; losetup -d $L' EXIT\n"
                                 "mount $L $W/mnt\n(cd $W/mnt && python3 "
                              << work << ".py)\numount $W/mnt\nmount $L $W/mnt\n(cd $W/mnt && python3 " << work
                              << "_rm.py)\numount $W/mnt\nlosetup -d $L\ntrap - EXIT\nmv $W/img " << kImage
                              << "\nrm -rf $W\n";
  std::printf("making %s (once; about a minute)...\n", kImage);
  std::fflush(stdout);
  const bool made = std::system(("bash " + work + ".sh").c_str()) == 0 && std::filesystem::exists(kImage);
  for (const char* tail : {".py", "_rm.py", ".sh"}) std::filesystem::remove(work + tail);
  return made;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// CPU seconds (user + system) used so far by this process, or by its ended children.
double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // --ours: only the quellmoor rounds (for profiling).
  const bool oursOnly = argc > 1 && std::string(argv[1]) == "--ours";
  if (!MakeImage()) {
    std::printf("ext4_bench: skipped (needs root, mkfs.ext4 and a loop device to make the image)\n");
    return 0;
  }
  const std::string home = "/tmp/quellmoor_ext4_bench_home";
  std::filesystem::create_directories(home);
  ::setenv("XDG_DATA_HOME", home.c_str(), 1);
  constexpr int kRounds = 5;
  std::vector<double> ours;
  std::vector<double> opens;
  std::vector<double> ourCpu;
  uint64_t items = 0;
  for (int round = 0; round <= kRounds; ++round) {
    if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 1;
    engine::ext4::CFastExt4Recovery engine;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds(RUSAGE_SELF);
    if (engine.OpenImage(kImage, 'B') != engine::kStatusOk) {
      std::printf("ext4_bench: cannot open %s\n", kImage);
      return 1;
    }
    const double opened = Seconds(start);
    const int status = engine.Scan(nullptr);
    const double seconds = Seconds(start);
    if (round > 0) opens.push_back(opened);
    if (round > 0) ourCpu.push_back(CpuSeconds(RUSAGE_SELF) - cpuStart);
    items = engine.GetItemCount();
    if (status != 0) std::printf("scan status %d\n", status);
    if (round > 0) ours.push_back(seconds);  // round 0 warms the page cache
  }
  std::printf(
      "quellmoor fast ext4 scan: %llu items (deleted files and their folders), median %.3f s of %d rounds "
      "(of which %.3f s opening: superblock, descriptors, the whole journal read and indexed); CPU %.3f s\n",
      static_cast<unsigned long long>(items), Median(ours), kRounds, Median(opens), Median(ourCpu));
  if (oursOnly) {
  } else if (std::system("command -v fls >/dev/null") != 0) {
    std::printf("fls (sleuthkit) is not installed: no comparison (apt-get install sleuthkit)\n");
  } else {
    std::vector<double> theirs;
    std::vector<double> theirCpu;
    for (int round = 0; round <= kRounds; ++round) {
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = CpuSeconds(RUSAGE_CHILDREN);
      const int rc = std::system((std::string("fls -r -d ") + kImage + " > /tmp/quellmoor_ext4_bench.fls").c_str());
      const double seconds = Seconds(start);
      if (rc != 0) std::printf("fls exited with %d\n", rc);
      if (round > 0) theirs.push_back(seconds);
      if (round > 0) theirCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - cpuStart);
    }
    std::ifstream listing("/tmp/quellmoor_ext4_bench.fls");
    size_t lines = 0;
    for (std::string line; std::getline(listing, line);) ++lines;
    std::printf("fls -r -d: %zu lines, median %.3f s of %d rounds; CPU %.3f s\n", lines, Median(theirs), kRounds,
                Median(theirCpu));
    std::printf("ratio: quellmoor takes %.2f of fls's time (%.2f of its CPU time)\n", Median(ours) / Median(theirs),
                Median(ourCpu) / Median(theirCpu));
    std::filesystem::remove("/tmp/quellmoor_ext4_bench.fls");
  }
  std::filesystem::remove_all(home);
  return 0;
}
