// SPDX-License-Identifier: GPL-3.0-or-later
// The files a stopped deep scan keeps are files on disk that anything may
// have changed. Each round stops a deep scan of a partition half-way,
// damages what it kept in one seeded way, and continues it through the scan
// job, on a disk whose every read outside the partition fails and is
// counted: no read ever leaves the partition, a damaged kept scan is set
// aside with its reason and the partition scanned again from the start to
// the very result a whole scan gives, and a harmless change is continued to
// that result. QUELLMOOR_SWEEP_SCALE multiplies the seeded rounds; the
// figures of each run are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "engine/deep/deep_scan_state.h"
#include "engine/store/scan_store.h"
#include "jobs/message_keys.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "storage/sector_source.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace hardening {
namespace {

namespace fs = std::filesystem;
using engine::deep::DeepScanState;
using jobs::JobResult;
using jobs::ResumePolicy;
using jobs::ScanSourceList;
using jobs::testing::MapTexts;
using jobs::testing::ScriptedView;

// The partition: fat16_quick, a FAT16 volume quick-formatted over older files.
constexpr uint64_t kPartitionStart = 2048;
constexpr uint64_t kPartitionSectors = 65536;

// Reads of the disk outside [first, end) bytes fail, and are counted.
class PartitionOnlyDevice final : public storage::ISourceDevice {
 public:
  PartitionOnlyDevice(std::unique_ptr<storage::ISourceDevice> inner, uint64_t first, uint64_t end,
                      std::atomic<uint64_t>* outside)
      : m_inner(std::move(inner)), m_first(first), m_end(end), m_outside(outside) {}
  engine::Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    *bytesRead = 0;
    if (byteOffset < m_first || byteOffset >= m_end || byteCount > m_end - byteOffset) {
      ++*m_outside;
      return platform::kErrorIoDevice;
    }
    return m_inner->ReadAt(byteOffset, buffer, byteCount, bytesRead);
  }

 private:
  std::unique_ptr<storage::ISourceDevice> m_inner;
  uint64_t m_first;
  uint64_t m_end;
  std::atomic<uint64_t>* m_outside;
};

MapTexts Texts() {
  std::map<std::string, std::string> texts = {
      {"MSG1327", "%s starts again"}, {"MSG1328", "%s kept"}, {"MSG1350", "SET ASIDE %s (%s)"}};
  for (int key = 1352; key <= 1358; ++key) texts["MSG" + std::to_string(key)] = "why" + std::to_string(key);
  return MapTexts(texts);
}

