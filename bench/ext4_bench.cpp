// SPDX-License-Identifier: GPL-3.0-or-later
// Fast scan of an ext4 volume with 100,000 files in 100 folders, a sixth of
// them deleted (mkfs.ext4 defaults, written and deleted through the
// kernel), against Sleuth Kit's `fls -r -d` listing the deleted names of the
// same image (the measuring stick; only its binary is run), their rounds
// alternating. Both read the image from the page cache after a first
// warm-up round. Also prints how many deleted files came back with data. The image is made
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
#include "engine/item_record.h"
#include "engine/store/scan_index.h"
#include "engine/store/scan_store.h"

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

// One round of ours: open and scan; the seconds, and the CPU seconds, taken.
// counts (when given) receives the deleted files found by state.
struct FileCounts {
  uint64_t files = 0, intact = 0, damaged = 0, overwritten = 0;
};
bool OurRound(double* seconds, double* opening, double* cpu, uint64_t* items, FileCounts* counts) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return false;
  engine::ext4::CFastExt4Recovery engine;
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = CpuSeconds(RUSAGE_SELF);
  if (engine.OpenImage(kImage, 'B') != engine::kStatusOk) {
    std::printf("ext4_bench: cannot open %s\n", kImage);
    return false;
  }
  *opening = Seconds(start);
  const int status = engine.Scan(nullptr);
  *seconds = Seconds(start);
  *cpu = CpuSeconds(RUSAGE_SELF) - cpuStart;
  if (status != 0) std::printf("scan status %d\n", status);
  *items = engine.GetItemCount();
  if (counts != nullptr && engine.ResultStore() != nullptr) {
    *counts = FileCounts{};
    (void)engine.ResultStore()->VisitRecords([&](const engine::ItemRecord& r) {
      if (r.isFolder != 0) return true;
      ++counts->files;
      switch (engine::StateOf(r)) {
        case engine::ItemState::kIntact: ++counts->intact; break;
        case engine::ItemState::kDamaged: ++counts->damaged; break;
        case engine::ItemState::kOverwritten: ++counts->overwritten; break;
      }
      return true;
    });
  }
  return true;
}

// One round of fls -r -d; false when it cannot be run.
bool TheirRound(double* seconds, double* cpu, int* rc) {
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = CpuSeconds(RUSAGE_CHILDREN);
  *rc = std::system((std::string("fls -r -d ") + kImage + " > /tmp/quellmoor_ext4_bench.fls").c_str());
  *seconds = Seconds(start);
  *cpu = CpuSeconds(RUSAGE_CHILDREN) - cpuStart;
  return true;
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
  const bool withFls = !oursOnly && std::system("command -v fls >/dev/null") == 0;
  if (!oursOnly && !withFls) std::printf("fls (sleuthkit) is not installed: no comparison (apt-get install sleuthkit)\n");
  // The rounds alternate, one of ours then one of fls, so both meet the
  // same load on a shared machine; round 0 of each warms the page cache.
  constexpr int kRounds = 7;
  std::vector<double> ours, opens, ourCpu, theirs, theirCpu, ratios, cpuRatios;
  uint64_t items = 0;
  FileCounts counts;
  for (int round = 0; round <= kRounds; ++round) {
    double seconds = 0, opening = 0, cpu = 0;
    if (!OurRound(&seconds, &opening, &cpu, &items, round == 0 ? &counts : nullptr)) return 1;
    if (round > 0) {
      ours.push_back(seconds);
      opens.push_back(opening);
      ourCpu.push_back(cpu);
    }
    if (!withFls) continue;
    double flsSeconds = 0, flsCpu = 0;
    int rc = 0;
    TheirRound(&flsSeconds, &flsCpu, &rc);
    if (rc != 0) std::printf("fls exited with %d\n", rc);
    if (round > 0) {
      theirs.push_back(flsSeconds);
      theirCpu.push_back(flsCpu);
      ratios.push_back(seconds / flsSeconds);
      cpuRatios.push_back(cpu / flsCpu);
    }
  }
  std::printf(
      "quellmoor fast ext4 scan: %llu items (deleted files and their folders), median %.3f s of %d rounds "
      "(of which %.3f s opening: superblock, descriptors, the whole journal read and indexed); CPU %.3f s\n",
      static_cast<unsigned long long>(items), Median(ours), kRounds, Median(opens), Median(ourCpu));
  std::printf("deleted files: %llu, with their data %llu (intact), damaged %llu, overwritten %llu\n",
              static_cast<unsigned long long>(counts.files), static_cast<unsigned long long>(counts.intact),
              static_cast<unsigned long long>(counts.damaged), static_cast<unsigned long long>(counts.overwritten));
  if (withFls) {
    std::ifstream listing("/tmp/quellmoor_ext4_bench.fls");
    size_t lines = 0;
    for (std::string line; std::getline(listing, line);) ++lines;
    std::printf("fls -r -d: %zu lines, median %.3f s of %d rounds; CPU %.3f s\n", lines, Median(theirs), kRounds,
                Median(theirCpu));
    std::printf(
        "ratio: quellmoor takes %.2f of fls's time (%.2f of its CPU time); median of the rounds' own ratios %.3f "
        "(CPU %.3f)\n",
        Median(ours) / Median(theirs), Median(ourCpu) / Median(theirCpu), Median(ratios), Median(cpuRatios));
    std::filesystem::remove("/tmp/quellmoor_ext4_bench.fls");
  }
  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) == 3) std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::filesystem::remove_all(home);
  return 0;
}
