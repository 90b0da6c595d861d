// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the command line as a user meets it, each figure against its
// plain baseline, through the built quellmoor (page-cached images, best of
// three interleaved runs):
//  - recover --tree and flat of the deleted files of an NTFS volume with
//    200,000 file records (nested folders, a quarter deleted), output on
//    tmpfs, against tsk_recover (sleuthkit) when it is installed;
//  - recovery of 24,000 small deleted files to the disk: batched naming
//    (one flush per batch) against writing each file with an fsync before
//    its rename (what every recovered file cost before), and cp -r + sync;
//  - verify of a 1 GiB E01 (MD5 and SHA-1) against cat, md5sum and sha1sum;
//  - a command on a near-empty image.
// Needs root with mkntfs and ntfs-3g (FUSE) for the NTFS image, mkfs.fat and
// mtools, ewfacquire (ewf-tools) for the E01. The images are made once (a
// few minutes) in $QM_BENCH_DIR (default /var/tmp/quellmoor_recovery_bench,
// on the disk) and kept for the next run.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Shell(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", command.c_str());
  return false;
}

bool Have(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

double TimeShell(const std::string& command) {
  const auto start = Clock::now();
  if (!Shell(command)) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Quellmoor() {
  return std::string(QUELLMOOR_BUILD_DIR) + "/quellmoor";
}

// The best of three rounds of every run, in turns (the machine is shared).
std::vector<double> BestInterleaved(const std::vector<std::function<double()>>& runs) {
  std::vector<double> best(runs.size(), 1e30);
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < runs.size(); ++i) {
      const double t = runs[i]();
      best[i] = t < 0 || best[i] < 0 ? -1 : std::min(best[i], t);
    }
  }
  return best;
}

std::vector<double> BestInterleaved(const std::vector<std::string>& commands) {
  std::vector<std::function<double()>> runs;
  for (const auto& c : commands) runs.push_back([c] { return TimeShell(c); });
  return BestInterleaved(runs);
}