std::vector<std::string> FoundNames(const ScanSourceList& sources) {
  ScriptedView view;
  MapTexts texts;
  std::string pattern, error;
  EXPECT_TRUE(jobs::BuildSearchPattern({}, &pattern, &error));
  jobs::CSearchJob search({sources, pattern, true}, view, &texts);
  EXPECT_EQ(search.Start(), 0);
  EXPECT_EQ(search.Wait(), JobResult::kFinished);
  std::vector<std::string> names;
  for (const auto& f : search.Results()) {
    names.push_back(f.folderPath + std::string(f.item.Name()) + " " + std::to_string(+f.item.size) + " " +
                    std::to_string(+f.item.entrySector) + " " + engine::StateWord(engine::StateOf(f.item)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What a round does to the kept files, and what must come of it.
enum class Expect { kSetAside, kContinued, kScannedAgain };
struct Damage {
  std::string what;
  std::function<void(const std::string& folder, std::mt19937_64& random)> apply;
  Expect expect = Expect::kSetAside;
};

std::vector<uint8_t> Bytes(const std::string& path) {
  return testing_support::ReadFileBytes(path);
}
void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::remove_all(path);
  testing_support::WriteFileBytes(path, bytes);
}

std::string CarvedRecords(const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(engine::store::kFileTypeLogPrefix, 0) == 0 && name.find("_", 10) == name.rfind("_")) {
      return folder + name;
    }
  }
  return {};
}

// Rewrites the state through the writer (a valid checksum) with one field changed.
std::function<void(const std::string&, std::mt19937_64&)> Field(std::function<void(DeepScanState&)> change) {
  return [change](const std::string& folder, std::mt19937_64&) {
    DeepScanState state;
    ASSERT_EQ(engine::deep::ReadDeepScanState(folder, &state), engine::kStatusOk);
    change(state);
    ASSERT_EQ(engine::deep::WriteDeepScanState(folder, state), engine::kStatusOk);
  };
}

// Changes the replay log's entries and makes the state's hash agree, as a
// writer that meant them would.
std::function<void(const std::string&, std::mt19937_64&)> Replay(std::function<void(std::vector<uint8_t>&)> change) {
  return [change](const std::string& folder, std::mt19937_64&) {
    DeepScanState state;
    ASSERT_EQ(engine::deep::ReadDeepScanState(folder, &state), engine::kStatusOk);
    std::vector<uint8_t> log = Bytes(folder + engine::deep::kDeepReplayName);
    ASSERT_GE(log.size(), 16u);
    change(log);
    Put(folder + engine::deep::kDeepReplayName, log);
    state.replayEntries = log.size() / 16;
    state.replayHash = engine::deep::ReplayLog::HashOf(engine::ByteView(log.data(), log.size()));
    ASSERT_EQ(engine::deep::WriteDeepScanState(folder, state), engine::kStatusOk);
  };
}

void SetU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void SetU64(std::vector<uint8_t>& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// QUELLMOOR_SWEEP_SCALE multiplies the rounds of seeded flips and cuts.
int Scale() {
  const char* value = std::getenv("QUELLMOOR_SWEEP_SCALE");
  return std::clamp(value == nullptr ? 1 : std::atoi(value), 1, 1000);
}

std::vector<Damage> Damages() {
  const int scale = Scale();
  const std::string state = engine::deep::kDeepStateName;
  const std::string replay = engine::deep::kDeepReplayName;
  auto flip = [](std::string name) {
    return [name](const std::string& folder, std::mt19937_64& random) {
      const std::string path = name.empty() ? CarvedRecords(folder) : folder + name;
      std::vector<uint8_t> bytes = Bytes(path);
      ASSERT_FALSE(bytes.empty()) << path;
      const size_t bit = random() % (bytes.size() * 8);
      bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      Put(path, bytes);
    };
  };
  auto cut = [](std::string name) {
    return [name](const std::string& folder, std::mt19937_64& random) {
      const std::string path = name.empty() ? CarvedRecords(folder) : folder + name;
      std::vector<uint8_t> bytes = Bytes(path);
      ASSERT_FALSE(bytes.empty()) << path;
      bytes.resize(random() % bytes.size());
      Put(path, bytes);
    };
  };
  auto replace = [](std::string name, std::string with) {
    return [name, with](const std::string& folder, std::mt19937_64&) {
      const std::string path = name.empty() ? CarvedRecords(folder) : folder + name;
      fs::remove_all(path);
      if (with == "folder") {
        fs::create_directory(path);
      } else if (with == "gone") {
      } else {
        fs::create_symlink(with, path);
      }
    };
  };
  std::vector<Damage> d;
  for (int i = 0; i < 8 * scale; ++i) d.push_back({"state: a bit flipped", flip(state)});
  for (int i = 0; i < 6 * scale; ++i) d.push_back({"state: cut short", cut(state)});
  d.push_back({"state: a byte added", [state](const std::string& f, std::mt19937_64&) {
                 auto b = Bytes(f + state);
                 b.push_back(0);
                 Put(f + state, b);
               }});
  d.push_back({"state: another version", [state](const std::string& f, std::mt19937_64&) {
                 auto b = Bytes(f + state);
                 b[7] = '1';
                 Put(f + state, b);
               }});
  for (const char* with : {"folder", "/dev/zero", "/dev/null", "gone"}) {
    d.push_back({std::string("state: replaced by ") + with, replace(state, with)});
    d.push_back({std::string("replay log: replaced by ") + with, replace(replay, with)});
    d.push_back({std::string("carved files: replaced by ") + with, replace("", with)});
  }
  // Every header field, written back with a valid checksum.
  using S = DeepScanState;
  const std::vector<std::pair<const char*, std::function<void(S&)>>> fields = {
      {"sector size", [](S& s) { s.sectorBytes = 4096; }},
      {"volume start", [](S& s) { s.volumeStart = 0; }},
      {"sector count", [](S& s) { s.sectorCount += 1; }},
      {"fast status", [](S& s) { s.fastStatus = -1; }},
      {"extent index huge", [](S& s) { s.extentIndex = ~uint64_t{0}; }},
      {"extent done huge", [](S& s) { s.extentDone = uint64_t{1} << 40; }},
      {"skip before the volume", [](S& s) { s.skipUntil = 1; }},
      {"skip far past the volume", [](S& s) { s.skipUntil = ~uint64_t{0}; }},
      {"sectors done huge", [](S& s) { s.sectorsDone = uint64_t{1} << 62; }},
      {"unreadable sectors huge", [](S& s) { s.unreadableSectors = uint64_t{1} << 62; }},
      {"replay entries one more", [](S& s) { s.replayEntries += 1; }},
      {"replay entries huge", [](S& s) { s.replayEntries = uint64_t{1} << 40; }},
      {"replay hash", [](S& s) { s.replayHash ^= 1; }},
      {"carved files' hash", [](S& s) { s.carvedStoreHash ^= 1; }},
      {"an extent past the end", [](S& s) { s.extents.back().count = s.sectorCount - s.extents.back().start + 1; }},
      {"an extent wrapping to sector 0", [](S& s) { s.extents.back().start = ~uint64_t{0} - 2; }},
      {"an extent of 2^32 sectors", [](S& s) { s.extents.back().count = uint64_t{1} << 32; }},
      {"an extent starting at the end",
       [](S& s) {
         s.extents.push_back({s.sectorCount, 8});
       }},
      {"extents overlapping",
       [](S& s) {
         s.extents.push_back({s.extents.back().start, 1});
       }},
  };
  for (const auto& [what, change] : fields) d.push_back({std::string("state field: ") + what, Field(change)});
  // Said to be finished: a finished scan is not continued, and a new scan replaces it.
  d.push_back({"state field: finished half-way", Field([](S& s) { s.finished = true; }), Expect::kScannedAgain});
  // Replay entries that a writer meaning them would have hashed.
  d.push_back(
      {"replay: a run of 0xFFFFFFFF sectors", Replay([](std::vector<uint8_t>& log) { SetU32(log, 8, 0xFFFFFFFFu); })});
  d.push_back({"replay: a sector before the partition", Replay([](std::vector<uint8_t>& log) { SetU64(log, 0, 5); })});
  d.push_back({"replay: a sector past the partition",
               Replay([](std::vector<uint8_t>& log) { SetU64(log, 0, kPartitionStart + kPartitionSectors); })});
  d.push_back({"replay: a sector wrapping round", Replay([](std::vector<uint8_t>& log) {
                 SetU64(log, 0, ~uint64_t{0} - 1);
                 SetU32(log, 8, 4);
               })});
  d.push_back({"replay: entries out of order", Replay([](std::vector<uint8_t>& log) {
                 std::vector<uint8_t> first(log.begin(), log.begin() + 16);
                 log.insert(log.end(), first.begin(), first.end());
               })});
  d.push_back({"replay: an unknown kind", Replay([](std::vector<uint8_t>& log) { log[12] = 9; })});
  d.push_back({"replay: a step of 0", Replay([](std::vector<uint8_t>& log) { log[13] = 0; })});
  for (int i = 0; i < 4 * scale; ++i) d.push_back({"replay: a bit flipped", flip(replay)});
  for (int i = 0; i < 3 * scale; ++i) d.push_back({"replay: cut short", cut(replay)});
  for (int i = 0; i < 6 * scale; ++i) d.push_back({"carved files: a bit flipped", flip("")});
  for (int i = 0; i < 3 * scale; ++i) d.push_back({"carved files: cut short", cut("")});
  d.push_back({"carved files: the relation file gone",
               [](const std::string& f, std::mt19937_64&) { fs::remove(CarvedRecords(f) + "_Relation"); }});
  // What a crash after the state was written leaves: entries past the counted ones.
  d.push_back({"replay: garbage past the counted entries",
               [replay](const std::string& f, std::mt19937_64& random) {
                 auto b = Bytes(f + replay);
                 for (int i = 0; i < 48; ++i) b.push_back(static_cast<uint8_t>(random()));
                 Put(f + replay, b);
               },
               Expect::kContinued});
  d.push_back({"nothing changed", [](const std::string&, std::mt19937_64&) {}, Expect::kContinued});
  return d;
}

// An MBR disk holding volume as its one partition at kPartitionStart, with a
// copy of the volume's first MiB behind it: what a scan finds there would
// seem to belong to the volume.
std::vector<uint8_t> DiskAround(const std::vector<uint8_t>& volume) {
  const uint64_t sectors = volume.size() / 512;
  std::vector<uint8_t> disk(kPartitionStart * 512, 0);
  disk[446 + 4] = 0x06;  // FAT16
  SetU32(disk, 446 + 8, static_cast<uint32_t>(kPartitionStart));
  SetU32(disk, 446 + 12, static_cast<uint32_t>(sectors));
  disk[510] = 0x55;
  disk[511] = 0xAA;
  disk.insert(disk.end(), volume.begin(), volume.end());
  disk.insert(disk.end(), volume.begin(), volume.begin() + std::min<size_t>(volume.size(), 1 << 20));
  return disk;
}

class KeptStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string fixture = testing_support::UnpackedFixture("fat16_quick.img.gz");
    if (fixture.empty()) GTEST_SKIP() << "fixture fat16_quick is not available";
    m_disk = m_dir.path() + "disk.img";
    ASSERT_EQ(fs::file_size(fixture), kPartitionSectors * 512);
    testing_support::WriteFileBytes(m_disk, DiskAround(testing_support::ReadFileBytes(fixture)));
    m_disks = std::make_unique<jobs::testing::ScopedDisks>(m_disk);
  }
  void TearDown() override { storage::SetDeviceWrapper(nullptr); }

  // The partition of the disk.
  ScanSourceList Partition() {
    std::vector<storage::VolumeEntry> volumes;
    std::string table;
    EXPECT_EQ(storage::ListDiskVolumes(0, &volumes, &table), 0);
    EXPECT_GE(volumes.size(), 1u);
    volumes.resize(1);
    return jobs::MakeScanSources(volumes);
  }

  JobResult Run(ScanSourceList& sources, ScriptedView& view, ResumePolicy resume, bool cancelAtHalf) {
    MapTexts texts = Texts();
    jobs::CScanJob job({sources, jobs::ScanMode::kDeep, jobs::ReusePolicy::kFresh, resume}, view, &texts);
    if (cancelAtHalf) {
      view.onLine = [&job](jobs::ViewLine line, const std::string& text) {
        const size_t percent = text.rfind('%');
        if (line == jobs::ViewLine::kPercent && percent != std::string::npos && percent >= 2) {
          const int value = std::atoi(text.substr(percent - 2, 2).c_str());
          if (value >= 50 && value < 100) job.Cancel();
        }
      };
    }
    EXPECT_EQ(job.Start(), 0);
    return job.Wait();
  }

  testing_support::ScopedDataHome m_data;
  testing_support::TempDir m_dir;
  std::string m_disk;
  std::unique_ptr<jobs::testing::ScopedDisks> m_disks;
};

