// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a whole 1 GiB media through the sector source in 64 KiB pieces: as
// a raw image, as an E01 (ewfacquire, deflate "fast"), and, when qemu-img is
// there, as QCOW2 and VHDX. Prints MB/s of each and the ratio to raw.
//
// The media is 16 blocks of 64 MiB, each: the 24 MiB NTFS fixture (a volume:
// metadata, files, free space of zeros), 16 MiB of text and 24 MiB of
// pseudo-random bytes (photos, video, archives: incompressible). Every image
// is read once before it is timed, so the figures are of the readers over
// the page cache, not of the disk. Needs ewfacquire (ewf-tools). Work files
// go to $QM_BENCH_DIR (default /tmp/quellmoor_container_bench) and are kept
// for the next run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "storage/image_container.h"
#include "storage/sector_source.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMediaBytes = 1ull << 30;
constexpr uint64_t kBlockBytes = 64ull << 20;
constexpr uint32_t kPieceSectors = storage::kReadPieceBytes / 512;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", command.c_str());
  return false;
}

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool MakeRawMedia(const std::string& dir, const std::string& raw) {
  if (fs::exists(raw) && fs::file_size(raw) == kMediaBytes) return true;
  const std::string ntfs = dir + "/ntfs_512.img";
  if (!Shell("gzip -dc '" QUELLMOOR_SOURCE_DIR "/tests/fixtures/ntfs_512.img.gz' > '" + ntfs + "'")) return false;
  std::ifstream volumeIn(ntfs, std::ios::binary);
  std::vector<char> volume((std::istreambuf_iterator<char>(volumeIn)), std::istreambuf_iterator<char>());
  static const char* const kWords[] = {"the ",       "recovery ", "of ",     "files ", "from ",    "a ",
                                       "formatted ", "disk ",     "report ", "2024 ",  "invoice ", "photo ",
                                       "meeting ",   "notes\n",   "and ",    "data "};
  std::mt19937_64 random(42);
  std::string text;
  while (text.size() < (16u << 20)) text += kWords[random() % 16];
  text.resize(16u << 20);
  std::vector<uint64_t> noise((24u << 20) / 8);
  std::ofstream out(raw + ".tmp", std::ios::binary | std::ios::trunc);
  for (uint64_t block = 0; block < kMediaBytes / kBlockBytes; ++block) {
    for (auto& word : noise) word = random();
    out.write(volume.data(), static_cast<std::streamsize>(volume.size()));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.write(reinterpret_cast<const char*>(noise.data()), static_cast<std::streamsize>(noise.size() * 8));
  }
  out.close();
  fs::remove(ntfs);
  if (fs::file_size(raw + ".tmp") != kMediaBytes) return false;
  fs::rename(raw + ".tmp", raw);
  return true;
}

struct Reading {
  bool ok = false;
  double seconds = 0;
  uint64_t checksum = 0;
};

// Reads the whole media of an image through ReadSectors in 64 KiB pieces.
Reading ReadWhole(const std::string& path) {
  Reading r;
  storage::SectorSource source;
  std::string error;
  if (storage::OpenImageSource(source, path, &error) != platform::kStatusOk) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), error.c_str());
    return r;
  }
  std::vector<uint8_t> piece(storage::kReadPieceBytes);
  const auto start = Clock::now();
  for (uint64_t sector = 0; sector < source.totalSectors; sector += kPieceSectors) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kPieceSectors, source.totalSectors - sector));
    uint32_t got = 0;
    if (storage::ReadSectors(count, source, piece.data(), sector, 512, &got) != platform::kStatusOk) {
      std::fprintf(stderr, "read failed in %s: %s\n", path.c_str(), source.handle->LastErrorText().c_str());
      return r;
    }
    // A sum over every word, so that each reader must deliver the same bytes.
    for (size_t i = 0; i + 8 <= size_t{count} * 512; i += 8) {
      uint64_t word;
      std::memcpy(&word, piece.data() + i, 8);
      r.checksum = r.checksum * 31 + word;
    }
  }
  r.seconds = Seconds(start);
  r.ok = true;
  return r;
}

// Best of three timed passes after one untimed pass.
Reading BestOfThree(const std::string& path) {
  Reading best = ReadWhole(path);
  for (int i = 0; i < 3 && best.ok; ++i) {
    Reading r = ReadWhole(path);
    if (!r.ok) return r;
    if (r.seconds < best.seconds || i == 0) best = r;
  }
  return best;
}

}  // namespace

int main() {
  const char* dirEnv = std::getenv("QM_BENCH_DIR");
  const std::string dir = dirEnv != nullptr ? dirEnv : "/tmp/quellmoor_container_bench";
  fs::create_directories(dir);
  if (!HaveTool("ewfacquire")) {
    std::printf("skipped: ewfacquire is missing (apt-get install ewf-tools)\n");
    return 0;
  }
  const std::string raw = dir + "/media.raw";
  std::printf("media: 1 GiB = 16 x (24 MiB NTFS volume, 16 MiB text, 24 MiB random)\n");
  if (!MakeRawMedia(dir, raw)) return 1;

  struct Image {
    const char* label;
    std::string path;
    std::string make;
  };
  std::vector<Image> images = {
      {"raw", raw, ""},
      {"E01 (deflate fast)", dir + "/media.E01",
       "ewfacquire -u -q -c deflate:fast -t '" + dir + "/media' '" + raw + "' >/dev/null"},
  };
  if (HaveTool("qemu-img")) {
    images.push_back(
        {"QCOW2", dir + "/media.qcow2", "qemu-img convert -O qcow2 '" + raw + "' '" + dir + "/media.qcow2'"});
    images.push_back({"VHDX", dir + "/media.vhdx", "qemu-img convert -O vhdx '" + raw + "' '" + dir + "/media.vhdx'"});
  }
  double rawSeconds = 0;
  uint64_t rawChecksum = 0;
  for (const Image& image : images) {
    if (!image.make.empty() && !fs::exists(image.path)) {
      const auto start = Clock::now();
      if (!Shell(image.make)) return 1;
      std::printf("made %s in %.1f s (%.0f MiB on disk)\n", image.path.c_str(), Seconds(start),
                  static_cast<double>(fs::file_size(image.path)) / (1 << 20));
    }
    Reading r = BestOfThree(image.path);
    if (!r.ok) return 1;
    if (rawSeconds == 0) {
      rawSeconds = r.seconds;
      rawChecksum = r.checksum;
    } else if (r.checksum != rawChecksum) {
      std::fprintf(stderr, "%s reads other bytes than the raw image\n", image.label);
      return 1;
    }
    std::printf("%-20s %7.1f MB/s  (%.2f s for 1 GiB in 64 KiB pieces)  %.2f x the raw time\n", image.label,
                static_cast<double>(kMediaBytes) / 1e6 / r.seconds, r.seconds, r.seconds / rawSeconds);
    std::fflush(stdout);
  }
  return 0;
}
