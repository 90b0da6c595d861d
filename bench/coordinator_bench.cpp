// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the whole deep scan against the disk it reads: an image of
// 512 MiB of real files (those under /usr, each starting at a 4 KiB
// boundary, as a disk's data area looks, with no file system left) is
// read once plainly in 64 KiB pieces and then deep-scanned by the
// coordinator, both from the page cache; the ratio of the two times is the
// cost of classifying every sector, and the share of it that judging the
// carved files by their structure takes. Then everything found is copied out.
// Prints seconds, MB/s, the ratio, files found and the peak memory (the
// process's maximum resident set, which the image itself is not part of:
// it is read from the file). Work files go to $QM_BENCH_DIR (default
// /tmp/quellmoor_coordinator_bench); the image is kept for the next run;
// $QM_BENCH_MIB sets its size; $QM_BENCH_SKIP_COPY leaves the copy out.
// With ewfacquire installed the same image is also made into a compressed
// E01 (once) and deep-scanned through it: the ratio to the raw image's scan
// is the cost of reading evidence images as they are.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/deep/professional_recovery.h"
#include "bench/file_image.h"
#include "engine/store/scan_index.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Deep-scans an image; the seconds taken, or -1 when it cannot be opened.
double DeepScanSeconds(const std::string& path, uint64_t* items) {
  engine::deep::CProfessionalRecovery deep;
  if (deep.OpenImage(path, 'E') != engine::kStatusOk) return -1;
  const auto start = Clock::now();
  if (deep.Scan(nullptr) != engine::kStatusOk) return -1;
  *items = deep.GetItemCount();
  return Seconds(start);
}

double PlainRead(const std::string& path) {
  const auto start = Clock::now();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  std::vector<char> piece(65536);
  volatile uint64_t sum = 0;
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file)) > 0) sum = sum + static_cast<uint8_t>(piece[got - 1]);
  std::fclose(file);
  return Seconds(start);
}

}  // namespace

int main() {
  const char* dirEnv = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(dirEnv != nullptr ? dirEnv : "/tmp/quellmoor_coordinator_bench") + "/";
  const char* mibEnv = std::getenv("QM_BENCH_MIB");
  const uint64_t mib = mibEnv != nullptr ? std::strtoull(mibEnv, nullptr, 10) : 512;
  fs::create_directories(dir);
  fs::remove_all(dir + "data");
  fs::remove_all(dir + "out");
  ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
  engine::store::ScanIndex::Instance().Load();

  const std::string image = dir + "usr_" + std::to_string(mib) + "m.img";
  std::error_code ec;
  if (fs::file_size(image, ec) != mib << 20) {
    std::printf("making %s from the files under /usr ...\n", image.c_str());
    if (!bench::LayFilesOut(image, mib << 20, bench::FilesUnder({"/usr"}, false))) {
      std::printf("cannot write %s\n", image.c_str());
      return 1;
    }
  }
  PlainRead(image);  // into the page cache
  const double plain = PlainRead(image);
  const long before = PeakResidentKiB();

  engine::deep::CProfessionalRecovery deep;
  if (deep.OpenImage(image, 'B') != engine::kStatusOk) {
    std::printf("cannot open %s\n", image.c_str());
    return 1;
  }
  auto start = Clock::now();
  const engine::Status scanned = deep.Scan(nullptr);
  const double scan = Seconds(start);
  const long peak = PeakResidentKiB();
  // What judging the carved files by their structure costs: done again over
  // every file the scan left intact (the same decodes the scan made).
  start = Clock::now();
  const engine::Status judged = deep.SignatureScanner().JudgeCarvedFiles(nullptr);
  const double judge = Seconds(start);

  std::vector<engine::ItemRecord> roots;
  (void)deep.ListChildren(nullptr, 0, roots);
  fs::create_directories(dir + "out");
  uint64_t bytes = 0;
  size_t files = 0;
  int failed = 0;
  start = Clock::now();
  const bool copyAll = std::getenv("QM_BENCH_SKIP_COPY") == nullptr;
  for (const engine::ItemRecord& item : copyAll ? roots : std::vector<engine::ItemRecord>{}) {
    const std::string target = dir + "out/" + std::to_string(files++);
    if (deep.RecoverItem(&item, target, 0) != engine::kStatusOk) {
      ++failed;
      continue;
    }
    if (item.isFolder == 0) bytes += item.size;
  }
  const double copy = Seconds(start);
  const double megabytes = static_cast<double>(mib << 20) / 1e6;

  std::printf("image: %llu MiB of files under /usr at 4 KiB boundaries (no file system)\n",
              static_cast<unsigned long long>(mib));
  std::printf("plain sequential read (cached): %.2f s, %.0f MB/s\n", plain, megabytes / plain);
  std::printf(
      "deep scan (status %d): %.2f s, %.0f MB/s, %.2fx the plain read; %llu items found, "
      "%llu unreadable sectors\n",
      scanned, scan, megabytes / scan, scan / plain, static_cast<unsigned long long>(deep.GetItemCount()),
      static_cast<unsigned long long>(deep.UnreadableSectors()));
  std::printf("peak memory: %.1f MiB (before the scan %.1f MiB)\n", peak / 1024.0, before / 1024.0);
  std::printf("judging the carved files by their structure (decoders, walks; status %d): %.2f s, %.0f%% of the scan\n",
              judged, judge, 100.0 * judge / scan);
  std::printf("deep recovery of everything found: %zu items, %.1f MB in %.2f s, %.0f MB/s, %d failed\n", files,
              static_cast<double>(bytes) / 1e6, copy, static_cast<double>(bytes) / 1e6 / copy, failed);
  fs::remove_all(dir + "out");

  // The same media as a compressed E01.
  const std::string e01 = dir + "usr_" + std::to_string(mib) + "m";
  if (!fs::exists(e01 + ".E01") && std::system("command -v ewfacquire >/dev/null 2>&1") == 0) {
    std::printf("making %s.E01 with ewfacquire ...\n", e01.c_str());
    const std::string command = "ewfacquire -u -q -c fast -f encase6 -S 8GiB -t '" + e01 + "' '" + image +
                                "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) fs::remove(e01 + ".E01");
  }
  if (fs::exists(e01 + ".E01")) {
    uint64_t rawItems = 0;
    uint64_t e01Items = 0;
    const double raw = DeepScanSeconds(image, &rawItems);
    const double ewf = DeepScanSeconds(e01 + ".E01", &e01Items);
    std::printf("deep scan of the same media as E01 (deflate \"fast\"): %.2f s against %.2f s raw, %.2fx; "
                "%llu items against %llu\n",
                ewf, raw, ewf / raw, static_cast<unsigned long long>(e01Items),
                static_cast<unsigned long long>(rawItems));
  }
  return 0;
}