// Every file below from written to out as the engines wrote each recovered file before batches: a
// new file under a temporary name, flushed (fsync), renamed.
double WriteEachWithFsync(const std::string& from, const std::string& out) {
  fs::remove_all(out);
  fs::create_directories(out);
  std::vector<char> buffer;
  const auto start = Clock::now();
  for (const auto& e : fs::recursive_directory_iterator(from)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    buffer.assign(std::istreambuf_iterator<char>(in), {});
    const std::string name = e.path().parent_path().filename().string() + "_" + e.path().filename().string();
    const std::string temp = out + "/." + name + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ::write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size()) ||
        ::fsync(fd) != 0) {
      return -1;
    }
    ::close(fd);
    if (::rename(temp.c_str(), (out + "/" + name).c_str()) != 0) return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t FilesBelow(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

// 200,000 files in 200 folders two levels deep; every fourth deleted.
bool MakeNtfsImage(const std::string& image) {
  if (fs::exists(image)) return true;
  if (::geteuid() != 0 || !Have("mkntfs") || !Have("ntfs-3g")) return false;
  const std::string work = image + ".work";
  std::ofstream(work + ".py") << "import os\n"
                                 "for d in range(20):\n"
                                 "    for s in range(10): os.makedirs('Folder%02d/Sub%d' % (d, s))\n"
                                 "for i in range(200000):\n"
                                 "    d = i % 200\n"
                                 "    text = 'file %d of the benchmark volume\\n' % i\n"
                                 "    open('Folder%02d/Sub%d/file%06d.txt' % (d // 10, d % 10, i), 'w')"
                                 ".write(text * (1 + (i % 7) * 60))\n"
                                 "for i in range(0, 200000, 4):\n"
                                 "    d = i % 200\n"
                                 "    os.remove('Folder%02d/Sub%d/file%06d.txt' % (d // 10, d % 10, i))\n";
  std::ofstream(work + ".sh") << "set -e\nW=" << work
                              << "\nrm -rf $W; mkdir -p $W/mnt; truncate -s 2G $W/img\n"
                                 "mkntfs -F -Q -q $W/img >/dev/null 2>&1\nntfs-3g $W/img $W/mnt\n"
                                 "trap 'umount $W/mnt 2>/dev/null || true' EXIT\n"
                                 "(cd $W/mnt && python3 "
                              << work << ".py)\numount $W/mnt\ntrap - EXIT\nmv $W/img " << image << "\nrm -rf $W\n";
  std::printf("making %s (once; several minutes)...\n", image.c_str());
  std::fflush(stdout);
  const bool made = Shell("bash " + work + ".sh") && fs::exists(image);
  fs::remove(work + ".py");
  fs::remove(work + ".sh");
  return made;
}

// 24,000 small files (1-8 KiB of random bytes) in 24 folders of a FAT32 image, deleted (the folders
// stay); the originals kept in dir/small/.
bool MakeSmallFilesImage(const std::string& dir, const std::string& image) {
  if (fs::exists(image) && fs::exists(dir + "small")) return true;
  if (!Have("mkfs.fat") || !Have("mcopy")) return false;
  fs::remove_all(dir + "small");
  std::mt19937 random(11);
  std::vector<char> bytes(8192);
  for (int folder = 0; folder < 24; ++folder) {
    const std::string path = dir + "small/D" + std::to_string(folder);
    fs::create_directories(path);
    for (int i = 0; i < 1000; ++i) {
      for (auto& b : bytes) b = static_cast<char>(random());
      std::ofstream(path + "/F" + std::to_string(i) + ".BIN", std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(1024 + random() % 7168));
    }
  }
  fs::remove(image);
  return Shell("mkfs.fat -C -F 32 -S 512 -s 8 '" + image + "' 524288 >/dev/null") &&
         Shell("MTOOLS_SKIP_CHECK=1 mcopy -s -i '" + image + "' '" + dir + "small'/D* ::/ ") &&
         Shell("for d in $(cd '" + dir + "small' && echo D*); do MTOOLS_SKIP_CHECK=1 mdel -i '" + image +
               "' \"::/$d/*\" || exit 1; done");
}

// A 1 GiB raw image of random bytes and its E01 (ewfacquire's defaults, MD5 and SHA-1 stored).
bool MakeE01(const std::string& dir, std::string* e01) {
  *e01 = dir + "media.E01";
  if (fs::exists(*e01)) return true;
  if (!Have("ewfacquire")) return false;
  return Shell("head -c 1073741824 /dev/urandom > '" + dir + "media.raw'") &&
         Shell("ewfacquire -u -d sha1 -t '" + dir + "media' '" + dir + "media.raw' >/dev/null 2>&1") &&
         fs::exists(*e01);
}

void Line(const char* what, double seconds, double baseline, const char* baselineName) {
  if (seconds < 0) {
    std::printf("  %-46s failed\n", what);
  } else if (baseline > 0) {
    std::printf("  %-46s %8.2f s   %5.2fx %s\n", what, seconds, seconds / baseline, baselineName);
  } else {
    std::printf("  %-46s %8.2f s\n", what, seconds);
  }
}

}  // namespace

