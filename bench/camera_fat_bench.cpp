// SPDX-License-Identifier: GPL-3.0-or-later
// The professional FAT engine's finish on quick-formatted cards of 100,000
// pictures in 200 and in 400 folders, with and without the scored directory
// continuation. The cards are made by mkfs.fat and mtools: 512-byte
// clusters, each folder's pictures named after it (ABC00001.JPG ..), written
// in five rounds per folder, the folders in turns, so every directory grew
// between other folders' data and every folder is open at any time; then
// mkfs.fat again. Each run is a child process, so its peak
// memory (ru_maxrss) is its own. Prints the feed and finish times, the peak
// memory and where the pictures went (their folder, or a lost folder).
// Needs mkfs.fat, mtools and ImageMagick's convert. Work files go to
// $QM_BENCH_DIR (default /tmp/quellmoor_camera_bench) and are kept.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "engine/store/scan_index.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A card: folders x rounds x pictures per round and folder.
struct Layout {
  int folders;
  int rounds;
  int perRound;
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", command.c_str());
  return false;
}

std::string FolderLetters(int f) {
  std::string s = "AAA";
  s[1] = static_cast<char>('A' + f / 26);
  s[2] = static_cast<char>('A' + f % 26);
  return s;
}

bool MakeCard(const std::string& dir, const std::string& image, const Layout& card) {
  if (fs::exists(image)) return true;
  const std::string src = dir + "src/";
  const std::string temp = image + ".tmp";
  fs::remove_all(src);
  fs::create_directories(src);
  fs::remove(temp);
  std::printf("making the card (once; a few minutes) ...\n");
  std::fflush(stdout);
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";
  if (!Shell("convert -seed 7 -size 32x24 plasma:fractal -strip '" + src + "photo.jpg'") ||
      !Shell("mkfs.fat -C -F 32 -s 1 -S 512 '" + temp + "' 262144 >/dev/null") ||
      !Shell(mtools + "mmd -i '" + temp + "' ::/DCIM")) {
    return false;
  }
  for (int f = 0; f < card.folders; ++f) {
    if (!Shell(mtools + "mmd -i '" + temp + "' ::/DCIM/" + std::to_string(100 + f) + FolderLetters(f))) return false;
  }
  for (int round = 0; round < card.rounds; ++round) {
    for (int f = 0; f < card.folders; ++f) {
      const std::string batch = src + "batch/";
      fs::remove_all(batch);
      fs::create_directories(batch);
      std::string files;
      for (int k = 0; k < card.perRound; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "%s%05d.JPG", FolderLetters(f).c_str(), round * card.perRound + k + 1);
        fs::create_hard_link(src + "photo.jpg", batch + name);
        files += " '" + batch + name + "'";
      }
      if (!Shell(mtools + "mcopy -i '" + temp + "'" + files + " ::/DCIM/" + std::to_string(100 + f) + FolderLetters(f) +
                 "/")) {
        return false;
      }
    }
  }
  fs::remove_all(src);
  if (!Shell("mkfs.fat -F 32 -s 1 -S 512 '" + temp + "' >/dev/null")) return false;
  fs::rename(temp, image);
  return true;
}

struct Where {
  uint64_t inFolder = 0;   // pictures in a named folder holding only its own pictures
  uint64_t lost = 0;       // pictures in a lost folder
  uint64_t misplaced = 0;  // pictures in a named folder of another prefix
  uint64_t lostFolders = 0;
};

