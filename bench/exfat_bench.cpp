// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the fast exFAT engine: scanning a 32 GiB sparse card image that
// holds 20,000 files (100 folders of 200, the even ones deleted), in files
// recorded and entry sets walked per second; and the deep scan's per-sector
// test over the card's first 256 MiB.
// Makes the card once with mkfs.exfat and exfat-fuse on a loop device, which
// needs root; the image is kept in $QM_BENCH_DIR (default
// /tmp/quellmoor_exfat_bench) for the next run.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 200;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[256];
  std::string text;
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  const int status = ::pclose(pipe);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (out != nullptr) *out = text;
  if (status != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return status == 0;
}

// The card: 32 GiB sparse, exFAT at mkfs.exfat's defaults, 100 folders of
// 200 small files written through exfat-fuse, the even ones deleted.
bool MakeCard(const std::string& dir, const std::string& image) {
  if (fs::exists(image)) return true;
  const std::string temp = image + ".tmp";
  const std::string mount = dir + "mnt";
  fs::create_directories(mount);
  std::string loop;
  bool ok = Shell("truncate -s 32G '" + temp + "'") && Shell("mkfs.exfat -L QMCARD '" + temp + "' >/dev/null") &&
            Shell("losetup -f --show '" + temp + "'", &loop) &&
            Shell("mount.exfat-fuse '" + loop + "' '" + mount + "' >/dev/null 2>&1");
  if (!ok) {
    if (!loop.empty()) (void)Shell("losetup -d '" + loop + "'");
    std::fprintf(stderr, "the card needs root, losetup, mkfs.exfat and mount.exfat-fuse\n");
    return false;
  }
  // One small photo made by ImageMagick, written under every name.
  std::string photo;
  if (Shell("/usr/bin/convert -size 64x48 plasma:fractal -seed 5 '" + dir + "seed.jpg'")) {
    std::ifstream in(dir + "seed.jpg", std::ios::binary);
    photo.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto start = Clock::now();
  for (int d = 0; d < kFolders && ok; ++d) {
    const std::string folder = mount + "/DCIM" + std::to_string(100 + d);
    fs::create_directories(folder);
    for (int i = 0; i < kFilesPerFolder; ++i) {
      std::ofstream out(folder + "/IMG_" + std::to_string(10000 + i).substr(1) + ".JPG", std::ios::binary);
      out << photo;
      ok = static_cast<bool>(out);
    }
  }
  // Deleted once everything is written, so that no later file takes their clusters.
  for (int d = 0; d < kFolders && ok; ++d) {
    const std::string folder = mount + "/DCIM" + std::to_string(100 + d);
    for (int i = 0; i < kFilesPerFolder && ok; i += 2) {
      ok = fs::remove(folder + "/IMG_" + std::to_string(10000 + i).substr(1) + ".JPG");
    }
  }
  ok = Shell("sync") && Shell("fusermount -u '" + mount + "'") && ok;
  ok = Shell("losetup -d '" + loop + "'") && ok;
  std::printf("made the card in %.1f s\n", Seconds(start));
  if (ok) fs::rename(temp, image);
  return ok;
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_exfat_bench") + "/";
  fs::create_directories(dir);
  fs::remove_all(dir + "data");
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
  engine::store::ScanIndex::Instance().Load();

  const std::string image = dir + "card32g.img";
  if (!MakeCard(dir, image)) {
    std::printf("exfat_bench: skipped (no card image)\n");
    return 0;
  }

  // 1. The fast scan: best of three, each with a fresh engine and store.
  double best = 1e30;
  uint64_t recorded = 0;
  uint64_t records = 0;
  for (int run = 0; run < 3; ++run) {
    if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 1;
    engine::exfat::CFastExFatRecovery card;
    if (card.OpenImage(image, 'B') != engine::kStatusOk) return 1;
    const auto start = Clock::now();
    if (card.Scan(nullptr) != engine::kStatusOk) return 1;
    const double s = Seconds(start);
    if (s < best) {
      best = s;
      int32_t files = 0;
      if (card.CountFiles(nullptr, 0, &files) != engine::kStatusOk) return 1;
      recorded = static_cast<uint64_t>(files);
      records = card.GetItemCount();
    }
  }
  const uint64_t walked = uint64_t{kFolders} * (kFilesPerFolder + 1);
  std::printf(
      "fast exFAT scan, 32 GiB card, %d files in %d folders (%llu deleted found, %llu records): %.3f s, %.0f files/s, "
      "%.0f deleted files/s\n",
      kFolders * kFilesPerFolder, kFolders, static_cast<unsigned long long>(recorded),
      static_cast<unsigned long long>(records), best, walked / best, recorded / best);

  // 2. The deep scan's test on every sector of the first 256 MiB.
  storage::SectorSource source;
  if (storage::OpenImageSource(source, image) != engine::kStatusOk) return 1;
  constexpr uint32_t kChunk = 128;
  const uint64_t sectors = std::min<uint64_t>(source.totalSectors, (256u << 20) / 512);
  std::vector<uint8_t> chunk(kChunk * 512);
  uint64_t directories = 0;
  const auto start = Clock::now();
  for (uint64_t at = 0; at < sectors; at += kChunk) {
    uint32_t got = 0;
    if (storage::ReadSectors(kChunk, source, chunk.data(), at, 512, &got) != engine::kStatusOk) break;
    for (uint32_t i = 0; i < got; ++i) {
      directories += engine::exfat::IsExFatDirectorySector(chunk.data() + i * 512, (got - i) * 512, 512);
    }
  }
  const double s = Seconds(start);
  std::printf("deep-scan directory test, 256 MiB: %.3f s, %.0f MiB/s, %llu directory sectors\n", s, 256 / s,
              static_cast<unsigned long long>(directories));
  return 0;
}
