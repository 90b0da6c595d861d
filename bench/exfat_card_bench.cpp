// SPDX-License-Identifier: GPL-3.0-or-later
// The professional exFAT engine's finish on a quick-formatted phone card of
// 100,000 photos in 200 folders (folders written two at a time, in turns,
// so each directory grows cluster by cluster between the photos): time and
// peak memory with and without the scoring of where a directory continues,
// and how many photos land in their named folder either way.
// Makes the card once with mkfs.exfat and exfat-fuse on a loop device, which
// needs root; the image is kept in $QM_BENCH_DIR (default
// /tmp/quellmoor_exfat_card_bench) for the next run. Each variant runs in a
// child process of its own, so that its peak memory is its own.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFolders = 200;
constexpr int kPhotosPerFolder = 500;

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

std::string PhotoName(int folder, int i) {
  char name[64];
  const int second = i * 2;
  if (folder % 2 == 0) {
    std::snprintf(name, sizeof name, "IMG_2026%04d_%02d%02d%02d.jpg", 301 + folder / 2, second / 3600,
                  second / 60 % 60, second % 60);
  } else {
    std::snprintf(name, sizeof name, "Screenshot_2026%04d-%02d%02d%02d_Gallery.jpg", 301 + folder / 2,
                  second / 3600, second / 60 % 60, second % 60 + 1 - second % 2);
  }
  return name;
}

// The card: 1 GiB sparse, 4 KiB clusters, 200 folders of 500 photos written
// through exfat-fuse two folders at a time in turns, then quick-formatted.
bool MakeCard(const std::string& dir, const std::string& image) {
  if (fs::exists(image)) return true;
  const std::string temp = image + ".tmp";
  const std::string mount = dir + "mnt";
  fs::create_directories(mount);
  std::string loop;
  bool ok = Shell("truncate -s 1G '" + temp + "'") && Shell("mkfs.exfat -c 4096 -L QMCARD '" + temp + "' >/dev/null") &&
            Shell("losetup -f --show '" + temp + "'", &loop) &&
            Shell("mount.exfat-fuse '" + loop + "' '" + mount + "' >/dev/null 2>&1");
  if (!ok) {
    if (!loop.empty()) (void)Shell("losetup -d '" + loop + "'");
    std::fprintf(stderr, "the card needs root, losetup, mkfs.exfat and mount.exfat-fuse\n");
    return false;
  }
  std::string photo;
  if (Shell("/usr/bin/convert -size 24x16 gradient:red-blue '" + dir + "seed.jpg'")) {
    std::ifstream in(dir + "seed.jpg", std::ios::binary);
    photo.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto start = Clock::now();
  for (int pair = 0; pair < kFolders / 2 && ok; ++pair) {
    for (int f = 2 * pair; f < 2 * pair + 2; ++f) fs::create_directories(mount + "/DCIM/" + std::to_string(100 + f) + "PHONE");
    for (int i = 0; i < kPhotosPerFolder && ok; ++i) {
      for (int f = 2 * pair; f < 2 * pair + 2 && ok; ++f) {
        std::ofstream out(mount + "/DCIM/" + std::to_string(100 + f) + "PHONE/" + PhotoName(f, i), std::ios::binary);
        out << photo;
        ok = static_cast<bool>(out);
      }
    }
  }
  ok = Shell("sync") && Shell("fusermount -u '" + mount + "'") && ok;
  ok = Shell("mkfs.exfat -c 4096 -L QMCARD '" + loop + "' >/dev/null") && ok;
  ok = Shell("losetup -d '" + loop + "'") && ok;
  std::printf("made the card in %.1f s\n", Seconds(start));
  if (ok) fs::rename(temp, image);
  return ok;
}

// Photos in a folder with a name, and in placeholders, reachable from the root.
void CountPlaces(engine::exfat::CProfessionalExFatRecovery& engine, uint64_t* named, uint64_t* lost,
                 uint64_t* placeholders) {
  struct Pending {
    engine::ItemRecord record;
    int32_t depth;
    bool root;
    bool placeholder;
  };
  std::vector<Pending> queue{{engine::ZeroRecord(), 0, true, false}};
  for (size_t i = 0; i < queue.size(); ++i) {
    const Pending p = queue[i];
    std::vector<engine::ItemRecord> children;
    if (engine.ListChildren(p.root ? nullptr : &p.record, p.depth, children) != engine::kStatusOk) return;
    for (const engine::ItemRecord& child : children) {
      if (child.isFolder != 0) {
        const bool placeholder = std::string_view(child.Name()).rfind("LostFolder", 0) == 0;
        *placeholders += placeholder;
        queue.push_back({child, p.depth + 1, false, placeholder});
      } else {
        ++*(p.placeholder ? lost : named);
      }
    }
  }
}

// One variant in this process: feed, finish, count, report.
int Run(const std::string& image, bool scoring) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 1;
  storage::SectorSource source;
  if (storage::OpenImageSource(source, image) != engine::kStatusOk) return 1;
  engine::exfat::CProfessionalExFatRecovery card;
  card.SetContinuationScoring(scoring);
  if (card.OpenSharedSource(source, 512, 0, source.totalSectors, 'P') != engine::kStatusOk) return 1;
  if (card.BeginExFatScan(nullptr) != engine::kStatusOk) return 1;
  (void)card.PrepareExFatGeometry();
  constexpr uint32_t kChunk = 128;
  std::vector<uint8_t> chunk(kChunk * 512);
  const auto fed = Clock::now();
  for (uint64_t at = 0; at < source.totalSectors; at += kChunk) {
    uint32_t got = 0;
    if (storage::ReadSectors(kChunk, source, chunk.data(), at, 512, &got) != engine::kStatusOk) return 1;
    for (uint32_t i = 0; i < got; ++i) {
      const uint8_t* sector = chunk.data() + size_t{i} * 512;
      if (engine::exfat::IsExFatDirectorySector(sector, size_t{got - i} * 512, 512)) {
        card.HandleExFatDirectorySector(sector, size_t{got - i} * 512, at + i);
      }
    }
  }
  const double feedSeconds = Seconds(fed);
  const auto finished = Clock::now();
  if (card.FinishExFatScan() != engine::kStatusOk) return 1;
  const double finishSeconds = Seconds(finished);
  uint64_t named = 0;
  uint64_t lost = 0;
  uint64_t placeholders = 0;
  CountPlaces(card, &named, &lost, &placeholders);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "professional exFAT finish, %s scoring: %.3f s (sectors fed in %.3f s), peak memory %.1f MiB; "
      "%llu photos in their named folder, %llu in %llu LostFolderN\n",
      scoring ? "with" : "without", finishSeconds, feedSeconds, usage.ru_maxrss / 1024.0,
      static_cast<unsigned long long>(named), static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(placeholders - 1));  // the card's own /DCIM is a placeholder too
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_exfat_card_bench") + "/";
  fs::create_directories(dir);
  fs::remove_all(dir + "data");
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);

  const std::string image = dir + "card1g.img";
  if (!MakeCard(dir, image)) {
    std::printf("exfat_card_bench: skipped (no card image)\n");
    return 0;
  }
  std::printf("card: %d photos in %d folders, 4 KiB clusters, quick-formatted\n", kFolders * kPhotosPerFolder,
              kFolders);
  std::fflush(stdout);
  int failed = 0;
  for (bool scoring : {false, true}) {
    const pid_t child = ::fork();
    if (child == 0) {
      engine::store::ScanIndex::Instance().Load();
      ::_exit(Run(image, scoring));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