TEST_F(KeptStateTest, DamagedKeptScansAreSetAsideAndNoReadLeavesThePartition) {
  std::atomic<uint64_t> outside{0};
  storage::SetDeviceWrapper([&outside](const std::string&, std::unique_ptr<storage::ISourceDevice> device) {
    return std::make_unique<PartitionOnlyDevice>(std::move(device), kPartitionStart * 512,
                                                 (kPartitionStart + kPartitionSectors) * 512, &outside);
  });
  std::vector<std::string> expected;
  {
    ScanSourceList whole = Partition();
    ScriptedView view;
    ASSERT_EQ(Run(whole, view, ResumePolicy::kRestart, false), JobResult::kFinished);
    expected = FoundNames(whole);
  }
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(outside.load(), 0u);

  const std::vector<Damage> damages = Damages();
  std::mt19937_64 random(0x5155454C4C4D4F52ull);
  int setAside = 0;
  int continued = 0;
  const auto started = std::chrono::steady_clock::now();
  for (size_t round = 0; round < damages.size(); ++round) {
    const Damage& damage = damages[round];
    SCOPED_TRACE(damage.what + " (round " + std::to_string(round) + ")");
    std::string folder;
    {
      ScanSourceList stopped = Partition();
      ScriptedView view;
      ASSERT_EQ(Run(stopped, view, ResumePolicy::kRestart, true), JobResult::kCancelled);
      folder = stopped[0]->scanFolder;
      ASSERT_TRUE(stopped[0]->storeKept);
    }
    ASSERT_FALSE(CarvedRecords(folder).empty());
    damage.apply(folder, random);

    ScanSourceList resumed = Partition();
    ScriptedView view;
    ASSERT_EQ(Run(resumed, view, ResumePolicy::kResume, false), JobResult::kFinished);
    EXPECT_EQ(resumed[0]->outcome, jobs::SourceOutcome::kScanned);
    EXPECT_EQ(outside.load(), 0u);
    const bool toldSetAside = view.Noted("SET ASIDE disk 0 partition 1 (why");
    if (damage.expect == Expect::kSetAside) {
      EXPECT_TRUE(toldSetAside);
      EXPECT_NE(resumed[0]->scanFolder, folder);
      setAside += toldSetAside ? 1 : 0;
    } else if (damage.expect == Expect::kContinued) {
      EXPECT_FALSE(toldSetAside);
      EXPECT_EQ(resumed[0]->scanFolder, folder);
      continued += toldSetAside ? 0 : 1;
    } else {
      EXPECT_NE(resumed[0]->scanFolder, folder);
    }
    EXPECT_EQ(FoundNames(resumed), expected);
    outside = 0;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("kept-state rounds: %zu, set aside with a reason: %d, continued: %d, %.1f s\n", damages.size(), setAside,
              continued, seconds);
}

}  // namespace
}  // namespace hardening