int main() {
  const char* env = std::getenv("QM_BENCH_DIR");
  const std::string dir = std::string(env != nullptr ? env : "/var/tmp/quellmoor_recovery_bench") + "/";
  const std::string shm = "/dev/shm/quellmoor_recovery_bench/";
  fs::create_directories(dir);
  fs::create_directories(shm);
  const std::string q = "XDG_DATA_HOME='" + dir + "data' XDG_CONFIG_HOME='" + dir + "config' '" + Quellmoor() + "' ";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("machine: %ld cores, %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), "shared; best of 3 interleaved runs");

  const std::string ntfs = dir + "ntfs_200k.img";
  if (MakeNtfsImage(ntfs)) {
    Shell("cat '" + ntfs + "' > /dev/null");
    Shell(q + "scan '" + ntfs + "' > /dev/null");
    std::vector<std::string> commands = {
        "rm -rf '" + shm + "flat' && " + q + "recover --reuse --out '" + shm + "flat' '" + ntfs + "' > /dev/null",
        "rm -rf '" + shm + "tree' && " + q + "recover --reuse --tree --out '" + shm + "tree' '" + ntfs + "' > /dev/null",
    };
    const bool tsk = Have("tsk_recover");
    if (tsk) commands.push_back("rm -rf '" + shm + "tsk' && tsk_recover '" + ntfs + "' '" + shm + "tsk' > /dev/null");
    const auto t = BestInterleaved(commands);
    std::printf("\nRecovery of the deleted files of an NTFS volume with 200,000 file records, output on tmpfs\n");
    std::printf("  %zu files recovered (flat), %zu (--tree)%s\n", FilesBelow(shm + "flat"), FilesBelow(shm + "tree"),
                tsk ? ("; tsk_recover " + std::to_string(FilesBelow(shm + "tsk"))).c_str() : "");
    if (tsk) Line("tsk_recover", t[2], 0, "");
    Line("quellmoor recover (flat)", t[0], tsk ? t[2] : 0, "tsk_recover");
    Line("quellmoor recover --tree", t[1], tsk ? t[2] : 0, "tsk_recover");
    if (t[0] > 0 && t[1] > 0) std::printf("  --tree against flat: %+.0f %%\n", 100.0 * (t[1] - t[0]) / t[0]);
    fs::remove_all(shm + "flat");
    fs::remove_all(shm + "tree");
    fs::remove_all(shm + "tsk");
  } else {
    std::printf("\nNTFS recovery: skipped (needs root, mkntfs and ntfs-3g to make the image)\n");
  }

  const std::string small = dir + "small.img";
  if (MakeSmallFilesImage(dir, small)) {
    Shell("cat '" + small + "' > /dev/null; cat '" + dir + "small'/D*/* > /dev/null");
    Shell(q + "scan '" + small + "' > /dev/null");
    const std::string recover =
        "rm -rf '" + dir + "out' && " + q + "recover --reuse --out '" + dir + "out' '" + small + "' > /dev/null";
    const std::string copy =
        "rm -rf '" + dir + "cp' && cp -r '" + dir + "small' '" + dir + "cp' && sync -f '" + dir + "cp'";
    const auto t = BestInterleaved(
        std::vector<std::function<double()>>{[&] { return TimeShell(recover); }, [&] { return TimeShell(copy); },
                                             [&] { return WriteEachWithFsync(dir + "small", dir + "loop"); }});
    std::printf("\nRecovery of 24,000 small deleted files (1-8 KiB) from a cached FAT32 image to the disk (ext4)\n");
    std::printf("  %zu files recovered\n", FilesBelow(dir + "out"));
    Line("cp -r of the originals + sync", t[1], 0, "");
    Line("one fsync and rename per file (the old way)", t[2], t[1], "cp -r + sync");
    Line("quellmoor recover (batched naming)", t[0], t[1], "cp -r + sync");
    if (t[0] > 0 && t[2] > 0) std::printf("  batched against one fsync per file: %.1fx faster\n", t[2] / t[0]);
    fs::remove_all(dir + "out");
    fs::remove_all(dir + "cp");
    fs::remove_all(dir + "loop");
  } else {
    std::printf("\nSmall files: skipped (needs mkfs.fat and mtools)\n");
  }

  std::string e01;
  if (MakeE01(dir, &e01)) {
    Shell("cat '" + dir + "'media.E* > /dev/null");
    const auto t = BestInterleaved({
        q + "verify '" + e01 + "' > /dev/null",
        "cat '" + dir + "'media.E* > /dev/null",
        "md5sum '" + dir + "media.raw' > /dev/null",
        "sha1sum '" + dir + "media.raw' > /dev/null",
    });
    std::printf("\nverify of a 1 GiB E01 (MD5 and SHA-1 of its media), page-cached\n");
    Line("cat of its segment files", t[1], 0, "");
    Line("md5sum of the raw media", t[2], t[1], "cat");
    Line("sha1sum of the raw media", t[3], t[1], "cat");
    Line("quellmoor verify", t[0], t[1], "cat");
    if (t[0] > 0) std::printf("  verify: %.0f MB/s of media\n", 1024.0 / t[0]);
  } else {
    std::printf("\nverify: skipped (needs ewfacquire, package ewf-tools)\n");
  }

  const std::string empty = dir + "empty.img";  // a freshly formatted 1.44 MB FAT12 volume
  if (!fs::exists(empty)) Shell("mkfs.fat -C -F 12 '" + empty + "' 1440 > /dev/null");
  const auto t = BestInterleaved({q + "probe '" + empty + "' > /dev/null", q + "scan '" + empty + "' > /dev/null 2>&1",
                                  "cat '" + empty + "' > /dev/null"});
  std::printf("\nA command on a near-empty image (an empty 1.44 MB FAT12 volume)\n");
  Line("cat", t[2], 0, "");
  Line("quellmoor probe", t[0], 0, "");
  Line("quellmoor scan", t[1], 0, "");
  fs::remove_all(shm);
  return 0;
}
