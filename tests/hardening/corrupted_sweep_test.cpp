// SPDX-License-Identifier: GPL-3.0-or-later
// Seeded corruptions of real volumes, scanned fast and deep. Each round
// damages the sectors a clean scan reads (boot sector, FAT or MFT,
// directories, exFAT's tables): bits flipped, fields set to extremes,
// sectors filled with noise or copied over one another. Every scan must
// end (no crash, no hang), list a bounded tree, and copy out only whole
// files: a copy that reports success has exactly the size its item shows,
// and a failed one leaves nothing. Rounds per fixture grow with
// QUELLMOOR_SWEEP_SCALE (a factor, 1 by default); the figures of each run
// (rounds, failed scans, the slowest scan, memory) are printed.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/hardening/hardening_util.h"

namespace hardening {
namespace {

namespace fs = std::filesystem;

struct SweepCase {
  const char* fixture;
  Mode mode;
  size_t keepBytes;  // the volume is cut to this many bytes (0: whole), to keep deep rounds short
  int rounds;        // at scale 1
};

void PrintTo(const SweepCase& c, std::ostream* os) {
  *os << c.fixture << " " << ModeName(c.mode);
}

std::string SweepName(const ::testing::TestParamInfo<SweepCase>& info) {
  return std::string(info.param.fixture) + "_" + ModeName(info.param.mode);
}

int Scale() {
  const char* value = std::getenv("QUELLMOOR_SWEEP_SCALE");
  const int scale = value == nullptr ? 1 : std::atoi(value);
  return std::clamp(scale, 1, 1000);
}

// One seeded change to the bytes, aimed at the sectors a clean scan reads.
void Corrupt(std::vector<uint8_t>& bytes, const std::vector<uint64_t>& targets, std::mt19937_64& rng) {
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  const uint64_t sector = targets[pick(targets.size())];
  uint8_t* at = bytes.data() + sector * 512;
  switch (pick(6)) {
    case 0:  // a few bits flipped
      for (uint64_t n = 1 + pick(8); n > 0; --n) at[pick(512)] ^= static_cast<uint8_t>(1u << pick(8));
      break;
    case 1: {  // 32-bit fields set to extremes
      static const uint32_t kExtremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF7, 0x10000};
      for (uint64_t n = 1 + pick(4); n > 0; --n) {
        const uint32_t v = pick(4) == 0 ? static_cast<uint32_t>(rng()) : kExtremes[pick(std::size(kExtremes))];
        const size_t offset = static_cast<size_t>(pick(128)) * 4;
        for (int b = 0; b < 4; ++b) at[offset + b] = static_cast<uint8_t>(v >> (8 * b));
      }
      break;
    }
    case 2:  // noise
      for (size_t i = 0; i < 512; ++i) at[i] = static_cast<uint8_t>(rng());
      break;
    case 3: {  // another metadata sector copied over it
      const uint64_t from = targets[pick(targets.size())];
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from * 512), 512, at);
      break;
    }
    case 4:  // zeros
      std::fill_n(at, 512, 0);
      break;
    default:  // a run of 0xFF
      std::fill_n(at + pick(496), 16, 0xFF);
      break;
  }
}

uint64_t MaxRssMiB() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) / 1024;
}

class CorruptedSweepTest : public ::testing::TestWithParam<SweepCase> {
 protected:
  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
};

