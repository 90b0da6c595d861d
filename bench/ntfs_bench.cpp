// SPDX-License-Identifier: GPL-3.0-or-later
// MFT pass of the fast NTFS engine on a volume with 200,000 files in 100
// folders, a sixth of them deleted (a third of the files are a few KiB, so
// not resident): the time, and the reads it makes (device reads and the
// bytes they ask for). The image is made once with mkntfs and an ntfs-3g
// mount (needs root and FUSE; a few minutes) and kept in /tmp.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"

namespace {

constexpr const char* kImage = "/tmp/quellmoor_ntfs_bench_200k.img";

bool MakeImage() {
  if (std::filesystem::exists(kImage)) return true;
  if (::geteuid() != 0 || std::system("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0) {
    return false;
  }
  const std::string work = "/tmp/quellmoor_ntfs_bench_work";
  std::ofstream(work + ".py") << "import os\n"
                                 "for d in range(100): os.mkdir('dir%d' % d)\n"
                                 "for i in range(200000):\n"
                                 "    text = 'file %d of the benchmark volume\\n' % i\n"
                                 "    open('dir%d/file%d.txt' % (i % 100, i), 'w').write(text * (1 + (i % 7) * 60))\n"
                                 "for i in range(0, 200000, 6): os.remove('dir%d/file%d.txt' % (i % 100, i))\n";
  std::ofstream(work + ".sh") << "set -e\nW=" << work
                              << "\nrm -rf $W; mkdir -p $W/mnt; truncate -s 2G $W/img\n"
                                 "mkntfs -F -Q -q $W/img >/dev/null 2>&1\nntfs-3g $W/img $W/mnt\n"
                                 "trap 'umount $W/mnt 2>/dev/null || true' EXIT\n"
                                 "(cd $W/mnt && python3 "
                              << work << ".py)\numount $W/mnt\ntrap - EXIT\nmv $W/img " << kImage << "\nrm -rf $W\n";
  std::printf("making %s (once; a few minutes)...\n", kImage);
  std::fflush(stdout);
  const bool made = std::system(("bash " + work + ".sh").c_str()) == 0 && std::filesystem::exists(kImage);
  std::filesystem::remove(work + ".py");
  std::filesystem::remove(work + ".sh");
  return made;
}

// Counts the reads the engine asks of the device.
class CountingDevice final : public storage::ISourceDevice {
 public:
  explicit CountingDevice(std::unique_ptr<storage::ISourceDevice> inner) : m_inner(std::move(inner)) {}
  storage::Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    ++reads;
    bytes += byteCount;
    if (byteCount <= 4096) ++smallReads;
    return m_inner->ReadAt(byteOffset, buffer, byteCount, bytesRead);
  }
  uint64_t reads = 0;
  uint64_t smallReads = 0;
  uint64_t bytes = 0;

 private:
  std::unique_ptr<storage::ISourceDevice> m_inner;
};

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
    storage::SectorSource source;
    if (storage::OpenImageSource(source, kImage) != engine::kStatusOk) {
      std::printf("ntfs_bench: cannot open %s\n", kImage);
      return 1;
    }
    auto counting = std::make_unique<CountingDevice>(std::move(source.handle));
    CountingDevice* counter = counting.get();
    source.handle = std::move(counting);
    engine::ntfs::CFastNtfsRecovery engine;
    if (engine.OpenSource(std::move(source), 0, 0, 'B') != engine::kStatusOk) return 1;
    const auto& g = engine.Geometry();
    const uint64_t mftBytes = engine::ntfs::TotalClusters(engine.MftRuns()) * g.clusterBytes;
    const uint64_t records = mftBytes / g.recordBytes;
    const uint64_t readsBefore = counter->reads, smallBefore = counter->smallReads, bytesBefore = counter->bytes;
    const auto start = std::chrono::steady_clock::now();
    const int status = engine.Scan(nullptr);
    const double seconds = Seconds(start);
    std::printf(
        "round %d: status %d, MFT %.1f MiB (%llu records), %llu items, %.3f s: %.0f records/s; "
        "%llu device reads (%llu of 4 KiB or less), %.1f MiB read\n",
        round, status, mftBytes / 1048576.0, static_cast<unsigned long long>(records),
        static_cast<unsigned long long>(engine.GetItemCount()), seconds, records / seconds,
        static_cast<unsigned long long>(counter->reads - readsBefore),
        static_cast<unsigned long long>(counter->smallReads - smallBefore), (counter->bytes - bytesBefore) / 1048576.0);
  }
  std::filesystem::remove_all(home);
  return 0;
}