// Walks the tree: a folder named 1NNXYZ should hold XYZ*.JPG only.
Where Count(engine::fat::CProfessionalFatRecovery& fat) {
  Where w;
  struct Pending {
    engine::ItemRecord record;
    int32_t depth;
    bool root;
  };
  std::vector<Pending> queue{{engine::ZeroRecord(), 0, true}};
  for (size_t i = 0; i < queue.size(); ++i) {
    const Pending p = queue[i];
    std::vector<engine::ItemRecord> children;
    if (fat.ListChildren(p.root ? nullptr : &p.record, p.depth, children) != engine::kStatusOk) continue;
    const std::string folder = p.root ? "" : std::string(p.record.Name());
    const bool lost = folder.rfind("LostFolder", 0) == 0;
    for (const engine::ItemRecord& child : children) {
      if (child.isFolder != 0) {
        w.lostFolders += std::string(child.Name()).rfind("LostFolder", 0) == 0 ? 1 : 0;
        queue.push_back({child, p.depth + 1, false});
        continue;
      }
      const std::string name(child.Name());
      if (lost) {
        ++w.lost;
      } else if (folder.size() == 6 && name.size() >= 3 && name.compare(0, 3, folder.substr(3)) == 0) {
        ++w.inFolder;
      } else if (folder.size() == 6 && name.size() >= 3) {
        // Names read back in lower case.
        std::string upper = name.substr(0, 3);
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        std::string own = folder.substr(3);
        for (char& c : own) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (upper == own) {
          ++w.inFolder;
        } else {
          ++w.misplaced;
        }
      } else {
        ++w.misplaced;
      }
    }
  }
  return w;
}

// One feed and finish over the card, in this process.
int RunOnce(const std::string& image, bool scoring) {
  if (engine::store::ScanIndex::Instance().NewScanFolder() != engine::kStatusOk) return 1;
  engine::fat::CProfessionalFatRecovery fat;
  if (fat.OpenImage(image, 'B') != engine::kStatusOk) return 1;
  if (fat.BeginFatScan(nullptr) != engine::kStatusOk) return 1;
  (void)fat.PrepareFatGeometry();
  fat.SetContinuationScoring(scoring);
  std::ifstream in(image, std::ios::binary);
  std::vector<char> chunk(size_t{1} << 20);
  uint64_t sector = 0;
  const auto feed = Clock::now();
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    for (size_t at = 0; at + 512 <= got; at += 512, ++sector) {
      const auto* s = reinterpret_cast<const uint8_t*>(chunk.data() + at);
      if (engine::IsDirectoryStart(s, 512)) {
        fat.HandleDirectoryStart(s, 512, sector);
      } else if (engine::IsDirectorySector(s, 512)) {
        fat.HandleDirectorySector(s, 512, sector);
      }
    }
  }
  const double feedSeconds = Seconds(feed);
  const auto finish = Clock::now();
  const engine::Status status = fat.FinishFatScan();
  const double finishSeconds = Seconds(finish);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const Where w = Count(fat);
  std::printf(
      "%-22s feed %.2f s, finish %.2f s (status %d), peak memory %.1f MiB; %zu pieces; pictures in their folder "
      "%llu, in lost folders %llu, misplaced %llu; lost folders %llu\n",
      scoring ? "with scoring:" : "without scoring:", feedSeconds, finishSeconds, static_cast<int>(status),
      usage.ru_maxrss / 1024.0, fat.Pieces().Pieces().size(), static_cast<unsigned long long>(w.inFolder),
      static_cast<unsigned long long>(w.lost), static_cast<unsigned long long>(w.misplaced),
      static_cast<unsigned long long>(w.lostFolders));
  return 0;
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/tmp/quellmoor_camera_bench") + "/";
  fs::create_directories(dir);
  // 200 folders: every open directory is scored; 400: the candidates come
  // from the continuation index.
  for (const Layout& card : {Layout{200, 5, 100}, Layout{400, 5, 50}}) {
    const std::string image = dir + "card_" + std::to_string(card.folders) + ".img";
    if (!MakeCard(dir, image, card)) return 1;
    std::printf("card: %d folders x %d pictures, 512-byte clusters, quick-formatted (%.0f MiB)\n", card.folders,
                card.rounds * card.perRound, static_cast<double>(fs::file_size(image)) / 1048576.0);
    for (const bool scoring : {false, true}) {
      std::fflush(stdout);
      const pid_t child = fork();
      if (child == 0) {
        fs::remove_all(dir + "data");
        ::setenv("XDG_DATA_HOME", (dir + "data").c_str(), 1);
        engine::store::ScanIndex::Instance().Load();
        const int rc = RunOnce(image, scoring);
        std::fflush(stdout);
        _exit(rc);
      }
      int status = 0;
      if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "run failed\n");
        return 1;
      }
    }
  }
  fs::remove_all(dir + "data");
  return 0;
}