TEST_P(CorruptedSweepTest, DamagedVolumesNeverCrashHangOrCopyShortFiles) {
  const SweepCase& c = GetParam();
  const std::string path = testing_support::UnpackedFixture(std::string(c.fixture) + ".img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture " << c.fixture << " is not available";
  std::vector<uint8_t> clean = testing_support::ReadFileBytes(path);
  if (c.keepBytes != 0 && clean.size() > c.keepBytes) clean.resize(c.keepBytes);
  engine::store::ScanIndex::Instance().Load();
  ASSERT_EQ(engine::store::ScanIndex::Instance().NewScanFolder(), engine::kStatusOk);
  const std::string scanFolder = engine::store::ScanIndex::Instance().CurrentScanFolder();

  // The sectors the fast engine reads in a clean scan: what the rounds damage.
  SourceOptions record;
  record.readSectors = std::make_shared<std::set<uint64_t>>();
  ScanBytes(c.fixture, Mode::kFast, clean, record, false);
  std::vector<uint64_t> targets;
  for (uint64_t s : *record.readSectors) {
    if ((s + 1) * 512 <= clean.size()) targets.push_back(s);
  }
  if (targets.empty()) targets.push_back(0);

  std::mt19937_64 rng(std::hash<std::string>{}(std::string(c.fixture) + ModeName(c.mode)));
  const int rounds = c.rounds * Scale();
  int failedScans = 0, copies = 0, failedCopies = 0;
  double slowestMs = 0;
  size_t mostFiles = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<uint8_t> bytes = clean;
    for (uint64_t n = 1 + rng() % 3; n > 0; --n) Corrupt(bytes, targets, rng);
    SCOPED_TRACE("round " + std::to_string(round));
    const auto start = std::chrono::steady_clock::now();
    auto run = ScanBytes(c.fixture, c.mode, std::move(bytes), {}, false);
    slowestMs = std::max(slowestMs,
                         std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (run->openStatus != engine::kStatusOk || run->scanStatus != engine::kStatusOk) ++failedScans;
    if (run->openStatus == engine::kStatusOk) {
      const auto files = ListedFiles(*run->engine);
      mostFiles = std::max(mostFiles, files.size());
      std::vector<ItemRecord> found;
      (void)run->engine->Search("*", found);
      size_t n = 0;
      for (const auto& [key, item] : files) {
        if (n++ == 3) break;
        const std::string target = m_out.path() + "f";
        const Status s = run->engine->RecoverItem(&item, target, 0);
        ++copies;
        if (s == engine::kStatusOk) {
          const uint64_t size = item.size;  // the record is packed: no reference to its fields
          EXPECT_EQ(fs::file_size(target), size) << "a copy reported whole is not: " << key;
        } else {
          ++failedCopies;
          EXPECT_FALSE(fs::exists(target)) << "a failed copy left a file: " << key;
        }
        std::error_code ignored;
        fs::remove(target, ignored);
      }
    }
    run.reset();
    // The rounds share one scan folder: what a round stored goes with it.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(scanFolder, ignored)) {
      if (entry.path().filename() != ".inuse") fs::remove_all(entry.path(), ignored);
    }
  }
  std::printf(
      "[ sweep    ] %s %s: %d rounds, %d scans failed with a status, %d copies (%d failed), "
      "at most %zu files, slowest scan %.0f ms, max RSS %llu MiB\n",
      c.fixture, ModeName(c.mode), rounds, failedScans, copies, failedCopies, mostFiles, slowestMs,
      static_cast<unsigned long long>(MaxRssMiB()));
  EXPECT_LT(MaxRssMiB(), 3072u) << "memory grew without bound";
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, CorruptedSweepTest,
    ::testing::Values(SweepCase{"fat12", Mode::kFast, 0, 300}, SweepCase{"fat16", Mode::kFast, 0, 300},
                      SweepCase{"fat32_512", Mode::kFast, 0, 200}, SweepCase{"fat_fragments", Mode::kFast, 0, 200},
                      SweepCase{"ntfs_512", Mode::kFast, 0, 300}, SweepCase{"ntfs_4k", Mode::kFast, 0, 200},
                      SweepCase{"exfat_512", Mode::kFast, 0, 300}, SweepCase{"exfat_4k", Mode::kFast, 0, 200},
                      SweepCase{"fat12", Mode::kDeep, 0, 100}, SweepCase{"fat16", Mode::kDeep, 4 << 20, 100},
                      SweepCase{"ntfs_512", Mode::kDeep, 4 << 20, 100},
                      SweepCase{"exfat_512", Mode::kDeep, 4 << 20, 100}),
    SweepName);

}  // namespace
}  // namespace hardening
